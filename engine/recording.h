// One take: the server's record stream feeds a ring on the libpulse thread, a writer thread
// empties the ring into a capture file, and the stop moves the finished capture
// to the caller's path. Internal to libWavelark.so.
#pragma once

#include "engine/byte_ring.h"
#include "engine/capture_file.h"
#include "engine/exports.h"
#include "engine/followed_input.h"
#include "engine/level_meter.h"
#include "engine/pulse_client.h"
#include "engine/wav_writer.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tw::engine {

// The level meters publish the peak of spans of this part of a second.
inline constexpr int kLevelSpansPerSecond = 10;

struct Format {
    int channels = 0;
    int rate = 0;
    int bits = 0;

    bool valid() const {
        return (channels == 1 || channels == 2) && rate >= 8000 && rate <= 96000 &&
               (bits == 8 || bits == 16);
    }
    size_t frameBytes() const { return static_cast<size_t>(channels * bits / 8); }
    pa_sample_spec spec() const {
        return {bits == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE, static_cast<uint32_t>(rate),
                static_cast<uint8_t>(channels)};
    }
    // 8-bit WAV samples are unsigned, centred on 128.
    std::byte silence() const { return bits == 8 ? std::byte{0x80} : std::byte{0}; }
};

// What a take records: its first input (a source, or the server's default) or one program's
// sound in its place, and optionally a second source mixed in.
struct Inputs {
    std::optional<std::string> source;
    std::optional<std::string> second;
    std::string program; // application.name; empty: none
    int firstPercent = 100;
    int secondPercent = 100;
    bool ownChannels = false; // a stereo take: the first input left, the second right
    bool mixed() const { return second.has_value() || !program.empty(); }
    bool operator==(const Inputs&) const = default;
};

// What WavelarkStatus reports of a take. Lock-free, so that the status can be read while the
// engine's calls wait for the server, and shared so that it outlives the take.
struct TakeState {
    explicit TakeState(int32_t rate) : rate(rate) {}
    const int32_t rate;
    std::atomic<int32_t> phase{0}; // 0 over, 1 recording, 2 paused
    std::atomic<int32_t> problems{0};
    std::atomic<int64_t> frames{0};
    LevelWord level{0}; // the input's level, see LevelMeter
    // With two inputs, or a program's sound: each input's level (first, second), apart from
    // the mix's above.
    bool levelsApart = false;
    int32_t inputCount = 1;
    LevelWord inputLevel[2]{};
    std::atomic<int32_t> program{-1}; // see WavelarkStatusInfo::program
};

class Recording {
  public:
    // A test take (the sound-card check's) is never recovered as a take of the user's.
    Recording(std::shared_ptr<Connection> connection, Format format, Inputs inputs,
              bool test = false);
    // A recording that first only listens: the input is open and measured, and its last
    // `keep` of audio is held in memory, with no file, until begin() makes it a take that
    // starts with that audio.
    struct Listening {
        std::chrono::milliseconds keep;
    };
    Recording(std::shared_ptr<Connection> connection, Format format, Inputs inputs,
              Listening listening);
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    int32_t start(Clock::time_point deadline);
    // For a listening recording: connects the stream only.
    int32_t listen(Clock::time_point deadline);
    // How much audio a listening recording holds from now on.
    void setKeep(std::chrono::milliseconds keep);
    // The listening recording becomes a take, beginning with the audio it holds; with a
    // `share` above 0, only from `margin` before the first sample that loud.
    int32_t begin(float share = 0, std::chrono::milliseconds margin = {});
    bool listening() const { return listening_.load(); }
    // After a failed start: nothing was recorded, so no capture is left behind.
    void abandon();
    // Ends the take and puts the capture at dest; an empty dest keeps it in the capture folder.
    int32_t finish(const std::string& dest);

    bool failed() const {
        return has(WavelarkServerLost | WavelarkSourceLost | WavelarkWriteFailed);
    }
    void setPaused(bool paused);
    int64_t gapCount() const { return gapCount_.load(); }
    int64_t gapFrames() const { return gapFrames_.load(); }
    const std::string& capturePath() const { return capturePath_; }
    std::shared_ptr<const TakeState> state() const { return state_; }

  private:
    // The ring holds `ringSpan` of audio.
    Recording(std::shared_ptr<Connection> connection, Format format, Inputs inputs, bool test,
              std::chrono::seconds ringSpan);
    // How one stream goes into the take: its gain, and the take's channel it alone fills (-1:
    // all of them).
    struct Lane {
        float gain = 1;
        int place = -1;
    };
    void planInputs();
    int32_t connectSecond(Clock::time_point deadline);
    // The first input's piece (null: a hole) with the second input's frames of the same span,
    // as the take's audio.
    void mixPiece(const void* data, size_t frames);
    void addLane(const float* in, int channels, Lane lane, size_t frames);
    void fillGap(size_t frames);
    // With the first input gone, the second carries the take: its time is counted by the clock.
    void driveBySecond();
    void secondLost();

    static void streamStateChanged(pa_stream* s, void* self);
    static void streamReadable(pa_stream* s, size_t, void* self);
    static void streamMoved(pa_stream* s, void* self);

