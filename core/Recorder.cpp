#include "core/Recorder.h"

#include "core/EngineClient.h"
#include "core/LiveEncoding.h"
#include "core/Recovery.h"
#include "core/Settings.h"
#include "core/StatusLine.h"
#include "core/TakeNaming.h"
#include "core/WavFile.h"
#include "platform/FileSystem.h"
#include "platform/IAudioLibraries.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <cmath>
#include <memory>

namespace tw {

namespace {
const QString kRecordingText = QStringLiteral("The Program is Recording now........");
const QString kPausedText = QStringLiteral("Recording Paused,Press Resume\\Stop to continue\\over");

// The engine's answers to a refused start, in the user's words.
// The engine could not make or write its capture file: what stands in the way, in words.
QString captureFolderTrouble() {
    const QString folder = captureFolder();
    const qint64 free = freeBytes(folder);
    // Less room than a second or two of CD-quality audio counts as full.
    constexpr qint64 kFull = 256 * 1024;
    if (free >= 0 && free < kFull)
        return QStringLiteral("the disk that holds %1 is full (%2 free); make room there.")
            .arg(folder, QLocale::c().formattedDataSize(free));
    return QStringLiteral("the recording could not be written to %1 (%2 free there); check "
                          "that the folder can be written.")
        .arg(folder,
             free >= 0 ? QLocale::c().formattedDataSize(free) : QStringLiteral("nothing known"));
}

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
    case EngineResult::NotPlaced:
        return captureFolderTrouble();
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

const QString kInputLostText =
    QStringLiteral("One input went away; the take goes on with the other.");

// The engine's own floor for a stall is 3 s; the watch looks once a second.
constexpr int kQuietLooksForStall = 3;

QString seconds(double s) {
    return QString::number(s, 'f', 1) + QStringLiteral(" s");
}

// What went wrong with a running take, as the engine found it.
QString problemCause(int problems, const QString& input) {
    if (problems & EngineStatus::SourceLost)
        return QStringLiteral("the input %1 went away")
            .arg(input.isEmpty() ? QStringLiteral("in use") : input);
    if (problems & EngineStatus::ServerLost)
        return QStringLiteral("the sound server went away");
    if (problems & EngineStatus::WriteFailed)
        return QStringLiteral("the disk refused the audio (it may be full)");
    if (problems & EngineStatus::Stalled)
        return QStringLiteral("the recording source stopped sending sound");
    if (problems & EngineStatus::InputLost)
        return QStringLiteral("one of the two inputs went away");
    return QStringLiteral("the sound engine reported a fault");
}

} // namespace

Recorder::Recorder(EngineClient& engine, Settings& settings, StatusLine& status, QObject* parent)
    : QObject(parent), engine_(engine), settings_(settings), status_(status),
      outputPath_(settings.savePosition()) {
    auto monotonic = std::make_shared<QElapsedTimer>();
    monotonic->start();
    now_ = [monotonic] { return monotonic->elapsed(); };
    // Often enough that a fault shows within two seconds of the engine finding it.
    watch_.setInterval(1000);
    connect(&watch_, &QTimer::timeout, this, &Recorder::watchEngine);
    // A few looks a second keep the shown second within a fraction of the true one.
    clock_.setInterval(200);
    connect(&clock_, &QTimer::timeout, this, [this] {
        if (elapsedSeconds() != shownSecond_)
            showClock();
    });
}

Recorder::~Recorder() = default;

void Recorder::setPhase(Phase phase) {
    if (phase_ == phase)
        return;
    phase_ = phase;
    if (takeRunning())
        watch_.start();
    else
        watch_.stop();
    if (phase_ == Phase::Recording)
        clock_.start();
    else
        clock_.stop();
    emit phaseChanged(phase_);
}

qint64 Recorder::elapsedMs() const {
    return recordedMs_ + (phase_ == Phase::Recording ? now_() - runningSince_ : 0);
}

void Recorder::showClock() {
    const int e = elapsedSeconds();
    shownSecond_ = e;
    const QString size = QString::number(megabytesPerSecond_.toDouble() * e, 'f', 3);
    emit clockChanged(size + QStringLiteral(" MB ") + QString::number(e / 60) + QLatin1Char(':') +
                      QStringLiteral("%1").arg(e % 60, 2, 10, QLatin1Char('0')));
}

void Recorder::showFault(const QString& text) {
    problemText_ = text;
    if (!text.isEmpty())
        status_.set(text, kRed);
    else
        showRunning();
    emit faultChanged(problemsShown_, text);
}

void Recorder::showRunning() {
    if (phase_ == Phase::Paused)
        status_.set(kPausedText, kRed);
    else if (!roomText_.isEmpty())
        status_.set(roomText_, kRed);
    else if (programIdle_)
        status_.set(QStringLiteral("%1 plays nothing now; the take holds silence.").arg(program_),
                    kBlue);
    else
        status_.set(kRecordingText, kBlue);
}

void Recorder::watchProgram(const EngineStatus& s) {
    const bool idle = phase_ == Phase::Recording && !program_.isEmpty() && s.program == 0;
    if (idle == programIdle_)
        return;
    programIdle_ = idle;
    if (problemText_.isEmpty())
        showRunning();
}

bool Recorder::onlyInputLost(int problems) const {
    return problems == EngineStatus::InputLost;
}

void Recorder::checkRoom() {
    looksSinceRoom_ = 0;
    QStringList folders{captureFolder()};
    if (!outputPath_.isEmpty())
        folders << QFileInfo(outputPath_).absolutePath();
    const std::optional<DiskRoom> room = leastRoom(folders, freeSpace_);
    const QString text = room ? roomWarning(*room, bytesPerSecond_) : QString();
    if (text == roomText_)
        return;
    roomText_ = text;
    if (problemText_.isEmpty() && takeRunning())
        showRunning();
}

void Recorder::showSilence(bool silent, const QString& input) {
    // A fault outranks silence; a paused take says so instead; a program that plays nothing
    // is said as such.
    if (phase_ != Phase::Recording || !problemText_.isEmpty() || programIdle_)
        return;
    if (silent)
        status_.set(QStringLiteral("No sound is coming from %1 — check the input and its volume")
                        .arg(input),
                    kRed);
    else
        showRunning();
}

void Recorder::watchEngine() {
    if (!takeRunning())
        return;
    // A few statvfs calls: cheap next to the take, and still ahead of any disk that fills.
    constexpr int kLooksPerRoomCheck = 10;
    if (++looksSinceRoom_ >= kLooksPerRoomCheck)
        checkRoom();
    const std::optional<EngineStatus> s = engine_.status();
    if (!s)
        return;
    watchProgram(*s);
    // The engine keeps a stall flagged for the rest of the take; whether it stands now is
    // told by the audio: frames that still come while recording mean the source is back.
    const bool flowing = framesSeen_ >= 0 && s->frames > framesSeen_;
    framesSeen_ = s->frames;
    quietLooks_ = flowing || phase_ != Phase::Recording ? 0 : quietLooks_ + 1;
    // A lost second input stands for the rest of the take, which goes on with the first.
    const int going = EngineStatus::Stalled | EngineStatus::InputLost;
    if (phase_ == Phase::Recording && flowing && (s->problems & ~going) == 0) {
        problemsShown_ |= s->problems & EngineStatus::InputLost;
        const QString text = (s->problems & EngineStatus::InputLost) ? kInputLostText : QString();
        if (text != problemText_)
            showFault(text);
        return;
    }
    const bool newProblem = (s->problems & ~problemsShown_) != 0;
    // Paused, no frames come and nothing is learnt; recording, a source that stops again
    // after it came back is stalled again once it has been quiet as long as the engine
    // waits before it calls a source stalled.
    const bool stalledAgain = phase_ == Phase::Recording && !faulted() &&
                              quietLooks_ >= kQuietLooksForStall &&
                              (s->problems & EngineStatus::Stalled);
    if (!newProblem && !stalledAgain)
        return;
    problemsShown_ |= s->problems;
    if (onlyInputLost(problemsShown_)) {
        showFault(kInputLostText);
        return;
    }
    showFault(QStringLiteral("The recording has a fault: %1; %2 of audio are kept. "
                             "Stop saves what was kept.")
                  .arg(problemCause(problemsShown_, inputName_), seconds(s->seconds())));
}

QString Recorder::takeBase() const {
    return namePattern_.isEmpty() ? outputPath_
                                  : patternedTakePath(outputPath_, namePattern_, startedAt_);
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
        // The size shown is that of the format this take records in.
        megabytesPerSecond_ = megabytesPerSecond(format);
        problemsShown_ = 0;
        // A take that begins with the seconds kept before its start (pre-record) holds them
        // from the first moment: its clock, its size and a length the timer sets count them.
        const std::optional<EngineStatus> begun = engine_.status();
        recordedMs_ = begun && begun->take != 0 ? qint64(begun->seconds() * 1000) : 0;
        runningSince_ = now_();
        startedAt_ = QDateTime::currentDateTime();
        namePattern_ = settings_.takeNamePattern();
        framesSeen_ = -1;
        quietLooks_ = 0;
        problemText_.clear();
        roomText_.clear();
        programIdle_ = false;
        bytesPerSecond_ = double(format.Channels) * format.SamplesPerSec * format.BitsPerSample / 8;
        setPhase(Phase::Recording);
        showRunning();
        checkRoom();
        showClock();
        startEncoding(settings_.takeFormat);
    });
}

