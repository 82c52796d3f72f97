// The sound-card wizard's window with fakes: what it shows of each step, how it closes, and
// how it hands over to the main window.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "settings/Form2.h"
#include "skins/Skin.h"
#include "skins/SkinControls.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;

class TestWizard : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeAudioLibraries> audio;
    std::unique_ptr<FakeHotkeys> hotkeys;
    std::unique_ptr<FakePlayer> player;
    std::unique_ptr<Session> session; // the window alone, on a session of its own
    std::unique_ptr<Form2> window;
    std::unique_ptr<Form1> form; // or the window the main window creates
    Form2* wizardWindow = nullptr;
    SoundCardWizard* wizard = nullptr;

    void openAlone() {
        session = std::make_unique<Session>(dir->path(), *audio, *player, nullptr);
        wizard = &session->wizard;
        window = std::make_unique<Form2>(*wizard, dir->path(), QIcon());
        window->Form_Load();
        window->show();
        wizardWindow = window.get();
    }
    void openFromMainWindow() {
        form = std::make_unique<RiggedForm1>(Services{dir->path(), *audio, *hotkeys, *player});
        form->Form_Load();
        QVERIFY(form->hasForm2());
        wizardWindow = form->form2();
        wizard = &form->session().wizard;
    }
    // A program set up already, its main window showing.
    void openConfigured() {
        QVERIFY(test::writeFile(dir->path() + "/Config.ini",
                                test::configFor(dir->path() + "/Take.wav")));
        form = std::make_unique<RiggedForm1>(Services{dir->path(), *audio, *hotkeys, *player});
        form->Form_Load();
        QTRY_VERIFY(!form->session().engine.busy());
        QVERIFY(!form->hasForm2());
        wizard = &form->session().wizard;
    }
    // Options > "Sound card setting...", and the wizard window it opens.
    void soundCardSetting() {
        form->soundCard->trigger();
        QVERIFY(form->hasForm2());
        wizardWindow = form->form2();
        QVERIFY(wizardWindow->isVisible());
    }
    // Source 1 not heard, source 2 heard.
    void heardSecondSource() {
        for (int i = 0; i < 7; ++i)
            next();
        wizardWindow->SkinButton2->click();
        QVERIFY(wizard->done());
    }
    // The source the engine was last told to record from.
    int engineSource() const {
        const QList<test::Args> selected = test::engineCalls(*audio, 5);
        return selected.isEmpty() ? -1 : selected.last().last();
    }
    // Clicks "next" and waits for its step to end.
    void next() {
        wizardWindow->SkinButton1->click();
        QTRY_VERIFY(!wizard->busy());
    }
    QString label() const { return wizardWindow->SkinLabel1->text(); }
    QString readIni() const { return test::readFile(dir->path() + "/Config.ini"); }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = std::make_unique<FakeAudioLibraries>();
        audio->sourceCount = 1;
        hotkeys = std::make_unique<FakeHotkeys>();
        player = std::make_unique<FakePlayer>();
        player->autoFinish = true;
    }
    void cleanup() {
        window.reset();
        session.reset();
        form.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void showsEachStep() {
        audio->sourceCount = 2;
        openAlone();
        SkinButton* nextButton = wizardWindow->SkinButton1;
        SkinButton* second = wizardWindow->SkinButton2;
        QCOMPARE(label(), wizard->text());
        QVERIFY(nextButton->isVisible() && nextButton->isEnabled());
        QVERIFY(!second->isVisible());

        next(); // sources counted
        QCOMPARE(label(), wizard->text());
        next(); // source 1 announced
        QCOMPARE(label(), wizard->text());
        next(); // recorded
        QCOMPARE(label(), wizard->text());
        QVERIFY(!second->isVisible());

        next(); // played back: was it heard?
        QCOMPARE(label(), wizard->text());
        QVERIFY(second->isVisible());
        QCOMPARE(second->text(), QString("heard"));
        QVERIFY(nextButton->isVisible() && nextButton->isEnabled());
        next(); // not heard: on to source 2, and "heard" goes until it is asked again
        QVERIFY(!second->isVisible());
        QCOMPARE(wizard->testNumber(), 2);
        next();
        next();
        QVERIFY(second->isVisible());

        second->click();
        QCOMPARE(label(), wizard->text());
        QVERIFY(wizard->done());
        QCOMPARE(second->text(), QString("Done"));
        QVERIFY(second->isVisible());
        QVERIFY(!nextButton->isVisible());

        QSignalSpy handedOver(wizardWindow, &Form2::handedOver);
        QSignalSpy closed(wizardWindow, &Form2::closed);
        second->click();
        QVERIFY(!wizardWindow->isVisible());
        QCOMPARE(handedOver.count(), 1);
        QCOMPARE(closed.count(), 0);
    }

    void closeWhileAStepRunsWaitsForTheStep() {
        openAlone();
        next();
        next();
        player->autoFinish = false;
        wizardWindow->SkinButton1->click(); // records while the chime plays
        QTRY_COMPARE(player->mode(dir->path() + "/test.wav"), QString("playing"));
        QVERIFY(!wizardWindow->SkinButton1->isEnabled());

        QSignalSpy closed(wizardWindow, &Form2::closed);
        QVERIFY(!wizardWindow->close());
        QVERIFY(wizardWindow->isVisible());
        QCOMPARE(closed.count(), 0);

        player->modes[dir->path() + "/test.wav"] = "stopped";
        QTRY_COMPARE(closed.count(), 1);
        QVERIFY(!wizardWindow->isVisible());
        // The step ran to its end: the recording was saved.
        QVERIFY(!wizard->busy());
        QCOMPARE(audio->calls.last().args.first(), 0);
        QCOMPARE(audio->calls.last().file, wizard->testRecordingPath().toLocal8Bit());
    }

    void doneHandsOverToTheMainWindow() {
        audio->volumeRange = {0, 65536};
        openFromMainWindow();
        for (int i = 0; i < 4; ++i)
            next();
        wizardWindow->SkinButton2->click(); // heard
        wizardWindow->SkinButton2->click(); // Done
        QVERIFY(!wizardWindow->isVisible());
        QVERIFY(form->isVisible());
        QCOMPARE(form->SkinPanel1->text(), QString("22050  Hz   16  Bit"));
        QTRY_COMPARE(form->SkinScrollBar1->position(), 32768);
        QCOMPARE(form->SkinScrollBar1->maximum(), 65536);
        QCOMPARE(form->SkinLabel5->text(), QString("Recording volume setting :32768"));

        // The hidden wizard goes with the main window, which shuts down once.
        QSignalSpy stopped(&form->session(), &Session::quitReady);
        form->close();
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!form->hasForm2());
    }

    // At Done the window grows two lists under its text, "None" first; what is picked there is
    // stored and put in use when the main window takes over, whose meter then shows two bars.
    void doneOffersASecondInputAndAProgram() {
        audio->sourceCount = 2;
        audio->playing = {{"Zoom", "zoom"}, {"mpv", "mpv"}};
        openFromMainWindow();
        QVERIFY(!wizardWindow->SecondInput->isVisible() && !wizardWindow->Program->isVisible());
        const int stepsHeight = wizardWindow->height();
        for (int i = 0; i < 4; ++i)
            next();
        wizardWindow->SkinButton2->click(); // heard
        QTRY_VERIFY(!wizard->choices().loading());
        QVERIFY(wizardWindow->SecondInput->isVisible() && wizardWindow->Program->isVisible());
        QVERIFY(wizardWindow->height() > stepsHeight);
        // The buttons stay clear of the lists.
        QVERIFY(wizardWindow->SkinButton2->geometry().top() >
                wizardWindow->Program->geometry().bottom());
        QComboBox* second = wizardWindow->SecondInput;
        QComboBox* program = wizardWindow->Program;
        QCOMPARE(second->count(), 3);
        QCOMPARE(second->itemText(0), QString("None"));
        QCOMPARE(second->itemText(2), QString("2: Source 1"));
        QCOMPARE(program->itemText(0), QString("None"));
        QCOMPARE(program->itemText(1), QString("Zoom"));
        QCOMPARE(second->currentIndex(), 0);
        emit second->activated(2);
        emit program->activated(2);
        QCOMPARE(second->currentIndex(), 2); // shown as picked, also after the lists refill
        QCOMPARE(program->currentText(), QString("mpv"));
        wizardWindow->SkinButton2->click(); // Done
        QVERIFY(form->isVisible());
        QCOMPARE(form->session().inputs().secondSource, 2);
        QCOMPARE(form->session().inputs().application, QString("mpv"));
        QVERIFY(readIni().contains("Second Recording Source=2\n"));
        QVERIFY(readIni().contains("Application Source=mpv\n"));
        QCOMPARE(form->SkinMeter1->barCount(), 2);
        QTRY_VERIFY(callLog(*audio).contains("WavelarkSelectApplication(mpv;)"));
    }

    void closingTheWizardEndsTheProgram_data() {
        QTest::addColumn<int>("nexts");
        QTest::addColumn<bool>("heard");
        QTest::newRow("at the start") << 0 << false;
        QTest::newRow("after heard") << 4 << true; // not handed over without Done
    }
    void closingTheWizardEndsTheProgram() {
        QFETCH(int, nexts);
        QFETCH(bool, heard);
        openFromMainWindow();
        for (int i = 0; i < nexts; ++i)
            next();
        if (heard)
            wizardWindow->SkinButton2->click();

        QSignalSpy stopped(&form->session(), &Session::quitReady);
        QVERIFY(wizardWindow->close());
        QCOMPARE(stopped.count(), 1);
        QVERIFY(hotkeys->registered.isEmpty());
        form->close(); // the main window's own close afterwards runs nothing again
        QCOMPARE(stopped.count(), 1);
        // Only "heard" stores the wizard's keys. No source was opened, so no volume is known,
        // and none is stored: a 0 written here would mute the input at the next start.
        QCOMPARE(readIni().contains("Recording Source="), heard);
        QVERIFY(!readIni().contains("Recording Volume"));
    }

    // Run again on a set-up program: closing it changes nothing and the program goes on; Done
    // puts the new source in use and keeps where the takes go.
    void soundCardSettingRunsTheWizardAgain() {
        audio->sourceCount = 2;
        openConfigured();
        Session& s = form->session();
        QCOMPARE(s.settings.SourceIndex, 0);
        const QString before = readIni();
        QSignalSpy stopped(&form->session(), &Session::quitReady);

        soundCardSetting();
        heardSecondSource();
        QVERIFY(wizardWindow->close());
        QTRY_VERIFY(!form->hasForm2()); // deleted once closed
        QCOMPARE(stopped.count(), 0);
        QVERIFY(form->isVisible());
        QCOMPARE(readIni(), before);
        QCOMPARE(s.settings.SourceIndex, 0);
        // The engine was pointed at source 2 for its test; the takes still come from source 1.
        QTRY_VERIFY(!s.engine.busy());
        QCOMPARE(engineSource(), 0);

        soundCardSetting();
        QCOMPARE(wizard->step(), SoundCardWizard::Step::Preparing);
        heardSecondSource();
        wizardWindow->SkinButton2->click(); // Done
        QTRY_VERIFY(!form->hasForm2());
        QTRY_VERIFY(!s.engine.busy());
        QCOMPARE(stopped.count(), 0);
        QCOMPARE(s.settings.SourceIndex, 1);
        QCOMPARE(engineSource(), 1);
        QVERIFY(readIni().contains("Recording Source=2\n"));
        QVERIFY(readIni().contains("Save Position=" + dir->path() + "/Take.wav\n"));
    }

    void soundCardSettingWaitsForTheTake() {
        test::saveWritesTheTake(*audio);
        openConfigured();
        form->SkinButton1->click();
        QTRY_COMPARE(form->session().recorder.phase(), Recorder::Phase::Recording);
        form->soundCard->trigger();
        QVERIFY(!form->hasForm2());
        QCOMPARE(form->Text1->text(),
                 QString("Stop the recording before setting up the sound card."));
        QCOMPARE(form->Text1->palette().color(QPalette::Text), statusTextColour(kRed));
        form->SkinButton2->click();
        QTRY_COMPARE(form->session().recorder.phase(), Recorder::Phase::Idle);
    }

    // While the wizard is open it holds the recorder: F9, the button and the command line
    // are refused with the reason, and its test records and saves only its own take.
    void theOpenWizardHoldsTheRecorder() {
        test::saveWritesTheTake(*audio);
        openConfigured();
        soundCardSetting();
        next();
        next();
        QVERIFY(label().startsWith("Program will test NO.1"));
        const QString held = "The sound card setting is open; finish or close it before recording.";
        hotkeys->press(kHotkeyRecord);
        QCOMPARE(form->Text1->text(), held);
        QVERIFY(!form->SkinButton1->isEnabled());
        QVERIFY(!form->session().request(Session::Command::Record)); // as --record asks
        next();                                                      // the wizard's own test take
        QCOMPARE(form->session().recorder.phase(), Recorder::Phase::Idle);
        QCOMPARE(test::savedFiles(*audio), QStringList{wizard->testRecordingPath()});
        QVERIFY(form->session().takes.rowCount() == 0);

        QVERIFY(wizardWindow->close());
        QTRY_VERIFY(!form->hasForm2());
        QVERIFY(form->SkinButton1->isEnabled());
        hotkeys->press(kHotkeyRecord);
        QTRY_COMPARE(form->session().recorder.phase(), Recorder::Phase::Recording);
        form->SkinButton2->click();
        QTRY_COMPARE(form->session().recorder.phase(), Recorder::Phase::Idle);
    }
};

QTEST_MAIN(TestWizard)
#include "test_wizard.moc"
