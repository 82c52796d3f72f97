#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

namespace tw {

// The two audio libraries beside the program: the recording engine (export `Wavelark`)
// and the mixer (export `Volume`). Called only from the user-interface thread.
class IAudioLibraries {
  public:
    virtual ~IAudioLibraries() = default;

    // Engine call. `file` is handed over as 8-bit text. Returns the engine's result, or
    // kNotLoaded when the library could not be loaded (see loadError()).
    virtual int32_t Wavelark(const QByteArray& file, int32_t mode, int32_t a, int32_t b, int32_t c,
                             int32_t d) = 0;
    // Mixer call; `range` is written by the library.
    virtual int32_t Volume(int32_t source, int32_t volume, std::array<int32_t, 2>& range) = 0;

    // Why the last call could not reach its library ("" when it could).
    virtual QString loadError() const = 0;

    static constexpr int32_t kNotLoaded = INT32_MIN;
};

} // namespace tw