void Recorder::togglePause() {
    // A fault stays on the status line: the take it concerns goes on.
    if (phase_ == Phase::Recording) {
        recordedMs_ += now_() - runningSince_;
        engine_.call(EngineMode::Pause);
        if (problemText_.isEmpty())
            status_.set(kPausedText, kRed);
        setPhase(Phase::Paused);
    } else if (phase_ == Phase::Paused) {
        runningSince_ = now_();
        startedAt_ = QDateTime::currentDateTime();
        namePattern_ = settings_.takeNamePattern();
        framesSeen_ = -1; // frames that came before the pause say nothing of the source now
        engine_.call(EngineMode::Resume);
        setPhase(Phase::Recording);
        if (problemText_.isEmpty())
            showRunning();
    }
}

void Recorder::stopAndSave() {
    if (!takeRunning())
        return;
    if (phase_ == Phase::Recording)
        recordedMs_ += now_() - runningSince_;
    // Without a Save Position the engine still stops and keeps the capture.
    QString target;
    takeNumber_ = firstTakeNumber();
    if (!outputPath_.isEmpty()) {
        takeBase_ = takeBase();
        takeNumber_ =
            nextFreeTake(takeBase_, firstTakeNumber(),
                         encoding_ ? takeFormatInfo(encodingFormat_).extension : QString());
        target = takeFileName(takeBase_, takeNumber_);
    }
    status_.set(QStringLiteral("Saving your recording, Please wait..."), kRed);
    waitingForSave_ = true;
    setPhase(Phase::Saving);
    // The clock stops at the take's true length, whenever its last look was.
    showClock();
    engine_.stopAndSave(target, this, [this, target](int32_t answer) { saved(target, answer); });
}

