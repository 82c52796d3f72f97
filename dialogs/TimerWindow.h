#pragma once

#include <QTimer>
#include <QWidget>
#include <optional>

class QCheckBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimeEdit;

namespace tw {

class Session;
struct TimerPlan;

// The timer's window: when a take starts and when it stops, and what the timer waits for now.
// The session's timer does the waiting; this window only sets, cancels and shows it, so
// closing it changes nothing and the main window stays usable while it is open. Closing
// destroys it; the main window loads a new one on the next use, on the plan in force.
class TimerWindow : public QWidget {
    Q_OBJECT
  public:
    TimerWindow(Session& session, const QIcon& icon);

    void Set_Click();
    void CancelTimer_Click();

    QRadioButton* StartByHand = nullptr;
    QRadioButton* StartAt = nullptr;
    QDateTimeEdit* StartTime = nullptr;
    QCheckBox* Daily = nullptr;
    QRadioButton* StopNever = nullptr;
    QRadioButton* StopAfter = nullptr;
    QLineEdit* Duration = nullptr;
    QLabel* DurationMeaning = nullptr; // what the typed length is understood as
    QRadioButton* StopAtTime = nullptr;
    QTimeEdit* StopTime = nullptr;
    QRadioButton* StopAtSize = nullptr;
    QSpinBox* StopSize = nullptr; // megabytes
    QLabel* Current = nullptr;    // what is set now and what it waits for
    QLabel* Refusal = nullptr;    // why Set set nothing
    QPushButton* SetButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QPushButton* CloseButton = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    QWidget* buildStart();
    QWidget* buildStop();
    void loadPlan(const TimerPlan& plan);
    // The plan the controls describe; nothing, and `why`, when they describe none.
    std::optional<TimerPlan> chosenPlan(QString& why) const;
    void showDurationMeaning();
    void showPlan();
    void enableChoices();

    Session& session_;
    // The waiting text counts down: it is read again every second while the window shows.
    QTimer refresh_;
};

} // namespace tw
