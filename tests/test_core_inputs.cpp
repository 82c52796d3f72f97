// A second input and one program's sound, without a window: what the session tells the engine
// and when, the lists the windows offer, each input's level, and what a take says when an
// input goes away or the program falls silent.
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "tests/support/TestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;
using Phase = Recorder::Phase;

class TestCoreInputs : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeAudioLibraries> audio;
    FakePlayer player;
    std::unique_ptr<Session> session;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    void start(const QByteArray& keys) {
        session = startSession(dir->path(), configFor(path("take.wav")) + keys, *audio, player);
        QVERIFY(session);
    }
    // The calls that choose or mix the inputs, in order, once the worker has made them.
    QStringList inputCalls() {
        if (!QTest::qWaitFor([this] { return !session->engine.busy(); }))
            return {"worker still busy"};
        QStringList out;
        for (const QString& call : callLog(*audio))
            if (call.startsWith("Wavelark(;7,") || call.startsWith("WavelarkSelectApplication") ||
                call.startsWith("WavelarkMix") || call.startsWith("Wavelark(;5,") ||
                call.startsWith("Wavelark(;6,") || call.startsWith("Wavelark(;1,"))
                out << call;
        return out;
    }
    void record() {
        session->recorder.record();
        QTRY_COMPARE(session->recorder.phase(), Phase::Recording);
        audio->status.take = 1;
        audio->status.rate = 8000;
    }
    void stop() {
        audio->status.take = 0;
        session->recorder.stopAndSave();
        QTRY_COMPARE(session->recorder.phase(), Phase::Idle);
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = std::make_unique<FakeAudioLibraries>();
        saveWritesTheTake(*audio);
        audio->savedSeconds = 2;
    }
    void cleanup() { session.reset(); }

    // At start the engine hears the inputs after the source and before any take; a plain
    // Config.ini tells it nothing new.
    void theStartTellsTheEngineTheInputs() {
        start("Second Recording Source=2\nApplication Source=Meeting\nFirst Input Level=80\n"
              "Second Input Level=120\nInputs On Own Channels=1\n");
        QCOMPARE(inputCalls(),
                 QStringList({"Wavelark(;5,0,0,0,0)", "Wavelark(;7,0,0,0,1)",
                              "WavelarkSelectApplication(Meeting;)", "WavelarkMix(;80,120,1)"}));
        QCOMPARE(session->meter.inputCount(), 2);
        QTRY_COMPARE(session->inputDescription(), QString("Meeting"));

        session.reset();
        audio = std::make_unique<FakeAudioLibraries>();
        start({});
        QCOMPARE(inputCalls(), QStringList{"Wavelark(;5,0,0,0,0)"});
        QCOMPARE(session->meter.inputCount(), 1);
    }

    // A change during a take is kept for the next one: the take keeps the inputs it began
    // with, and the engine hears the change before the next record.
    void aChangeDuringATakeWaitsForItsEnd() {
        start({});
        record();
        audio->calls.clear();
        InputChoice inputs;
        inputs.secondSource = 1;
        inputs.secondLevel = 250; // clamped
        session->setInputs(inputs);
        QCOMPARE(session->inputs().secondLevel, 200);
        QCOMPARE(inputCalls(), QStringList());
        QCOMPARE(session->meter.inputCount(), 1);
        stop();
        QCOMPARE(inputCalls(), QStringList({"Wavelark(;7,0,0,0,0)", "WavelarkMix(;100,200,0)"}));
        QCOMPARE(session->settings.inputChoice(), session->inputs());
        audio->calls.clear();
        record();
        QCOMPARE(inputCalls(), QStringList{"Wavelark(;1,1,22050,16,0)"});
        stop();

        // Back to the source alone: only what changed is said, once.
        audio->calls.clear();
        session->setInputs(InputChoice());
        session->setInputs(InputChoice());
        QCOMPARE(inputCalls(), QStringList({"Wavelark(;7,0,0,0,-1)", "WavelarkMix(;100,100,0)"}));
    }

    // The input kept open for pre-record was opened with the old inputs: it is closed, the
    // engine told, and opened again.
    void anOpenInputIsOpenedAgainWithTheNewInputs() {
        start("Pre-record Seconds=2\n");
        QTRY_VERIFY(audio->listening);
        audio->calls.clear();
        InputChoice inputs;
        inputs.application = "Player";
        session->setInputs(inputs);
        QCOMPARE(inputCalls(),
                 QStringList({"Wavelark(;6,0,0,0,0)", "WavelarkSelectApplication(Player;)",
                              "Wavelark(;6,1,22050,16,2000)"}));
        QVERIFY(session->listening());
    }

    // The wizard tests each source alone and puts the choice back when it closes.
    void theWizardTestsTheSourceAlone() {
        start("Second Recording Source=2\nApplication Source=Meeting\n");
        audio->calls.clear();
        QVERIFY(session->openSoundCardSetup());
        QCOMPARE(inputCalls(),
                 QStringList({"Wavelark(;7,0,0,0,-1)", "WavelarkSelectApplication(;)"}));
        QCOMPARE(session->meter.inputCount(), 1);
        audio->calls.clear();
        session->closeSoundCardSetup(); // the source in use again, then the inputs
        QCOMPARE(inputCalls(), QStringList({"Wavelark(;5,0,0,0,0)", "Wavelark(;7,0,0,0,1)",
                                            "WavelarkSelectApplication(Meeting;)"}));
        QCOMPARE(session->meter.inputCount(), 2);
    }

    // "None" first; a choice the server lacks now stays, marked, so that opening a window
    // never changes it; an answer to an older ask is dropped.
    void theListsOfferWhatTheServerHas() {
        start({});
        audio->sourceCount = 2;
        audio->playing = {{"Firefox", "firefox"}, {"Zoom", ""}};
        InputChoices& choices = session->inputChoices;
        choices.refresh();
        choices.refresh();
        QTRY_VERIFY(!choices.loading());
        const auto seconds = choices.secondInputs(3);
        QStringList labels;
        for (const auto& item : seconds)
            labels << item.label;
        QCOMPARE(labels,
                 QStringList({"None", "1: Source 0", "2: Source 1", "Input 3 (not present now)"}));
        QVERIFY(!seconds.last().present);
        QCOMPARE(InputChoices::indexOfSource(seconds, 2), 2);
        QCOMPARE(InputChoices::indexOfSource(seconds, 0), 0);

        const auto programs = choices.programs("Zoom");
        QCOMPARE(programs.size(), 3);
        QCOMPARE(programs.at(1).icon, QString("firefox"));
        QCOMPARE(InputChoices::indexOfProgram(programs, "Zoom"), 2);
        const auto gone = choices.programs("Skype");
        QCOMPARE(gone.last().label, QString("Skype (not playing now)"));
        QCOMPARE(InputChoices::indexOfProgram(gone, "Skype"), 3);
    }

    // Two bars: each input's level read on its own, the mixed one still for silence and voice
    // activation; an input gone mid-take shows empty.
    void theMeterReadsEachInput() {
        start("Second Recording Source=2\n");
        InputMeter& meter = session->meter;
        QSignalSpy each(&meter, &InputMeter::inputLevelChanged);
        QSignalSpy mixed(&meter, &InputMeter::levelChanged);
        audio->inputsOpen = {true, true};
        audio->inputLevels[0] = {0.5, false, 1};
        audio->inputLevels[1] = {0.25, true, 1};
        audio->inputLevel = {0.6, false, 1};
        audio->status.take = 1;
        meter.read();
        QCOMPARE(mixed.size(), 1);
        QCOMPARE(each.size(), 2);
        QCOMPARE(each.at(0), QVariantList({0, 0.5, 0.5, false}));
        QCOMPARE(each.at(1), QVariantList({1, 0.25, 0.25, true}));
        meter.read(); // nothing new measured: nothing said
        QCOMPARE(each.size(), 2);
        audio->inputsOpen[1] = false;
        meter.read();
        QCOMPARE(each.size(), 3);
        QCOMPARE(each.last(), QVariantList({1, 0.0, 0.0, false}));

        // One input again: only the mixed level.
        InputChoice one;
        session->setInputs(one);
        QCOMPARE(meter.inputCount(), 1);
        audio->inputLevels[0] = {0.9, false, 2};
        meter.read();
        QCOMPARE(each.size(), 3);
    }

    // An input lost mid-take is said at once and the take goes on; the saved take says it too,
    // without calling it cut short.
    void aLostInputIsSaidAndTheTakeGoesOn() {
        start("Second Recording Source=2\n");
        session->meter.setSilenceSpan(60'000);
        record();
        audio->status.frames = 8000;
        audio->status.problems = EngineStatus::InputLost;
        QTRY_COMPARE_WITH_TIMEOUT(session->status.text(),
                                  QString("One input went away; the take goes on with the other."),
                                  2500);
        QCOMPARE(session->status.colour(), kRed);
        audio->status.frames += 8000; // audio still comes: the note stands
        QTest::qWait(1200);
        QVERIFY(session->recorder.faulted());
        QSignalSpy listed(session.get(), &Session::takeListed);
        stop();
        QCOMPARE(listed.size(), 1);
        const QString warning = listed.first().at(2).toString();
        QCOMPARE(warning, "Saved as " + path("take.wav") +
                              ". One input went away during the take; it went on with the other.");
        QCOMPARE(session->status.text(), warning);

        // With a fault that ends the take as well, both are said.
        record();
        audio->status.problems = EngineStatus::InputLost | EngineStatus::ServerLost;
        QTRY_VERIFY_WITH_TIMEOUT(session->status.text().contains("the sound server went away"),
                                 2500);
        stop();
        QVERIFY2(session->status.text().contains("cut short: the sound server went away") &&
                     session->status.text().endsWith("it went on with the other."),
                 qPrintable(session->status.text()));
    }

    // The chosen program playing nothing is said in blue, in place of the silence alarm, and
    // the line returns to recording when it plays again.
    void aSilentProgramIsSaidUntilItPlays() {
        start("Application Source=Music Box\n");
        session->meter.setSilenceSpan(300);
        audio->status.program = 1;
        record();
        audio->status.program = 0;
        QTRY_COMPARE_WITH_TIMEOUT(session->status.text(),
                                  QString("Music Box plays nothing now; the take holds silence."),
                                  2500);
        QCOMPARE(session->status.colour(), kBlue);
        QVERIFY(session->recorder.programIdle());
        QTest::qWait(600); // the meter finds the silence: the program's note stays
        QCOMPARE(session->status.text(),
                 QString("Music Box plays nothing now; the take holds silence."));
        audio->status.program = 1;
        QTRY_COMPARE_WITH_TIMEOUT(session->status.text(),
                                  QString("The Program is Recording now........"), 2500);
        stop();
        QVERIFY(!session->status.text().contains("cut short"));
    }
};

QTEST_GUILESS_MAIN(TestCoreInputs)
#include "test_core_inputs.moc"
