#pragma once

#include "platform/IMessageBox.h"

#include <QPointer>

class QWidget;

namespace tw {

// QMessageBox::critical over the owner's window. A caller that must be seen as a running
// handler while the box is open (the hotkey rule) wraps this object in its own IMessageBox.
class QtMessageBox final : public IMessageBox {
  public:
    explicit QtMessageBox(QWidget* parent = nullptr);
    void critical(const QString& text) override;
    bool question(const QString& text) override;

  private:
    QPointer<QWidget> parent_;
};

} // namespace tw
