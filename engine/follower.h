// The audio of an input that runs on its own device clock, read in step with the take's first
// input. Each device's crystal is off by up to a few hundred parts per million, so over an hour
// a second input read at its nominal rate would end up a second or more ahead of or behind the
// first. The follower reads it at a ratio it adjusts from how much audio waits in its buffer,
// by linear interpolation: the buffer stays at the same fill, so the delay between the inputs
// stays what it was at the start. Plain C++ without libpulse, so that hours of clocks can be
// simulated in a test. Used on one thread (the libpulse thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tw::engine {

class Follower {
  public:
    // `margin`: frames the input is read behind its freshest audio, so that its pieces may come
    // late by that much without a gap.
    Follower(int channels, int rate, size_t margin);

    int channels() const { return channels_; }

    // The input's audio as it arrives (interleaved), or silence for a hole in it; `at` is the
    // moment it came, in seconds of a steady clock.
    void push(const float* samples, size_t frames, double at);
    void pushSilence(size_t frames, double at);

    // `frames` frames of the input in step with the take's timeline, into `out` (interleaved,
    // overwritten), at the moment `at`. Where the input sent nothing, silence.
    void pull(float* out, size_t frames, double at);

    // The input was not heard for a while (a program that stopped playing, a device that went
    // away): the next audio it sends starts a new alignment instead of being read late.
    bool absent() const { return !primed_; }
    // Frames read per frame of the take now.
    double ratio() const { return ratio_; }
    // Frames of the input passed so far, including fractions, counted from its first push:
    // where the take's timeline is in the input's own.
    double position() const { return static_cast<double>(dropped_) + pos_; }
    // Frames of the input waiting to be read.
    size_t waiting() const { return available(); }
    // Frames the take got as silence because the input's audio had not come, after it began.
    int64_t shortFrames() const { return short_; }
    // Times the follower put the input back in step at once rather than by its rate (after a
    // burst or a silence of the input).
    int64_t realigned() const { return realigned_; }

  private:
    size_t available() const { return data_.size() / static_cast<size_t>(channels_) - begin_; }
    void arrived(double at);
    void prime(size_t frames);
    void drop(size_t frames);
    void adjust(size_t frames, double fill, double at);
    void compact();

    const int channels_;
    const int rate_;
    const size_t margin_;
    std::vector<float> data_; // interleaved, from frame begin_ on
    size_t begin_ = 0;
    double pos_ = 0; // read position in frames from begin_
    int64_t dropped_ = 0;
    bool primed_ = false;
    size_t starved_ = 0; // frames pulled in a row with no audio to read
    size_t owed_ = 0;    // frames of the input given as silence before they came
    double lastArrival_ = 0;

    double ratio_ = 1;
    double integral_ = 0;
    bool targetSet_ = false;
    double target_ = 0;
    size_t windowFrames_ = 0;
    double windowSum_ = 0;
    int windowPulls_ = 0;
    int64_t short_ = 0;
    int64_t realigned_ = 0;
};

} // namespace tw::engine
