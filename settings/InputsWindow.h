#pragma once

#include "core/InputChoices.h"

#include <QIcon>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;

namespace tw {

class Session;
class SkinButton;
class SkinForm;
class SkinLabel;
struct InputChoice;

// Fills a list box with InputChoices' items, a theme icon beside a program where the desktop
// has one, and selects `index`.
void fillInputBox(QComboBox* box, const QList<InputChoices::Item>& items, int index);

// Options > Inputs: what takes record besides or instead of the recording source. One
// program's sound in place of the source, a second input mixed in, each one's level and
// whether each has a channel of its own. Ok hands the choice to the session.
class InputsWindow : public QWidget {
    Q_OBJECT
  public:
    InputsWindow(Session& session, const QIcon& icon);

    void Form_Load();
    // The choice the controls show now.
    InputChoice chosen() const;
    void ok();

    SkinForm* SkinForm1 = nullptr;
    QComboBox* Program = nullptr;
    QComboBox* SecondInput = nullptr;
    QSpinBox* FirstLevel = nullptr;
    QSpinBox* SecondLevel = nullptr;
    QCheckBox* OwnChannels = nullptr;
    SkinButton* Refresh = nullptr;
    QLabel* Note = nullptr;
    SkinButton* OkButton = nullptr;
    SkinButton* CancelButton = nullptr;

  private:
    // Fills the lists from the choices, keeping what the user picked.
    void showChoices();
    void showEnabled();

    Session& session_;
    QList<SkinLabel*> captions_;
    QList<InputChoices::Item> programs_, seconds_;
    QString program_; // the picks so far: kept while the lists fill
    int second_ = 0;
};

} // namespace tw
