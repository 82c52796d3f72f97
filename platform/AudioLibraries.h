#pragma once

#include "platform/IAudioLibraries.h"

#include <memory>

namespace tw {

// Loads libWavelark.so and libVolume.so from the application directory on first use.
// A library that is missing or lacks its export never crashes the program: the call
// returns kNotLoaded and loadError() says which library failed and why.
class AudioLibraries final : public IAudioLibraries {
  public:
    explicit AudioLibraries(QString directory);
    ~AudioLibraries() override;

    int32_t Wavelark(const QByteArray& file, int32_t mode, int32_t a, int32_t b, int32_t c,
                     int32_t d) override;
    int32_t Volume(int32_t source, int32_t volume, std::array<int32_t, 2>& range) override;
    QString loadError() const override { return error_; }

  private:
    struct Loaded;
    static void* resolve(std::unique_ptr<Loaded>& slot, const QString& path, const char* symbol,
                         QString& error);
    QString directory_;
    std::unique_ptr<Loaded> engine_;
    std::unique_ptr<Loaded> mixer_;
    QString error_;
};

} // namespace tw