void Recorder::saved(const QString& target, int32_t answer) {
    const EngineResult result = engineResult(answer);
    const std::optional<EngineStatus> s = engine_.status();
    const QString capture = s ? s->capture : QString();
    if (result == EngineResult::NameTaken && !capture.isEmpty() && !target.isEmpty()) {
        moveToFreeName(capture);
        return;
    }
    // The file at its path is what counts: a take cut short by a lost sound server is
    // still put in place, though the engine reports the loss.
    if (shortPathName(target).isEmpty()) {
        QString why;
        if (target.isEmpty())
            why = QStringLiteral("no Save Position is set; choose one with Output File");
        else if (result != EngineResult::NotLoaded)
            why = saveFailure(result, answer);
        notSaved(target, why, capture);
        return;
    }
    if (s && result == EngineResult::CutShort)
        problemsShown_ |= s->problems;
    placed(target, answer);
}

void Recorder::placed(const QString& path, int32_t answer) {
    const QString shortPath = shortPathName(path);
    // The list gives the length the file holds, which a fault may have cut short.
    const double kept = wavSeconds(shortPath).value_or(0);
    if (encoding_)
        finishEncoding(shortPath, kept, answer);
    else
        announce(shortPath, kept, answer);
}

void Recorder::announce(const QString& path, double kept, int32_t answer, const QString& extra) {
    waitingForSave_ = false;
    QString warning;
    const bool ok = engineResult(answer) == EngineResult::Ok;
    const QString inputLost =
        QStringLiteral("One input went away during the take; it went on with the other.");
    if (ok && onlyInputLost(problemsShown_)) {
        warning = QStringLiteral("Saved as %1. ").arg(path) + inputLost;
    } else if (!ok || problemsShown_) {
        const int cut = problemsShown_ & ~EngineStatus::InputLost;
        warning = QStringLiteral("Saved as %1, but the recording was cut short: %2. It holds %3 "
                                 "of the %4 recorded.")
                      .arg(path, problemCause(cut ? cut : problemsShown_, inputName_),
                           seconds(kept), seconds(recordedMs_ / 1000.0));
        if (cut && (problemsShown_ & EngineStatus::InputLost))
            warning += QLatin1Char(' ') + inputLost;
    }
    if (!extra.isEmpty())
        warning = warning.isEmpty() ? extra : warning + QLatin1Char(' ') + extra;
    // A take named by the pattern leaves the numbered names where they were.
    if (namePattern_.isEmpty())
        takeCounter_ = takeNumber_ + 1;
    emit takeSaved(path, int(std::floor(kept)), warning);
    setPhase(Phase::Idle);
}

