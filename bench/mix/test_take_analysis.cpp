// The mix bench's reading of a take, on signals whose pips, gaps and jumps are put there by hand:
// a figure the bench reports is only as good as these.
#include "bench/mix/take_analysis.h"
#include "bench/support/PacedFeeder.h"

#include <QTest>
#include <atomic>
#include <cmath>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using namespace tw::bench;
using namespace tw::bench::mix;

namespace {

constexpr int kRate = 48000;

// A stereo take: `left` and `right` interleaved.
std::vector<float> interleave(const std::vector<float>& left, const std::vector<float>& right) {
    std::vector<float> out;
    for (size_t i = 0; i < left.size(); ++i) {
        out.push_back(left[i]);
        out.push_back(right[i]);
    }
    return out;
}

// A tone whose pitch wanders by `wobble` (a share of the pitch, over a few seconds), as one the
// engine resamples at a rate it keeps adjusting.
std::vector<float> tone(size_t frames, double hz, double amplitude, double wobble = 0) {
    std::vector<float> out(frames);
    double phase = 0;
    for (size_t n = 0; n < frames; ++n) {
        out[n] = float(amplitude * std::sin(phase));
        const double f = hz * (1 + wobble * std::sin(2 * M_PI * double(n) / (3.0 * kRate)));
        phase += 2 * M_PI * f / kRate;
    }
    return out;
}

// Feeds `data` (interleaved, two channels) in pieces of uneven size, as a reader's blocks fall.
template <typename Sink> void feedInPieces(const std::vector<float>& data, Sink& sink, int ch) {
    const size_t frames = data.size() / 2;
    size_t at = 0;
    for (size_t piece = 977; at < frames; piece = piece * 7 % 5003 + 1) {
        const size_t n = std::min(piece, frames - at);
        sink.feed(data.data() + 2 * at + ch, n, 2);
        at += n;
    }
}

ToneBreaks watch(const std::vector<float>& mono, double amplitude, std::vector<Burst> skip = {}) {
    ToneWatch w(amplitude, std::move(skip));
    const std::vector<float> both = interleave(mono, mono);
    feedInPieces(both, w, 1);
    return w.finish();
}

} // namespace

class TestTakeAnalysis : public QObject {
    Q_OBJECT

  private slots:
    // The pips' onsets to the frame, in any piece sizes, and a pip's own dips below the threshold
    // (its sine crossing zero) not taken for two pips.
    void burstsFoundWhereThePipsBegin() {
        PipSignal signal;
        signal.pipEvery = 2;
        std::vector<float> mono(size_t(7 * kRate));
        for (size_t n = 0; n < mono.size(); ++n)
            mono[n] = float(signal(int64_t(n)));
        BurstFinder finder(0.25, kRate / 2);
        const std::vector<float> both = interleave(mono, mono);
        feedInPieces(both, finder, 0);
        const std::vector<Burst> bursts = finder.bursts();
        QCOMPARE(bursts.size(), size_t(3));
        for (int k = 1; k <= 3; ++k) {
            const Burst& b = bursts[size_t(k - 1)];
            // The 3 kHz pip passes a quarter of full scale on its second or third frame.
            QVERIFY2(b.start - signal.pipFrame(k) >= 0 && b.start - signal.pipFrame(k) <= 3,
                     qPrintable(QString::number(b.start - signal.pipFrame(k))));
            QVERIFY(std::abs(b.end - (signal.pipFrame(k) + int64_t(signal.pipSeconds * kRate))) <=
                    16);
        }
    }

    // A second device's pips land at the frames of its own, faster time line.
    void fastDevicePipsFollowItsRatio() {
        PipSignal fast;
        fast.ratio = 1.005;
        QCOMPARE(fast.pipFrame(1), int64_t(482400));
        QCOMPARE(fast.pipFrame(360), int64_t(173664000));
        const int64_t k = 123, at = fast.pipFrame(k);
        QVERIFY(std::fabs(fast(at - 1)) <= fast.toneAmplitude + 1e-9);
        QVERIFY(std::fabs(fast(at + 4)) > 0.3);
        QVERIFY(std::fabs(fast(at + int64_t(fast.pipSeconds * kRate))) <= fast.toneAmplitude);
    }

