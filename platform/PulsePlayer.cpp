#include "platform/PulsePlayer.h"

#include "engine/pulse_owners.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <pulse/pulseaudio.h>
#include <sndfile.h>
#include <thread>
#include <vector>

// Decoding happens on a thread of its own, never in the stream's write callback: the callback
// runs with the mainloop lock held, and mode() takes that lock on the user-interface thread, so
// a slow disk (or a network share) under a long recording would freeze the window. The
// decoder keeps about a second of audio ready per stream; the callback only copies it out.

namespace tw {

namespace {

using Clock = std::chrono::steady_clock;

// Longest wait for the server on any call.
constexpr auto kAnswerTime = std::chrono::milliseconds(1500);
// The server's share of the audio: small, so that close() silences a stream at once.
constexpr pa_usec_t kServerBuffer = 200 * PA_USEC_PER_MSEC;
// Decoded audio kept ready per stream, in seconds, and the decoder's step in frames.
constexpr double kDecodeAhead = 1.0;
constexpr sf_count_t kChunkFrames = 4096;
// The decoder looks round this often even when no stream asked for more.
constexpr auto kDecoderPoll = std::chrono::milliseconds(50);

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
struct ProplistDeleter {
    void operator()(pa_proplist* p) const { pa_proplist_free(p); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;
using pulse::ContextPtr;
using pulse::LoopLock;
using pulse::MainloopPtr;
using pulse::OperationPtr;
using pulse::StreamPtr;
using ProplistPtr = std::unique_ptr<pa_proplist, ProplistDeleter>;

// Wakes the mainloop's waiters at a point in time, so that no wait outlives its deadline.
class DeadlineTimer {
  public:
    DeadlineTimer(pa_threaded_mainloop* loop, pa_context* context, Clock::time_point deadline)
        : loop_(loop) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            std::max(deadline - Clock::now(), Clock::duration::zero()));
        event_ = pa_context_rttime_new(context, pa_rtclock_now() + pa_usec_t(left.count()),
                                       &DeadlineTimer::fired, this);
        expired_ = event_ == nullptr;
    }
    ~DeadlineTimer() {
        if (event_)
            pa_threaded_mainloop_get_api(loop_)->time_free(event_);
    }
    DeadlineTimer(const DeadlineTimer&) = delete;
    DeadlineTimer& operator=(const DeadlineTimer&) = delete;
    bool expired() const { return expired_; }

  private:
    static void fired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
        auto* timer = static_cast<DeadlineTimer*>(self);
        timer->expired_ = true;
        pa_threaded_mainloop_signal(timer->loop_, 0);
    }
    pa_threaded_mainloop* loop_;
    pa_time_event* event_ = nullptr;
    bool expired_ = false;
};

QString fromLocal(const char* text) {
    return QString::fromLocal8Bit(text);
}

} // namespace

struct PulsePlayer::Private {
    // One open file and its stream. Once the playback is published only the decoder thread
    // reads `file`; everything from `stream` on is guarded by the mainloop lock.
    struct Playback {
        Private* owner = nullptr;
        QString path;
        SndfilePtr file;
        pa_sample_spec spec{};
        size_t frameBytes = 0;
        size_t aheadBytes = 0;
        double seconds = 0;

        StreamPtr stream;
        OperationPtr drain;
        std::deque<std::vector<char>> pending; // decoded, not yet handed to the server
        size_t frontOffset = 0;
        size_t pendingBytes = 0;
        bool endOfFile = false;
        bool playing = true; // false once drained, failed or cut off
        bool failed = false; // ended some other way than by playing to its end
        bool released = false;

        bool wantsAudio() const { return !released && !endOfFile && pendingBytes < aheadBytes; }
    };
    using PlaybackPtr = std::shared_ptr<Playback>;

    MainloopPtr loop;
    bool loopStarted = false;
    ContextPtr context;
    std::map<QString, PlaybackPtr> open;
    std::vector<PlaybackPtr> active; // the open ones and a playToEnd's own
    QString lastError;

    std::thread decoder;
    std::mutex decoderMutex;
    std::condition_variable decoderWake;
    bool decoderWanted = false;
    std::atomic<bool> decoderStop{false};

    ~Private();

    bool ensureLoop();
    template <class Done> bool waitLocked(Done done, Clock::time_point deadline);
    bool connectLocked(Clock::time_point deadline);
    PlaybackPtr openFile(const QString& path);
    PlaybackPtr start(const QString& path);
    void releaseLocked(const PlaybackPtr& p);
    static void dropStreamLocked(Playback& p);
    void reapLocked();
    void pumpLocked(Playback& p);
    void stopLocked(Playback& p, bool failed);
    void wakeDecoder();
    void decoderLoop();
    static bool decodeChunk(Playback& p, std::vector<char>& out);

