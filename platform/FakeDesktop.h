#pragma once

#include "platform/IDesktop.h"

#include <QTimer>

namespace tw {

class FakeDesktop final : public IDesktop {
  public:
    void open(const QString& target, Failed failed) override {
        log.append("open " + target);
        report(target, std::move(failed));
    }
    void startMediaPlayer(const QStringList& arguments, Failed failed) override {
        log.append("player " + arguments.join('|'));
        report(arguments.value(0), std::move(failed));
    }
    void showInFolder(const QString& path, Failed failed) override {
        log.append("folder " + path);
        report(path, std::move(failed));
    }
    QStringList log;
    bool succeed = true;
    QString why = QStringLiteral("no program is registered for it");

  private:
    void report(const QString& target, Failed failed) {
        if (!succeed && failed)
            QTimer::singleShot(0, [failed, target, why = why] { failed(target, why); });
    }
};

} // namespace tw
