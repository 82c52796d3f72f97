// The session's side of the rules that start and stop takes by themselves (the timer, voice
// activation) and of pre-record: the input kept open between takes, and the status line's
// note of what they wait for.
#include "core/Session.h"
#include "platform/IAudioLibraries.h"

namespace tw {

namespace {
// How often the open input is looked at: a server restarted or a source changed under it
// ends its stream, and the engine then reports no level.
constexpr int kListenCheckMs = 2000;
// A take set off by sound begins this long before the first sample that loud: room for a
// soft attack, and little enough that the take starts with the sound.
constexpr int kSoundMarginMs = 50;
} // namespace

void Session::watchRules() {
    preRecordSeconds_ = settings.preRecordSeconds();
    connect(&meter, &InputMeter::levelChanged, &voice,
            [this](double peak, double, bool) { voice.levelRead(peak); });
    connect(&timer, &TakeTimer::planChanged, this, [this] {
        emit commandsChanged();
        showRules(true);
    });
    connect(&voice, &VoiceTrigger::armedChanged, this, [this] {
        emit commandsChanged();
        keepInputOpen();
        showRules(true);
    });
    connect(&voice, &VoiceTrigger::thresholdsChanged, this, [this] {
        keepInputOpen();
        showRules(true);
    });
    // The timer may wait for a dialog or a save; anything the rule depends on may free it.
    connect(this, &Session::commandsChanged, &timer, &TakeTimer::check);
    connect(this, &Session::commandsChanged, this, &Session::keepInputOpen);
    // Pre-record from Config.ini opens the input as soon as the program can record.
    connect(this, &Session::configured, this, &Session::keepInputOpen);
    connect(&settings, &Settings::formatAnnounced, this, &Session::keepInputOpen);
    connect(&recorder, &Recorder::phaseChanged, this, [this](Recorder::Phase phase) {
        // A take that starts takes the open input over in the engine.
        if (phase != Recorder::Phase::Idle && listening_) {
            listening_ = false;
            emit listeningChanged(false);
        }
        // What a saved take said stays a while before the rules' note returns.
        if (phase == Recorder::Phase::Idle)
            rulesShown_.start();
    });
    rulesShown_.setSingleShot(true);
    rulesShown_.setInterval(4000);
    connect(&rulesShown_, &QTimer::timeout, this, [this] { showRules(true); });
    listenCheck_.setInterval(kListenCheckMs);
    connect(&listenCheck_, &QTimer::timeout, this, [this] {
        if (listening_ && !engine.level()) {
            listening_ = false;
            keepInputOpen();
        }
        showRules(false);
    });
}

void Session::setPreRecordSeconds(int seconds) {
    preRecordSeconds_ = std::clamp(seconds, 0, 10);
    keepInputOpen();
}

bool Session::inputKeptOpen() const {
    return preRecordSeconds_ > 0 || voice.armed();
}

int Session::listenKeepMs() const {
    return std::max(preRecordSeconds_ * 1000, voice.armed() ? voice.leadMs() : 0);
}

void Session::keepInputOpen() {
    const bool want = inputKeptOpen() && configured_ && !quitting_ && !setupOpen_ &&
                      !wizard.busy() && recorder.phase() == Recorder::Phase::Idle;
    if (want) {
        const int keep = listenKeepMs();
        if (!listening_ || keep != listenKeepMs_ || !(settings.format == listenFormat_)) {
            engine.listen(settings.format, keep);
            listenKeepMs_ = keep;
            listenFormat_ = settings.format;
            if (!listening_) {
                listening_ = true;
                emit listeningChanged(true);
            }
        }
        listenCheck_.start();
        return;
    }
    // The same look refreshes the timer's countdown on the status line.
    if ((!inputKeptOpen() && !timer.armed()) || quitting_)
        listenCheck_.stop();
    // During a take the engine holds no separate open input: nothing to close.
    if (listening_ && recorder.phase() == Recorder::Phase::Idle) {
        engine.stopListening();
        listening_ = false;
        emit listeningChanged(false);
    }
}

void Session::leadForStart(bool byRule, double startAtShare) {
    if (!listening_)
        return;
    // A start by hand keeps the pre-record span only, not what voice activation would keep.
    const int keep = byRule ? listenKeepMs() : preRecordSeconds_ * 1000;
    if (keep != listenKeepMs_) {
        engine.listen(settings.format, keep);
        listenKeepMs_ = keep;
    }
    // Said before every start, so that a level left from a start that was refused never
    // trims a later one. With pre-record, the span the user asked for stays whole.
    engine.startAtSound(preRecordSeconds_ > 0 ? 0 : startAtShare, kSoundMarginMs);
}

bool Session::cancelRules() {
    const bool any = timer.armed() || voice.armed();
    timer.cancel();
    voice.disarm();
    if (any && !recorder.takeRunning())
        status.set(QStringLiteral("Stopped: nothing waits to record."), kBlue);
    return any;
}

void Session::showRules(bool force) {
    QStringList waiting;
    for (const QString& text : {timer.waitingText(), voice.waitingText()})
        if (!text.isEmpty())
            waiting << text;
    const QString text = waiting.join(QStringLiteral("; "));
    // Only over its own earlier note, or when a rule changed: never over what a command said.
    const bool ours = status.text() == rulesText_ && !rulesText_.isEmpty();
    if (!text.isEmpty() && (force || ours) && !recorder.takeRunning() && text != status.text())
        status.set(text, kBlue);
    rulesText_ = text;
    if (timer.armed() || voice.armed())
        listenCheck_.start();
}

} // namespace tw
