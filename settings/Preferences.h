#pragma once

#include "core/VoiceTrigger.h"

#include <QIcon>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;

namespace tw {

class Session;
class Settings;
class SkinButton;
class SkinForm;
class SkinLabel;
class SkinPanel;

// The recording-format dialog. It opens on Config.ini's format; its choices change the
// session's format at once; Ok stores them and the convert-on-completion flag, Cancel or the
// close box put back the format in force before it opened.
class Preferences : public QWidget {
    Q_OBJECT
  public:
    Preferences(Session& session, const QIcon& icon);

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
    // The format takes are saved in, beside the format's own controls.
    QGroupBox* TakeFormatFrame = nullptr;
    QList<QRadioButton*> TakeFormatOptions;
    // Under them: the take name pattern, with what it gives now, and two switches.
    QLabel* TakeNameLabel = nullptr;
    QLineEdit* TakeNamePattern = nullptr;
    QLabel* TakeNameExample = nullptr;
    QCheckBox* NotificationsCheck = nullptr;
    QCheckBox* TrayCheck = nullptr;
    // Under those: voice activation's levels and times, and the input kept before a start.
    QGroupBox* VoiceFrame = nullptr;
    QDoubleSpinBox* VoiceStartDb = nullptr;
    QSpinBox* VoiceStartMs = nullptr;
    QDoubleSpinBox* VoiceSilenceDb = nullptr;
    QDoubleSpinBox* VoiceSilenceSeconds = nullptr;
    QRadioButton* VoicePause = nullptr;
    QRadioButton* VoiceSplit = nullptr;
    QCheckBox* PreRecordCheck = nullptr;
    QSpinBox* PreRecordSeconds = nullptr;
    QLabel* PreRecordAfter = nullptr;
    QLabel* PreRecordNote = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildExtras();
    void buildVoiceBand();
    void showTakeNameExample();
    VoiceSettings chosenVoice() const;
    int chosenPreRecord() const;
    // Ok keeps what the user changed in the band and puts it in force at once.
    void keepVoiceChoices();

    Session& session_;
    Settings& settings_;
    bool accepted_ = false;
    // What the band showed at opening, as its controls read it back: Ok compares with these,
    // so that a value the controls round never counts as a change.
    VoiceSettings voiceShown_;
    int preRecordShown_ = 0;
};

} // namespace tw
