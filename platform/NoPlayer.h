#pragma once

#include "platform/IPlayer.h"

namespace tw {

// Stands in until the sound-server player is built: nothing is ever open, so every close
// is a no-op and every mode is "". It claims no playback.
class NoPlayer final : public IPlayer {
  public:
    void play(const QString&) override {}
    QString lastError() const override { return QStringLiteral("playback is not available"); }
    void close(const QString&) override {}
    QString mode(const QString&) override { return {}; }
    void playToEnd(const QString&) override {}
};

} // namespace tw
