#include "core/TakeTimer.h"

#include "core/Session.h"

#include <QRegularExpression>

namespace tw {

namespace {
// The clock is looked at at least this often: after a sleep, a start that fell due while the
// machine was off happens within this time of waking.
constexpr qint64 kLookEveryMs = 1000;
constexpr qint64 kWeekMs = 7LL * 24 * 3600 * 1000;

QString clockText(const QDateTime& when, const QDateTime& now) {
    const QString time = when.toString(QStringLiteral("HH:mm"));
    if (when.date() == now.date())
        return time;
    if (when.date() == now.date().addDays(1))
        return QStringLiteral("%1 tomorrow").arg(time);
    return when.toString(QStringLiteral("ddd d MMM HH:mm"));
}

// The moment a stop at a time of day falls for a take that began at `start`.
QDateTime stopMomentAfter(const QDateTime& start, QTime stopAt) {
    QDateTime moment(start.date(), stopAt);
    return moment > start ? moment : moment.addDays(1);
}
} // namespace

std::optional<qint64> parseDuration(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral(
            "^\\s*(?:(\\d+)\\s*h)?\\s*(?:(\\d+)\\s*m)?\\s*(?:(\\d+(?:\\.\\d+)?)\\s*s?)?\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = form.match(text);
    if (text.trimmed().isEmpty() || !match.hasMatch())
        return std::nullopt;
    const double ms = match.captured(1).toDouble() * 3600000 +
                      match.captured(2).toDouble() * 60000 + match.captured(3).toDouble() * 1000;
    if (ms < 1 || ms > double(kWeekMs))
        return std::nullopt;
    return qint64(ms);
}

QString durationText(qint64 ms) {
    const qint64 seconds = std::max<qint64>(ms, 0) / 1000;
    const qint64 days = seconds / 86400, hours = seconds % 86400 / 3600,
                 minutes = seconds % 3600 / 60;
    if (days > 0)
        return QStringLiteral("%1 d %2 h").arg(days).arg(hours);
    if (hours > 0)
        return minutes > 0 ? QStringLiteral("%1 h %2 min").arg(hours).arg(minutes)
                           : QStringLiteral("%1 h").arg(hours);
    if (minutes > 0)
        return QStringLiteral("%1 min").arg(minutes);
    return QStringLiteral("%1 s").arg(seconds);
}

QString TimerPlan::problem(const QDateTime& now) const {
    if (stop == Stop::AfterDuration && (durationMs <= 0 || durationMs > kWeekMs))
        return QStringLiteral("Give a length between one second and a week.");
    if (stop == Stop::AtFileSize && maxBytes <= 0)
        return QStringLiteral("Give a file size above 0 MB.");
    if (stop == Stop::AtClockTime && !stopAt.isValid())
        return QStringLiteral("Give the time of day the recording stops.");
    if (daily && !startAt)
        return QStringLiteral("A daily recording needs a start time.");
    if (startAt && !startAt->isValid())
        return QStringLiteral("Give the date and time the recording starts.");
    // A daily start in the past begins tomorrow; a single one would never happen.
    if (startAt && !daily && *startAt <= now)
        return QStringLiteral("%1 has passed; give a time to come.")
            .arg(startAt->toString(QStringLiteral("yyyy-MM-dd HH:mm")));
    if (startAt && stop == Stop::Never)
        return QStringLiteral("A recording the timer starts needs a way to stop: a length, a "
                              "time or a file size.");
    return QString();
}

QString TimerPlan::describe() const {
    QStringList parts;
    parts << (startAt ? QStringLiteral("Start %1")
                            .arg(startAt->toString(QStringLiteral("yyyy-MM-dd HH:mm")))
                      : QStringLiteral("Next take"));
    switch (stop) {
    case Stop::Never:
        parts << QStringLiteral("no stop");
        break;
    case Stop::AfterDuration:
        parts << QStringLiteral("stop after %1").arg(durationText(durationMs));
        break;
    case Stop::AtClockTime:
        parts << QStringLiteral("stop at %1").arg(stopAt.toString(QStringLiteral("HH:mm")));
        break;
    case Stop::AtFileSize:
        parts << QStringLiteral("stop at %1 MB").arg(double(maxBytes) / 1048576, 0, 'f', 1);
        break;
    }
    if (daily)
        parts << QStringLiteral("daily");
    return parts.join(QStringLiteral(", "));
}

TakeTimer::TakeTimer(Session& session, QObject* parent)
    : QObject(parent), session_(session), now_([] { return QDateTime::currentDateTime(); }) {
    tick_.setSingleShot(true);
    tick_.setTimerType(Qt::PreciseTimer);
    connect(&tick_, &QTimer::timeout, this, &TakeTimer::check);
    connect(&session_.recorder, &Recorder::phaseChanged, this, [this](Recorder::Phase phase) {
        if (phase == Recorder::Phase::Recording && !governing_)
            takeBegan();
        else if (phase == Recorder::Phase::Idle)
            takeEnded();
    });
}

void TakeTimer::setWallClock(std::function<QDateTime()> now) {
    now_ = std::move(now);
    schedule();
}

QString TakeTimer::set(const TimerPlan& plan) {
    const QDateTime now = now_();
    const QString why = plan.problem(now);
    if (!why.isEmpty())
        return why;
    plan_ = plan;
    started_ = false;
    governing_ = false;
    if (plan_->startAt && plan_->daily)
        while (*plan_->startAt <= now)
            plan_->startAt = plan_->startAt->addDays(1);
    // Without a start time the rule takes over the take that runs now.
    if (!plan_->startAt && session_.recorder.takeRunning())
        takeBegan();
    schedule();
    emit planChanged();
    return QString();
}

void TakeTimer::cancel() {
    if (!plan_)
        return;
    plan_.reset();
    governing_ = false;
    started_ = false;
    tick_.stop();
    emit planChanged();
}

void TakeTimer::takeBegan() {
    if (!plan_ || (plan_->startAt && !started_))
        return;
    governing_ = true;
    // A stop at a time of day counts from the planned start, so that a late start (the
    // machine woke late) still ends when the plan said.
    takeStart_ = started_ && plan_->startAt ? *plan_->startAt : now_();
    schedule();
}

void TakeTimer::takeEnded() {
    if (!plan_ || !(governing_ || started_))
        return;
    governing_ = false;
    started_ = false;
    if (plan_->daily) {
        const QDateTime now = now_();
        while (*plan_->startAt <= now)
            plan_->startAt = plan_->startAt->addDays(1);
    } else {
        plan_.reset();
    }
    schedule();
    emit planChanged();
}

bool TakeTimer::stopDue(const QDateTime& now) const {
    switch (plan_->stop) {
    case TimerPlan::Stop::Never:
        return false;
    case TimerPlan::Stop::AfterDuration:
        return session_.recorder.elapsedMs() >= plan_->durationMs;
    case TimerPlan::Stop::AtClockTime:
        return now >= stopMomentAfter(takeStart_, plan_->stopAt);
    case TimerPlan::Stop::AtFileSize:
        return session_.recorder.bytesSoFar() >= plan_->maxBytes;
    }
    return false;
}

void TakeTimer::check() {
    if (!plan_)
        return;
    const QDateTime now = now_();
    if (governing_) {
        if (session_.recorder.takeRunning() && stopDue(now))
            session_.requestByRule(Session::Command::Stop);
    } else if (plan_->startAt && !started_ && now >= *plan_->startAt) {
        start(now);
        if (!plan_)
            return;
    }
    schedule();
}

void TakeTimer::start(const QDateTime& now) {
    // Asleep through the whole span (a stop at a time of day already past): nothing to
    // record this time.
    if (plan_->stop == TimerPlan::Stop::AtClockTime &&
        now >= stopMomentAfter(*plan_->startAt, plan_->stopAt)) {
        session_.status.set(QStringLiteral("The timer's recording at %1 was missed: the "
                                           "computer was off or asleep.")
                                .arg(plan_->startAt->toString(QStringLiteral("yyyy-MM-dd HH:mm"))),
                            kRed);
        started_ = true;
        takeEnded();
        return;
    }
    // A take started by hand a little early is the one the plan stops.
    if (session_.recorder.takeRunning()) {
        started_ = true;
        takeBegan();
        emit planChanged();
        return;
    }
    // A dialog, the sound card setting, a save or a conversion holds the start back: it is
    // tried again at each look, so the recording begins as soon as they let it.
    const QString why = session_.refusal(Session::Command::Record);
    if (!why.isEmpty()) {
        const QString held = QStringLiteral("The timer's recording waits: ") + why;
        if (session_.status.text() != held)
            session_.status.set(held, kRed);
        return;
    }
    started_ = true;
    session_.requestByRule(Session::Command::Record);
}

void TakeTimer::schedule() {
    if (!plan_) {
        tick_.stop();
        return;
    }
    qint64 wait = kLookEveryMs;
    if (governing_ && plan_->stop == TimerPlan::Stop::AfterDuration)
        wait = std::min(wait, plan_->durationMs - session_.recorder.elapsedMs());
    else if (!governing_ && plan_->startAt && !started_)
        wait = std::min(wait, now_().msecsTo(*plan_->startAt));
    tick_.start(int(std::clamp<qint64>(wait, 1, kLookEveryMs)));
}

QString TakeTimer::waitingText() const {
    if (!plan_)
        return QString();
    const QDateTime now = now_();
    if (plan_->startAt && !started_)
        return QStringLiteral("Recording at %1 — in %2")
            .arg(clockText(*plan_->startAt, now), durationText(now.msecsTo(*plan_->startAt)));
    QString stop;
    switch (plan_->stop) {
    case TimerPlan::Stop::Never:
        return QString();
    case TimerPlan::Stop::AfterDuration:
        stop = governing_
                   ? QStringLiteral("Stopping after %1 — in %2")
                         .arg(durationText(plan_->durationMs),
                              durationText(plan_->durationMs - session_.recorder.elapsedMs()))
                   : QStringLiteral("The next take stops after %1")
                         .arg(durationText(plan_->durationMs));
        break;
    case TimerPlan::Stop::AtClockTime: {
        const QDateTime at = stopMomentAfter(governing_ ? takeStart_ : now, plan_->stopAt);
        stop = governing_ ? QStringLiteral("Stopping at %1 — in %2")
                                .arg(clockText(at, now), durationText(now.msecsTo(at)))
                          : QStringLiteral("The next take stops at %1")
                                .arg(plan_->stopAt.toString(QStringLiteral("HH:mm")));
        break;
    }
    case TimerPlan::Stop::AtFileSize:
        stop = QStringLiteral("%1 at %2 MB")
                   .arg(governing_ ? QStringLiteral("Stopping")
                                   : QStringLiteral("The next take stops"))
                   .arg(double(plan_->maxBytes) / 1048576, 0, 'f', 1);
        break;
    }
    return stop;
}

} // namespace tw
