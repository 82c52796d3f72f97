// The recorder of a session without a window: phases, clock, take files and their lines,
// the engine's answers, and engine calls that never block the caller.
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"

#include <QFile>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>

using namespace tw;
using Phase = Recorder::Phase;
using Args = QList<int32_t>;
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
    QStringList saved; // written on the engine's worker; read once it has answered

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    FakeAudioLibraries& fake() { return audio->fake; }
    Recorder& recorder() { return session->recorder; }

    // A configured run as the window starts it.
    void start(const QByteArray& config) {
        QFile f(path("Config.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(config);
        f.close();
        session = std::make_unique<Session>(dir->path(), *audio, player, nullptr);
        session->recorder.reloadOutputPath();
        session->loadConfiguration();
        QTRY_VERIFY(!session->engine.busy());
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
    void ticks(int n) {
        for (int i = 0; i < n; ++i)
            recorder().tick();
    }
    QStringList lines() const {
        QStringList out;
        for (int i = 0; i < session->takes.rowCount(); ++i)
            out << session->takes.index(i).data().toString();
        return out;
    }
    CallList engineCalls(int mode) {
        CallList out;
        if (!QTest::qWaitFor([this] { return !session->engine.busy(); }))
            return out;
        for (const auto& c : fake().calls)
            if (c.function == "Wavelark" && c.args.value(0) == mode)
                out << c.args;
        return out;
    }
    // Mono, 16 bits, 22050 Hz unless told otherwise.
    QByteArray config(const QString& take, const QByteArray& format = {}) {
        return "[Config]\n" +
               (format.isEmpty() ? "Channels=1\nBitsPerSample=16\nSamplesPerSec=22050\n" : format) +
               "Save Position=" + path(take).toUtf8() + "\n";
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = std::make_unique<HangingAudio>();
        saved.clear();
        engineWrites = true;
        fake().onWavelark = [this](const QByteArray& file, int32_t mode, int32_t, int32_t, int32_t,
                                   int32_t) -> int32_t {
            if (mode != 0)
                return 0;
            if (!engineWrites)
                return -1;
            QFile out(QString::fromLocal8Bit(file));
            if (!out.open(QIODevice::WriteOnly))
                return -1;
            out.write("RIFF");
            saved << QString::fromLocal8Bit(file);
            return 0;
        };
    }
    void cleanup() {
        audio->letGo(); // a failed check must not leave the worker hanging
        session.reset();
        audio.reset();
    }

    void aTakeFromRecordToItsLine() {
        start(config("Rec.wav", "Recording Source=1\nChannels=2\nBitsPerSample=16\n"
                                "SamplesPerSec=44100\n"));
        QSignalSpy phases(&recorder(), &Recorder::phaseChanged);
        QSignalSpy clock(&recorder(), &Recorder::clockChanged);
        QSignalSpy takes(&recorder(), &Recorder::takeSaved);
        record();
        QCOMPARE(engineCalls(1), CallList({Args({1, 2, 44100, 16, 0})}));
        QCOMPARE(session->status.text(), QString("The Program is Recording now........"));
        QCOMPARE(session->status.colour(), kBlue);

        // 75.5 s: the clock has ticked 75 times and last showed 74 s at 10.094 MB/min.
        ticks(75);
        QCOMPARE(clock.size(), 75);
        QCOMPARE(clock.first().at(0).toString(), QString("0.000 MB 0:00"));
        QCOMPARE(clock.last().at(0).toString(), QString("12.432 MB 1:14"));

        recorder().stopAndSave();
        QCOMPARE(session->status.text(), QString("Saving your recording, Please wait..."));
        QCOMPARE(session->status.colour(), kRed);
        QTRY_COMPARE(recorder().phase(), Phase::Idle);
        QCOMPARE(saved, QStringList{path("Rec.wav")});
        QCOMPARE(takes.size(), 1);
        QCOMPARE(takes.first(), QVariantList({path("Rec.wav"), 74}));
        QCOMPARE(lines(), QStringList{"01     01:14     " + path("Rec.wav")});
        QCOMPARE(session->status.text(),
                 QString("Recording is over,Wave file has saved in appointed path"));
        QCOMPARE(session->status.colour(), kRed);
        QCOMPARE(recorder().takeCounter(), 1);
        QCOMPARE(recorder().outputPath(), path("Rec.wav")); // reloaded after the save
        QList<Phase> seen;
        for (const auto& args : phases)
            seen << args.at(0).value<Phase>();
        QCOMPARE(seen,
                 QList<Phase>({Phase::Starting, Phase::Recording, Phase::Saving, Phase::Idle}));

        ticks(1); // the clock stands still once the take is saved
        QCOMPARE(clock.size(), 75);
    }

    void pauseKeepsTheClockStill() {
        start(config("p.wav", "Channels=1\nBitsPerSample=8\nSamplesPerSec=8000\n"));
        QSignalSpy clock(&recorder(), &Recorder::clockChanged);
        record();
        ticks(2);
        recorder().togglePause();
        QCOMPARE(recorder().phase(), Phase::Paused);
        QVERIFY(recorder().takeRunning());
        QCOMPARE(session->status.text(),
                 QString("Recording Paused,Press Resume\\Stop to continue\\over"));
        QCOMPARE(session->status.colour(), kRed);
        ticks(3);
        QCOMPARE(clock.size(), 2);
        QCOMPARE(recorder().elapsedSeconds(), 2);
        QCOMPARE(engineCalls(2), CallList({Args({2, 0, 0, 0, 0})}));

        recorder().togglePause();
        QCOMPARE(recorder().phase(), Phase::Recording);
        QCOMPARE(session->status.text(), QString("The Program is Recording now........"));
        QCOMPARE(session->status.colour(), kBlue);
        QCOMPARE(engineCalls(3), CallList({Args({3, 0, 0, 0, 0})}));
        ticks(1);
        QCOMPARE(clock.last().at(0).toString(), QString("0.016 MB 0:02"));
    }

    void takesAreNumberedAndNeverOverwrite() {
        start(config("rec.wav"));
        for (int i = 0; i < 3; ++i) {
            record();
            stop();
        }
        QCOMPARE(saved, QStringList({path("rec.wav"), path("rec_1.wav"), path("rec_2.wav")}));
        QCOMPARE(lines().size(), 3);
        QVERIFY(lines()[2].startsWith("03     00:00     "));

        // After "Clear list" the counter is back at 0 and finds rec.wav … rec_2.wav taken.
        saved.clear();
        session->clearList();
        QFile::remove(path("rec_1.wav"));
        record();
        stop();
        record();
        stop();
        QCOMPARE(saved, QStringList({path("rec_1.wav"), path("rec_3.wav")}));
        QCOMPARE(recorder().takeCounter(), 4);
        QCOMPARE(recorder().outputPath(), path("rec.wav"));
        QCOMPARE(lines(), QStringList({"01     00:00     " + path("rec_1.wav"),
                                       "02     00:00     " + path("rec_3.wav")}));
    }

    void takeStoppedBeforeTheFirstTickLastsNoTime() {
        start(config("a.wav"));
        record();
        ticks(10);
        stop();
        record();
        stop();
        QCOMPARE(lines(), QStringList({"01     00:09     " + path("a.wav"),
                                       "02     00:00     " + path("a_1.wav")}));
    }

    void aFailedSaveIsReportedAndListsNothing() {
        start(config("f.wav"));
        engineWrites = false;
        QSignalSpy takes(&recorder(), &Recorder::takeSaved);
        record();
        stop();
        QCOMPARE(takes.size(), 0);
        QVERIFY(lines().isEmpty());
        QCOMPARE(session->status.colour(), kRed);
        QCOMPARE(session->status.text(),
                 "The recording could not be saved as " + path("f.wav") +
                     "; the sound engine keeps the captured audio in ~/.cache/tunewright.");
        QCOMPARE(session->takes.nextEntryNumber(), 1);
        QCOMPARE(recorder().takeCounter(), 0);

        engineWrites = true; // the next take goes where this one should have
        record();
        stop();
        QCOMPARE(saved, QStringList{path("f.wav")});
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
            fake().failure = status;
        else
            fake().onWavelark = [answer](const QByteArray&, int32_t mode, int32_t, int32_t, int32_t,
                                         int32_t) { return mode == 1 ? answer : 0; };
        recorder().record();
        QTRY_COMPARE(session->status.text(), status);
        QCOMPARE(session->status.colour(), kRed);
        QCOMPARE(recorder().phase(), Phase::Idle);
        QVERIFY(!recorder().waiting());
    }

    // The readout's MB/s comes from the format the format dialog holds, which is not always
    // the one the engine records in.
    void theRateIsTheFormatDialogs() {
        start(config("r.wav", "Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n"));
        Settings& settings = session->settings;
        QSignalSpy clock(&recorder(), &Recorder::clockChanged);
        const auto shownAfterOneSecond = [&] {
            ticks(2);
            return clock.last().at(0).toString();
        };

        // Dialog closed: Config.ini's stereo, 10.094 MB/min.
        record();
        QCOMPARE(shownAfterOneSecond(), QString("0.168 MB 0:01"));
        stop();

        // Dialog open with Mono chosen: the take and its rate are mono.
        settings.openFormat();
        settings.format.Channels = 1;
        record();
        QCOMPARE(engineCalls(1).last(), Args({1, 1, 44100, 16, 0}));
        QCOMPARE(shownAfterOneSecond(), QString("0.084 MB 0:01"));
        stop();

        // Mono, then Cancel: this take is mono but its rate is reloaded from Config.ini, and
        // the next take is stereo again.
        settings.closeFormat();
        record();
        QCOMPARE(engineCalls(1).last(), Args({1, 1, 44100, 16, 0}));
        QCOMPARE(shownAfterOneSecond(), QString("0.168 MB 0:01"));
        stop();
        record();
        QCOMPARE(engineCalls(1).last(), Args({1, 2, 44100, 16, 0}));
        stop();
    }

    // A hung sound server must not freeze the program: every call returns at once, the event
    // loop goes on, and the answer is taken when it comes.
    void noEngineCallBlocksTheCaller() {
        start(config("h.wav", "Recording Source=2\nRecording Volume=30000\nChannels=1\n"
                              "BitsPerSample=16\nSamplesPerSec=22050\n"));
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

        // Record: the engine hangs; the recorder waits in Starting and takes no other command.
        audio->hold();
        recorder().record();
        QVERIFY(audio->callHangs());
        QCOMPARE(recorder().phase(), Phase::Starting);
        QVERIFY(recorder().waiting());
        QVERIFY(session->handlerRunning());
        QVERIFY(!recorder().takeRunning());
        loopTurns();
        recorder().record();
        recorder().togglePause();
        recorder().stopAndSave();
        QCOMPARE(recorder().phase(), Phase::Starting);
        audio->letGo();
        QTRY_COMPARE(recorder().phase(), Phase::Recording);
        QVERIFY(!recorder().waiting());
        QVERIFY(!audio->gaveUp());

        // Stop and save: the engine hangs again.
        audio->hold();
        recorder().stopAndSave();
        QVERIFY(audio->callHangs());
        QCOMPARE(recorder().phase(), Phase::Saving);
        QVERIFY(recorder().waiting());
        QVERIFY(session->handlerRunning());
        loopTurns();
        recorder().togglePause();
        recorder().stopAndSave();
        QCOMPARE(recorder().phase(), Phase::Saving);
        QVERIFY(lines().isEmpty());
        audio->letGo();
        QTRY_COMPARE(recorder().phase(), Phase::Idle);
        QVERIFY(!audio->gaveUp());
        QVERIFY(!session->handlerRunning());
        QCOMPARE(lines(), QStringList{"01     00:00     " + path("h.wav")});
        QCOMPARE(engineCalls(1).size(), 1);
        QCOMPARE(engineCalls(0).size(), 1);
        QCOMPARE(engineCalls(2).size(), 0);
    }

    // Shutdown saves a take that runs, whatever the status line says meanwhile.
    void aTakeRunsByItsPhaseNotTheStatusText() {
        start(config("s.wav"));
        record();
        session->status.set("Encoding in progress...  Status=42%", kBlue);
        QVERIFY(recorder().takeRunning());
        recorder().togglePause();
        session->status.set("Finish Converting", kRed);
        QVERIFY(recorder().takeRunning());
        stop();
        session->status.set("The Program is Recording now........", kBlue);
        QVERIFY(!recorder().takeRunning());
    }
};

QTEST_GUILESS_MAIN(TestCoreRecorder)
#include "test_core_recorder.moc"
