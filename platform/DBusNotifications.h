#pragma once

#include "platform/INotifications.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>

namespace tw {

// org.freedesktop.Notifications on the session bus. Every call is asynchronous and gives up
// after a few seconds, so a hung server costs nothing but the bubble; a bus without a server
// answers at once, and that is said once in the journal, not at every notification.
class DBusNotifications final : public QObject, public INotifications {
    Q_OBJECT
  public:
    explicit DBusNotifications(const QString& appName,
                               const QDBusConnection& bus = QDBusConnection::sessionBus(),
                               QObject* parent = nullptr);

    bool available() const override;
    void notify(const QString& summary, const QString& body, const QList<Action>& actions,
                const QString& icon, Shown shown = {}) override;
    void setActionInvoked(Invoked invoked) override { invoked_ = std::move(invoked); }

  private slots:
    void actionInvoked(uint id, const QString& key);

  private:
    void failed(const QString& name, const QString& message);

    QString appName_;
    QDBusConnection bus_;
    QDBusServiceWatcher watcher_;
    Invoked invoked_;
    // Ids are the server's, shared by every program: only ours are answered. They are kept
    // past NotificationClosed, which some servers send before the action it closed for.
    QList<uint> ours_;
    bool missing_ = false;
    bool complained_ = false;
};

} // namespace tw
