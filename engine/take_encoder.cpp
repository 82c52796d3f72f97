#include "engine/take_encoder.h"

#include "engine/encoder_sinks.h"
#include "engine/wav_layout.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::encode {

namespace {

using namespace std::chrono_literals;

// The capture's header follows its data every 700 ms: looking more often finds nothing new.
constexpr auto kFollowEvery = 250ms;
// Read and encoded in pieces of this many frames, so that a cancel is heard soon.
constexpr size_t kPieceFrames = 16384;
// The encoded file's data go to the disk this often while it grows, as the capture's do, so
// that the sync at the end has little left to write.
constexpr auto kSyncEvery = 10s;

} // namespace

const char* extensionOf(Codec codec) {
    switch (codec) {
    case Codec::Flac:
        return "flac";
    case Codec::Opus:
        return "opus";
    case Codec::Vorbis:
        return "ogg";
    case Codec::Mp3:
        return "mp3";
    }
    return "";
}

TakeEncoder::TakeEncoder(Job job, Ended ended) : job_(std::move(job)), ended_(std::move(ended)) {}

TakeEncoder::~TakeEncoder() {
    cancel();
    wait();
    if (fd_ >= 0)
        ::close(fd_);
    if (targetFd_ >= 0)
        ::close(targetFd_);
}

bool TakeEncoder::start() {
    fd_ = ::open(job_.source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        fail(job_.source + " could not be read: " + std::strerror(errno));
        return false;
    }
    const auto layout = readWavLayout(fd_);
    if (!layout) {
        fail(job_.source + " is not a WAV file of 8- or 16-bit audio");
        return false;
    }
    channels_ = layout->channels;
    bits_ = layout->bits;
    rate_ = layout->rate;
    std::string why;
    sink_ = openSink(job_, *layout, why);
    if (!sink_) {
        fail("the file could not be made: " + why);
        ::unlink(job_.target.c_str());
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void TakeEncoder::sourceComplete(const std::string& now) {
    std::lock_guard lock(mutex_);
    complete_ = true;
    sourceNow_ = now;
    wake_.notify_all();
}

void TakeEncoder::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    wake_.notify_all();
}

void TakeEncoder::wait() {
    if (thread_.joinable())
        thread_.join();
}

std::string TakeEncoder::error() const {
    std::lock_guard lock(errorMutex_);
    return error_;
}

void TakeEncoder::fail(const std::string& why) {
    {
        std::lock_guard lock(errorMutex_);
        error_ = why;
    }
    state_.store(State::Failed);
}

void TakeEncoder::run() {
    ::pthread_setname_np(::pthread_self(), "tw-encode");
    // A `lame` that dies makes its pipe's writes fail here rather than end the program.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    bool ok = true;
    auto nextSync = std::chrono::steady_clock::now() + kSyncEvery;
    for (;;) {
        bool final = false;
        std::string source = job_.source;
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, kFollowEvery, [this] { return complete_ || cancelled_; });
            if (cancelled_) {
                fail("it was cancelled");
                ok = false;
                break;
            }
            final = complete_;
            if (final && !sourceNow_.empty())
                source = sourceNow_;
        }
        follow(source);
        if (!pump()) {
            ok = false;
            break;
        }
        if (final) {
            std::lock_guard lock(mutex_);
            if (cancelled_) {
                fail("it was cancelled");
                ok = false;
            }
            break;
        }
        if (std::chrono::steady_clock::now() >= nextSync) {
            syncTarget();
            nextSync = std::chrono::steady_clock::now() + kSyncEvery;
        }
    }
    std::string why;
    if (ok && !sink_->finish(why)) {
        fail(why);
        ok = false;
    }
    if (ok && !syncTarget()) {
        fail(std::string("the file could not be written to the disk: ") + std::strerror(errno));
        ok = false;
    }
    if (ok && check())
        state_.store(State::Done);
    else {
        sink_->abort();
        ::unlink(job_.target.c_str());
    }
    sink_.reset();
    if (ended_)
        ended_(state_.load());
}

