// One program's sound: a take that follows a program by name while the program starts new
// streams, each opening with a tone. Where each tone lies in the take, against when its stream
// connected, and how much of its opening the take lacks.
#include "bench/mix/engine_api.h"
#include "bench/mix/take_analysis.h"
#include "bench/support/PacedFeeder.h"

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
    int64_t noticed = 0; // when the engine first said it records a stream of the program
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

// Watches WavelarkStatus::program every millisecond (it never waits) for its first 1 after `from`.
int64_t watchProgram(const Engine& engine, const std::atomic<bool>& stop) {
    while (!stop) {
        if (engine.now().program == 1)
            return monotonicNs();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

std::vector<Burst> tonesIn(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), sf_strerror(nullptr));
        return {};
    }
    BurstFinder tones(0.1, kRate / 5);
    std::vector<float> piece(size_t(kRate) * size_t(info.channels));
    for (sf_count_t got; (got = sf_readf_float(file, piece.data(), kRate)) > 0;)
        tones.feed(piece.data(), size_t(got), size_t(info.channels));
    sf_close(file);
    return tones.bursts();
}

void report(const std::vector<Play>& plays, const std::vector<Burst>& tones, int64_t takeStart,
            int toneMs, int leadMs) {
    std::vector<double> heard, missing, noticed, endLag;
    for (size_t i = 0; i < plays.size(); ++i) {
        const Play& p = plays[i];
        const Burst* tone = nullptr;
        for (const Burst& b : tones) {
            const int64_t at = takeStart + int64_t(double(b.start) * 1e9 / kRate);
            if (at >= p.connect && at <= p.drained + 1000000000LL) {
                tone = &b;
                break;
            }
        }
        const double noticedMs = p.noticed ? double(p.noticed - p.ready) / 1e6 : -1;
        if (!tone) {
            std::printf("stream %2zu: not in the take (engine noticed it %.1f ms after ready)\n",
                        i + 1, noticedMs);
            heard.push_back(1e9);
            missing.push_back(toneMs);
            continue;
        }
        const auto time = [&](int64_t frame) {
            return takeStart + int64_t(double(frame) * 1e9 / kRate);
        };
        heard.push_back(double(time(tone->start) - p.ready) / 1e6);
        missing.push_back(toneMs - 1000.0 * double(tone->end - tone->start) / kRate);
        endLag.push_back(double(time(tone->end) - p.drained) / 1e6);
        if (p.noticed)
            noticed.push_back(noticedMs);
        std::printf("stream %2zu: connect->ready %.1f ms; engine noticed it %.1f ms after ready; "
                    "take holds the sound %.1f ms after ready, missing %.1f ms of its opening; "
                    "tone's end in the take %+.1f ms from the player's drain (server latency "
                    "%.1f ms)\n",
                    i + 1, double(p.ready - p.connect) / 1e6, noticedMs, heard.back(),
                    missing.back(), endLag.back(), double(p.latencyUs) / 1000);
    }
    std::printf("median of %zu streams (lead-in %d ms): take holds the sound %.1f ms after the "
                "stream connected; %.1f ms of the opening missing; engine noticed the stream "
                "after %.1f ms; tone end vs drain %+.1f ms\n",
                plays.size(), leadMs, medianOf(heard), medianOf(missing), medianOf(noticed),
                medianOf(endLag));
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
    std::vector<Play> plays;
    bool ok = true;
    for (int i = 0; i < runs && ok; ++i) {
        std::atomic<bool> stop{false};
        int64_t noticed = 0;
        std::thread watcher([&] { noticed = watchProgram(engine, stop); });
        Play p;
        ok = play(player, name, toneMs, leadMs, p);
        stop = true;
        watcher.join();
        p.noticed = noticed >= p.connect ? noticed : 0;
        plays.push_back(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(random)));
        const WavelarkStatusInfo info = engine.now();
        std::printf("after stream %d: program %d, problems %d, take %.3f s after %.3f s\n", i + 1,
                    info.program, info.problems, double(info.frames) / kRate,
                    double(monotonicNs() - takeStart) / 1e9);
    }
    const int stopped = engine.wavelark(take.c_str(), 0, 0, 0, 0, 0);
    std::printf("stop %d, engine gaps %lld\n", stopped, (long long)engine.gapCount());
    if (!ok || stopped != 0) {
        std::fprintf(stderr, "a player failed or the take did not stop\n");
        return 1;
    }
    report(plays, tonesIn(take), takeStart, toneMs, leadMs);
    return 0;
}

} // namespace tw::bench::mix