void Recorder::notSaved(const QString& target, const QString& why, const QString& capture) {
    waitingForSave_ = false;
    // Without a WAV in place there is no take to encode: the capture is the user's to recover.
    encoding_.reset();
    if (!why.isEmpty()) {
        const QString kept = capture.isEmpty() ? captureFolder() : capture;
        if (target.isEmpty())
            status_.set(QStringLiteral("The recording was stopped but not saved: %1. The "
                                       "captured audio is kept in %2.")
                            .arg(why, kept),
                        kRed);
        else
            status_.set(QStringLiteral("The recording could not be saved as %1 (%2); the sound "
                                       "engine keeps the captured audio in %3.")
                            .arg(target, why, kept),
                        kRed);
    }
    setPhase(Phase::Idle);
}

void Recorder::moveToFreeName(const QString& capture) {
    auto number = std::make_shared<int>(takeNumber_);
    auto why = std::make_shared<QString>();
    const QString base = takeBase_;
    // A copy across file systems can take long: it runs on the engine's worker.
    engine_.run(
        this,
        [capture, base, number, why] {
            const int used = moveToFreeTake(capture, base, *number, why.get());
            // On failure the message names the free name the move was refused at.
            *number = used >= 0 ? used : nextFreeTake(base, *number);
            return used >= 0 ? 0 : -1;
        },
        [this, capture, base, number, why](int32_t ok) {
            if (ok != 0) {
                notSaved(takeFileName(base, *number), *why, capture);
                return;
            }
            takeNumber_ = *number;
            placed(takeFileName(base, *number), 0);
        });
}

} // namespace tw
