// The session's side of what takes record besides or instead of the recording source: a second
// input, one program's sound, and how the two are mixed. The engine is told on its worker, in
// turn with the other calls, and never while a take or the wizard's test holds it.
#include "core/Session.h"

#include <algorithm>

namespace tw {

void Session::watchInputs() {
    inputs_ = settings.inputChoice();
    const auto whenFree = [this] {
        if (inputsPending_)
            applyInputs();
    };
    connect(&recorder, &Recorder::phaseChanged, this, whenFree);
    connect(&wizard, &SoundCardWizard::busyChanged, this, whenFree);
    // Done stores the wizard's choice; it is put in use once the wizard lets the engine go.
    connect(&wizard, &SoundCardWizard::sourceChosen, this, [this] { setInputs(wizard.inputs()); });
}

void Session::setInputs(const InputChoice& inputs) {
    InputChoice kept = inputs;
    kept.secondSource = std::max(kept.secondSource, 0);
    kept.application = kept.application.trimmed();
    kept.firstLevel = std::clamp(kept.firstLevel, 0, InputChoice::kMaxLevel);
    kept.secondLevel = std::clamp(kept.secondLevel, 0, InputChoice::kMaxLevel);
    // Config.ini gains the keys only once the user chooses something else than it says.
    if (!(kept == settings.inputChoice()))
        settings.writeInputChoice(kept);
    // In force for the run whether or not Config.ini could store it.
    inputs_ = kept;
    applyInputs();
}

void Session::applyInputs() {
    // A running take keeps the inputs it began with; the wizard tests each source alone.
    if (setupOpen_ || wizard.busy() || recorder.phase() != Recorder::Phase::Idle) {
        inputsPending_ = true;
        return;
    }
    inputsPending_ = false;
    // An input kept open between takes was opened with the inputs before: opened anew below.
    if (listening_ && !(inputs_ == engineInputs_)) {
        engine.stopListening();
        listening_ = false;
        emit listeningChanged(false);
    }
    const bool renamed = inputs_.application != engineInputs_.application ||
                         inputs_.secondSource != engineInputs_.secondSource;
    tellEngine(inputs_);
    recorder.setProgram(inputs_.application);
    meter.setInputCount(inputs_.twoInputs() ? 2 : 1);
    if (renamed)
        describeInput();
    keepInputOpen();
}

bool Session::tellEngine(const InputChoice& inputs) {
    const InputChoice& told = engineInputs_;
    if (inputs == told)
        return false;
    if (inputs.secondSource != told.secondSource)
        engine.selectSecondSource(inputs.secondSource - 1);
    if (inputs.application != told.application)
        engine.selectApplication(inputs.application);
    if (inputs.firstLevel != told.firstLevel || inputs.secondLevel != told.secondLevel ||
        inputs.ownChannels != told.ownChannels)
        engine.mix(inputs.firstLevel, inputs.secondLevel, inputs.ownChannels);
    engineInputs_ = inputs;
    return true;
}

void Session::useSourceAlone() {
    tellEngine(InputChoice());
    recorder.setProgram(QString());
    meter.setInputCount(1);
}

void Session::describeInput() {
    const InputChoice inputs = inputs_;
    const auto named = [this, inputs](const QString& first) {
        inputDescription_ = first;
        recorder.setInputName(first);
        if (!inputs.twoInputs()) {
            emit inputDescribed(first);
            return;
        }
        engine.sourceDescription(
            inputs.secondSource - 1, this, [this, first](const QString& second) {
                emit inputDescribed(second.isEmpty() ? first
                                                     : first + QStringLiteral(" + ") + second);
            });
    };
    // The server knows a program by the name it was chosen by.
    if (!inputs.application.isEmpty())
        named(inputs.application);
    else
        engine.sourceDescription(-1, this, named);
}

} // namespace tw
