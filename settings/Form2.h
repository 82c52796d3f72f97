#pragma once

#include <QIcon>
#include <QWidget>

class QComboBox;

namespace tw {

class SkinButton;
class SkinForm;
class SkinLabel;
class SoundCardWizard;

// The sound-card set-up wizard's window, shown instead of the main window on a first run.
// It shows the wizard's step and hands the clicks to it. Closing it, for any reason, ends the
// program; a close that arrives while a step runs waits for the step.
class Form2 : public QWidget {
    Q_OBJECT
  public:
    Form2(SoundCardWizard& wizard, const QString& appDir, const QIcon& icon);

    void Form_Load();
    void SkinButton1_Click(); // "next"
    void SkinButton2_Click(); // "heard", then "Done"

    SkinForm* SkinForm1 = nullptr;
    SkinLabel* SkinLabel1 = nullptr;
    SkinLabel* InputName = nullptr;
    SkinButton* SkinButton1 = nullptr;
    SkinButton* SkinButton2 = nullptr;
    // At Done: a second input, and one program to record in place of the source.
    SkinLabel* SecondLabel = nullptr;
    QComboBox* SecondInput = nullptr;
    SkinLabel* ProgramLabel = nullptr;
    QComboBox* Program = nullptr;

  signals:
    // "Done": the main window takes over.
    void handedOver();
    // The window was closed: the program ends.
    void closed();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Form_QueryUnload();
    void showStep();
    // The lists under the text once the source is found; the window grows to hold them.
    void showChoices();

    SoundCardWizard& wizard_;
    QString appDir_;
    bool closePending_ = false; // a close that arrived while a step ran
};

} // namespace tw
