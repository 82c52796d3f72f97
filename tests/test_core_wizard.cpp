// The sound-card wizard's steps with a fake engine and player: each path through them, the
// engine calls they make and what they store.
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;
using Step = SoundCardWizard::Step;

namespace {
QString announce(int n) {
    return "Program will test NO." + QString::number(n) +
           " recording source. Press the NEXT button, You will hear the TEST chime.";
}
const QString kRecorded = "Press Next button, you should hear the same TEST chime AGAIN or you "
                          "will not hear any voice.";
const QString kConfirm = "Have you heard the TEST chime AGAIN? If you haven't heard any voice, "
                         "press NEXT button to continue.";
const QString kNoSource = "Your sound card cannot support recording function.";
} // namespace

class TestCoreWizard : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeAudioLibraries> audio;
    std::unique_ptr<FakePlayer> player;
    std::unique_ptr<Session> session; // its settings, engine, volume and wizard
    SoundCardWizard* wizard = nullptr;

    QString tmp() const { return wizard->testRecordingPath(); }
    QString chime() const { return dir->path() + "/test.wav"; }
    QString ini() const { return dir->path() + "/Config.ini"; }

    // One click of "next", waited out; returns the text it leads to.
    QString next() {
        wizard->next();
        if (!QTest::qWaitFor([this] { return !wizard->busy(); }, 5000))
            return "still busy";
        return wizard->text();
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = std::make_unique<FakeAudioLibraries>();
        saveWritesTheTake(*audio);
        player = std::make_unique<FakePlayer>();
        player->autoFinish = true;
        session = std::make_unique<Session>(dir->path(), *audio, *player, nullptr);
        wizard = &session->wizard;
    }
    void cleanup() { session.reset(); }

    // A Wavelark.wav of the user's in the temporary folder is neither written nor deleted.
    void theTestRecordingIsAFileOfItsOwn() {
        const QByteArray oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", dir->path().toLocal8Bit());
        const QString users = dir->path() + "/Wavelark.wav";
        QVERIFY(writeFile(users, "mine"));
        next();
        next();
        QCOMPARE(next(), kRecorded);
        QVERIFY(tmp() != users && QFile::exists(tmp()));
        QCOMPARE(next(), kConfirm);
        wizard->heard();
        session.reset();
        qputenv("TMPDIR", oldTmp);
        QCOMPARE(readFile(users), QByteArray("mine"));
    }

    // The engine refuses the test's start (a take of the user's runs): the test must not stop
    // and save what runs instead; the source shows as silent and the next one can be tried.
    void aRefusedTestStartSavesNothing() {
        audio->onWavelark = [](const QByteArray&, int32_t mode, int32_t, int32_t, int32_t,
                               int32_t) -> int32_t {
            return mode == 1 ? -3 : mode == 4 ? 2 : 0;
        };
        next();
        next();
        QCOMPARE(next(), kRecorded);
        QVERIFY(engineCalls(*audio, 0).isEmpty());
        QVERIFY(!QFile::exists(tmp()));
        QCOMPARE(next(), kConfirm);
        QCOMPARE(next(), announce(2));
    }

    // "heard" with a Config.ini that cannot be written does not claim the settings are saved;
    // Done still puts the source in use for this run.
    void settingsThatCannotBeStoredAreNotCalledSaved() {
        const QString folder = dir->path() + "/gone";
        session = std::make_unique<Session>(folder, *audio, *player, nullptr);
        wizard = &session->wizard;
        next();
        next();
        next();
        QCOMPARE(next(), kConfirm);
        wizard->heard();
        QCOMPARE(wizard->text(), "The sound card settings could not be saved in " + folder +
                                     "/Config.ini. They are used until the program ends.");
        QCOMPARE(session->status.text(),
                 "The sound card settings could not be saved in " + folder + "/Config.ini.");
        QVERIFY(wizard->done() && wizard->secondVisible() && !wizard->nextVisible());
        wizard->finish();
        QCOMPARE(session->settings.SourceIndex, 0);
    }

    // Once the source is found the wizard offers a second input and a program; Done stores
    // them with the source, and the engine hears them when the wizard lets it go.
    void doneKeepsASecondInputAndAProgram() {
        audio->playing = {{"Zoom", "zoom"}};
        next();
        next();
        wizard->chooseSecondSource(2); // no choice before the source is found
        QCOMPARE(wizard->inputs().secondSource, 0);
        next();
        QCOMPARE(next(), kConfirm);
        wizard->heard();
        QTRY_VERIFY(!wizard->choices().loading());
        QCOMPARE(wizard->choices().sourceCount(), 2);
        QCOMPARE(wizard->choices().playing().size(), 1);
        wizard->chooseSecondSource(2);
        wizard->chooseApplication("Zoom");
        QVERIFY(session->openSoundCardSetup(true));
        audio->calls.clear();
        wizard->finish();
        QCOMPARE(session->inputs().secondSource, 2);
        QCOMPARE(session->inputs().application, QString("Zoom"));
        const QByteArray ini = readFile(this->ini());
        QVERIFY2(ini.contains("Recording Source=1\n") &&
                     ini.contains("Second Recording Source=2\n") &&
                     ini.contains("Application Source=Zoom\n"),
                 ini.constData());
        QTRY_VERIFY(!session->engine.busy());
        QVERIFY(!callLog(*audio).contains("Wavelark(;7,0,0,0,1)")); // held while set up runs
        session->closeSoundCardSetup();
        QTRY_VERIFY(callLog(*audio).contains("Wavelark(;7,0,0,0,1)"));
        QTRY_VERIFY(callLog(*audio).contains("WavelarkSelectApplication(Zoom;)"));
    }

    // Run again from the menu: the source under test is named; nothing is stored before Done,
    // which keeps the user's Save Position; a close puts back the source in use.
    void aRerunChangesNothingBeforeDone() {
        const QByteArray config = "[Config]\nRecording Source=1\nSave Position=/m/a.wav\n";
        QVERIFY(writeFile(ini(), config));
        session->settings.SourceIndex = 0;
        for (bool done : {false, true}) {
            wizard->restart();
            next();
            next();
            QTRY_COMPARE(wizard->sourceDescription(), QString("Source 0"));
            next();
            next();
            QCOMPARE(next(), announce(2));
            QTRY_COMPARE(wizard->sourceDescription(), QString("Source 1"));
            next();
            QCOMPARE(next(), kConfirm);
            wizard->heard();
            QVERIFY(wizard->done());
            QCOMPARE(readFile(ini()), config);
            audio->calls.clear();
            if (!done) {
                wizard->cancel(); // closed at "Done": still nothing stored
                QCOMPARE(readFile(ini()), config);
                continue;
            }
            wizard->finish();
            QCOMPARE(readFile(ini()), "[Config]\nRecording Source=2\nSave Position=/m/a.wav\n"
                                      "Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        }
        // A close before Done points the engine back at the source in use.
        wizard->restart();
        next();
        next();
        next();
        audio->calls.clear();
        session->settings.SourceIndex = 0;
        wizard->cancel();
        QTRY_COMPARE(callLog(*audio), QStringList({"Wavelark(;5,0,0,0,0)"}));
    }

    void secondSourceHeardAndPutInUse() {
        QCOMPARE(wizard->text(),
                 QString("Program is preparing to configure your sound card settings."));
        QCOMPARE(next(), QString("Program has detected   2   usable recording sources."));
        QCOMPARE(wizard->sourceCount(), 2);
        QCOMPARE(next(), announce(1));
        QCOMPARE(next(), kRecorded);
        QVERIFY(!wizard->secondVisible());
        QCOMPARE(next(), kConfirm);
        QVERIFY(wizard->secondVisible());
        QCOMPARE(next(), announce(2)); // not heard: on to source 2
        QCOMPARE(next(), kRecorded);
        QCOMPARE(next(), kConfirm);
        QCOMPARE(wizard->testNumber(), 2);

        // Each test selects its source, records mono 8-bit at 22050 while the chime plays to
        // its end (a test take: should the program die, its capture is no take of the user's),
        // saves to the test path, then plays that back.
        const QString saveTmp = "Wavelark(" + tmp() + ";0,0,0,0,0)";
        QCOMPARE(
            callLog(*audio),
            QStringList({"Wavelark(;4,0,0,0,0)", "Wavelark(;5,0,0,0,0)", "Wavelark(;1,1,22050,8,1)",
                         saveTmp, "Wavelark(;5,0,0,0,1)", "Wavelark(;1,1,22050,8,1)", saveTmp}));
        QCOMPARE(player->log, QStringList({"play " + chime(), "close " + chime(), "play " + tmp(),
                                           "close " + tmp(), "play " + chime(), "close " + chime(),
                                           "play " + tmp(), "close " + tmp()}));
        QVERIFY(QFile::exists(tmp()));
        QVERIFY(!QFile::exists(ini()));

        wizard->heard();
        QVERIFY(wizard->done());
        QVERIFY(!wizard->nextVisible());
        QCOMPARE(wizard->text(),
                 QString("Sound card settings Completed,the information has be saved!"));
        QCOMPARE(readFile(ini()), "[Config]\nRecording Source=2\nSave Position=" + dir->path() +
                                      "/Larktake.wav\nChannels=2\nBitsPerSample=16\n"
                                      "SamplesPerSec=22050\n");
        QVERIFY(!QFile::exists(tmp()));

        // Done: source 2 at the middle of its range, and the wizard's format announced. The
        // lists of inputs and programs were asked for at "heard".
        QTRY_VERIFY(!wizard->choices().loading());
        audio->calls.clear();
        audio->volumeRange = {100, 300};
        QSignalSpy announced(&session->settings, &Settings::formatAnnounced);
        QSignalSpy loaded(&session->volume, &VolumeControl::loaded);
        wizard->finish();
        QCOMPARE(session->settings.SourceIndex, 1);
        QCOMPARE(session->settings.format, (RecordingFormat{2, 22050, 16}));
        QCOMPARE(announced.count(), 1);
        QTRY_COMPARE(loaded.count(), 1);
        QCOMPARE(callLog(*audio), QStringList({"VolumeLevel(;1)", "Volume(;1,200)"}));
        QCOMPARE(session->volume.volume(), 200);
        QCOMPARE(session->volume.range(), (VolumeRange{100, 300}));
    }

    void noSourceAtAll_data() {
        QTest::addColumn<int32_t>("count");
        QTest::newRow("none") << 0;
        QTest::newRow("engine cannot count") << int32_t(-2);
    }
    void noSourceAtAll() {
        QFETCH(int32_t, count);
        audio->sourceCount = count;
        QCOMPARE(next(), kNoSource);
        QCOMPARE(wizard->sourceCount(), 0);
        QVERIFY(wizard->nextEnabled());
        QCOMPARE(next(), kNoSource);
        QVERIFY(!wizard->nextEnabled());
        QCOMPARE(callLog(*audio), QStringList({"Wavelark(;4,0,0,0,0)"}));
        QVERIFY(player->log.isEmpty());
        QVERIFY(!QFile::exists(ini()));
    }

    void everySourceRefused() {
        QCOMPARE(next(), QString("Program has detected   2   usable recording sources."));
        for (int source = 1; source <= 2; ++source) {
            QCOMPARE(next(), announce(source));
            next();
            QCOMPARE(next(), kConfirm);
        }
        QCOMPARE(next(), kNoSource);
        QVERIFY(QFile::exists(tmp()));
        next();
        QVERIFY(!QFile::exists(tmp()));
        QVERIFY(!wizard->nextEnabled());
        // Nothing further happens, and nothing was stored.
        const int calls = audio->calls.size();
        wizard->next();
        wizard->heard();
        wizard->finish();
        QTest::qWait(50);
        QCOMPARE(audio->calls.size(), calls);
        QVERIFY(!QFile::exists(ini()));
    }

    // While the chime or the test recording plays, the step is running: next, heard and
    // finish do nothing, and the step ends only when the playback has.
    void aRunningStepTakesNoOtherClick() {
        player->autoFinish = false;
        QSignalSpy busy(wizard, &SoundCardWizard::busyChanged);
        next();
        next();
        wizard->next(); // record source 1
        QVERIFY(wizard->busy());
        QVERIFY(!wizard->nextEnabled());
        QTRY_COMPARE(player->mode(chime()), QString("playing"));
        QCOMPARE(audio->calls.size(), 3); // count, select, record
        wizard->next();
        wizard->heard();
        QTest::qWait(100);
        QCOMPARE(audio->calls.size(), 3);
        QCOMPARE(wizard->text(), announce(1));
        QVERIFY(wizard->busy());

        player->modes[chime()] = "stopped";
        QTRY_VERIFY(!wizard->busy());
        QCOMPARE(wizard->text(), kRecorded);
        QVERIFY(wizard->nextEnabled());
        QCOMPARE(audio->calls.size(), 4);

        wizard->next(); // play the recording back
        QVERIFY(wizard->busy());
        QVERIFY(!wizard->nextEnabled());
        QCOMPARE(player->mode(tmp()), QString("playing"));
        QTest::qWait(100);
        QCOMPARE(wizard->text(), kRecorded);
        player->modes[tmp()] = "stopped";
        QTRY_VERIFY(!wizard->busy());
        QCOMPARE(wizard->text(), kConfirm);
        QVERIFY(wizard->nextEnabled());
        QCOMPARE(busy.count(), 2 * 4);
        QCOMPARE(busy.last().at(0).toBool(), false);
    }

    // A chime that cannot play does not stop the test: the source is recorded and saved.
    void aPlaybackThatCannotStartEndsAtOnce() {
        player->failPlay = "no server";
        next();
        next();
        QCOMPARE(next(), kRecorded);
        QCOMPARE(audio->calls.size(), 4);
        QCOMPARE(player->log, QStringList({"play " + chime(), "close " + chime()}));
        QCOMPARE(next(), kConfirm);
    }
};

QTEST_GUILESS_MAIN(TestCoreWizard)
#include "test_core_wizard.moc"
