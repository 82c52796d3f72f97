#include "app/Form1.h"
#include "core/Session.h"
#include "platform/AudioLibraries.h"
#include "platform/DesktopOpener.h"
#include "platform/PulsePlayer.h"
#include "platform/QtFileDialogs.h"
#include "platform/QtMessageBox.h"
#include "platform/ShutdownSignals.h"
#include "platform/X11Hotkeys.h"
#include "platform/X11WindowAutomation.h"

#include <QApplication>

int main(int argc, char** argv) {
    // Global hotkeys and the mail composer's keystrokes need X11; on a Wayland desktop
    // with XWayland, run as an X11 client unless the user chose otherwise.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && qEnvironmentVariableIsSet("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    // No application display name is set: Qt would append it to every window's title.
    // The main window may stay hidden (first run) and the wizard closes it; the pump's
    // stop, not the last window, ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const QString appDir = QCoreApplication::applicationDirPath();
    tw::AudioLibraries audio(appDir);
    tw::X11Hotkeys hotkeys;
    tw::PulsePlayer player;
    tw::QtMessageBox messages;
    tw::DesktopOpener desktop;
    tw::QtFileDialogs dialogs;
    tw::X11WindowAutomation automation;
    tw::Form1 form(
        tw::Services{appDir, audio, hotkeys, player, &messages, &desktop, &dialogs, &automation});
    QObject::connect(&form, &tw::Form1::pumpStopped, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // Logout, shutdown and Ctrl+C end the program as Exit does: a running take is saved.
    tw::ShutdownSignals shutdownSignals;
    QObject::connect(&shutdownSignals, &tw::ShutdownSignals::requested, &form,
                     &tw::Form1::Exit_Click);
    // Takes a killed run left in the capture folder go where takes go. The program asks for
    // it, not the window: window tests must never move the user's own captures.
    QObject::connect(&form, &tw::Form1::configured, &form,
                     [&form] { form.session().recovery.start(); });
    // The status line's red lines (faults among them) also go to the journal, for when the
    // window is long gone.
    QObject::connect(&form.session().status, &tw::StatusLine::changed, &form,
                     [](const QString& text, int colour) {
                         if (colour == tw::kRed && !text.isEmpty())
                             qInfo("status: %s", qPrintable(text));
                     });
    form.Form_Load();
    return QApplication::exec();
}
