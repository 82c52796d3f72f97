#include "platform/SingleInstance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace tw {

SingleInstance::SingleInstance(QString appId, QDBusConnection bus, QObject* parent)
    : QObject(parent), appId_(std::move(appId)), bus_(std::move(bus)) {}

SingleInstance::~SingleInstance() {
    if (owned_) {
        bus_.unregisterObject(objectPath(appId_));
        bus_.unregisterService(appId_);
    }
}

QString SingleInstance::objectPath(const QString& appId) {
    QString path = QLatin1Char('/') + appId;
    path.replace(QLatin1Char('.'), QLatin1Char('/')).replace(QLatin1Char('-'), QLatin1Char('_'));
    return path;
}

SingleInstance::Claim SingleInstance::claim() {
    if (!bus_.isConnected() || !bus_.interface())
        return Claim::NoBus;
    // The object first, so that no command can arrive at a name without it.
    if (!bus_.registerObject(objectPath(appId_), this, QDBusConnection::ExportScriptableSlots))
        return Claim::NoBus;
    // Not queued: a second start must learn at once that the name is taken.
    const auto reply =
        bus_.interface()->registerService(appId_, QDBusConnectionInterface::DontQueueService,
                                          QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        owned_ = true;
        return Claim::Owned;
    }
    bus_.unregisterObject(objectPath(appId_));
    return reply.isValid() ? Claim::Taken : Claim::NoBus;
}

bool SingleInstance::send(const QString& appId, const QString& action, QString* why,
                          QDBusConnection bus, int timeoutMs) {
    QDBusMessage call;
    if (action.isEmpty()) {
        call = QDBusMessage::createMethodCall(appId, objectPath(appId),
                                              QStringLiteral("org.freedesktop.Application"),
                                              QStringLiteral("Activate"));
        call << QVariantMap();
    } else {
        call = QDBusMessage::createMethodCall(appId, objectPath(appId),
                                              QStringLiteral("org.freedesktop.Application"),
                                              QStringLiteral("ActivateAction"));
        call << action << QVariant::fromValue(QVariantList()) << QVariantMap();
    }
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    if (why)
        *why = reply.errorMessage();
    return false;
}

void SingleInstance::Activate(const QVariantMap&) {
    emit activated();
}

void SingleInstance::Open(const QStringList&, const QVariantMap&) {
    emit activated(); // no files to open: showing the window is all a start can ask
}

void SingleInstance::ActivateAction(const QString& name, const QVariantList&, const QVariantMap&) {
    if (name == QLatin1String("record") || name == QLatin1String("pause") ||
        name == QLatin1String("stop"))
        emit actionRequested(name);
}

} // namespace tw
