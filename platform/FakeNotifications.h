#pragma once

#include "platform/INotifications.h"

#include <QStringList>
#include <QTimer>

namespace tw {

class FakeNotifications final : public INotifications {
  public:
    struct Sent {
        uint id;
        QString summary, body, icon;
        QList<Action> actions;
        QString actionKeys() const {
            QStringList keys;
            for (const Action& a : actions)
                keys << a.key;
            return keys.join(u'|');
        }
    };

    bool available() const override { return serverPresent; }
    void notify(const QString& summary, const QString& body, const QList<Action>& actions,
                const QString& icon, Shown shown) override {
        const uint id = serverPresent ? ++lastId : 0;
        sent.append({id, summary, body, icon, actions});
        if (shown)
            QTimer::singleShot(0, [shown, id] { shown(id); });
    }
    void setActionInvoked(Invoked invoked) override { invoked_ = std::move(invoked); }
    // The user clicks `key` on notification `id`.
    void invoke(uint id, const QString& key) {
        if (invoked_)
            invoked_(id, key);
    }

    QList<Sent> sent;
    bool serverPresent = true;
    uint lastId = 0;

  private:
    Invoked invoked_;
};

} // namespace tw
