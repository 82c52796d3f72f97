#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tw {

class IDesktop;

// The Internet-location window: the typed address goes to the media player. Either button
// closes and destroys it, so every opening starts with an empty box.
class Form3 : public QWidget {
    Q_OBJECT
  public:
    explicit Form3(IDesktop& desktop);

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Text1 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;

  private:
    void Command1_Click();
    void Command2_Click();

    IDesktop& desktop_;
};

} // namespace tw
