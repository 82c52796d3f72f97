#include "core/InputMeter.h"

#include "core/EngineClient.h"
#include "platform/IAudioLibraries.h"

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

void InputMeter::setActive(bool active) {
    if (active == timer_.isActive())
        return;
    updates_ = -1;
    peak_ = hold_ = 0;
    held_.invalidate();
    clipped_.invalidate();
    quiet_.invalidate();
    setSilent(false);
    if (active) {
        timer_.start();
    } else {
        timer_.stop();
        emit levelChanged(0, 0, false);
    }
}

void InputMeter::read() {
    const std::optional<EngineLevel> level = engine_.level();
    if (level && level->updates != updates_) {
        updates_ = level->updates;
        peak_ = level->peak;
        if (peak_ >= hold_ || !held_.isValid() || held_.elapsed() > kHoldMs) {
            hold_ = peak_;
            held_.start();
        }
        if (level->clipped)
            clipped_.start();
        emit levelChanged(peak_, hold_, clipped_.isValid() && clipped_.elapsed() < kClipShownMs);
    }
    if (updates_ < 0)
        return; // no audio measured yet
    // Time tells, not the number of readings: a source that sends nothing stays as quiet.
    if (peak_ >= kSilence) {
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
