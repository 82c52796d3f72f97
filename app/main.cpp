#include "app/Form1.h"
#include "app/GnomeShortcutOffer.h"
#include "app/HotkeyCommands.h"
#include "app/Notifier.h"
#include "app/TrayIcon.h"
#include "core/Session.h"
#include "platform/AudioLibraries.h"
#include "platform/DBusNotifications.h"
#include "platform/DesktopOpener.h"
#include "platform/GnomeShortcuts.h"
#include "platform/HotkeyChoice.h"
#include "platform/PortalHotkeys.h"
#include "platform/PulsePlayer.h"
#include "platform/QtFileDialogs.h"
#include "platform/QtMessageBox.h"
#include "platform/ShutdownSignals.h"
#include "platform/SingleInstance.h"
#include "platform/X11Hotkeys.h"
#include "platform/X11WindowAutomation.h"

#include <QApplication>
#include <QStandardPaths>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr char kUsage[] =
    "Usage: tunewright [--record [--stop-after LENGTH] | --pause | --stop]\n"
    "\n"
    "Without an option, starts Tunewright, or shows the one that is running.\n"
    "  --record    record (F9); starts Tunewright first when none is running\n"
    "  --stop-after LENGTH\n"
    "              with --record: the take stops and is saved by itself after LENGTH\n"
    "              of recording (90 or 90s seconds, 30m minutes, 2h hours, 1h30m)\n"
    "  --pause     pause or resume the recording (F10)\n"
    "  --stop      stop the recording and save it (F11)\n"
    "  --help      show this help\n"
    "  --version   show the version\n";

struct CommandLine {
    QString action; // "record", "pause", "stop" or "" (just start)
    qint64 stopAfterMs = 0;
    bool help = false;
    bool version = false;
    QString error;
};

CommandLine parse(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h"))
            line.help = true;
        else if (arg == QLatin1String("--version"))
            line.version = true;
        else if (arg == QLatin1String("--record") || arg == QLatin1String("--pause") ||
                 arg == QLatin1String("--stop")) {
            if (!line.action.isEmpty())
                line.error = QStringLiteral("give one of --record, --pause and --stop");
            line.action = arg.mid(2);
        } else if (arg == QLatin1String("--stop-after") ||
                   arg.startsWith(QLatin1String("--stop-after="))) {
            const bool joined = arg.contains(QLatin1Char('='));
            if (!joined && i + 1 >= argc) {
                line.error = QStringLiteral("--stop-after needs a length, such as 90, 45s, 30m "
                                            "or 2h");
                continue;
            }
            const QString length =
                joined ? arg.section(QLatin1Char('='), 1) : QString::fromLocal8Bit(argv[++i]);
            const std::optional<qint64> ms = tw::parseDuration(length);
            if (!ms)
                line.error = QStringLiteral("--stop-after takes a length such as 90, 45s, 30m or "
                                            "2h (up to a week), not \"%1\"")
                                 .arg(length);
            else
                line.stopAfterMs = *ms;
        } else {
            line.error = QStringLiteral("unknown option %1").arg(arg);
        }
    }
    if (line.error.isEmpty() && line.stopAfterMs > 0 && line.action != QLatin1String("record"))
        line.error = QStringLiteral("--stop-after goes with --record");
    return line;
}

// A command of this start or of a later one, through the rule every front end obeys. A length
// for the take is the timer's: its stop rule takes the take that starts (or the one that runs).
void carryOut(tw::Session& session, const QString& action, qint64 stopAfterMs) {
    using Command = tw::Session::Command;
    if (action == QLatin1String("record")) {
        if (stopAfterMs > 0) {
            tw::TimerPlan plan;
            plan.stop = tw::TimerPlan::Stop::AfterDuration;
            plan.durationMs = stopAfterMs;
            const QString why = session.timer.set(plan);
            if (!why.isEmpty())
                session.status.set(why, tw::kRed);
        }
        // A take that runs already is the one the length applies to.
        if (stopAfterMs == 0 || !session.recorder.takeRunning())
            session.request(Command::Record);
        return;
    }
    session.request(action == QLatin1String("pause") ? Command::Pause : Command::Stop);
}

