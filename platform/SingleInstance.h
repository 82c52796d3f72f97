#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace tw {

// One program per desktop session. The first start owns the app id's name on the session bus
// and serves the desktop's application interface there (activation and the menu entry's
// actions); a later start hands its command to it and ends.
//
// Without a session bus (a bare X session, a headless start) the same holds through a lock
// file and a local socket in the user's runtime folder, so that a second start still hands
// its command over instead of running a program of its own.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
  public:
    enum class Claim { Owned, Taken, NoBus };

    explicit SingleInstance(QString appId, QDBusConnection bus = QDBusConnection::sessionBus(),
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the name and serves the interface; without a bus, takes the lock and serves the
    // socket. NoBus only when neither works. Quick: nothing here waits for another program.
    Claim claim();

    // Hands an action ("record", "pause", "stop") to the program that owns the name, or
    // asks it to show itself when `action` is empty. Waits at most `timeoutMs`. Goes the way
    // this process's claim() went; without a claim, by the socket when `bus` is down.
    // `parameter`: a number that goes with the action (record's length in ms), 0 for none.
    static bool send(const QString& appId, const QString& action, QString* why = nullptr,
                     QDBusConnection bus = QDBusConnection::sessionBus(), int timeoutMs = 3000,
                     qint64 parameter = 0);

    static QString objectPath(const QString& appId);

    // The socket that stands in for the bus: in $XDG_RUNTIME_DIR, or, when that is unset or
    // open to others, in a private folder under the temporary folder. Empty (with `why`)
    // when there is no such folder.
    static QString localSocketPath(const QString& appId, QString* why = nullptr);

  public slots:
    // org.freedesktop.Application
    Q_SCRIPTABLE void Activate(const QVariantMap& platformData);
    Q_SCRIPTABLE void Open(const QStringList& uris, const QVariantMap& platformData);
    Q_SCRIPTABLE void ActivateAction(const QString& name, const QVariantList& parameter,
                                     const QVariantMap& platformData);

  signals:
    // Another start asked this program to show itself.
    void activated();
    // An action arrived: "record", "pause" or "stop" (anything else is dropped), with the
    // number that went with it (0 for none).
    void actionRequested(const QString& name, qint64 parameter);

  private:
    Claim claimLocally();
    void acceptConnections();
    void readCommand(QLocalSocket* socket);

    QString appId_;
    QDBusConnection bus_;
    bool owned_ = false;
    QString socketPath_; // set when claim() went by the socket
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
};

} // namespace tw
