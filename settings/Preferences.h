#pragma once

#include <QWidget>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QRadioButton;

namespace tw {

class Form1;
class SkinButton;
class SkinForm;
class SkinLabel;
class SkinPanel;

// The recording-format dialog. It works on the main window's shared RecordingFormat and
// AutoMp3; creating it (shown or hidden) reloads the format from Config.ini.
class Preferences : public QWidget {
    Q_OBJECT
  public:
    explicit Preferences(Form1& main);

    void Form_Load();
    void Option1_Click();
    void Option2_Click();
    void Option3_Click();
    void Option4_Click();
    void Combo1_Click();
    float room();
    void SkinButton1_Click(); // Ok
    void SkinButton2_Click(); // Cancel

    SkinForm* SkinForm1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QRadioButton* Option3 = nullptr;
    QRadioButton* Option4 = nullptr;
    SkinLabel* SkinLabel1 = nullptr;
    SkinLabel* SkinLabel2 = nullptr;
    QComboBox* Combo1 = nullptr;
    SkinPanel* SkinPanel1 = nullptr;
    QCheckBox* Check1 = nullptr;
    SkinButton* SkinButton1 = nullptr;
    SkinButton* SkinButton2 = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    Form1& main_;
};

} // namespace tw
