#pragma once

#include "core/OutputFormat.h"
#include "core/TakeFormat.h"
#include "core/VoiceTrigger.h"
#include "platform/ConfigFile.h"

#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

namespace tw {

struct RecordingFormat {
    int32_t Channels = 0;
    int32_t SamplesPerSec = 0;
    int32_t BitsPerSample = 0;
    friend bool operator==(const RecordingFormat&, const RecordingFormat&) = default;
};

// The main window's format panel text: rate and sample size, never the channel count.
QString formatCaption(const RecordingFormat& f);
// Megabytes (of 1,048,576 bytes) per minute, as a single.
float dataRatePerMinute(const RecordingFormat& f);
// The sample rates the format dialog offers, lowest first. 48000 Hz is PipeWire's and most
// sound cards' own rate, which a take then records without resampling.
const QList<int32_t>& offeredRates();
// A rate with three decimals and always a point, rounded as the format dialog shows it.
QString rateText(float rate);
// Megabytes per second from the rate as the format dialog shows it.
QString megabytesPerSecond(const RecordingFormat& f);

// What a take records besides (or instead of) the recording source: a second input mixed in,
// or one program's sound alone as the first input, and how the two are mixed.
struct InputChoice {
    static constexpr int kDefaultLevel = 100;
    static constexpr int kMaxLevel = 200;
    int secondSource = 0;           // one-based engine number, as "Recording Source"; 0 none
    QString application;            // the program's name as the sound server knows it; "" none
    int firstLevel = kDefaultLevel; // percent, 0..200
    int secondLevel = kDefaultLevel;
    bool ownChannels = false; // stereo: the first input left, the second right
    bool twoInputs() const { return secondSource > 0; }
    // Anything but the recording source alone at its own level.
    bool plain() const { return *this == InputChoice(); }
    friend bool operator==(const InputChoice&, const InputChoice&) = default;
};

// The settings of a run: the keys of Config.ini, each read and written in one place, and the
// values that last only for the run (format in use, convert-on-completion, encoder switches,
// source and volume).
class Settings : public QObject {
    Q_OBJECT
  public:
    explicit Settings(QString appDir, QObject* parent = nullptr);

    const QString& appDir() const { return appDir_; }
    ConfigFile& file() { return config_; }
    // Without a recording source the program cannot record: the wizard must find one.
    bool firstRun() const;
    QString appFile(const QString& name) const { return appDir_ + QLatin1Char('/') + name; }
    // Where takes go until the user chooses: beside the program, or in the user's music
    // folder when the program's folder cannot be written.
    QString defaultSavePosition() const;
    // The folders of Config.ini and of the default takes, for a program folder that can or
    // cannot be written.
    static QString settingsFolder(const QString& appDir, bool appDirWritable);
    static QString savingFolder(const QString& appDir, bool appDirWritable);

    // "Recording Source" is one-based in the file; a missing key gives -2 for the mixer and
    // -1 for the engine, as the two readings of it always have.
    int32_t mixerSourceFromFile() const;
    int32_t engineSourceFromFile() const;
    // Nothing when the file has no volume: the source keeps the one it has.
    std::optional<int> volumeFromFile() const;
    // Each write answers whether Config.ini now holds it, and says so (`writeFailed`) if not.
    bool writeVolume(int volume);
    RecordingFormat formatFromFile() const;
    bool writeFormat(const RecordingFormat& f);
    // "Save Position", whole up to PATH_MAX - 1 characters; the default Save Position when
    // absent or empty.
    QString savePosition() const;
    bool writeSavePosition(const QString& path);
    // What the sound-card wizard stores for the source it found.
    bool writeWizardResult(int sourceNumber);
    // The same, for a program set up already: the source and the format, not the Save Position.
    bool writeWizardSource(int sourceNumber);
    // "<what> could not be saved in <Config.ini's path>.", for the status line.
    QString writeFailure(const QString& what) const;

    // The format of new recordings. The format dialog shows Config.ini's when it opens and
    // changes the format at once; closing it without Ok puts back the one in force before.
    RecordingFormat format;
    void openFormat();
    void acceptFormat();
    void cancelFormat();
    // The format takes effect: the main window shows it.
    void announceFormat() { emit formatAnnounced(format); }

    // "Take Format": WAV when the key is missing or holds no format's name; `unknown` then
    // gets the value that was not understood.
    TakeFormat takeFormatFromFile(QString* unknown = nullptr) const;
    bool writeTakeFormat(TakeFormat format);
    // The format of the next take, from Config.ini at the start and from Preferences.
    TakeFormat takeFormat = TakeFormat::Wav;

    // "Take Name Pattern": date and time fields (%Y, %m, %d, %H, %M, %S, …) for the names of
    // new takes; "" (the default) keeps the numbered names.
    QString takeNamePattern() const;
    bool writeTakeNamePattern(const QString& pattern);
    // "Notifications": on unless the key holds 0.
    bool notificationsOn() const;
    bool writeNotificationsOn(bool on);
    // "Keep In Tray": 1 when closing the main window leaves the program running in the tray.
    bool keepInTray() const;
    bool writeKeepInTray(bool on);
    // "GNOME Shortcuts Offered": 1 once the user was asked whether the desktop should run
    // F9, F10 and F11; the question comes once.
    bool gnomeShortcutsOffered() const;
    bool writeGnomeShortcutsOffered();
    // "Pre-record Seconds": 1..10 keeps that much of the input before each start (the input
    // then stays open while the program runs); 0 or missing, off.
    int preRecordSeconds() const;
    bool writePreRecordSeconds(int seconds);
    // "Voice Start dB", "Voice Start ms", "Voice Silence dB", "Voice Silence ms" and
    // "Voice On Silence" (pause or split); missing or unreadable values take the defaults.
    VoiceSettings voiceSettings() const;
    bool writeVoiceSettings(const VoiceSettings& voice);

    // "Second Recording Source", "Application Source", "First Input Level", "Second Input
    // Level" and "Inputs On Own Channels": a value out of range is clamped, one that is no
    // number takes the default.
    InputChoice inputChoice() const;
    bool writeInputChoice(const InputChoice& inputs);

    int AutoMp3 = 0;
    QString LameOptions = mp3Format().defaultOptions;
    int32_t SourceIndex = 0;

  signals:
    void formatAnnounced(const RecordingFormat& format);
    // A setting could not be stored: `text` names it and the file.
    void writeFailed(const QString& text);

  private:
    bool writeSetup(int sourceNumber, bool withSavePosition);
    bool written(bool ok, const QString& what);

    QString appDir_;
    bool appDirWritable_ = true;
    ConfigFile config_;
    RecordingFormat formatBeforeDialog_;
};

} // namespace tw
