#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QThread;

namespace tw {

class IAudioLibraries;
struct EngineStatus;
struct EngineLevel;
struct PlayingProgram;
struct RecordingFormat;

// The engine's modes, as its export takes them.
enum class EngineMode : int32_t {
    StopAndSave = 0,
    Record = 1,
    Pause = 2,
    Resume = 3,
    CountSources = 4,
    SelectSource = 5,
    Listen = 6,
    SelectSecondSource = 7,
};

// What a negative answer of the engine means; a count (mode 4) is the answer itself.
enum class EngineResult : int32_t {
    Ok = 0,
    BadArgument = -1,
    NoServer = -2,
    OutOfTurn = -3,
    NotPlaced = -4,
    CutShort = -5,
    SourceGone = -6,
    NameTaken = -7,
    NotLoaded = INT32_MIN,
};

inline EngineResult engineResult(int32_t answer) {
    return answer >= 0 ? EngineResult::Ok : static_cast<EngineResult>(answer);
}

using VolumeRange = std::array<int32_t, 2>;

// A volume as a slider over the range holds it.
int boundedVolume(int volume, const VolumeRange& range);
int middleVolume(const VolumeRange& range);

// The engine and the mixer, called on one worker thread of their own so that a hung sound
// server never freezes the window. Calls run in the order they were made; each answer
// comes back on the caller's thread through the event loop, to `context` (dropped when
// `context` is gone by then).
class EngineClient : public QObject {
    Q_OBJECT
  public:
    explicit EngineClient(IAudioLibraries& audio, QObject* parent = nullptr);
    ~EngineClient() override;

    using Answer = std::function<void(int32_t)>;
    using MixerAnswer = std::function<void(int32_t, VolumeRange)>;

    void call(EngineMode mode, QObject* context = nullptr, Answer answer = {},
              const QByteArray& file = {}, int32_t a = 0, int32_t b = 0, int32_t c = 0,
              int32_t d = 0);
    // A test take's capture is never recovered as the user's take if the program dies.
    enum class Take { User, Test };
    void record(const RecordingFormat& format, QObject* context, Answer answer,
                Take take = Take::User);
    void stopAndSave(const QString& path, QObject* context, Answer answer);
    // Keeps the input open between takes, holding its last `keepMs` in memory: the next take
    // in the same format begins with them, and the level is measured meanwhile.
    void listen(const RecordingFormat& format, int keepMs);
    void stopListening() { call(EngineMode::Listen); }
    // The next take begun from the open input starts `marginMs` before its first sample at
    // `share` of full scale; 0 keeps the whole span.
    void startAtSound(double share, int marginMs);
    void selectSource(int32_t index) {
        call(EngineMode::SelectSource, nullptr, {}, {}, 0, 0, 0, index);
    }
    // The input mixed in as the second (numbered as for selectSource; -1 none).
    void selectSecondSource(int32_t index) {
        call(EngineMode::SelectSecondSource, nullptr, {}, {}, 0, 0, 0, index);
    }
    // The program whose sound alone the first input records ("": the selected source).
    void selectApplication(const QString& name);
    // Each input's level in percent and whether each has a channel of its own, for the
    // takes begun after it.
    void mix(int firstPercent, int secondPercent, bool ownChannels);
    // The programs playing now, on the worker; `ok` false when the server could not tell.
    void applications(QObject* context,
                      std::function<void(const QList<PlayingProgram>&, bool ok)> answer);
    void mixer(int32_t source, int32_t volume, QObject* context = nullptr, MixerAnswer answer = {});
    // How a source is opened: set to a given volume, to the middle of its range, or left at
    // the volume it has.
    enum class OpenAt { Given, Middle, Current };
    // Opens a mixer source: asks its range and volume, then sets the volume `at` asks for,
    // bounded to that range. The calls go out before any call made after this one. The answer
    // gets the range and the volume now in force, or nothing when the mixer could not tell it.
    void openSource(int32_t source, OpenAt at, int volume, QObject* context,
                    std::function<void(VolumeRange, std::optional<int>)> answer);
    // What the engine knows of the take in progress. Asked on the caller's thread: the engine
    // answers it without waiting for the sound server or for a call on its way.
    std::optional<EngineStatus> status();
    // The input's level while a take runs, asked the same way; nothing without a take.
    std::optional<EngineLevel> level();
    // One input's level (0 the first, 1 the second), asked the same way.
    std::optional<EngineLevel> inputLevel(int input);
    // The sound server's description of a source (-1: the one in use), on the worker; ""
    // when the server cannot tell.
    void sourceDescription(int32_t number, QObject* context, std::function<void(QString)> answer);

    // Calls made and not yet answered.
    bool busy() const { return pending_.load() > 0; }

    // Runs `work` on the worker after the calls made before; `deliver` gets its result back
    // on this object's thread, unless `context` is gone by then. For work that may take long
    // and must keep its turn among the engine's calls (moving a take's file).
    void run(QObject* context, std::function<int32_t()> work, std::function<void(int32_t)> deliver);

  signals:
    // A call could not reach its library; `why` names it.
    void libraryMissing(const QString& why);

  private:
    IAudioLibraries& audio_;
    std::unique_ptr<QThread> thread_;
    QObject* worker_ = nullptr;
    std::atomic<int> pending_{0};
    VolumeRange range_{0, 0}; // the worker's alone
};

} // namespace tw
