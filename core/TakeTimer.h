#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

namespace tw {

class Session;

// What the timer is set to do. Without a start time, the stop rule applies to the take that
// runs when it is set, or else to the next one, whichever front end starts it.
struct TimerPlan {
    std::optional<QDateTime> startAt; // local wall-clock time
    enum class Stop { Never, AfterDuration, AtClockTime, AtFileSize };
    Stop stop = Stop::Never;
    qint64 durationMs = 0; // AfterDuration: time recorded, pauses left out
    QTime stopAt;          // AtClockTime: the first time the clock reads it after the start
    qint64 maxBytes = 0;   // AtFileSize: the take's size as the status line counts it
    bool daily = false;    // with a start time: the same again every day until cancelled

    // "" when the plan can be set, else why not in the user's words.
    QString problem(const QDateTime& now) const;
    // One line for the Timer window's list: "Start 2026-12-09 14:00, stop after 30 min, daily".
    QString describe() const;
};

// "90", "45s", "30m", "2h", "1h30m": a length of time in milliseconds, or nothing for text
// that is no such length (also 0 and lengths over a week).
std::optional<qint64> parseDuration(const QString& text);
// "2 h 3 min", "45 s": a length for the status line, rounded down to what is worth saying.
QString durationText(qint64 ms);

// The timer: a front end of the session that issues Record and Stop at the times its plan
// says, through the same rule as every other front end. It follows the wall clock, so a
// start is still right after the machine slept: it looks at the clock at least once a second.
class TakeTimer : public QObject {
    Q_OBJECT
  public:
    explicit TakeTimer(Session& session, QObject* parent = nullptr);

    // Replaces what was set; "" when it is set, else why not (and nothing changes).
    QString set(const TimerPlan& plan);
    // Drops the plan (Stop does so too); a take it started goes on until stopped.
    void cancel();
    const std::optional<TimerPlan>& plan() const { return plan_; }
    bool armed() const { return plan_.has_value(); }
    // What it waits for, in the status line's words ("Recording at 14:00 — in 2 h 3 min",
    // "Stopping at 15:00 — in 55 min"); "" when nothing is set.
    QString waitingText() const;

    // Tests give a clock of their own (it may jump, as after a sleep).
    void setWallClock(std::function<QDateTime()> now);
    // Looks at the clock and acts; the timer calls it.
    void check();

  signals:
    // The plan was set, cancelled, carried out or moved on to the next day.
    void planChanged();

  private:
    void start(const QDateTime& now);
    void takeBegan();
    void takeEnded();
    void schedule();
    bool stopDue(const QDateTime& now) const;

    Session& session_;
    std::optional<TimerPlan> plan_;
    std::function<QDateTime()> now_;
    QTimer tick_;
    // The take the plan's stop rule governs is running (started by it or by hand).
    bool governing_ = false;
    bool started_ = false; // the plan's start has been issued
    QDateTime takeStart_;
};

} // namespace tw
