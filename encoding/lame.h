#pragma once

#include <QIcon>
#include <QWidget>

class QComboBox;

namespace tw {

class Settings;
class SkinButton;
class SkinForm;
class SkinLabel;

// The MP3 options dialog. It composes the encoder switches from its three boxes and hands
// them to the session's encoder switches only on Ok; the boxes always open on their
// own starting texts, whatever is stored.
class lame : public QWidget {
    Q_OBJECT
  public:
    lame(Settings& settings, const QIcon& icon);

    void Form_Load();
    void Combo1_Click();
    void Combo2_Click();
    void Combo3_Click();
    void SkinButton1_Click(); // Ok
    void SkinButton2_Click(); // Cancel

    SkinForm* SkinForm1 = nullptr;
    SkinLabel* SkinLabel1 = nullptr;
    QComboBox* Combo1 = nullptr;
    SkinLabel* SkinLabel2 = nullptr;
    QComboBox* Combo2 = nullptr;
    SkinLabel* SkinLabel5 = nullptr;
    QComboBox* Combo3 = nullptr;
    SkinLabel* SkinLabel3 = nullptr;
    SkinLabel* SkinLabel4 = nullptr;
    SkinButton* SkinButton1 = nullptr;
    SkinButton* SkinButton2 = nullptr;

  private:
    Settings& settings_;
};

} // namespace tw
