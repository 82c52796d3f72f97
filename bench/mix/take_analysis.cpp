#include "bench/mix/take_analysis.h"

#include <algorithm>
#include <cmath>

namespace tw::bench::mix {

void BurstFinder::feed(const float* data, size_t frames, size_t stride) {
    for (size_t i = 0; i < frames; ++i, ++at_) {
        if (std::fabs(data[i * stride]) < threshold_) {
            if (open_ && at_ - lastLoud_ >= quiet_) {
                current_.end = lastLoud_ + 1;
                done_.push_back(current_);
                open_ = false;
            }
            continue;
        }
        if (!open_) {
            open_ = true;
            current_.start = at_;
        }
        lastLoud_ = at_;
    }
}

std::vector<Burst> BurstFinder::bursts() const {
    std::vector<Burst> all = done_;
    if (open_)
        all.push_back({current_.start, lastLoud_ + 1});
    return all;
}

ToneWatch::ToneWatch(double amplitude, std::vector<Burst> skip)
    : amplitude_(amplitude), skip_(std::move(skip)) {
    // Two frames of silence before the first: the first block's first misfit is never looked at,
    // that block being where the tone arrives.
    window_.assign(2, 0.f);
}

void ToneWatch::feed(const float* data, size_t frames, size_t stride) {
    for (size_t i = 0; i < frames; ++i) {
        window_.push_back(data[i * stride]);
        if (window_.size() == size_t(kBlock) + 2) {
            block();
            window_.erase(window_.begin(), window_.end() - 2);
            blockStart_ += kBlock;
        }
    }
}

bool ToneWatch::skipped(int64_t from, int64_t to) {
    while (nextSkip_ < skip_.size() && skip_[nextSkip_].end <= from)
        ++nextSkip_;
    return nextSkip_ < skip_.size() && skip_[nextSkip_].start < to;
}

void ToneWatch::block() {
    // window_[0..1] are the two frames before the block.
    const int64_t from = blockStart_ - 2, to = blockStart_ + kBlock;
    if (skipped(from, to))
        return;
    double energy = 0, cross = 0;
    for (size_t n = 1; n + 1 < window_.size(); ++n) {
        energy += double(window_[n]) * window_[n];
        cross += double(window_[n]) * (window_[n - 1] + window_[n + 1]);
    }
    const double rms = std::sqrt(energy / double(window_.size() - 2));
    const bool silent = rms < 0.3 * amplitude_ / std::sqrt(2.0);
    if (out_.firstToneFrame < 0) {
        if (!silent)
            out_.firstToneFrame = blockStart_;
        return; // the tone's arrival is no break
    }
    ++out_.checkedBlocks;
    if (silent) {
        if (silentRun_ == 0 && out_.silentRunStarts.size() < 1000)
            out_.silentRunStarts.push_back(blockStart_);
        silentRun_ += kBlock;
        ++out_.silentBlocks;
        return;
    }
    const bool edge = silentRun_ > 0 || afterSilence_;
    afterSilence_ = silentRun_ > 0;
    if (silentRun_ > 0) {
        ++out_.silentRuns;
        out_.longestSilentFrames = std::max(out_.longestSilentFrames, silentRun_);
        silentRun_ = 0;
    }
    const double twoCos = energy > 0 ? cross / energy : 0;
    double worst = 0;
    int64_t worstAt = 0;
    for (size_t n = 1; n + 1 < window_.size(); ++n) {
        const double misfit = std::fabs(window_[n + 1] + window_[n - 1] - twoCos * window_[n]);
        if (misfit > worst) {
            worst = misfit;
            worstAt = from + int64_t(n);
        }
    }
    if (edge)
        return;
    out_.largestResidual = std::max(out_.largestResidual, worst / amplitude_);
    if (worst > 0.03 * amplitude_) {
        ++out_.jumps;
        if (out_.jumpFrames.size() < 1000)
            out_.jumpFrames.push_back(worstAt);
    }
}

ToneBreaks ToneWatch::finish() {
    if (silentRun_ > 0) {
        ++out_.silentRuns;
        out_.longestSilentFrames = std::max(out_.longestSilentFrames, silentRun_);
        silentRun_ = 0;
    }
    return out_;
}

Drift pairPips(const std::vector<Burst>& left, const std::vector<Burst>& right, int rate,
               double t0Seconds, double every) {
    const auto number = [&](const Burst& b) {
        return std::llround((double(b.start) / rate - t0Seconds) / every);
    };
    Drift drift;
    size_t r = 0;
    for (const Burst& l : left) {
        const int64_t k = number(l);
        while (r < right.size() && number(right[r]) < k)
            ++r;
        if (r == right.size() || number(right[r]) != k)
            continue;
        drift.pairs.push_back(
            {k, 1000.0 * double(l.start) / rate, 1000.0 * double(right[r].start - l.start) / rate});
    }
    if (drift.pairs.empty())
        return drift;
    drift.firstMs = drift.pairs.front().offsetMs;
    drift.lastMs = drift.pairs.back().offsetMs;
    drift.minMs = drift.maxMs = drift.firstMs;
    double st = 0, so = 0, stt = 0, sto = 0;
    for (const PipPair& p : drift.pairs) {
        drift.minMs = std::min(drift.minMs, p.offsetMs);
        drift.maxMs = std::max(drift.maxMs, p.offsetMs);
        const double hours = p.leftMs / 3.6e6;
        st += hours;
        so += p.offsetMs;
        stt += hours * hours;
        sto += hours * p.offsetMs;
    }
    const double n = double(drift.pairs.size());
    const double spread = n * stt - st * st;
    drift.slopeMsPerHour = spread > 0 ? (n * sto - st * so) / spread : 0;
    return drift;
}

int64_t heldAt(const std::vector<TakeSample>& samples, int64_t frame) {
    const auto past = std::find_if(samples.begin(), samples.end(),
                                   [&](const TakeSample& s) { return s.frames > frame; });
    return past == samples.end() ? -1 : past->ns;
}

int64_t programSeenAt(const std::vector<TakeSample>& samples, int64_t from, int64_t to) {
    for (const TakeSample& s : samples)
        if (s.ns >= from && s.ns <= to && s.program == 1)
            return s.ns;
    return -1;
}

ByStalls sortByStalls(const std::vector<double>& at, const std::vector<double>& stalls,
                      double within) {
    ByStalls out;
    for (const double t : at) {
        const bool after = std::any_of(stalls.begin(), stalls.end(),
                                       [&](double s) { return s <= t + 0.05 && s >= t - within; });
        (after ? out.after : out.others).push_back(t);
    }
    return out;
}

std::vector<std::pair<double, int>> clustersOf(const std::vector<double>& at, double apart) {
    std::vector<std::pair<double, int>> out;
    for (size_t i = 0; i < at.size(); ++i) {
        if (i == 0 || at[i] - at[i - 1] >= apart)
            out.push_back({at[i], 0});
        ++out.back().second;
    }
    return out;
}

} // namespace tw::bench::mix
