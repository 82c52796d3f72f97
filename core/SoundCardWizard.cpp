#include "core/SoundCardWizard.h"

#include "core/EngineClient.h"
#include "core/InputChoices.h"
#include "core/Settings.h"
#include "core/VolumeControl.h"
#include "platform/IPlayer.h"

#include <QDir>
#include <QFile>
#include <algorithm>

namespace tw {

namespace {
constexpr int kPollMs = 20;
// A stuck server must not hang the wizard: a playback is given up after a minute.
constexpr int kPlaybackLimitMs = 60 * 1000;
} // namespace

SoundCardWizard::SoundCardWizard(EngineClient& engine, IPlayer& player, Settings& settings,
                                 VolumeControl& volume, InputChoices& choices, QObject* parent)
    : QObject(parent), engine_(engine), player_(player), settings_(settings), volume_(volume),
      choices_(choices), inputs_(settings.inputChoice()) {
    playbackWatch_.setInterval(kPollMs);
    connect(&playbackWatch_, &QTimer::timeout, this, [this] {
        playbackPolls_ += 1;
        if (player_.mode(playing_) == QStringLiteral("playing") &&
            playbackPolls_ * kPollMs < kPlaybackLimitMs)
            return;
        playbackWatch_.stop();
        player_.close(playing_);
        if (auto then = std::exchange(afterPlayback_, {}))
            then();
    });
}

QString SoundCardWizard::testRecordingPath() const {
    if (!testFolder_)
        testFolder_ = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                                      QStringLiteral("/tunewright-test-XXXXXX"));
    return testFolder_->filePath(QStringLiteral("Wavelark.wav"));
}

QString SoundCardWizard::text() const {
    switch (step_) {
    case Step::Preparing:
        return QStringLiteral("Program is preparing to configure your sound card settings.");
    case Step::Detected:
        return QStringLiteral("Program has detected   ") + QString::number(sourceCount_) +
               QStringLiteral("   usable recording sources.");
    case Step::Announce:
        return QStringLiteral("Program will test NO.") + QString::number(testNumber_) +
               QStringLiteral(" recording source. Press the NEXT button, You will hear the "
                              "TEST chime.");
    case Step::Recorded:
        return QStringLiteral("Press Next button, you should hear the same TEST chime AGAIN or "
                              "you will not hear any voice.");
    case Step::Confirm:
        return QStringLiteral("Have you heard the TEST chime AGAIN? If you haven't heard any "
                              "voice, press NEXT button to continue.");
    case Step::NoSource:
        return QStringLiteral("Your sound card cannot support recording function.");
    case Step::Saved:
        return QStringLiteral("Sound card settings Completed,the information has be saved!");
    case Step::NotSaved:
        return settings_.writeFailure(QStringLiteral("The sound card settings")) +
               QStringLiteral(" They are used until the program ends.");
    }
    return {};
}

void SoundCardWizard::setStep(Step step) {
    step_ = step;
    // The lists are asked for once the source is found: the programs playing then.
    if (done())
        choices_.refresh();
    emit changed();
}

void SoundCardWizard::chooseSecondSource(int source) {
    if (!done())
        return;
    inputs_.secondSource = std::max(source, 0);
    emit changed();
}

void SoundCardWizard::chooseApplication(const QString& name) {
    if (!done())
        return;
    inputs_.application = name.trimmed();
    emit changed();
}

void SoundCardWizard::setBusy(bool busy) {
    busy_ = busy;
    emit busyChanged(busy);
}

void SoundCardWizard::endOfClick() {
    if (testNumber_ == sourceCount_ + 1)
        step_ = Step::NoSource;
    setBusy(false);
    emit changed();
}

