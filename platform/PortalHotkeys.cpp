#include "platform/PortalHotkeys.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QHash>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QRandomGenerator>
#include <QTimer>
#include <QVariantMap>
#include <optional>

namespace {

// One entry of the portal's shortcut lists, D-Bus type (sa{sv}).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& arg, const PortalShortcut& s) {
    arg.beginStructure();
    arg << s.id << s.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, PortalShortcut& s) {
    arg.beginStructure();
    arg >> s.id >> s.properties;
    arg.endStructure();
    return arg;
}

} // namespace

Q_DECLARE_METATYPE(PortalShortcut)

namespace tw {

namespace {

const QString Service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString DesktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString ShortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString RequestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString SessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString RegistryInterface = QStringLiteral("org.freedesktop.host.portal.Registry");

// A portal that restarts is usually back within a moment; only a longer absence is news.
constexpr int PortalGoneGraceMs = 2000;

struct KeyMeaning {
    QString shortcutId;
    QString description;
    QString preferredTrigger;
};

std::optional<KeyMeaning> meaningOf(int virtualKey) {
    switch (virtualKey) {
    case 0x78:
        return KeyMeaning{QStringLiteral("record"), QStringLiteral("Record"), QStringLiteral("F9")};
    case 0x79:
        return KeyMeaning{QStringLiteral("pause"), QStringLiteral("Pause / Resume"),
                          QStringLiteral("F10")};
    case 0x7A:
        return KeyMeaning{QStringLiteral("stop"), QStringLiteral("Stop and save"),
                          QStringLiteral("F11")};
    default:
        return std::nullopt;
    }
}

void registerTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        return true;
    }();
    Q_UNUSED(done);
}

// Lists inside a{sv} results arrive still marshalled.
QList<PortalShortcut> shortcutsFrom(const QVariant& value) {
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QList<PortalShortcut>>(value.value<QDBusArgument>());
    return value.value<QList<PortalShortcut>>();
}

QVariantMap mapFrom(const QVariant& value) {
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value.toMap();
}

// Frontends before 1.16 send an object path, later ones a string.
QString pathFrom(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

QString newToken() {
    return QStringLiteral("tunewright%1").arg(QRandomGenerator::global()->generate());
}

QDBusMessage portalCall(const QString& path, const QString& interface, const QString& method) {
    return QDBusMessage::createMethodCall(Service, path, interface, method);
}

} // namespace

struct PortalHotkeys::Private {
    enum class Step { Idle, Registering, Creating, Binding, Bound };

    PortalHotkeys* q;
    QDBusConnection bus;
    QString appId;
    QMap<int, int> wanted;            // hotkey id -> virtual key, as the caller asked
    QMap<int, int> binding;           // what the bind in flight or done asked for
    QHash<QString, QString> triggers; // shortcut id -> the desktop's words for its key
    Step step = Step::Idle;
    QString session;
    QString request;        // the request whose Response we wait for
    quint64 generation = 0; // replies to an abandoned attempt are ignored
    bool registeredWithFrontend = false;
    QTimer syncTimer;
    QTimer goneTimer;
    QDBusServiceWatcher watcher;

    Private(PortalHotkeys* owner, const QDBusConnection& connection, const QString& id)
        : q(owner), bus(connection), appId(id),
          watcher(Service, connection, QDBusServiceWatcher::WatchForOwnerChange) {}

    // Requests are answered on a path of our own choosing; listening on it before the call is
    // made means a quick answer cannot slip past.
    QString predictedRequestPath(const QString& token) const {
        QString sender = bus.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        return QStringLiteral("%1/request/%2/%3").arg(DesktopPath, sender, token);
    }

    bool listenForResponse(const QString& path) {
        return bus.connect(QString(), path, RequestInterface, QStringLiteral("Response"), q,
                           SLOT(onRequestResponse(QDBusMessage)));
    }
    void stopListening(const QString& path) {
        bus.disconnect(QString(), path, RequestInterface, QStringLiteral("Response"), q,
                       SLOT(onRequestResponse(QDBusMessage)));
    }

