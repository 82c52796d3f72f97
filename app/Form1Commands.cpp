// The File, Options and Help commands that hand their work to a dialog or the desktop, and
// "Mail to friends" with its watch for the mail composer.
#include "app/Form1.h"
#include "core/Session.h"
#include "dialogs/Form3.h"
#include "dialogs/TimerWindow.h"
#include "dialogs/aboutme.h"
#include "encoding/lame.h"
#include "platform/FileSystem.h"
#include "platform/IDesktop.h"
#include "platform/IFileDialogs.h"
#include "platform/IWindowAutomation.h"
#include "platform/KeyNotation.h"
#include "settings/InputsWindow.h"
#include "settings/Preferences.h"

#include <QFileInfo>
#include <QLabel>
#include <QPointer>

namespace tw {

namespace {
const QString kInputFilter = QStringLiteral(
    "Supported Video Files(*.rm;*.avi;*.wmv;*.mpg;*.mpe;*.mov;*.ram;*.mpeg)|*.rm;*.wmv;*.mpg;"
    "*.mpe;*.mov;*.avi;*.ram;*.mpeg|Supported Audio Files(*.mp3;*.wav;*.wma;*.mid;*.voc;*.cda;"
    "*.xm)|*.mp3;*.wav;*.wma;*.mid;*.voc;*.cda;*.xm");
// The composer is watched for this long over the whole run, not per message.
constexpr int kMailWaitLimitMs = 200000;
// Where the window system cannot tell of new windows, we look this often instead.
constexpr int kMailRetryMs = 250;
// A composer found but not activated is tried again a few times, this far apart.
constexpr int kMailActivateRetries = 5;
constexpr int kMailActivateRetryMs = 200;

void showWindow(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
}

// The desktop answers later, maybe after the window that asked has gone; the status line
// stays as long as the session.
IDesktop::Failed reportOn(StatusLine& status) {
    return [status = QPointer<StatusLine>(&status)](const QString& target, const QString& why) {
        if (status)
            status->set(QStringLiteral("Could not open %1: %2").arg(target, why), kRed);
    };
}
} // namespace

bool Form1::available(const void* service, const QString& what) {
    if (service)
        return true;
    session_.status.set(
        QStringLiteral("This command needs the %1, which is not available.").arg(what), kRed);
    return false;
}

void Form1::position_Click() {
    if (!available(services_.dialogs, QStringLiteral("file dialog")))
        return;
    const QString current = session_.recorder.outputPath();
    // Cancelled, the dialog keeps the Save Position and still starts the count again.
    session_.setSavePosition(services_.dialogs->save(current, Common.Filter).value_or(current));
}

void Form1::input_Click() {
    if (!available(services_.dialogs, QStringLiteral("file dialog")) ||
        !available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    Common2.Filter = kInputFilter;
    const std::optional<QString> chosen = services_.dialogs->open(Common2.Filter);
    if (!chosen)
        return;
    Common2.FileName = *chosen;
    services_.desktop->open(*chosen, reportOn(session_.status));
}

void Form1::mPreferences_Click() {
    showWindow(preferences());
}

void Form1::mTimer_Click() {
    showWindow(timerWindow());
}

void Form1::mInputs_Click() {
    showWindow(inputsWindow());
}

void Form1::mp3otion_Click() {
    showWindow(lameDialog());
}

void Form1::location_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    form3()->reportFailuresWith(reportOn(session_.status));
    showWindow(form3());
}

void Form1::Larktake_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    aboutBox()->reportFailuresWith(reportOn(session_.status));
    showWindow(aboutBox());
}

void Form1::about_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    const QString help = session_.settings.appFile(QStringLiteral("Wavelark help.html"));
    if (!QFileInfo::exists(help))
        session_.status.set(QStringLiteral("The help document could not be opened: %1").arg(help),
                            kRed);
    else
        services_.desktop->open(help, reportOn(session_.status));
}

void Form1::Homepage_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    services_.desktop->open(aboutme::homepage(), reportOn(session_.status));
}

QString Form1::mailAddress() {
    return QStringLiteral("mailto:?subject=Recording from Wavelark&body=Why not visit "
                          "www.example.com to know more ? :)");
}

void Form1::send_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    // No composer will come from a mail program that did not start: the watch ends. One
    // that is open already may have been attached to meanwhile, as the watch starts at once.
    const IDesktop::Failed report = reportOn(session_.status);
    services_.desktop->open(mailAddress(), [report, form = QPointer<Form1>(this)](
                                               const QString& target, const QString& why) {
        report(target, why);
        if (form)
            form->endMailWatch();
    });
    // A second message while the watch is on: the first composer to show is attached to.
    if (Timer3.isActive())
        return;
    const qint64 left = kMailWaitLimitMs - mailWaitMs_;
    if (left <= 0)
        return; // the run's time for watching is used up
    mailActivateRetries_ = 0;
    mailActivateRetry_.setSingleShot(true);
    mailActivateRetry_.setInterval(kMailActivateRetryMs);
    watchingWindows_ =
        services_.automation && services_.automation->watchWindows([form = QPointer<Form1>(this)] {
            if (form)
                form->Timer3_Timer();
        });
    Timer3.setSingleShot(watchingWindows_);
    Timer3.setInterval(watchingWindows_ ? int(left) : kMailRetryMs);
    mailWatchClock_.start();
    Timer3.start();
    Timer3_Timer();
}

void Form1::mailWatchTimeout() {
    if (!watchingWindows_) {
        Timer3_Timer();
        return;
    }
    mailWaitMs_ = kMailWaitLimitMs; // a coarse timer may come a little early
    endMailWatch();
}

void Form1::endMailWatch() {
    if (watchingWindows_) {
        mailWaitMs_ += mailWatchClock_.elapsed();
        services_.automation->stopWatching();
        watchingWindows_ = false;
    }
    Timer3.stop();
    mailActivateRetry_.stop();
}

void Form1::Timer3_Timer() {
    if (!Timer3.isActive())
        return; // a change or retry that came after the watch ended
    if (!watchingWindows_) {
        if (mailWaitMs_ >= kMailWaitLimitMs) {
            endMailWatch();
            return;
        }
        mailWaitMs_ += kMailRetryMs;
    }
    if (!services_.automation)
        return;
    IWindowAutomation& windows = *services_.automation;
    const quint64 composer = windows.findWindowByClass(QStringLiteral("ATH_Note"));
    if (composer == 0)
        return;
    const QString title = windows.windowTitle(composer).left(254);
    if (!windows.activateByTitle(title)) {
        // A window that is not yet managed or titled, which may bring no further event.
        // Without the watch the next tick is the retry.
        if (watchingWindows_ && mailActivateRetries_ < kMailActivateRetries) {
            ++mailActivateRetries_;
            mailActivateRetry_.start();
        }
        return;
    }
    windows.sendKeys(QStringLiteral("%(I)"));
    windows.sendKeys(QStringLiteral("A"));
    // Escaped, so that a path with + ( ) and the like is typed as it is.
    windows.sendKeys(escapeForKeyNotation(expandLongPath(Getfilename())));
    windows.sendKeys(QStringLiteral("{ENTER}"));
    endMailWatch();
}

} // namespace tw
