#pragma once

#include "platform/IDesktop.h"

#include <QPointer>
#include <QWidget>

class QLabel;

namespace tw {

// The about box: name, version, credit and two links, the support address and the home
// page, that turn red under the pointer and blue again over the background. The home page
// is Label6's caption and what "Support Homepage" opens.
// Closing the window, Escape included, destroys it; the main window keeps a QPointer and
// loads a new one on the next use.
class aboutme : public QWidget {
    Q_OBJECT
  public:
    explicit aboutme(IDesktop& desktop);

    // Where a link or address the desktop could not open is reported. The report may come
    // after this window has gone, so it must not lean on the window.
    void reportFailuresWith(IDesktop::Failed report) { report_ = std::move(report); }

    QWidget* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;

    static QString homepage();

  protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Form_MouseMove(Qt::MouseButtons button, Qt::KeyboardModifiers shift, QPointF pos);
    void Label4_MouseMove(Qt::MouseButtons button, Qt::KeyboardModifiers shift, QPointF pos);
    void Label6_MouseMove(Qt::MouseButtons button, Qt::KeyboardModifiers shift, QPointF pos);
    void Label4_Click();
    void Label6_Click();

    IDesktop& desktop_;
    IDesktop::Failed report_;
    QPointer<QLabel> pressedLink_; // the link a left press started on, for its click
};

} // namespace tw
