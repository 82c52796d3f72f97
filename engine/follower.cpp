#include "engine/follower.h"

#include <algorithm>
#include <cmath>

namespace tw::engine {

namespace {

// The fill is judged by its mean over a window, counting the audio on its way since the input's
// last piece: the input's pieces and the take's come at their own rhythms, so what waits
// swings by a piece in between, while what waits and what is on its way moves only with the
// clocks' difference (and the pieces' lateness).
constexpr double kWindowSeconds = 4;
constexpr double kFirstWindowSeconds = 1;
// How strongly the ratio answers the fill's distance from its target. The proportional part
// brings the fill back within a few windows; the integral part learns the clocks' difference.
constexpr double kProportional = 0.5;
constexpr double kIntegral = 0.1;
// Device clocks are off by parts per million; an input read more than this far off its rate is
// no clock difference but a fault, and is put back in step at once instead.
constexpr double kMostOff = 0.03;
// An input that sends nothing for this long is absent, not late.
constexpr double kAbsentSeconds = 0.5;
// More than this beyond the target is a burst (an input that held audio back and then sent it
// at once), not drift: it is dropped at once rather than read fast.
constexpr double kBurstSeconds = 1;
// While the take reads nothing (its first input stalled), no more than this waits; older audio
// would be dropped as a burst anyway.
constexpr double kMostHeldSeconds = 5;

} // namespace

Follower::Follower(int channels, int rate, size_t margin)
    : channels_(channels), rate_(rate), margin_(margin) {}

void Follower::push(const float* samples, size_t frames, double at) {
    data_.insert(data_.end(), samples, samples + frames * static_cast<size_t>(channels_));
    arrived(at);
}

void Follower::pushSilence(size_t frames, double at) {
    data_.insert(data_.end(), frames * static_cast<size_t>(channels_), 0.0f);
    arrived(at);
}

void Follower::arrived(double at) {
    lastArrival_ = at;
    const auto most = static_cast<size_t>(kMostHeldSeconds * rate_);
    if (available() > most) {
        drop(available() - most);
        pos_ = 0;
        compact();
    }
}

// Starts reading so that after this pull `margin_` frames wait: older audio is the input's
// start-up or what it sent while absent, and is not part of the take's moment now.
void Follower::prime(size_t frames) {
    const size_t want = frames + margin_;
    const size_t have = available();
    if (have > want) {
        drop(have - want);
    } else if (have < want) {
        const size_t missing = (want - have) * static_cast<size_t>(channels_);
        data_.insert(data_.begin() + static_cast<std::ptrdiff_t>(begin_) * channels_, missing,
                     0.0f);
        dropped_ -= static_cast<int64_t>(want - have);
    }
    pos_ = 0;
    primed_ = true;
    targetSet_ = false;
    windowFrames_ = 0;
    windowSum_ = 0;
    windowPulls_ = 0;
    ++realigned_;
}

void Follower::drop(size_t frames) {
    frames = std::min(frames, available());
    begin_ += frames;
    dropped_ += static_cast<int64_t>(frames);
}

void Follower::pull(float* out, size_t frames, double at) {
    const size_t channels = static_cast<size_t>(channels_);
    if (!primed_) {
        if (available() == 0) {
            std::fill_n(out, frames * channels, 0.0f);
            return;
        }
        prime(frames);
    }
    // Audio that came late was given as silence already: when it comes (more waits than this
    // pull and the margin need), it is dropped, so that the input stays where it was against
    // the take instead of being read that much later. An input that is slow, not late, never
    // has that much waiting: its lack is the rate's to make up.
    const auto keep = static_cast<size_t>(static_cast<double>(frames) * ratio_) + 2 + margin_;
    const size_t late = std::min(owed_, available() > keep ? available() - keep : 0);
    drop(late);
    owed_ -= late;
    size_t missing = 0;
    const float* base = data_.data() + begin_ * channels;
    for (size_t i = 0; i < frames; ++i) {
        const auto index = static_cast<size_t>(pos_);
        float* frame = out + i * channels;
        if (index + 1 >= available()) {
            // Not come yet: silence in its place.
            std::fill_n(frame, channels, 0.0f);
            ++missing;
            continue;
        }
        const float t = static_cast<float>(pos_ - static_cast<double>(index));
        const float* a = base + index * channels;
        for (size_t c = 0; c < channels; ++c)
            frame[c] = a[c] + (a[c + channels] - a[c]) * t;
        pos_ += ratio_;
    }
    short_ += static_cast<int64_t>(missing);
    owed_ += static_cast<size_t>(std::lround(static_cast<double>(missing) * ratio_));
    starved_ = missing == frames ? starved_ + frames : 0;
    const auto whole = static_cast<size_t>(pos_);
    drop(whole);
    pos_ -= static_cast<double>(whole);
    if (starved_ > static_cast<size_t>(kAbsentSeconds * rate_)) {
        // What is left (less than a frame to read between) belongs to the time before.
        drop(available());
        pos_ = 0;
        owed_ = 0;
        primed_ = false;
        starved_ = 0;
    } else {
        adjust(frames, static_cast<double>(available()) - pos_, at);
    }
    compact();
}

void Follower::adjust(size_t frames, double fill, double at) {
    const double onItsWay = std::clamp(at - lastArrival_, 0.0, kAbsentSeconds) * rate_;
    windowSum_ += fill + onItsWay;
    ++windowPulls_;
    windowFrames_ += frames;
    const double window = static_cast<double>(windowFrames_);
    // The first window only sets the target, and is short, so that a large clock difference
    // is followed before it has moved the inputs apart.
    if (window < (targetSet_ ? kWindowSeconds : kFirstWindowSeconds) * rate_)
        return;
    const double mean = windowSum_ / windowPulls_;
    // Late audio that has not come by now is not coming as a burst any more.
    owed_ = 0;
    windowFrames_ = 0;
    windowSum_ = 0;
    windowPulls_ = 0;
    if (!targetSet_) {
        // The first window sets the fill to keep: the delay the inputs started with.
        target_ = mean;
        targetSet_ = true;
        return;
    }
    const double error = mean - target_;
    if (error > kBurstSeconds * rate_) {
        drop(static_cast<size_t>(error));
        ++realigned_;
        return;
    }
    integral_ = std::clamp(integral_ + kIntegral * error / window, -kMostOff, kMostOff);
    ratio_ = std::clamp(1 + integral_ + kProportional * error / window, 1 - kMostOff, 1 + kMostOff);
}

void Follower::compact() {
    const size_t channels = static_cast<size_t>(channels_);
    if (begin_ < 1 << 16)
        return;
    data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(begin_ * channels));
    begin_ = 0;
}

} // namespace tw::engine