    static void contextStateChanged(pa_context* c, void* self);
    static void streamStateChanged(pa_stream* s, void* playback);
    static void streamWritable(pa_stream*, size_t, void* playback);
    static void streamDrained(pa_stream*, int success, void* playback);
};

PulsePlayer::Private::~Private() {
    if (decoder.joinable()) {
        decoderStop = true;
        wakeDecoder();
        decoder.join();
    }
    if (!loopStarted)
        return;
    {
        LoopLock lock(loop.get());
        const std::vector<PlaybackPtr> all = active;
        for (const auto& p : all)
            releaseLocked(p);
        open.clear();
        context.reset();
    }
    pa_threaded_mainloop_stop(loop.get());
}

bool PulsePlayer::Private::ensureLoop() {
    if (loopStarted)
        return true;
    if (!loop)
        loop.reset(pa_threaded_mainloop_new());
    if (!loop || pa_threaded_mainloop_start(loop.get()) < 0) {
        lastError = QStringLiteral("No sound server: cannot start the client's thread");
        return false;
    }
    loopStarted = true;
    return true;
}

template <class Done> bool PulsePlayer::Private::waitLocked(Done done, Clock::time_point deadline) {
    if (done())
        return true;
    if (!context)
        return false;
    DeadlineTimer timer(loop.get(), context.get(), deadline);
    while (!done()) {
        if (timer.expired())
            return false;
        pa_threaded_mainloop_wait(loop.get());
    }
    return true;
}

// A fresh context when there is none or the last one lost its server.
bool PulsePlayer::Private::connectLocked(Clock::time_point deadline) {
    if (context && pa_context_get_state(context.get()) == PA_CONTEXT_READY)
        return true;
    context.reset();
    ProplistPtr props(pa_proplist_new());
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, "Tunewright");
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ID, "tunewright");
    context.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop.get()),
                                               "Tunewright", props.get()));
    if (!context) {
        lastError = QStringLiteral("No sound server: cannot create a client");
        return false;
    }
    pa_context_set_state_callback(context.get(), contextStateChanged, this);
    // No autospawn: a missing server is to be reported, not started behind the user's back.
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        lastError = "No sound server: " + fromLocal(pa_strerror(pa_context_errno(context.get())));
        context.reset();
        return false;
    }
    const auto settledState = [this] {
        const pa_context_state_t state = pa_context_get_state(context.get());
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    const bool settled = waitLocked(settledState, deadline);
    if (settled && pa_context_get_state(context.get()) == PA_CONTEXT_READY)
        return true;
    lastError = settled
                    ? "No sound server: " + fromLocal(pa_strerror(pa_context_errno(context.get())))
                    : QStringLiteral("No sound server: it did not answer in time");
    context.reset();
    return false;
}

