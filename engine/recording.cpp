#include "engine/recording.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace tw::engine {

namespace {

using namespace std::chrono_literals;

// The ring covers this much audio, so the disk may stall that long without a lost frame.
constexpr auto kRingSpan = 8s;
// Audio arrives in pieces of this length (where the source can deliver that way): each piece
// is a wake-up of the libpulse thread, so long pieces keep a take cheap, but the level meter
// can show no more often than audio comes, and it must move at least ten times a second.
// Pause, resume and stop take effect at the frame the clock gives, not at a piece's edge, and
// a stop asks the source for what it still holds, so the length costs no precision.
constexpr pa_usec_t kFragment = 100 * PA_USEC_PER_MSEC;
// At the stop: the pieces the source is asked for, and how long the stop waits for the audio up
// to the moment it was called.
constexpr pa_usec_t kTailFragment = 10 * PA_USEC_PER_MSEC;
constexpr auto kTailWait = 350ms;
// The writer wakes this often to empty the ring and bring the header's lengths up to date. With
// one piece on its way, a killed program leaves a capture that plays up to less than a second
// before its end.
constexpr auto kHeaderEvery = 700ms;
// Audio that ends the writer's wait for a source that hands over seconds at once comes in
// pieces a few milliseconds apart: the writer lets them gather for this long, then writes
// them in one go. A timer the audio thread sets wakes it then, so a burst costs one wake-up.
constexpr auto kBurstSettle = 100ms;
// A killed program loses nothing of what was written (it stays in the page cache); only a
// crash of the machine does. A sync costs more CPU than the writes of several seconds of audio,
// so it bounds that loss to this span rather than following every header update.
constexpr auto kSyncEvery = 10s;

// Lost-audio detection compares frames received with the monotonic clock. The lowest lag seen
// over a window ignores sources that deliver in bursts (some hand out two seconds at once);
// the baseline follows slow drift between the sound card's clock and ours.
constexpr auto kSettleTime = 2s;
constexpr auto kLagWindow = 4s;
constexpr double kGapThresholdSeconds = 0.25;
constexpr double kStartThresholdSeconds = 0.1;

// A source is stalled when no audio has come for longer than this, or than twice the longest
// wait between its deliveries seen in the take (some hand out two seconds at once).
constexpr auto kStallFloor = 3s;
// The writer waking this much past its schedule means this process did not run (it was
// stopped, or the machine slept): that time says nothing about the source.
constexpr auto kLateWake = 700ms;

} // namespace

Recording::Recording(std::shared_ptr<Connection> connection, Format format, Inputs inputs,
                     bool test)
    : Recording(std::move(connection), format, std::move(inputs), test, kRingSpan) {}

namespace {
// The most a listening recording is asked to hold; its ring takes that and a take's span.
constexpr auto kMostKept = 10s;
} // namespace

Recording::Recording(std::shared_ptr<Connection> connection, Format format, Inputs inputs,
                     Listening listening)
    : Recording(std::move(connection), format, std::move(inputs), false, kRingSpan + kMostKept) {
    listening_.store(true);
    setKeep(listening.keep);
}

Recording::Recording(std::shared_ptr<Connection> connection, Format format, Inputs inputs,
                     bool test, std::chrono::seconds ringSpan)
    : connection_(std::move(connection)), format_(format), inputs_(std::move(inputs)), test_(test),
      frameBytes_(format.frameBytes()),
      ring_(frameBytes_ * static_cast<size_t>(format.rate) * static_cast<size_t>(ringSpan.count()),
            WavWriter::kDirectBlock, WavWriter::kPlainDataOffset),
      state_(std::make_shared<TakeState>(format.rate)),
      meter_(state_->level, format.bits, format.channels, format.rate / kLevelSpansPerSecond) {
    planInputs();
}

