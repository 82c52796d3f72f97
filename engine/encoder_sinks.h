// Where the encoder's audio goes: a libsndfile writer (FLAC, Ogg Vorbis), libopusenc (Ogg Opus)
// or the `lame` program reading it through a pipe. Internal to the encoder.
#pragma once

#include "engine/take_encoder.h"
#include "engine/wav_layout.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tw::encode {

class EncoderSink {
  public:
    virtual ~EncoderSink() = default;
    // Audio as 16-bit interleaved frames of the source's channels and rate.
    virtual bool write(const int16_t* frames, size_t count, std::string& why) = 0;
    // Completes and closes the file; false with `why` when it could not.
    virtual bool finish(std::string& why) = 0;
    // Gives up: nothing more is written, a helper program is stopped.
    virtual void abort() {}
};

// Opens the target for `job` with the source's layout, or nothing with `why` set.
std::unique_ptr<EncoderSink> openSink(const Job& job, const WavLayout& source, std::string& why);

// `lame` reads raw audio, whose channels it takes from its mode switch: whether the mode the
// user's switches leave in force is mono ("-m m", "-mm" or "-a").
bool lameSwitchesAskMono(const std::vector<std::string>& switches);

} // namespace tw::encode
