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
    bool watchWindows(std::function<void()> changed) override {
        if (canWatch)
            watching = std::move(changed);
        return canWatch;
    }
    void stopWatching() override { watching = nullptr; }
    // What the window system would do on a change: the callback, if a watch is on.
    void windowsChanged() {
        if (const std::function<void()> changed = watching)
            changed();
    }

    QStringList log;
    QString composerClass = QStringLiteral("ATH_Note");
    quint64 composer = 0; // 0: no composer window yet
    QString title = QStringLiteral("New Message");
    bool canWatch = true; // false: a display that cannot tell of changes
    std::function<void()> watching;
};

} // namespace tw