void Recording::setKeep(std::chrono::milliseconds keep) {
    const auto ms =
        std::clamp<int64_t>(keep.count(), 0, std::chrono::milliseconds(kMostKept).count());
    const size_t bytes = static_cast<size_t>(ms * format_.rate / 1000) * frameBytes_;
    if (!stream_) {
        keepBytes_ = bytes;
        return;
    }
    LoopLock lock(connection_->loop());
    keepBytes_ = bytes;
    hold(nullptr, 0);
}

void Recording::hold(const void* data, size_t bytes) {
    constexpr size_t block = WavWriter::kDirectBlock;
    auto* at = static_cast<const std::byte*>(data);
    // A long gap (the machine slept while listening) is more than the ring: only its end
    // can be kept.
    const size_t piece = ring_.capacity() / 2 / block * block;
    do {
        const size_t n = std::min(bytes, piece);
        if (ring_.writable() < n)
            ring_.consume((n - ring_.writable() + block - 1) / block * block);
        ring_.push(at, n, format_.silence());
        if (at)
            at += n;
        bytes -= n;
        if (ring_.size() > keepBytes_)
            ring_.consume((ring_.size() - keepBytes_) / block * block);
    } while (bytes > 0);
}

Recording::~Recording() {
    finishCapture(std::nullopt);
}

void Recording::abandon() {
    finishCapture(std::nullopt);
    if (!capturePath_.empty())
        ::unlink(capturePath_.c_str());
    lock_.reset();
}

void Recording::streamStateChanged(pa_stream* s, void* self) {
    static_cast<Recording*>(self)->onStateChanged(s);
}

void Recording::streamReadable(pa_stream* s, size_t, void* self) {
    static_cast<Recording*>(self)->onReadable(s);
}

void Recording::streamMoved(pa_stream* s, void* self) {
    static_cast<Recording*>(self)->onMoved(s);
}

void Recording::onStateChanged(pa_stream* s) {
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY)
        readyAt_ = Clock::now();
    // A server that goes away fails the connection before its streams; a stream that fails
    // while the connection stands was killed by the server because its input is gone.
    if (!PA_STREAM_IS_GOOD(state) && !firstGone_)
        streamEnded(pa_context_get_state(connection_->context()) == PA_CONTEXT_READY
                        ? WavelarkSourceLost
                        : WavelarkServerLost);
    pa_threaded_mainloop_signal(connection_->loop(), 0);
}

// A take whose source never sent anything lasts as long as its stream ran, not until the stop.
void Recording::streamEnded(int32_t problem) {
    if (!clockStarted_ && readyAt_)
        startClock(0);
    if (problem == WavelarkSourceLost && second_ && !second_->lost()) {
        // The second input goes on: it carries the take from the moment the first went.
        firstGone_ = true;
        drivenTo_ = steadySeconds();
        flag(WavelarkInputLost);
        return;
    }
    flag(problem);
}

// The stream is asked not to move, but a server may move it all the same: audio of another
// device is never part of the take, so the take ends with what the chosen input sent.
void Recording::onMoved(pa_stream*) {
    if (!firstGone_)
        streamEnded(WavelarkSourceLost);
    pa_threaded_mainloop_signal(connection_->loop(), 0);
}

void Recording::onReadable(pa_stream* s) {
    if (has(WavelarkSourceLost) || firstGone_) {
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0)
            pa_stream_drop(s);
        return;
    }
    if (!clockStarted_)
        startClock(pa_stream_readable_size(s));
    const void* data = nullptr;
    size_t bytes = 0;
    bool delivered = false;
    while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
        delivered = true;
        const size_t whole = bytes - bytes % streamFrameBytes_;
        if (!data) {
            // A hole in the server's buffer: its length in silence keeps the timeline.
            countGap(static_cast<int64_t>(bytes / streamFrameBytes_));
        }
        // Mixed from the first piece on, also one that comes before the second input is open.
        if (inputs_.mixed()) {
            if (data && firstMeter_)
                firstMeter_->measure(data, whole);
            mixPiece(data, whole / streamFrameBytes_);
        } else {
            // Paused audio too: the user sets the input's volume by it before resuming.
            if (data)
                meter_.measure(data, whole);
            deliver(data, whole);
        }
        pa_stream_drop(s);
    }
    if (delivered)
        lastDelivery_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    watchClock();
    if (tailWanted_)
        pa_threaded_mainloop_signal(connection_->loop(), 0);
}

