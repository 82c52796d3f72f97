// The input's level, measured on the libpulse thread as the audio arrives and published in one
// atomic word, so that a reader on any thread gets a consistent span without a lock.
#pragma once

#include "engine/exports.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tw::engine {

// The measured span as one word: updates << 17 | clipped << 16 | peak (0..32768, 16-bit
// scale). Written only by the meter; a word of 0 means nothing measured yet.
using LevelWord = std::atomic<uint64_t>;

WavelarkLevelInfo decodeLevel(uint64_t word);

class LevelMeter {
  public:
    // Publishes into `out` once every `spanFrames` frames.
    LevelMeter(LevelWord& out, int bits, int channels, int spanFrames);

    // On the libpulse thread, for every piece of audio received (also while paused).
    void measure(const void* data, size_t bytes);

  private:
    void publish();

    LevelWord& out_;
    const bool eightBit_;
    const size_t spanSamples_;
    size_t left_;          // samples still to come in the current span
    int lowest_, highest_; // raw sample values seen in it
    uint64_t updates_ = 0;
};

} // namespace tw::engine
