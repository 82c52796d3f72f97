#pragma once

#include "core/EngineClient.h"

#include <QObject>
#include <optional>

namespace tw {

class Settings;

// The recording volume of the source in use, set through the mixer on the engine's worker.
class VolumeControl : public QObject {
    Q_OBJECT
  public:
    VolumeControl(EngineClient& engine, Settings& settings, QObject* parent = nullptr);

    // Puts `source` in use at `volume`, at the middle of its range, or at the volume it has.
    void useSource(int32_t source, EngineClient::OpenAt at, int volume = 0);
    // Whether the volume shown is the one in force: the mixer told it or the user set it.
    // Only then is it worth keeping for the next run.
    bool known() const { return known_; }
    // The user moved the slider.
    void set(int volume);
    int volume() const { return volume_; }
    const VolumeRange& range() const { return range_; }

  signals:
    // The mixer has answered: the range of the source and the volume now set.
    void loaded(const tw::VolumeRange& range, int volume);

  private:
    EngineClient& engine_;
    Settings& settings_;
    VolumeRange range_{0, 0};
    int volume_ = 0;
    bool known_ = false;
};

} // namespace tw
