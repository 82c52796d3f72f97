#include "dialogs/TimerWindow.h"

#include "core/Session.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tw {

namespace {

constexpr qint64 kMegabyte = 1024 * 1024;
const QString kNothingSet = QStringLiteral("Nothing is set.");

// The next whole hour: a start a user is likely to want, and never one that has passed.
QDateTime nextWholeHour() {
    const QDateTime now = QDateTime::currentDateTime();
    return QDateTime(now.date(), QTime(now.time().hour(), 0)).addSecs(3600);
}

// A length as the duration box takes it back: "1h30m", "45m", "90s".
QString durationEntry(qint64 ms) {
    const qint64 seconds = ms / 1000;
    if (seconds % 60 != 0)
        return QStringLiteral("%1s").arg(seconds);
    const qint64 hours = seconds / 3600, minutes = seconds / 60 % 60;
    if (hours == 0)
        return QStringLiteral("%1m").arg(minutes);
    return minutes == 0 ? QStringLiteral("%1h").arg(hours)
                        : QStringLiteral("%1h%2m").arg(hours).arg(minutes);
}

void setTextColour(QLabel* label, const QColor& colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

} // namespace

TimerWindow::TimerWindow(Session& session, const QIcon& icon)
    : QWidget(nullptr), session_(session) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Timer"));
    setWindowIcon(icon);

    auto* nowBox = new QGroupBox(QStringLiteral("Set now"), this);
    Current = new QLabel(nowBox);
    Current->setWordWrap(true);
    Current->setTextInteractionFlags(Qt::TextSelectableByMouse);
    (new QVBoxLayout(nowBox))->addWidget(Current);

    Refusal = new QLabel(this);
    Refusal->setWordWrap(true);
    setTextColour(Refusal, Qt::red);

