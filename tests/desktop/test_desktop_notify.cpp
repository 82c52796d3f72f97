// Notifications of a session's events through DBusNotifications to a fake notification
// server on the test's own bus, their buttons back into the session, and the file manager.
#include "app/Notifier.h"
#include "core/Session.h"
#include "platform/DBusNotifications.h"
#include "platform/DesktopOpener.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeDesktop.h"
#include "platform/FakePlayer.h"
#include "tests/desktop/DesktopRig.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <algorithm>
#include <ctime>

using namespace tw;
using namespace tw::test;

namespace {
QStringList complaints;
QtMessageHandler previousHandler = nullptr;
void countComplaints(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith(QStringLiteral("notifications:")))
        complaints << text;
    previousHandler(type, context, text);
}
qint64 monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}
QStringList actionsOf(const QJsonValue& note) {
    QStringList out;
    for (const QJsonValue& v : note[QStringLiteral("actions")].toArray())
        out << v.toString();
    return out;
}
} // namespace

class TestDesktopNotify : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    FakeDesktop desktop;
    FakeDesktopBus fake;
    std::unique_ptr<DBusNotifications> notifications;
    std::unique_ptr<Session> session;
    std::unique_ptr<Notifier> notifier;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    void start(const QByteArray& extra = {}) {
        session = startSession(dir->path(), configFor(path("take.wav")) + extra, audio, player);
        QVERIFY(session);
        notifier = std::make_unique<Notifier>(*session, *notifications, &desktop);
    }
    // A take recorded and saved; its path.
    QString recordTake() {
        QSignalSpy listed(session.get(), &Session::takeListed);
        session->request(Session::Command::Record);
        if (!QTest::qWaitFor(
                [&] { return session->recorder.phase() == Recorder::Phase::Recording; }))
            return {};
        session->request(Session::Command::Stop);
        if (!QTest::qWaitFor([&] { return listed.size() == 1; }))
            return {};
        return listed.first().first().toString();
    }
    int rowOf(const QString& file) const {
        return int(lines(session->takes, Takes::PathRole).indexOf(file));
    }
    // Waits for the server to have `count` notifications; the newest.
    QJsonObject waitForNote(qsizetype count) {
        QJsonArray notes;
        if (!QTest::qWaitFor([&] { return (notes = fake.notes()).size() >= count; }, 5000))
            return {};
        return notes.size() == count ? notes.last().toObject() : QJsonObject();
    }

  private slots:
    void initTestCase() {
        previousHandler = qInstallMessageHandler(countComplaints);
        notifications = std::make_unique<DBusNotifications>(QStringLiteral("Tunewright"));
        QVERIFY(QDBusConnection::sessionBus().isConnected());
    }
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = FakeAudioLibraries();
        saveWritesTheTake(audio);
        audio.savedSeconds = 65;
        player.log.clear();
        desktop.log.clear();
    }
    void cleanup() {
        notifier.reset();
        session.reset();
    }
    void cleanupTestCase() { notifier.reset(); }

    // The bubble names the take; its buttons play it and show it, and a button of another
    // program's bubble does nothing here.
    void aSavedTakeIsToldWithPlayAndShow() {
        start();
        const qsizetype before = fake.notes().size();
        const QString take = recordTake();
        QVERIFY(!take.isEmpty());
        const QJsonObject note = waitForNote(before + 1);
        QCOMPARE(note["summary"].toString(), QString("Take saved"));
        QCOMPARE(note["body"].toString(), QFileInfo(take).fileName() + " (1:05)");
        QCOMPARE(note["app"].toString(), QString("Tunewright"));
        QCOMPARE(actionsOf(note), QStringList({"play", "Play", "show", "Show in folder"}));
        const uint id = uint(note["id"].toInt());

        QVERIFY(fake.ok("Invoke", {id + 1000, QString("play")}));
        QVERIFY(fake.ok("Invoke", {id, QString("play")}));
        QTRY_COMPARE(player.log.filter("play "), QStringList({"play " + take}));
        QVERIFY(fake.ok("Invoke", {id, QString("show")}));
        QTRY_COMPARE(desktop.log, QStringList({"folder " + take}));
    }

    void noBubbleWhileNotificationsAreOff() {
        start("Notifications=0\n");
        const qsizetype before = fake.notes().size();
        QVERIFY(!recordTake().isEmpty());
        // Turned on, the next event is told: the bus keeps one sender's messages in order,
        // so a bubble of the take would have come first.
        QVERIFY(session->settings.writeNotificationsOn(true));
        emit session->takesRecovered({path("old.wav")});
        const QJsonObject note = waitForNote(before + 1);
        QCOMPARE(note["summary"].toString(), QString("Take recovered"));
        QCOMPARE(note["body"].toString(), QString("old.wav"));
    }

    // A fault that stands is told once per take, however often the recorder repeats it.
    void aStandingFaultIsToldOnce() {
        start();
        const qsizetype before = fake.notes().size();
        session->request(Session::Command::Record);
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Recording);
        audio.status.problems |= EngineStatus::ServerLost;
        const QJsonObject note = waitForNote(before + 1);
        QCOMPARE(note["summary"].toString(), QString("Recording problem"));
        QVERIFY2(note["body"].toString().contains("the sound server went away"),
                 qPrintable(note["body"].toString()));
        QTest::qWait(2200); // two more looks at the engine, each finding the fault again
        emit session->recorder.faultChanged(1, note["body"].toString());
        QCOMPARE(fake.notes().size(), before + 1);
        session->request(Session::Command::Stop);
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Idle);
    }

    // Undo puts back the file its bubble names, and only while that is the one to put back.
    void aTrashedTakeComesBackByItsUndo() {
        start();
        const QString first = recordTake();
        const QString second = recordTake();
        QVERIFY(!first.isEmpty() && !second.isEmpty() && first != second);
        const qsizetype before = fake.notes().size();
        QCOMPARE(session->deleteLine(rowOf(first)), Session::Deletion::Trashed);
        const QJsonObject firstNote = waitForNote(before + 1);
        QCOMPARE(firstNote["summary"].toString(), QString("Moved to the trash"));
        QCOMPARE(actionsOf(firstNote), QStringList({"undo", "Undo"}));
        QCOMPARE(session->deleteLine(rowOf(second)), Session::Deletion::Trashed);
        const QJsonObject secondNote = waitForNote(before + 2);
        QVERIFY(!QFile::exists(first) && !QFile::exists(second));

        QVERIFY(fake.ok("Invoke", {firstNote["id"].toInt(), QString("undo")}));
        QTest::qWait(300);
        QVERIFY(!QFile::exists(first));
        QVERIFY(fake.ok("Invoke", {secondNote["id"].toInt(), QString("undo")}));
        QTRY_VERIFY(QFile::exists(second));
        QCOMPARE(lines(session->takes, Takes::PathRole), QStringList({second}));
    }

    void aConversionsEndIsTold() {
        start();
        const qsizetype before = fake.notes().size();
        emit session->conversionEnded(path("a.wav"), path("a.mp3"), true, {});
        emit session->conversionEnded(path("b.wav"), {}, false, "the encoder stopped");
        waitForNote(before + 2);
        const QJsonArray notes = fake.notes();
        const QJsonValue done = notes.at(before), failed = notes.at(before + 1);
        QCOMPARE(done["body"].toString(), QString("a.mp3"));
        QCOMPARE(failed["summary"].toString(), QString("Conversion failed"));
        QCOMPARE(failed["body"].toString(), QString("b.wav: the encoder stopped"));
        QVERIFY(actionsOf(failed).isEmpty());
        QVERIFY(fake.ok("Invoke", {done["id"].toInt(), QString("show")}));
        QTRY_COMPARE(desktop.log, QStringList({"folder " + path("a.mp3")}));
    }

    // No server: every notification fails at once, the journal hears of it once, and the
    // server's return is noticed.
    void withoutAServerNothingWaits() {
        QVERIFY(fake.ok("Drop", {QString("org.freedesktop.Notifications")}));
        QTRY_VERIFY(!notifications->available());
        complaints.clear();
        QList<uint> ids;
        for (int i = 0; i < 3; ++i)
            notifications->notify("s", "b", {}, {}, [&ids](uint id) { ids << id; });
        QVERIFY(ids.isEmpty()); // the answer comes later, from the event loop
        QTRY_COMPARE_WITH_TIMEOUT(ids, QList<uint>({0, 0, 0}), 2000);
        QCOMPARE(complaints.size(), qsizetype(1));

        QVERIFY(fake.ok("Own", {QString("org.freedesktop.Notifications")}));
        QTRY_VERIFY(notifications->available());
        notifications->notify("back", "b", {}, {}, [&ids](uint id) { ids << id; });
        QTRY_COMPARE(ids.size(), qsizetype(4));
        QVERIFY(ids.last() != 0);
        QCOMPARE(fake.notes().last()["summary"].toString(), QString("back"));
    }

    // The file manager selects the file; without one, the folder goes to the opener.
    void showInFolderAsksTheFileManagerThenTheOpener() {
        DesktopOpener opener;
        QVERIFY(writeFile(path("take one.wav"), "x"));
        QVERIFY(writeScript(path("xdg-open"),
                            "printf '%s\\n' \"$1\" > \"$(dirname \"$0\")/opened\"\n"));
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", dir->path().toUtf8() + ":" + oldPath);
        QStringList failures;
        auto failed = [&failures](const QString& t, const QString& why) { failures << t + why; };

        opener.showInFolder(path("take one.wav"), failed);
        QJsonArray shown;
        QTRY_VERIFY((shown = fake.json("ShowItems").at(0).toArray()).size() == 1);
        QCOMPARE(shown.at(0).toArray().at(0).toString(),
                 QUrl::fromLocalFile(path("take one.wav")).toString(QUrl::FullyEncoded));

        QVERIFY(fake.ok("Drop", {QString("org.freedesktop.FileManager1")}));
        opener.showInFolder(path("take one.wav"), failed);
        QTRY_COMPARE(readLines(path("opened")), QStringList({dir->path()}));
        QVERIFY(fake.ok("Own", {QString("org.freedesktop.FileManager1")}));
        qputenv("PATH", oldPath);
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
    }

    // Prints the time from takeListed to the server's receipt of the Notify; asserts only
    // that every one arrived.
    void notifyLatency() {
        start();
        const int runs = 20;
        QList<qint64> emittedNs;
        connect(session.get(), &Session::takeListed, this,
                [&emittedNs] { emittedNs << monotonicNs(); });
        // The measuring connection runs first: give it the Notifier's place after it.
        notifier = std::make_unique<Notifier>(*session, *notifications, &desktop);
        const qsizetype before = fake.notes().size();
        for (int i = 0; i < runs; ++i) {
            emit session->takeListed(path("take.wav"), 3, {});
            QVERIFY(!waitForNote(before + i + 1).isEmpty());
        }
        const QJsonArray notes = fake.notes();
        QList<double> ms;
        for (int i = 0; i < runs; ++i)
            ms << (notes.at(before + i)["arrived_ns"].toDouble() - double(emittedNs.at(i))) / 1e6;
        std::sort(ms.begin(), ms.end());
        qInfo("takeListed to Notify received, %d runs: median %.3f ms, min %.3f ms, max %.3f ms",
              runs, (ms.at(runs / 2 - 1) + ms.at(runs / 2)) / 2, ms.first(), ms.last());
    }
};

TW_DESKTOP_TEST_MAIN(TestDesktopNotify, false)
#include "test_desktop_notify.moc"
