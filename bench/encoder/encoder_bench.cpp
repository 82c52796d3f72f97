// The take encoder measured, one key=value a line; run.sh runs it and README.md explains it.
//   encoder_bench follow DIR SECONDS SPEED RUNS CODEC...  Stop to a complete file, following
//   encoder_bench cpu DIR SECONDS RUNS CODEC...           processor time against the codec's CLI
//   encoder_bench starved DIR SECONDS RUNS CODEC          a take through the engine, CPU busy
// CODEC: flac, opus, vorbis or mp3. DIR: scratch files, on the disk the engine's captures use.
#include "engine/exports.h"
#include "engine/take_encoder.h"
#include "engine/wav_writer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
using tw::encode::Codec;
using tw::encode::TakeEncoder;
using tw::engine::Fd;
using tw::engine::WavWriter;

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr size_t kFrameBytes = kChannels * 2;
// The engine's rhythm: the server delivers 100 ms pieces, the header follows every 700 ms and
// the data are synced every 10 s.
constexpr size_t kPieceFrames = kRate / 10;
constexpr int kPiecesPerHeader = 7;
constexpr int kPiecesPerSync = 100;

double ms(Clock::duration d) {
    return Seconds(d).count() * 1000;
}

// Tones under a noise floor: noise keeps the codecs from the shortcuts a pure tone allows, so
// their cost is closer to that of a real take.
struct Signal {
    void fill(int16_t* out, size_t frames) {
        const auto sample = [this](double hz, double t) {
            return int16_t(
                std::lround((0.4 * std::sin(2 * M_PI * hz * t) + 0.03 * noise(rng)) * 32767));
        };
        for (size_t i = 0; i < frames; ++i, ++frame) {
            const double t = double(frame % (kRate * 100)) / kRate;
            out[2 * i] = sample(440, t);
            out[2 * i + 1] = sample(660, t);
        }
    }
    std::minstd_rand rng;
    std::uniform_real_distribution<double> noise{-1, 1};
    int64_t frame = 0;
};

// In the order of tw::encode::Codec.
const char* const kCodecNames[] = {"flac", "opus", "vorbis", "mp3"};

std::string nameOf(Codec codec) {
    return kCodecNames[int(codec)];
}

tw::encode::Job makeJob(Codec codec, const std::string& source, const std::string& target) {
    tw::encode::Job job;
    job.codec = codec;
    job.source = source;
    job.target = target;
    job.tags = {"Bench take", "2026-12-09T05:30:00", "Tunewright bench"};
    job.lameSwitches = {"-b", "128"};
    return job;
}

uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// What the Ended callback saw, on the encoder's thread: when it came, whether the take was
// good, and that thread's own processor time by then.
struct Ending {
    Clock::time_point at;
    bool done = false;
    double threadCpu = 0;
};

TakeEncoder::Ended reportTo(std::promise<Ending>& ending) {
    return [&ending](TakeEncoder::State state) {
        timespec cpu{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        ending.set_value({Clock::now(), state == TakeEncoder::State::Done,
                          double(cpu.tv_sec) + cpu.tv_nsec / 1e9});
    };
}

// The engine's capture writer: whole blocks go past the page cache where the file system
// allows, as the engine sends them, so the encoder reads them back from the disk as it would
// behind a real take. The audio is kept aligned like the end of the file, as appendBlocks()
// wants it.
class Capture {
  public:
    bool open(const std::string& path) {
        Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd)
            return false;
        wav_.emplace(std::move(fd), path, WavWriter::Format{kChannels, kRate, 16});
        if (!wav_->begin())
            return false;
        wav_->enableDirect();
        void* buffer = nullptr;
        if (::posix_memalign(&buffer, WavWriter::kDirectBlock, kBufferBytes) != 0)
            return false;
        buffer_.reset(static_cast<std::byte*>(buffer));
        at_ = WavWriter::kPlainDataOffset;
        return true;
    }
    bool write(const int16_t* frames, size_t count) {
        const size_t bytes = count * kFrameBytes;
        std::memcpy(buffer_.get() + at_ + pending_, frames, bytes);
        pending_ += bytes;
        received_ += int64_t(count);
        size_t taken = 0;
        const bool ok = wav_->appendBlocks(buffer_.get() + at_, pending_, taken);
        pending_ -= taken;
        const size_t next = (WavWriter::kPlainDataOffset + wav_->dataBytes()) % kBlock;
        std::memmove(buffer_.get() + next, buffer_.get() + at_ + taken, pending_);
        at_ = next;
        return ok;
    }
    bool updateHeader() { return wav_->updateHeader(); }
    void sync() { ::fdatasync(wav_->fd()); }
    bool finish() {
        return (pending_ == 0 || wav_->append(buffer_.get() + at_, pending_)) && wav_->finish();
    }
    int64_t frames() const { return received_; }
    bool direct() const { return wav_->direct(); }

  private:
    static constexpr size_t kBlock = WavWriter::kDirectBlock;
    static constexpr size_t kBufferBytes = 2 * kBlock + kPieceFrames * kFrameBytes;
    struct Free {
        void operator()(std::byte* p) const { std::free(p); }
    };
    std::optional<WavWriter> wav_;
    std::unique_ptr<std::byte, Free> buffer_;
    size_t at_ = 0;
    size_t pending_ = 0;
    int64_t received_ = 0;
};

