#include "core/VoiceTrigger.h"

#include "core/InputMeter.h"
#include "core/Session.h"

#include <cmath>

namespace tw {

VoiceTrigger::VoiceTrigger(Session& session, QObject* parent) : QObject(parent), session_(session) {
    connect(&session_.recorder, &Recorder::phaseChanged, this, [this](Recorder::Phase phase) {
        // Each state of the take starts its own count: sound before a take began is not
        // silence within it.
        above_.invalidate();
        below_.invalidate();
        if (phase != Recorder::Phase::Paused)
            pausedBySilence_ = false;
    });
}

void VoiceTrigger::arm() {
    if (armed_)
        return;
    settings_ = session_.settings.voiceSettings();
    armed_ = true;
    above_.invalidate();
    below_.invalidate();
    emit armedChanged(true);
}

void VoiceTrigger::disarm() {
    if (!armed_)
        return;
    armed_ = false;
    pausedBySilence_ = false;
    emit armedChanged(false);
}

void VoiceTrigger::setThresholds(const VoiceSettings& settings) {
    if (settings == settings_)
        return;
    settings_ = settings;
    emit thresholdsChanged(settings_);
}

QString VoiceTrigger::waitingText() const {
    using Phase = Recorder::Phase;
    const Phase phase = session_.recorder.phase();
    if (!armed_ || !(phase == Phase::Idle || (phase == Phase::Paused && pausedBySilence_)))
        return QString();
    return QStringLiteral("Waiting for sound above %1 dB")
        .arg(QString::number(qRound(settings_.startDb)).replace(QLatin1Char('-'), QChar(0x2212)));
}

namespace {
// True once `holding` has stood for `ms` without a break; a break, or the answer true, starts
// the count anew.
bool heldFor(QElapsedTimer& since, bool holding, int ms) {
    if (!holding) {
        since.invalidate();
        return false;
    }
    if (!since.isValid())
        since.start();
    if (since.elapsed() < ms)
        return false;
    since.invalidate();
    return true;
}
} // namespace

void VoiceTrigger::levelRead(double peak) {
    using Phase = Recorder::Phase;
    if (!armed_)
        return;
    const double db = InputMeter::decibels(peak);
    const Phase phase = session_.recorder.phase();
    const bool waitingForSound =
        phase == Phase::Idle || (phase == Phase::Paused && pausedBySilence_);
    if (waitingForSound) {
        if (!heldFor(above_, db > settings_.startDb, settings_.startMs))
            return;
        // Resuming a take that silence paused is the same command as pausing it.
        if (phase == Phase::Idle)
            session_.requestByRule(Session::Command::Record,
                                   std::pow(10.0, settings_.startDb / 20));
        else
            session_.requestByRule(Session::Command::Pause);
        return;
    }
    if (phase != Phase::Recording ||
        !heldFor(below_, db < settings_.silenceDb, settings_.silenceMs))
        return;
    if (settings_.split) {
        session_.requestByRule(Session::Command::Stop);
    } else if (session_.requestByRule(Session::Command::Pause)) {
        pausedBySilence_ = true;
    }
}

} // namespace tw
