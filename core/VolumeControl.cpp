#include "core/VolumeControl.h"

#include "core/Settings.h"

namespace tw {

VolumeControl::VolumeControl(EngineClient& engine, Settings& settings, QObject* parent)
    : QObject(parent), engine_(engine), settings_(settings) {}

void VolumeControl::useSource(int32_t source, std::optional<int> volume) {
    settings_.SourceIndex = source;
    engine_.openSource(source, volume, this, [this](VolumeRange range, int level) {
        range_ = range;
        volume_ = level;
        emit loaded(range_, volume_);
    });
}

void VolumeControl::set(int volume) {
    volume_ = volume;
    engine_.mixer(settings_.SourceIndex, volume);
}

} // namespace tw