    // Calls `onReply` with the reply unless a newer attempt has started meanwhile.
    template <typename F> void callAsync(const QDBusMessage& message, F onReply) {
        auto* w = new QDBusPendingCallWatcher(bus.asyncCall(message), q);
        const quint64 gen = generation;
        QObject::connect(w, &QDBusPendingCallWatcher::finished, q,
                         [this, gen, onReply](QDBusPendingCallWatcher* call) {
                             call->deleteLater();
                             if (gen == generation)
                                 onReply(QDBusMessage(call->reply()));
                         });
    }

    void sync() {
        if (wanted.isEmpty()) {
            closeSession();
            return;
        }
        // A bind in flight is finished first; its answer looks here again.
        if (step == Step::Registering || step == Step::Creating || step == Step::Binding)
            return;
        if (step == Step::Bound && binding == wanted)
            return;
        // A session is bound only once, so other keys need a session of their own.
        closeSession();
        start();
    }

    void start() {
        ++generation;
        if (appId.isEmpty() || registeredWithFrontend) {
            createSession();
            return;
        }
        // Frontends that know host programs want to hear who we are before anything else;
        // older ones have no such interface, and then the systemd scope speaks for us.
        step = Step::Registering;
        QDBusMessage m = portalCall(DesktopPath, RegistryInterface, QStringLiteral("Register"));
        m << appId << QVariantMap();
        callAsync(m, [this](const QDBusMessage&) {
            registeredWithFrontend = true;
            createSession();
        });
    }

    void awaitRequest(const QString& token, const QDBusMessage& call, Step next) {
        step = next;
        request = predictedRequestPath(token);
        if (!listenForResponse(request)) {
            fail(tr("The desktop portal's answers cannot be received on this bus."));
            return;
        }
        callAsync(call, [this](const QDBusMessage& reply) {
            if (reply.type() == QDBusMessage::ErrorMessage) {
                stopListening(request);
                request.clear();
                fail(tr("The desktop portal refused the global hotkeys: %1")
                         .arg(reply.errorMessage()));
                return;
            }
            const QString actual = pathFrom(reply.arguments().value(0));
            if (!actual.isEmpty() && actual != request) {
                stopListening(request);
                request = actual;
                listenForResponse(request);
            }
        });
    }

    void createSession() {
        const QString token = newToken();
        QDBusMessage m =
            portalCall(DesktopPath, ShortcutsInterface, QStringLiteral("CreateSession"));
        m << QVariantMap{{QStringLiteral("handle_token"), token},
                         {QStringLiteral("session_handle_token"), newToken()}};
        awaitRequest(token, m, Step::Creating);
    }

    void bind() {
        binding = wanted;
        QList<PortalShortcut> list;
        for (int virtualKey : std::as_const(binding)) {
            const KeyMeaning k = *meaningOf(virtualKey);
            list.append({k.shortcutId,
                         {{QStringLiteral("description"), k.description},
                          {QStringLiteral("preferred_trigger"), k.preferredTrigger}}});
        }
        const QString token = newToken();
        QDBusMessage m =
            portalCall(DesktopPath, ShortcutsInterface, QStringLiteral("BindShortcuts"));
        m << QVariant::fromValue(QDBusObjectPath(session)) << QVariant::fromValue(list) << QString()
          << QVariantMap{{QStringLiteral("handle_token"), token}};
        awaitRequest(token, m, Step::Binding);
    }

    void sessionCreated(const QVariantMap& results) {
        session = pathFrom(results.value(QStringLiteral("session_handle")));
        if (session.isEmpty()) {
            fail(tr("The desktop portal gave no session for the global hotkeys."));
            return;
        }
        bus.connect(QString(), session, SessionInterface, QStringLiteral("Closed"), q,
                    SLOT(onSessionClosed(QDBusMessage)));
        bind();
    }

