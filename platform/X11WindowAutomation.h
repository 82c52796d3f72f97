#pragma once

#include "platform/IWindowAutomation.h"

#include <memory>

namespace tw {

// Other programs' windows through the X connection Qt already holds: windows are looked up
// in the window manager's client list (or among the root's children when no window manager
// runs), activated through the window manager and focused directly, and keys are typed with
// the XTest extension. Characters missing from the keyboard map are typed through a spare
// keycode that is mapped to them for the moment and cleared again a little later.
// Changes among the top-level windows are watched on a connection of our own, so that the
// root window's events reach us without passing through Qt's event stream.
// Without an X11 display (offscreen, pure Wayland) nothing is found and nothing is typed.
class X11WindowAutomation final : public IWindowAutomation {
  public:
    X11WindowAutomation();
    ~X11WindowAutomation() override;

    quint64 findWindowByClass(const QString& windowClass) override;
    QString windowTitle(quint64 window) override;
    bool activateByTitle(const QString& title) override;
    // All or nothing: a malformed string, or a key that cannot be produced, types nothing
    // and returns false.
    bool sendKeys(const QString& keys) override;
    bool watchWindows(std::function<void()> changed) override;
    void stopWatching() override;

  private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace tw
