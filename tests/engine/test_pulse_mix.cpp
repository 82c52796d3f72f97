// Two inputs in one take, and one program's sound alone, through the engine's C exports against
// the private server: what each input adds to the take and at what level, which program is
// heard, and a take that outlives either of its inputs.
#include "engine/exports.h"
#include "pulse_support.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <memory>

using namespace pulsetest;

namespace {

constexpr int kRate = 48000;

void sleepSeconds(double s) {
    QThread::msleep(static_cast<unsigned long>(s * 1000));
}

bool selectInputs(const QString& first, const QString& second) {
    return Wavelark("", 5, 0, 0, 0, engineIndexOf(first)) == 0 &&
           Wavelark("", 7, 0, 0, 0, second.isEmpty() ? -1 : engineIndexOf(second)) == 0;
}

WavelarkStatusInfo status() {
    WavelarkStatusInfo info{};
    WavelarkStatus(&info);
    return info;
}

// The amplitude of a tone in a span of the take (Goertzel power, scaled to the sine's peak).
double amplitudeAt(const std::vector<double>& x, size_t from, size_t to, double frequency) {
    const std::vector<double> span(x.begin() + static_cast<std::ptrdiff_t>(from),
                                   x.begin() + static_cast<std::ptrdiff_t>(to));
    return 2 * std::sqrt(powerAt(span, kRate, frequency)) / static_cast<double>(span.size());
}

// A program playing a tone, known to the server by `name`.
class Player {
  public:
    Player(const QString& folder, const QString& name, double frequency, double seconds,
           const QString& sink = QStringLiteral("speakers")) {
        const QString file = folder + "/" + name + QString::number(frequency) + ".wav";
        if (!QFile::exists(file))
            writeTone(file, frequency, seconds, kRate);
        process_.start(QStringLiteral("paplay"),
                       {"--device=" + sink, "--property=application.name=" + name,
                        "--client-name=" + name, file});
    }
    ~Player() {
        process_.kill();
        process_.waitForFinished();
    }
    bool started() { return process_.waitForStarted(5000); }
    bool finished(int ms) { return process_.waitForFinished(ms); }

  private:
    QProcess process_;
};

// Until the server lists the program's stream, so that a take started now can find it.
bool waitForProgram(const QString& name, int ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    char out[4096];
    while (timer.elapsed() < ms) {
        if (WavelarkApplications(out, sizeof out) >= 0 &&
            QString::fromUtf8(out).split('\n').filter(QRegularExpression("^" + name + "\t")).size())
            return true;
        sleepSeconds(0.05);
    }
    return false;
}

struct Take {
    QString path;
    Audio audio;
    int32_t problems = 0;
};

} // namespace

