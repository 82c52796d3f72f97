// One program's sound: a take that follows a program by name while the program starts new
// streams, each opening with a tone. Where each tone lies in the take, against when its stream
// connected, and how much of its opening the take lacks.
#include "bench/mix/engine_api.h"
#include "bench/mix/take_analysis.h"
#include "bench/support/PacedFeeder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <sndfile.h>
#include <thread>

namespace tw::bench::mix {

namespace {

constexpr int kRate = 48000;

struct Play {
    int64_t connect = 0, ready = 0, drained = 0;
    unsigned long long latencyUs = 0;
};

bool play(const std::string& player, const std::string& name, int toneMs, int leadMs, Play& out) {
    const std::string command =
        player + " '" + name + "' " + std::to_string(toneMs) + " " + std::to_string(leadMs);
    FILE* child = popen(command.c_str(), "r");
    if (!child)
        return false;
    long long connect = 0, ready = 0, drained = 0;
    const int got = std::fscanf(child, "connect=%lld ready=%lld drained=%lld latency_us=%llu",
                                &connect, &ready, &drained, &out.latencyUs);
    const int status = pclose(child);
    out.connect = connect;
    out.ready = ready;
    out.drained = drained;
    return got == 4 && status == 0;
}

// WavelarkStatus every millisecond (it never waits) until `stop`.
void sample(const Engine& engine, const std::atomic<bool>& stop, std::vector<TakeSample>& out) {
    while (!stop) {
        const WavelarkStatusInfo info = engine.now();
        out.push_back({monotonicNs(), info.frames, info.program});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The take's left channel (the player's sound is in both).
std::vector<float> leftOf(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), sf_strerror(nullptr));
        return {};
    }
    std::vector<float> piece(size_t(kRate) * size_t(info.channels)), left;
    for (sf_count_t got; (got = sf_readf_float(file, piece.data(), kRate)) > 0;)
        for (sf_count_t i = 0; i < got; ++i)
            left.push_back(piece[size_t(i * info.channels)]);
    sf_close(file);
    return left;
}

struct Figures {
    std::vector<double> held, byRate, missing, noticed, endLag;
    int64_t holes = 0, jumps = 0, streamsBroken = 0;
};

// Silence or a jump inside the tone, 5 ms in from either end: the sound the take held of the
// stream, apart from a missing opening.
ToneBreaks breaksIn(const std::vector<float>& left, const Burst& tone) {
    constexpr int64_t kIn = kRate / 200;
    ToneWatch watch(0.5, {});
    if (tone.end - tone.start > 2 * kIn)
        watch.feed(left.data() + tone.start + kIn, size_t(tone.end - tone.start - 2 * kIn), 1);
    return watch.finish();
}

// One stream's figures: its tone is the first in the take that the take held between the
// stream's connecting and a second after its drain.
void reportStream(size_t i, const Play& p, const std::vector<float>& left,
                  const std::vector<Burst>& tones, const std::vector<TakeSample>& clock,
                  int64_t takeStart, int toneMs, Figures& f) {
    const int64_t seen = programSeenAt(clock, p.connect, p.drained);
    const double noticedMs = seen < 0 ? -1 : double(seen - p.ready) / 1e6;
    const Burst* tone = nullptr;
    for (const Burst& b : tones) {
        const int64_t held = heldAt(clock, b.start);
        if (held >= p.connect && held <= p.drained + 1000000000LL) {
            tone = &b;
            break;
        }
    }
    if (!tone) {
        std::printf("stream %2zu: not in the take (engine noticed it %.1f ms after ready)\n", i + 1,
                    noticedMs);
        return;
    }
    const auto byRate = [&](int64_t frame) {
        return takeStart + int64_t(double(frame) * 1e9 / kRate);
    };
    f.held.push_back(double(heldAt(clock, tone->start) - p.ready) / 1e6);
    f.byRate.push_back(double(byRate(tone->start) - p.ready) / 1e6);
    f.missing.push_back(toneMs - 1000.0 * double(tone->end - tone->start) / kRate);
    f.endLag.push_back(double(heldAt(clock, tone->end - 1) - p.drained) / 1e6);
    if (seen >= 0)
        f.noticed.push_back(noticedMs);
    const ToneBreaks breaks = breaksIn(left, *tone);
    f.holes += breaks.silentRuns;
    f.jumps += breaks.jumps;
    f.streamsBroken += breaks.silentRuns + breaks.jumps > 0;
    for (const int64_t at : breaks.silentRunStarts)
        std::printf("  stream %zu: silence in its tone from %.3f s of the take\n", i + 1,
                    double(tone->start + kRate / 200 + at) / kRate);
    std::printf("stream %2zu: ready %.1f ms after connect; engine says it records it %.1f ms after "
                "ready; the take held its first sound %.1f ms after ready (take start + frame/rate "
                "puts it at %.1f ms); %.1f ms of the opening missing; the tone's end held %+.1f ms "
                "from the drain; server latency %.1f ms\n",
                i + 1, double(p.ready - p.connect) / 1e6, noticedMs, f.held.back(), f.byRate.back(),
                f.missing.back(), f.endLag.back(), double(p.latencyUs) / 1000);
}

