#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace tw {

// One program per desktop session. The first start owns the app id's name on the session bus
// and serves the desktop's application interface there (activation and the menu entry's
// actions); a later start hands its command to it and ends.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
  public:
    enum class Claim { Owned, Taken, NoBus };

    explicit SingleInstance(QString appId, QDBusConnection bus = QDBusConnection::sessionBus(),
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the name and serves the interface. Quick: the bus answers at once.
    Claim claim();

    // Hands an action ("record", "pause", "stop") to the program that owns the name, or
    // asks it to show itself when `action` is empty. Waits at most `timeoutMs`.
    static bool send(const QString& appId, const QString& action, QString* why = nullptr,
                     QDBusConnection bus = QDBusConnection::sessionBus(), int timeoutMs = 3000);

    static QString objectPath(const QString& appId);

  public slots:
    // org.freedesktop.Application
    Q_SCRIPTABLE void Activate(const QVariantMap& platformData);
    Q_SCRIPTABLE void Open(const QStringList& uris, const QVariantMap& platformData);
    Q_SCRIPTABLE void ActivateAction(const QString& name, const QVariantList& parameter,
                                     const QVariantMap& platformData);

  signals:
    // Another start asked this program to show itself.
    void activated();
    // An action arrived: "record", "pause" or "stop" (anything else is dropped).
    void actionRequested(const QString& name);

  private:
    QString appId_;
    QDBusConnection bus_;
    bool owned_ = false;
};

} // namespace tw
