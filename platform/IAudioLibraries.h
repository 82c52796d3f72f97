#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <array>
#include <cstdint>

namespace tw {

// What the engine knows of the take in progress, or else of the last one.
struct EngineStatus {
    enum Problem { ServerLost = 1, Stalled = 2, WriteFailed = 4, SourceLost = 8, InputLost = 16 };
    int take = 0;     // 0 none, 1 recording, 2 paused
    int problems = 0; // Problem bits, kept until the next take begins
    qint64 frames = 0;
    int rate = 0;
    QString capture; // the take's capture file; after a stop that left it behind, where it is
    // With a program chosen: 1 while a stream of it is recorded, 0 while it plays nothing; -1
    // with none chosen.
    int program = -1;
    double seconds() const { return rate > 0 ? double(frames) / rate : 0; }
};

// The input's level over the last ~100 ms of a running take.
struct EngineLevel {
    double peak = 0; // share of full scale
    bool clipped = false;
    qint64 updates = 0; // spans measured so far in the take
};

// A program with a playback stream now, as the sound server names it.
struct PlayingProgram {
    QString name;
    QString icon; // the icon name the program gives, or ""
    friend bool operator==(const PlayingProgram&, const PlayingProgram&) = default;
};

// The two audio libraries beside the program: the recording engine (export `Wavelark`)
// and the mixer (export `Volume`). Threads: Wavelark, Volume, VolumeLevel and
// WavelarkSourceDescription may wait for the sound server, so they are called only on the
// engine client's worker thread, one at a time; WavelarkStatus and WavelarkLevel never wait
// and are called from the user-interface thread, also while a worker call is under way.
class IAudioLibraries {
  public:
    virtual ~IAudioLibraries() = default;

    // Engine call. `file` is handed over as 8-bit text. Returns the engine's result, or
    // kNotLoaded when the library could not be loaded (see loadError()).
    virtual int32_t Wavelark(const QByteArray& file, int32_t mode, int32_t a, int32_t b, int32_t c,
                             int32_t d) = 0;
    // Mixer call; `range` is written by the library.
    virtual int32_t Volume(int32_t source, int32_t volume, std::array<int32_t, 2>& range) = 0;

    // The mixer's current volume of `source` as a position on `range` (filled as Volume does),
    // or a negative result. Changes nothing.
    virtual int32_t VolumeLevel(int32_t source, std::array<int32_t, 2>& range) = 0;
    // Never waits for the sound server nor for a running engine call. 0, or kNotLoaded.
    virtual int32_t WavelarkStatus(EngineStatus& status) = 0;

    // The level while a take runs: 0, or -3 without a take, or kNotLoaded. Like
    // WavelarkStatus, never waits and may be asked from any thread.
    virtual int32_t WavelarkLevel(EngineLevel& level) = 0;
    // The next take begun from the open input starts `marginMs` before its first sample at
    // `share` of full scale (0: the whole span kept). May wait for a running engine call.
    virtual int32_t WavelarkStartAtSound(double share, int32_t marginMs) = 0;
    // The sound server's description of source `number` (-1: the one in use). May wait.
    virtual int32_t WavelarkSourceDescription(int32_t number, QString& description) = 0;

    // The program whose sound alone takes record, in place of the selected source ("" none).
    // May wait.
    virtual int32_t WavelarkSelectApplication(const QByteArray& name) = 0;
    // The programs playing now, sorted by name; the count, or a negative result. May wait.
    virtual int32_t WavelarkApplications(QList<PlayingProgram>& programs) = 0;
    // Each input's level in percent (0..200) and whether each has a channel of its own, for
    // takes begun after the call. May wait.
    virtual int32_t WavelarkMix(int32_t firstPercent, int32_t secondPercent,
                                int32_t ownChannels) = 0;
    // One input's level (0 first, 1 second), as WavelarkLevel: never waits.
    virtual int32_t WavelarkInputLevel(int32_t input, EngineLevel& level) = 0;

    // Why the last call could not reach its library ("" when it could).
    virtual QString loadError() const = 0;

    static constexpr int32_t kNotLoaded = INT32_MIN;
};

} // namespace tw
