#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

namespace tw {

class Session;

// Voice activation's thresholds, from Preferences.
struct VoiceSettings {
    double startDb = -40;   // a take starts when the input stays above this...
    int startMs = 200;      // ...for this long
    double silenceDb = -50; // silence: below this...
    int silenceMs = 3000;   // ...for this long
    bool split = false;     // on silence: end the take (the next one starts on sound), else pause

    friend bool operator==(const VoiceSettings&, const VoiceSettings&) = default;
};

// Voice activation: a front end of the session that starts a take when the input's level
// stays above a threshold, and on silence pauses it (resuming on sound) or ends it, the next
// take starting when sound comes again. It reads the level the engine exports while the
// input is open for it, never a capture of its own.
class VoiceTrigger : public QObject {
    Q_OBJECT
  public:
    explicit VoiceTrigger(Session& session, QObject* parent = nullptr);

    // Armed, it waits for sound; Stop disarms it, as it cancels every rule.
    void arm();
    void disarm();
    bool armed() const { return armed_; }
    // The thresholds in force (read from Config.ini when armed and when Preferences change).
    const VoiceSettings& thresholds() const { return settings_; }
    void setThresholds(const VoiceSettings& settings);
    // "Waiting for sound above −40 dB"; "" when disarmed or while sound records.
    QString waitingText() const;
    // How much audio before the trigger a take keeps, so that its first sound is in it.
    int leadMs() const { return settings_.startMs + 500; }

    // One reading of the input's peak (share of full scale); the meter hands each on.
    void levelRead(double peak);

  signals:
    void armedChanged(bool armed);
    void thresholdsChanged(const tw::VoiceSettings& settings);

  private:
    Session& session_;
    VoiceSettings settings_;
    bool armed_ = false;
    QElapsedTimer above_, below_;
    bool pausedBySilence_ = false;
};

} // namespace tw
