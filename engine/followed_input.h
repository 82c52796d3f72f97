// A take's input that is read in step with its first: a second source (another device, on its
// own clock), or one program's sound (a monitor of each of its playback streams, followed as
// the program opens and closes them). Lives on the Recording's connection: every call and
// callback runs with the mainloop lock held or on the libpulse thread. Internal to
// libWavelark.so.
#pragma once

#include "engine/follower.h"
#include "engine/level_meter.h"
#include "engine/pulse_client.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tw::engine {

inline double steadySeconds() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Samples of a take's format (8-bit unsigned or 16-bit signed) as floats of full scale 1, and
// back, clipped.
void samplesToFloat(const void* data, size_t samples, int bits, float* out);
void floatToSamples(const float* in, size_t samples, int bits, void* out);

class FollowedInput {
  public:
    struct Feed;
    // `program`: `name` is a program (application.name) rather than a source. Audio comes in
    // `channels` channels at the take's rate and sample size; its level goes to `level`. While
    // a program is followed, `playing` says whether a stream of it is recorded.
    FollowedInput(std::shared_ptr<Connection> connection, pa_sample_spec spec, std::string name,
                  bool program, LevelWord& level, std::atomic<int32_t>& playing);
    // With the mainloop lock held.
    ~FollowedInput();
    FollowedInput(const FollowedInput&) = delete;
    FollowedInput& operator=(const FollowedInput&) = delete;

    // With the lock held: connects a source (kOk, kNoSource, kNoServer), or finds the program's
    // streams and watches for new ones (kOk even when it plays nothing now).
    int32_t connectLocked(Clock::time_point deadline);
    int channels() const { return spec_.channels; }
    // A source that went away; a program is never lost, it only plays nothing for a while.
    bool lost() const { return lost_; }
    // Called on the libpulse thread when the source goes away.
    std::function<void()> onLost;
    // Called on the libpulse thread whenever audio came.
    std::function<void()> onAudio;

    // On the libpulse thread: the next `frames` frames of this input, in step with the take,
    // into `out` (overwritten), `at` seconds of the steady clock. Returns the frames of a source
    // that had not come (given as silence); a program's silences are its own.
    size_t pull(float* out, size_t frames, double at);

  private:
    static void streamStateChanged(pa_stream* s, void* feed);
    static void streamReadable(pa_stream* s, size_t, void* feed);
    static void streamsListed(pa_context*, const pa_sink_input_info* info, int eol, void* self);
    static void sinkFound(pa_context*, const pa_sink_info* info, int eol, void* feed);

    Feed* addFeed(uint32_t sinkInput);
    bool connectFeed(Feed& feed, const char* device);
    void feedEnded(Feed& feed);
    void lookForStreams();
    void showPlaying();

    std::shared_ptr<Connection> connection_;
    pa_sample_spec spec_;
    std::string name_;
    bool program_;
    LevelMeter meter_;
    std::atomic<int32_t>& playing_;
    bool lost_ = false;
    std::vector<std::unique_ptr<Feed>> feeds_;
    std::vector<uint32_t> listed_; // the program's streams in the listing under way
    OperationPtr listing_;
    bool listAgain_ = false;
    std::vector<float> scratch_;
    std::vector<int16_t> levelScratch_;
};

} // namespace tw::engine
