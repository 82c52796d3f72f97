// PortalHotkeys against the real xdg-desktop-portal frontend and a fake desktop backend, on
// a bus of the test's own (portal_env.sh). Nothing here skips: a part that does not come up
// fails the test.
#include "platform/PortalHotkeys.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using tw::PortalHotkeys;

namespace {

constexpr int IdRecord = 0xBFFF;
constexpr int IdPause = 0;
constexpr int IdStop = 160;
const QString AppId = QStringLiteral("io.github.tunewright.Tunewright");

std::unique_ptr<PortalHotkeys> bindAll(const QDBusConnection& bus) {
    auto hk = std::make_unique<PortalHotkeys>(AppId, bus);
    hk->registerHotKey(IdRecord, 0x78);
    hk->registerHotKey(IdPause, 0x79);
    hk->registerHotKey(IdStop, 0x7A);
    return hk;
}

} // namespace

class TestPortalHotkeys : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QDBusConnection bus{QString()};
    QDBusConnection other{QString()};

    bool env(const QStringList& args, QString* out = nullptr) {
        QProcess p;
        p.start(QStringLiteral(TW_PORTAL_ENV),
                QStringList{args.first(), dir.path() + "/env"} + args.mid(1));
        const bool ok = p.waitForFinished(30000) && p.exitCode() == 0;
        if (!ok)
            qWarning("portal_env.sh %s failed: %s", qPrintable(args.join(' ')),
                     p.readAllStandardError().constData());
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        return ok;
    }

    QDBusMessage control(const QString& method, const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.impl.portal.desktop.tunewrighttest"),
            QStringLiteral("/control"), QStringLiteral("io.github.tunewright.FakePortal"), method);
        m.setArguments(args);
        const QDBusMessage reply = bus.call(m);
        if (reply.type() == QDBusMessage::ErrorMessage)
            qWarning("%s: %s", qPrintable(method), qPrintable(reply.errorMessage()));
        return reply;
    }

    QJsonObject backendSession(const QString& path) {
        const QString json = control(QStringLiteral("State")).arguments().value(0).toString();
        for (const QJsonValue v : QJsonDocument::fromJson(json.toUtf8()).array())
            if (v.toObject().value("session").toString() == path)
                return v.toObject();
        return {};
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        QString address;
        QVERIFY2(env({QStringLiteral("start")}, &address),
                 "the private bus, fake backend or portal did not start");
        bus = QDBusConnection::connectToBus(address, QStringLiteral("app"));
        other = QDBusConnection::connectToBus(address, QStringLiteral("other"));
        QVERIFY(bus.isConnected() && other.isConnected());
    }
    void cleanupTestCase() { env({QStringLiteral("stop")}); }

    void bindsThreeShortcutsAndShowsTheDesktopsKeys() {
        auto hk = bindAll(bus);
        QSignalSpy changed(hk.get(), &PortalHotkeys::triggersChanged);
        QTRY_VERIFY(!hk->sessionHandle().isEmpty());
        QCOMPARE(changed.count(), 1);

        const QJsonArray bound = backendSession(hk->sessionHandle()).value("shortcuts").toArray();
        QCOMPARE(bound.size(), 3);
        QStringList seen;
        for (const QJsonValue v : bound) {
            const QJsonObject s = v.toObject();
            seen << s["id"].toString() + "|" + s["description"].toString() + "|" +
                        s["preferred_trigger"].toString();
        }
        seen.sort();
        QCOMPARE(seen, QStringList({"pause|Pause / Resume|F10", "record|Record|F9",
                                    "stop|Stop and save|F11"}));
        QCOMPARE(hk->trigger(IdRecord), QStringLiteral("Shift+F9"));
        QCOMPARE(hk->trigger(IdStop), QStringLiteral("Shift+F11"));

        // The user reassigns a key in the desktop's settings.
        control("ChangeTrigger", {hk->sessionHandle(), "pause", "Ctrl+Alt+P"});
        QTRY_COMPARE(changed.count(), 2);
        QCOMPARE(hk->trigger(IdPause), QStringLiteral("Ctrl+Alt+P"));
    }

    void activationsOfOurSessionOnly() {
        auto mine = bindAll(bus);
        auto theirs = bindAll(other);
        QTRY_VERIFY(!mine->sessionHandle().isEmpty() && !theirs->sessionHandle().isEmpty());
        QSignalSpy mineKeys(mine.get(), &PortalHotkeys::hotkey);
        QSignalSpy theirKeys(theirs.get(), &PortalHotkeys::hotkey);

        for (const char* id : {"record", "pause", "stop"})
            control("Activate", {mine->sessionHandle(), id});
        control("Activate", {theirs->sessionHandle(), "record"});
        QTRY_COMPARE(mineKeys.count(), 3);
        QTRY_COMPARE(theirKeys.count(), 1);
        QCOMPARE(mineKeys[0][0].toInt(), IdRecord);
        QCOMPARE(mineKeys[1][0].toInt(), IdPause);
        QCOMPARE(mineKeys[2][0].toInt(), IdStop);
        QCOMPARE(theirKeys[0][0].toInt(), IdRecord);
        QTest::qWait(100);
        QCOMPARE(mineKeys.count(), 3);
    }

    void refusedBindSaysWhy_data() {
        QTest::addColumn<uint>("code");
        QTest::addColumn<QString>("words");
        QTest::newRow("cancelled") << 1u << "cancelled";
        QTest::newRow("error") << 2u << "could not set up";
    }
    void refusedBindSaysWhy() {
        QFETCH(uint, code);
        QFETCH(QString, words);
        control("AnswerNextBind", {QVariant::fromValue(code)});
        auto hk = bindAll(bus);
        QSignalSpy unavailable(hk.get(), &PortalHotkeys::unavailable);
        QTRY_COMPARE(unavailable.count(), 1);
        QVERIFY2(unavailable[0][0].toString().contains(words),
                 qPrintable(unavailable[0][0].toString()));
        QVERIFY(hk->sessionHandle().isEmpty());
        QVERIFY(hk->trigger(IdRecord).isEmpty());
    }

    void unregisteringAllClosesTheSession() {
        auto hk = bindAll(bus);
        QTRY_VERIFY(!hk->sessionHandle().isEmpty());
        const QString session = hk->sessionHandle();
        QVERIFY(!backendSession(session).isEmpty());
        hk->unregisterHotKey(IdRecord);
        hk->unregisterHotKey(IdPause);
        hk->unregisterHotKey(IdStop);
        QTRY_VERIFY(backendSession(session).isEmpty());
    }

    void closedSessionIsBoundAgain() {
        auto hk = bindAll(bus);
        QTRY_VERIFY(!hk->sessionHandle().isEmpty());
        const QString first = hk->sessionHandle();
        control("CloseSession", {first});
        QTRY_VERIFY(!hk->sessionHandle().isEmpty() && hk->sessionHandle() != first);
        QCOMPARE(hk->trigger(IdPause), QStringLiteral("Shift+F10"));
        QSignalSpy keys(hk.get(), &PortalHotkeys::hotkey);
        control("Activate", {hk->sessionHandle(), "stop"});
        QTRY_COMPARE(keys.count(), 1);
        QCOMPARE(keys[0][0].toInt(), IdStop);
    }

    void restartedPortalIsBoundAgain() {
        auto hk = bindAll(bus);
        QTRY_VERIFY(!hk->sessionHandle().isEmpty());
        const QString first = hk->sessionHandle();
        QVERIFY(env({QStringLiteral("frontend")}));
        QTRY_VERIFY(!hk->sessionHandle().isEmpty() && hk->sessionHandle() != first);
        QSignalSpy keys(hk.get(), &PortalHotkeys::hotkey);
        control("Activate", {hk->sessionHandle(), "record"});
        QTRY_COMPARE(keys.count(), 1);
        QCOMPARE(keys[0][0].toInt(), IdRecord);
    }

    void probeTellsWhetherThePortalHasShortcuts() {
        QString why;
        QVERIFY2(PortalHotkeys::probeBlocking(bus, 2000, &why), qPrintable(why));
        QVERIFY(env({"frontend", "empty"}));
        QVERIFY(!PortalHotkeys::probeBlocking(bus, 2000, &why));
        QCOMPARE(why, QStringLiteral("the desktop portal has no global shortcuts"));
        QVERIFY(env({"frontend", "none"}));
        QVERIFY(!PortalHotkeys::probeBlocking(bus, 2000, &why));
        QCOMPARE(why, QStringLiteral("no desktop portal"));
    }
};

QTEST_GUILESS_MAIN(TestPortalHotkeys)
#include "test_portal_hotkeys.moc"