void Recording::countGap(int64_t frames) {
    gapCount_.fetch_add(1);
    gapFrames_.fetch_add(frames);
}

// Everything the stream's timeline holds passes here, audio and silence for what never came;
// a pause or resume falls on its frame even inside a piece.
void Recording::deliver(const void* data, size_t bytes) {
    auto* at = static_cast<const std::byte*>(data);
    while (bytes > 0) {
        while (!switches_.empty() && switches_.front().frame <= received_) {
            paused_ = switches_.front().paused;
            switches_.pop_front();
        }
        size_t n = bytes;
        if (!switches_.empty())
            n = std::min(n, static_cast<size_t>(switches_.front().frame - received_) * frameBytes_);
        received_ += static_cast<int64_t>(n / frameBytes_);
        if (!paused_)
            append(at, n);
        if (at)
            at += n;
        bytes -= n;
    }
}

// The stream's frame that the source was capturing at t: the frames due by the clock, less the
// smallest lag seen, which is how late the freshest audio reaches this client.
double Recording::lowLag() const {
    const double lag = baselineSet_ ? baselineLag_ : windowMinLag_;
    return std::isfinite(lag) ? lag : 0;
}

int64_t Recording::frameDueAt(Clock::time_point t) const {
    // Before the first audio the take is counted from the stream's start, as startClock() will.
    if (!clockStarted_ && !readyAt_)
        return received_;
    const auto start = clockStarted_ ? clockStart_ : *readyAt_;
    // A source that renders ahead of the clock keeps its own timeline: its frames are not due
    // before their time.
    const double lag = clockStarted_ ? std::max(lowLag(), 0.0) : 0;
    const double due = std::chrono::duration<double>(t - start).count() * format_.rate - lag;
    return std::max<int64_t>(static_cast<int64_t>(due), 0);
}

void Recording::setPaused(bool paused) {
    state_->phase.store(paused ? 2 : 1);
    LoopLock lock(connection_->loop());
    switches_.push_back({std::max(frameDueAt(Clock::now()), received_), paused});
}

// The source may still hold up to a piece of audio from before the stop. Small pieces from now
// on make it hand that over at once; the take ends at the frame that was current at the stop.
void Recording::collectTail(Clock::time_point stoppedAt, Clock::time_point deadline) {
    const int64_t end = frameDueAt(stoppedAt);
    switches_.push_back({end, true});
    // A source that hands out audio further ahead of the clock than a piece (a virtual one
    // renders seconds in advance) has sent the stop's audio already.
    const double ahead = -static_cast<double>(kFragment) / PA_USEC_PER_SEC * format_.rate;
    if (received_ >= end || lowLag() < ahead)
        return;
    const pa_sample_spec spec = streamSpec_;
    pa_buffer_attr attr{};
    if (const pa_buffer_attr* now = pa_stream_get_buffer_attr(stream_.get()))
        attr = *now;
    else
        attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kTailFragment, &spec));
    OperationPtr change(pa_stream_set_buffer_attr(stream_.get(), &attr, nullptr, nullptr));
    tailWanted_ = true;
    connection_->waitLocked([this, end] { return received_ >= end || streamLost(); },
                            std::min(deadline, Clock::now() + kTailWait));
    tailWanted_ = false;
}

