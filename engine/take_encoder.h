// A take in a compressed format, made from its WAV capture while that is still being written:
// the encoder follows the capture file on a thread of its own, so the capture never waits for
// it (an encoder that falls behind reads what it missed from the file and catches up). Once
// the capture is complete, the rest is encoded, the file closed and read back to check it, and
// only a file that holds the WAV's length is reported good. The same encoder converts a
// finished WAV file. Plain C++ on libsndfile, libopusenc and the `lame` program; no Qt.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tw::encode {

enum class Codec { Flac, Opus, Vorbis, Mp3 };

class EncoderSink;

// The file name extension of a codec's files, without the dot.
const char* extensionOf(Codec codec);

struct Tags {
    std::string title;
    std::string date; // ISO 8601
    std::string encoder;
};

struct Job {
    Codec codec = Codec::Flac;
    std::string source; // the WAV (or RF64) file, complete or still growing
    std::string target; // written from the start; the caller places it once it is good
    Tags tags;
    // For MP3: the `lame` program and the user's switches, one word each.
    std::string lame = "lame";
    std::vector<std::string> lameSwitches;
};

class TakeEncoder {
  public:
    enum class State { Running, Done, Failed };

    // Called once, on the encoder's thread, when it is done or has failed.
    using Ended = std::function<void(State)>;

    explicit TakeEncoder(Job job, Ended ended = {});
    // Stops the thread; a target that is not Done is removed.
    ~TakeEncoder();
    TakeEncoder(const TakeEncoder&) = delete;
    TakeEncoder& operator=(const TakeEncoder&) = delete;

    // Opens the source now (it may be moved or renamed later without harm) and starts the
    // thread. False, with error() set, when the source cannot be read.
    bool start();
    // The source is complete: its header holds its final length. The encoder finishes then.
    // `now` is where the source lies now, when it was moved: a file put in its place while
    // the encoder followed it (a capture that outgrew 4 GiB and was copied) is read there.
    void sourceComplete(const std::string& now = {});
    // Stops early; the target is removed and the state is Failed ("it was cancelled").
    void cancel();
    // Waits for the thread to end.
    void wait();

    State state() const { return state_.load(); }
    std::string error() const;
    // Frames of the source encoded so far, and the source's frames and rate as last read.
    int64_t framesDone() const { return framesDone_.load(); }
    int64_t sourceFrames() const { return sourceFrames_.load(); }
    int rate() const { return rate_.load(); }
    const Job& job() const { return job_; }

    // How long the take the target holds may differ from its WAV's, in seconds.
    static constexpr double kLengthTolerance = 0.1;

  private:
    void run();
    bool pump();
    // Reads on from `path` when it names another file than the one open: the same audio,
    // copied into a new file that took the old one's name.
    void follow(const std::string& path);
    // The file's data on the disk: a take whose WAV goes once this file is in place must
    // outlast a crash of the machine.
    bool syncTarget();
    void fail(const std::string& why);
    bool check();

    Job job_;
    Ended ended_;
    int fd_ = -1;
    std::unique_ptr<EncoderSink> sink_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool complete_ = false;
    std::string sourceNow_;
    int targetFd_ = -1;
    bool cancelled_ = false;
    std::atomic<State> state_{State::Running};
    mutable std::mutex errorMutex_;
    std::string error_;
    std::atomic<int64_t> framesDone_{0};
    std::atomic<int64_t> sourceFrames_{0};
    std::atomic<int> rate_{0};
    uint64_t bytesDone_ = 0;
    int channels_ = 0;
    int bits_ = 0;
};

} // namespace tw::encode
