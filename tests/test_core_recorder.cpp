// The recorder of a session without a window: phases, clock, take files and their lines,
// the engine's answers, and engine calls that never block the caller.
#include "core/Session.h"
#include "core/TakeNaming.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>

using namespace tw;
using namespace tw::test;
using Phase = Recorder::Phase;
using CallList = QList<Args>;

namespace {

// A sound server that hangs: while held, each call waits inside the library until let go,
// or gives up after 5 s so that a caller stuck in the call is not stuck for ever.
class HangingAudio final : public IAudioLibraries {
  public:
    int32_t Wavelark(const QByteArray& file, int32_t mode, int32_t a, int32_t b, int32_t c,
                     int32_t d) override {
        hang();
        return fake.Wavelark(file, mode, a, b, c, d);
    }
    int32_t Volume(int32_t source, int32_t volume, std::array<int32_t, 2>& range) override {
        hang();
        return fake.Volume(source, volume, range);
    }
    int32_t VolumeLevel(int32_t source, std::array<int32_t, 2>& range) override {
        hang();
        return fake.VolumeLevel(source, range);
    }
    // The engine answers these without the server, hung or not.
    int32_t WavelarkStatus(EngineStatus& status) override { return fake.WavelarkStatus(status); }
    int32_t WavelarkLevel(EngineLevel& level) override { return fake.WavelarkLevel(level); }
    int32_t WavelarkStartAtSound(double share, int32_t marginMs) override {
        hang();
        return fake.WavelarkStartAtSound(share, marginMs);
    }
    int32_t WavelarkSourceDescription(int32_t number, QString& description) override {
        hang();
        return fake.WavelarkSourceDescription(number, description);
    }
    int32_t WavelarkSelectApplication(const QByteArray& name) override {
        hang();
        return fake.WavelarkSelectApplication(name);
    }
    int32_t WavelarkApplications(QList<PlayingProgram>& programs) override {
        hang();
        return fake.WavelarkApplications(programs);
    }
    int32_t WavelarkMix(int32_t first, int32_t second, int32_t ownChannels) override {
        hang();
        return fake.WavelarkMix(first, second, ownChannels);
    }
    int32_t WavelarkInputLevel(int32_t input, EngineLevel& level) override {
        return fake.WavelarkInputLevel(input, level);
    }
    QString loadError() const override { return fake.loadError(); }

    void hold() { open = false; }
    // True once a call is waiting inside the library.
    bool callHangs() { return entered.tryAcquire(1, 5000); }
    void letGo() {
        open = true;
        gate.release();
    }
    // A held call ended by itself: its caller could not have let it go, being blocked in it.
    bool gaveUp() const { return gaveUp_; }

    FakeAudioLibraries fake;

  private:
    void hang() {
        if (open)
            return;
        entered.release();
        if (!gate.tryAcquire(1, 5000))
            gaveUp_ = true;
    }
    std::atomic<bool> open{true};
    std::atomic<bool> gaveUp_{false};
    QSemaphore entered, gate;
};

} // namespace