void report(const std::vector<Play>& plays, const std::string& take,
            const std::vector<TakeSample>& clock, int64_t takeStart, int toneMs, int leadMs) {
    const std::vector<float> left = leftOf(take);
    BurstFinder finder(0.1, kRate / 5);
    finder.feed(left.data(), left.size(), 1);
    const std::vector<Burst> tones = finder.bursts();
    Figures f;
    for (size_t i = 0; i < plays.size(); ++i)
        reportStream(i, plays[i], left, tones, clock, takeStart, toneMs, f);
    std::printf("inside the tones: %lld silent runs and %lld jumps, in %lld of %zu streams\n",
                (long long)f.holes, (long long)f.jumps, (long long)f.streamsBroken, f.held.size());
    std::printf("median of %zu of %zu streams (lead-in %d ms): the take held the sound %.1f ms "
                "after the stream connected (by take start + frame/rate: %.1f ms); %.1f ms of the "
                "opening missing (largest %.1f); engine said it records the stream after %.1f ms; "
                "the tone's end held %+.1f ms from the drain\n",
                f.held.size(), plays.size(), leadMs, medianOf(f.held), medianOf(f.byRate),
                medianOf(f.missing),
                f.missing.empty() ? 0 : *std::max_element(f.missing.begin(), f.missing.end()),
                medianOf(f.noticed), medianOf(f.endLag));
}

} // namespace

int runProgram(int argc, char** argv) {
    if (argc < 7 || argc > 9) {
        std::fprintf(
            stderr,
            "usage: mix_bench program BIN_DIR PLAYER OUT_DIR RUNS NAME [TONE_MS LEAD_MS]\n");
        return 2;
    }
    Engine engine;
    if (!engine.load(argv[2]))
        return 1;
    const std::string player = argv[3], take = std::string(argv[4]) + "/program.wav";
    const int runs = std::atoi(argv[5]);
    const std::string name = argv[6];
    const int toneMs = argc > 7 ? std::atoi(argv[7]) : 1000;
    const int leadMs = argc > 8 ? std::atoi(argv[8]) : 0;
    const int chosen = engine.selectApplication(name.c_str());
    engine.wavelark("", 7, 0, 0, 0, -1);
    engine.mix(100, 100, 0);
    const int started = engine.wavelark("", 1, 2, kRate, 16, 0);
    const int64_t takeStart = monotonicNs();
    if (chosen != 0 || started != 0) {
        std::fprintf(stderr, "select application %d, record %d\n", chosen, started);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::printf("before any stream: program %d, take %.3f s after %.3f s\n", engine.now().program,
                double(engine.now().frames) / kRate, double(monotonicNs() - takeStart) / 1e9);
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> pauseMs(700, 1300);
    std::atomic<bool> stop{false};
    std::vector<TakeSample> clock;
    clock.reserve(size_t(runs) * 4000 + 1000);
    std::thread sampler([&] { sample(engine, stop, clock); });
    std::vector<Play> plays;
    bool ok = true;
    for (int i = 0; i < runs && ok; ++i) {
        Play p;
        ok = play(player, name, toneMs, leadMs, p);
        plays.push_back(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(random)));
        const WavelarkStatusInfo info = engine.now();
        std::printf("after stream %d: program %d, problems %d, take %.3f s after %.3f s\n", i + 1,
                    info.program, info.problems, double(info.frames) / kRate,
                    double(monotonicNs() - takeStart) / 1e9);
    }
    stop = true;
    sampler.join();
    const int stopped = engine.wavelark(take.c_str(), 0, 0, 0, 0, 0);
    std::printf("stop %d, engine gaps %lld (%lld frames)\n", stopped, (long long)engine.gapCount(),
                (long long)engine.gapFrames());
    if (!ok || stopped != 0) {
        std::fprintf(stderr, "a player failed or the take did not stop\n");
        return 1;
    }
    report(plays, take, clock, takeStart, toneMs, leadMs);
    return 0;
}

} // namespace tw::bench::mix