    void bound(const QVariantMap& results) {
        step = Step::Bound;
        takeTriggers(shortcutsFrom(results.value(QStringLiteral("shortcuts"))));
        if (binding != wanted)
            syncTimer.start();
    }

    void takeTriggers(const QList<PortalShortcut>& shortcuts) {
        triggers.clear();
        for (const PortalShortcut& s : shortcuts)
            triggers.insert(s.id,
                            s.properties.value(QStringLiteral("trigger_description")).toString());
        emit q->triggersChanged();
    }

    void responded(uint code, const QVariantMap& results) {
        if (code == 1) {
            closeSession();
            fail(tr("The desktop did not allow the global hotkeys: the request was cancelled."));
            return;
        }
        if (code != 0) {
            closeSession();
            fail(tr("The desktop could not set up the global hotkeys."));
            return;
        }
        if (step == Step::Creating)
            sessionCreated(results);
        else if (step == Step::Binding)
            bound(results);
    }

    void fail(const QString& why) {
        ++generation;
        step = Step::Idle;
        emit q->unavailable(why);
    }

    // Drops our session; the portal hears of it unless it is gone already. `tell` is false
    // while we are being destroyed: a receiver asking trigger() then would find half an object.
    void forgetSession(bool tell = true) {
        ++generation;
        if (!request.isEmpty())
            stopListening(request);
        request.clear();
        if (!session.isEmpty())
            bus.disconnect(QString(), session, SessionInterface, QStringLiteral("Closed"), q,
                           SLOT(onSessionClosed(QDBusMessage)));
        const bool hadTriggers = !triggers.isEmpty();
        triggers.clear();
        binding.clear();
        step = Step::Idle;
        if (hadTriggers && tell)
            emit q->triggersChanged();
    }

    void closeSession(bool tell = true) {
        if (!session.isEmpty())
            bus.send(portalCall(session, SessionInterface, QStringLiteral("Close")));
        forgetSession(tell);
        session.clear();
    }

    void portalOwnerChanged(const QString& newOwner) {
        forgetSession();
        session.clear();
        registeredWithFrontend = false;
        if (newOwner.isEmpty()) {
            if (!wanted.isEmpty())
                goneTimer.start();
            return;
        }
        goneTimer.stop();
        syncTimer.start();
    }

    static QString tr(const char* text) { return PortalHotkeys::tr(text); }
};

PortalHotkeys::PortalHotkeys(const QString& appId, const QDBusConnection& bus, QObject* parent)
    : IHotkeys(parent), d(std::make_unique<Private>(this, bus, appId)) {
    registerTypes();
    d->syncTimer.setSingleShot(true);
    d->syncTimer.setInterval(0);
    connect(&d->syncTimer, &QTimer::timeout, this, [this] { d->sync(); });
    d->goneTimer.setSingleShot(true);
    d->goneTimer.setInterval(PortalGoneGraceMs);
    connect(&d->goneTimer, &QTimer::timeout, this, [this] {
        emit unavailable(tr("The desktop portal stopped; the global hotkeys are off until it "
                            "runs again."));
    });
    connect(&d->watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                d->portalOwnerChanged(newOwner);
            });
    // Activations reach every client of the portal; onActivated keeps only our session's.
    const bool listening =
        d->bus.connect(QString(), DesktopPath, ShortcutsInterface, QStringLiteral("Activated"),
                       this, SLOT(onActivated(QDBusMessage))) &&
        d->bus.connect(QString(), DesktopPath, ShortcutsInterface,
                       QStringLiteral("ShortcutsChanged"), this,
                       SLOT(onShortcutsChanged(QDBusMessage)));
    if (!listening)
        QTimer::singleShot(0, this, [this] {
            emit unavailable(tr("Global hotkeys need a session bus, and none is reachable."));
        });
}

PortalHotkeys::~PortalHotkeys() {
    d->closeSession(false);
}

