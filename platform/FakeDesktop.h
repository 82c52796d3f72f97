#pragma once

#include "platform/IDesktop.h"

namespace tw {

class FakeDesktop final : public IDesktop {
  public:
    bool open(const QString& target) override {
        log.append("open " + target);
        return succeed;
    }
    bool startMediaPlayer(const QStringList& arguments) override {
        log.append("player " + arguments.join('|'));
        return succeed;
    }
    QStringList log;
    bool succeed = true;
};

} // namespace tw
