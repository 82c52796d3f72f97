// The mixer: reports the volume range of a recording source and sets its volume. Sources are
// numbered exactly as the engine numbers them.
#include "engine/exports.h"
#include "engine/pulse_client.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

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

} // namespace

extern "C" __attribute__((visibility("default"))) int32_t Volume(int32_t source, int32_t volume,
                                                                 int32_t* range) {
    // The range is filled whatever happens next: the caller sizes its slider from it even when
    // the source does not exist.
    if (range) {
        range[0] = kMinVolume;
        range[1] = kMaxVolume;
    }
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

    pa_cvolume levels;
    pa_cvolume_set(&levels, entry.channelMap.channels,
                   static_cast<pa_volume_t>(std::clamp(volume, kMinVolume, kMaxVolume)));
    Completion completion{connection->loop()};
    pa_operation* op = pa_context_set_source_volume_by_name(
        connection->context(), entry.name.c_str(), &levels, Completion::onSuccess, &completion);
    if (!connection->finishLocked(op, completion.done, deadline))
        return kNoServer;
    return completion.success ? kOk : kBadArgument;
}