// Opens and decodes the first second, so that a file libsndfile cannot read is refused
// before any stream exists, and the stream has audio the moment the server asks for it.
PulsePlayer::Private::PlaybackPtr PulsePlayer::Private::openFile(const QString& path) {
    auto p = std::make_shared<Playback>();
    p->owner = this;
    p->path = path;
    SF_INFO info{};
    p->file.reset(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    if (!p->file) {
        lastError =
            QStringLiteral("Cannot open \"%1\": %2").arg(path, fromLocal(sf_strerror(nullptr)));
        return nullptr;
    }
    p->spec.format = PA_SAMPLE_FLOAT32NE;
    p->spec.rate = static_cast<uint32_t>(std::max(info.samplerate, 0));
    p->spec.channels = static_cast<uint8_t>(std::clamp(info.channels, 0, 255));
    if (info.channels > int(PA_CHANNELS_MAX) || !pa_sample_spec_valid(&p->spec)) {
        lastError =
            QStringLiteral("Cannot play \"%1\": %2 channels at %3 Hz are beyond the "
                           "sound server")
                .arg(path, QString::number(info.channels), QString::number(info.samplerate));
        return nullptr;
    }
    p->frameBytes = pa_frame_size(&p->spec);
    p->aheadBytes = static_cast<size_t>(kDecodeAhead * p->spec.rate) * p->frameBytes;
    p->seconds = info.frames > 0 ? double(info.frames) / info.samplerate : 0.0;

    std::vector<char> chunk;
    while (p->wantsAudio()) {
        if (!decodeChunk(*p, chunk))
            p->endOfFile = true;
        if (!chunk.empty()) {
            p->pendingBytes += chunk.size();
            p->pending.push_back(std::move(chunk));
        }
    }
    if (sf_error(p->file.get()) != SF_ERR_NO_ERROR) {
        lastError = QStringLiteral("Cannot decode \"%1\": %2")
                        .arg(path, fromLocal(sf_strerror(p->file.get())));
        return nullptr;
    }
    return p;
}

// False at the end of the file or on a read error; `out` holds what was decoded. A short read
// is not taken for the end: the MP3 decoder may hand out less than asked.
bool PulsePlayer::Private::decodeChunk(Playback& p, std::vector<char>& out) {
    out.resize(static_cast<size_t>(kChunkFrames) * p.frameBytes);
    const sf_count_t frames =
        sf_readf_float(p.file.get(), reinterpret_cast<float*>(out.data()), kChunkFrames);
    out.resize(static_cast<size_t>(std::max<sf_count_t>(frames, 0)) * p.frameBytes);
    return frames > 0;
}

PulsePlayer::Private::PlaybackPtr PulsePlayer::Private::start(const QString& path) {
    PlaybackPtr p = openFile(path);
    if (!p || !ensureLoop())
        return nullptr;
    const auto deadline = Clock::now() + kAnswerTime;
    LoopLock lock(loop.get());
    if (!connectLocked(deadline))
        return nullptr;

    ProplistPtr props(pa_proplist_new());
    const QByteArray name = QFileInfo(path).fileName().toUtf8();
    pa_proplist_sets(props.get(), PA_PROP_MEDIA_NAME, name.constData());
    pa_proplist_sets(props.get(), PA_PROP_MEDIA_FILENAME, QFile::encodeName(path).constData());
    pa_channel_map map;
    // WAV's channel order, which is also what libsndfile hands out for MP3.
    pa_channel_map_init_extend(&map, p->spec.channels, PA_CHANNEL_MAP_WAVEEX);
    p->stream.reset(
        pa_stream_new_with_proplist(context.get(), name.constData(), &p->spec, &map, props.get()));
    if (!p->stream) {
        lastError = QStringLiteral("Cannot play \"%1\": %2")
                        .arg(path, fromLocal(pa_strerror(pa_context_errno(context.get()))));
        return nullptr;
    }
    pa_stream_set_state_callback(p->stream.get(), streamStateChanged, p.get());
    pa_stream_set_write_callback(p->stream.get(), streamWritable, p.get());
    pa_buffer_attr attr{};
    attr.maxlength = attr.prebuf = attr.minreq = attr.fragsize = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kServerBuffer, &p->spec));
    const auto settledState = [&p] {
        const pa_stream_state_t state = pa_stream_get_state(p->stream.get());
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    };
    if (pa_stream_connect_playback(p->stream.get(), nullptr, &attr, PA_STREAM_ADJUST_LATENCY,
                                   nullptr, nullptr) < 0 ||
        !waitLocked(settledState, deadline) ||
        pa_stream_get_state(p->stream.get()) != PA_STREAM_READY) {
        const int error = pa_context_errno(context.get());
        lastError = QStringLiteral("Cannot play \"%1\": %2")
                        .arg(path, error != PA_OK ? fromLocal(pa_strerror(error))
                                                  : QStringLiteral("the sound server did not "
                                                                   "answer in time"));
        p->stream.reset();
        return nullptr;
    }
    active.push_back(p);
    pumpLocked(*p);
    lastError.clear();
    if (!decoder.joinable())
        decoder = std::thread([this] { decoderLoop(); });
    return p;
}

// Cuts the stream off; the server drops what it still holds, so the sound stops at once.
void PulsePlayer::Private::releaseLocked(const PlaybackPtr& p) {
    p->released = true;
    p->playing = false;
    dropStreamLocked(*p);
    std::erase(active, p);
}

void PulsePlayer::Private::dropStreamLocked(Playback& p) {
    p.drain.reset();
    p.stream.reset();
    p.pending.clear();
    p.pendingBytes = 0;
}

// Streams that have ended hold no server resources while their path waits to be closed.
// Not done in the callbacks themselves, which run inside the stream's own dispatch.
void PulsePlayer::Private::reapLocked() {
    for (auto& p : active) {
        if (!p->playing && p->stream)
            dropStreamLocked(*p);
    }
}

void PulsePlayer::Private::stopLocked(Playback& p, bool failed) {
    if (!p.playing)
        return;
    p.playing = false;
    p.failed = failed;
    pa_threaded_mainloop_signal(loop.get(), 0);
}