    // A clean tone, even one whose pitch moves by 0.5 %, holds no silence and no jump; a lost
    // frame and a 50 ms hole are each found where they are, and the pips are left alone.
    void toneBreaksFoundAndOnlyThem() {
        const std::vector<float> clean = tone(size_t(4 * kRate), 997, 0.05, 0.005);
        ToneBreaks t = watch(clean, 0.05);
        QCOMPARE(t.firstToneFrame, int64_t(0));
        QCOMPARE(t.silentRuns, int64_t(0));
        QCOMPARE(t.jumps, int64_t(0));
        QVERIFY(t.checkedBlocks > 390);
        QVERIFY(t.largestResidual < 0.01);

        // One frame lost at 1.5 s, where the tone is steepest (its phase near zero).
        std::vector<float> lost = clean;
        size_t at = size_t(kRate * 3 / 2);
        while (!(lost[at] <= 0 && lost[at + 1] > 0))
            ++at;
        lost.erase(lost.begin() + long(at) + 1);
        t = watch(lost, 0.05);
        QCOMPARE(t.jumps, int64_t(1));
        QVERIFY(std::abs(t.jumpFrames.at(0) - int64_t(at)) <= 2);
        QCOMPARE(t.silentRuns, int64_t(0));

        std::vector<float> hole = clean;
        std::fill(hole.begin() + 2 * kRate, hole.begin() + 2 * kRate + kRate / 20, 0.f);
        t = watch(hole, 0.05);
        QCOMPARE(t.silentRuns, int64_t(1));
        QVERIFY(t.longestSilentFrames >= 4 * ToneWatch::kBlock &&
                t.longestSilentFrames <= 5 * ToneWatch::kBlock);
        QVERIFY(std::abs(t.silentRunStarts.at(0) - 2 * kRate) <= ToneWatch::kBlock);

        std::vector<float> pipped = clean;
        for (size_t n = 0; n < size_t(kRate / 20); ++n)
            pipped[size_t(kRate) + n] += float(0.5 * std::sin(2 * M_PI * 3000 * double(n) / kRate));
        QVERIFY(watch(pipped, 0.05).jumps > 0);
        t = watch(pipped, 0.05, {{kRate - 1440, kRate + kRate / 20 + 1440}});
        QCOMPARE(t.jumps, int64_t(0));
        QCOMPARE(t.silentRuns, int64_t(0));
    }

    // Silence before the second input arrives is its arrival, not a gap.
    void leadingSilenceIsTheArrival() {
        std::vector<float> late(size_t(kRate), 0.f);
        const std::vector<float> body = tone(size_t(2 * kRate), 440, 0.05);
        late.insert(late.end(), body.begin(), body.end());
        const ToneBreaks t = watch(late, 0.05);
        QVERIFY(std::abs(t.firstToneFrame - kRate) <= ToneWatch::kBlock);
        QCOMPARE(t.silentRuns, int64_t(0));
        QCOMPARE(t.jumps, int64_t(0));
    }

    // Pips paired by number, one missing on the right skipped, and the offset's trend fitted.
    void pipsPairedAndDriftFitted() {
        std::vector<Burst> left, right;
        for (int k = 1; k <= 360; ++k) {
            const double t = 0.3 + 10.0 * k + 0.12;           // the left input's 120 ms of latency
            const double offset = 0.005 + 0.004 * (t / 3600); // 5 ms, growing 4 ms an hour
            left.push_back({int64_t(t * kRate), int64_t(t * kRate) + 2400});
            if (k != 100)
                right.push_back({int64_t((t + offset) * kRate), 0});
        }
        const Drift d = pairPips(left, right, kRate, 0.3, 10);
        QCOMPARE(d.pairs.size(), size_t(359));
        QCOMPARE(d.pairs.front().index, int64_t(1));
        QCOMPARE(d.pairs[99].index, int64_t(101));
        QVERIFY(std::fabs(d.firstMs - 5.01) < 0.05);
        QVERIFY(std::fabs(d.maxMs - d.minMs - 3.99) < 0.05);
        QVERIFY(std::fabs(d.slopeMsPerHour - 4) < 0.05);
    }