using Figures = std::map<std::string, std::vector<double>>;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? NAN : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Every run's figure, then the median and the spread: the machine is shared, and one slow
// run says more about the neighbours than about the encoder.
void printFigures(const Figures& figures) {
    for (const auto& [key, v] : figures) {
        std::string runs;
        for (double x : v)
            runs += (runs.empty() ? "" : ",") + std::to_string(x);
        std::printf("%s_runs=%s\n", key.c_str(), runs.c_str());
        std::printf("%s_median=%.6g\n", key.c_str(), median(v));
        std::printf("%s_min=%.6g\n", key.c_str(), *std::min_element(v.begin(), v.end()));
        std::printf("%s_max=%.6g\n", key.c_str(), *std::max_element(v.begin(), v.end()));
    }
}

struct FollowRun {
    bool ok = false, direct = false;
    double stopMs = 0;
    int64_t lagAtStop = 0, maxLag = 0;
    uint64_t bytes = 0;
};

// The take's last second comes in real time whatever the speed: the encoder then stands where
// it would behind a real take when Stop comes, so the figure at Stop is a real take's, while
// all before it tries the encoder at SPEED.
constexpr int kRealTimePieces = 10;

// Writes the take on the engine's rhythm; false when the disk refused it.
bool writeTake(Capture& capture, const TakeEncoder& encoder, int64_t pieces, double speed,
               FollowRun& run) {
    Signal signal;
    std::vector<int16_t> piece(kPieceFrames * kChannels);
    const auto fast = std::chrono::duration_cast<Clock::duration>(Seconds(0.1 / speed));
    const auto real = std::chrono::duration_cast<Clock::duration>(Seconds(0.1));
    auto due = Clock::now();
    for (int64_t i = 1; i <= pieces; ++i) {
        due += i > pieces - kRealTimePieces ? real : fast;
        std::this_thread::sleep_until(due);
        signal.fill(piece.data(), kPieceFrames);
        if (!capture.write(piece.data(), kPieceFrames))
            return false;
        if (i % kPiecesPerHeader == 0)
            capture.updateHeader();
        if (i % kPiecesPerSync == 0)
            capture.sync();
        run.maxLag = std::max(run.maxLag, capture.frames() - encoder.framesDone());
    }
    return true;
}

FollowRun followOnce(Codec codec, const std::string& dir, int64_t pieces, double speed) {
    const std::string wav = dir + "/capture.wav";
    const std::string target = dir + "/take." + tw::encode::extensionOf(codec);
    ::unlink(wav.c_str());
    ::unlink(target.c_str());
    FollowRun run;
    Capture capture;
    if (!capture.open(wav))
        return run;
    run.direct = capture.direct();
    std::promise<Ending> ended;
    TakeEncoder encoder(makeJob(codec, wav, target), reportTo(ended));
    if (!encoder.start()) {
        std::fprintf(stderr, "%s\n", encoder.error().c_str());
        return run;
    }
    if (!writeTake(capture, encoder, pieces, speed, run))
        return run;
    // Stop: what the encoder has not read yet is what it still has to do.
    run.lagAtStop = capture.frames() - encoder.framesDone();
    const auto stop = Clock::now();
    if (!capture.finish())
        return run;
    encoder.sourceComplete();
    const Ending end = ended.get_future().get();
    encoder.wait();
    run.stopMs = ms(end.at - stop);
    if (!end.done)
        std::fprintf(stderr, "%s\n", encoder.error().c_str());
    run.ok = end.done && encoder.framesDone() == capture.frames();
    run.bytes = fileSize(target);
    ::unlink(wav.c_str());
    ::unlink(target.c_str());
    return run;
}

