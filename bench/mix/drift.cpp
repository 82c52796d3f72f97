// Two pipe sources fed on one time line, the second at a ratio of real time; one take with the
// first on the left and the second on the right; the pips' offset right minus left over the take.
#include "bench/mix/engine_api.h"
#include "bench/mix/take_analysis.h"
#include "bench/support/PacedFeeder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <sndfile.h>
#include <thread>

namespace tw::bench::mix {

namespace {

constexpr int kRate = 48000;
constexpr double kEvery = 10; // seconds between pips
constexpr double kLeftTone = 0.05, kRightTone = 0.05;

struct Meta {
    double ratio = 1;
    double t0Seconds = 0; // the feeders' t0, in seconds after the take's first frame
    int64_t gapCount = -1, gapFrames = -1;
    int problems = 0;
};

bool readMeta(const std::string& dir, Meta& meta) {
    std::ifstream in(dir + "/take.meta");
    std::string key;
    while (in >> key) {
        if (key == "ratio")
            in >> meta.ratio;
        else if (key == "t0_seconds")
            in >> meta.t0Seconds;
        else if (key == "gap_count")
            in >> meta.gapCount;
        else if (key == "gap_frames")
            in >> meta.gapFrames;
        else if (key == "problems")
            in >> meta.problems;
    }
    return bool(in.eof());
}

// Reads the take once, handing each piece to `use(frames, data)`; the frame count or -1.
template <typename Use> int64_t readTake(const std::string& path, Use use) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file || info.channels != 2 || info.samplerate != kRate) {
        std::fprintf(stderr, "%s: %s (want 48 kHz stereo)\n", path.c_str(), sf_strerror(file));
        if (file)
            sf_close(file);
        return -1;
    }
    std::vector<float> piece(size_t(kRate) * 2);
    int64_t total = 0;
    for (sf_count_t got; (got = sf_readf_float(file, piece.data(), kRate)) > 0; total += got)
        use(size_t(got), piece.data());
    sf_close(file);
    return total;
}

std::vector<Burst> padded(const std::vector<Burst>& bursts, int64_t pad) {
    std::vector<Burst> out;
    for (const Burst& b : bursts)
        out.push_back({b.start - pad, b.end + pad});
    return out;
}

// A feeder's stalls, as seconds of the take (its t0 moved to the take's first frame).
std::vector<double> stallsOf(const std::string& path, double t0Seconds) {
    std::vector<double> at;
    std::ifstream in(path);
    for (double s, ms; in >> s >> ms;)
        at.push_back(s + t0Seconds);
    return at;
}

std::vector<double> seconds(const std::vector<int64_t>& frames) {
    std::vector<double> out;
    for (const int64_t f : frames)
        out.push_back(double(f) / kRate);
    return out;
}

// Silent runs that began within half a second after a stall of the input's own feeder: the
// audio came that late, which is the bench's doing; the rest are the engine's. Jumps come in
// clusters (a realignment breaks a few blocks in a row): one entry a cluster, marked * when it
// began within 2 s after a stall.
void sortBreaks(const char* side, const ToneBreaks& t, const std::vector<double>& stalls) {
    const ByStalls silences = sortByStalls(seconds(t.silentRunStarts), stalls, 0.5);
    std::printf("%s: %zu feeder stalls logged; %zu silent runs began just after one, %zu did not",
                side, stalls.size(), silences.after.size(), silences.others.size());
    for (size_t i = 0; i < silences.others.size() && i < 20; ++i)
        std::printf("%s %.3f s", i ? "," : ":", silences.others[i]);
    std::printf("\n");
    const auto clusters = clustersOf(seconds(t.jumpFrames), 1.0);
    std::printf("%s: %zu jumps in %zu clusters (apart by 1 s or more), %zu of them within 2 s "
                "after a stall:",
                side, t.jumpFrames.size(), clusters.size(), [&] {
                    std::vector<double> starts;
                    for (const auto& c : clusters)
                        starts.push_back(c.first);
                    return sortByStalls(starts, stalls, 2.0).after.size();
                }());
    for (const auto& [at, n] : clusters)
        std::printf(" %.2f%s(%d)", at, sortByStalls({at}, stalls, 2.0).after.empty() ? "" : "*", n);
    std::printf("\n");
}

