// Two inputs and one program's sound through the session and the real engine on the private
// PulseAudio server: the choice in Config.ini reaches the engine before the take, each input
// lands on its own channel, each input's level is read, and a followed program that stops
// playing is said while the take goes on.
#include "core/Session.h"
#include "platform/AudioLibraries.h"
#include "platform/FakePlayer.h"
#include "tests/engine/pulse_support.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace pulsetest;

namespace {
constexpr int kRate = 44100;
} // namespace

class TestPulseInputs : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::unique_ptr<AudioLibraries> audio_;
    std::unique_ptr<MonitorListener> speakers_, micsink_;
    FakePlayer player_;
    std::unique_ptr<Session> session_;

    QString take(const QString& name) const { return dir_.filePath(name); }
    void start(const QString& keys) {
        QFile ini(dir_.filePath("Config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(("[Config]\nChannels=2\nBitsPerSample=16\nSamplesPerSec=" +
                   QString::number(kRate) + "\n" + keys)
                      .toUtf8());
        ini.close();
        session_ = std::make_unique<Session>(dir_.path(), *audio_, player_, nullptr);
        session_->loadConfiguration();
        QTRY_VERIFY(!session_->engine.busy());
        QVERIFY2(audio_->loadError().isEmpty(), qPrintable(audio_->loadError()));
    }
    void record(const QString& path) {
        session_->setSavePosition(path);
        QVERIFY(session_->request(Session::Command::Record));
        QTRY_COMPARE_WITH_TIMEOUT(session_->recorder.phase(), Recorder::Phase::Recording, 5000);
    }
    void stop() {
        QVERIFY(session_->request(Session::Command::Stop));
        QTRY_COMPARE_WITH_TIMEOUT(session_->recorder.phase(), Recorder::Phase::Idle, 10000);
    }

  private slots:
    void initTestCase() {
        QVERIFY2(serverIsUp(), "the private PulseAudio server of scripts/test is not running");
        QVERIFY(dir_.isValid());
        audio_ = std::make_unique<AudioLibraries>(qEnvironmentVariable("TW_APPDIR"));
        speakers_ = std::make_unique<MonitorListener>("speakers.monitor");
        micsink_ = std::make_unique<MonitorListener>("micsink.monitor");
        QVERIFY(speakers_->running() && micsink_->running());
    }
    void cleanup() {
        if (session_ && session_->recorder.takeRunning())
            stop();
        session_.reset();
    }

    // The tone (sine_input) and the silent speakers' monitor, each on its own channel: the
    // tone is on the side of the input it was chosen as, and each input's level says the same.
    void eachInputOnItsOwnChannel_data() {
        QTest::addColumn<bool>("toneFirst");
        QTest::newRow("tone first, left") << true;
        QTest::newRow("tone second, right") << false;
    }
    void eachInputOnItsOwnChannel() {
        QFETCH(bool, toneFirst);
        const int tone = engineIndexOf("micsink.monitor") + 1;
        const int quiet = engineIndexOf("speakers.monitor") + 1;
        QVERIFY(tone > 0 && quiet > 0);
        start(QStringLiteral("Recording Source=%1\nSecond Recording Source=%2\n"
                             "Inputs On Own Channels=1\n")
                  .arg(toneFirst ? tone : quiet)
                  .arg(toneFirst ? quiet : tone));
        QCOMPARE(session_->meter.inputCount(), 2);
        double peaks[2] = {0, 0};
        connect(&session_->meter, &InputMeter::inputLevelChanged, this,
                [&peaks](int input, double peak) { peaks[input] = std::max(peaks[input], peak); });
        const QString path = take(toneFirst ? "left.wav" : "right.wav");
        record(path);
        QTest::qWait(4000);
        stop();
        QCOMPARE(session_->status.colour(), kRed); // the usual "saved" line, no fault
        QCOMPARE(session_->status.text(),
                 QString("Recording is over,Wave file has saved in appointed path"));
        const Audio audio = readAudio(path);
        QVERIFY(audio.opened);
        QCOMPARE(audio.info.channels, 2);
        QVERIFY2(audio.seconds() > 3.5, qPrintable(QString::number(audio.seconds())));
        // The last second before the stop: a monitor's first audio may come late.
        const auto lastSecond = [&audio](int channel) {
            const std::vector<double>& x = audio.channels[size_t(channel)];
            const long rate = audio.info.samplerate;
            return rms(std::vector<double>(x.end() - rate - rate / 5, x.end() - rate / 5));
        };
        const double left = lastSecond(0), right = lastSecond(1);
        const double toneSide = toneFirst ? left : right, otherSide = toneFirst ? right : left;
        QVERIFY2(toneSide > 0.3 && otherSide < 0.001,
                 qPrintable(QStringLiteral("left %1 right %2").arg(left).arg(right)));
        const double tonePeak = peaks[toneFirst ? 0 : 1], otherPeak = peaks[toneFirst ? 1 : 0];
        QVERIFY2(tonePeak > 0.1 && otherPeak < 0.01,
                 qPrintable(QStringLiteral("peaks %1 %2").arg(peaks[0]).arg(peaks[1])));
    }

    // A program playing is listed by the name it gives; chosen, the take records its stream,
    // and once it stops the status line says so in blue while the take goes on.
    void aProgramIsFollowedAndItsSilenceSaid() {
        const QString wav = take("tone.wav");
        QVERIFY(writeTone(wav, 1000, 3));
        // The source plays 440 Hz, the program 1000 Hz.
        start(QStringLiteral("Recording Source=%1\n").arg(engineIndexOf("micsink.monitor") + 1));
        QProcess program;
        program.start("paplay", {"--property=application.name=TwToneProgram", wav});
        QVERIFY(program.waitForStarted());
        InputChoices& choices = session_->inputChoices;
        const auto listed = [&choices] {
            for (const PlayingProgram& p : choices.playing())
                if (p.name == "TwToneProgram")
                    return true;
            return false;
        };
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (!choices.loading() && !listed())
                    choices.refresh();
                return listed();
            },
            5000));
        InputChoice inputs;
        inputs.application = "TwToneProgram";
        session_->setInputs(inputs);
        const QString path = take("program.wav");
        record(path);
        QVERIFY(program.waitForFinished(10000));
        QTRY_COMPARE_WITH_TIMEOUT(session_->status.text(),
                                  QString("TwToneProgram plays nothing now; the take holds "
                                          "silence."),
                                  5000);
        QCOMPARE(session_->status.colour(), kBlue);
        QVERIFY(session_->recorder.takeRunning());
        QTest::qWait(2000); // the sink may have rendered the program's end ahead of time
        stop();
        QVERIFY2(!session_->status.text().contains("cut short"),
                 qPrintable(session_->status.text()));
        const Audio audio = readAudio(path);
        QVERIFY(audio.opened);
        const std::vector<double>& left = audio.channels[0];
        const long rate = audio.info.samplerate;
        QVERIFY(long(left.size()) > 3 * rate);
        const std::vector<double> head(left.begin() + rate / 5, left.begin() + rate);
        const std::vector<double> tail(left.end() - rate, left.end() - rate / 5);
        const auto amplitude = [rate](const std::vector<double>& x, double frequency) {
            return 2 * std::sqrt(powerAt(x, double(rate), frequency)) / double(x.size());
        };
        QVERIFY2(amplitude(head, 1000) > 0.3 && amplitude(head, 440) < 0.01,
                 qPrintable(QStringLiteral("head: 1000 Hz %1, 440 Hz %2")
                                .arg(amplitude(head, 1000))
                                .arg(amplitude(head, 440))));
        QVERIFY2(rms(tail) < 0.001, qPrintable(QStringLiteral("tail %1").arg(rms(tail))));
    }
};

QTEST_GUILESS_MAIN(TestPulseInputs)
#include "test_pulse_inputs.moc"