    SetButton = new QPushButton(QStringLiteral("Set"), this);
    CancelButton = new QPushButton(QStringLiteral("Cancel timer"), this);
    CloseButton = new QPushButton(QStringLiteral("Close"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(SetButton);
    buttons->addWidget(CancelButton);
    buttons->addStretch();
    buttons->addWidget(CloseButton);

    auto* column = new QVBoxLayout(this);
    column->addWidget(buildStart());
    column->addWidget(buildStop());
    column->addWidget(nowBox);
    column->addWidget(Refusal);
    column->addLayout(buttons);
    column->setSizeConstraint(QLayout::SetFixedSize);
    // Two lines each, said or not: the window keeps its size as the texts come and go.
    for (QLabel* text : {Current, Refusal})
        text->setMinimumHeight(2 * text->fontMetrics().lineSpacing());

    if (session_.timer.plan())
        loadPlan(*session_.timer.plan());
    enableChoices();
    showDurationMeaning();
    showPlan();

    for (QRadioButton* choice :
         {StartByHand, StartAt, StopNever, StopAfter, StopAtTime, StopAtSize})
        connect(choice, &QRadioButton::toggled, this, [this] { enableChoices(); });
    connect(Duration, &QLineEdit::textChanged, this, [this] { showDurationMeaning(); });
    connect(SetButton, &QPushButton::clicked, this, [this] { Set_Click(); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelTimer_Click(); });
    connect(CloseButton, &QPushButton::clicked, this, &QWidget::close);
    connect(&session_.timer, &TakeTimer::planChanged, this, [this] { showPlan(); });
    refresh_.setInterval(1000);
    connect(&refresh_, &QTimer::timeout, this, [this] { showPlan(); });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
}

QWidget* TimerWindow::buildStart() {
    auto* box = new QGroupBox(QStringLiteral("Start"), this);
    StartByHand = new QRadioButton(QStringLiteral("When I start it"), box);
    StartByHand->setChecked(true);
    StartAt = new QRadioButton(QStringLiteral("At"), box);
    StartTime = new QDateTimeEdit(nextWholeHour(), box);
    StartTime->setDisplayFormat(QStringLiteral("yyyy-MM-dd  HH:mm"));
    StartTime->setCalendarPopup(true);
    Daily = new QCheckBox(QStringLiteral("Repeat daily"), box);
    auto* grid = new QGridLayout(box);
    grid->addWidget(StartByHand, 0, 0, 1, 2);
    grid->addWidget(StartAt, 1, 0);
    grid->addWidget(StartTime, 1, 1);
    grid->addWidget(Daily, 2, 1);
    grid->setColumnStretch(2, 1);
    return box;
}

QWidget* TimerWindow::buildStop() {
    auto* box = new QGroupBox(QStringLiteral("Stop"), this);
    StopNever = new QRadioButton(QStringLiteral("Never (I stop it)"), box);
    StopAfter = new QRadioButton(QStringLiteral("After"), box);
    // A take the timer starts needs a stop: the plan a user most likely wants is preset.
    StopAfter->setChecked(true);
    Duration = new QLineEdit(QStringLiteral("1h"), box);
    Duration->setPlaceholderText(QStringLiteral("90m, 2h, 1h30m"));
    Duration->setToolTip(QStringLiteral("Time recorded, pauses left out: a number with s, m or h "
                                        "after it, e.g. 45s, 30m, 2h or 1h30m"));
    DurationMeaning = new QLabel(box);
    StopAtTime = new QRadioButton(QStringLiteral("At"), box);
    StopTime = new QTimeEdit(nextWholeHour().addSecs(3600).time(), box);
    StopTime->setDisplayFormat(QStringLiteral("HH:mm"));
    StopAtSize = new QRadioButton(QStringLiteral("When the take reaches"), box);
    StopSize = new QSpinBox(box);
    StopSize->setRange(1, 4 * 1024 * 1024);
    StopSize->setValue(650);
    StopSize->setSuffix(QStringLiteral(" MB"));
    auto* grid = new QGridLayout(box);
    grid->addWidget(StopNever, 0, 0, 1, 3);
    grid->addWidget(StopAfter, 1, 0);
    grid->addWidget(Duration, 1, 1);
    grid->addWidget(DurationMeaning, 1, 2);
    grid->addWidget(StopAtTime, 2, 0);
    grid->addWidget(StopTime, 2, 1);
    grid->addWidget(StopAtSize, 3, 0);
    grid->addWidget(StopSize, 3, 1);
    grid->setColumnStretch(2, 1);
    // Room for the longest meaning, so that the window keeps its size while one types.
    DurationMeaning->setMinimumWidth(
        DurationMeaning->fontMetrics().horizontalAdvance(QStringLiteral("= 23 h 59 min")));
    return box;
}

void TimerWindow::loadPlan(const TimerPlan& plan) {
    if (plan.startAt) {
        StartAt->setChecked(true);
        StartTime->setDateTime(*plan.startAt);
    }
    Daily->setChecked(plan.daily);
    switch (plan.stop) {
    case TimerPlan::Stop::Never:
        StopNever->setChecked(true);
        break;
    case TimerPlan::Stop::AfterDuration:
        StopAfter->setChecked(true);
        Duration->setText(durationEntry(plan.durationMs));
        break;
    case TimerPlan::Stop::AtClockTime:
        StopAtTime->setChecked(true);
        StopTime->setTime(plan.stopAt);
        break;
    case TimerPlan::Stop::AtFileSize:
        StopAtSize->setChecked(true);
        StopSize->setValue(int(std::max<qint64>(1, plan.maxBytes / kMegabyte)));
        break;
    }
}

std::optional<TimerPlan> TimerWindow::chosenPlan(QString& why) const {
    TimerPlan plan;
    if (StartAt->isChecked()) {
        plan.startAt = StartTime->dateTime();
        plan.daily = Daily->isChecked();
    }
    if (StopAfter->isChecked()) {
        const std::optional<qint64> ms = parseDuration(Duration->text());
        if (!ms) {
            why = QStringLiteral("\"%1\" is no length of time: try 45s, 30m, 2h or 1h30m.")
                      .arg(Duration->text().trimmed());
            return std::nullopt;
        }
        plan.stop = TimerPlan::Stop::AfterDuration;
        plan.durationMs = *ms;
    } else if (StopAtTime->isChecked()) {
        plan.stop = TimerPlan::Stop::AtClockTime;
        plan.stopAt = StopTime->time();
    } else if (StopAtSize->isChecked()) {
        plan.stop = TimerPlan::Stop::AtFileSize;
        plan.maxBytes = StopSize->value() * kMegabyte;
    }
    return plan;
}

void TimerWindow::Set_Click() {
    QString why;
    if (const std::optional<TimerPlan> plan = chosenPlan(why))
        why = session_.timer.set(*plan);
    Refusal->setText(why);
}

void TimerWindow::CancelTimer_Click() {
    Refusal->clear();
    session_.timer.cancel();
}

void TimerWindow::showDurationMeaning() {
    const std::optional<qint64> ms = parseDuration(Duration->text());
    DurationMeaning->setText(ms ? QStringLiteral("= ") + durationText(*ms)
                                : QStringLiteral("not a length"));
    setTextColour(DurationMeaning, ms ? palette().color(QPalette::WindowText) : Qt::red);
}

void TimerWindow::showPlan() {
    const std::optional<TimerPlan>& plan = session_.timer.plan();
    CancelButton->setEnabled(plan.has_value());
    if (!plan) {
        Current->setText(kNothingSet);
        return;
    }
    const QString waiting = session_.timer.waitingText();
    Current->setText(waiting.isEmpty() ? plan->describe()
                                       : plan->describe() + QLatin1Char('\n') + waiting);
}

void TimerWindow::enableChoices() {
    StartTime->setEnabled(StartAt->isChecked());
    // Every day again needs a time of day to start at.
    Daily->setEnabled(StartAt->isChecked());
    Duration->setEnabled(StopAfter->isChecked());
    DurationMeaning->setEnabled(StopAfter->isChecked());
    StopTime->setEnabled(StopAtTime->isChecked());
    StopSize->setEnabled(StopAtSize->isChecked());
}

void TimerWindow::showEvent(QShowEvent* event) {
    showPlan();
    refresh_.start();
    QWidget::showEvent(event);
}

void TimerWindow::hideEvent(QHideEvent* event) {
    refresh_.stop();
    QWidget::hideEvent(event);
}

} // namespace tw
