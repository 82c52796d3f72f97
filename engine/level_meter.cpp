#include "engine/level_meter.h"

#include <algorithm>
#include <cstring>

namespace tw::engine {

namespace {

// Samples at or within 0.1 % of full scale count as clipped. 8-bit samples are too coarse for
// that margin: only the two end values count.
constexpr int kClip16 = 32735;
constexpr int kClip8 = 127;

// The lowest and highest sample of a run. This runs over every sample of the take: sixteen
// bytes at a time in vector registers, folded to one value only at the end of the run.
template <class Sample>
void extremes(const unsigned char* bytes, size_t count, int& lowest, int& highest) {
    using Vector [[gnu::vector_size(16)]] = Sample;
    constexpr size_t kLanes = sizeof(Vector) / sizeof(Sample);
    Sample lo = static_cast<Sample>(lowest), hi = static_cast<Sample>(highest);
    size_t i = 0;
    if (count >= kLanes) {
        Vector vlo, vhi;
        std::memcpy(&vlo, bytes, sizeof vlo);
        vhi = vlo;
        for (i = kLanes; i + kLanes <= count; i += kLanes) {
            Vector v;
            std::memcpy(&v, bytes + i * sizeof(Sample), sizeof v);
            vlo = v < vlo ? v : vlo;
            vhi = v > vhi ? v : vhi;
        }
        for (size_t lane = 0; lane < kLanes; ++lane) {
            lo = std::min(lo, vlo[lane]);
            hi = std::max(hi, vhi[lane]);
        }
    }
    for (; i < count; ++i) {
        Sample s;
        std::memcpy(&s, bytes + i * sizeof(Sample), sizeof s);
        lo = std::min(lo, s);
        hi = std::max(hi, s);
    }
    lowest = lo;
    highest = hi;
}

} // namespace

WavelarkLevelInfo decodeLevel(uint64_t word) {
    WavelarkLevelInfo info{};
    info.peak = static_cast<float>(word & 0xffff) / 32768.0f;
    info.clipped = static_cast<int32_t>((word >> 16) & 1);
    info.updates = static_cast<int64_t>(word >> 17);
    return info;
}

LevelMeter::LevelMeter(LevelWord& out, int bits, int channels, int spanFrames)
    : out_(out), eightBit_(bits == 8),
      spanSamples_(static_cast<size_t>(std::max(spanFrames, 1) * channels)), left_(spanSamples_) {
    lowest_ = eightBit_ ? 255 : 32767;
    highest_ = eightBit_ ? 0 : -32768;
}

void LevelMeter::measure(const void* data, size_t bytes) {
    auto* at = static_cast<const unsigned char*>(data);
    const size_t width = eightBit_ ? 1 : 2;
    for (size_t samples = bytes / width; samples > 0;) {
        const size_t n = std::min(samples, left_);
        if (eightBit_)
            extremes<uint8_t>(at, n, lowest_, highest_);
        else
            extremes<int16_t>(at, n, lowest_, highest_);
        at += n * width;
        samples -= n;
        left_ -= n;
        if (left_ == 0)
            publish();
    }
}

void LevelMeter::publish() {
    // Distances from the centre on the 16-bit scale: 8-bit samples are centred on 128.
    int peak, clipLimit;
    if (eightBit_) {
        peak = std::max(highest_ - 128, 128 - lowest_) << 8;
        clipLimit = kClip8 << 8;
    } else {
        peak = std::max(highest_, -lowest_);
        clipLimit = kClip16;
    }
    const uint64_t clipped = peak >= clipLimit ? 1 : 0;
    out_.store(++updates_ << 17 | clipped << 16 | static_cast<uint64_t>(peak),
               std::memory_order_relaxed);
    left_ = spanSamples_;
    lowest_ = eightBit_ ? 255 : 32767;
    highest_ = eightBit_ ? 0 : -32768;
}

} // namespace tw::engine
