#pragma once

#include "platform/IHotkeys.h"

#include <memory>

namespace tw {

// Key grabs on the X11 root window through the connection Qt already holds. Each key is
// also grabbed with NumLock and CapsLock so that the locks do not swallow it. Without an
// X11 display (offscreen, pure Wayland) every registration fails quietly.
class X11Hotkeys final : public IHotkeys {
    Q_OBJECT
  public:
    explicit X11Hotkeys(QObject* parent = nullptr);
    ~X11Hotkeys() override;

    bool registerHotKey(int id, int virtualKey) override;
    void unregisterHotKey(int id) override;

  private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace tw
