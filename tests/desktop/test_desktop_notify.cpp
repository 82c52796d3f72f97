// Notifications of a session's events through DBusNotifications to a fake notification
// server on the test's own bus, their buttons back into the session, and the file manager.
#include "app/Notifier.h"
#include "platform/DBusNotifications.h"
#include "platform/DesktopOpener.h"
#include "platform/FakeDesktop.h"
#include "tests/desktop/DesktopRig.h"

#include <QApplication>
#include <QJsonObject>
#include <QSignalSpy>
#include <QUrl>
#include <QtTest>
#include <algorithm>
#include <ctime>

using namespace tw;
using namespace tw::test;

class TestDesktopNotify : public QObject, DesktopRig {
    Q_OBJECT

    FakeDesktop desktop;
    std::unique_ptr<DBusNotifications> notifications;
    std::unique_ptr<Notifier> notifier;
    qsizetype seen = 0;

    void start(const QByteArray& extra = {}) {
        QVERIFY(startSession(extra));
        notifier = std::make_unique<Notifier>(*session, *notifications, &desktop);
        seen = notes().size();
    }
    QString recordTake() {
        QSignalSpy listed(session.get(), &Session::takeListed);
        session->request(Session::Command::Record);
        (void)QTest::qWaitFor([&] { return phase() == Recorder::Phase::Recording; });
        session->request(Session::Command::Stop);
        (void)QTest::qWaitFor([&] { return !listed.isEmpty(); });
        return listed.value(0).value(0).toString();
    }
    QJsonArray notes() { return json("Notifications").toArray(); }
    QJsonObject nextNote() {
        QJsonArray all;
        (void)QTest::qWaitFor([&] { return (all = notes()).size() > seen; });
        return all.at(seen++).toObject();
    }
    bool invoke(const QJsonValue& note, const QString& key, uint offset = 0) {
        return ok("Invoke", {uint(note["id"].toInt()) + offset, key});
    }
    void trash(const QString& file) {
        const int row = int(lines(session->takes, Takes::PathRole).indexOf(file));
        QCOMPARE(session->deleteLine(row), Session::Deletion::Trashed);
    }

  private slots:
    void initTestCase() { notifications = std::make_unique<DBusNotifications>("Tunewright"); }
    void init() {
        fresh(65);
        desktop.log.clear();
    }
    void cleanup() {
        notifier.reset();
        session.reset();
    }

    // Each button acts on the file its own bubble names; a button of another program's
    // bubble, or an Undo that is no longer the one to put back, does nothing. Off, nothing is
    // told: the bus keeps one sender's messages in order, so that bubble would come first.
    void eventsAreToldAndTheirButtonsAct() {
        start("Notifications=0\n");
        const QString untold = recordTake();
        QVERIFY(session->settings.writeNotificationsOn(true));
        const QString take = recordTake();
        QVERIFY(!untold.isEmpty() && !take.isEmpty() && untold != take);
        const QJsonObject saved = nextNote();
        QCOMPARE(saved["body"].toString(), QFileInfo(take).fileName() + " (1:05)");
        QCOMPARE(saved["actions"].toArray(),
                 QJsonArray({"play", "Play", "show", "Show in folder"}));
        QVERIFY(invoke(saved, "play", 1000));
        QVERIFY(invoke(saved, "play"));
        QTRY_COMPARE(player.log.filter("play "), QStringList({"play " + take}));
        QVERIFY(invoke(saved, "show"));
        QTRY_COMPARE(desktop.log, QStringList({"folder " + take}));

        trash(untold);
        const QJsonObject firstUndo = nextNote();
        QCOMPARE(firstUndo["actions"].toArray(), QJsonArray({"undo", "Undo"}));
        trash(take);
        const QJsonObject secondUndo = nextNote();
        QVERIFY(!QFile::exists(untold) && !QFile::exists(take));
        QVERIFY(invoke(firstUndo, "undo"));
        QTest::qWait(300);
        QVERIFY(!QFile::exists(untold));
        QVERIFY(invoke(secondUndo, "undo"));
        QTRY_VERIFY(QFile::exists(take));
        QCOMPARE(lines(session->takes, Takes::PathRole), QStringList({take}));

        emit session->conversionEnded(path("a.wav"), path("a.mp3"), true, {});
        emit session->conversionEnded(path("b.wav"), {}, false, "the encoder stopped");
        const QJsonObject done = nextNote(), failed = nextNote();
        QCOMPARE(done["body"].toString(), QString("a.mp3"));
        QCOMPARE(failed["body"].toString(), QString("b.wav: the encoder stopped"));
        QVERIFY(failed["actions"].toArray().isEmpty());
        QVERIFY(invoke(done, "show"));
        QTRY_COMPARE(desktop.log.last(), "folder " + path("a.mp3"));

        // A standing fault is told once per take, however often the recorder repeats it.
        session->request(Session::Command::Record);
        QTRY_COMPARE(phase(), Recorder::Phase::Recording);
        audio.status.problems |= EngineStatus::ServerLost;
        const QJsonObject fault = nextNote();
        QVERIFY(fault["body"].toString().contains("sound server"));
        QTest::qWait(2200); // two more looks at the engine, each finding the fault again
        emit session->recorder.faultChanged(1, fault["body"].toString());
        QCOMPARE(notes().size(), seen);
        session->request(Session::Command::Stop);
        QTRY_COMPARE(phase(), Recorder::Phase::Idle);
    }