bool PortalHotkeys::registerHotKey(int id, int virtualKey) {
    const std::optional<KeyMeaning> meaning = meaningOf(virtualKey);
    if (!meaning)
        return false;
    for (auto it = d->wanted.cbegin(); it != d->wanted.cend(); ++it)
        if (it.value() == virtualKey && it.key() != id)
            return false;
    d->wanted.insert(id, virtualKey);
    d->syncTimer.start();
    return true;
}

void PortalHotkeys::unregisterHotKey(int id) {
    if (d->wanted.remove(id) > 0)
        d->syncTimer.start();
}

QString PortalHotkeys::trigger(int id) const {
    const auto it = d->wanted.constFind(id);
    if (it == d->wanted.cend())
        return {};
    return d->triggers.value(meaningOf(*it)->shortcutId);
}

QString PortalHotkeys::sessionHandle() const {
    return d->step == Private::Step::Bound ? d->session : QString();
}

void PortalHotkeys::onRequestResponse(const QDBusMessage& message) {
    if (message.path() != d->request)
        return;
    d->stopListening(d->request);
    d->request.clear();
    const QList<QVariant> args = message.arguments();
    d->responded(args.value(0).toUInt(), mapFrom(args.value(1)));
}

void PortalHotkeys::onSessionClosed(const QDBusMessage& message) {
    if (message.path() != d->session)
        return;
    // The desktop ended it (the user revoked it, or the desktop restarted its part): the keys
    // are wanted still, so ask again.
    d->forgetSession();
    d->session.clear();
    d->syncTimer.start();
}

void PortalHotkeys::onActivated(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (d->step != Private::Step::Bound || pathFrom(args.value(0)) != d->session)
        return;
    const QString shortcutId = args.value(1).toString();
    for (auto it = d->binding.cbegin(); it != d->binding.cend(); ++it) {
        if (meaningOf(it.value())->shortcutId == shortcutId) {
            emit hotkey(it.key());
            return;
        }
    }
}

void PortalHotkeys::onShortcutsChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (d->step != Private::Step::Bound || pathFrom(args.value(0)) != d->session)
        return;
    d->takeTriggers(shortcutsFrom(args.value(1)));
}

void PortalHotkeys::probe(const QDBusConnection& bus, QObject* context,
                          std::function<void(bool, const QString&)> done) {
    QDBusMessage m = QDBusMessage::createMethodCall(
        Service, DesktopPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    m << ShortcutsInterface << QStringLiteral("version");
    auto* w = new QDBusPendingCallWatcher(QDBusConnection(bus).asyncCall(m), context);
    QObject::connect(
        w, &QDBusPendingCallWatcher::finished, context,
        [done = std::move(done)](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            const QDBusMessage reply = call->reply();
            if (reply.type() != QDBusMessage::ErrorMessage) {
                const uint version =
                    reply.arguments().value(0).value<QDBusVariant>().variant().toUInt();
                if (version >= 1)
                    done(true, QString());
                else
                    done(false, tr("the desktop portal has no global shortcuts"));
                return;
            }
            const QDBusError::ErrorType type = QDBusError(reply).type();
            if (type == QDBusError::ServiceUnknown || type == QDBusError::Disconnected)
                done(false, tr("no desktop portal"));
            else if (type == QDBusError::InvalidArgs || type == QDBusError::UnknownInterface ||
                     type == QDBusError::UnknownProperty ||
                     reply.errorMessage().contains(QLatin1String("No such interface")))
                done(false, tr("the desktop portal has no global shortcuts"));
            else
                done(false, tr("the desktop portal did not answer (%1)").arg(reply.errorMessage()));
        });
}

bool PortalHotkeys::probeBlocking(const QDBusConnection& bus, int timeoutMs, QString* why) {
    QEventLoop loop;
    bool usable = false;
    QString reason = tr("the desktop portal did not answer in time");
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    probe(bus, &loop, [&](bool ok, const QString& text) {
        usable = ok;
        reason = text;
        loop.quit();
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (why)
        *why = usable ? QString() : reason;
    return usable;
}

} // namespace tw
