#pragma once

// The main window as the program puts it together: one application, handed to the window
// and to the hotkeys' front end, built before both and destroyed after them.
#include "app/Form1.h"
#include "app/HotkeyCommands.h"
#include "core/Session.h"

namespace tw::test {

struct FrontEndsOf {
    explicit FrontEndsOf(const Services& s)
        : application(s.appDir, s.audio, s.player, s.messages), keys(application, s.hotkeys) {
        keys.claim();
    }
    Session application;
    HotkeyCommands keys;
};

class RiggedForm1 : public FrontEndsOf, public Form1 {
  public:
    explicit RiggedForm1(const Services& s) : FrontEndsOf(s), Form1(application, s) {}
};

} // namespace tw::test
