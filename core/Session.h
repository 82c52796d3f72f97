#pragma once

#include "core/Converter.h"
#include "core/DOSOutputs.h"
#include "core/EngineClient.h"
#include "core/InputChoices.h"
#include "core/InputMeter.h"
#include "core/Playback.h"
#include "core/Recorder.h"
#include "core/Recovery.h"
#include "core/Settings.h"
#include "core/SoundCardWizard.h"
#include "core/StatusLine.h"
#include "core/TakeStore.h"
#include "core/TakeTimer.h"
#include "core/Takes.h"
#include "core/VoiceTrigger.h"
#include "core/VolumeControl.h"
#include "platform/IMessageBox.h"

#include <QObject>
#include <QTimer>
#include <memory>

namespace tw {

class IAudioLibraries;
class IPlayer;
class Session;

// The runner's messages and a front end's questions are modal: while one is open, commands
// wait. Without a message-box service an error message goes to the status line.
class GuardedMessageBox final : public IMessageBox {
  public:
    GuardedMessageBox(IMessageBox* box, Session& session) : box_(box), session_(session) {}
    void critical(const QString& text) override;
    // Without a message-box service nobody can answer: No.
    bool question(const QString& text) override;

  private:
    IMessageBox* box_;
    Session& session_;
};

// The application: everything one run of the program knows and does, without a window. It
// owns the settings, the recorder and its clock, the list of takes, the conversions, playback,
// the set-up wizard's steps and the shutdown, and it holds the one rule that says whether a
// command may run now. Every front end (the windows, the hotkeys, the command line) hands it
// commands and shows what its signals say; none calls another.
class Session : public QObject {
    Q_OBJECT
  public:
    enum class Command { Record, Pause, Stop, Convert, SoundCardSetup };
    Q_ENUM(Command)

    Session(const QString& appDir, IAudioLibraries& audio, IPlayer& player, IMessageBox* messages,
            QObject* parent = nullptr);
    ~Session() override;

    Settings settings;
    StatusLine status;
    EngineClient engine;
    VolumeControl volume;
    Recorder recorder;
    Takes takes;
    Playback playback;
    // The inputs and programs the windows offer (the wizard's and the inputs window).
    InputChoices inputChoices;
    SoundCardWizard wizard;
    // Started by the program once it is configured; tests on fakes leave it alone.
    Recovery recovery;
    // Active while a take or the wizard's test records.
    InputMeter meter;
    // The list across runs: opened by the program, never by tests that do not ask for it.
    TakeStore store;
    // The rules that start and stop takes by themselves. Stop, from any front end, cancels
    // both (and is allowed while one waits).
    TakeTimer timer;
    VoiceTrigger voice;

    // Seconds of the input kept before each start (0: off), from Config.ini and Preferences.
    int preRecordSeconds() const { return preRecordSeconds_; }
    void setPreRecordSeconds(int seconds);
    // The engine keeps the input open between takes: for pre-record or voice activation.
    bool inputKeptOpen() const;
    // The engine has been asked to keep it open now (between takes).
    bool listening() const { return listening_; }

    // The sound server's description of the source in use ("" until it answers).
    const QString& inputDescription() const { return inputDescription_; }
    // Asks the engine which source is in use now.
    void describeInput();

    // What takes record besides or instead of the source: from Config.ini, the wizard's Done
    // and the inputs window.
    const InputChoice& inputs() const { return inputs_; }
    // Stores the choice and hands it to the engine before the next take: at once when no take
    // runs, else as soon as it ends.
    void setInputs(const InputChoice& inputs);

    DOSOutputs& runner() { return *runner_; }
    Converter& converter() { return *converter_; }

    // Start-up of a configured run: source, volume, engine source and format from Config.ini.
    void loadConfiguration();
    // A source is in use: from Config.ini, or since the first run's wizard was done.
    bool isConfigured() const { return configured_; }

    // "" when `command` may run now, else why not, in the status line's words.
    QString refusal(Command command) const;
    // Whether `command` may run now; if not, the status line says why for a while.
    bool allowed(Command command);
    // Runs Record, Pause (or Resume) or Stop when the rule allows it, else says why on the
    // status line. True when it ran.
    bool request(Command command);
    // The same for a rule's own command (the timer's, voice activation's): its Stop cancels
    // no rule.
    // `startAtShare`: a Record set off by sound begins just before the first sample of that
    // level among the audio kept (0: with all of it).
    bool requestByRule(Command command, double startAtShare = 0);

    // Where takes go from now on: kept for the run whether or not Config.ini could store it.
    void setSavePosition(const QString& path);

