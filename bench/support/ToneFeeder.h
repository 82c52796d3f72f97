// What the benches that feed a pipe source share: a writer of silence and a tone on an
// absolute schedule, the engine's number of a source by its description, and a median.
#pragma once

#include "bench/support/LatencyClock.h"
#include "core/EngineClient.h"
#include "platform/AudioLibraries.h"

#include <QStringList>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tw::bench {

constexpr int kRate = 44100;
constexpr int kChunkFrames = kRate / 200; // 5 ms: the FIFO never holds more than this ahead
constexpr double kToneAmplitude = 0.5;    // -6 dBFS
constexpr double kToneHz = 1000;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Writes 5 ms of audio every 5 ms on an absolute schedule, so that what the server reads is as
// old as the write, and the tone's start is known to the write.
class Feeder {
  public:
    explicit Feeder(int fd) : fd_(fd), thread_([this] { loop(); }) {}
    ~Feeder() {
        stop_ = true;
        thread_.join();
    }
    // The tone begins with the first chunk due from now on.
    void startTone() {
        started_ = 0;
        tone_ = true;
    }
    void stopTone() { tone_ = false; }
    // When the tone's first chunk was handed to the FIFO; 0 until then.
    qint64 toneStartedAt() const { return started_; }
    bool failed() const { return failed_; }

  private:
    void loop() {
        std::vector<int16_t> chunk(kChunkFrames);
        timespec due{};
        clock_gettime(CLOCK_MONOTONIC, &due);
        long phase = 0;
        while (!stop_) {
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            const bool tone = tone_;
            if (!tone)
                phase = 0;
            for (int16_t& sample : chunk)
                sample = tone ? int16_t(std::lround(32767 * kToneAmplitude *
                                                    std::sin(2 * M_PI * kToneHz * phase++ / kRate)))
                              : 0;
            if (tone && started_ == 0)
                started_ = nowNs();
            if (::write(fd_, chunk.data(), chunk.size() * sizeof(int16_t)) < 0)
                failed_ = true;
            due.tv_nsec += 1000000000L * kChunkFrames / kRate;
            if (due.tv_nsec >= 1000000000L) {
                due.tv_nsec -= 1000000000L;
                due.tv_sec += 1;
            }
        }
    }

    int fd_;
    std::atomic<bool> stop_{false}, tone_{false}, failed_{false};
    std::atomic<qint64> started_{0};
    std::thread thread_;
};

inline void pause(int ms) {
    waitUntil([] { return false; }, ms);
}

// The engine's number of the source described so: the engine's own numbering, whatever order
// the server lists its sources in. Asked before the engine client's worker exists.
inline int sourceNumber(AudioLibraries& audio, const QString& description) {
    const int32_t count = audio.Wavelark({}, int32_t(EngineMode::CountSources), 0, 0, 0, 0);
    for (int32_t n = 0; n < count; ++n) {
        QString text;
        if (audio.WavelarkSourceDescription(n, text) == 0 && text == description)
            return n;
    }
    return -1;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
}

// What a bench on the pipe source starts from: its arguments (BIN_DIR FIFO DESCRIPTION), the
// engine's libraries, the source's number, the open FIFO and RUNS (default 20). Null, with the
// reason on stderr, when any of them is missing.
struct PipeBench {
    explicit PipeBench(const QString& binDir) : audio(binDir) {}
    ~PipeBench() {
        if (fifo >= 0)
            ::close(fifo);
    }
    PipeBench(const PipeBench&) = delete;
    PipeBench& operator=(const PipeBench&) = delete;
    AudioLibraries audio;
    int fifo = -1;
    int source = -1;
    int runs = 20;
};

inline std::unique_ptr<PipeBench> startPipeBench(const char* name, const QStringList& args) {
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: %s BIN_DIR FIFO DESCRIPTION\n", name);
        return nullptr;
    }
    auto bench = std::make_unique<PipeBench>(args[1]);
    if (qEnvironmentVariableIntValue("RUNS") > 0)
        bench->runs = qEnvironmentVariableIntValue("RUNS");
    bench->source = sourceNumber(bench->audio, args[3]);
    if (bench->source < 0) {
        std::fprintf(stderr, "no source described \"%s\" (%s)\n", qPrintable(args[3]),
                     qPrintable(bench->audio.loadError()));
        return nullptr;
    }
    bench->fifo = ::open(args[2].toLocal8Bit().constData(), O_WRONLY | O_CLOEXEC);
    if (bench->fifo < 0) {
        std::perror("FIFO");
        return nullptr;
    }
    return bench;
}

} // namespace tw::bench