int runFollow(const std::string& dir, double seconds, double speed, int runs,
              const std::vector<Codec>& codecs) {
    Figures figures;
    bool direct = true;
    for (int r = 0; r < runs; ++r) {
        for (Codec codec : codecs) {
            // Each run stops at another point of the header's 700 ms rhythm.
            const FollowRun run = followOnce(codec, dir, std::llround(seconds * 10) + 2 * r, speed);
            if (!run.ok) {
                std::fprintf(stderr, "follow %s failed\n", nameOf(codec).c_str());
                return 1;
            }
            direct = direct && run.direct;
            const std::string key =
                "follow_" + nameOf(codec) + "_" + std::to_string(std::lround(seconds)) + "s_";
            figures[key + "stop_ms"].push_back(run.stopMs);
            figures[key + "lag_at_stop_ms"].push_back(run.lagAtStop * 1000.0 / kRate);
            figures[key + "max_lag_ms"].push_back(run.maxLag * 1000.0 / kRate);
            figures[key + "bytes"].push_back(double(run.bytes));
        }
    }
    std::printf("follow_speed=%g\nfollow_direct_writes=%d\n", speed, direct ? 1 : 0);
    printFigures(figures);
    return 0;
}

// A finished WAV of the signal, written as a take would leave it.
bool makeWav(const std::string& path, double seconds) {
    ::unlink(path.c_str());
    Capture capture;
    Signal signal;
    std::vector<int16_t> piece(kPieceFrames * kChannels);
    bool ok = capture.open(path);
    for (auto i = std::llround(seconds * 10); ok && i > 0; --i) {
        signal.fill(piece.data(), kPieceFrames);
        ok = capture.write(piece.data(), kPieceFrames);
    }
    return ok && capture.finish();
}

