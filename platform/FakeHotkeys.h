#pragma once

#include "platform/IHotkeys.h"

#include <QList>
#include <QMap>

namespace tw {

class FakeHotkeys final : public IHotkeys {
    Q_OBJECT
  public:
    using IHotkeys::IHotkeys;
    bool registerHotKey(int id, int virtualKey) override {
        if (heldElsewhere.contains(id))
            return false;
        registered.insert(id, virtualKey);
        log.append(QStringLiteral("register %1 %2").arg(id).arg(virtualKey));
        return true;
    }
    void unregisterHotKey(int id) override {
        registered.remove(id);
        log.append(QStringLiteral("unregister %1").arg(id));
    }
    // Delivers a key press as the window system would.
    void press(int id) {
        if (registered.contains(id))
            emit hotkey(id);
    }

    QMap<int, int> registered;
    QList<int> heldElsewhere; // ids another program has grabbed: registering them fails
    QStringList log;
};

} // namespace tw
