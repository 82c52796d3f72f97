#pragma once

#include <QString>

namespace tw {

class IPlayer;
class StatusLine;

// Playing a listed file, one at a time, named by its path as the player knows it.
class Playback {
  public:
    Playback(IPlayer& player, StatusLine& status) : player_(player), status_(status) {}

    // Closes what played before and plays `path`; false when it could not start.
    bool play(const QString& path);
    // True once the file has played to its end (said on the status line).
    bool ended();
    // Stops and closes `path` (the line the user chose, which may not be the one playing).
    // False when another file goes on playing, which the status line then names.
    bool stop(const QString& path);
    void closePlaying();
    const QString& playingFile() const { return playingFile_; }

  private:
    IPlayer& player_;
    StatusLine& status_;
    QString playingFile_;
};

} // namespace tw