// The desktop's global shortcuts where it has them (Wayland), else X11 key grabs; `chosen`
// tells which.
std::unique_ptr<tw::IHotkeys> makeHotkeys(QString& note, tw::HotkeyBackend& chosen) {
    const QString platform = QGuiApplication::platformName();
    const bool wayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
                         qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    bool portal = false;
    if (platform != QLatin1String("xcb") || wayland) {
        // Asked on a connection of its own: a portal that registers host programs wants the
        // registration to be the first call on the connection that binds the keys.
        const QString probeName = QStringLiteral("hotkey probe");
        portal = tw::PortalHotkeys::probeBlocking(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, probeName), 1000);
        QDBusConnection::disconnectFromBus(probeName);
    }
    const QString commands =
        QStringLiteral("tunewright --record, --pause and --stop work from anywhere.");
    chosen = tw::chooseHotkeys(platform, wayland, portal);
    switch (chosen) {
    case tw::HotkeyBackend::Portal:
        return std::make_unique<tw::PortalHotkeys>(QStringLiteral(TW_APP_ID));
    case tw::HotkeyBackend::X11:
        return std::make_unique<tw::X11Hotkeys>();
    case tw::HotkeyBackend::X11WhileFocused:
        note = QStringLiteral("F9, F10 and F11 work only while an X11 window has the focus: "
                              "this desktop offers no global shortcuts. ") +
               commands;
        return std::make_unique<tw::X11Hotkeys>();
    case tw::HotkeyBackend::None:
        break;
    }
    note = QStringLiteral("Global hotkeys are not available in this session. ") + commands;
    return std::make_unique<tw::X11Hotkeys>(); // registers nothing without X11
}

} // namespace

