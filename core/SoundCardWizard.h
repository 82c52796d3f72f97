#pragma once

#include "core/Settings.h"

#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

namespace tw {

class EngineClient;
class InputChoices;
class IPlayer;
class VolumeControl;

// The sound-card set-up: for each source, record while the chime plays, play the take back
// and ask whether the chime was heard again. The steps run the engine on its worker and the
// player in the background; while one runs the wizard is busy and takes no other step.
class SoundCardWizard : public QObject {
    Q_OBJECT
  public:
    enum class Step { Preparing, Detected, Announce, Recorded, Confirm, NoSource, Saved, NotSaved };
    Q_ENUM(Step)

    SoundCardWizard(EngineClient& engine, IPlayer& player, Settings& settings,
                    VolumeControl& volume, InputChoices& choices, QObject* parent = nullptr);

    Step step() const { return step_; }
    QString text() const;
    int testNumber() const { return testNumber_; }
    int sourceCount() const { return sourceCount_; }
    bool busy() const { return busy_; }
    // What the window shows of its two buttons.
    bool nextEnabled() const { return nextEnabled_; }
    bool nextVisible() const { return !done(); }
    bool secondVisible() const { return step_ == Step::Confirm || done(); }
    // The source is found; Done puts it in use, also when it could not be stored.
    bool done() const { return step_ == Step::Saved || step_ == Step::NotSaved; }

    void next();  // "next"
    void heard(); // "heard": the source works; it is stored
    // "Done": the source found, its volume at the middle of its range and the wizard's format
    // are put in use.
    void finish();
    // Runs the steps again from the start, for a program that is set up already: nothing is
    // stored before Done, and Done keeps the Save Position.
    void restart();
    // The window closed before Done: a re-run puts back the source in use.
    void cancel();
    // The sound server's description of the source under test ("" until it answers).
    const QString& sourceDescription() const { return description_; }

    // Once the source is found, the wizard offers a second input and a program to record
    // instead of the source: the lists, and the choice Done puts in use with the source.
    InputChoices& choices() { return choices_; }
    const InputChoice& inputs() const { return inputs_; }
    void chooseSecondSource(int source);
    void chooseApplication(const QString& name);

    // Where the test recording is kept: a folder of the wizard's own, made when first needed
    // and removed with the wizard, so that no file of the user's is written or deleted.
    QString testRecordingPath() const;

  signals:
    void changed();
    void busyChanged(bool busy);
    // Done put a source in use.
    void sourceChosen();

  private:
    void setStep(Step step);
    void setBusy(bool busy);
    void endOfClick();
    void testSource();
    void describe();
    // Plays `path` to its end (bounded), then runs `then`.
    void playToEnd(const QString& path, std::function<void()> then);

    EngineClient& engine_;
    IPlayer& player_;
    Settings& settings_;
    VolumeControl& volume_;
    InputChoices& choices_;
    InputChoice inputs_;
    Step step_ = Step::Preparing;
    int testNumber_ = 0;
    int sourceCount_ = 0;
    bool busy_ = false;
    bool nextEnabled_ = true;
    bool rerun_ = false;
    bool finished_ = false; // Done has put a source in use
    QString description_;
    QTimer playbackWatch_;
    QString playing_;
    std::function<void()> afterPlayback_;
    int playbackPolls_ = 0;
    mutable std::unique_ptr<QTemporaryDir> testFolder_;
};

} // namespace tw
