#pragma once

#include "platform/IMessageBox.h"

#include <QStringList>

namespace tw {

// Records the texts instead of showing them, so that tests never block on a box. Questions
// are answered with `answer`.
class FakeMessageBox final : public IMessageBox {
  public:
    void critical(const QString& text) override { texts.append(text); }
    bool question(const QString& text) override {
        questions.append(text);
        return answer;
    }

    QStringList texts;
    QStringList questions;
    bool answer = false;
};

} // namespace tw