void TakeEncoder::follow(const std::string& path) {
    struct stat named {
    }, open{};
    if (::stat(path.c_str(), &named) != 0 || ::fstat(fd_, &open) != 0 ||
        (named.st_ino == open.st_ino && named.st_dev == open.st_dev))
        return;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    const auto layout = readWavLayout(fd);
    if (!layout || layout->channels != channels_ || layout->bits != bits_ ||
        layout->rate != rate_.load()) {
        ::close(fd);
        return;
    }
    ::close(fd_);
    fd_ = fd;
}

bool TakeEncoder::syncTarget() {
    // `lame` makes its file itself: it is opened once it is there.
    if (targetFd_ < 0)
        targetFd_ = ::open(job_.target.c_str(), O_RDONLY | O_CLOEXEC);
    return targetFd_ >= 0 && ::fdatasync(targetFd_) == 0;
}

// Encodes what the source holds now: once it is complete, all of it, as its header then says.
bool TakeEncoder::pump() {
    const size_t frameBytes = size_t(channels_ * bits_ / 8);
    std::vector<unsigned char> raw;
    std::vector<int16_t> samples;
    for (;;) {
        const auto layout = readWavLayout(fd_);
        struct stat st {};
        if (!layout || ::fstat(fd_, &st) != 0) {
            fail(job_.source + " can no longer be read");
            return false;
        }
        // A growing capture's header lags its data, and its last block may not be written yet:
        // only what both say is there is taken.
        const uint64_t inFile = uint64_t(st.st_size) > layout->dataOffset
                                    ? uint64_t(st.st_size) - layout->dataOffset
                                    : 0;
        uint64_t available = std::min(layout->dataBytes, inFile);
        available -= available % frameBytes;
        sourceFrames_.store(int64_t(layout->dataBytes / frameBytes));
        if (bytesDone_ >= available)
            return true;
        const size_t bytes =
            size_t(std::min<uint64_t>(available - bytesDone_, kPieceFrames * frameBytes));
        raw.resize(bytes);
        const ssize_t got = ::pread(fd_, raw.data(), bytes, off_t(layout->dataOffset + bytesDone_));
        if (got != ssize_t(bytes)) {
            fail(job_.source + " could not be read: " + std::strerror(got < 0 ? errno : EIO));
            return false;
        }
        // A capture that outgrew 4 GiB moves its data behind a longer header: what was read
        // across that moment is read again from the new place.
        const auto after = readWavLayout(fd_);
        if (!after || after->dataOffset != layout->dataOffset)
            continue;
        const size_t frames = bytes / frameBytes;
        samples.resize(frames * size_t(channels_));
        if (bits_ == 8) {
            for (size_t i = 0; i < samples.size(); ++i)
                samples[i] = int16_t((int(raw[i]) - 128) * 256);
        } else {
            std::memcpy(samples.data(), raw.data(), bytes);
        }
        std::string why;
        if (!sink_->write(samples.data(), frames, why)) {
            fail(why);
            return false;
        }
        bytesDone_ += bytes;
        framesDone_.fetch_add(int64_t(frames));
        {
            std::lock_guard lock(mutex_);
            if (cancelled_)
                return true; // heard by the caller
        }
    }
}

// The finished file opens and lasts as long as its source.
bool TakeEncoder::check() {
    SF_INFO info{};
    SNDFILE* file = sf_open(job_.target.c_str(), SFM_READ, &info);
    if (!file) {
        fail(std::string("the file made cannot be read back: ") + sf_strerror(nullptr));
        return false;
    }
    sf_close(file);
    // Against the source's final length, so that audio the encoder never saw is a failure.
    const double source = double(sourceFrames_.load()) / rate_.load();
    const double encoded = info.samplerate > 0 ? double(info.frames) / info.samplerate : 0;
    // An MP3 frame too small for lame's tag (low rates and bitrates) leaves readers nothing to
    // trim the encoder's delay and padding by: up to about three frames more, never less.
    double tolerance = kLengthTolerance;
    if (job_.codec == Codec::Mp3 && encoded > source && info.samplerate > 0)
        tolerance += 3.0 * (info.samplerate >= 32000 ? 1152 : 576) / info.samplerate;
    if (std::abs(encoded - source) > tolerance) {
        char text[160];
        std::snprintf(text, sizeof text, "the file made holds %.2f s where the WAV holds %.2f s",
                      encoded, source);
        fail(text);
        return false;
    }
    return true;
}

} // namespace tw::encode
