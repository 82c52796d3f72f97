#pragma once

#include "platform/IWindowAutomation.h"

#include <QStringList>

namespace tw {

class FakeWindowAutomation final : public IWindowAutomation {
  public:
    quint64 findWindowByClass(const QString& windowClass) override {
        log.append("find " + windowClass);
        return windowClass == composerClass ? composer : 0;
    }
    QString windowTitle(quint64 window) override { return window == composer ? title : QString(); }
    bool activateByTitle(const QString& t) override {
        log.append("activate " + t);
        return !t.isEmpty() && t == title;
    }
    bool sendKeys(const QString& keys) override {
        log.append("keys " + keys);
        return true;
    }

    QStringList log;
    QString composerClass = QStringLiteral("ATH_Note");
    quint64 composer = 0; // 0: no composer window yet
    QString title = QStringLiteral("New Message");
};

} // namespace tw
