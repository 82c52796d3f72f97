#include "core/Recorder.h"

#include "core/EngineClient.h"
#include "core/Settings.h"
#include "core/StatusLine.h"
#include "core/TakeNaming.h"
#include "platform/FileSystem.h"

#include <QDir>

namespace tw {

namespace {
const QString kRecordingText = QStringLiteral("The Program is Recording now........");
const QString kPausedText = QStringLiteral("Recording Paused,Press Resume\\Stop to continue\\over");

// The engine's answers to a refused start, in the user's words.
QString startFailure(EngineResult result, int32_t answer, const RecordingFormat& f) {
    switch (result) {
    case EngineResult::BadArgument:
        return QStringLiteral("the format %1 channels, %2 Hz, %3 bits is not possible; choose "
                              "one in Options, Preferences...")
            .arg(f.Channels)
            .arg(f.SamplesPerSec)
            .arg(f.BitsPerSample);
    case EngineResult::NoServer:
        return QStringLiteral("no sound server answers.");
    case EngineResult::OutOfTurn:
        return QStringLiteral("a recording is already running.");
    case EngineResult::SourceGone:
        return QStringLiteral("the recording source is gone; run the sound-card set-up again.");
    default:
        return QStringLiteral("the sound engine answered %1.").arg(answer);
    }
}
// Why the engine could not put a take in place.
QString saveFailure(EngineResult result, int32_t answer) {
    switch (result) {
    case EngineResult::BadArgument:
        return QStringLiteral("the engine refused the file name");
    case EngineResult::NoServer:
        return QStringLiteral("the sound server did not answer");
    case EngineResult::OutOfTurn:
        return QStringLiteral("no recording was running");
    case EngineResult::NotPlaced:
        return QStringLiteral("the file could not be created there");
    default:
        return QStringLiteral("the sound engine answered %1").arg(answer);
    }
}

// Where the engine keeps captures, as it finds the folder itself.
QString captureFolder() {
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!base.startsWith(QLatin1Char('/')))
        base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/tunewright");
}
} // namespace

Recorder::Recorder(EngineClient& engine, Settings& settings, StatusLine& status, QObject* parent)
    : QObject(parent), engine_(engine), settings_(settings), status_(status) {}

void Recorder::setPhase(Phase phase) {
    if (phase_ == phase)
        return;
    phase_ = phase;
    emit phaseChanged(phase_);
}

void Recorder::reloadOutputPath() {
    outputPath_ = settings_.savePosition();
}

void Recorder::record() {
    if (phase_ != Phase::Idle)
        return;
    setPhase(Phase::Starting);
    const RecordingFormat format = settings_.format;
    engine_.record(format, this, [this, format](int32_t answer) {
        if (answer < 0) {
            // Showing "Recording now" while nothing records would lose the user's take.
            const EngineResult result = engineResult(answer);
            if (result != EngineResult::NotLoaded)
                status_.set(QStringLiteral("Recording could not start: ") +
                                startFailure(result, answer, format),
                            kRed);
            setPhase(Phase::Idle);
            return;
        }
        elapsedSeconds_ = 0;
        // A take stopped before the clock's first tick lasted 00:00, not the last take's time.
        shownSeconds_ = 0;
        // The size shown is that of the format this take records in.
        megabytesPerSecond_ = megabytesPerSecond(format);
        status_.set(kRecordingText, kBlue);
        setPhase(Phase::Recording);
    });
}

void Recorder::togglePause() {
    if (phase_ == Phase::Recording) {
        engine_.call(EngineMode::Pause);
        status_.set(kPausedText, kRed);
        setPhase(Phase::Paused);
    } else if (phase_ == Phase::Paused) {
        engine_.call(EngineMode::Resume);
        status_.set(kRecordingText, kBlue);
        setPhase(Phase::Recording);
    }
}

void Recorder::stopAndSave() {
    if (!takeRunning())
        return;
    takeCounter_ = nextFreeTake(outputPath_, takeCounter_);
    const QString target = takeFileName(outputPath_, takeCounter_);
    outputPath_ = target;
    status_.set(QStringLiteral("Saving your recording, Please wait..."), kRed);
    waitingForSave_ = true;
    setPhase(Phase::Saving);
    engine_.stopAndSave(target, this, [this, target](int32_t answer) { saved(target, answer); });
}

void Recorder::saved(const QString& target, int32_t answer) {
    waitingForSave_ = false;
    // The file at its path is what counts: a take cut short by a lost sound server is
    // still put in place, though the engine reports the loss.
    const QString shortPath = shortPathName(target);
    reloadOutputPath();
    if (shortPath.isEmpty()) {
        if (engineResult(answer) != EngineResult::NotLoaded)
            status_.set(
                QStringLiteral("The recording could not be saved as %1 (%2); the sound "
                               "engine keeps the captured audio in %3.")
                    .arg(target, saveFailure(engineResult(answer), answer), captureFolder()),
                kRed);
        setPhase(Phase::Idle);
        return;
    }
    ++takeCounter_;
    emit takeSaved(shortPath, shownSeconds_);
    setPhase(Phase::Idle);
}

void Recorder::tick() {
    if (phase_ != Phase::Recording)
        return;
    const int e = elapsedSeconds_;
    shownSeconds_ = e;
    const QString size = QString::number(megabytesPerSecond_.toDouble() * e, 'f', 3);
    emit clockChanged(size + QStringLiteral(" MB ") + QString::number(e / 60) + QLatin1Char(':') +
                      QStringLiteral("%1").arg(e % 60, 2, 10, QLatin1Char('0')));
    ++elapsedSeconds_;
}

} // namespace tw