class TestPulseMix : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    std::unique_ptr<MonitorListener> speakers_, microphone_;

    Take record(double seconds, int channels = 2, const std::function<void(double)>& during = {}) {
        Take take;
        take.path = dir_.filePath(QString("take%1.wav").arg(++takes_));
        if (Wavelark("", 1, channels, kRate, 16, 0) != 0)
            return take;
        for (double t = 0; t < seconds; t += 0.1) {
            if (during)
                during(t);
            sleepSeconds(0.1);
        }
        take.problems = status().problems;
        Wavelark(QFile::encodeName(take.path).constData(), 0, 0, 0, 0, 0);
        take.audio = readAudio(take.path);
        return take;
    }
    int takes_ = 0;

  private slots:
    void initTestCase() {
        QVERIFY2(serverIsUp(), "the private sound server is not running");
        QVERIFY(dir_.isValid());
        speakers_ = std::make_unique<MonitorListener>(QStringLiteral("speakers.monitor"));
        QVERIFY(speakers_->running());
        // The microphone: a 440 Hz tone through a sink of its own, read in real time (the
        // server's sine source hands over seconds ahead at once, as no device does).
        microphone_ = std::make_unique<MonitorListener>(QStringLiteral("micsink.monitor"));
        QVERIFY(microphone_->running());
        // Until the sinks render in the listeners' small blocks.
        sleepSeconds(2);
    }
    void cleanup() {
        WavelarkSelectApplication("");
        WavelarkMix(100, 100, 0);
        Wavelark("", 7, 0, 0, 0, -1);
    }

    // The microphone (440 Hz) and what the speakers play (1000 Hz) in one take, each at
    // its own level: mixed on both channels, or each on its own, and with the levels set apart.
    void microphoneAndSpeakersInOneTake_data() {
        QTest::addColumn<int>("firstPercent");
        QTest::addColumn<int>("secondPercent");
        QTest::addColumn<bool>("apart");
        QTest::newRow("mixed") << 100 << 100 << false;
        QTest::newRow("mixed, first at half") << 50 << 100 << false;
        QTest::newRow("own channels") << 100 << 100 << true;
    }
    void microphoneAndSpeakersInOneTake() {
        QFETCH(int, firstPercent);
        QFETCH(int, secondPercent);
        QFETCH(bool, apart);
        QVERIFY(selectInputs("micsink.monitor", "speakers.monitor"));
        QCOMPARE(WavelarkMix(firstPercent, secondPercent, apart ? 1 : 0), 0);
        Player tone(dir_.path(), "ToneMix", 1000, 8);
        QVERIFY(tone.started());
        QVERIFY(waitForProgram("ToneMix"));
        WavelarkLevelInfo first{}, second{};
        Take take = record(3, 2, [&](double t) {
            if (t > 2) {
                WavelarkInputLevel(0, &first);
                WavelarkInputLevel(1, &second);
            }
        });
        QVERIFY(take.audio.opened);
        QCOMPARE(take.problems, 0);
        QVERIFY2(std::abs(take.audio.seconds() - 3) < 0.3,
                 qPrintable(QString::number(take.audio.seconds())));
        if (qEnvironmentVariableIsSet("TW_KEEP_TAKE"))
            QFile::copy(take.path, qEnvironmentVariable("TW_KEEP_TAKE"));
        // Each input's own level, whatever the mix does with it.
        QVERIFY2(first.peak > 0.4 && first.peak < 0.6, qPrintable(QString::number(first.peak)));
        QVERIFY2(second.peak > 0.4 && second.peak < 0.6, qPrintable(QString::number(second.peak)));
        const size_t from = kRate, to = 2 * kRate; // past the start, before the stop
        for (int c = 0; c < 2; ++c) {
            const auto& x = take.audio.channels[size_t(c)];
            const double a440 = amplitudeAt(x, from, to, 440);
            const double a1000 = amplitudeAt(x, from, to, 1000);
            const double want440 = apart && c == 1 ? 0 : 0.5 * firstPercent / 100;
            const double want1000 = apart && c == 0 ? 0 : 0.5 * secondPercent / 100;
            QVERIFY2(std::abs(a440 - want440) < 0.06,
                     qPrintable(QString("channel %1: 440 Hz at %2").arg(c).arg(a440)));
            QVERIFY2(std::abs(a1000 - want1000) < 0.06,
                     qPrintable(QString("channel %1: 1000 Hz at %2").arg(c).arg(a1000)));
        }
    }

    // A first input that hands over audio the moment it opens (the server's sine source gives
    // seconds at once), before the second is open: that audio is mixed like the rest, on its
    // own channel, not written as if it were the take's format.
    void audioBeforeTheSecondInputOpensIsMixed() {
        QVERIFY(selectInputs("sine_input", "speakers.monitor"));
        QCOMPARE(WavelarkMix(100, 100, 1), 0);
        Take take = record(2);
        QVERIFY(take.audio.opened);
        const auto& left = take.audio.channels[0];
        const auto& right = take.audio.channels[1];
        for (size_t from = 0; from + kRate / 5 <= left.size(); from += kRate / 5) {
            QVERIFY2(std::abs(amplitudeAt(left, from, from + kRate / 5, 440) - 0.5) < 0.05,
                     qPrintable(QString("left at %1 s").arg(double(from) / kRate)));
            QVERIFY2(rms(std::vector<double>(right.begin() + std::ptrdiff_t(from),
                                             right.begin() + std::ptrdiff_t(from + kRate / 5))) <
                         0.001,
                     qPrintable(QString("right at %1 s").arg(double(from) / kRate)));
        }
    }

    // Two programs play, one is chosen: the take holds its tone and not the other's, and the
    // list of programs names both.
    void oneProgramAlone() {
        Player a(dir_.path(), "ToneA", 440, 8);
        Player b(dir_.path(), "ToneB", 1000, 8);
        QVERIFY(a.started() && b.started());
        QVERIFY(waitForProgram("ToneA") && waitForProgram("ToneB"));
        char list[4096];
        QVERIFY(WavelarkApplications(list, sizeof list) >= 2);
        QVERIFY(QString::fromUtf8(list).contains("ToneA\t") &&
                QString::fromUtf8(list).contains("ToneB\t"));
        QCOMPARE(WavelarkSelectApplication("ToneB"), 0);
        int playing = -2;
        Take take = record(3, 2, [&](double t) {
            if (t > 1.5)
                playing = status().program;
        });
        QVERIFY(take.audio.opened);
        QCOMPARE(playing, 1);
        const auto& x = take.audio.channels[0];
        const double a1000 = amplitudeAt(x, kRate, 2 * kRate, 1000);
        const double a440 = amplitudeAt(x, kRate, 2 * kRate, 440);
        QVERIFY2(a1000 > 0.4, qPrintable(QString::number(a1000)));
        QVERIFY2(a440 < 0.01, qPrintable(QString::number(a440)));
        QCOMPARE(status().program, 0); // no take: the answer is the last take's, stopped
    }

    // A call: the meeting program as the first input, the microphone as the second, each on its
    // own channel; another program's sound is in neither.
    void programAndMicrophoneOnTheirOwnChannels() {
        Player meeting(dir_.path(), "Meeting", 1000, 8);
        Player chime(dir_.path(), "Chime", 660, 8);
        QVERIFY(meeting.started() && chime.started());
        QVERIFY(waitForProgram("Meeting") && waitForProgram("Chime"));
        QCOMPARE(WavelarkSelectApplication("Meeting"), 0);
        QVERIFY(selectInputs("speakers.monitor", "micsink.monitor"));
        QCOMPARE(WavelarkMix(100, 100, 1), 0);
        WavelarkLevelInfo program{}, microphone{};
        Take take = record(3, 2, [&](double t) {
            if (t > 2) {
                WavelarkInputLevel(0, &program);
                WavelarkInputLevel(1, &microphone);
            }
        });
        QVERIFY(take.audio.opened);
        QCOMPARE(take.problems, 0);
        QVERIFY2(program.peak > 0.4 && microphone.peak > 0.4,
                 qPrintable(QString("%1 %2").arg(program.peak).arg(microphone.peak)));
        const auto& left = take.audio.channels[0];
        const auto& right = take.audio.channels[1];
        QVERIFY(amplitudeAt(left, kRate, 2 * kRate, 1000) > 0.4);
        QVERIFY(amplitudeAt(left, kRate, 2 * kRate, 440) < 0.01);
        QVERIFY(amplitudeAt(right, kRate, 2 * kRate, 440) > 0.4);
        QVERIFY(amplitudeAt(right, kRate, 2 * kRate, 1000) < 0.01);
        for (const auto* x : {&left, &right})
            QVERIFY(amplitudeAt(*x, kRate, 2 * kRate, 660) < 0.01);
    }

    // The chosen program plays nothing at first, then a stream, ends it, and opens a new one:
    // the take says when it plays nothing, holds silence then, and holds both streams' sound.
    void followsTheProgramFromStreamToStream() {
        QCOMPARE(WavelarkSelectApplication("ToneC"), 0);
        QList<int> seen;
        std::unique_ptr<Player> player;
        Take take = record(6, 1, [&](double t) {
            seen.append(status().program);
            if (std::abs(t - 1.0) < 0.05 || std::abs(t - 3.5) < 0.05)
                player = std::make_unique<Player>(dir_.path(), "ToneC", 1000, 1.5);
        });
        QVERIFY(take.audio.opened);
        QCOMPARE(take.problems, 0);
        const auto& x = take.audio.channels[0];
        const auto at = [&](double from, double to) {
            return amplitudeAt(x, size_t(from * kRate), size_t(to * kRate), 1000);
        };
        QVERIFY2(at(0.2, 0.9) < 0.01, qPrintable(QString::number(at(0.2, 0.9))));
        QVERIFY2(at(1.6, 2.3) > 0.4, qPrintable(QString::number(at(1.6, 2.3))));
        QVERIFY2(at(3.0, 3.4) < 0.01, qPrintable(QString::number(at(3.0, 3.4))));
        QVERIFY2(at(4.1, 4.8) > 0.4, qPrintable(QString::number(at(4.1, 4.8))));
        // Said: none, then playing, none again between the streams, and playing again.
        QCOMPARE(seen.first(), 0);
        QVERIFY(seen.mid(15, 5).contains(1));
        QVERIFY(seen.mid(28, 6).contains(0));
        QVERIFY(seen.mid(40, 6).contains(1));
    }

    // Either input going away mid-take is a fault of the take, and the take goes on with the
    // other one for its whole length.
    void aTakeOutlivesEitherInput_data() {
        QTest::addColumn<bool>("firstGoes");
        QTest::newRow("second goes") << false;
        QTest::newRow("first goes") << true;
    }
    void aTakeOutlivesEitherInput() {
        QFETCH(bool, firstGoes);
        const QString module =
            run("pactl", {"load-module", "module-null-sink", "sink_name=gone"}).trimmed();
        QVERIFY(!module.isEmpty());
        // Read in real time, as the other null sinks are (see MonitorListener).
        auto listener = std::make_unique<MonitorListener>(QStringLiteral("gone.monitor"));
        QVERIFY(listener->running());
        sleepSeconds(1.5);
        Player tone(dir_.path(), "ToneGone", 1000, 8, "gone");
        QVERIFY(tone.started());
        QVERIFY(waitForProgram("ToneGone"));
        QVERIFY(firstGoes ? selectInputs("gone.monitor", "micsink.monitor")
                          : selectInputs("micsink.monitor", "gone.monitor"));
        Take take = record(4, 1, [&](double t) {
            if (std::abs(t - 2.0) < 0.05)
                run("pactl", {"unload-module", module});
        });
        QVERIFY(take.audio.opened);
        QCOMPARE(take.problems & (WavelarkInputLost | WavelarkSourceLost), int(WavelarkInputLost));
        QVERIFY2(take.audio.seconds() > 3.5 && take.audio.seconds() < 4.5,
                 qPrintable(QString::number(take.audio.seconds())));
        const auto& x = take.audio.channels[0];
        // Both before, the one left after.
        QVERIFY(amplitudeAt(x, kRate / 2, kRate * 3 / 2, 1000) > 0.3);
        QVERIFY(amplitudeAt(x, kRate / 2, kRate * 3 / 2, 440) > 0.3);
        QVERIFY(amplitudeAt(x, size_t(2.7 * kRate), size_t(3.4 * kRate), 1000) < 0.01);
        QVERIFY2(amplitudeAt(x, size_t(2.7 * kRate), size_t(3.4 * kRate), 440) > 0.3,
                 qPrintable(QString::number(
                     amplitudeAt(x, size_t(2.7 * kRate), size_t(3.4 * kRate), 440))));
    }

    void rejectsBadArguments() {
        QCOMPARE(WavelarkMix(-1, 100, 0), -1);
        QCOMPARE(WavelarkMix(100, 201, 0), -1);
        QCOMPARE(WavelarkMix(100, 100, 2), -1);
        QCOMPARE(WavelarkSelectApplication(std::string(300, 'x').c_str()), -1);
        QCOMPARE(WavelarkApplications(nullptr, 10), -1);
        WavelarkLevelInfo info{};
        QCOMPARE(WavelarkInputLevel(2, &info), -1);
        QCOMPARE(Wavelark("", 7, 0, 0, 0, -2), -1);
        QCOMPARE(Wavelark("", 7, 0, 0, 0, 999), -1);
        // No take: no level of either input.
        QCOMPARE(WavelarkInputLevel(0, &info), -3);
    }
};

QTEST_GUILESS_MAIN(TestPulseMix)
#include "test_pulse_mix.moc"