void Recording::append(const void* data, size_t bytes) {
    if (listening_.load(std::memory_order_relaxed)) {
        hold(data, bytes);
        return;
    }
    // Counted whether the ring takes it now or owes it as silence: it all reaches the capture,
    // unless the disk refuses it.
    if (!has(WavelarkWriteFailed))
        state_->frames.fetch_add(static_cast<int64_t>(bytes / frameBytes_),
                                 std::memory_order_relaxed);
    size_t owed = owedSilence_.load(std::memory_order_relaxed);
    if (owed > 0) {
        size_t pay = std::min(owed, ring_.writable() / frameBytes_ * frameBytes_);
        ring_.push(nullptr, pay, format_.silence());
        owed -= pay;
    }
    if (owed == 0 && ring_.writable() >= bytes) {
        ring_.push(data, bytes, format_.silence());
    } else {
        // The disk has fallen more than the ring's span behind: the audio cannot be kept, but
        // its length can, as silence once there is room again.
        if (data) {
            if (owed == 0)
                countGap(0);
            gapFrames_.fetch_add(static_cast<int64_t>(bytes / frameBytes_));
        }
        owed += bytes;
    }
    owedSilence_.store(owed, std::memory_order_relaxed);
    // At most once per wait of the writer: a writer on its schedule is not disturbed.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (writerIdle_.load(std::memory_order_relaxed) && writerIdle_.exchange(false)) {
        const itimerspec settle{{}, {0, std::chrono::nanoseconds(kBurstSettle).count()}};
        settleSet_.store(Clock::now().time_since_epoch().count());
        ::timerfd_settime(settle_.get(), 0, &settle, nullptr);
    }
}

// The take begins when the stream is ready. A source that was idle (a monitor of a sink that
// renders far ahead, say) may first deliver well after that: what it never sent becomes
// silence at the start, so the take's length is the time it ran.
void Recording::startClock(size_t available) {
    const auto now = Clock::now();
    clockStarted_ = true;
    clockStart_ = readyAt_.value_or(now);
    windowStart_ = now;
    const double rate = format_.rate;
    const double missing = std::chrono::duration<double>(now - clockStart_).count() * rate -
                           double(available / streamFrameBytes_);
    if (missing > kStartThresholdSeconds * rate) {
        const auto frames = static_cast<int64_t>(missing);
        countGap(frames);
        fillGap(static_cast<size_t>(frames));
    }
}

void Recording::watchClock() {
    const auto now = Clock::now();
    const double rate = format_.rate;
    const double lag =
        std::chrono::duration<double>(now - clockStart_).count() * rate - double(received_);
    windowMinLag_ = std::min(windowMinLag_, lag);
    const auto window = baselineSet_ ? kLagWindow : kSettleTime + kLagWindow;
    if (now - windowStart_ < window)
        return;
    const double excess = windowMinLag_ - baselineLag_;
    if (!baselineSet_) {
        baselineSet_ = true;
        baselineLag_ = windowMinLag_;
    } else if (excess > kGapThresholdSeconds * rate) {
        // The server dropped audio while this client was not reading (it does so silently).
        const auto frames = static_cast<int64_t>(excess);
        countGap(frames);
        fillGap(static_cast<size_t>(frames));
    } else {
        baselineLag_ += (windowMinLag_ - baselineLag_) / 4;
    }
    windowStart_ = now;
    windowMinLag_ = std::numeric_limits<double>::infinity();
}

int32_t Recording::start(Clock::time_point deadline) {
    if (const int32_t opened = openCapture(); opened != kOk)
        return opened;
    startWriter();
    return connectStream(deadline);
}

int32_t Recording::listen(Clock::time_point deadline) {
    return connectStream(deadline);
}

int32_t Recording::begin(float share, std::chrono::milliseconds margin) {
    if (const int32_t opened = openCapture(); opened != kOk)
        return opened;
    {
        LoopLock lock(connection_->loop());
        if (share > 0)
            startAtSound(share, margin);
        if (streamLost()) {
            ::unlink(capturePath_.c_str());
            capturePath_.clear();
            return has(WavelarkServerLost) ? kNoServer : kNoSource;
        }
        // What was noticed while listening belongs to no take.
        gapCount_.store(0);
        gapFrames_.store(0);
        state_->frames.store(static_cast<int64_t>(ring_.size() / frameBytes_));
        listening_.store(false);
        state_->phase.store(1);
    }
    startWriter();
    return kOk;
}

