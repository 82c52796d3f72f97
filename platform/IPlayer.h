#pragma once

#include <QString>

namespace tw {

// Plays files by path; the path names the playback, as a media device would.
class IPlayer {
  public:
    virtual ~IPlayer() = default;
    virtual void play(const QString& path) = 0;  // starts in the background, returns at once
    virtual void close(const QString& path) = 0; // stops and releases; unknown paths are ignored
    // "playing", "stopped" (played to its end, not yet closed) or "" when not open.
    virtual QString mode(const QString& path) = 0;
    virtual void playToEnd(const QString& path) = 0; // returns when playback has ended
    // Why the last play or playToEnd could not start; "" when it started.
    virtual QString lastError() const = 0;
};

} // namespace tw
