#pragma once

#include "platform/IPlayer.h"

#include <QMap>
#include <QStringList>

namespace tw {

class FakePlayer final : public IPlayer {
  public:
    void play(const QString& path) override {
        log.append("play " + path);
        error = failPlay;
        if (error.isEmpty())
            modes[path] = autoFinish ? QStringLiteral("stopped") : QStringLiteral("playing");
    }
    void close(const QString& path) override {
        log.append("close " + path);
        modes.remove(path);
    }
    QString mode(const QString& path) override { return modes.value(path); }
    void playToEnd(const QString& path) override { log.append("playToEnd " + path); }
    QString lastError() const override { return error; }

    QStringList log;
    QMap<QString, QString> modes;
    bool autoFinish = false; // playback ends at once, as a very short file would
    QString failPlay;        // when set, play starts nothing and reports this
    QString error;
};

} // namespace tw
