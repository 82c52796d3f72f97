#include "core/Playback.h"

#include "core/StatusLine.h"
#include "platform/IPlayer.h"

namespace tw {

bool Playback::play(const QString& path) {
    player_.close(playingFile_);
    playingFile_ = path;
    player_.play(path);
    if (!player_.lastError().isEmpty()) {
        // A missing or undecodable file must not claim to play.
        status_.set(
            QStringLiteral("%1 cannot be played: %2")
                .arg(path.isEmpty() ? QStringLiteral("The line") : path, player_.lastError()),
            kRed);
        return false;
    }
    status_.set(QStringLiteral("Recording is playing now........"), kBlue);
    return true;
}

bool Playback::ended() {
    if (player_.mode(playingFile_) != QStringLiteral("stopped"))
        return false;
    status_.set(QStringLiteral("Playback has stopped"), kRed);
    return true;
}

bool Playback::stop(const QString& path) {
    player_.close(path);
    if (path != playingFile_ && player_.mode(playingFile_) == QStringLiteral("playing")) {
        status_.set(QStringLiteral("Still playing: %1").arg(playingFile_), kBlue);
        return false;
    }
    status_.set(QStringLiteral("Playback has stopped"), kRed);
    return true;
}

void Playback::closePlaying() {
    player_.close(playingFile_);
}

} // namespace tw
