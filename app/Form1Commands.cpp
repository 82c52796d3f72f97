// The File, Options and Help commands that hand their work to a dialog or the desktop, and
// "Mail to friends" with its watch for the mail composer.
#include "app/Form1.h"
#include "core/Session.h"
#include "dialogs/Form3.h"
#include "dialogs/aboutme.h"
#include "encoding/lame.h"
#include "platform/FileSystem.h"
#include "platform/IDesktop.h"
#include "platform/IFileDialogs.h"
#include "platform/IWindowAutomation.h"
#include "platform/KeyNotation.h"
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
constexpr int kMailWaitLimitMs = 200000;

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
    session_->status.set(
        QStringLiteral("This command needs the %1, which is not available.").arg(what), kRed);
    return false;
}

void Form1::position_Click() {
    if (!available(services_.dialogs, QStringLiteral("file dialog")))
        return;
    Recorder& recorder = session_->recorder;
    if (const std::optional<QString> chosen =
            services_.dialogs->save(recorder.outputPath(), Common.Filter))
        recorder.setOutputPath(*chosen);
    recorder.resetTakeCounter();
    session_->settings.writeSavePosition(recorder.outputPath());
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
    services_.desktop->open(*chosen, reportOn(session_->status));
}

void Form1::mPreferences_Click() {
    showWindow(preferences());
}

void Form1::mp3otion_Click() {
    showWindow(lameDialog());
}

void Form1::location_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    form3()->reportFailuresWith(reportOn(session_->status));
    showWindow(form3());
}

void Form1::Larktake_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    aboutBox()->reportFailuresWith(reportOn(session_->status));
    showWindow(aboutBox());
}

void Form1::about_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    const QString help = session_->settings.appFile(QStringLiteral("Wavelark help.html"));
    if (!QFileInfo::exists(help))
        session_->status.set(QStringLiteral("The help document could not be opened: %1").arg(help),
                             kRed);
    else
        services_.desktop->open(help, reportOn(session_->status));
}

void Form1::Homepage_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    services_.desktop->open(aboutme::homepage(), reportOn(session_->status));
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
    const IDesktop::Failed report = reportOn(session_->status);
    services_.desktop->open(mailAddress(), [report, form = QPointer<Form1>(this)](
                                               const QString& target, const QString& why) {
        report(target, why);
        if (form)
            form->Timer3.stop();
    });
    Timer3.start();
}

void Form1::Timer3_Timer() {
    if (mailWaitMs_ >= kMailWaitLimitMs) {
        Timer3.stop();
        return;
    }
    mailWaitMs_ += 10;
    if (!services_.automation)
        return;
    IWindowAutomation& windows = *services_.automation;
    const quint64 composer = windows.findWindowByClass(QStringLiteral("ATH_Note"));
    if (composer == 0)
        return;
    const QString title = windows.windowTitle(composer).left(254);
    if (!windows.activateByTitle(title))
        return; // tried again at the next tick, until the limit
    windows.sendKeys(QStringLiteral("%(I)"));
    windows.sendKeys(QStringLiteral("A"));
    // Escaped, so that a path with + ( ) and the like is typed as it is.
    windows.sendKeys(escapeForKeyNotation(expandLongPath(Getfilename())));
    windows.sendKeys(QStringLiteral("{ENTER}"));
    Timer3.stop();
}

} // namespace tw