    void flag(int32_t problem) { state_->problems.fetch_or(problem); }
    bool has(int32_t problems) const { return (state_->problems.load() & problems) != 0; }
    // The stream gives no more of the chosen input: its server or the input itself is gone.
    bool streamLost() const { return has(WavelarkServerLost | WavelarkSourceLost); }

    void onStateChanged(pa_stream* s);
    void onReadable(pa_stream* s);
    void onMoved(pa_stream* s);
    void streamEnded(int32_t problem);
    void deliver(const void* data, size_t bytes);
    double lowLag() const;
    int64_t frameDueAt(Clock::time_point t) const;
    void collectTail(Clock::time_point stoppedAt, Clock::time_point deadline);
    void append(const void* data, size_t bytes);
    // While listening: the ring keeps only the last keepBytes_ (in whole blocks, so that the
    // capture's blocks stay aligned in it once the take begins).
    void hold(const void* data, size_t bytes);
    // Drops what the ring holds before `margin` ahead of the first sample at `share` of full
    // scale, in whole blocks.
    void startAtSound(float share, std::chrono::milliseconds margin);
    int32_t openCapture();
    void startWriter();
    int32_t connectStream(Clock::time_point deadline);
    void startClock(size_t available);
    void watchClock();
    void countGap(int64_t frames);

    void writerLoop();
    void wakeWriter();
    // True when woken by audio that came while the ring was empty (after it settled); false
    // at `due` or for the stop.
    bool sleepUntil(Clock::time_point due);
    // When the writer wakes next: on the clock while audio flows, else when audio comes.
    Clock::time_point nextWake(Clock::time_point now, bool flowing, Clock::time_point syncDue);
    // True when it wrote anything. Only whole blocks go while the take runs (see WavWriter);
    // `all` writes the rest too, at the end.
    bool drainRing(bool all);
    void watchForStall(Clock::time_point now, bool wokeLate);
    Clock::time_point stallDue() const;
    // With a stop time, the audio up to it is awaited first (until the deadline).
    bool finishCapture(std::optional<std::pair<Clock::time_point, Clock::time_point>> stop);

    std::shared_ptr<Connection> connection_;
    Format format_;
    Inputs inputs_;
    bool test_;
    // The first stream: the first input, the second source when a program takes the first
    // input's place, or (a program alone) the default output's monitor, unheard, whose steady
    // clock carries the take while the program plays nothing.
    std::optional<std::string> firstDevice_;
    pa_sample_spec streamSpec_{};
    size_t streamFrameBytes_ = 0;
    Lane firstLane_, secondLane_;
    int firstLevelIndex_ = -1; // which input level the first stream's audio is
    std::optional<LevelMeter> firstMeter_;
    std::unique_ptr<FollowedInput> second_; // under the mainloop lock
    bool firstGone_ = false;
    double drivenTo_ = 0;
    std::vector<float> mix_, pulled_;
    std::vector<std::byte> mixed_;
    // Set while the recording only listens; cleared by begin() under the mainloop lock.
    std::atomic<bool> listening_{false};
    size_t keepBytes_ = 0; // under the mainloop lock
    size_t frameBytes_;
    ByteRing ring_;
    std::shared_ptr<TakeState> state_;
    LevelMeter meter_; // on the libpulse thread

    std::string capturePath_;
    std::optional<WavWriter> wav_; // the capture while it is written; holds its flock
    Fd lock_;                      // the capture's flock once written, until it is placed or left
    StreamPtr stream_;             // released before connection_, with the loop locked

    std::thread writer_;
    // Wake the writer ahead of its schedule, without blocking the caller: an eventfd for the
    // stop, and a timer for audio that comes while it waits with an empty ring (it then says
    // so in writerIdle_).
    Fd wake_;
    Fd settle_;
    std::atomic<Clock::rep> settleSet_{0}; // when the audio thread last set the timer
    std::atomic<bool> writerIdle_{false};
    std::atomic<bool> writerStop_{false};
    size_t held_ = 0; // the writer's: what the ring keeps back after a drain, less than a block

    std::atomic<int64_t> gapCount_{0};
    std::atomic<int64_t> gapFrames_{0};
    // Bytes of silence owed to the ring after it overflowed; read by the writer at the end.
    std::atomic<size_t> owedSilence_{0};
    // When the source last handed over audio (steady clock); stamped on the libpulse thread.
    std::atomic<Clock::rep> lastDelivery_{0};

    // The writer's view of the source's rhythm.
    struct StallWatch {
        Clock::time_point seen;  // the latest delivery the writer has seen
        Clock::time_point since; // time before this is not judged: this process did not run
        Clock::duration longest{};
    } stall_;

    // Under the mainloop lock: the libpulse thread, and the caller's thread while it holds it.
    struct Switch {
        int64_t frame; // pause or resume from this frame of the stream on
        bool paused;
    };
    std::deque<Switch> switches_;
    bool paused_ = false;
    bool tailWanted_ = false;
    int64_t received_ = 0;
    bool clockStarted_ = false;
    std::optional<Clock::time_point> readyAt_;
    bool baselineSet_ = false;
    Clock::time_point clockStart_;
    Clock::time_point windowStart_;
    double windowMinLag_ = std::numeric_limits<double>::infinity();
    double baselineLag_ = 0;
};

} // namespace tw::engine
