#pragma once

#include "core/Recorder.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

class QAction;

namespace tw {

class Session;

// A front end in the desktop's tray (StatusNotifierItem where the desktop has a watcher): an
// icon that tells whether a take records or is paused, its time in the tooltip, and a menu
// that hands Record, Pause, Stop and Quit to the session. "Show window" is only a wish; the
// program decides which window answers it.
class TrayIcon : public QObject {
    Q_OBJECT
  public:
    explicit TrayIcon(Session& session, QObject* parent = nullptr);

    // Shown: the desktop has a tray. The window may then hide instead of ending the program.
    bool isVisible() const { return icon_.isVisible(); }
    // The icon of a recorder phase: grey while no take runs, red while one records, amber with
    // two bars while paused.
    static QIcon iconFor(Recorder::Phase phase);
    const QSystemTrayIcon& icon() const { return icon_; }
    QMenu& menu() { return menu_; }

  signals:
    void showWindowRequested();

  private:
    void commandsChanged();
    void phaseChanged(Recorder::Phase phase);
    void showToolTip();

    Session& session_;
    QMenu menu_;
    QSystemTrayIcon icon_;
    QAction* record_ = nullptr;
    QAction* pause_ = nullptr;
    QAction* stop_ = nullptr;
    QString clock_;
};

} // namespace tw