void SoundCardWizard::next() {
    if (busy_ || !nextEnabled_ || done())
        return;
    setBusy(true);
    switch (step_) {
    case Step::Preparing:
        engine_.call(EngineMode::CountSources, this, [this](int32_t count) {
            // An engine that cannot count has no usable source.
            sourceCount_ = count < 0 ? 0 : count;
            testNumber_ = 1;
            step_ = Step::Detected;
            endOfClick();
        });
        return;
    case Step::Detected:
        step_ = Step::Announce;
        describe();
        break;
    case Step::Announce:
        testSource();
        return;
    case Step::Recorded:
        nextEnabled_ = false;
        emit changed();
        playToEnd(testRecordingPath(), [this] {
            step_ = Step::Confirm;
            nextEnabled_ = true;
            endOfClick();
        });
        return;
    case Step::Confirm:
        ++testNumber_;
        step_ = Step::Announce;
        if (testNumber_ <= sourceCount_)
            describe();
        break;
    case Step::NoSource:
        QFile::remove(testRecordingPath());
        nextEnabled_ = false;
        break;
    case Step::Saved:
    case Step::NotSaved:
        break;
    }
    endOfClick();
}

void SoundCardWizard::testSource() {
    nextEnabled_ = false;
    emit changed();
    engine_.selectSource(testNumber_ - 1);
    engine_.record(
        RecordingFormat{1, 22050, 8}, this,
        [this](int32_t answer) {
            if (answer < 0) {
                // Nothing of the test's own records: a stop now would end and save whatever
                // runs instead. The source shows as silent and the next one is tried.
                QFile::remove(testRecordingPath());
                nextEnabled_ = true;
                step_ = Step::Recorded;
                endOfClick();
                return;
            }
            playToEnd(settings_.appFile(QStringLiteral("test.wav")), [this] {
                // The last source's test take is in the way: the engine never replaces a file.
                QFile::remove(testRecordingPath());
                engine_.stopAndSave(testRecordingPath(), this, [this](int32_t) {
                    nextEnabled_ = true;
                    step_ = Step::Recorded;
                    endOfClick();
                });
            });
        },
        EngineClient::Take::Test);
}

void SoundCardWizard::playToEnd(const QString& path, std::function<void()> then) {
    playing_ = path;
    afterPlayback_ = std::move(then);
    playbackPolls_ = 0;
    player_.play(path);
    if (!player_.lastError().isEmpty()) {
        player_.close(path);
        std::exchange(afterPlayback_, {})();
        return;
    }
    playbackWatch_.start();
}

void SoundCardWizard::heard() {
    if (busy_ || step_ != Step::Confirm)
        return;
    QFile::remove(testRecordingPath());
    // Run again from the menu, the wizard changes nothing until Done: closing it keeps what
    // was in use, and the user's own Save Position stays.
    if (rerun_) {
        setStep(Step::Saved);
        return;
    }
    const bool saved = settings_.writeWizardResult(testNumber_);
    setStep(saved ? Step::Saved : Step::NotSaved);
}

void SoundCardWizard::finish() {
    if (!done())
        return;
    if (rerun_)
        settings_.writeWizardSource(testNumber_);
    volume_.useSource(testNumber_ - 1, EngineClient::OpenAt::Middle);
    settings_.format = RecordingFormat{2, 22050, 16};
    settings_.announceFormat();
    finished_ = true;
    emit sourceChosen();
}

void SoundCardWizard::restart() {
    playbackWatch_.stop();
    afterPlayback_ = {};
    step_ = Step::Preparing;
    testNumber_ = sourceCount_ = 0;
    nextEnabled_ = true;
    rerun_ = true;
    finished_ = false;
    inputs_ = settings_.inputChoice();
    description_.clear();
    setBusy(false);
    emit changed();
}

void SoundCardWizard::cancel() {
    // The engine was pointed at each source tried; the one in use is still in force.
    if (rerun_ && !finished_)
        engine_.selectSource(settings_.SourceIndex);
}

void SoundCardWizard::describe() {
    description_.clear();
    engine_.sourceDescription(testNumber_ - 1, this, [this](const QString& text) {
        description_ = text;
        emit changed();
    });
}

} // namespace tw