void Recording::startAtSound(float share, std::chrono::milliseconds margin) {
    // Samples at the level, as their distance from silence in the format's own units.
    const int level = static_cast<int>(std::ceil(share * (format_.bits == 8 ? 128 : 32768)));
    const size_t sampleBytes = static_cast<size_t>(format_.bits / 8);
    size_t at = 0; // bytes from the oldest kept
    bool found = false;
    for (const auto span : {ring_.readable(), ring_.wrapped()}) {
        for (size_t i = 0; !found && i + sampleBytes <= span.size(); i += sampleBytes) {
            int magnitude;
            if (sampleBytes == 1) {
                magnitude = std::abs(std::to_integer<int>(span[i]) - 128);
            } else {
                int16_t sample;
                std::memcpy(&sample, span.data() + i, sizeof sample);
                magnitude = std::abs(int(sample));
            }
            found = magnitude >= level;
            if (!found)
                at += sampleBytes;
        }
        if (found)
            break;
    }
    if (!found)
        return;
    const size_t keep = static_cast<size_t>(margin.count() * format_.rate / 1000) * frameBytes_;
    constexpr size_t block = WavWriter::kDirectBlock;
    // Whole blocks only, so that the take's blocks stay aligned: up to a block more is kept.
    if (at > keep)
        ring_.consume((at - keep) / block * block);
}

int32_t Recording::openCapture() {
    // Past a file size limit, write() raises SIGXFSZ, which ends the process by default;
    // ignored, the write fails with EFBIG and the take goes on to be saved. A handler the
    // program installed is left alone.
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == SIG_DFL)
        ::signal(SIGXFSZ, SIG_IGN);

    const std::string folder = captureFolder();
    if (folder.empty())
        return kFileError;
    Fd fd = createCaptureFile(folder, test_ ? "soundcheck" : "capture", capturePath_);
    if (!fd)
        return kFileError;
    wav_.emplace(std::move(fd), capturePath_,
                 WavWriter::Format{format_.channels, format_.rate, format_.bits});
    if (!wav_->begin()) {
        ::unlink(capturePath_.c_str());
        return kFileError;
    }
    wav_->enableDirect();
    wake_ = Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    settle_ = Fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!wake_ || !settle_) {
        ::unlink(capturePath_.c_str());
        return kFileError;
    }
    return kOk;
}

void Recording::startWriter() {
    const auto now = Clock::now();
    stall_ = {now, now, {}};
    lastDelivery_.store(now.time_since_epoch().count());
    writer_ = std::thread([this] { writerLoop(); });
}

int32_t Recording::connectStream(Clock::time_point deadline) {
    LoopLock lock(connection_->loop());
    const pa_sample_spec spec = streamSpec_;
    if (!inputs_.program.empty() && !inputs_.second) {
        firstDevice_ = connection_->defaultMonitorLocked(deadline);
        if (!firstDevice_)
            return kNoServer;
    }
    const std::string* source = firstDevice_ ? &*firstDevice_ : nullptr;
    stream_.reset(pa_stream_new(connection_->context(), "Recording", &spec, nullptr));
    int32_t result = kNoServer;
    if (stream_) {
        pa_stream_set_state_callback(stream_.get(), streamStateChanged, this);
        pa_stream_set_read_callback(stream_.get(), streamReadable, this);
        pa_stream_set_moved_callback(stream_.get(), streamMoved, this);
        pa_buffer_attr attr{};
        // The server holds as much as it allows while this client is busy.
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragment, &spec));
        if (pa_stream_connect_record(
                stream_.get(), source ? source->c_str() : nullptr, &attr,
                pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) == 0 &&
            connection_->waitLocked(
                [this] { return pa_stream_get_state(stream_.get()) != PA_STREAM_CREATING; },
                deadline) &&
            pa_stream_get_state(stream_.get()) == PA_STREAM_READY) {
            if (inputs_.mixed())
                connectSecond(deadline);
            if (!listening_.load())
                state_->phase.store(1);
            return kOk;
        }
        if (pa_context_errno(connection_->context()) == PA_ERR_NOENTITY)
            result = kNoSource;
    }
    stream_.reset();
    return result;
}

