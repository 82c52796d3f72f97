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
    services_.desktop->open(*chosen);
}

void Form1::mPreferences_Click() {
    showWindow(preferences());
}

void Form1::mp3otion_Click() {
    showWindow(lameDialog());
}

void Form1::location_Click() {
    if (available(services_.desktop, QStringLiteral("desktop opener")))
        showWindow(form3());
}

void Form1::Larktake_Click() {
    if (available(services_.desktop, QStringLiteral("desktop opener")))
        showWindow(aboutBox());
}

void Form1::about_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    const QString help = session_->settings.appFile(QStringLiteral("Wavelark help.html"));
    if (!QFileInfo::exists(help) || !services_.desktop->open(help))
        session_->status.set(QStringLiteral("The help document could not be opened: %1").arg(help),
                             kRed);
}

void Form1::Homepage_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    services_.desktop->open(aboutme::homepage());
}

QString Form1::mailAddress() {
    return QStringLiteral("mailto:?subject=Recording from Wavelark&body=Why not visit "
                          "www.example.com to know more ? :)");
}

void Form1::send_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    services_.desktop->open(mailAddress());
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
