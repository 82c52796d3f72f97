#pragma once

#include "platform/IHotkeys.h"

#include <QDBusConnection>
#include <QString>
#include <functional>
#include <memory>

class QDBusMessage;

namespace tw {

// Global shortcuts through the desktop portal (org.freedesktop.portal.GlobalShortcuts), the
// only way a program on Wayland hears keys while another window has the focus. The desktop,
// not the program, owns the keys: we only say which ones we would like (F9, F10, F11) and the
// desktop may assign others or ask the user first, which is why the answers arrive later,
// through triggersChanged() and unavailable(). Every bus call is asynchronous.
//
// Registrations made one after another are collected and bound together as one portal
// session, because a session can be bound only once and the desktop may show one
// confirmation for it.
class PortalHotkeys final : public IHotkeys {
    Q_OBJECT
  public:
    // `appId` names the program to the desktop; it should match the .desktop file's name.
    explicit PortalHotkeys(const QString& appId,
                           const QDBusConnection& bus = QDBusConnection::sessionBus(),
                           QObject* parent = nullptr);
    ~PortalHotkeys() override;

    // Only F9, F10 and F11 have a meaning the desktop can show the user; other keys are refused.
    bool registerHotKey(int id, int virtualKey) override;
    void unregisterHotKey(int id) override;
    QString trigger(int id) const override;

    // The portal's handle of the session bound now; "" while none is.
    QString sessionHandle() const;

    // Whether the bus has a portal that offers global shortcuts. Answers once, on the
    // caller's thread, unless `context` is destroyed first; `why` is meant for the user.
    static void probe(const QDBusConnection& bus, QObject* context,
                      std::function<void(bool usable, const QString& why)> done);
    // For start-up before any window exists: waits at most `timeoutMs` in a local loop.
    static bool probeBlocking(const QDBusConnection& bus, int timeoutMs, QString* why = nullptr);

  private slots:
    void onRequestResponse(const QDBusMessage& message);
    void onSessionClosed(const QDBusMessage& message);
    void onActivated(const QDBusMessage& message);
    void onShortcutsChanged(const QDBusMessage& message);

  private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace tw
