#pragma once

#include <QObject>
#include <QString>

namespace tw {

// System-wide hotkeys without modifiers. A key another program holds is simply never
// reported; registration failures are not errors the caller must handle.
class IHotkeys : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    ~IHotkeys() override = default;

    // `virtualKey` is a virtual-key number: F9 = 0x78, F10 = 0x79, F11 = 0x7A. Each
    // implementation turns it into its own name for the key.
    virtual bool registerHotKey(int id, int virtualKey) = 0;
    virtual void unregisterHotKey(int id) = 0;
    // The key the desktop assigned to a hotkey, in the desktop's own words; "" when the
    // desktop did not say (X11 grabs get the key asked for).
    virtual QString trigger(int id) const {
        Q_UNUSED(id);
        return {};
    }

  signals:
    void hotkey(int id);
    // The desktop assigned keys, or the user changed them: trigger() has news.
    void triggersChanged();
    // The hotkeys could not be set up or stopped working; `why` is meant for the user.
    void unavailable(const QString& why);
};

} // namespace tw
