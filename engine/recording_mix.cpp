// A take of two inputs, or of one program's sound: which stream is the take's clock, and how
// the other input's audio joins each of its pieces.
#include "engine/recording.h"

namespace tw::engine {

void Recording::planInputs() {
    streamSpec_ = format_.spec();
    firstDevice_ = inputs_.source;
    if (!inputs_.mixed()) {
        streamFrameBytes_ = frameBytes_;
        return;
    }
    const bool program = !inputs_.program.empty();
    const bool apart = inputs_.ownChannels && format_.channels == 2 && inputs_.second;
    const float first = static_cast<float>(inputs_.firstPercent) / 100;
    const float second = static_cast<float>(inputs_.secondPercent) / 100;
    state_->levelsApart = true;
    state_->inputCount = inputs_.second ? 2 : 1;
    if (apart)
        streamSpec_.channels = 1;
    if (program) {
        // The program is the first input; the stream carries the second, or nothing heard.
        firstDevice_ = inputs_.second;
        const bool heard = inputs_.second.has_value();
        firstLane_ = {heard ? second : 0, apart ? 1 : -1};
        firstLevelIndex_ = heard ? 1 : -1;
        secondLane_ = {first, apart ? 0 : -1};
    } else {
        firstLane_ = {first, apart ? 0 : -1};
        firstLevelIndex_ = 0;
        secondLane_ = {second, apart ? 1 : -1};
    }
    if (firstLevelIndex_ >= 0)
        firstMeter_.emplace(state_->inputLevel[firstLevelIndex_], format_.bits,
                            streamSpec_.channels, format_.rate / kLevelSpansPerSecond);
    streamFrameBytes_ = pa_frame_size(&streamSpec_);
}

// A second source that cannot be opened is a fault of the take, which goes on with the first.
int32_t Recording::connectSecond(Clock::time_point deadline) {
    pa_sample_spec spec = format_.spec();
    spec.channels = streamSpec_.channels;
    const bool program = !inputs_.program.empty();
    second_ = std::make_unique<FollowedInput>(connection_, spec,
                                              program ? inputs_.program : *inputs_.second, program,
                                              state_->inputLevel[program ? 0 : 1], state_->program);
    second_->onLost = [this] { secondLost(); };
    second_->onAudio = [this] {
        if (firstGone_)
            driveBySecond();
    };
    const int32_t result = second_->connectLocked(deadline);
    if (result != kOk)
        flag(WavelarkInputLost);
    return result;
}

void Recording::secondLost() {
    flag(WavelarkInputLost);
    if (firstGone_)
        flag(WavelarkSourceLost); // nothing is left to record
    pa_threaded_mainloop_signal(connection_->loop(), 0);
}

void Recording::driveBySecond() {
    if (streamLost())
        return;
    const double now = steadySeconds();
    const auto frames = static_cast<size_t>((now - drivenTo_) * format_.rate);
    if (frames == 0)
        return;
    drivenTo_ += static_cast<double>(frames) / format_.rate;
    mixPiece(nullptr, frames);
    lastDelivery_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

// Silence for audio the server dropped; with a second input, its audio of that span still goes in.
void Recording::fillGap(size_t frames) {
    if (inputs_.mixed())
        mixPiece(nullptr, frames);
    else
        deliver(nullptr, frames * frameBytes_);
}

void Recording::mixPiece(const void* data, size_t frames) {
    const size_t channels = static_cast<size_t>(format_.channels);
    mix_.assign(frames * channels, 0.0f);
    if (data && firstLane_.gain > 0) {
        pulled_.resize(frames * streamSpec_.channels);
        samplesToFloat(data, pulled_.size(), format_.bits, pulled_.data());
        addLane(pulled_.data(), streamSpec_.channels, firstLane_, frames);
    }
    if (second_) {
        pulled_.resize(frames * static_cast<size_t>(second_->channels()));
        // A second source's audio that had not come when its span was due is a gap too.
        if (const size_t missing = second_->pull(pulled_.data(), frames, steadySeconds()))
            countGap(static_cast<int64_t>(missing));
        addLane(pulled_.data(), second_->channels(), secondLane_, frames);
    }
    mixed_.resize(frames * frameBytes_);
    floatToSamples(mix_.data(), mix_.size(), format_.bits, mixed_.data());
    meter_.measure(mixed_.data(), mixed_.size());
    deliver(mixed_.data(), mixed_.size());
}

void Recording::addLane(const float* in, int inChannels, Lane lane, size_t frames) {
    const size_t out = static_cast<size_t>(format_.channels);
    const size_t from = static_cast<size_t>(inChannels);
    for (size_t f = 0; f < frames; ++f) {
        const float* source = in + f * from;
        float* to = mix_.data() + f * out;
        if (lane.place >= 0) {
            to[lane.place] += source[0] * lane.gain;
        } else if (from == out) {
            for (size_t c = 0; c < out; ++c)
                to[c] += source[c] * lane.gain;
        } else if (from == 1) {
            for (size_t c = 0; c < out; ++c)
                to[c] += source[0] * lane.gain;
        } else {
            to[0] += (source[0] + source[1]) / 2 * lane.gain;
        }
    }
}

} // namespace tw::engine
