#include "core/InputMeter.h"

#include "core/EngineClient.h"
#include "platform/IAudioLibraries.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tw {

InputMeter::InputMeter(EngineClient& engine, QObject* parent) : QObject(parent), engine_(engine) {
    timer_.setInterval(50);
    connect(&timer_, &QTimer::timeout, this, &InputMeter::read);
}

double InputMeter::decibels(double share) {
    return share > 0 ? 20 * std::log10(share) : -std::numeric_limits<double>::infinity();
}

void InputMeter::Track::reset() {
    updates = -1;
    peak = hold = 0;
    held.invalidate();
    clipped.invalidate();
}

bool InputMeter::Track::take(const EngineLevel& level) {
    if (level.updates == updates)
        return false;
    updates = level.updates;
    peak = level.peak;
    if (peak >= hold || !held.isValid() || held.elapsed() > kHoldMs) {
        hold = peak;
        held.start();
    }
    if (level.clipped)
        clipped.start();
    return true;
}

bool InputMeter::Track::clipShown() const {
    return clipped.isValid() && clipped.elapsed() < kClipShownMs;
}

void InputMeter::resetTracks() {
    mixed_.reset();
    for (Track& track : inputs_)
        track.reset();
}

void InputMeter::setActive(bool active) {
    if (active == timer_.isActive())
        return;
    resetTracks();
    quiet_.invalidate();
    setSilent(false);
    if (active) {
        timer_.start();
    } else {
        timer_.stop();
        emit levelChanged(0, 0, false);
        for (int input = 0; input < inputCount_ && inputCount_ > 1; ++input)
            emit inputLevelChanged(input, 0, 0, false);
    }
}

void InputMeter::setInputCount(int count) {
    count = std::clamp(count, 1, 2);
    if (count == inputCount_)
        return;
    inputCount_ = count;
    for (Track& track : inputs_)
        track.reset();
    emit inputCountChanged(count);
}

void InputMeter::read() {
    if (const std::optional<EngineLevel> level = engine_.level(); level && mixed_.take(*level))
        emit levelChanged(mixed_.peak, mixed_.hold, mixed_.clipShown());
    if (inputCount_ > 1) {
        for (int input = 0; input < 2; ++input) {
            Track& track = inputs_[size_t(input)];
            const std::optional<EngineLevel> level = engine_.inputLevel(input);
            // An input the engine no longer has (gone mid-take) shows empty, not frozen.
            if (!level) {
                if (track.updates >= 0) {
                    track.reset();
                    emit inputLevelChanged(input, 0, 0, false);
                }
                continue;
            }
            if (track.take(*level))
                emit inputLevelChanged(input, track.peak, track.hold, track.clipShown());
        }
    }
    if (mixed_.updates < 0)
        return; // no audio measured yet
    // Time tells, not the number of readings: a source that sends nothing stays as quiet.
    if (mixed_.peak >= kSilence) {
        quiet_.invalidate();
        setSilent(false);
    } else if (!quiet_.isValid()) {
        quiet_.start();
    } else if (quiet_.elapsed() >= silentMs_) {
        setSilent(true);
    }
}

void InputMeter::setSilent(bool silent) {
    if (silent_ == silent)
        return;
    silent_ = silent;
    emit silenceChanged(silent);
}

} // namespace tw
