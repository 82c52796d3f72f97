// The mixer: reports the volume range of a recording source, sets its volume and reads it back.
// Sources are numbered exactly as the engine numbers them.
#include "engine/exports.h"
#include "engine/pulse_client.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>

#define TW_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace tw::engine;

constexpr int32_t kMinVolume = PA_VOLUME_MUTED;
constexpr int32_t kMaxVolume = PA_VOLUME_NORM;
static_assert(kMaxVolume == 65536);

struct Mixer {
    std::mutex mutex;
    PulseClient client;
};

Mixer& mixer() {
    static Mixer instance;
    return instance;
}

// The range is filled whatever happens next: the caller sizes its slider from it even when the
// source does not exist.
void fillRange(int32_t* range) {
    if (range) {
        range[0] = kMinVolume;
        range[1] = kMaxVolume;
    }
}

// Runs `use` on the source of that number with the loop locked; its result, or the lookup's.
template <class Use> int32_t withSource(int32_t source, Use use) {
    if (source < 0)
        return kBadArgument;
    Mixer& m = mixer();
    std::lock_guard guard(m.mutex);
    const auto deadline = callDeadline();
    auto connection = m.client.connection(deadline);
    if (!connection)
        return kNoServer;
    LoopLock lock(connection->loop());
    SourceEntry entry;
    if (const int32_t found = connection->sourceAtLocked(source, deadline, entry); found != kOk)
        return found;
    return use(*connection, entry, deadline);
}

} // namespace

// A position is in proportion to the amplitude, so half way is -6 dB. PulseAudio's own volume
// scale is cubic, which would put half way at -18 dB and crowd the useful range at the top.
TW_EXPORT int32_t Volume(int32_t source, int32_t volume, int32_t* range) {
    fillRange(range);
    const double linear = double(std::clamp(volume, kMinVolume, kMaxVolume)) / kMaxVolume;
    return withSource(source, [linear](Connection& connection, const SourceEntry& entry,
                                       Clock::time_point deadline) {
        pa_cvolume levels;
        pa_cvolume_set(&levels, entry.channelMap.channels, pa_sw_volume_from_linear(linear));
        Completion completion{connection.loop()};
        pa_operation* op = pa_context_set_source_volume_by_name(
            connection.context(), entry.name.c_str(), &levels, Completion::onSuccess, &completion);
        if (!connection.finishLocked(op, completion.done, deadline))
            return kNoServer;
        return completion.success ? kOk : kBadArgument;
    });
}

TW_EXPORT int32_t VolumeLevel(int32_t source, int32_t* range) {
    fillRange(range);
    return withSource(source, [](Connection&, const SourceEntry& entry, Clock::time_point) {
        const double linear = pa_sw_volume_to_linear(pa_cvolume_max(&entry.volume));
        return static_cast<int32_t>(
            std::clamp(std::lround(linear * kMaxVolume), 0L, long(kMaxVolume)));
    });
}
