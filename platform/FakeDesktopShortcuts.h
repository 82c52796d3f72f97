#pragma once

#include "platform/IDesktopShortcuts.h"

namespace tw {

// Answers as told and counts the changes asked for.
class FakeDesktopShortcuts final : public IDesktopShortcuts {
  public:
    bool available() const override { return isAvailable; }
    bool ours() const override { return present; }
    Change add() override {
        ++adds;
        present = present || addAnswer.done;
        return addAnswer;
    }
    Change remove() override {
        ++removes;
        present = false;
        return Change{true, {}, {}};
    }

    bool isAvailable = true;
    bool present = false;
    Change addAnswer{true, {}, {}};
    int adds = 0;
    int removes = 0;
};

} // namespace tw