void Recording::writerLoop() {
    // Named for those who look at where a take's CPU goes (top -H, the bench).
    ::pthread_setname_np(::pthread_self(), "tw-capture");
    // While audio flows, one wake-up per period: the ring holds seconds, so the writer need not
    // chase every fragment. A source that hands over seconds at once leaves the ring empty in
    // between; the writer then sleeps until audio comes, a stall or the sync falls due.
    auto due = Clock::now() + kHeaderEvery;
    auto nextSync = Clock::now() + kSyncEvery;
    bool unsaved = false;
    bool unsynced = false;
    bool burst = false;
    Clock::time_point idleSince;
    for (;;) {
        const bool audio = sleepUntil(due);
        const auto woke = Clock::now();
        const bool stopping = writerStop_.load();
        // Audio soon after the ring ran empty is a steady source: back on the clock.
        if (audio)
            burst = woke - kBurstSettle - idleSince >= kHeaderEvery;
        const bool wrote = drainRing(stopping);
        unsaved = wrote || unsaved;
        if (stopping)
            break;
        // A wake for audio was planned for its settle after the timer was set.
        const Clock::time_point settled{Clock::duration(settleSet_.load()) + kBurstSettle};
        watchForStall(woke, woke - (audio ? std::min(due, settled) : due) > kLateWake);
        const auto now = Clock::now();
        if (unsaved && !has(WavelarkWriteFailed)) {
            // The header's lengths, so that a killed program leaves a capture that plays up
            // to this point.
            wav_->updateHeader();
            unsaved = false;
            unsynced = true;
        }
        if (unsynced && now >= nextSync && !has(WavelarkWriteFailed)) {
            ::fdatasync(wav_->fd());
            nextSync = now + kSyncEvery;
            unsynced = false;
        }
        due = nextWake(now, wrote && !burst, unsynced ? nextSync : Clock::time_point::max());
        if (due != now + kHeaderEvery)
            idleSince = now;
        burst = false;
    }
    // The stream is gone by now; silence still owed after an overflow goes to the end.
    for (size_t owed = owedSilence_.exchange(0); owed > 0 && !has(WavelarkWriteFailed);) {
        static constexpr size_t kChunk = 1 << 16;
        std::byte zeros[kChunk];
        size_t n = std::min(owed, kChunk - kChunk % frameBytes_);
        std::fill_n(zeros, n, format_.silence());
        if (!wav_->append(zeros, n))
            flag(WavelarkWriteFailed);
        owed -= n;
    }
}

Clock::time_point Recording::nextWake(Clock::time_point now, bool flowing,
                                      Clock::time_point syncDue) {
    if (flowing)
        return now + kHeaderEvery;
    writerIdle_.store(true);
    // Pairs with the fence in append(): either the audio thread sees the writer idle, or the
    // writer sees the audio it pushed.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (ring_.size() > held_ || writerStop_.load()) {
        writerIdle_.store(false);
        return now + kHeaderEvery;
    }
    return std::min(stallDue(), syncDue);
}

void Recording::wakeWriter() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t sent = ::write(wake_.get(), &one, sizeof one);
}

bool Recording::sleepUntil(Clock::time_point due) {
    for (auto now = Clock::now(); now < due && !writerStop_.load(); now = Clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
        pollfd wake[2] = {{wake_.get(), POLLIN, 0}, {settle_.get(), POLLIN, 0}};
        if (::poll(wake, 2, static_cast<int>(std::min<int64_t>(left, 60000))) > 0) {
            uint64_t count;
            const bool audio = wake[1].revents & POLLIN;
            [[maybe_unused]] ssize_t got =
                ::read(audio ? settle_.get() : wake_.get(), &count, sizeof count);
            return audio;
        }
    }
    return false;
}

