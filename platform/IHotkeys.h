#pragma once

#include <QObject>

namespace tw {

// System-wide hotkeys without modifiers. A key another program holds is simply never
// reported; registration failures are not errors the caller must handle.
class IHotkeys : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    ~IHotkeys() override = default;

    // `virtualKey` uses the Windows key codes of the design (0x78 = F9 … 0x7A = F11).
    virtual bool registerHotKey(int id, int virtualKey) = 0;
    virtual void unregisterHotKey(int id) = 0;

  signals:
    void hotkey(int id);
};

} // namespace tw
