#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace tw {

class EngineClient;

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

    // One reading of the engine; the timer calls it.
    void read();

  signals:
    // Shares of full scale; all 0 when inactive.
    void levelChanged(double peak, double hold, bool clipped);
    // Silence began (five seconds of it) or ended.
    void silenceChanged(bool silent);

  private:
    void setSilent(bool silent);

    EngineClient& engine_;
    QTimer timer_;
    qint64 updates_ = -1;
    double peak_ = 0, hold_ = 0;
    QElapsedTimer held_, clipped_, quiet_;
    bool silent_ = false;
    int silentMs_ = 5000;
};

} // namespace tw
