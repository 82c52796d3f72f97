#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace tw {

struct RecordingFormatValues {
    int32_t Channels = 0;
    int32_t SamplesPerSec = 0;
    int32_t BitsPerSample = 0;
};

// The program-wide values every window shares; the main window owns them.
struct SharedState {
    bool HotkeyPumpStop = false;
    QString LameOptions;
    int32_t SourceIndex = 0;
    std::array<int32_t, 2> VolumeRange{0, 0};
    RecordingFormatValues RecordingFormat;
    int AutoMp3 = 0;
};

// The main window's format panel text: rate and sample size, never the channel count.
inline QString formatCaption(const RecordingFormatValues& f) {
    return QString::number(f.SamplesPerSec) + QStringLiteral("  Hz   ") +
           QString::number(f.BitsPerSample) + QStringLiteral("  Bit");
}

} // namespace tw
