#pragma once

#include "core/Converter.h"
#include "core/DOSOutputs.h"
#include "core/EngineClient.h"
#include "core/InputMeter.h"
#include "core/Playback.h"
#include "core/Recorder.h"
#include "core/Recovery.h"
#include "core/Settings.h"
#include "core/SoundCardWizard.h"
#include "core/StatusLine.h"
#include "core/Takes.h"
#include "core/VolumeControl.h"
#include "platform/IMessageBox.h"

#include <QObject>
#include <memory>

namespace tw {

class IAudioLibraries;
class IPlayer;

// The runner's messages are modal: while one is open a handler is running, so hotkeys wait.
// Without a message-box service the message goes to the status line.
class GuardedMessageBox final : public IMessageBox {
  public:
    GuardedMessageBox(IMessageBox* box, StatusLine& status) : box_(box), status_(status) {}
    void critical(const QString& text) override;

  private:
    IMessageBox* box_;
    StatusLine& status_;
};

// Everything one run of the program knows, without a window: the settings, the recorder,
// the list of takes, the conversions, playback and the set-up wizard's steps. The windows
// show it and hand the user's commands to it.
class Session : public QObject {
    Q_OBJECT
  public:
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
    SoundCardWizard wizard;
    // Started by the program once it is configured; tests on fakes leave it alone.
    Recovery recovery;
    // Active while a take or the wizard's test records.
    InputMeter meter;

    // The sound server's description of the source in use ("" until it answers).
    const QString& inputDescription() const { return inputDescription_; }
    // Asks the engine which source is in use now.
    void describeInput();

    DOSOutputs& runner() { return *runner_; }
    Converter& converter() { return *converter_; }

    // Start-up of a configured run: source, volume, engine source and format from Config.ini.
    void loadConfiguration();

    // Commands on a line of the list (row -1: none selected).
    void convertLine(int row);
    void convertFile(const QString& path);
    // Deletes the line's file (a normal, not hidden, file) and then the line.
    void deleteLine(int row);
    void clearList();

    // A program-wide wait of its own: an engine call on its way, a wizard step running, or a
    // handler marked as running (a modal box, a file dialog, a yield). Hotkeys do nothing then.
    bool handlerRunning() const;
    // Says so and answers true while a conversion runs.
    bool refuseWhileConverting();

  signals:
    void inputDescribed(const QString& description);

  private:
    void takeSaved(const QString& path, int seconds, const QString& warning);
    void conversionFinished(const QString& input, const QString& output, bool ok, bool started,
                            const QVariant& tag, const QString& why);

    GuardedMessageBox messages_;
    std::unique_ptr<DOSOutputs> runner_;
    std::unique_ptr<Converter> converter_;
    bool autoConversionFailed_ = false;
    QString inputDescription_;
};

} // namespace tw