    // A frame is held once the engine's count has passed it, not when the count reaches it; the
    // program is seen only within the asked span.
    void takeClockRead() {
        const std::vector<TakeSample> clock{
            {100, 0, 0}, {200, 0, 0}, {300, 4800, 1}, {400, 9600, 1}, {500, 9600, 0}};
        QCOMPARE(heldAt(clock, 0), int64_t(300));
        QCOMPARE(heldAt(clock, 4799), int64_t(300));
        QCOMPARE(heldAt(clock, 4800), int64_t(400));
        QCOMPARE(heldAt(clock, 9600), int64_t(-1));
        QCOMPARE(programSeenAt(clock, 250, 500), int64_t(300));
        QCOMPARE(programSeenAt(clock, 301, 500), int64_t(400));
        QCOMPARE(programSeenAt(clock, 0, 250), int64_t(-1));
        QCOMPARE(programSeenAt(clock, 450, 1000), int64_t(-1));
    }

    // A break is put down to a stall only when it came soon after it (or just before its stamp);
    // jumps group by their distance from the one before, so a long run of them is one cluster.
    void breaksSortedByStallsAndGrouped() {
        const ByStalls sorted = sortByStalls({9.9, 9.96, 10.3, 10.6, 25.0}, {10.0, 30.0}, 0.5);
        QCOMPARE(sorted.after, (std::vector<double>{9.96, 10.3}));
        QCOMPARE(sorted.others, (std::vector<double>{9.9, 10.6, 25.0}));
        QVERIFY(sortByStalls({1, 2}, {}, 0.5).after.empty());

        const auto clusters = clustersOf({1.0, 1.6, 2.2, 2.8, 5.0, 5.5, 9.0}, 1.0);
        QCOMPARE(clusters.size(), size_t(3));
        QCOMPARE(clusters[0], (std::pair<double, int>{1.0, 4}));
        QCOMPARE(clusters[1], (std::pair<double, int>{5.0, 2}));
        QCOMPARE(clusters[2], (std::pair<double, int>{9.0, 1}));
        QVERIFY(clustersOf({}, 1.0).empty());
    }

    // The feeder hands over every frame due, at its ratio, and what the FIFO refuses is counted,
    // never skipped silently: written + refused is the time line's length, and what was written
    // is the signal from its first frame.
    void feederKeepsItsTimeLine() {
        int fds[2];
        QVERIFY(pipe2(fds, O_NONBLOCK) == 0);
        const int64_t t0 = monotonicNs();
        PipSignal signal;
        signal.ratio = 1.25;
        PacedFeeder feeder(fds[1], kRate, signal.ratio, t0, signal);
        std::atomic<bool> stop{false};
        std::thread writer([&] { feeder.run(stop); });
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        stop = true;
        writer.join();
        const FeederCounts c = feeder.counts();
        // 0.8 s at 1.25 x 48 kHz is 48000 frames, more than a 64 KiB pipe holds.
        QVERIFY(c.dropped > 0);
        const int64_t ends = c.written + c.dropped;
        QVERIFY(std::abs(ends - feeder.dueAt(monotonicNs())) < kRate / 50);
        std::vector<int16_t> got(size_t(c.written));
        QCOMPARE(read(fds[0], got.data(), got.size() * 2), ssize_t(got.size() * 2));
        for (size_t n = 0; n < got.size(); n += 97)
            QCOMPARE(got[n], int16_t(std::lround(32767 * signal(int64_t(n)))));
        close(fds[0]);
        close(fds[1]);
    }
};

QTEST_APPLESS_MAIN(TestTakeAnalysis)
#include "test_take_analysis.moc"