class TestCoreRecorder : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<HangingAudio> audio;
    FakePlayer player;
    std::unique_ptr<Session> session;
    bool engineWrites = true;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    Recorder& recorder() { return session->recorder; }
    qint64 nowMs = 0; // the recorder's monotonic time, moved by hand
    void start(const QByteArray& config) {
        session = startSession(dir->path(), config, *audio, player);
        QVERIFY(session);
        nowMs = 0;
        recorder().setTimeSource([this] { return nowMs; });
    }
    void record() {
        recorder().record();
        QCOMPARE(recorder().phase(), Phase::Starting);
        QTRY_COMPARE(recorder().phase(), Phase::Recording);
    }
    void stop() {
        recorder().stopAndSave();
        QCOMPARE(recorder().phase(), Phase::Saving);
        QTRY_COMPARE(recorder().phase(), Phase::Idle);
    }
    // Lets `ms` of the take go by and the clock look at them.
    void advance(qint64 ms) {
        nowMs += ms;
        QTest::qWait(250);
    }
    QStringList takeLines() const { return lines(session->takes); }
    // The fake's calls are made on the engine's worker: read them once it has answered.
    CallList calls(int mode) {
        if (!QTest::qWaitFor([this] { return !session->engine.busy(); }))
            return {};
        return engineCalls(audio->fake, mode);
    }
    QStringList saved() const { return savedFiles(audio->fake); }
    void expectStatus(const QString& text, int colour) {
        QCOMPARE(session->status.text(), text);
        QCOMPARE(session->status.colour(), colour);
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = std::make_unique<HangingAudio>();
        engineWrites = true;
        audio->fake.onWavelark = [this](const QByteArray& file, int32_t mode, int32_t, int32_t,
                                        int32_t, int32_t) -> int32_t {
            if (mode != 0)
                return 0;
            return engineWrites && writeWav(QString::fromLocal8Bit(file), audio->fake.savedSeconds)
                       ? 0
                       : -4;
        };
    }
    void cleanup() {
        audio->letGo(); // a failed check must not leave the worker hanging
        session.reset();
        audio.reset();
    }

    void aTakeFromRecordToItsLine() {
        start(configFor(path("Rec.wav"), "Recording Source=1\nChannels=2\nBitsPerSample=16\n"
                                         "SamplesPerSec=44100\n"));
        QSignalSpy phases(&recorder(), &Recorder::phaseChanged);
        QSignalSpy clock(&recorder(), &Recorder::clockChanged);
        QSignalSpy takes(&recorder(), &Recorder::takeSaved);
        record();
        QCOMPARE(calls(1), CallList({Args({1, 2, 44100, 16, 0})}));
        expectStatus("The Program is Recording now........", kBlue);

        // 74.6 s at 10.094 MB/min.
        advance(74'600);
        QCOMPARE(clock.first().at(0).toString(), QString("0.000 MB 0:00"));
        QCOMPARE(clock.last().at(0).toString(), QString("12.432 MB 1:14"));

        audio->fake.savedSeconds = 74.6;
        recorder().stopAndSave();
        expectStatus("Saving your recording, Please wait...", kRed);
        QTRY_COMPARE(recorder().phase(), Phase::Idle);
        QCOMPARE(saved(), QStringList{path("Rec.wav")});
        QCOMPARE(takes.size(), 1);
        QCOMPARE(takes.first(), QVariantList({path("Rec.wav"), 74, QString()}));
        QCOMPARE(takeLines(), QStringList{"01     01:14     " + path("Rec.wav")});
        expectStatus("Recording is over,Wave file has saved in appointed path", kRed);
        QCOMPARE(recorder().takeCounter(), 1);
        QCOMPARE(recorder().outputPath(), path("Rec.wav")); // the Save Position, not the take
        QList<Phase> seen;
        for (const auto& args : phases)
            seen << args.at(0).value<Phase>();
        QCOMPARE(seen,
                 QList<Phase>({Phase::Starting, Phase::Recording, Phase::Saving, Phase::Idle}));

        const qsizetype shown = clock.size();
        advance(1000); // the clock stands still once the take is saved
        QCOMPARE(clock.size(), shown);
    }

    // The clock is the take's own time, read from the monotonic clock: at Stop it shows the
    // whole take, pauses left out, however late its last look came.
    void theClockReadsTheTakesTrueTimeAtStop_data() {
        QTest::addColumn<int>("recordedMs");
        QTest::addColumn<QString>("shown");
        QTest::newRow("2 s") << 2'000 << "0:02";
        QTest::newRow("6 s") << 6'000 << "0:06";
        QTest::newRow("12 s") << 12'000 << "0:12";
    }
    void theClockReadsTheTakesTrueTimeAtStop() {
        QFETCH(int, recordedMs);
        QFETCH(QString, shown);
        start(configFor(path("t.wav")));
        QSignalSpy clock(&recorder(), &Recorder::clockChanged);
        record();
        nowMs += recordedMs / 2;
        recorder().togglePause();
        nowMs += 60'000; // paused: not part of the take
        recorder().togglePause();
        nowMs += recordedMs - recordedMs / 2;
        recorder().stopAndSave(); // no look of the clock came in between
        QVERIFY2(clock.last().at(0).toString().endsWith(" " + shown),
                 qPrintable(clock.last().at(0).toString()));
        QCOMPARE(recorder().elapsedMs(), qint64(recordedMs));
        QTRY_COMPARE(recorder().phase(), Phase::Idle);
    }

    // Paused, the clock stands still; the take runs by its phase, whatever the status line
    // says meanwhile, so that shutdown saves it.
    void pauseKeepsTheClockStillAndTheTakeRunning() {
        start(configFor(path("p.wav"), "Channels=1\nBitsPerSample=8\nSamplesPerSec=8000\n"));
        QSignalSpy clock(&recorder(), &Recorder::clockChanged);
        record();
        advance(2000);
        session->status.set("Encoding in progress...  Status=42%", kBlue);
        QVERIFY(recorder().takeRunning());
        recorder().togglePause();
        QCOMPARE(recorder().phase(), Phase::Paused);
        expectStatus("Recording Paused,Press Resume\\Stop to continue\\over", kRed);
        session->status.set("Finish Converting", kRed);
        QVERIFY(recorder().takeRunning());
        const qsizetype shown = clock.size();
        advance(3000);
        QCOMPARE(clock.size(), shown);
        QCOMPARE(recorder().elapsedSeconds(), 2);
        QCOMPARE(calls(2), CallList({Args({2, 0, 0, 0, 0})}));

        recorder().togglePause();
        QCOMPARE(recorder().phase(), Phase::Recording);
        expectStatus("The Program is Recording now........", kBlue);
        QCOMPARE(calls(3), CallList({Args({3, 0, 0, 0, 0})}));
        advance(1000);
        QVERIFY(clock.last().at(0).toString().endsWith(" 0:03"));
        stop();
        session->status.set("The Program is Recording now........", kBlue);
        QVERIFY(!recorder().takeRunning());
    }

    // Each take's line gives the length its own file holds.
    void takesAreNumberedAndNeverOverwrite() {
        start(configFor(path("rec.wav")));
        for (int i = 0; i < 3; ++i) {
            record();
            nowMs += i == 0 ? 10'000 : 0;
            audio->fake.savedSeconds = i == 0 ? 9.3 : 0;
            stop();
        }
        QCOMPARE(saved(), QStringList({path("rec.wav"), path("rec_1.wav"), path("rec_2.wav")}));
        QCOMPARE(takeLines(), QStringList({"01     00:09     " + path("rec.wav"),
                                           "02     00:00     " + path("rec_1.wav"),
                                           "03     00:00     " + path("rec_2.wav")}));

        // After "Clear list" the counter is back at 0 and finds rec.wav … rec_2.wav taken.
        session->clearList();
        audio->fake.calls.clear();
        QFile::remove(path("rec_1.wav"));
        record();
        stop();
        record();
        stop();
        QCOMPARE(saved(), QStringList({path("rec_1.wav"), path("rec_3.wav")}));
        QCOMPARE(recorder().takeCounter(), 4);
        QCOMPARE(recorder().outputPath(), path("rec.wav"));
        QCOMPARE(takeLines(), QStringList({"01     00:00     " + path("rec_1.wav"),
                                           "02     00:00     " + path("rec_3.wav")}));
    }

    void aNamePatternNamesTakesByTheirStart() {
        // The pattern's fields are the local time's; a "/" in what they give makes no folder.
        const QDateTime when(QDate(2026, 12, 9), QTime(14, 5, 7));
        QCOMPARE(patternedTakePath("/r/rec.wav", "%Y-%m-%d %H-%M-%S", when),
                 QString("/r/2026-12-09 14-05-07.wav"));
        QCOMPARE(patternedTakePath("/r/rec.wav", "../%y", when), QString("/r/..-26.wav"));
        QCOMPARE(patternedTakePath("/r/rec.wav", "..", when), QString("/r/take.wav"));

        const QString year = QString::number(QDate::currentDate().year());
        start(configFor(path("rec.wav")) + "Take Name Pattern=show %Y\n");
        writeFile(path("show " + year + "_1.wav"), "theirs"); // never replaced
        for (int i = 0; i < 3; ++i) {
            record();
            stop();
        }
        const QString stem = path("show " + year);
        QCOMPARE(saved(), QStringList({stem + ".wav", stem + "_2.wav", stem + "_3.wav"}));
        QCOMPARE(readFile(stem + "_1.wav"), QByteArray("theirs"));
        // The numbered names go on where they were once the pattern is emptied.
        QVERIFY(session->settings.writeTakeNamePattern(""));
        record();
        stop();
        QCOMPARE(saved().last(), path("rec.wav"));
    }

    void aFailedSaveIsReportedAndListsNothing() {
        qputenv("XDG_CACHE_HOME", path("cache").toLocal8Bit());
        start(configFor(path("f.wav")));
        engineWrites = false;
        QSignalSpy takes(&recorder(), &Recorder::takeSaved);
        record();
        stop();
        QCOMPARE(takes.size(), 0);
        QVERIFY(takeLines().isEmpty());
        // The reason and the engine's real capture folder, wherever XDG_CACHE_HOME points.
        expectStatus("The recording could not be saved as " + path("f.wav") +
                         " (the file could not be created there); the sound engine keeps the "
                         "captured audio in " +
                         path("cache") + "/tunewright.",
                     kRed);
        QCOMPARE(session->takes.nextEntryNumber(), 1);
        QCOMPARE(recorder().takeCounter(), 0);

        engineWrites = true; // the next take goes where this one should have
        record();
        stop();
        QCOMPARE(saved(), QStringList({path("f.wav"), path("f.wav")}));
    }

    void aRefusedStartStaysIdle_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("status");
        const QString cannot = "Recording could not start: ";
        QTest::newRow("format") << -1
                                << cannot + "the format 0 channels, 0 Hz, 0 bits is not possible; "
                                            "choose one in Options, Preferences...";
        QTest::newRow("no server") << -2 << cannot + "no sound server answers.";
        QTest::newRow("out of turn") << -3 << cannot + "a recording is already running.";
        QTest::newRow("source gone")
            << -6 << cannot + "the recording source is gone; run the sound-card set-up again.";
        QTest::newRow("other") << -9 << cannot + "the sound engine answered -9.";
        QTest::newRow("no library")
            << int(IAudioLibraries::kNotLoaded) << "libWavelark.so could not be loaded";
    }
    void aRefusedStartStaysIdle() {
        QFETCH(int, answer);
        QFETCH(QString, status);
        start("[Config]\n"); // 0 channels, 0 Hz, 0 bits
        if (answer == IAudioLibraries::kNotLoaded)
            audio->fake.failure = status;
        else
            audio->fake.onWavelark = [answer](const QByteArray&, int32_t mode, int32_t, int32_t,
                                              int32_t, int32_t) { return mode == 1 ? answer : 0; };
        recorder().record();
        QTRY_COMPARE(session->status.text(), status);
        QCOMPARE(session->status.colour(), kRed);
        QCOMPARE(recorder().phase(), Phase::Idle);
        QVERIFY(!recorder().waiting());
    }

    // The engine could not write its capture (a full disk, say): the user is told where, and
    // how much room is left there, not the engine's number.
    void anUnwritableCaptureIsSaidInWords() {
        start("[Config]\n");
        audio->fake.onWavelark = [](const QByteArray&, int32_t mode, int32_t, int32_t, int32_t,
                                    int32_t) { return mode == 1 ? -4 : 0; };
        recorder().record();
        QTRY_COMPARE(recorder().phase(), Phase::Idle);
        const QString text = session->status.text();
        QVERIFY2(text.startsWith("Recording could not start: ") && text.contains(captureFolder()) &&
                     text.contains(" free") && !text.contains("-4"),
                 qPrintable(text));
        QCOMPARE(session->status.colour(), kRed);
    }

    // A disk that would fill within ten minutes at the take's rate is said in red, naming
    // the folder with the least room of the two a take needs and how long it lasts; room made
    // while the take runs takes the warning away. A fault outranks it.
    void littleRoomIsSaidWhileItLasts() {
        start(configFor(path("takes/room.wav"),
                        "Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n"));
        QHash<QString, qint64> free{{captureFolder(), qint64(1) << 40},
                                    {path("takes"), 176400 * 90 + 1000}};
        recorder().setFreeSpaceSource(
            [&free](const QString& folder) { return free.value(folder, -1); });
        record();
        QCOMPARE(session->status.text(),
                 QString("Only 1 min 30 s of recording fit in %1 at this format (15.14 MiB free); "
                         "make room or stop before it fills.")
                     .arg(path("takes")));
        QCOMPARE(session->status.colour(), kRed);

        free[path("takes")] = 176400 * 600; // ten minutes: enough
        recorder().checkRoom();
        QCOMPARE(session->status.text(), QString("The Program is Recording now........"));
        QCOMPARE(session->status.colour(), kBlue);

        free[captureFolder()] = 176400 * 5;
        recorder().checkRoom();
        QVERIFY2(
            session->status.text().startsWith("Only 5 s of recording fit in " + captureFolder()),
            qPrintable(session->status.text()));
        session->meter.setSilenceSpan(60'000);
        audio->fake.status = {1, EngineStatus::WriteFailed, 8000, 8000, {}};
        QTRY_VERIFY_WITH_TIMEOUT(session->status.text().startsWith("The recording has a fault"),
                                 2500);
        recorder().checkRoom();
        QVERIFY(session->status.text().startsWith("The recording has a fault"));
        stop();
    }

    // The readout's MB/s is that of the format the take records in; choices the format dialog
    // did not keep (Cancel) are undone before the next take.
    void theRateIsTheTakesOwn() {
        start(configFor(path("r.wav"), "Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n"));
        Settings& settings = session->settings;
        QSignalSpy clock(&recorder(), &Recorder::clockChanged);
        // Records a take for one second: its channels and the rate it showed.
        const auto take = [&] {
            record();
            nowMs += 1'500;
            stop();
            return QString::number(calls(1).last().at(1)) + " " + clock.last().at(0).toString();
        };
        QCOMPARE(take(), QString("2 0.168 MB 0:01"));

        settings.openFormat(); // the dialog open with Mono chosen: the take and its rate are mono
        settings.format.Channels = 1;
        QCOMPARE(take(), QString("1 0.084 MB 0:01"));

        settings.cancelFormat(); // Cancel: stereo again, as the panel and Config.ini say
        QCOMPARE(take(), QString("2 0.168 MB 0:01"));
    }

    // A fault the engine finds while the take runs shows within two seconds and outlives a
    // pause; the take saved after it is called cut short, with the length its file holds.
    void aFaultShowsWhileTheTakeRunsAndAfterItsSave() {
        start(configFor(path("cut.wav")));
        record();
        nowMs += 18'000;
        audio->fake.status = {1, EngineStatus::Stalled, 3 * 8000 + 7600, 8000, {}};
        QTRY_COMPARE_WITH_TIMEOUT(session->status.colour(), kRed, 2000);
        const QString fault = "The recording has a fault: the recording source stopped sending "
                              "sound; 4.0 s of audio are kept. Stop saves what was kept.";
        expectStatus(fault, kRed);
        recorder().togglePause();
        expectStatus(fault, kRed);

        audio->fake.onWavelark = [](const QByteArray& file, int32_t mode, int32_t, int32_t, int32_t,
                                    int32_t) -> int32_t {
            return mode == 0 ? (writeWav(QString::fromLocal8Bit(file), 3.95) ? -5 : -4) : 0;
        };
        stop();
        QCOMPARE(takeLines(), QStringList{"01     00:03     " + path("cut.wav")});
        // Measured against the time the take ran (about a second here), not the clock.
        const QRegularExpression saved("Saved as " + QRegularExpression::escape(path("cut.wav")) +
                                       ", but the recording was cut short: the recording source "
                                       "stopped sending sound. It holds 4.0 s of the \\d+\\.\\d s "
                                       "recorded.");
        QVERIFY2(saved.match(session->status.text()).hasMatch(),
                 qPrintable(session->status.text()));
        QCOMPARE(session->status.colour(), kRed);
    }

    // The engine keeps a stall flagged for the rest of the take; the status line follows the
    // audio instead: sound that comes again ends the fault's red line, and a source that stops
    // again brings it back. A take with such a gap is still called cut short when saved.
    void aFaultLastsAsLongAsTheFault() {
        start(configFor(path("gap.wav")));
        QSignalSpy faults(&recorder(), &Recorder::faultChanged);
        record();
        session->meter.setSilenceSpan(60'000); // the fake's input is silent; no alarm here
        const QString stalled = "The recording has a fault: the recording source stopped "
                                "sending sound; ";
        audio->fake.status = {1, EngineStatus::Stalled, 4 * 8000, 8000, {}};
        QTRY_VERIFY_WITH_TIMEOUT(session->status.text().startsWith(stalled), 2500);
        QVERIFY(recorder().faulted());
        audio->fake.status.frames += 8000; // the source sends again
        QTRY_COMPARE_WITH_TIMEOUT(session->status.text(),
                                  QString("The Program is Recording now........"), 2500);
        QCOMPARE(session->status.colour(), kBlue);
        QVERIFY(!recorder().faulted());
        QTRY_VERIFY_WITH_TIMEOUT(session->status.text().startsWith(stalled), 4500); // again
        QVERIFY(session->status.text().startsWith(stalled + "5.0 s"));
        QCOMPARE(faults.size(), 3);
        QCOMPARE(faults.at(1).at(1).toString(), QString());

        // A lost server is no stall: it stands whatever the frame count says.
        audio->fake.status.problems |= EngineStatus::ServerLost;
        audio->fake.status.frames += 8000;
        QTRY_VERIFY_WITH_TIMEOUT(session->status.text().contains("the sound server went away"),
                                 2500);
        audio->fake.status.frames += 8000;
        QTest::qWait(1200);
        QVERIFY(recorder().faulted());
        stop();
        QVERIFY(session->status.text().contains("but the recording was cut short"));
    }

    // The chosen input removed mid-take is a fault that names the input and stands: the
    // engine sends no audio of another input, whatever the frame count does.
    void aLostInputIsNamedAndStands() {
        start(configFor(path("lost.wav")));
        record();
        session->meter.setSilenceSpan(60'000);
        audio->fake.status = {1, EngineStatus::SourceLost, 3 * 8000, 8000, {}};
        QTRY_COMPARE_WITH_TIMEOUT(session->status.text(),
                                  QString("The recording has a fault: the input Source -1 went "
                                          "away; 3.0 s of audio are kept. Stop saves what was "
                                          "kept."),
                                  2500);
        QCOMPARE(session->status.colour(), kRed);
        audio->fake.status.frames += 8000;
        QTest::qWait(1200);
        QVERIFY(recorder().faulted());
        stop();
        QVERIFY2(session->status.text().contains("cut short: the input Source -1 went away"),
                 qPrintable(session->status.text()));
    }

    // Another program took the name between our choice and the engine's move: the engine
    // keeps the capture and the take goes to the next free name; nothing is replaced.
    void aNameTakenMeanwhileGivesTheNextFreeName() {
        start(configFor(path("race.wav")));
        const QString capture = path("capture-1.wav");
        audio->fake.onWavelark = [this, capture](const QByteArray& file, int32_t mode, int32_t,
                                                 int32_t, int32_t, int32_t) -> int32_t {
            if (mode != 0)
                return 0;
            writeFile(QString::fromLocal8Bit(file), "theirs");
            writeWav(capture, 2);
            audio->fake.status.capture = capture;
            return -7;
        };
        record();
        stop();
        QCOMPARE(readFile(path("race.wav")), QByteArray("theirs"));
        QVERIFY(!QFile::exists(capture));
        QCOMPARE(takeLines(), QStringList{"01     00:02     " + path("race_1.wav")});
        QCOMPARE(recorder().takeCounter(), 2);
    }

    // A missing or empty key means the default Save Position, never a bare "Default" in the
    // folder the program was started from.
    void aMissingSavePositionIsTheDefault_data() {
        QTest::addColumn<QByteArray>("key");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("empty") << QByteArray("Save Position=\n");
    }
    void aMissingSavePositionIsTheDefault() {
        QFETCH(QByteArray, key);
        start("[Config]\nRecording Source=1\n" + key + kMono16);
        QCOMPARE(recorder().outputPath(), path("Larktake.wav"));
        record();
        stop();
        record();
        stop();
        QCOMPARE(saved(), QStringList({path("Larktake.wav"), path("Larktake_1.wav")}));
    }

    // The Save Position has one owner: the path chosen is in force for the run, also when
    // Config.ini cannot store it (a folder stands in its way here).
    void aChosenSavePositionLastsTheRunWrittenOrNot() {
        start(configFor(path("old.wav")));
        QVERIFY(QFile::remove(path("Config.ini")) && QDir().mkdir(path("Config.ini")));
        session->setSavePosition(path("new.wav"));
        QCOMPARE(session->status.colour(), kRed); // said once that it could not be kept
        for (int i = 0; i < 3; ++i) {
            record();
            stop();
        }
        QCOMPARE(saved(), QStringList({path("new.wav"), path("new_1.wav"), path("new_2.wav")}));
    }

    // A Save Position longer than 254 characters is kept whole: the takes go into the folder
    // chosen, under the name chosen.
    void aLongSavePositionIsKeptWhole() {
        QString folder = dir->path();
        while (folder.size() < 300)
            folder += "/a-folder-name-of-some-length";
        QVERIFY(QDir().mkpath(folder));
        start(configFor(folder + "/take.wav"));
        QCOMPARE(recorder().outputPath(), folder + "/take.wav");
        record();
        stop();
        QCOMPARE(saved(), QStringList{folder + "/take.wav"});
        QCOMPARE(takeLines(), QStringList{"01     00:00     " + folder + "/take.wav"});
    }

    // With no Save Position, Stop still ends the take and says where the audio is.
    void stopWithoutASavePositionStillStops() {
        start("[Config]\nRecording Source=1\n" + kMono16);
        recorder().setOutputPath(QString());
        audio->fake.status.capture = "/cache/capture-9.wav";
        record();
        stop();
        QCOMPARE(calls(0), CallList({Args({0, 0, 0, 0, 0})}));
        QVERIFY(takeLines().isEmpty());
        expectStatus("The recording was stopped but not saved: no Save Position is set; choose "
                     "one with Output File. The captured audio is kept in /cache/capture-9.wav.",
                     kRed);
    }

    // The meter runs while a take does: peaks, a held peak, the clip mark; silence long
    // enough turns the status line red, naming the input, and sound clears it.
    void theMeterFollowsTheInputAndSilenceIsCalled() {
        start(configFor(path("m.wav")));
        session->meter.setSilenceSpan(300);
        QSignalSpy levels(&session->meter, &InputMeter::levelChanged);
        QVERIFY(!session->meter.active());
        record();
        QVERIFY(session->meter.active());
        QTRY_COMPARE(session->inputDescription(), QString("Source -1"));
        audio->fake.status.take = 1;
        const auto feed = [this, &levels](double peak, bool clipped) {
            audio->fake.inputLevel = {peak, clipped, audio->fake.inputLevel.updates + 1};
            levels.clear();
        };
        feed(0.9, true);
        QTRY_VERIFY(!levels.isEmpty());
        QCOMPARE(levels.last(), QVariantList({0.9, 0.9, true}));
        feed(0.5, false);
        QTRY_VERIFY(!levels.isEmpty());
        QCOMPARE(levels.last(), QVariantList({0.5, 0.9, true})); // held, the clip still shown

        feed(0.0005, false); // below -60 dBFS
        QTRY_COMPARE(session->status.colour(), kRed);
        expectStatus("No sound is coming from Source -1 — check the input and its volume", kRed);
        feed(0.2, false);
        QTRY_COMPARE(session->status.colour(), kBlue);
        expectStatus("The Program is Recording now........", kBlue);
        stop();
        QVERIFY(!session->meter.active());
        QCOMPARE(levels.last(), QVariantList({0.0, 0.0, false}));
    }

    // A hung sound server must not freeze the program: every call returns at once, the event
    // loop goes on, and the answer is taken when it comes.
    void noEngineCallBlocksTheCaller() {
        start(configFor(path("h.wav"), "Recording Source=2\nRecording Volume=30000\n" + kMono16));
        bool loopRuns = false;
        const auto loopTurns = [&] {
            loopRuns = false;
            QTimer::singleShot(0, this, [&] { loopRuns = true; });
            QTRY_VERIFY(loopRuns);
        };

        // Start-up: the mixer hangs.
        auto fresh = std::make_unique<Session>(dir->path(), *audio, player, nullptr);
        QSignalSpy loaded(&fresh->volume, &VolumeControl::loaded);
        audio->hold();
        fresh->loadConfiguration();
        QVERIFY(audio->callHangs());
        QVERIFY(fresh->engine.busy());
        loopTurns();
        QCOMPARE(loaded.size(), 0);
        audio->letGo();
        QTRY_COMPARE(loaded.size(), 1);
        QVERIFY(!audio->gaveUp());
        QCOMPARE(fresh->volume.volume(), 30000);
        QTRY_VERIFY(!fresh->engine.busy());
        fresh.reset();

        // Record, then Stop: the engine hangs each time; the recorder waits in Starting or
        // Saving, the program counts as busy, and no other command gets through.
        const auto hangs = [&](void (Recorder::*command)(), Phase during, Phase after) {
            audio->hold();
            (recorder().*command)();
            QVERIFY(audio->callHangs());
            QCOMPARE(recorder().phase(), during);
            QVERIFY(recorder().waiting());
            QVERIFY(!session->refusal(Session::Command::Record).isEmpty());
            QVERIFY(!recorder().takeRunning());
            loopTurns();
            recorder().record();
            recorder().togglePause();
            recorder().stopAndSave();
            QCOMPARE(recorder().phase(), during);
            QVERIFY(takeLines().isEmpty());
            audio->letGo();
            QTRY_COMPARE(recorder().phase(), after);
            QVERIFY(!recorder().waiting());
            QVERIFY(!audio->gaveUp());
        };
        hangs(&Recorder::record, Phase::Starting, Phase::Recording);
        hangs(&Recorder::stopAndSave, Phase::Saving, Phase::Idle);
        QVERIFY(session->refusal(Session::Command::Record).isEmpty());
        QCOMPARE(takeLines(), QStringList{"01     00:00     " + path("h.wav")});
        QCOMPARE(calls(1).size(), 1);
        QCOMPARE(calls(0).size(), 1);
        QCOMPARE(calls(2).size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCoreRecorder)
#include "test_core_recorder.moc"
