#pragma once

// The desktop's services for a test program: desktop_env.sh starts a private bus with
// fake_desktop.py on it (and an X server when asked) before the program's QApplication, so
// that Qt's session bus and its tray are those. Without dbus-daemon, python3-dbus or Xvfb the
// program fails, it does not skip.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tw::test {

class DesktopEnvironment {
  public:
    explicit DesktopEnvironment(bool withX) {
        char dirTemplate[] = "/tmp/tw-desktop-XXXXXX";
        if (!mkdtemp(dirTemplate))
            return;
        dir_ = dirTemplate;
        const std::string command =
            std::string("'") + TW_DESKTOP_ENV + "' start " + dir_ + (withX ? " x" : "");
        if (std::system(command.c_str()) != 0)
            return;
        const QByteArray address = firstLine("/address");
        const QByteArray display = firstLine("/display");
        if (address.isEmpty() || (withX && display.isEmpty()))
            return;
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        if (withX) {
            qputenv("DISPLAY", display);
            qputenv("QT_QPA_PLATFORM", "xcb");
        }
        // The trash and the runtime files stay inside the test's own folder.
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir_ + "/data"));
        ok_ = true;
    }
    ~DesktopEnvironment() {
        if (!dir_.empty())
            std::system((std::string("'") + TW_DESKTOP_ENV + "' stop " + dir_).c_str());
    }
    bool ok() const { return ok_; }
    const std::string& dir() const { return dir_; }

  private:
    QByteArray firstLine(const char* name) const {
        FILE* f = std::fopen((dir_ + name).c_str(), "r");
        if (!f)
            return {};
        char line[512] = {};
        const bool read = std::fgets(line, sizeof line, f) != nullptr;
        std::fclose(f);
        return read ? QByteArray(line).trimmed() : QByteArray();
    }
    std::string dir_;
    bool ok_ = false;
};

// fake_desktop.py's control object. A call serves the event loop while it waits: the fake
// may call back into this program (the tray's menu) before it answers.
class FakeDesktopBus {
  public:
    QDBusMessage call(const QString& method, const QVariantList& args = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("io.github.tunewright.FakeDesktop"), QStringLiteral("/control"),
            QStringLiteral("io.github.tunewright.FakeDesktop"), method);
        message.setArguments(args);
        QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(message, 10000);
        if (!QTest::qWaitFor([&] { return pending.isFinished(); }, 11000))
            qWarning("fake desktop: %s did not answer", qPrintable(method));
        return pending.reply();
    }
    QJsonArray json(const QString& method, const QVariantList& args = {}) {
        const QDBusMessage reply = call(method, args);
        if (reply.type() != QDBusMessage::ReplyMessage)
            qWarning("fake desktop: %s: %s", qPrintable(method), qPrintable(reply.errorMessage()));
        const QByteArray text = reply.arguments().value(0).toString().toUtf8();
        return QJsonDocument::fromJson("[" + text + "]").array();
    }
    // The Notify calls so far.
    QJsonArray notes() { return json(QStringLiteral("Notifications")).at(0).toArray(); }
    QJsonArray items() { return json(QStringLiteral("Items")).at(0).toArray(); }
    QJsonValue item(const QString& property) {
        return json(QStringLiteral("Item"), {property}).at(0);
    }
    bool ok(const QString& method, const QVariantList& args = {}) {
        return call(method, args).type() == QDBusMessage::ReplyMessage;
    }
};

} // namespace tw::test

// A QtTest main on the desktop's services.
#define TW_DESKTOP_TEST_MAIN(TestClass, withX)                                                     \
    int main(int argc, char** argv) {                                                              \
        tw::test::DesktopEnvironment environment(withX);                                           \
        if (!environment.ok()) {                                                                   \
            std::fprintf(stderr, "FAIL: the desktop services did not start (%s)\n",                \
                         TW_DESKTOP_ENV);                                                          \
            return 1;                                                                              \
        }                                                                                          \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