int main(int argc, char** argv) {
    // Under a file size limit, the first write past it (libpulse sizing its shared memory at
    // the first connection, a take's capture) would end the program with SIGXFSZ; ignored, the
    // write fails with EFBIG, which each writer reports as a fault it can say.
    std::signal(SIGXFSZ, SIG_IGN);
    const CommandLine line = parse(argc, argv);
    if (!line.error.isEmpty()) {
        std::fprintf(stderr, "tunewright: %s\n\n%s", qPrintable(line.error), kUsage);
        return 2;
    }
    if (line.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (line.version) {
        std::printf("Tunewright %s\n", TW_VERSION);
        return 0;
    }

    // Global hotkeys and the mail composer's keystrokes need X11; on a Wayland desktop
    // with XWayland, run as an X11 client unless the user chose otherwise.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && qEnvironmentVariableIsSet("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral(TW_APP_ID));
    // No application display name is set: Qt would append it to every window's title.
    // The main window may stay hidden (first run) and the wizard closes it; the pump's
    // stop, not the last window, ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    tw::SingleInstance instance(QStringLiteral(TW_APP_ID));
    if (instance.claim() == tw::SingleInstance::Claim::Taken) {
        QString why;
        if (tw::SingleInstance::send(QStringLiteral(TW_APP_ID), line.action, &why,
                                     QDBusConnection::sessionBus(), 3000, line.stopAfterMs))
            return 0;
        std::fprintf(stderr, "tunewright: the running Tunewright did not answer: %s\n",
                     qPrintable(why));
        return 1;
    }
    if (line.action == QLatin1String("pause") || line.action == QLatin1String("stop")) {
        std::fprintf(stderr,
                     "tunewright: no Tunewright is running, so there is nothing to %s. "
                     "tunewright --record starts it and records.\n",
                     line.action == QLatin1String("pause") ? "pause" : "stop");
        return 1;
    }

    const QString appDir = QCoreApplication::applicationDirPath();
    tw::AudioLibraries audio(appDir);
    QString hotkeyNote;
    tw::HotkeyBackend hotkeyBackend = tw::HotkeyBackend::None;
    const std::unique_ptr<tw::IHotkeys> hotkeys = makeHotkeys(hotkeyNote, hotkeyBackend);
    tw::PulsePlayer player;
    tw::QtMessageBox messages;
    tw::DesktopOpener desktop;
    tw::QtFileDialogs dialogs;
    tw::X11WindowAutomation automation;
    // The application first; every front end is handed it and none calls another.
    tw::Session session(appDir, audio, player, &messages);
    tw::HotkeyCommands hotkeyCommands(session, *hotkeys);
    // GNOME's own shortcuts stand in for the global hotkeys it does not give programs. The
    // menu offers them on any GNOME session, so that ones added earlier can be taken away.
    const QString desktopName = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    tw::GnomeShortcuts gnomeShortcuts(
        tw::GnomeShortcuts::programFor(QCoreApplication::applicationFilePath()));
    tw::GnomeShortcutOffer gnomeOffer(session, gnomeShortcuts, &messages);
    tw::GnomeShortcutOffer* gnomeMenu =
        tw::GnomeShortcutOffer::isGnome(desktopName) ? &gnomeOffer : nullptr;
    tw::Form1 form(session, tw::Services{appDir, audio, *hotkeys, player, &messages, &desktop,
                                         &dialogs, &automation, gnomeMenu});
    tw::DBusNotifications notifications(QStringLiteral("Tunewright"));
    tw::Notifier notifier(session, notifications, &desktop);
    tw::TrayIcon tray(session);
    QObject::connect(&tray, &tw::TrayIcon::showWindowRequested, &form, &tw::Form1::raiseWindow);
    QObject::connect(&session, &tw::Session::quitReady, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // Logout, shutdown and Ctrl+C end the run as Exit does: a running take is saved first.
    tw::ShutdownSignals shutdownSignals;
    QObject::connect(&shutdownSignals, &tw::ShutdownSignals::requested, &session,
                     &tw::Session::quit);
    // Commands of later starts and of the menu entry's actions obey the same rule as every
    // other front end's.
    QObject::connect(&instance, &tw::SingleInstance::actionRequested, &session,
                     [&session](const QString& action, qint64 parameter) {
                         carryOut(session, action, parameter);
                     });
    QObject::connect(&instance, &tw::SingleInstance::activated, &form, &tw::Form1::raiseWindow);
    // The list across runs, before anything can add to it: earlier takes stand above.
    session.store.open(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                       QStringLiteral("/tunewright/takes.json"));
    // Takes a killed run left in the capture folder go where takes go. The program asks for
    // it, not the window: window tests must never move the user's own captures.
    QObject::connect(&session, &tw::Session::configured, &session,
                     [&session] { session.recovery.start(); });
    if (line.action == QLatin1String("record")) {
        // Once the program can record: at once, or when the first run's wizard is done.
        QObject::connect(
            &session, &tw::Session::configured, &session,
            [&session, stopAfter = line.stopAfterMs] {
                QTimer::singleShot(0, &session, [&session, stopAfter] {
                    carryOut(session, QStringLiteral("record"), stopAfter);
                });
            },
            Qt::SingleShotConnection);
    }
    // The status line's red lines (faults among them) also go to the journal, for when the
    // window is long gone.
    QObject::connect(&session.status, &tw::StatusLine::changed, &session,
                     [](const QString& text, int colour) {
                         if (colour == tw::kRed && !text.isEmpty())
                             qInfo("status: %s", qPrintable(text));
                     });
    const QString unclaimed = hotkeyCommands.claim();
    form.Form_Load();
    // A session without global hotkeys says so once; otherwise a key another program holds.
    if (hotkeyNote.isEmpty())
        hotkeyNote = unclaimed;
    if (!hotkeyNote.isEmpty())
        session.status.set(hotkeyNote, tw::kRed);
    if (tw::GnomeShortcutOffer::wanted(desktopName, hotkeyBackend)) {
        // Asked from the running event loop, over the shown window, and once the program can
        // record: never over the first run's wizard.
        const auto offer = [&gnomeOffer] {
            QTimer::singleShot(0, &gnomeOffer, [&gnomeOffer] { gnomeOffer.offerOnce(); });
        };
        if (session.isConfigured())
            offer();
        else
            QObject::connect(&session, &tw::Session::configured, &gnomeOffer, offer,
                             Qt::SingleShotConnection);
    }
    return QApplication::exec();
}
