// Where a WAV or RF64 file's samples lie, read from its header with plain system calls: for the
// encoder that follows a capture while it grows, and for files handed to it finished.
#pragma once

#include <cstdint>
#include <optional>

namespace tw::encode {

struct WavLayout {
    int channels = 0;
    int rate = 0;
    int bits = 0; // 8 (unsigned) or 16 (signed): what the engine writes and what is read here
    uint64_t dataOffset = 0;
    uint64_t dataBytes = 0; // as the header says; a growing file's header lags its data

    int frameBytes() const { return channels * bits / 8; }
};

// Nothing when `fd` does not hold a PCM WAV or RF64 header of 8- or 16-bit audio.
std::optional<WavLayout> readWavLayout(int fd);

} // namespace tw::encode
