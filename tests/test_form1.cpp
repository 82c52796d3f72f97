// The main window's start-up, hotkey pump and shutdown, with fakes.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/AudioLibraries.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "platform/FileSystem.h"
#include "settings/Form2.h"
#include "settings/InputsWindow.h"
#include "skins/Skin.h"
#include "skins/SkinControls.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace tw;
using namespace tw::test;

class TestForm1 : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    std::unique_ptr<RiggedForm1> form;

    QString ini() const { return dir.path() + "/Config.ini"; }
    QString path(const QString& name) const { return dir.path() + "/" + name; }
    void make() {
        form = std::make_unique<RiggedForm1>(Services{dir.path(), audio, hotkeys, player});
    }
    // A configured run whose takes go to `take`, started and with the mixer's answer in.
    void load(const QString& take) {
        QVERIFY(writeFile(ini(), configFor(path(take))));
        make();
        form->Form_Load();
        QTRY_VERIFY(!form->session().engine.busy());
    }
    Recorder& recorder() { return form->session().recorder; }
    QStringList listed() const { return lines(*form->List1->model(), Takes::PathRole); }

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        QFile::remove(ini());
        audio = FakeAudioLibraries();
        saveWritesTheTake(audio);
        hotkeys.registered.clear();
        hotkeys.log.clear();
        player.log.clear();
        QVERIFY(copySkins(dir.path()));
    }
    void cleanup() { form.reset(); }

    void startUp_data() {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<int>("low");
        QTest::addColumn<int>("high");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QList<int>>("slider"); // minimum, maximum, steps, position
        QTest::addColumn<QString>("outputPath");
        QTest::addColumn<QString>("panel");
        QTest::newRow("full") << QByteArray(
                                     "[Config]\nRecording Source=2\nSave Position=/music/rec.wav\n"
                                     "Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n"
                                     "Recording Volume=30000\n")
                              << 0 << 65536
                              << QStringList({"VolumeLevel(;1)", "Volume(;1,30000)",
                                              "Wavelark(;5,0,0,0,1)"})
                              << QList<int>({0, 65536, 655, 6553, 30000}) << "/music/rec.wav"
                              << "44100  Hz   16  Bit";
        // Steps come from min + max of the range: (−100 + 301) / 100 and / 10.
        QTest::newRow("keys missing")
            << QByteArray("[Config]\nRecording Source=1\nRecording Volume=5\n") << -100 << 301
            << QStringList({"VolumeLevel(;0)", "Volume(;0,5)", "Wavelark(;5,0,0,0,0)"})
            << QList<int>({-100, 301, 2, 20, 5}) << path("Larktake.wav") << "0  Hz   0  Bit";
        // Without a stored volume the source keeps its own, and the slider shows it.
        QTest::newRow("no volume")
            << QByteArray("[Config]\nRecording Source=1\n") << 0 << 65536
            << QStringList({"VolumeLevel(;0)", "Wavelark(;5,0,0,0,0)"})
            << QList<int>({0, 65536, 655, 6553, 40000}) << path("Larktake.wav") << "0  Hz   0  Bit";
    }
    void startUp() {
        QFETCH(QByteArray, config);
        QFETCH(int, low);
        QFETCH(int, high);
        QFETCH(QStringList, calls);
        QFETCH(QList<int>, slider);
        QFETCH(QString, outputPath);
        QFETCH(QString, panel);
        QVERIFY(writeFile(ini(), config));
        audio.volumeRange = {low, high};
        make();
        form->Form_Load();
        QVERIFY(form->isVisible());
        QVERIFY(!form->hasForm2());
        QCOMPARE(form->SkinPanel1->text(), panel);
        QCOMPARE(form->Text1->text(), QString("Please read help files before starting program."));
        QCOMPARE(hotkeys.log,
                 QStringList({"register 49151 120", "register 0 121", "register 160 122"}));

        // The slider follows when the mixer answers.
        QTRY_VERIFY(!form->session().engine.busy());
        QCOMPARE(callLog(audio), calls);
        SkinScrollBar* bar = form->SkinScrollBar1;
        QCOMPARE(QList<int>({bar->minimum(), bar->maximum(), bar->singleStep(), bar->pageStep(),
                             bar->position()}),
                 slider);
        QCOMPARE(form->SkinLabel5->text(),
                 "Recording volume setting :" + QString::number(slider.last()));
        QCOMPARE(recorder().outputPath(), outputPath);
        QCOMPARE(form->Common.Filter, QString("Wave Files(*.wav)|*.wav"));
        QCOMPARE(readFile(ini()), config); // start-up writes nothing
    }

    void firstRunShowsOnlyTheWizard() {
        make();
        form->Form_Load();
        QVERIFY(!form->isVisible());
        QVERIFY(form->hasForm2());
        QVERIFY(form->form2()->isVisible());
        QCOMPARE(recorder().outputPath(), dir.path() + "/Larktake.wav");
        QVERIFY(!QFile::exists(ini()));
        QCOMPARE(hotkeys.registered.size(), 3); // the pump listens on a first run too
        QTRY_VERIFY(!form->session().engine.busy());
        QVERIFY(audio.calls.isEmpty());
    }

    void shutdownWritesOnlyTheVolumeAndReleasesHotkeys() {
        QVERIFY(
            writeFile(ini(), "; mine\n[Config]\nRecording Source=1\nChannels=1\n[Other]\nx=1\n"));
        make();
        form->Form_Load();
        QTRY_VERIFY(!form->session().engine.busy());
        form->SkinScrollBar1->setPosition(1234);
        form->SkinScrollBar1_Change(); // as a user's move of the slider fires it
        form->session().takes.add("/tmp/a.wav", 3, Takes::Kind::Wav);
        form->List1->setCurrentIndex(form->List1->model()->index(0, 0));
        form->session().playback.play("/tmp/b.wav");
        player.log.clear();
        hotkeys.log.clear();
        QSignalSpy stopped(&form->session(), &Session::quitReady);
        form->close();
        form->Exit_Click(); // a second request changes nothing
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(readFile(ini()), QByteArray("; mine\n[Config]\nRecording Source=1\nChannels=1\n"
                                             "Recording Volume=1234\n[Other]\nx=1\n"));
        QCOMPARE(player.log, QStringList({"close /tmp/b.wav", "close /tmp/a.wav"}));
        QCOMPARE(hotkeys.log, QStringList({"unregister 49151", "unregister 0", "unregister 160"}));
        QVERIFY(savedFiles(audio).isEmpty()); // idle: nothing to save
    }

    // The shutdown waits for the engine's answer, so the take is in place and listed when the
    // program may end, whatever the status line said.
    void closingSavesARunningTake_data() {
        // "converting": recording while the status line shows a conversion.
        QTest::addColumn<QString>("how");
        for (const char* how : {"starting", "recording", "paused", "converting"})
            QTest::newRow(how) << QString(how);
    }
    void closingSavesARunningTake() {
        QFETCH(QString, how);
        const QString take = path("close-" + how + ".wav");
        load(QFileInfo(take).fileName());
        form->SkinButton1_Click();
        if (how != "starting")
            QTRY_COMPARE(recorder().phase(), Recorder::Phase::Recording);
        if (how == "paused")
            form->SkinButton4_Click();
        if (how == "converting")
            form->session().status.set("Encoding in progress...  Status=42%", kBlue);
        QSignalSpy stopped(&form->session(), &Session::quitReady);
        form->close();
        QVERIFY(stopped.isEmpty() || how == "starting"); // a start is answered first
        QTRY_COMPARE(stopped.count(), 1);
        QCOMPARE(savedFiles(audio), QStringList{take});
        QCOMPARE(listed(), QStringList{take});
        QCOMPARE(recorder().phase(), Recorder::Phase::Idle);
    }

    // The take is saved; the conversion is stopped and leaves no unfinished file behind.
    void closingDuringAConversionSavesTheTakeAndDropsTheConversion() {
        QVERIFY(installEncoder(dir.path()));
        QVERIFY(writeFile(path("hold"), "")); // the encoder runs until it is stopped
        QVERIFY(writeWav(path("old.wav"), 1));
        load("conv-take.wav");
        form->session().takes.add(path("old.wav"), 1, Takes::Kind::Wav);
        form->List1->setCurrentIndex(form->List1->model()->index(0, 0));
        form->SkinButton1_Click();
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Recording);
        form->Convert_Click(); // returns at once: the conversion runs in the background
        QTRY_VERIFY(form->Text1->text().startsWith("Encoding in progress..."));
        // What the encoder has written so far, under the name it was given.
        const QStringList args = readLines(path("args.txt"));
        const QString unfinished = args.isEmpty() ? QString() : args.last();
        QVERIFY(unfinished.contains("/.old.mp3.converting-") && writeFile(unfinished, "half"));
        QSignalSpy stopped(&form->session(), &Session::quitReady);
        form->close();
        QTRY_COMPARE(stopped.count(), 1);
        QCOMPARE(savedFiles(audio), QStringList{path("conv-take.wav")});
        QCOMPARE(listed(), QStringList({path("old.wav"), path("conv-take.wav")}));
        QVERIFY(!QFile::exists(path("old.mp3")) && !QFile::exists(unfinished));
        QVERIFY(!form->session().converter().busy());
    }

    // Every hotkey goes to the application's rule: what may not run now is said, not run.
    void hotkeysObeyTheRuleAndSayWhyNot() {
        load("hk.wav");
        hotkeys.press(kHotkeyPause);
        QCOMPARE(form->Text1->text(), QString("No recording is running."));
        hotkeys.press(kHotkeyStop);
        hotkeys.press(kHotkeyRecord);
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Recording);
        QVERIFY(!form->SkinButton1->isEnabled() && form->SkinButton2->isEnabled());
        hotkeys.press(kHotkeyRecord);
        QCOMPARE(form->Text1->text(), QString("A recording is already running."));
        hotkeys.press(12345); // not ours
        hotkeys.press(kHotkeyPause);
        QCOMPARE(recorder().phase(), Recorder::Phase::Paused);
        QCOMPARE(form->SkinButton4->text(), QString("Resume F10"));
        hotkeys.press(kHotkeyPause);
        QCOMPARE(recorder().phase(), Recorder::Phase::Recording);
        {
            // A dialog whose caller acts on its answer holds the recorder's commands back.
            Session::Modal dialog(form->session());
            hotkeys.press(kHotkeyStop);
            QCOMPARE(recorder().phase(), Recorder::Phase::Recording);
            QCOMPARE(form->Text1->text(), QString("Close the open dialog or menu first."));
        }
        hotkeys.press(kHotkeyStop);
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Idle);
        QCOMPARE(savedFiles(audio), QStringList{path("hk.wav")});
        QCOMPARE(engineCalls(audio, 1).size(), 1);
        QCOMPARE(engineCalls(audio, 2).size(), 1);
        QCOMPARE(engineCalls(audio, 3).size(), 1);
    }

    // A key another program has grabbed is said, not left to fail without a word.
    void aKeyAnotherProgramHoldsIsSaid() {
        load("held.wav");
        FakeHotkeys taken;
        taken.heldElsewhere = {kHotkeyRecord, kHotkeyStop};
        HotkeyCommands keys(form->session(), taken);
        QCOMPARE(keys.claim(), QString("F9 and F11 could not be made global: another program "
                                       "holds them. tunewright --record, --pause and --stop "
                                       "work from anywhere."));
        QCOMPARE(taken.registered.keys(), QList<int>{kHotkeyPause});
        QCOMPARE(HotkeyCommands(form->session(), hotkeys).claim(), QString());
    }

    void unloadableLibraryIsReportedNotFatal() {
        QVERIFY(writeFile(ini(), "[Config]\nRecording Source=1\n"));
        // The real loader, pointed at a folder without the libraries.
        AudioLibraries missing(dir.path());
        form = std::make_unique<RiggedForm1>(Services{dir.path(), missing, hotkeys, player});
        form->Form_Load();
        QVERIFY(form->isVisible());
        QTRY_VERIFY2(form->Text1->text().contains("could not be loaded"),
                     qPrintable(form->Text1->text()));
        QCOMPARE(form->Text1->palette().color(QPalette::Text), statusTextColour(kRed));
        QTRY_VERIFY(!form->session().engine.busy());
        std::array<int32_t, 2> range{7, 8};
        QCOMPARE(missing.Volume(0, 0, range), IAudioLibraries::kNotLoaded);
        QVERIFY(missing.loadError().contains("libVolume.so"));
        QCOMPARE(range[0], 7);

        // A file that is not a library, or lacks the function, fails the same way.
        QVERIFY(writeFile(dir.path() + "/libWavelark.so", "not an ELF file"));
        QCOMPARE(missing.Wavelark("", 4, 0, 0, 0, 0), IAudioLibraries::kNotLoaded);
        QVERIFY(missing.loadError().contains("libWavelark.so"));
        QFile::remove(dir.path() + "/libWavelark.so");
    }

    void pathsOfTheFileSystem() {
        const QString file = dir.path() + "/Take One.wav";
        QVERIFY(writeFile(file, "x"));
        QCOMPARE(Form1::GetShortPath(file), file);
        QCOMPARE(Form1::GetShortPath(dir.path() + "/missing.wav"), QString());
        QCOMPARE(Form1::GetShortPath(QString()), QString());
        QCOMPARE(expandLongPath(dir.path() + "/take one.WAV"), file);
        QCOMPARE(expandLongPath(dir.path() + "/nope/take one.wav"), QString());
        QVERIFY(writeFile(dir.path() + "/.hidden", "x"));
        QCOMPARE(expandLongPath(dir.path() + "/.hidden"), dir.path() + "/.hidden");
    }

    // Voice activation's menu item and the meter's start line follow the trigger, whoever
    // arms or disarms it.
    void voiceActivationItemAndMeterLineFollowTheTrigger() {
        load("voice.wav");
        VoiceTrigger& voice = form->session().voice;
        form->mVoice->trigger();
        QVERIFY(voice.armed());
        QCOMPARE(form->SkinMeter1->threshold(), 0.01); // Config.ini's default -40 dB
        voice.setThresholds({-60, 200, -50, 3000, false});
        QCOMPARE(form->SkinMeter1->threshold(), 0.001);
        QVERIFY(form->session().request(Session::Command::Stop));
        QVERIFY(!form->mVoice->isChecked());
        QCOMPARE(form->SkinMeter1->threshold(), 0.0);
        voice.arm();
        QVERIFY(form->mVoice->isChecked());
        form->mVoice->trigger();
        QVERIFY(!voice.armed());
    }

    // Options > Inputs: the lists fill from the server, the levels and the channel switch
    // follow whether a second input is chosen, and Ok puts the choice in force and stores it;
    // Cancel changes nothing.
    void theInputsWindowHandsItsChoiceToTheSession() {
        audio.playing = {{"Zoom", ""}};
        load("inputs.wav");
        const auto open = [this] {
            form->mInputs->trigger();
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* window = qobject_cast<InputsWindow*>(w); window && window->isVisible())
                    return window;
            return static_cast<InputsWindow*>(nullptr);
        };
        InputsWindow* window = open();
        QVERIFY(window);
        QTRY_VERIFY(!form->session().inputChoices.loading());
        QCOMPARE(window->Program->count(), 2);
        QCOMPARE(window->SecondInput->count(), 3);
        QVERIFY(!window->SecondLevel->isEnabled() && !window->OwnChannels->isEnabled());
        emit window->SecondInput->activated(1);
        emit window->Program->activated(1);
        QVERIFY(window->SecondLevel->isEnabled() && window->OwnChannels->isEnabled());
        window->FirstLevel->setValue(60);
        window->OwnChannels->setChecked(true);
        window->CancelButton->click();
        flushDeletes();
        QCOMPARE(form->session().inputs(), InputChoice());

        window = open();
        QVERIFY(window);
        QTRY_VERIFY(!form->session().inputChoices.loading());
        QCOMPARE(window->SecondInput->currentIndex(), 0);
        emit window->SecondInput->activated(1);
        emit window->Program->activated(1);
        window->FirstLevel->setValue(60);
        window->OwnChannels->setChecked(true);
        window->OkButton->click();
        const InputChoice inputs = form->session().inputs();
        QCOMPARE(inputs.secondSource, 1);
        QCOMPARE(inputs.application, QString("Zoom"));
        QCOMPARE(inputs.firstLevel, 60);
        QVERIFY(inputs.ownChannels);
        QCOMPARE(form->session().settings.inputChoice(), inputs);
        QCOMPARE(form->SkinMeter1->barCount(), 2);
        QTRY_VERIFY(callLog(audio).contains("WavelarkMix(;60,100,1)"));
    }

    void skinMenuTicksOneAndLoadsItsFile() {
        QVERIFY(writeFile(ini(), "[Config]\nRecording Source=1\n"));
        make();
        form->Form_Load();
        QVERIFY(form->green->isChecked());
        QCOMPARE(form->SkinForm1->skinFile(), dir.path() + "/skin/green.skn");
        form->blue->trigger();
        QCOMPARE(form->SkinForm1->skinFile(), dir.path() + "/skin/blue.skn");
        QVERIFY(form->blue->isChecked() && !form->red->isChecked() && !form->green->isChecked());
        form->red->trigger();
        QVERIFY(form->red->isChecked() && !form->blue->isChecked() && !form->green->isChecked());
        form->red->trigger(); // the ticked item again stays ticked
        QVERIFY(form->red->isChecked());
        QCOMPARE(form->SkinForm1->skinFile(), dir.path() + "/skin/red.skn");
    }
};

QTEST_MAIN(TestForm1)
#include "test_form1.moc"
