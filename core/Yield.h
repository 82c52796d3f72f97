#pragma once

namespace tw {

// Marks that a handler is running. Hotkeys are acted on only when none is: a hotkey that
// arrives inside a handler's yield, a modal message box or a popup menu has no effect.
class HandlerScope {
  public:
    HandlerScope();
    ~HandlerScope();
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

    static bool active();
};

// Lets the window system process all pending events once, as a running handler.
void yieldToWindowSystem();

} // namespace tw
