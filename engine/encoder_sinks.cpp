#include "engine/encoder_sinks.h"

#include "engine/fd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <opusenc.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tw::encode {

namespace {

using engine::Fd;

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
// Ogg Opus through libopusenc, which resamples any rate to Opus's 48000 Hz itself, at the
// bitrates `opusenc` uses by default: the same file and cost as that program's.
class OpusSink final : public EncoderSink {
  public:
    ~OpusSink() override { abort(); }

    bool open(const Job& job, const WavLayout& source, std::string& why) {
        comments_ = ope_comments_create();
        if (!comments_) {
            why = "out of memory";
            return false;
        }
        ope_comments_add(comments_, "TITLE", job.tags.title.c_str());
        ope_comments_add(comments_, "DATE", job.tags.date.c_str());
        ope_comments_add(comments_, "ENCODER", job.tags.encoder.c_str());
        int error = OPE_OK;
        encoder_ = ope_encoder_create_file(job.target.c_str(), comments_, source.rate,
                                           source.channels, 0, &error);
        if (!encoder_) {
            why = ope_strerror(error);
            return false;
        }
        ope_encoder_ctl(encoder_, OPUS_SET_BITRATE(source.channels == 1 ? 64000 : 96000));
        // The take's own depth: libopus then spends nothing on detail below its last bit.
        ope_encoder_ctl(encoder_, OPUS_SET_LSB_DEPTH(source.bits));
        return true;
    }

    bool write(const int16_t* frames, size_t count, std::string& why) override {
        const int error = ope_encoder_write(encoder_, frames, int(count));
        if (error != OPE_OK)
            why = error == OPE_CANNOT_OPEN || error == OPE_WRITE_FAIL ? std::strerror(errno)
                                                                      : ope_strerror(error);
        return error == OPE_OK;
    }

    bool finish(std::string& why) override {
        const int error = ope_encoder_drain(encoder_);
        if (error != OPE_OK) {
            why = error == OPE_WRITE_FAIL ? std::strerror(errno) : ope_strerror(error);
            return false;
        }
        abort();
        return true;
    }

    void abort() override {
        if (encoder_)
            ope_encoder_destroy(encoder_);
        encoder_ = nullptr;
        if (comments_)
            ope_comments_destroy(comments_);
        comments_ = nullptr;
    }

  private:
    OggOpusComments* comments_ = nullptr;
    OggOpusEnc* encoder_ = nullptr;
};

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
            info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
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
        return written(sf_writef_short(file_.get(), frames, sf_count_t(count)), count, why);
    }

    bool finish(std::string& why) override {
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

    std::unique_ptr<SNDFILE, SndfileCloser> file_;
    int channels_ = 0;
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
    if (job.codec == Codec::Opus) {
        auto sink = std::make_unique<OpusSink>();
        if (!sink->open(job, source, why))
            return nullptr;
        return sink;
    }
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
