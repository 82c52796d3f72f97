// The File, Options and Help commands that hand their work to a dialog or the desktop, and
// "Mail to friends" with its watch for the mail composer.
#include "app/Form1.h"
#include "dialogs/Form3.h"
#include "dialogs/aboutme.h"
#include "platform/FileSystem.h"
#include "platform/IDesktop.h"
#include "platform/IFileDialogs.h"
#include "platform/IWindowAutomation.h"
#include "platform/KeyNotation.h"

#include <QFileInfo>
#include <QLabel>

namespace tw {

namespace {
const QString kSection = QStringLiteral("Config");
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
    setStatus(QStringLiteral("This command needs the %1, which is not available.").arg(what), kRed);
    return false;
}

void Form1::position_Click() {
    if (!available(services_.dialogs, QStringLiteral("file dialog")))
        return;
    if (const std::optional<QString> chosen = services_.dialogs->save(OutputPath, Common.Filter))
        OutputPath = *chosen;
    TakeCounter = 0;
    config.writeString(kSection, QStringLiteral("Save Position"), OutputPath);
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

Form3* Form1::form3() {
    if (!form3_)
        form3_ = new Form3(*services_.desktop);
    return form3_.data();
}

aboutme* Form1::aboutBox() {
    if (!aboutme_)
        aboutme_ = new aboutme(*services_.desktop);
    return aboutme_.data();
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
    const QString help = appDir + QStringLiteral("/Wavelark help.html");
    if (!QFileInfo::exists(help) || !services_.desktop->open(help))
        setStatus(QStringLiteral("The help document could not be opened: %1").arg(help), kRed);
}

void Form1::Homepage_Click() {
    if (!available(services_.desktop, QStringLiteral("desktop opener")))
        return;
    // Reading the address loads the about box, hidden, as the address lives only there.
    services_.desktop->open(aboutBox()->Label6->text());
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
    if (MailWaitMs >= kMailWaitLimitMs) {
        Timer3.stop();
        return;
    }
    MailWaitMs += 10;
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
