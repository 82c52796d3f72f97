#pragma once

#include "platform/IDesktop.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tw {

// The Internet-location window: the typed address goes to the media player. Either button,
// Enter in the address box or Escape closes and destroys it, so every opening starts with an
// empty box.
class Form3 : public QWidget {
    Q_OBJECT
  public:
    explicit Form3(IDesktop& desktop);

    // Where a link or address the desktop could not open is reported. The report may come
    // after this window has gone, so it must not lean on the window.
    void reportFailuresWith(IDesktop::Failed report) { report_ = std::move(report); }

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Text1 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;

  private:
    void Command1_Click();
    void Command2_Click();

    IDesktop& desktop_;
    IDesktop::Failed report_;
};

} // namespace tw
