#include "engine/followed_input.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tw::engine {

namespace {

// The input's pieces are short, so that what waits to be read (and the delay against the first
// input) stays short too.
constexpr pa_usec_t kFragment = 20 * PA_USEC_PER_MSEC;
// The input is read this far behind its freshest audio: its pieces may come that late without
// a gap.
constexpr int kMarginMs = 40;

} // namespace

void samplesToFloat(const void* data, size_t samples, int bits, float* out) {
    if (bits == 8) {
        const auto* in = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < samples; ++i)
            out[i] = (static_cast<float>(in[i]) - 128.0f) / 128.0f;
        return;
    }
    for (size_t i = 0; i < samples; ++i) {
        int16_t sample;
        std::memcpy(&sample, static_cast<const std::byte*>(data) + 2 * i, 2);
        out[i] = static_cast<float>(sample) / 32768.0f;
    }
}

void floatToSamples(const float* in, size_t samples, int bits, void* out) {
    if (bits == 8) {
        auto* to = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < samples; ++i)
            to[i] = static_cast<uint8_t>(std::clamp(std::lround(in[i] * 128.0f) + 128, 0L, 255L));
        return;
    }
    for (size_t i = 0; i < samples; ++i) {
        const auto sample =
            static_cast<int16_t>(std::clamp(std::lround(in[i] * 32768.0f), -32768L, 32767L));
        std::memcpy(static_cast<std::byte*>(out) + 2 * i, &sample, 2);
    }
}

struct FollowedInput::Feed {
    FollowedInput* owner;
    uint32_t sinkInput; // PA_INVALID_INDEX for a source
    uint32_t sink = PA_INVALID_INDEX;
    Follower follower;
    StreamPtr stream;
    OperationPtr sinkLookup;
    bool ended = false;
};

FollowedInput::FollowedInput(std::shared_ptr<Connection> connection, pa_sample_spec spec,
                             std::string name, bool program, LevelWord& level,
                             std::atomic<int32_t>& playing)
    : connection_(std::move(connection)), spec_(spec), name_(std::move(name)), program_(program),
      meter_(level, 16, spec.channels, static_cast<int>(spec.rate / 10)), playing_(playing) {
    playing_.store(program_ ? 0 : -1);
}

FollowedInput::~FollowedInput() {
    if (program_)
        connection_->unwatchProgramStreamsLocked(this);
    listing_.reset();
    feeds_.clear();
}

FollowedInput::Feed* FollowedInput::addFeed(uint32_t sinkInput) {
    const size_t margin = static_cast<size_t>(kMarginMs) * spec_.rate / 1000;
    feeds_.push_back(std::make_unique<Feed>(Feed{
        this, sinkInput, PA_INVALID_INDEX,
        Follower(spec_.channels, static_cast<int>(spec_.rate), margin), nullptr, nullptr, false}));
    return feeds_.back().get();
}

int32_t FollowedInput::connectLocked(Clock::time_point deadline) {
    if (program_) {
        connection_->watchProgramStreamsLocked(this, [this] { lookForStreams(); });
        lookForStreams();
        return kOk;
    }
    Feed* feed = addFeed(PA_INVALID_INDEX);
    if (!connectFeed(*feed, name_.c_str()))
        return kNoServer;
    pa_stream* s = feed->stream.get();
    if (connection_->waitLocked([s] { return pa_stream_get_state(s) != PA_STREAM_CREATING; },
                                deadline) &&
        pa_stream_get_state(s) == PA_STREAM_READY)
        return kOk;
    return pa_context_errno(connection_->context()) == PA_ERR_NOENTITY ? kNoSource : kNoServer;
}

bool FollowedInput::connectFeed(Feed& feed, const char* device) {
    feed.stream.reset(pa_stream_new(connection_->context(), "Recording", &spec_, nullptr));
    if (!feed.stream)
        return false;
    pa_stream* s = feed.stream.get();
    pa_stream_set_state_callback(s, streamStateChanged, &feed);
    pa_stream_set_read_callback(s, streamReadable, &feed);
    if (feed.sinkInput != PA_INVALID_INDEX)
        pa_stream_set_monitor_stream(s, feed.sinkInput);
    pa_buffer_attr attr{};
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragment, &spec_));
    // Not moved: audio of another device (or program) is never part of this input.
    return pa_stream_connect_record(
               s, device, &attr,
               pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) == 0;
}

void FollowedInput::streamStateChanged(pa_stream* s, void* feed) {
    auto* f = static_cast<Feed*>(feed);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)) && !f->ended)
        f->owner->feedEnded(*f);
    pa_threaded_mainloop_signal(f->owner->connection_->loop(), 0);
}