    // Commands on a line of the list (row -1: none selected). A line converts to any of
    // outputFormats(), MP3 unless told.
    void convertLine(int row, const QString& formatId = QStringLiteral("mp3"));
    void convertFile(const QString& path);
    // What deleteLine did.
    enum class Deletion { Nothing, Trashed, Deleted, NeedsConfirmation, Failed };
    // Moves the line's file (a normal, not hidden, file) to the desktop's trash and drops the
    // line; undoDelete() puts both back. Where the file cannot go to the trash nothing
    // changes and the answer is NeedsConfirmation, with the reason in trashRefusal(), unless
    // `forGood`: then the file is deleted for good.
    Deletion deleteLine(int row, bool forGood = false);
    const QString& trashRefusal() const { return trashRefusal_; }
    // Puts the last file moved to the trash back under its name (never over a file that took
    // the name meanwhile) and lists it again where it was.
    bool undoDelete();
    // The file undoDelete() would put back, "" when there is none.
    QString undoableDelete() const { return trashed_.original; }
    void clearList();

    // The sound-card set-up holds the recorder while its window is open: no take may start.
    // Opening is refused (and said) while a take runs; a set-up program restarts its steps.
    bool openSoundCardSetup(bool firstRun = false);
    // The window closed, or handed over after Done.
    void closeSoundCardSetup();
    bool soundCardSetupOpen() const { return setupOpen_; }

    // A front end's modal dialog or menu is open: commands wait until it closes.
    class Modal {
      public:
        explicit Modal(Session& session);
        ~Modal();
        Modal(const Modal&) = delete;
        Modal& operator=(const Modal&) = delete;

      private:
        Session& session_;
    };
    bool modalOpen() const { return modal_ > 0; }

    // Ends the run: a take that is starting or running is saved, a conversion is stopped and
    // its unfinished file removed, playback closed and the volume kept; then `quitReady`.
    // Asking again changes nothing.
    void quit();
    bool quitting() const { return quitting_; }

  signals:
    void inputDescribed(const QString& description);
    // What refusal() answers may have changed.
    void commandsChanged();
    // The shutdown is done: the program may end.
    void quitReady();
    // The program can record from now on (once a run).
    void configured();
    // A take is saved and listed at `path`; `warning` is what went wrong with it ("" when
    // nothing did).
    void takeListed(const QString& path, int seconds, const QString& warning);
    // A conversion that ran (of a take, a line, a file or a recovered take) has ended.
    void conversionEnded(const QString& input, const QString& output, bool ok, const QString& why);
    // Takes a killed run left behind were recovered and listed at start.
    void takesRecovered(const QStringList& paths);
    // A line's file was moved to the desktop's trash (`undoable`: undoDelete() puts it
    // back) or deleted for good.
    void fileDeleted(const QString& path, bool undoable);
    // What undoableDelete() answers has changed.
    void undoChanged(const QString& undoable);
    // The input is open between takes (for pre-record or voice activation), or no longer.
    void listeningChanged(bool listening);

  private:
    // Opens the input between takes, or closes it, as inputKeptOpen() says; also reopens it
    // after the server or the source changed under it.
    void keepInputOpen();
    // The rules' connections and the status line's note of what they wait for.
    void watchRules();
    // Cancels the timer and voice activation; true when one was set.
    bool cancelRules();
    // The audio before a start the take keeps: the pre-record span, and for a start by voice
    // activation at least the sound that set it off.
    void leadForStart(bool byRule, double startAtShare);
    int listenKeepMs() const;
    void showRules(bool force);
    bool perform(Command command);
    void takeSaved(const QString& path, int seconds, const QString& warning);
    void encodeRecoveredTake(const QString& path, int seconds);
    void recoveredTakeEncoded(const QString& wav, const QString& output, bool ok,
                              const QString& why);
    void conversionFinished(const QString& input, const QString& output, bool ok, bool started,
                            const QVariant& tag, const QString& why);
    void continueQuit();
    // The engine's second input, program and mix from inputs_, when no take or test holds the
    // engine; else once it is free.
    void applyInputs();
    // The wizard tests each source alone.
    void useSourceAlone();
    // Tells the engine what differs from what it was told; true when anything did.
    bool tellEngine(const InputChoice& inputs);
    void watchInputs();
    void markConfigured();
    // Says on the status line why a command did not run; after a while the line shows again
    // what it showed before, unless something else has been said meanwhile.
    void sayWhyNot(const QString& why);
    void convert(const QString& input, const QVariant& tag,
                 const OutputFormat& format = mp3Format());

    GuardedMessageBox messages_;
    std::unique_ptr<DOSOutputs> runner_;
    std::unique_ptr<Converter> converter_;
    QString inputDescription_;
    InputChoice inputs_;
    // What the engine was told last; it starts with the source alone.
    InputChoice engineInputs_;
    bool inputsPending_ = false;
    QStringList recoveredNow_;
    struct Trashed {
        QString original, inTrash;
        int row = -1;
        Takes::Take take;
    } trashed_;
    QString trashRefusal_;
    int modal_ = 0;
    bool setupOpen_ = false;
    bool quitting_ = false;
    bool quitDone_ = false;
    bool configured_ = false;
    int preRecordSeconds_ = 0;
    bool listening_ = false;
    int listenKeepMs_ = -1;
    RecordingFormat listenFormat_;
    QTimer listenCheck_;
    QTimer rulesShown_;
    QString rulesText_;
    QTimer whyNotShown_;
    QString whyNot_;
    QString textBefore_;
    int colourBefore_ = 0;
};

} // namespace tw
