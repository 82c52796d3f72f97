#pragma once

#include <QString>

namespace tw {

// Modal messages. A box carries only its text: the caption is the application's title.
class IMessageBox {
  public:
    virtual ~IMessageBox() = default;
    // An error: the critical (stop) sign and OK. Returns when the user has closed the box.
    virtual void critical(const QString& text) = 0;
    // A Yes/No question; true for Yes. Closing the box any other way answers No.
    virtual bool question(const QString& text) = 0;
};

} // namespace tw