double cpuSeconds(const rusage& use) {
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

double cpuSeconds(int who) {
    rusage use{};
    ::getrusage(who, &use);
    return cpuSeconds(use);
}

struct CpuRun {
    bool ok = false;
    double cpu = 0, threadCpu = 0; // user + system: all of it, and the encoder's thread alone
    uint64_t bytes = 0;
};

// All of the process's time counts, children included: for MP3 the work is `lame`'s, which
// the encoder starts and reaps itself.
CpuRun inProcess(Codec codec, const std::string& wav, const std::string& target) {
    ::unlink(target.c_str());
    CpuRun run;
    std::promise<Ending> ended;
    Ending end;
    const double self = cpuSeconds(RUSAGE_SELF);
    const double children = cpuSeconds(RUSAGE_CHILDREN);
    {
        TakeEncoder encoder(makeJob(codec, wav, target), reportTo(ended));
        if (!encoder.start()) {
            std::fprintf(stderr, "%s\n", encoder.error().c_str());
            return run;
        }
        encoder.sourceComplete();
        end = ended.get_future().get();
        if (!end.done)
            std::fprintf(stderr, "%s\n", encoder.error().c_str());
    }
    run.cpu = cpuSeconds(RUSAGE_SELF) - self + cpuSeconds(RUSAGE_CHILDREN) - children;
    run.threadCpu = end.threadCpu;
    run.ok = end.done;
    run.bytes = fileSize(target);
    return run;
}

// The settings of each program that match the encoder's: libsndfile's defaults for FLAC
// (level 5) and Vorbis (quality 0.4); for Opus, libopusenc (as `opusenc` itself uses) at
// `opusenc`'s default 96 kb/s for stereo, in its default VBR; lame gets the same switches as
// the encoder passes.
std::vector<std::string> commandFor(Codec codec, const std::string& wav, const std::string& out) {
    switch (codec) {
    case Codec::Flac:
        return {"flac", "--silent", "-f", "-5", "-o", out, wav};
    case Codec::Vorbis:
        return {"oggenc", "--quiet", "-q", "4", "-o", out, wav};
    case Codec::Opus:
        return {"opusenc", "--quiet", "--bitrate", "96", wav, out};
    case Codec::Mp3:
        return {"lame", "--silent", "-b", "128", wav, out};
    }
    return {};
}

CpuRun commandLine(const std::vector<std::string>& command, const std::string& out) {
    ::unlink(out.c_str());
    std::vector<char*> argv;
    for (const auto& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CpuRun run;
    int status = 0;
    rusage use{};
    while (error == 0 && ::wait4(pid, &status, 0, &use) < 0 && errno == EINTR) {
    }
    run.ok = error == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.cpu = cpuSeconds(use);
    run.bytes = fileSize(out);
    return run;
}

int runCpu(const std::string& dir, double seconds, int runs, const std::vector<Codec>& codecs) {
    const std::string wav = dir + "/finished.wav";
    if (!makeWav(wav, seconds))
        return 1;
    std::printf("cpu_audio_seconds=%g\n", seconds);
    Figures figures;
    for (int r = -1; r < runs; ++r) { // the first round warms the caches and is not counted
        for (Codec codec : codecs) {
            const std::string name = nameOf(codec);
            const std::string ext = tw::encode::extensionOf(codec);
            const std::string in = dir + "/in." + ext, out = dir + "/cli." + ext;
            const auto command = commandFor(codec, wav, out);
            // Alternated, so that a neighbour's build slows both alike.
            const CpuRun own = inProcess(codec, wav, in);
            const CpuRun cli = commandLine(command, out);
            if (!own.ok || !cli.ok) {
                std::fprintf(stderr, "cpu %s failed (%s)\n", name.c_str(), own.ok ? "cli" : "in");
                return 1;
            }
            if (r < 0) {
                std::string line;
                for (const auto& word : command)
                    line += (line.empty() ? "" : " ") + word;
                std::printf("cpu_%s_command=%s\n", name.c_str(), line.c_str());
                continue;
            }
            const std::string key = "cpu_" + name + "_";
            figures[key + "in_per_s"].push_back(own.cpu / seconds);
            figures[key + "thread_per_s"].push_back(own.threadCpu / seconds);
            figures[key + "cli_per_s"].push_back(cli.cpu / seconds);
            figures[key + "ratio"].push_back(own.cpu / cli.cpu);
            figures[key + "in_bytes"].push_back(double(own.bytes));
            figures[key + "cli_bytes"].push_back(double(cli.bytes));
        }
    }
    printFigures(figures);
    ::unlink(wav.c_str());
    return 0;
}

// One `sh` busy loop a core, at the encoder's own priority; each dies with this process.
class Burners {
  public:
    explicit Burners(long count) {
        const char* argv[] = {"/bin/sh", "-c", "while :; do :; done", nullptr};
        for (long i = 0; i < count; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                ::execv(argv[0], const_cast<char**>(argv));
                ::_exit(127);
            }
            if (pid > 0)
                pids_.push_back(pid);
        }
    }
    ~Burners() { stop(); }
    void stop() {
        for (pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        pids_.clear();
    }

  private:
    std::vector<pid_t> pids_;
};

// How far the encoder is behind the engine's count (audio received, some of it still on its
// way to the file) and behind the capture file itself (what it could have read).
struct Lag {
    int64_t engine = 0, file = 0;
};

Lag lagOf(const TakeEncoder& encoder, const std::string& capture) {
    WavelarkStatusInfo status{};
    WavelarkStatus(&status);
    struct stat st {};
    const int64_t inFile =
        ::stat(capture.c_str(), &st) == 0
            ? (int64_t(st.st_size) - int64_t(WavWriter::kPlainDataOffset)) / int64_t(kFrameBytes)
            : 0;
    const int64_t done = encoder.framesDone();
    return {status.frames - done, inFile - done};
}

struct StarvedRun {
    bool ok = false;
    int64_t gapFrames = -1, frames = 0;
    Lag atStop, most;
    int problems = 0;
    double engineStopMs = 0, stopMs = 0, threadCpu = 0;
};

// Stops the take and waits for the encoder; the burners run until the encoder is done.
bool stopTake(TakeEncoder& encoder, std::promise<Ending>& ended, const std::string& saved,
              StarvedRun& run) {
    run.atStop = lagOf(encoder, encoder.job().source);
    const auto stop = Clock::now();
    const bool stopped = Wavelark(saved.c_str(), 0, 0, 0, 0, 0) == 0;
    const auto complete = Clock::now();
    encoder.sourceComplete();
    const Ending end = ended.get_future().get();
    encoder.wait();
    run.engineStopMs = ms(complete - stop);
    run.stopMs = ms(end.at - stop);
    run.threadCpu = end.threadCpu;
    run.ok = stopped && end.done;
    return stopped;
}

StarvedRun starvedOnce(Codec codec, const std::string& dir, double seconds) {
    StarvedRun run;
    const std::string saved = dir + "/engine-take.wav";
    const std::string target = dir + "/starved." + tw::encode::extensionOf(codec);
    ::unlink(saved.c_str());
    Burners burners(::sysconf(_SC_NPROCESSORS_ONLN));
    if (Wavelark("", 1, kChannels, kRate, 16, 0) != 0)
        return run;
    const auto begin = Clock::now();
    WavelarkStatusInfo status{};
    WavelarkStatus(&status);
    std::promise<Ending> ended;
    TakeEncoder encoder(makeJob(codec, status.capture, target), reportTo(ended));
    if (!encoder.start()) {
        std::fprintf(stderr, "%s\n", encoder.error().c_str());
        Wavelark(saved.c_str(), 0, 0, 0, 0, 0);
        return run;
    }
    while (Clock::now() - begin < Seconds(seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const Lag now = lagOf(encoder, status.capture);
        run.most = {std::max(run.most.engine, now.engine), std::max(run.most.file, now.file)};
    }
    const bool stopped = stopTake(encoder, ended, saved, run);
    burners.stop();
    WavelarkStatus(&status);
    run.frames = status.frames;
    run.problems = status.problems;
    run.gapFrames = WavelarkGapFrames();
    run.ok = run.ok && encoder.framesDone() == status.frames;
    if (!run.ok)
        std::fprintf(stderr, "starved: stopped=%d %s\n", stopped, encoder.error().c_str());
    ::unlink(saved.c_str());
    ::unlink(target.c_str());
    return run;
}

int runStarved(const std::string& dir, double seconds, int runs, Codec codec) {
    Figures figures;
    const std::string key = "starved_" + nameOf(codec) + "_";
    for (int r = 0; r < runs; ++r) {
        const StarvedRun run = starvedOnce(codec, dir, seconds);
        if (!run.ok)
            return 1;
        figures[key + "gap_frames"].push_back(double(run.gapFrames));
        figures[key + "problems"].push_back(run.problems);
        figures[key + "lag_at_stop_ms"].push_back(run.atStop.engine * 1000.0 / kRate);
        figures[key + "max_lag_ms"].push_back(run.most.engine * 1000.0 / kRate);
        figures[key + "file_lag_at_stop_ms"].push_back(run.atStop.file * 1000.0 / kRate);
        figures[key + "max_file_lag_ms"].push_back(run.most.file * 1000.0 / kRate);
        figures[key + "engine_stop_ms"].push_back(run.engineStopMs);
        figures[key + "stop_ms"].push_back(run.stopMs);
        figures[key + "thread_cpu_s"].push_back(run.threadCpu);
        figures[key + "take_s"].push_back(double(run.frames) / kRate);
    }
    std::printf("starved_burners=%ld\n", ::sysconf(_SC_NPROCESSORS_ONLN));
    printFigures(figures);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int first = mode == "follow" ? 6 : 5;
    const auto usage = [] {
        std::fprintf(stderr, "usage: see the head of bench/encoder/encoder_bench.cpp\n");
        return 2;
    };
    if ((mode != "follow" && mode != "cpu" && mode != "starved") || argc <= first)
        return usage();
    std::vector<Codec> codecs;
    for (int i = first; i < argc; ++i) {
        const auto* name =
            std::find(std::begin(kCodecNames), std::end(kCodecNames), std::string_view(argv[i]));
        if (name == std::end(kCodecNames))
            return usage();
        codecs.push_back(Codec(name - std::begin(kCodecNames)));
    }
    const std::string dir = argv[2];
    const double seconds = std::atof(argv[3]);
    const int runs = std::atoi(argv[first - 1]);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (mode == "follow")
        return runFollow(dir, seconds, std::atof(argv[4]), runs, codecs);
    if (mode == "cpu")
        return runCpu(dir, seconds, runs, codecs);
    return runStarved(dir, seconds, runs, codecs.front());
}
