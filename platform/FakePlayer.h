#pragma once

#include "platform/IPlayer.h"

#include <QMap>
#include <QStringList>

namespace tw {

class FakePlayer final : public IPlayer {
public:
    void play(const QString& path) override {
        log.append("play " + path);
        modes[path] = QStringLiteral("playing");
    }
    void close(const QString& path) override {
        log.append("close " + path);
        modes.remove(path);
    }
    QString mode(const QString& path) override { return modes.value(path); }
    void playToEnd(const QString& path) override { log.append("playToEnd " + path); }

    QStringList log;
    QMap<QString, QString> modes;
};

} // namespace tw
