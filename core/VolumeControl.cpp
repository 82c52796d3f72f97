#include "core/VolumeControl.h"

#include "core/Settings.h"

namespace tw {

VolumeControl::VolumeControl(EngineClient& engine, Settings& settings, QObject* parent)
    : QObject(parent), engine_(engine), settings_(settings) {}

void VolumeControl::useSource(int32_t source, EngineClient::OpenAt at, int volume) {
    settings_.SourceIndex = source;
    engine_.openSource(source, at, volume, this,
                       [this](VolumeRange range, std::optional<int> level) {
                           range_ = range;
                           known_ = level.has_value();
                           volume_ = level.value_or(boundedVolume(volume_, range));
                           emit loaded(range_, volume_);
                       });
}

void VolumeControl::set(int volume) {
    volume_ = volume;
    known_ = true;
    engine_.mixer(settings_.SourceIndex, volume);
}

} // namespace tw
