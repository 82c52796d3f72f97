#include "engine/encoder_sinks.h"

#include "engine/fd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <speex/speex_resampler.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tw::encode {

namespace {

using engine::Fd;

// Ogg Opus takes only these rates; audio at another is resampled to 48000 Hz, Opus's own.
bool opusRate(int rate) {
    return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
struct ResamplerCloser {
    void operator()(SpeexResamplerState* s) const { speex_resampler_destroy(s); }
};
// The resampler's quality where Opus needs 48000 Hz: speexdsp's, at the setting opus-tools'
// own encoder resamples with, so that it costs what `opusenc` does.
constexpr int kResampleQuality = 5;

class SndfileSink final : public EncoderSink {
  public:
    bool open(const Job& job, const WavLayout& source, std::string& why) {
        channels_ = source.channels;
        SF_INFO info{};
        info.channels = source.channels;
        info.samplerate = source.rate;
        switch (job.codec) {
        case Codec::Flac:
            info.format = SF_FORMAT_FLAC | (source.bits == 8 ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_16);
            break;
        case Codec::Vorbis:
            info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
            break;
        default:
            info.format = SF_FORMAT_OGG | SF_FORMAT_OPUS;
            if (!opusRate(source.rate)) {
                info.samplerate = 48000;
                int error = 0;
                resampler_.reset(speex_resampler_init(spx_uint32_t(source.channels),
                                                      spx_uint32_t(source.rate), 48000,
                                                      kResampleQuality, &error));
                if (!resampler_) {
                    why = std::string("the resampler could not start: ") +
                          speex_resampler_strerror(error);
                    return false;
                }
                // The take starts with its first sample, not with the filter's delay.
                speex_resampler_skip_zeros(resampler_.get());
                inRate_ = source.rate;
            }
            break;
        }
        file_.reset(sf_open(job.target.c_str(), SFM_WRITE, &info));
        if (!file_) {
            why = sf_strerror(nullptr);
            return false;
        }
        // Ogg streams take their comments only before the first audio.
        sf_set_string(file_.get(), SF_STR_TITLE, job.tags.title.c_str());
        sf_set_string(file_.get(), SF_STR_DATE, job.tags.date.c_str());
        sf_set_string(file_.get(), SF_STR_SOFTWARE, job.tags.encoder.c_str());
        return true;
    }

    bool write(const int16_t* frames, size_t count, std::string& why) override {
        if (!resampler_)
            return written(sf_writef_short(file_.get(), frames, sf_count_t(count)), count, why);
        in_.resize(count * size_t(channels_));
        for (size_t i = 0; i < in_.size(); ++i)
            in_[i] = frames[i] / 32768.0f;
        return resample(count, why);
    }

    bool finish(std::string& why) override {
        if (resampler_) {
            // The filter still holds the last input's worth of its delay: zeros push it out,
            // and the output stops at the length the input gives at 48000 Hz.
            const auto latency = size_t(speex_resampler_get_input_latency(resampler_.get()));
            in_.assign(latency * size_t(channels_), 0.0f);
            if (!resample(latency, why))
                return false;
        }
        if (sf_error(file_.get()) != SF_ERR_NO_ERROR) {
            why = sf_strerror(file_.get());
            return false;
        }
        // Closing writes what the codec still holds.
        if (sf_close(file_.release()) != 0) {
            why = "the file could not be closed";
            return false;
        }
        return true;
    }

  private:
    bool written(sf_count_t done, size_t asked, std::string& why) {
        if (done == sf_count_t(asked))
            return true;
        // sf_strerror() of the file names the system's reason ("No space left on device").
        why = sf_error(file_.get()) != SF_ERR_NO_ERROR ? sf_strerror(file_.get())
                                                       : std::strerror(errno);
        return false;
    }

    // Resamples `count` frames of in_ and writes them, never past the input's length at
    // 48000 Hz.
    bool resample(size_t count, std::string& why) {
        inFrames_ += count;
        const auto due = int64_t(inFrames_ * 48000 / uint64_t(inRate_)) - outFrames_;
        out_.resize((count * 48000 / size_t(inRate_) + 64) * size_t(channels_));
        const float* at = in_.data();
        spx_uint32_t left = spx_uint32_t(count);
        int64_t wanted = due;
        // All input goes through, so that the filter's state stays whole; only output past
        // the length is dropped.
        while (left > 0) {
            spx_uint32_t used = left;
            spx_uint32_t made = spx_uint32_t(out_.size() / size_t(channels_));
            speex_resampler_process_interleaved_float(resampler_.get(), at, &used, out_.data(),
                                                      &made);
            const auto keep = sf_count_t(std::clamp<int64_t>(wanted, 0, made));
            if (keep > 0 &&
                !written(sf_writef_float(file_.get(), out_.data(), keep), size_t(keep), why))
                return false;
            outFrames_ += keep;
            wanted -= keep;
            at += size_t(used) * size_t(channels_);
            left -= used;
            if (used == 0 && made == 0)
                break;
        }
        return true;
    }

    std::unique_ptr<SNDFILE, SndfileCloser> file_;
    std::unique_ptr<SpeexResamplerState, ResamplerCloser> resampler_;
    int channels_ = 0;
    int inRate_ = 0;
    uint64_t inFrames_ = 0;
    int64_t outFrames_ = 0;
    std::vector<float> in_, out_;
};

// `lame` reading raw 16-bit audio from a pipe, so that every switch of the user's MP3 options
// holds as it does when a finished WAV is converted.
class LameSink final : public EncoderSink {
  public:
    ~LameSink() override { abort(); }

    bool open(const Job& job, const WavLayout& source, std::string& why) {
        // Raw input has no header: lame learns the channels from its mode, so a mono take is
        // told "-m m" last, and a stereo take the user wants in mono is mixed down here.
        downmix_ = source.channels == 2 && lameSwitchesAskMono(job.lameSwitches);
        char kHz[16];
        std::snprintf(kHz, sizeof kHz, "%g", source.rate / 1000.0);
        std::vector<std::string> args{job.lame,     "-r", "-s",       kHz,
                                      "--bitwidth", "16", "--signed", "--little-endian"};
        args.insert(args.end(), job.lameSwitches.begin(), job.lameSwitches.end());
        if (source.channels == 1 || downmix_)
            args.insert(args.end(), {"-m", "m"});
        args.insert(args.end(),
                    {"--silent", "--add-id3v2", "--tt", job.tags.title, "--tv",
                     "TDRC=" + job.tags.date, "--tv", "TSSE=" + job.tags.encoder, "-", job.target});
        return spawn(args, why);
    }

    bool write(const int16_t* frames, size_t count, std::string& why) override {
        const int16_t* data = frames;
        size_t bytes = count * 4;
        if (downmix_) {
            mono_.resize(count);
            for (size_t i = 0; i < count; ++i)
                mono_[i] = int16_t((int(frames[2 * i]) + frames[2 * i + 1]) / 2);
            data = mono_.data();
            bytes = count * 2;
        } else if (monoSource_) {
            bytes = count * 2;
        }
        const auto* at = reinterpret_cast<const char*>(data);
        while (bytes > 0) {
            const ssize_t n = ::write(input_.get(), at, bytes);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                why = "lame stopped reading: " + ended();
                return false;
            }
            at += n;
            bytes -= size_t(n);
        }
        return true;
    }

    bool finish(std::string& why) override {
        input_.reset();
        const std::string end = ended();
        if (!end.empty()) {
            why = "lame " + end;
            return false;
        }
        return true;
    }

    void abort() override {
        input_.reset();
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ended();
        }
    }