void printBreaks(const char* side, const ToneBreaks& t) {
    std::printf("%s tone: first at %.3f s; %lld blocks of 10 ms checked; %lld silent in %lld runs "
                "(longest %.1f ms); %lld with a jump (largest misfit %.1f %% of the tone)\n",
                side, double(t.firstToneFrame) / kRate, (long long)t.checkedBlocks,
                (long long)t.silentBlocks, (long long)t.silentRuns,
                1000.0 * double(t.longestSilentFrames) / kRate, (long long)t.jumps,
                100 * t.largestResidual);
    for (size_t i = 0; i < t.silentRunStarts.size() && i < 20; ++i)
        std::printf("  %s silent from %.3f s\n", side, double(t.silentRunStarts[i]) / kRate);
    for (size_t i = 0; i < t.jumpFrames.size() && i < 20; ++i)
        std::printf("  %s jump at %.3f s\n", side, double(t.jumpFrames[i]) / kRate);
}

// The pips' offsets over the take, also only those of pips more than a minute after any stall
// of B's feeder (what the engine holds with B's audio on time), what B would have done
// uncorrected, and where A's pips lie against the steady clock (A keeps it: they should not
// move).
void printDrift(const Drift& drift, const Meta& meta, const std::vector<double>& stallsB) {
    if (drift.pairs.empty())
        return;
    std::vector<double> calm;
    for (const PipPair& p : drift.pairs)
        if (sortByStalls({p.leftMs / 1000}, stallsB, 60).after.empty())
            calm.push_back(p.offsetMs);
    if (!calm.empty()) {
        const auto [lo, hi] = std::minmax_element(calm.begin(), calm.end());
        std::printf("%zu pips more than 60 s after any stall of B's feeder: offset %.2f to %.2f "
                    "ms (change %.2f ms)\n",
                    calm.size(), *lo, *hi, *hi - *lo);
    }
    const PipPair &first = drift.pairs.front(), &last = drift.pairs.back();
    const double span = (last.leftMs - first.leftMs) / 1000;
    std::printf("offset right - left: first %.2f ms (pip at %.1f s), last %.2f ms (pip at %.1f "
                "s); min %.2f, max %.2f, largest change %.2f ms; fitted slope %.2f ms/hour\n",
                drift.firstMs, first.leftMs / 1000, drift.lastMs, last.leftMs / 1000, drift.minMs,
                drift.maxMs, drift.maxMs - drift.minMs, drift.slopeMsPerHour);
    std::printf("uncorrected, the second input would have moved %.1f ms over those %.1f s "
                "(ratio %.6f)\n",
                (meta.ratio - 1) * span * 1000, span, meta.ratio);
    std::printf("left pips against the steady clock (take start + frame/rate - pip moment): "
                "first %.2f ms, last %.2f ms\n",
                first.leftMs - 1000 * (meta.t0Seconds + kEvery * double(first.index)),
                last.leftMs - 1000 * (meta.t0Seconds + kEvery * double(last.index)));
}

int analyze(const std::string& dir) {
    Meta meta;
    if (!readMeta(dir, meta)) {
        std::fprintf(stderr, "%s/take.meta unreadable\n", dir.c_str());
        return 1;
    }
    const std::string take = dir + "/take.wav";
    BurstFinder left(0.25, kRate), right(0.25, kRate);
    const int64_t frames = readTake(take, [&](size_t n, const float* d) {
        left.feed(d, n, 2);
        right.feed(d + 1, n, 2);
    });
    if (frames < 0)
        return 1;
    const double seconds = double(frames) / kRate;
    const Drift drift = pairPips(left.bursts(), right.bursts(), kRate, meta.t0Seconds, kEvery);
    std::printf("take %.1f s; pips found: left %zu, right %zu, in both %zu\n", seconds,
                left.bursts().size(), right.bursts().size(), drift.pairs.size());
    std::ofstream tsv(dir + "/pairs.tsv");
    tsv << "pip\tleft_s\toffset_ms\tleft_lag_ms\n";
    for (const PipPair& p : drift.pairs)
        tsv << p.index << '\t' << p.leftMs / 1000 << '\t' << p.offsetMs << '\t'
            << p.leftMs - 1000 * (meta.t0Seconds + kEvery * double(p.index)) << '\n';
    const std::vector<double> stallsB = stallsOf(dir + "/feeder-B.stalls", meta.t0Seconds);
    printDrift(drift, meta, stallsB);
    ToneWatch leftTone(kLeftTone, padded(left.bursts(), kRate * 30 / 1000));
    ToneWatch rightTone(kRightTone, padded(right.bursts(), kRate * 30 / 1000));
    readTake(take, [&](size_t n, const float* d) {
        leftTone.feed(d, n, 2);
        rightTone.feed(d + 1, n, 2);
    });
    const ToneBreaks leftBreaks = leftTone.finish(), rightBreaks = rightTone.finish();
    printBreaks("left (A)", leftBreaks);
    printBreaks("right (B)", rightBreaks);
    sortBreaks("A", leftBreaks, stallsOf(dir + "/feeder-A.stalls", meta.t0Seconds));
    sortBreaks("B", rightBreaks, stallsB);
    std::printf("engine: %lld gaps, %lld gap frames, problems %d\n", (long long)meta.gapCount,
                (long long)meta.gapFrames, meta.problems);
    return 0;
}

