#pragma once

#include "core/DiskRoom.h"
#include "core/TakeFormat.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace tw {

class EngineClient;
class LiveEncoding;
class Settings;
class StatusLine;
struct EngineStatus;

// One recording session: the phase of the take, its clock and size, where it is saved.
// Engine calls run on the engine's worker; while one is on its way the phase says so
// (Starting, Saving) and the recorder takes no other command. The clock is the monotonic
// time the take recorded, pauses left out, shown a few times a second and once more at Stop.
class Recorder : public QObject {
    Q_OBJECT
  public:
    enum class Phase { Idle, Starting, Recording, Paused, Saving };
    Q_ENUM(Phase)

    Recorder(EngineClient& engine, Settings& settings, StatusLine& status,
             QObject* parent = nullptr);
    ~Recorder() override;

    Phase phase() const { return phase_; }
    // A take is under way: recording or paused.
    bool takeRunning() const { return phase_ == Phase::Recording || phase_ == Phase::Paused; }
    // An engine call of this recorder has not answered yet.
    bool waiting() const { return phase_ == Phase::Starting || waitingForSave_; }

    // Where the next take goes, the Save Position: read from Config.ini at the start and
    // from then on held here alone, and the take counter. Changing it starts the count again.
    const QString& outputPath() const { return outputPath_; }
    void setOutputPath(const QString& path) {
        outputPath_ = path;
        takeCounter_ = 0;
    }
    int takeCounter() const { return takeCounter_; }
    void resetTakeCounter() { takeCounter_ = 0; }

    void record();
    void togglePause();
    void stopAndSave();

    // The time the take has recorded so far, pauses left out.
    qint64 elapsedMs() const;
    int elapsedSeconds() const { return int(elapsedMs() / 1000); }
    // The take's size so far as the status line counts it.
    qint64 bytesSoFar() const {
        return qint64(megabytesPerSecond_.toDouble() * double(elapsedMs()) / 1000 * 1048576);
    }
    // The monotonic time in milliseconds the clock reads; tests give one they move by hand.
    void setTimeSource(std::function<qint64()> now) { now_ = std::move(now); }
    // Shows the time and size reached now.
    void showClock();

    // Engine problems of the take in progress (EngineStatus::Problem bits) shown so far.
    int problemsShown() const { return problemsShown_; }
    // Whether a fault of the take stands now: a stalled source that sends sound again no
    // longer does.
    bool faulted() const { return !problemText_.isEmpty(); }
    // Asks the engine how the take goes; the recorder does so every second while one runs.
    void watchEngine();
    // The input has been silent for a while (or sound came back) during the take.
    void showSilence(bool silent, const QString& input);
    // Free bytes where a folder lies (-1 unknown); tests give one of their own.
    void setFreeSpaceSource(FreeSpace freeSpace) { freeSpace_ = std::move(freeSpace); }
    // Says in red, until a take ends, when the disk a take grows on or is saved to would be
    // full within ten minutes at its rate. Looked at when a take starts and every ten seconds.
    void checkRoom();
    // The sound server's name for the input takes record, for the faults that name it.
    void setInputName(const QString& name) { inputName_ = name; }
    // The program whose sound alone takes record ("" none): a take says while it plays
    // nothing.
    void setProgram(const QString& name) { program_ = name; }
    // The chosen program played nothing at the last look at the running take.
    bool programIdle() const { return programIdle_; }

  signals:
    void phaseChanged(tw::Recorder::Phase phase);
    // "<size> MB <m>:<ss>", each time the shown second changes while recording, and at Stop.
    void clockChanged(const QString& text);
    // A fault of the running take, in the status line's words; "" once it no longer stands.
    void faultChanged(int problems, const QString& text);
    // A take is in place at `path`; `seconds` is its length as the file holds it. `warning`
    // is what went wrong with a take that was saved all the same ("" when nothing did).
    // Listeners run before the phase returns to Idle.
    void takeSaved(const QString& path, int seconds, const QString& warning);

  private:
    void setPhase(Phase phase);
    void started(int32_t answer);
    void saved(const QString& target, int32_t answer);
    void placed(const QString& path, int32_t answer);
    void notSaved(const QString& target, const QString& why, const QString& capture);
    // A name was taken between the choice and the engine's move: the kept capture goes to the
    // next free take name instead.
    void moveToFreeName(const QString& capture);
    // A take in another format than WAV is encoded from its capture while it records.
    void startEncoding(TakeFormat format);
    // The WAV is in place at `wavPath`: the encoded file is finished, placed beside it under
    // the take's name in its format, and the WAV removed; else the WAV is the take.
    void finishEncoding(const QString& wavPath, double kept, int32_t answer);
    void encodingEnded(const QString& wavPath, double kept, int32_t answer, bool ok,
                       const QString& why);
    // The take is saved at `path` (`extra`: what else went wrong, for the warning).
    void announce(const QString& path, double kept, int32_t answer, const QString& extra = {});
    void showFault(const QString& text);
    // The status line of a take without a fault: paused, short of room, or recording.
    void showRunning();
    // The chosen program's silence said, or no longer, from what the engine last told.
    void watchProgram(const EngineStatus& s);
    // A second input that went away leaves the take going: said apart from the faults that end
    // it.
    bool onlyInputLost(int problems) const;

    EngineClient& engine_;
    Settings& settings_;
    StatusLine& status_;
    Phase phase_ = Phase::Idle;
    bool waitingForSave_ = false;
    QString outputPath_;
    int takeCounter_ = 0;
    // The running take's name: the Save Position or the pattern's name, and its number.
    QString takeBase() const;
    int firstTakeNumber() const { return namePattern_.isEmpty() ? takeCounter_ : 0; }
    QString namePattern_;
    QDateTime startedAt_;
    QString takeBase_;
    int takeNumber_ = 0;
    QString megabytesPerSecond_;
    QTimer watch_;
    QTimer clock_;
    int shownSecond_ = -1;
    std::function<qint64()> now_;
    // The time the take recorded, pauses left out: what a cut-short take is measured against.
    qint64 runningSince_ = 0;
    qint64 recordedMs_ = 0;
    int problemsShown_ = 0;
    QString inputName_;
    QString program_;
    bool programIdle_ = false;
    QString problemText_;
    FreeSpace freeSpace_ = freeBytes;
    double bytesPerSecond_ = 0;
    QString roomText_;
    int looksSinceRoom_ = 0;
    // The engine's frame count at the last look: audio that still comes ends a stall.
    qint64 framesSeen_ = -1;
    int quietLooks_ = 0; // looks in a row, while recording, that found no new frames
    std::unique_ptr<LiveEncoding> encoding_;
    TakeFormat encodingFormat_ = TakeFormat::Wav;
};

} // namespace tw
