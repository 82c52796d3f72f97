#pragma once

#include <QString>
#include <functional>

namespace tw {

// Finding another program's top-level window and typing into it, as the mail command
// needs. Without a suitable display every lookup finds nothing and nothing fails.
class IWindowAutomation {
  public:
    virtual ~IWindowAutomation() = default;
    // An opaque handle of a top-level window whose class is `windowClass`, or 0.
    virtual quint64 findWindowByClass(const QString& windowClass) = 0;
    virtual QString windowTitle(quint64 window) = 0;
    // Brings the window with this title to the front; false when none has it.
    virtual bool activateByTitle(const QString& title) = 0;
    // Types one string in the key-sending notation ("%(I)" is Alt+I, "{ENTER}" Enter,
    // other characters as they stand) into the focused window, without waiting.
    virtual bool sendKeys(const QString& keys) = 0;

    // Calls `changed` on this thread, once per batch, whenever top-level windows may have
    // appeared or changed, until stopWatching(); a new call replaces the callback. False when
    // the display cannot tell, and then nothing is called: the caller has to look now and then.
    virtual bool watchWindows(std::function<void()> changed) = 0;
    virtual void stopWatching() = 0;
};

} // namespace tw
