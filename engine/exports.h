// The C entry points of libWavelark.so and libVolume.so, for code that links them directly
// (the tests, the bench). The program itself loads them by file name.
#pragma once

#include <cstdint>

extern "C" {
// Recording engine: mode 0 stop and save to file, 1 record (a channels, b rate, c bits),
// 2 pause, 3 resume, 4 count sources, 5 select source d. Negative results are errors.
int32_t Wavelark(const char* file, int32_t mode, int32_t a, int32_t b, int32_t c, int32_t d);
// Diagnostics: gaps (audio never received, filled with silence) of the current or last take.
int64_t WavelarkGapCount();
int64_t WavelarkGapFrames();

// Mixer: range[0..1] = lowest and highest volume; sets every channel of the source.
int32_t Volume(int32_t source, int32_t volume, int32_t* range);
}
