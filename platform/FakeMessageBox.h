#pragma once

#include "platform/IMessageBox.h"

#include <QStringList>

namespace tw {

// Records the texts instead of showing them, so that tests never block on a box.
class FakeMessageBox final : public IMessageBox {
  public:
    void critical(const QString& text) override { texts.append(text); }

    QStringList texts;
};

} // namespace tw
