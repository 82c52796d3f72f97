#include "platform/DBusNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>

namespace tw {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// Long enough for a server the bus has to start first.
constexpr int kCallTimeoutMs = 5000;
// The newest notifications whose actions are still answered.
constexpr qsizetype kMostRemembered = 64;
} // namespace

DBusNotifications::DBusNotifications(const QString& appName, const QDBusConnection& bus,
                                     QObject* parent)
    : QObject(parent), appName_(appName), bus_(bus),
      watcher_(kService, bus, QDBusServiceWatcher::WatchForOwnerChange) {
    missing_ = !bus_.isConnected();
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] { missing_ = false; });
    connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { missing_ = true; });
    if (bus_.isConnected()) {
        bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                     SLOT(actionInvoked(uint, QString)));
    }
}

bool DBusNotifications::available() const {
    return bus_.isConnected() && !missing_;
}

void DBusNotifications::notify(const QString& summary, const QString& body,
                               const QList<Action>& actions, const QString& icon, Shown shown) {
    if (!bus_.isConnected()) {
        failed(QStringLiteral("no session bus"), bus_.lastError().message());
        if (shown)
            QMetaObject::invokeMethod(
                this, [shown] { shown(0); }, Qt::QueuedConnection);
        return;
    }
    QStringList pairs;
    for (const Action& action : actions)
        pairs << action.key << action.label;
    QVariantMap hints;
    const QString entry = QGuiApplication::desktopFileName();
    if (!entry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), entry);
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << appName_ << 0u << icon << summary << body << pairs << hints << -1;
    auto* watch = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    connect(watch, &QDBusPendingCallWatcher::finished, this,
            [this, shown](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                const QDBusPendingReply<uint> reply = *done;
                uint id = 0;
                if (reply.isError()) {
                    failed(reply.error().name(), reply.error().message());
                } else {
                    id = reply.value();
                    missing_ = false;
                    if (ours_.size() >= kMostRemembered)
                        ours_.removeFirst();
                    ours_.append(id);
                }
                if (shown)
                    shown(id);
            });
}

void DBusNotifications::actionInvoked(uint id, const QString& key) {
    if (ours_.contains(id) && invoked_)
        invoked_(id, key);
}

void DBusNotifications::failed(const QString& name, const QString& message) {
    if (name == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"))
        missing_ = true;
    // Every notification of a run without a server would fail alike.
    if (complained_)
        return;
    complained_ = true;
    qInfo("notifications: not shown: %s (%s)", qPrintable(message), qPrintable(name));
}

} // namespace tw
