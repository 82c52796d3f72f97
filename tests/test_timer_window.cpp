// The timer's window against a real main window and session, with fakes for the platform.
#include "app/Form1.h"
#include "core/Session.h"
#include "dialogs/TimerWindow.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QDateTimeEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;

class TestTimerWindow : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    std::unique_ptr<RiggedForm1> form;
    // The timer's clock: a test moves it as the hours pass.
    QDateTime now{QDate(2030, 6, 1), QTime(10, 0)};

    TakeTimer& timer() { return form->session().timer; }
    TimerWindow* open() {
        form->mTimer_Click();
        return form->timerWindow();
    }
    // Start at `start`, stop after what `duration` says, and Set.
    static void setPlan(TimerWindow* window, const QDateTime& start, const QString& duration) {
        QTest::mouseClick(window->StartAt, Qt::LeftButton);
        window->StartTime->setDateTime(start);
        QTest::mouseClick(window->StopAfter, Qt::LeftButton);
        window->Duration->setText(duration);
        QTest::mouseClick(window->SetButton, Qt::LeftButton);
    }

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        QVERIFY(copySkins(dir.path()));
        QVERIFY(writeFile(dir.path() + "/Config.ini", configFor(dir.path() + "/take.wav")));
        form = std::make_unique<RiggedForm1>(Services{dir.path(), audio, hotkeys, player});
        form->Form_Load();
        QTRY_VERIFY(!form->session().engine.busy());
        timer().setWallClock([this] { return now; });
    }
    void cleanup() { form.reset(); }

    // Set keeps what the window says, the window counts down to it, and a window opened
    // later shows it again.
    void setsAPlanAndShowsItWaiting() {
        TimerWindow* window = open();
        QCOMPARE(open(), window); // the one window, raised
        QCOMPARE(window->Current->text(), QString("Nothing is set."));
        const QDateTime start(now.date(), QTime(12, 0));
        setPlan(window, start, "1h30m");
        QVERIFY(timer().plan());
        QCOMPARE(*timer().plan()->startAt, start);
        QCOMPARE(timer().plan()->stop, TimerPlan::Stop::AfterDuration);
        QCOMPARE(timer().plan()->durationMs, 90 * 60 * 1000);
        QVERIFY2(window->Current->text().contains("in 2 h"), qPrintable(window->Current->text()));
        now = now.addSecs(3600); // nothing signals: the window reads the timer every second
        QTRY_VERIFY_WITH_TIMEOUT(window->Current->text().contains("in 1 h"), 2500);

        QTest::mouseClick(window->CloseButton, Qt::LeftButton);
        flushDeletes();
        QVERIFY(!form->hasTimerWindow());
        QVERIFY(timer().armed()); // closing the window cancels nothing
        window = open();
        QCOMPARE(window->StartTime->dateTime(), start);
        QVERIFY(window->StopAfter->isChecked());
        QCOMPARE(window->Duration->text(), QString("1h30m"));
    }

    // What the timer refuses, or a length that is none, is said in the window, and the plan
    // in force stays; Cancel timer drops it, and so does Stop from any front end.
    void refusalsAndCancels() {
        TimerWindow* window = open();
        setPlan(window, now.addSecs(-60), "30m");
        QVERIFY2(window->Refusal->text().contains("has passed"),
                 qPrintable(window->Refusal->text()));
        QVERIFY(!timer().armed());
        setPlan(window, now.addSecs(3600), "30m");
        QVERIFY(window->Refusal->text().isEmpty());
        setPlan(window, now.addSecs(7200), "soon");
        QVERIFY(window->Refusal->text().contains("\"soon\""));
        QCOMPARE(*timer().plan()->startAt, now.addSecs(3600));

        QTest::mouseClick(window->CancelButton, Qt::LeftButton);
        QVERIFY(!timer().armed());
        QCOMPARE(window->Current->text(), QString("Nothing is set."));
        setPlan(window, now.addSecs(3600), "30m");
        QVERIFY(form->session().request(Session::Command::Stop));
        QVERIFY(!timer().armed());
        QCOMPARE(window->Current->text(), QString("Nothing is set."));
    }
};

QTEST_MAIN(TestTimerWindow)
#include "test_timer_window.moc"
