#pragma once

#include <QString>
#include <optional>

namespace tw {

// What a WAV or RF64 file's header says about it. `dataLength` is the data chunk's size as
// written (from ds64 in an RF64 file), which may be stale in a file whose writer died.
struct WavHeader {
    bool rf64 = false;
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    int blockAlign = 0;
    qint64 dataOffset = 0; // the first byte of the samples
    qint64 dataLength = 0;

    // Where the length fields sit, for a repair: the data chunk's 32-bit size, and in an RF64
    // file the ds64 chunk's body (-1 without one).
    qint64 dataSizeField = 0;
    qint64 ds64Body = -1;
};

std::optional<WavHeader> readWavHeader(const QString& path);

// The length in seconds the header gives, bounded by the bytes actually in the file.
std::optional<double> wavSeconds(const QString& path);

// Makes the header's lengths those of the file as it is: the data are the whole frames from
// the data offset to the end of the file. Only the length fields change; nothing is cut off.
// A plain WAV whose data outgrew 32-bit sizes cannot say so and is left as it is (false).
bool repairWavLengths(const QString& path);

} // namespace tw
