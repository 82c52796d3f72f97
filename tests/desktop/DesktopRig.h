#pragma once

// The desktop's services for a test program: run by hand or by ctest, the program hands itself
// to desktop_env.sh, which starts a private bus with fake_desktop.py on it (and an X server
// when asked), runs the program again on them, so that Qt's session bus and its tray are those,
// and stops them after it however it ends. Without dbus-daemon, python3-dbus or Xvfb the
// program fails, it does not skip.
#include "platform/FakePlayer.h"
#include "tests/support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace tw::test {

// What each case starts from: a fresh folder, an engine fake that writes the takes it is told
// to save, a session on them once started, and fake_desktop.py's control object.
struct DesktopRig {
    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    std::unique_ptr<Session> session;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    void fresh(int savedSeconds) {
        dir = std::make_unique<QTemporaryDir>();
        audio = FakeAudioLibraries();
        saveWritesTheTake(audio);
        audio.savedSeconds = savedSeconds;
    }
    bool startSession(const QByteArray& extra = {}) {
        session =
            test::startSession(dir->path(), configFor(path("take.wav")) + extra, audio, player);
        return session != nullptr;
    }
    Recorder::Phase phase() const { return session->recorder.phase(); }

    // A call serves the event loop while it waits: the fake may call back into this program
    // (the tray's menu) before it answers.
    QDBusMessage call(const QString& method, const QVariantList& args = {}) {
        QDBusMessage message =
            QDBusMessage::createMethodCall("io.github.tunewright.FakeDesktop", "/control",
                                           "io.github.tunewright.FakeDesktop", method);
        message.setArguments(args);
        QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(message, 10000);
        (void)QTest::qWaitFor([&] { return pending.isFinished(); }, 11000);
        if (pending.isError())
            qWarning("fake desktop: %s: %s", qPrintable(method),
                     qPrintable(pending.error().message()));
        return pending.reply();
    }
    bool ok(const QString& method, const QVariantList& args = {}) {
        return call(method, args).type() == QDBusMessage::ReplyMessage;
    }
    QJsonValue json(const QString& method, const QVariantList& args = {}) {
        // Wrapped, as a bare string is no JSON document.
        const QString text = call(method, args).arguments().value(0).toString();
        return QJsonDocument::fromJson("[" + text.toUtf8() + "]").array().at(0);
    }
};

} // namespace tw::test

#define TW_DESKTOP_TEST_MAIN(TestClass, withX)                                                     \
    int main(int argc, char** argv) {                                                              \
        if (!qEnvironmentVariableIsSet("TW_DESKTOP")) {                                            \
            std::vector<const char*> args{"bash", TW_DESKTOP_ENV, "run", withX ? "x" : "-"};       \
            args.insert(args.end(), argv, argv + argc + 1);                                        \
            execv("/bin/bash", const_cast<char* const*>(args.data()));                             \
            return std::perror("desktop_env.sh"), 1;                                               \
        }                                                                                          \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
