#pragma once

#include "platform/IPlayer.h"

#include <memory>

namespace tw {

// Plays files by path on the sound server's default output: libsndfile decodes (WAV, and MP3
// where the system's libsndfile reads it), libpulse plays, one stream per open path. Each
// player owns a PulseAudio mainloop thread and a decoder thread; no call ever waits on the
// server for more than about two seconds, and a server that goes away turns every open path
// to "stopped". Use a player from one thread only.
class PulsePlayer final : public IPlayer {
  public:
    PulsePlayer();
    ~PulsePlayer() override; // closes everything; does not wait for the server
    PulsePlayer(const PulsePlayer&) = delete;
    PulsePlayer& operator=(const PulsePlayer&) = delete;

    // Playing a path that is already open starts it again from the beginning.
    void play(const QString& path) override;
    void close(const QString& path) override;
    QString mode(const QString& path) override;
    // Blocks until the file has played, at most its length and two seconds more.
    void playToEnd(const QString& path) override;

    // Why the last play or playToEnd failed; empty when it started (and, for playToEnd, ran
    // to its end).
    QString lastError() const;

  private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace tw