// Once a minute, and whenever the problem bits change, until `minutes` have passed: the take's
// length against the clock, what the engine reports, and both inputs' levels.
void watchTake(const Engine& engine, int64_t takeStart, double minutes) {
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::duration<double>(minutes * 60);
    int problems = 0;
    for (int s = 1; std::chrono::steady_clock::now() < end; ++s) {
        std::this_thread::sleep_until(begin + std::chrono::seconds(s));
        const WavelarkStatusInfo info = engine.now();
        if (s % 60 != 0 && info.problems == problems)
            continue;
        const double elapsed = double(monotonicNs() - takeStart) / 1e9;
        std::printf("%5.0f s: take %.3f s (%+.1f ms against the clock), problems %d, gaps %lld, "
                    "peaks A %.3f B %.3f\n",
                    elapsed, double(info.frames) / kRate,
                    1000 * (double(info.frames) / kRate - elapsed), info.problems,
                    (long long)engine.gapCount(), engine.peak(0), engine.peak(1));
        problems = info.problems;
    }
}

} // namespace

int runAnalyze(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: mix_bench analyze OUT_DIR\n");
        return 2;
    }
    return analyze(argv[2]);
}

int runDrift(int argc, char** argv) {
    if (argc != 10) {
        std::fprintf(stderr, "usage: mix_bench drift BIN_DIR FIFO_A DESC_A FIFO_B DESC_B OUT_DIR "
                             "MINUTES RATIO\n");
        return 2;
    }
    Engine engine;
    if (!engine.load(argv[2]))
        return 1;
    const std::string dir = argv[7];
    const double minutes = std::atof(argv[8]), ratio = std::atof(argv[9]);
    const int a = engine.sourceNumber(argv[4]), b = engine.sourceNumber(argv[6]);
    if (a < 0 || b < 0) {
        std::fprintf(stderr, "sources: A %d, B %d\n", a, b);
        return 1;
    }
    const int selected = engine.wavelark("", 5, 0, 0, 0, a);
    const int second = engine.wavelark("", 7, 0, 0, 0, b);
    const int mixed = engine.mix(100, 100, 1);
    // The feeders begin just before the take: a FIFO fed long before that fills and then hands
    // the take a burst of stale audio, and one fed only after it leaves the take's opening empty.
    const int64_t t0 = monotonicNs() + 100000000;
    const std::vector<int> feeders = startFeeders({{argv[3], 1.0, 440, dir + "/feeder-A.stalls"},
                                                   {argv[5], ratio, 997, dir + "/feeder-B.stalls"}},
                                                  t0);
    const timespec at = toTimespec(t0 + 20000000);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    const int64_t asked = monotonicNs();
    const int started = engine.wavelark("", 1, 2, kRate, 16, 0);
    const int64_t takeStart = monotonicNs();
    std::printf("sources A %d, B %d; select %d, second %d, mix %d, record %d (%.1f ms)\n", a, b,
                selected, second, mixed, started, double(takeStart - asked) / 1e6);
    if (selected != 0 || second != 0 || mixed != 0 || started != 0) {
        for (const int pid : feeders)
            stopChild(pid);
        return 1;
    }
    watchTake(engine, takeStart, minutes);
    const WavelarkStatusInfo last = engine.now();
    const int stopped = engine.wavelark((dir + "/take.wav").c_str(), 0, 0, 0, 0, 0);
    for (const int pid : feeders)
        stopChild(pid);
    std::printf("stop %d; engine gaps %lld (%lld frames), problems %d\n", stopped,
                (long long)engine.gapCount(), (long long)engine.gapFrames(), last.problems);
    std::ofstream(dir + "/take.meta")
        << std::setprecision(12) << "ratio " << ratio << "\nt0_seconds "
        << double(t0 - takeStart) / 1e9 << "\ngap_count " << engine.gapCount() << "\ngap_frames "
        << engine.gapFrames() << "\nproblems " << last.problems << "\n";
    return stopped == 0 ? analyze(dir) : 1;
}

} // namespace tw::bench::mix
