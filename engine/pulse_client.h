// The libpulse connection shared by the engine and the mixer, and the source list both
// number the same way. Internal to engine/: the two libraries export only their C functions.
#pragma once

#include "engine/pulse_owners.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <pulse/pulseaudio.h>
#include <string>
#include <vector>

namespace tw::engine {

using Clock = std::chrono::steady_clock;

// Every call that talks to the server gives up at this point; the callers promise an answer
// within two seconds even when the server has gone away or stopped answering.
inline Clock::time_point callDeadline() {
    return Clock::now() + std::chrono::milliseconds(1500);
}

using pulse::ContextPtr;
using pulse::LoopLock;
using pulse::MainloopPtr;
using pulse::OperationPtr;
using pulse::StreamPtr;

// Completion of an operation that reports only success, for a pa_context_success_cb_t.
struct Completion {
    pa_threaded_mainloop* loop = nullptr;
    bool done = false;
    bool success = false;
    static void onSuccess(pa_context*, int success, void* self);
};

// Results of both libraries; the program ignores them, the tests and the documentation do
// not.
constexpr int32_t kOk = 0;
constexpr int32_t kBadArgument = -1;
constexpr int32_t kNoServer = -2;
constexpr int32_t kWrongState = -3;
constexpr int32_t kFileError = -4;
constexpr int32_t kTakeCutShort = -5;
constexpr int32_t kNoSource = -6;
constexpr int32_t kNameTaken = -7; // a stop found a file at the path: the take stays a capture

struct SourceEntry {
    std::string name;
    std::string description; // what the desktop shows for it
    bool monitor = false;
    pa_channel_map channelMap{};
    pa_cvolume volume{};
};

// A program's playback stream (a sink input), as the server names the program.
struct ProgramStream {
    uint32_t index = PA_INVALID_INDEX;
    uint32_t sink = PA_INVALID_INDEX;
    std::string program; // application.name
    std::string icon;    // application.icon_name, or empty
};

// One connection to the server: a threaded mainloop and its context. Streams made on it keep
// a shared_ptr to it so that it outlives them even after the client has reconnected.
class Connection {
  public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Starts the mainloop and connects; false when no server answers before the deadline.
    bool open(Clock::time_point deadline);
    bool ready(); // takes the lock
    bool readyLocked() const;
    bool deadLocked() const;

    pa_threaded_mainloop* loop() const { return loop_.get(); }
    pa_context* context() const { return context_.get(); }

    // With the lock held: waits until done() holds, the context dies or the deadline passes.
    template <class Pred> bool waitLocked(Pred done, Clock::time_point deadline);

    // With the lock held: the sources in their stable order, or nothing on failure.
    std::optional<std::vector<SourceEntry>> listSourcesLocked(Clock::time_point deadline);
    // With the lock held: the source of that zero-based number into `out`; kOk, kNoServer,
    // or kBadArgument for a number past the last.
    int32_t sourceAtLocked(int32_t index, Clock::time_point deadline, SourceEntry& out);
    // With the lock held: the name of the server's default source, or nothing on failure.
    std::optional<std::string> defaultSourceLocked(Clock::time_point deadline);
    // With the lock held: waits for an operation whose callback sets *flag.
    bool finishLocked(pa_operation* op, const bool& flag, Clock::time_point deadline);
    // With the lock held: the programs' playback streams, or nothing on failure.
    std::optional<std::vector<ProgramStream>> listProgramStreamsLocked(Clock::time_point deadline);
    // With the lock held: the monitor source of the server's default sink.
    std::optional<std::string> defaultMonitorLocked(Clock::time_point deadline);

    // With the lock held: `watch` is called on the libpulse thread whenever a playback stream
    // comes, changes or goes, until unwatched under the lock.
    void watchProgramStreamsLocked(const void* key, std::function<void()> watch);
    void unwatchProgramStreamsLocked(const void* key);

  private:
    class DeadlineTimer;
    static void subscribed(pa_context*, pa_subscription_event_type_t, uint32_t, void* self);
    MainloopPtr loop_;
    ContextPtr context_;
    bool started_ = false;
    bool subscribed_ = false;
    std::vector<std::pair<const void*, std::function<void()>>> watchers_;
};

// Keeps one connection and replaces it when the server has gone away.
class PulseClient {
  public:
    // A ready connection, or nullptr when no server answers in time.
    std::shared_ptr<Connection> connection(Clock::time_point deadline);

  private:
    std::shared_ptr<Connection> current_;
};

// The deadline timer's wait: declared here so the template can use it.
class Connection::DeadlineTimer {
  public:
    DeadlineTimer(Connection& c, Clock::time_point deadline);
    ~DeadlineTimer();
    DeadlineTimer(const DeadlineTimer&) = delete;
    DeadlineTimer& operator=(const DeadlineTimer&) = delete;
    bool expired() const { return expired_; }

  private:
    static void fired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    Connection& connection_;
    pa_time_event* event_ = nullptr;
    bool expired_ = false;
};

template <class Pred> bool Connection::waitLocked(Pred done, Clock::time_point deadline) {
    if (done())
        return true;
    if (Clock::now() >= deadline || deadLocked())
        return false;
    DeadlineTimer timer(*this, deadline);
    while (!done()) {
        if (timer.expired() || deadLocked())
            return false;
        pa_threaded_mainloop_wait(loop_.get());
    }
    return true;
}

} // namespace tw::engine
