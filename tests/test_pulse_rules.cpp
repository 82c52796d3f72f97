// Voice activation and pre-record with the real engine on the private PulseAudio server. The
// input is a pipe source fed in real time by the test, so that the moment a tone is switched
// on is known to the sample.
#include "core/Session.h"
#include "platform/AudioLibraries.h"
#include "platform/FakePlayer.h"
#include "tests/engine/pulse_support.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace tw;
using namespace pulsetest;

namespace {

constexpr int kRate = 48000;
constexpr int kChunk = kRate / 100; // 10 ms

// A pipe source fed with silence, or a 440 Hz tone at -6 dBFS while switched on, paced by the
// monotonic clock. Counts the frames written, so that a tone's onset is known as a frame.
class ToneSource {
  public:
    explicit ToneSource(const QString& fifo) {
        module_ = run("pactl", {"load-module", "module-pipe-source", "source_name=toneswitch",
                                "file=" + fifo, "format=s16le", "rate=" + QString::number(kRate),
                                "channels=1"})
                      .trimmed();
        pipe_ = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
        if (pipe_ >= 0)
            writer_ = std::thread([this] { feed(); });
    }
    ~ToneSource() {
        stop_ = true;
        if (writer_.joinable())
            writer_.join();
        if (pipe_ >= 0)
            ::close(pipe_);
        run("pactl", {"unload-module", module_});
    }
    bool running() const { return pipe_ >= 0 && !module_.isEmpty(); }
    // Switches the tone; answers the frame (of all written) where the change falls.
    int64_t setTone(bool on) {
        std::unique_lock lock(mutex_);
        tone_ = on;
        return written_;
    }

  private:
    void feed() {
        std::vector<int16_t> chunk(kChunk);
        auto due = std::chrono::steady_clock::now();
        while (!stop_) {
            {
                std::unique_lock lock(mutex_);
                for (int i = 0; i < kChunk; ++i)
                    chunk[size_t(i)] = tone_
                                           ? int16_t(16384 * std::sin(2 * std::numbers::pi * 440 *
                                                                      double(written_ + i) / kRate))
                                           : 0;
                written_ += kChunk;
            }
            if (::write(pipe_, chunk.data(), chunk.size() * 2) < 0)
                return;
            due += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(due);
        }
    }

    QString module_;
    int pipe_ = -1;
    std::thread writer_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    bool tone_ = false;
    int64_t written_ = 0;
};

// Where the first sample louder than -20 dBFS lies in a take, in seconds; -1 for none.
double onsetIn(const Audio& audio) {
    const auto& x = audio.channels.at(0);
    for (size_t i = 0; i < x.size(); ++i)
        if (std::abs(x[i]) > 0.1)
            return double(i) / audio.info.samplerate;
    return -1;
}

} // namespace

class TestPulseRules : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void voiceStartsATakeThatHoldsTheOnsetAndSplitsAtSilence();
    void voicePausesOnSilenceAndResumesOnSound();
    void preRecordBeginsTheTakeBeforeTheCommand();

  private:
    QString takePath(int n) const {
        return n == 0 ? dir_.filePath("Take.wav")
                      : dir_.filePath(QStringLiteral("Take_%1.wav").arg(n));
    }

    QTemporaryDir dir_;
    std::unique_ptr<ToneSource> tone_;
    std::unique_ptr<AudioLibraries> audio_;
    FakePlayer player_;
    std::unique_ptr<Session> session_;
};

void TestPulseRules::initTestCase() {
    QVERIFY2(serverIsUp(), "the private PulseAudio server of scripts/test is not running");
    QVERIFY(dir_.isValid());
    tone_ = std::make_unique<ToneSource>(dir_.filePath("tone.fifo"));
    QVERIFY(tone_->running());
    audio_ = std::make_unique<AudioLibraries>(qEnvironmentVariable("TW_APPDIR"));
}

void TestPulseRules::init() {
    QTRY_VERIFY(engineIndexOf("toneswitch") >= 0);
    QFile ini(dir_.filePath("Config.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(QStringLiteral("[Config]\nRecording Source=%1\nChannels=1\nBitsPerSample=16\n"
                             "SamplesPerSec=%2\nVoice Start dB=-30\nVoice Start ms=100\n"
                             "Voice Silence dB=-40\nVoice Silence ms=800\n")
                  .arg(engineIndexOf("toneswitch") + 1)
                  .arg(kRate)
                  .toUtf8());
    ini.close();
    session_ = std::make_unique<Session>(dir_.path(), *audio_, player_, nullptr);
    session_->loadConfiguration();
    session_->setSavePosition(takePath(0));
    QTRY_VERIFY(!session_->engine.busy());
    QVERIFY2(audio_->loadError().isEmpty(), qPrintable(audio_->loadError()));
}

void TestPulseRules::cleanup() {
    tone_->setTone(false);
    session_->request(Session::Command::Stop);
    QTRY_COMPARE_WITH_TIMEOUT(session_->recorder.phase(), Recorder::Phase::Idle, 10000);
    session_.reset();
    for (int n = 0; n < 4; ++n)
        QFile::remove(takePath(n));
}

