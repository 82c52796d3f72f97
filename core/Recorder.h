#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

namespace tw {

class EngineClient;
class Settings;
class StatusLine;

// One recording session: the phase of the take, its clock and size, where it is saved.
// Engine calls run on the engine's worker; while one is on its way the phase says so
// (Starting, Saving) and the recorder takes no other command.
class Recorder : public QObject {
    Q_OBJECT
  public:
    enum class Phase { Idle, Starting, Recording, Paused, Saving };
    Q_ENUM(Phase)

    Recorder(EngineClient& engine, Settings& settings, StatusLine& status,
             QObject* parent = nullptr);

    Phase phase() const { return phase_; }
    // A take is under way: recording or paused.
    bool takeRunning() const { return phase_ == Phase::Recording || phase_ == Phase::Paused; }
    // An engine call of this recorder has not answered yet.
    bool waiting() const { return phase_ == Phase::Starting || waitingForSave_; }

    // Where the next take goes: the save dialog's file name, and the take counter.
    const QString& outputPath() const { return outputPath_; }
    void setOutputPath(const QString& path) { outputPath_ = path; }
    int takeCounter() const { return takeCounter_; }
    void resetTakeCounter() { takeCounter_ = 0; }
    // The output path as Config.ini holds it.
    void reloadOutputPath();

    void record();
    void togglePause();
    void stopAndSave();
    // One second of the clock: shows the time and size reached, then counts on.
    void tick();

    int elapsedSeconds() const { return elapsedSeconds_; }
    // The time the clock last showed: the length a take's list line gives.
    int shownSeconds() const { return shownSeconds_; }

    // Engine problems of the take in progress (EngineStatus::Problem bits) shown so far.
    int problemsShown() const { return problemsShown_; }
    // Asks the engine how the take goes; the recorder does so every second while one runs.
    void watchEngine();
    // The input has been silent for a while (or sound came back) during the take.
    void showSilence(bool silent, const QString& input);

  signals:
    void phaseChanged(tw::Recorder::Phase phase);
    // "<size> MB <m>:<ss>", once a second while recording.
    void clockChanged(const QString& text);
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

    EngineClient& engine_;
    Settings& settings_;
    StatusLine& status_;
    Phase phase_ = Phase::Idle;
    bool waitingForSave_ = false;
    QString outputPath_;
    int takeCounter_ = 0;
    int elapsedSeconds_ = 0;
    int shownSeconds_ = 0;
    QString megabytesPerSecond_;
    QTimer watch_;
    // The time the take recorded, pauses left out: what a cut-short take is measured against.
    QElapsedTimer running_;
    qint64 recordedMs_ = 0;
    int problemsShown_ = 0;
    QString problemText_;
};

} // namespace tw
