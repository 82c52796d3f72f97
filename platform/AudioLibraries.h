#pragma once

#include "platform/IAudioLibraries.h"

#include <memory>
#include <mutex>

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
    int32_t VolumeLevel(int32_t source, std::array<int32_t, 2>& range) override;
    int32_t WavelarkStatus(EngineStatus& status) override;
    int32_t WavelarkLevel(EngineLevel& level) override;
    int32_t WavelarkStartAtSound(double share, int32_t marginMs) override;
    int32_t WavelarkSourceDescription(int32_t number, QString& description) override;
    int32_t WavelarkSelectApplication(const QByteArray& name) override;
    int32_t WavelarkApplications(QList<PlayingProgram>& programs) override;
    int32_t WavelarkMix(int32_t firstPercent, int32_t secondPercent, int32_t ownChannels) override;
    int32_t WavelarkInputLevel(int32_t input, EngineLevel& level) override;
    QString loadError() const override;

  private:
    struct Loaded;
    void* resolve(std::unique_ptr<Loaded>& slot, const char* file, const char* symbol);
    QString directory_;
    mutable std::mutex mutex_; // the status is asked from another thread than the calls
    std::unique_ptr<Loaded> engine_;
    std::unique_ptr<Loaded> mixer_;
    QString error_;
};

} // namespace tw