void TestPulseRules::voiceStartsATakeThatHoldsTheOnsetAndSplitsAtSilence() {
    Session& s = *session_;
    VoiceSettings voice = s.settings.voiceSettings();
    voice.split = true;
    s.voice.arm();
    s.voice.setThresholds(voice);
    QTRY_VERIFY(s.engine.level().has_value());
    QTest::qWait(1500); // silence does not start a take
    QCOMPARE(s.recorder.phase(), Recorder::Phase::Idle);
    QVERIFY2(s.status.text().contains(QStringLiteral("Waiting for sound above −30 dB")),
             qPrintable(s.status.text()));

    QElapsedTimer sinceOnset;
    for (int take = 0; take < 2; ++take) {
        tone_->setTone(true);
        sinceOnset.start();
        QTRY_VERIFY_WITH_TIMEOUT(s.recorder.phase() != Recorder::Phase::Idle, 3000);
        const qint64 commandAfterMs = sinceOnset.elapsed();
        qInfo("take %d: Record issued %lld ms after the onset", take, commandAfterMs);
        QTest::qWait(1500);
        tone_->setTone(false);
        // 0.8 s of silence ends the take; the next starts with the next tone.
        QTRY_COMPARE_WITH_TIMEOUT(s.recorder.phase(), Recorder::Phase::Idle, 5000);
        QVERIFY(s.voice.armed());
        QTRY_VERIFY(s.engine.level().has_value());
        QTest::qWait(500);
    }
    for (int n = 0; n < 2; ++n) {
        const Audio audio = readAudio(takePath(n));
        QVERIFY2(audio.opened, qPrintable(takePath(n)));
        // The take begins with the tone: just before the sample that set it off, however late
        // the level told of it.
        const double onset = onsetIn(audio);
        qInfo("take %d: onset at %.3f s of %.3f s", n, onset, audio.seconds());
        QVERIFY2(onset > 0.02 && onset <= 0.1, qPrintable(QString::number(onset)));
        // The tone (1.5 s) whole, then the silence that ended the take.
        QVERIFY2(audio.seconds() - onset > 2.0 && audio.seconds() - onset < 3.6,
                 qPrintable(QString::number(audio.seconds())));
    }
    QVERIFY(!QFile::exists(takePath(2)));
    QCOMPARE(s.takes.rowCount(), 2);
}

void TestPulseRules::voicePausesOnSilenceAndResumesOnSound() {
    Session& s = *session_;
    s.voice.arm();
    QTRY_VERIFY(s.engine.level().has_value());
    tone_->setTone(true);
    QTRY_COMPARE_WITH_TIMEOUT(s.recorder.phase(), Recorder::Phase::Recording, 3000);
    QTest::qWait(1000);
    tone_->setTone(false);
    QTRY_COMPARE_WITH_TIMEOUT(s.recorder.phase(), Recorder::Phase::Paused, 3000);
    QTest::qWait(1000);
    tone_->setTone(true);
    QTRY_COMPARE_WITH_TIMEOUT(s.recorder.phase(), Recorder::Phase::Recording, 3000);
    QTest::qWait(800);
    // Stop ends the take and voice activation with it.
    QVERIFY(s.request(Session::Command::Stop));
    QVERIFY(!s.voice.armed());
    QTRY_COMPARE_WITH_TIMEOUT(s.recorder.phase(), Recorder::Phase::Idle, 5000);
    const Audio audio = readAudio(takePath(0));
    QVERIFY(audio.opened);
    // Paused through most of the silence: the take is far shorter than the time it ran.
    QVERIFY2(audio.seconds() < 4.0, qPrintable(QString::number(audio.seconds())));
    QVERIFY(!QFile::exists(takePath(1)));
}

void TestPulseRules::preRecordBeginsTheTakeBeforeTheCommand() {
    Session& s = *session_;
    s.setPreRecordSeconds(3);
    QVERIFY(s.inputKeptOpen());
    QTRY_VERIFY(s.engine.level().has_value());
    QTest::qWait(3500); // the input has been open longer than it keeps
    tone_->setTone(true);
    QTest::qWait(1000);
    QVERIFY(s.request(Session::Command::Record));
    QTRY_COMPARE_WITH_TIMEOUT(s.recorder.phase(), Recorder::Phase::Recording, 3000);
    // The clock counts the seconds the take begins with.
    QVERIFY2(s.recorder.elapsedMs() >= 2800, qPrintable(QString::number(s.recorder.elapsedMs())));
    QTest::qWait(1000);
    QVERIFY(s.request(Session::Command::Stop));
    QTRY_COMPARE_WITH_TIMEOUT(s.recorder.phase(), Recorder::Phase::Idle, 5000);
    const Audio audio = readAudio(takePath(0));
    QVERIFY(audio.opened);
    // Three seconds before the command, of which the last one is the tone. "Now" is the
    // freshest audio the source has handed over, for the start as for the stop: a source that
    // hands it over late (PipeWire's pipe source holds about half a second) moves both ends of
    // the take later alike.
    const double onset = onsetIn(audio);
    qInfo("onset at %.3f s of %.3f s", onset, audio.seconds());
    QVERIFY2(onset > 1.7 && onset < 2.7, qPrintable(QString::number(onset)));
    QVERIFY2(std::abs(audio.seconds() - 4.0) < 0.4, qPrintable(QString::number(audio.seconds())));
    // The input stays open after the take, ready for the next one.
    QTRY_VERIFY(s.listening());
    QTRY_VERIFY(s.engine.level().has_value());
}

QTEST_MAIN(TestPulseRules)
#include "test_pulse_rules.moc"
