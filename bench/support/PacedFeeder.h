// A writer of a module-pipe-source FIFO that plays the part of a device with a clock of its
// own: it hands over `rate * ratio` frames per second of CLOCK_MONOTONIC, so a ratio of 1.0002
// is a device whose clock runs 200 ppm fast. Frame n belongs to the moment t0 + n / (rate *
// ratio), so two feeders started with the same t0 put a sound at the same moment whatever their
// ratios. No Qt: it also runs in a process of its own, whose CPU is then not counted with the
// engine's.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <functional>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tw::bench {

inline int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline timespec toTimespec(int64_t ns) {
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

// What one feeder did: frames the FIFO took, frames it refused (full, i.e. nobody read it), the
// latest it woke after a write was due, and its stalls: each time it woke 20 ms late or more
// after a wake on time (the first 1000, as ns after t0 and ns late). Audio that reached the
// server that late was the feeder's doing, not the engine's.
struct FeederCounts {
    int64_t written = 0;
    int64_t dropped = 0;
    int64_t latestWakeNs = 0;
    int64_t lateWakes = 0;
    std::vector<std::pair<int64_t, int64_t>> stalls;
};

// Mono signed 16-bit frames, `sample(n)` in -1..1. Writes every `periodNs` on the grid t0 +
// k * periodNs, everything due by then, and never blocks: a FIFO that is full (the source not
// recording) loses the frames, which are counted, and the time line goes on, so a loss shows in
// the take as a loss and not as a shift.
class PacedFeeder {
  public:
    PacedFeeder(int fd, int rate, double ratio, int64_t t0Ns, std::function<double(int64_t)> sample,
                int64_t periodNs = 5000000)
        : fd_(fd), rate_(rate), ratio_(ratio), t0_(t0Ns), period_(periodNs),
          sample_(std::move(sample)) {}

    // Frames due at `ns`: all whose moment lies before it.
    int64_t dueAt(int64_t ns) const {
        return ns <= t0_ ? 0 : int64_t(std::floor(double(ns - t0_) * 1e-9 * rate_ * ratio_));
    }

    // Runs until `stop`; the FIFO should be opened O_NONBLOCK.
    void run(const std::atomic<bool>& stop) {
        std::vector<int16_t> chunk;
        int64_t next = 0;
        bool wasLate = false;
        for (int64_t k = 1; !stop.load(std::memory_order_relaxed); ++k) {
            const int64_t due = t0_ + k * period_;
            const timespec when = toTimespec(due);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
            const int64_t lateNs = monotonicNs() - due;
            counts_.latestWakeNs = std::max(counts_.latestWakeNs, lateNs);
            const bool late = lateNs >= 20000000;
            if (late && !wasLate && counts_.stalls.size() < 1000)
                counts_.stalls.emplace_back(due - t0_, lateNs);
            counts_.lateWakes += late;
            wasLate = late;
            const int64_t target = dueAt(due);
            chunk.resize(size_t(target - next));
            for (int16_t& s : chunk)
                s = int16_t(std::lround(32767 * std::clamp(sample_(next++), -1.0, 1.0)));
            writeAll(chunk);
        }
    }
    const FeederCounts& counts() const { return counts_; }

  private:
    // Pieces of at most PIPE_BUF bytes, which a FIFO takes whole or not at all.
    void writeAll(const std::vector<int16_t>& chunk) {
        constexpr size_t kPiece = 4096 / sizeof(int16_t);
        for (size_t at = 0; at < chunk.size(); at += kPiece) {
            const size_t n = std::min(kPiece, chunk.size() - at);
            const ssize_t put = ::write(fd_, chunk.data() + at, n * sizeof(int16_t));
            if (put > 0)
                counts_.written += put / ssize_t(sizeof(int16_t));
            if (put < ssize_t(n * sizeof(int16_t)))
                counts_.dropped += int64_t(n) - (put > 0 ? put / ssize_t(sizeof(int16_t)) : 0);
        }
    }

    int fd_;
    int rate_;
    double ratio_;
    int64_t t0_;
    int64_t period_;
    std::function<double(int64_t)> sample_;
    FeederCounts counts_;
};

// A quiet continuous tone with a short loud pip every `pipEvery` seconds of the feeder's time
// line (the first at t0 + pipEvery): what the drift bench feeds both sources with, each its own
// tone so that the two can be told apart.
struct PipSignal {
    int rate = 48000;
    double ratio = 1;
    double toneHz = 440;
    double toneAmplitude = 0.05; // -26 dBFS
    double pipHz = 3000;
    double pipAmplitude = 0.5; // -6 dBFS
    double pipSeconds = 0.05;
    double pipEvery = 10;

    // The frame at which pip k (1, 2, ...) begins.
    int64_t pipFrame(int64_t k) const { return std::llround(double(k) * pipEvery * rate * ratio); }

    double operator()(int64_t n) const {
        const double tone = toneAmplitude * std::sin(2 * M_PI * toneHz * double(n) / rate);
        const int64_t k = int64_t(std::floor((double(n) + 0.5) / (pipEvery * rate * ratio)));
        const int64_t into = n - pipFrame(k);
        if (k == 0 || into < 0 || into >= std::llround(pipSeconds * rate))
            return tone;
        return tone + pipAmplitude * std::sin(2 * M_PI * pipHz * double(into) / rate);
    }
};

} // namespace tw::bench