// Hands the server as much decoded audio as it asks for, and drains once the file is done.
void PulsePlayer::Private::pumpLocked(Playback& p) {
    if (!p.playing || !p.stream || pa_stream_get_state(p.stream.get()) != PA_STREAM_READY)
        return;
    size_t writable = pa_stream_writable_size(p.stream.get());
    if (writable == static_cast<size_t>(-1))
        return;
    writable -= writable % p.frameBytes;
    while (writable > 0 && !p.pending.empty()) {
        const std::vector<char>& front = p.pending.front();
        const size_t n = std::min(writable, front.size() - p.frontOffset);
        if (pa_stream_write(p.stream.get(), front.data() + p.frontOffset, n, nullptr, 0,
                            PA_SEEK_RELATIVE) < 0) {
            stopLocked(p, true);
            return;
        }
        writable -= n;
        p.pendingBytes -= n;
        p.frontOffset += n;
        if (p.frontOffset == front.size()) {
            p.pending.pop_front();
            p.frontOffset = 0;
        }
    }
    if (p.pending.empty() && p.endOfFile && !p.drain) {
        p.drain.reset(pa_stream_drain(p.stream.get(), streamDrained, &p));
        if (!p.drain)
            stopLocked(p, true);
    }
    if (p.wantsAudio())
        wakeDecoder();
}

void PulsePlayer::Private::wakeDecoder() {
    {
        std::lock_guard guard(decoderMutex);
        decoderWanted = true;
    }
    decoderWake.notify_one();
}

// Reads ahead for every stream that is short of audio. The file is read without the
// mainloop lock, which is taken only to hand the result over.
void PulsePlayer::Private::decoderLoop() {
    std::vector<char> chunk;
    while (!decoderStop) {
        {
            std::unique_lock guard(decoderMutex);
            decoderWake.wait_for(guard, kDecoderPoll,
                                 [this] { return decoderWanted || decoderStop; });
            decoderWanted = false;
        }
        for (bool busy = true; busy && !decoderStop;) {
            busy = false;
            std::vector<PlaybackPtr> hungry;
            {
                LoopLock lock(loop.get());
                reapLocked();
                for (auto& p : active) {
                    if (p->playing && p->wantsAudio())
                        hungry.push_back(p);
                }
            }
            for (auto& p : hungry) {
                const bool more = decodeChunk(*p, chunk);
                LoopLock lock(loop.get());
                if (p->released)
                    continue;
                if (!chunk.empty()) {
                    p->pendingBytes += chunk.size();
                    p->pending.push_back(std::move(chunk));
                    chunk = {};
                }
                // A read error mid-file ends the playback where the readable audio ends.
                p->endOfFile = !more;
                pumpLocked(*p);
                busy = busy || p->wantsAudio();
            }
        }
    }
}

void PulsePlayer::Private::contextStateChanged(pa_context* c, void* self) {
    auto* d = static_cast<Private*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) {
        for (auto& p : d->active) {
            if (p->stream && pa_stream_get_context(p->stream.get()) == c)
                d->stopLocked(*p, true);
        }
    }
    pa_threaded_mainloop_signal(d->loop.get(), 0);
}

void PulsePlayer::Private::streamStateChanged(pa_stream* s, void* playback) {
    auto* p = static_cast<Playback*>(playback);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)))
        p->owner->stopLocked(*p, true);
    pa_threaded_mainloop_signal(p->owner->loop.get(), 0);
}

void PulsePlayer::Private::streamWritable(pa_stream*, size_t, void* playback) {
    auto* p = static_cast<Playback*>(playback);
    p->owner->pumpLocked(*p);
}

void PulsePlayer::Private::streamDrained(pa_stream*, int success, void* playback) {
    auto* p = static_cast<Playback*>(playback);
    p->owner->stopLocked(*p, !success);
}

PulsePlayer::PulsePlayer() : d(std::make_unique<Private>()) {}

PulsePlayer::~PulsePlayer() = default;

void PulsePlayer::play(const QString& path) {
    close(path);
    if (auto p = d->start(path)) {
        LoopLock lock(d->loop.get());
        d->open[path] = p;
    }
}

void PulsePlayer::close(const QString& path) {
    if (!d->loopStarted)
        return;
    LoopLock lock(d->loop.get());
    const auto it = d->open.find(path);
    if (it == d->open.end())
        return;
    d->releaseLocked(it->second);
    d->open.erase(it);
}

QString PulsePlayer::mode(const QString& path) {
    if (!d->loopStarted)
        return {};
    LoopLock lock(d->loop.get());
    d->reapLocked();
    const auto it = d->open.find(path);
    if (it == d->open.end())
        return {};
    return it->second->playing ? QStringLiteral("playing") : QStringLiteral("stopped");
}

void PulsePlayer::playToEnd(const QString& path) {
    auto p = d->start(path);
    if (!p)
        return;
    const auto limit = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(p->seconds) + std::chrono::seconds(2));
    LoopLock lock(d->loop.get());
    const bool ended = d->waitLocked([&p] { return !p->playing; }, Clock::now() + limit);
    if (!ended)
        d->lastError = QStringLiteral("\"%1\" did not finish playing in time").arg(path);
    else if (p->failed)
        d->lastError = QStringLiteral("\"%1\" was cut off: the sound server went away").arg(path);
    d->releaseLocked(p);
}

QString PulsePlayer::lastError() const {
    return d->lastError;
}

} // namespace tw