void FollowedInput::feedEnded(Feed& feed) {
    feed.ended = true;
    if (program_) {
        // The program closed the stream (or it moved to another output): see what it plays now.
        showPlaying();
        lookForStreams();
        return;
    }
    lost_ = true;
    if (onLost)
        onLost();
}

void FollowedInput::streamReadable(pa_stream* s, size_t, void* feed) {
    auto* f = static_cast<Feed*>(feed);
    FollowedInput& self = *f->owner;
    const size_t frameBytes = pa_frame_size(&self.spec_);
    const int bits = self.spec_.format == PA_SAMPLE_U8 ? 8 : 16;
    const double at = steadySeconds();
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
        const size_t frames = bytes / frameBytes;
        if (data && !f->ended) {
            const size_t samples = frames * self.spec_.channels;
            self.scratch_.resize(samples);
            samplesToFloat(data, samples, bits, self.scratch_.data());
            f->follower.push(self.scratch_.data(), frames, at);
        } else if (!f->ended) {
            f->follower.pushSilence(frames, at);
        }
        pa_stream_drop(s);
    }
    if (self.onAudio)
        self.onAudio();
}

void FollowedInput::lookForStreams() {
    if (listing_ && pa_operation_get_state(listing_.get()) == PA_OPERATION_RUNNING) {
        listAgain_ = true;
        return;
    }
    listed_.clear();
    listing_.reset(
        pa_context_get_sink_input_info_list(connection_->context(), streamsListed, this));
}

void FollowedInput::streamsListed(pa_context* c, const pa_sink_input_info* info, int eol,
                                  void* self) {
    auto& input = *static_cast<FollowedInput*>(self);
    if (eol == 0) {
        const char* name = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
        if (name && input.name_ == name) {
            input.listed_.push_back(info->index);
            const bool known = std::any_of(input.feeds_.begin(), input.feeds_.end(), [&](auto& f) {
                return f->sinkInput == info->index && !f->ended;
            });
            if (!known) {
                // A new stream of the program: its monitor is on the output it plays to.
                Feed* feed = input.addFeed(info->index);
                feed->sink = info->sink;
                feed->sinkLookup.reset(
                    pa_context_get_sink_info_by_index(c, info->sink, sinkFound, feed));
            }
        }
        return;
    }
    // Streams gone from the listing have ended, whether or not their monitor said so yet.
    for (auto& feed : input.feeds_)
        if (!feed->ended && std::find(input.listed_.begin(), input.listed_.end(),
                                      feed->sinkInput) == input.listed_.end())
            feed->ended = true;
    input.showPlaying();
    if (input.listAgain_) {
        // Asked again while this listing ran: a stream may have come since. The listing's own
        // reference is dropped without cancelling it, which would be inside its callback.
        input.listAgain_ = false;
        input.listed_.clear();
        pa_operation_unref(input.listing_.release());
        input.listing_.reset(pa_context_get_sink_input_info_list(c, streamsListed, &input));
    }
}

void FollowedInput::sinkFound(pa_context*, const pa_sink_info* info, int eol, void* feed) {
    auto* f = static_cast<Feed*>(feed);
    if (eol != 0 || !info || f->stream || f->ended)
        return;
    if (!info->monitor_source_name || !f->owner->connectFeed(*f, info->monitor_source_name)) {
        f->ended = true;
        return;
    }
    f->owner->showPlaying();
}

void FollowedInput::showPlaying() {
    if (!program_)
        return;
    const bool any =
        std::any_of(feeds_.begin(), feeds_.end(), [](auto& f) { return f->stream && !f->ended; });
    playing_.store(any ? 1 : 0);
}

size_t FollowedInput::pull(float* out, size_t frames, double at) {
    const size_t samples = frames * spec_.channels;
    std::fill_n(out, samples, 0.0f);
    scratch_.resize(samples);
    int64_t missing = 0;
    for (auto& feed : feeds_) {
        const int64_t before = feed->follower.shortFrames();
        feed->follower.pull(scratch_.data(), frames, at);
        if (!program_ && !feed->ended)
            missing = std::max(missing, feed->follower.shortFrames() - before);
        for (size_t i = 0; i < samples; ++i)
            out[i] += scratch_[i];
    }
    // An ended stream is kept until its last audio has been read.
    std::erase_if(feeds_,
                  [](const std::unique_ptr<Feed>& f) { return f->ended && f->follower.absent(); });
    levelScratch_.resize(samples);
    floatToSamples(out, samples, 16, levelScratch_.data());
    meter_.measure(levelScratch_.data(), samples * 2);
    return static_cast<size_t>(missing);
}

} // namespace tw::engine