    void setMonoSource(bool mono) { monoSource_ = mono; }

  private:
    bool spawn(const std::vector<std::string>& args, std::string& why) {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) {
            why = std::strerror(errno);
            return false;
        }
        Fd read(pipe[0]);
        input_ = Fd(pipe[1]);
        errors_ = Fd(::memfd_create("lame-errors", MFD_CLOEXEC));
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, read.get(), 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (errors_)
            posix_spawn_file_actions_adddup2(&actions, errors_.get(), 2);
        // The encoder's thread blocks SIGPIPE; lame starts with the usual signals.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, pipeSignal;
        sigemptyset(&none);
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &pipeSignal);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const int error = ::posix_spawnp(&pid_, argv[0], &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (error != 0) {
            pid_ = -1;
            why = "lame could not be started: " + std::string(std::strerror(error));
            return false;
        }
        return true;
    }

    // Waits for lame to end: "" when it ended well, else how it ended and what it said.
    std::string ended() {
        if (pid_ <= 0)
            return {};
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return {};
        std::string said;
        if (errors_) {
            char text[512];
            const ssize_t n = ::pread(errors_.get(), text, sizeof text - 1, 0);
            if (n > 0)
                said.assign(text, size_t(n));
            while (!said.empty() && (said.back() == '\n' || said.back() == '\r'))
                said.pop_back();
        }
        std::string how = WIFEXITED(status)
                              ? "ended with status " + std::to_string(WEXITSTATUS(status))
                              : "was stopped by signal " + std::to_string(WTERMSIG(status));
        return said.empty() ? how : how + " (" + said + ")";
    }

    Fd input_;
    Fd errors_;
    pid_t pid_ = -1;
    bool downmix_ = false;
    bool monoSource_ = false;
    std::vector<int16_t> mono_;
};

} // namespace

bool lameSwitchesAskMono(const std::vector<std::string>& switches) {
    bool mono = false;
    for (size_t i = 0; i < switches.size(); ++i) {
        const std::string& s = switches[i];
        if (s == "-a")
            mono = true;
        else if (s == "-m" && i + 1 < switches.size())
            mono = switches[++i] == "m";
        else if (s.size() == 3 && s.rfind("-m", 0) == 0)
            mono = s[2] == 'm';
    }
    return mono;
}

std::unique_ptr<EncoderSink> openSink(const Job& job, const WavLayout& source, std::string& why) {
    if (job.codec == Codec::Mp3) {
        auto sink = std::make_unique<LameSink>();
        sink->setMonoSource(source.channels == 1);
        if (!sink->open(job, source, why))
            return nullptr;
        return sink;
    }
    auto sink = std::make_unique<SndfileSink>();
    if (!sink->open(job, source, why))
        return nullptr;
    return sink;
}

} // namespace tw::encode