    // Without a notification server every notification fails at once and the journal hears
    // of it once; without a file manager the folder goes to the opener. Both come back.
    void missingServicesFailFastAndAreFoundAgain() {
        QVERIFY(ok("Drop", {"org.freedesktop.Notifications"}));
        QVERIFY(ok("Drop", {"org.freedesktop.FileManager1"}));
        QTRY_VERIFY(!notifications->available());
        static QStringList complaints;
        static QtMessageHandler journal = nullptr;
        journal = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& where, const QString& text) {
                if (text.startsWith("notifications:"))
                    complaints << text;
                journal(type, where, text);
            });
        QList<uint> ids;
        for (int i = 0; i < 3; ++i)
            notifications->notify("s", "b", {}, {}, [&ids](uint id) { ids << id; });
        QVERIFY(ids.isEmpty()); // the answer comes later, from the event loop
        QTRY_COMPARE_WITH_TIMEOUT(ids, QList<uint>({0, 0, 0}), 2000);
        qInstallMessageHandler(journal);
        QCOMPARE(complaints.size(), qsizetype(1));

        DesktopOpener opener;
        const QString file = path("take one.wav");
        QStringList failures;
        auto failed = [&failures](const QString& t, const QString& why) { failures << t + why; };
        QVERIFY(writeFile(file, "x"));
        QVERIFY(writeScript(path("xdg-open"), "echo \"$1\" > \"$(dirname \"$0\")/opened\"\n"));
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", dir->path().toUtf8() + ":" + oldPath);
        opener.showInFolder(file, failed);
        QTRY_COMPARE(readLines(path("opened")), QStringList({dir->path()}));
        qputenv("PATH", oldPath);

        QVERIFY(ok("Own", {"org.freedesktop.Notifications"}));
        QVERIFY(ok("Own", {"org.freedesktop.FileManager1"}));
        QTRY_VERIFY(notifications->available());
        notifications->notify("back", "b", {}, {}, [&ids](uint id) { ids << id; });
        QTRY_COMPARE(ids.size(), qsizetype(4));
        QCOMPARE(notes().last()["summary"].toString(), QString("back"));
        opener.showInFolder(file, failed);
        QTRY_COMPARE(json("ShowItems").toArray().at(0).toArray(),
                     QJsonArray({QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)}));
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
    }

    // Prints the time from takeListed to the server's receipt of the Notify.
    void notifyLatency() {
        start();
        QList<double> ms;
        for (int i = 0; i < 20; ++i) {
            timespec sent{};
            clock_gettime(CLOCK_MONOTONIC, &sent); // the fake stamps arrivals on this clock
            emit session->takeListed(path("take.wav"), 3, {});
            const QJsonObject note = nextNote();
            QVERIFY(!note.isEmpty());
            ms << note["arrived_ns"].toDouble() / 1e6 - sent.tv_sec * 1e3 - sent.tv_nsec / 1e6;
        }
        std::sort(ms.begin(), ms.end());
        qInfo("takeListed to Notify received, 20 runs: median %.3f ms, min %.3f ms, max %.3f ms",
              (ms.at(9) + ms.at(10)) / 2, ms.first(), ms.last());
    }
};

TW_DESKTOP_TEST_MAIN(TestDesktopNotify, false)
#include "test_desktop_notify.moc"
