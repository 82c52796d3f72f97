#include "platform/SingleInstance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

bool busAnswers(const QDBusConnection& bus) {
    return bus.isConnected() && bus.interface();
}

// The instances whose claim() went by the socket: send() in this process follows them even
// if it is handed another connection than claim() was.
QList<const SingleInstance*>& localClaims() {
    static QList<const SingleInstance*> claims;
    return claims;
}

// Only this user may enter the folder: anyone else could plant a lock there that shuts the
// program out, or read the commands off the socket.
bool isPrivateFolder(const QString& path) {
    const QFileInfo info(path);
    constexpr auto others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                            QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    return info.isDir() && info.ownerId() == ::getuid() && info.isWritable() &&
           !(info.permissions() & others);
}

// A line never runs this long: whatever sends it is no start of this program.
constexpr qint64 kLongestCommand = 256;

} // namespace

SingleInstance::SingleInstance(QString appId, QDBusConnection bus, QObject* parent)
    : QObject(parent), appId_(std::move(appId)), bus_(std::move(bus)) {}

SingleInstance::~SingleInstance() {
    if (owned_) {
        bus_.unregisterObject(objectPath(appId_));
        bus_.unregisterService(appId_);
    }
    // The socket goes before the lock: once the lock is free, a new owner may already have
    // put its own socket where ours was, and closing ours then would remove theirs.
    if (server_)
        server_->close();
    lock_.reset();
    localClaims().removeOne(this);
}

QString SingleInstance::objectPath(const QString& appId) {
    QString path = QLatin1Char('/') + appId;
    path.replace(QLatin1Char('.'), QLatin1Char('/')).replace(QLatin1Char('-'), QLatin1Char('_'));
    return path;
}

QString SingleInstance::localSocketPath(const QString& appId, QString* why) {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !isPrivateFolder(folder)) {
        folder = QDir::tempPath() + QStringLiteral("/tunewright-%1").arg(::getuid());
        // Made private from the start, so that nobody can slip in before a chmod.
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
            if (why)
                *why = QStringLiteral("cannot make %1: %2")
                           .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
            return {};
        }
        if (!isPrivateFolder(folder)) {
            if (why)
                *why = QStringLiteral("%1 is not a folder of this user's alone").arg(folder);
            return {};
        }
    }
    return QDir(folder).absoluteFilePath(appId + QStringLiteral(".socket"));
}

SingleInstance::Claim SingleInstance::claim() {
    if (!busAnswers(bus_))
        return claimLocally();
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

SingleInstance::Claim SingleInstance::claimLocally() {
    QString why;
    const QString path = localSocketPath(appId_, &why);
    if (path.isEmpty()) {
        qWarning("tunewright: no session bus, and no private folder for a lock: %s",
                 qPrintable(why));
        return Claim::NoBus;
    }
    socketPath_ = path;
    localClaims().append(this);

    lock_ = std::make_unique<QLockFile>(QFileInfo(path).path() + QLatin1Char('/') + appId_ +
                                        QStringLiteral(".lock"));
    // Held for the program's whole run: only a dead owner makes the lock stale, never its age.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        if (lock_->error() == QLockFile::LockFailedError)
            return Claim::Taken;
        qWarning("tunewright: no session bus, and cannot make the lock %s",
                 qPrintable(lock_->fileName()));
        return Claim::NoBus;
    }
    QFile::setPermissions(lock_->fileName(), QFile::ReadOwner | QFile::WriteOwner);

    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket left here is a dead owner's: cleared here rather than
    // trusting listen() to replace it.
    QLocalServer::removeServer(path);
    if (!server_->listen(path)) {
        qWarning("tunewright: no session bus, and cannot serve %s: %s", qPrintable(path),
                 qPrintable(server_->errorString()));
        delete server_;
        server_ = nullptr;
        lock_->unlock();
        return Claim::NoBus;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    return Claim::Owned;
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readCommand(socket); });
        // A caller that never ends its line must not keep its socket here for good.
        QTimer::singleShot(5000, socket, &QObject::deleteLater);
        readCommand(socket); // the line may be in before readyRead was connected
    }
}

void SingleInstance::readCommand(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kLongestCommand)
            socket->abort();
        return;
    }
    const QString action = QString::fromUtf8(socket->readLine(kLongestCommand + 1)).trimmed();
    // Acknowledged before it is carried out: what the command starts may take longer than
    // the sender waits, and the sender needs only to know it arrived.
    socket->write("ok\n");
    socket->disconnectFromServer();
    // "record 4000": the action and the number that goes with it.
    const QString name = action.section(QLatin1Char(' '), 0, 0);
    const QString number = action.section(QLatin1Char(' '), 1, 1);
    if (action.isEmpty())
        emit activated();
    else
        ActivateAction(name, number.isEmpty() ? QVariantList() : QVariantList{number.toLongLong()},
                       {});
}

static bool sendBySocket(const QString& path, const QString& action, QString* why, int timeoutMs,
                         qint64 parameter) {
    const auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    // The owner takes the lock a moment before it listens: a start in that moment tries
    // again until the deadline.
    for (;;) {
        socket.connectToServer(path);
        if (socket.waitForConnected(int(deadline.remainingTime())))
            break;
        const auto error = socket.error();
        if ((error != QLocalSocket::ServerNotFoundError &&
             error != QLocalSocket::ConnectionRefusedError) ||
            deadline.hasExpired())
            return fail(QStringLiteral("no running Tunewright answers on %1 (%2)")
                            .arg(path, socket.errorString()));
        QThread::msleep(20);
    }
    socket.write(action.toUtf8() +
                 (parameter != 0 ? ' ' + QByteArray::number(parameter) : QByteArray()) + '\n');
    socket.flush();
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime()))) {
            if (socket.state() != QLocalSocket::ConnectedState)
                return fail(QStringLiteral("the Tunewright on %1 hung up before acknowledging "
                                           "\"%2\" (%3)")
                                .arg(path, action, socket.errorString()));
            return fail(QStringLiteral("the Tunewright on %1 did not acknowledge \"%2\" within "
                                       "%3 ms")
                            .arg(path, action)
                            .arg(timeoutMs));
        }
    }
    const QByteArray answer = socket.readLine().trimmed();
    if (answer != "ok")
        return fail(QStringLiteral("the Tunewright on %1 answered \"%2\"")
                        .arg(path, QString::fromUtf8(answer)));
    return true;
}

bool SingleInstance::send(const QString& appId, const QString& action, QString* why,
                          QDBusConnection bus, int timeoutMs, qint64 parameter) {
    QString path;
    for (const SingleInstance* claimed : localClaims())
        if (claimed->appId_ == appId)
            path = claimed->socketPath_;
    if (path.isEmpty() && !busAnswers(bus)) {
        QString noFolder;
        path = localSocketPath(appId, &noFolder);
        if (path.isEmpty()) {
            if (why)
                *why = QStringLiteral("no session bus, and %1").arg(noFolder);
            return false;
        }
    }
    if (!path.isEmpty())
        return sendBySocket(path, action, why, timeoutMs, parameter);

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
        call << action
             << QVariant::fromValue(parameter != 0 ? QVariantList{parameter} : QVariantList())
             << QVariantMap();
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

void SingleInstance::ActivateAction(const QString& name, const QVariantList& parameter,
                                    const QVariantMap&) {
    if (name == QLatin1String("record") || name == QLatin1String("pause") ||
        name == QLatin1String("stop"))
        emit actionRequested(name, parameter.isEmpty() ? 0 : parameter.first().toLongLong());
}

} // namespace tw
