#pragma once

#include <QString>

namespace tw {

// Modal error messages. The box carries only its text: the caption is the application's
// title, the icon is the critical (stop) sign and OK is the one button.
class IMessageBox {
  public:
    virtual ~IMessageBox() = default;
    // Returns when the user has closed the box.
    virtual void critical(const QString& text) = 0;
};

} // namespace tw
