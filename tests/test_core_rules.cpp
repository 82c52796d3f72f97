// The timer and voice activation as rules of the session, on the fake engine: a start on the
// wall clock also after it jumped (the machine slept), a stop after the take's length, a
// daily plan moving on, a start held back by a dialog, and Stop cancelling every rule.
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "tests/support/TestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;

class TestCoreRules : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    std::unique_ptr<Session> session;
    QDateTime wall;    // the timer's clock, moved by hand
    qint64 monoMs = 0; // the recorder's clock

    int records() const {
        return int(std::count_if(audio.calls.begin(), audio.calls.end(), [](const auto& c) {
            return c.function == QLatin1String("Wavelark") && c.args[0] == 1;
        }));
    }
    int stops() const {
        return int(std::count_if(audio.calls.begin(), audio.calls.end(), [](const auto& c) {
            return c.function == QLatin1String("Wavelark") && c.args[0] == 0;
        }));
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = FakeAudioLibraries();
        session = startSession(dir->path(), configFor(dir->path() + "/rec.wav"), audio, player);
        QVERIFY(session);
        wall = QDateTime(QDate(2026, 12, 9), QTime(13, 0));
        session->timer.setWallClock([this] { return wall; });
        monoMs = 0;
        session->recorder.setTimeSource([this] { return monoMs; });
    }
    void cleanup() { session.reset(); }

    void startsOnTheWallClockAfterAJumpAndStopsAfterItsLength() {
        TimerPlan plan;
        plan.startAt = QDateTime(QDate(2026, 12, 9), QTime(14, 0));
        plan.stop = TimerPlan::Stop::AfterDuration;
        plan.durationMs = 30 * 60 * 1000;
        plan.daily = true;
        QCOMPARE(session->timer.set(plan), QString());
        QCOMPARE(session->status.text(), QStringLiteral("Recording at 14:00 — in 1 h"));
        wall = wall.addSecs(3 * 60 + 1);
        QTRY_COMPARE(session->timer.waitingText(),
                     QStringLiteral("Recording at 14:00 — in 56 min"));
        QCOMPARE(records(), 0);
        // The machine slept: its clock reads past the start when it wakes.
        wall = QDateTime(QDate(2026, 12, 9), QTime(14, 0, 4));
        QTRY_COMPARE_WITH_TIMEOUT(session->recorder.phase(), Recorder::Phase::Recording, 1500);
        QCOMPARE(records(), 1);
        monoMs += 30 * 60 * 1000 - 1;
        QTest::qWait(1100);
        QCOMPARE(stops(), 0);
        monoMs += 1;
        QTRY_COMPARE_WITH_TIMEOUT(stops(), 1, 1500);
        // Daily: the same start tomorrow, still set.
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Idle);
        QVERIFY(session->timer.armed());
        QCOMPARE(session->timer.plan()->startAt, QDateTime(QDate(2026, 12, 10), QTime(14, 0)));
        QCOMPARE(session->timer.waitingText(),
                 QStringLiteral("Recording at 14:00 tomorrow — in 23 h 59 min"));
    }

    void aStartWaitsForAnOpenDialogAndAMissedSpanIsSaid() {
        TimerPlan plan;
        plan.startAt = wall.addSecs(60);
        plan.stop = TimerPlan::Stop::AtClockTime;
        plan.stopAt = QTime(13, 30);
        QVERIFY(session->timer.set(plan).isEmpty());
        {
            Session::Modal dialog(*session);
            wall = wall.addSecs(61);
            QTest::qWait(1200);
            QCOMPARE(records(), 0);
            QVERIFY2(session->status.text().startsWith("The timer's recording waits: "),
                     qPrintable(session->status.text()));
        }
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Recording);
        wall = QDateTime(QDate(2026, 12, 9), QTime(13, 30));
        QTRY_COMPARE_WITH_TIMEOUT(stops(), 1, 1500);
        QTRY_VERIFY(!session->timer.armed()); // a single plan is done once its take is

        // Asleep from before the start until after its stop: nothing records.
        plan.startAt = wall.addSecs(60);
        plan.stopAt = QTime(13, 45);
        QVERIFY(session->timer.set(plan).isEmpty());
        wall = QDateTime(QDate(2026, 12, 9), QTime(15, 0));
        QTRY_VERIFY(!session->timer.armed());
        QCOMPARE(records(), 1);
        QVERIFY(session->status.text().contains("was missed"));
    }

    void stopCancelsEveryRuleAndPlansAreChecked() {
        TimerPlan plan;
        plan.startAt = wall.addSecs(-60);
        plan.stop = TimerPlan::Stop::AfterDuration;
        plan.durationMs = 1000;
        QVERIFY(session->timer.set(plan).contains("has passed"));
        plan.startAt = wall.addSecs(600);
        plan.stop = TimerPlan::Stop::Never;
        QVERIFY(!session->timer.set(plan).isEmpty());
        QVERIFY(!session->timer.armed());
        plan.stop = TimerPlan::Stop::AtFileSize;
        plan.maxBytes = 1 << 20;
        QVERIFY(session->timer.set(plan).isEmpty());
        session->voice.arm();
        QVERIFY(session->listening()); // the input stays open for the voice's level
        QCOMPARE(session->refusal(Session::Command::Stop), QString());
        QVERIFY(session->request(Session::Command::Stop));
        QVERIFY(!session->timer.armed());
        QVERIFY(!session->voice.armed());
        QVERIFY(!session->listening());
        QCOMPARE(session->status.text(), QStringLiteral("Stopped: nothing waits to record."));
        QVERIFY(!session->refusal(Session::Command::Stop).isEmpty());
    }

    void preRecordInTheSettingsOpensTheInputAtStart() {
        session.reset();
        audio = FakeAudioLibraries();
        session = startSession(dir->path(),
                               configFor(dir->path() + "/rec.wav") + "Pre-record Seconds=3\n",
                               audio, player);
        QVERIFY(session);
        QVERIFY(session->listening());
        QTRY_VERIFY(audio.listening);
        QVERIFY(session->meter.active());
    }

    void soundStartsATakeJustBeforeItAndAStartByHandKeepsItsSpan() {
        session->voice.arm();
        QTRY_VERIFY(audio.listening);
        audio.inputLevel.peak = 0.5f;
        // Each look finds a new span measured, as the engine's spans come.
        const auto soundGoesOn = [this] {
            ++audio.inputLevel.updates;
            return session->recorder.phase() == Recorder::Phase::Recording;
        };
        QTRY_VERIFY(soundGoesOn());
        // The start threshold, -40 dB by default, as a share of full scale.
        QVERIFY(qAbs(audio.startAtSound - 0.01) < 1e-6);
        audio.inputLevel.peak = 0;
        QVERIFY(session->request(Session::Command::Stop));
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Idle);
        session->setPreRecordSeconds(2);
        QVERIFY(session->request(Session::Command::Record));
        // Said on the engine's worker before the record, which answers after it.
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Recording);
        QCOMPARE(audio.startAtSound, 0.0);
    }

    void lengthsOnTheCommandLine_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("bare seconds") << "90" << qint64(90000);
        QTest::newRow("seconds") << "45s" << qint64(45000);
        QTest::newRow("minutes") << "30m" << qint64(1800000);
        QTest::newRow("hours") << "2h" << qint64(7200000);
        QTest::newRow("mixed") << "1h30m" << qint64(5400000);
        QTest::newRow("fraction") << "1.5s" << qint64(1500);
        QTest::newRow("zero") << "0" << qint64(-1);
        QTest::newRow("word") << "soon" << qint64(-1);
        QTest::newRow("empty") << "" << qint64(-1);
        QTest::newRow("over a week") << "200h" << qint64(-1);
        QTest::newRow("negative") << "-5" << qint64(-1);
    }
    void lengthsOnTheCommandLine() {
        QFETCH(QString, text);
        QFETCH(qint64, ms);
        QCOMPARE(parseDuration(text).value_or(-1), ms);
    }
};

QTEST_MAIN(TestCoreRules)
#include "test_core_rules.moc"
