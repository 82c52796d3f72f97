// Time from a tone's first samples reaching the sound server to the input meter reporting them,
// through the real engine library and the core's engine client and meter.
//
//   meter_latency BIN_DIR FIFO DESCRIPTION
//
// BIN_DIR holds libWavelark.so; FIFO is the file of a module-pipe-source whose description is
// DESCRIPTION (run.sh loads it). A thread of this program keeps the FIFO fed in real time,
// silence and then, at a time it notes on CLOCK_MONOTONIC just before the write, a 1 kHz tone at
// -6 dBFS. The clock stops in the slot of the first levelChanged whose peak is above -20 dBFS.
// Prints each trial and the median, range and mean of RUNS (default 20) in milliseconds.
#include "bench/support/LatencyClock.h"
#include "core/EngineClient.h"
#include "core/InputMeter.h"
#include "core/Settings.h"
#include "platform/AudioLibraries.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <numeric>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tw;

namespace {

using tw::bench::nowNs;
using tw::bench::waitUntil;

constexpr int kRate = 44100;
constexpr int kChunkFrames = kRate / 200; // 5 ms: the FIFO never holds more than this ahead
constexpr double kShown = 0.1;            // -20 dBFS
constexpr double kToneAmplitude = 0.5;    // -6 dBFS
constexpr double kToneHz = 1000;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Writes 5 ms of audio every 5 ms on an absolute schedule, so that what the server reads is as
// old as the write, and the tone's start is known to the write.
class Feeder {
  public:
    explicit Feeder(int fd) : fd_(fd), thread_([this] { loop(); }) {}
    ~Feeder() {
        stop_ = true;
        thread_.join();
    }
    // The tone begins with the first chunk due from now on.
    void startTone() {
        started_ = 0;
        tone_ = true;
    }
    void stopTone() { tone_ = false; }
    // When the tone's first chunk was handed to the FIFO; 0 until then.
    qint64 toneStartedAt() const { return started_; }
    bool failed() const { return failed_; }

  private:
    void loop() {
        std::vector<int16_t> chunk(kChunkFrames);
        timespec due{};
        clock_gettime(CLOCK_MONOTONIC, &due);
        long phase = 0;
        while (!stop_) {
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            const bool tone = tone_;
            if (!tone)
                phase = 0;
            for (int16_t& sample : chunk)
                sample = tone ? int16_t(std::lround(32767 * kToneAmplitude *
                                                    std::sin(2 * M_PI * kToneHz * phase++ / kRate)))
                              : 0;
            if (tone && started_ == 0)
                started_ = nowNs();
            if (::write(fd_, chunk.data(), chunk.size() * sizeof(int16_t)) < 0)
                failed_ = true;
            due.tv_nsec += 1000000000L * kChunkFrames / kRate;
            if (due.tv_nsec >= 1000000000L) {
                due.tv_nsec -= 1000000000L;
                due.tv_sec += 1;
            }
        }
    }

    int fd_;
    std::atomic<bool> stop_{false}, tone_{false}, failed_{false};
    std::atomic<qint64> started_{0};
    std::thread thread_;
};

void pause(int ms) {
    waitUntil([] { return false; }, ms);
}

// The engine's number of the source described so: the engine's own numbering, whatever order
// the server lists its sources in. Asked before the engine client's worker exists.
int sourceNumber(AudioLibraries& audio, const QString& description) {
    const int32_t count = audio.Wavelark({}, int32_t(EngineMode::CountSources), 0, 0, 0, 0);
    for (int32_t n = 0; n < count; ++n) {
        QString text;
        if (audio.WavelarkSourceDescription(n, text) == 0 && text == description)
            return n;
    }
    return -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
}

// One engine call, answered through the event loop; 1 when no answer came.
int32_t await(const std::function<void(EngineClient::Answer)>& call) {
    int32_t answer = 1;
    call([&](int32_t result) { answer = result; });
    waitUntil([&] { return answer != 1; }, 5000);
    return answer;
}

// Each trial is a take of its own, as in the program: the meter starts its 50 ms readings when
// the take has started, and the engine counts its 100 ms spans from the stream's start. Within
// one take the reading falls at the same point of each span; a new take draws that point anew.
int measure(EngineClient& engine, Feeder& feeder, int runs) {
    InputMeter meter(engine);
    double lastPeak = 0;
    qint64 shownAt = 0;
    QObject::connect(&meter, &InputMeter::levelChanged, [&](double peak, double, bool) {
        const qint64 now = nowNs();
        lastPeak = peak;
        if (shownAt == 0 && peak > kShown && feeder.toneStartedAt() != 0)
            shownAt = now;
    });
    QTemporaryDir dir;
    const QString take = dir.filePath(QStringLiteral("take.wav"));
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> gapMs(300, 700); // the tone falls anywhere in a span
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const int32_t started = await([&](EngineClient::Answer answer) {
            engine.record(RecordingFormat{1, kRate, 16}, &engine, std::move(answer));
        });
        if (started != 0) {
            std::fprintf(stderr, "trial %d: the engine did not record: %d\n", i + 1, started);
            return 1;
        }
        meter.setActive(true);
        pause(gapMs(random));
        if (lastPeak >= kShown) {
            std::fprintf(stderr, "trial %d: the meter showed a level before the tone\n", i + 1);
            return 1;
        }
        shownAt = 0;
        feeder.startTone();
        const bool shown = waitUntil([&] { return shownAt != 0; }, 3000);
        feeder.stopTone();
        meter.setActive(false);
        QFile::remove(take);
        await([&](EngineClient::Answer answer) { engine.stopAndSave(take, &engine, answer); });
        if (!shown || feeder.failed()) {
            std::fprintf(stderr, "trial %d: the meter never showed the tone\n", i + 1);
            return 1;
        }
        ms.push_back(double(shownAt - feeder.toneStartedAt()) / 1e6);
        std::printf("trial %2d: %.1f ms\n", i + 1, ms.back());
    }
    const auto [lo, hi] = std::minmax_element(ms.begin(), ms.end());
    std::printf("median of %d: %.1f ms (min %.1f, max %.1f, mean %.1f)\n", runs, median(ms), *lo,
                *hi, std::accumulate(ms.begin(), ms.end(), 0.0) / double(ms.size()));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each trial as it ends, also into a pipe
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: meter_latency BIN_DIR FIFO DESCRIPTION\n");
        return 2;
    }
    const int runs =
        qEnvironmentVariableIntValue("RUNS") > 0 ? qEnvironmentVariableIntValue("RUNS") : 20;
    AudioLibraries audio(args[1]);
    const int source = sourceNumber(audio, args[3]);
    if (source < 0) {
        std::fprintf(stderr, "no source described \"%s\" (%s)\n", qPrintable(args[3]),
                     qPrintable(audio.loadError()));
        return 1;
    }
    const Fd fifo(::open(args[2].toLocal8Bit().constData(), O_WRONLY | O_CLOEXEC));
    if (fifo.get() < 0) {
        std::perror("FIFO");
        return 1;
    }
    Feeder feeder(fifo.get());
    EngineClient engine(audio);
    engine.selectSource(source);
    std::printf("recording from source %d, \"%s\"\n", source, qPrintable(args[3]));
    return measure(engine, feeder, runs);
}
