// What the mix bench looks for in a take: loud bursts (the pips, the player's tone) and whether a
// quiet tone runs on without silence or a jump. Fed a channel piece by piece, so that an hour's
// take is read once per pass without holding it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tw::bench::mix {

struct Burst {
    int64_t start = 0; // first frame at or above the threshold
    int64_t end = 0;   // one past the last such frame
};

// Bursts of samples at or above `threshold` (absolute), each begun after and ended by at least
// `quietFrames` frames below it. A burst still open when the channel ends is kept, ending at the
// last loud frame.
class BurstFinder {
  public:
    BurstFinder(double threshold, int64_t quietFrames)
        : threshold_(threshold), quiet_(quietFrames) {}
    // `frames` frames of an interleaved buffer: sample i of this channel at data[i * stride].
    void feed(const float* data, size_t frames, size_t stride);
    std::vector<Burst> bursts() const;

  private:
    double threshold_;
    int64_t quiet_;
    int64_t at_ = 0;
    int64_t lastLoud_ = -1;
    bool open_ = false;
    Burst current_;
    std::vector<Burst> done_;
};

// Where a quiet tone of known amplitude broke. The channel is read in 10 ms blocks; a block is
// silent when its RMS is under 30 % of the tone's, and holds a jump when the tone does not follow
// its own recurrence x[n+1] + x[n-1] = 2 cos(w) x[n] (w fitted to the block, so a tone whose
// pitch the engine's resampling moves a little still fits) by more than 3 % of the amplitude:
// one frame lost or repeated moves it by up to 13 % in a 1 kHz tone, 6 % in a 440 Hz one.
struct ToneBreaks {
    int64_t firstToneFrame = -1; // the first block that holds the tone
    int64_t silentBlocks = 0;    // after that
    int64_t silentRuns = 0;
    int64_t longestSilentFrames = 0;
    int64_t jumps = 0;          // blocks with a jump, not counting the two after a silent run
    double largestResidual = 0; // the largest misfit of a block that held the tone
    std::vector<int64_t> silentRunStarts; // the first 1000
    std::vector<int64_t> jumpFrames;      // the first 20
    int64_t checkedBlocks = 0;            // blocks of tone looked at (outside the bursts)
};

class ToneWatch {
  public:
    static constexpr int64_t kBlock = 480; // 10 ms at 48 kHz

    // Frames within `skip` (sorted, padded by the caller) are not looked at: the pips' own edges
    // break the recurrence.
    ToneWatch(double amplitude, std::vector<Burst> skip);
    void feed(const float* data, size_t frames, size_t stride);
    // Ends the last silent run; call once after the last feed.
    ToneBreaks finish();

  private:
    void block();
    bool skipped(int64_t from, int64_t to);

    double amplitude_;
    std::vector<Burst> skip_;
    size_t nextSkip_ = 0;
    std::vector<float> window_; // the previous block's last two samples, then this block
    int64_t blockStart_ = 0;    // frame of window_[2]
    int64_t silentRun_ = 0;
    bool afterSilence_ = false;
    ToneBreaks out_;
};

// Offsets between the pips of two channels, pip by pip, in milliseconds, and what they did over
// the take.
struct PipPair {
    int64_t index;   // the pip's number on the feeders' time line
    double leftMs;   // its place in the take, ms after the take's first frame
    double offsetMs; // right minus left
};
struct Drift {
    std::vector<PipPair> pairs;
    double firstMs = 0, lastMs = 0, minMs = 0, maxMs = 0;
    double slopeMsPerHour = 0; // least-squares fit of the offset against the pip's time
};

// Pairs the pips found in each channel by their number k, the one whose moment t0 + k * every
// (seconds after the take's first frame: `t0Seconds`) lies nearest; a pip found in one channel
// only is left out.
Drift pairPips(const std::vector<Burst>& left, const std::vector<Burst>& right, int rate,
               double t0Seconds, double every);

// The take's length as the engine reported it (WavelarkStatus), sampled on the steady clock:
// when the take held a frame, whatever its time line did while it held nothing.
struct TakeSample {
    int64_t ns;
    int64_t frames;
    int32_t program;
};
// The first sample at which the take held frame `frame` (its count past it), or -1. Samples in
// the order taken.
int64_t heldAt(const std::vector<TakeSample>& samples, int64_t frame);
// The first sample in [from, to] at which the engine said it recorded a stream of the program,
// or -1.
int64_t programSeenAt(const std::vector<TakeSample>& samples, int64_t from, int64_t to);

// Moments (seconds of the take) that came within `within` s after one of `stalls`, or up to
// 50 ms before it (a feeder stamps its stall once it has woken), and the others, in order.
struct ByStalls {
    std::vector<double> after, others;
};
ByStalls sortByStalls(const std::vector<double>& at, const std::vector<double>& stalls,
                      double within);
// Moments in order, grouped where they lie less than `apart` s from the one before: the first
// of each group and its size.
std::vector<std::pair<double, int>> clustersOf(const std::vector<double>& at, double apart);

} // namespace tw::bench::mix
