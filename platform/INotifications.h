#pragma once

#include <QList>
#include <QString>
#include <functional>

namespace tw {

// The desktop's notification bubbles. Nothing here waits: a notification's id comes back
// later from the event loop, and a desktop without a notification server simply shows none.
class INotifications {
  public:
    struct Action {
        QString key;   // handed back by ActionInvoked
        QString label; // the button's words
    };
    // The id the server gave the notification; 0 when it was not shown.
    using Shown = std::function<void(uint id)>;
    using Invoked = std::function<void(uint id, const QString& key)>;

    virtual ~INotifications() = default;
    // Whether a notification would be worth sending: false once the server was found missing,
    // true again when one appears.
    virtual bool available() const = 0;
    virtual void notify(const QString& summary, const QString& body, const QList<Action>& actions,
                        const QString& icon, Shown shown = {}) = 0;
    // The user chose an action of a notification this program sent.
    virtual void setActionInvoked(Invoked invoked) = 0;
};

} // namespace tw
