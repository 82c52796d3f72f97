#pragma once

#include "platform/INotifications.h"

#include <QList>
#include <QObject>
#include <QString>

namespace tw {

class IDesktop;
class Session;

// A front end that tells the desktop, in notification bubbles, what the program did while
// its window may be out of sight: a take saved, a fault of the running take, a conversion's
// end, takes recovered at start, a file moved to the trash. The bubbles' buttons hand their
// commands to the session like any other front end. Nothing is sent while the user has
// notifications off.
class Notifier : public QObject {
    Q_OBJECT
  public:
    Notifier(Session& session, INotifications& notifications, IDesktop* desktop,
             QObject* parent = nullptr);

  private:
    void takeListed(const QString& path, int seconds, const QString& warning);
    void faultChanged(const QString& text);
    void conversionEnded(const QString& input, const QString& output, bool ok, const QString& why);
    void takesRecovered(const QStringList& paths);
    void fileDeleted(const QString& path, bool undoable);
    // Sends when notifications are on; `file` is what the actions act on.
    void send(const QString& summary, const QString& body,
              const QList<INotifications::Action>& actions, const QString& file = {},
              const QString& icon = {});
    void invoked(uint id, const QString& key);

    Session& session_;
    INotifications& notifications_;
    IDesktop* desktop_;
    // The fault last told of during this take: a fault that stands is told once.
    QString faultTold_;
    struct Target {
        uint id;
        QString file;
    };
    // The newest notifications with actions, and the file each one's actions act on.
    QList<Target> targets_;
};

} // namespace tw