// Judged on the writer's schedule rather than when audio arrives, since a stalled source sends
// nothing that could trigger the check.
void Recording::watchForStall(Clock::time_point now, bool wokeLate) {
    if (has(WavelarkStalled) || streamLost())
        return;
    if (wokeLate)
        stall_.since = now;
    const Clock::time_point delivered{
        Clock::duration(lastDelivery_.load(std::memory_order_relaxed))};
    if (delivered > stall_.seen) {
        // A wait that spans time this process did not run is no measure of the source.
        if (stall_.seen >= stall_.since)
            stall_.longest = std::max(stall_.longest, delivered - stall_.seen);
        stall_.seen = delivered;
    }
    if (now > stallDue())
        flag(WavelarkStalled);
}

// The moment the source counts as stalled unless audio comes before.
Clock::time_point Recording::stallDue() const {
    if (has(WavelarkStalled) || streamLost())
        return Clock::time_point::max();
    return std::max(stall_.seen, stall_.since) +
           std::max<Clock::duration>(kStallFloor, 2 * stall_.longest);
}

bool Recording::drainRing(bool all) {
    bool wrote = false;
    for (auto chunk = ring_.readable(); !chunk.empty(); chunk = ring_.readable()) {
        size_t taken = chunk.size();
        if (!has(WavelarkWriteFailed)) {
            const bool ok = all ? wav_->append(chunk.data(), chunk.size())
                                : wav_->appendBlocks(chunk.data(), chunk.size(), taken);
            if (!ok) {
                // Disk full: the ring is still emptied to keep going, and what is kept is what
                // the file holds, not what came.
                flag(WavelarkWriteFailed);
                state_->frames.store(static_cast<int64_t>(wav_->dataBytes() / frameBytes_));
                taken = chunk.size();
            }
        }
        ring_.consume(taken);
        wrote = wrote || taken > 0;
        if (taken < chunk.size())
            break; // less than a block: it waits for more audio or for the stop
    }
    held_ = ring_.size();
    return wrote;
}

// Stops the stream and the writer and completes the capture file. True when it is sound.
bool Recording::finishCapture(std::optional<std::pair<Clock::time_point, Clock::time_point>> stop) {
    if (stream_) {
        LoopLock lock(connection_->loop());
        // A take stopped before the source sent anything still lasts as long as it ran.
        if (!clockStarted_ && readyAt_)
            startClock(0);
        else if (stop && clockStarted_ && !streamLost() && !firstGone_)
            collectTail(stop->first, stop->second);
        second_.reset();
        stream_.reset();
    }
    if (writer_.joinable()) {
        writerStop_.store(true);
        wakeWriter();
        writer_.join();
    }
    bool ok = !has(WavelarkWriteFailed);
    if (wav_) {
        ok = wav_->finish() && ::fdatasync(wav_->fd()) == 0 && ok;
        // The flock belongs to the open file: this second descriptor keeps it until the
        // capture is placed.
        lock_ = Fd(::dup(wav_->fd()));
        ok = wav_->file().close() && ok;
        wav_.reset();
    }
    state_->phase.store(0);
    // Nothing of the program is recorded any more.
    if (state_->program.load() == 1)
        state_->program.store(0);
    return ok;
}

int32_t Recording::finish(const std::string& dest) {
    const auto stoppedAt = Clock::now();
    const bool sound =
        finishCapture(std::pair(stoppedAt, callDeadline())) && state_->problems.load() == 0;
    // Unless placed, the capture stays in the engine's folder, named by its start, and
    // unlocked, for the program to offer it.
    const Placement placed = dest.empty() ? Placement::Failed : placeCapture(capturePath_, dest);
    lock_.reset();
    if (placed == Placement::NameTaken)
        return kNameTaken;
    if (placed == Placement::Failed)
        return kFileError;
    return sound ? kOk : kTakeCutShort;
}

} // namespace tw::engine
