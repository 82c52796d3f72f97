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
#include "bench/support/ToneFeeder.h"
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

using namespace tw::bench;

constexpr double kShown = 0.1; // -20 dBFS

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
    const auto bench = startPipeBench("meter_latency", app.arguments());
    if (!bench)
        return app.arguments().size() != 4 ? 2 : 1;
    AudioLibraries& audio = bench->audio;
    const int source = bench->source;
    const int runs = bench->runs;
    const QStringList args = app.arguments();
    Feeder feeder(bench->fifo);
    EngineClient engine(audio);
    engine.selectSource(source);
    std::printf("recording from source %d, \"%s\"\n", source, qPrintable(args[3]));
    return measure(engine, feeder, runs);
}
