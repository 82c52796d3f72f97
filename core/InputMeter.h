#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <array>

namespace tw {

class EngineClient;
struct EngineLevel;

// The input's level for the meter, read from the engine twenty times a second while it is
// active: the peak of the last span, a peak held for a while, a clip mark, and whether the
// input has been silent (below -60 dBFS) for five seconds.
class InputMeter : public QObject {
    Q_OBJECT
  public:
    explicit InputMeter(EngineClient& engine, QObject* parent = nullptr);

    // Active while a take or a test recording may run; inactive, it shows nothing.
    void setActive(bool active);
    bool active() const { return timer_.isActive(); }
    bool silent() const { return silent_; }
    // How long the input must stay below -60 dBFS to count as silent.
    void setSilenceSpan(int ms) { silentMs_ = ms; }

    // Shares of full scale in decibels (full scale 0 dB; silence -inf).
    static double decibels(double share);
    static constexpr double kSilence = 0.001; // -60 dBFS
    static constexpr int kHoldMs = 1500;
    static constexpr int kClipShownMs = 2000;

    // With two inputs the meter also reads each one's own level (first, second); the mixed
    // level still decides silence and voice activation.
    void setInputCount(int count);
    int inputCount() const { return inputCount_; }

    // One reading of the engine; the timer calls it.
    void read();

  signals:
    // Shares of full scale; all 0 when inactive.
    void levelChanged(double peak, double hold, bool clipped);
    // Silence began (five seconds of it) or ended.
    void silenceChanged(bool silent);
    // With two inputs, one input's level as levelChanged gives the mixed one (0 the first).
    void inputLevelChanged(int input, double peak, double hold, bool clipped);
    void inputCountChanged(int count);

  private:
    // One level as the meter shows it: the last peak, a peak held a while, a recent clip.
    struct Track {
        qint64 updates = -1;
        double peak = 0, hold = 0;
        QElapsedTimer held, clipped;
        void reset();
        // False when the engine has measured nothing new since the last reading.
        bool take(const EngineLevel& level);
        bool clipShown() const;
    };
    void setSilent(bool silent);
    void resetTracks();

    EngineClient& engine_;
    QTimer timer_;
    Track mixed_;
    std::array<Track, 2> inputs_;
    int inputCount_ = 1;
    QElapsedTimer quiet_;
    bool silent_ = false;
    int silentMs_ = 5000;
};

} // namespace tw
