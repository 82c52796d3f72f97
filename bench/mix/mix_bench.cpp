// Two inputs in one take, and one program's sound, through the real libWavelark.so:
//
//   mix_bench feed FIFO RATIO T0_NS TONE_HZ [LOG]    a pipe source's device (run by the others)
//   mix_bench drift BIN_DIR FIFO_A DESC_A FIFO_B DESC_B OUT_DIR MINUTES RATIO
//   mix_bench analyze OUT_DIR                        the drift take again, from its files
//   mix_bench cpu BIN_DIR FIFO_A DESC_A FIFO_B DESC_B OUT_DIR ROUNDS WINDOW_S
//   mix_bench program BIN_DIR PLAYER OUT_DIR RUNS NAME
//
// run.sh loads the pipe sources on a private PulseAudio and says what each figure means.
#include "bench/mix/engine_api.h"
#include "bench/support/PacedFeeder.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tw::bench::mix {

template <typename T> static bool bind(void* handle, const char* name, T& out) {
    out = reinterpret_cast<T>(dlsym(handle, name));
    if (!out)
        std::fprintf(stderr, "libWavelark.so has no %s\n", name);
    return out != nullptr;
}

bool Engine::load(const std::string& binDir) {
    const std::string path = binDir + "/libWavelark.so";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "%s\n", dlerror());
        return false;
    }
    const bool base =
        bind(handle, "Wavelark", wavelark) & bind(handle, "WavelarkGapCount", gapCount) &
        bind(handle, "WavelarkGapFrames", gapFrames) & bind(handle, "WavelarkStatus", status) &
        bind(handle, "WavelarkSourceDescription", sourceDescription);
    // An engine from before the second input still serves the CPU rounds' one-input takes, as
    // the baseline the new one's single input is held against.
    if (std::getenv("MIX_BASELINE"))
        return base;
    return base & bind(handle, "WavelarkSelectApplication", selectApplication) &
           bind(handle, "WavelarkApplications", applications) & bind(handle, "WavelarkMix", mix) &
           bind(handle, "WavelarkInputLevel", inputLevel);
}

int Engine::sourceNumber(const std::string& description) const {
    const int32_t count = wavelark("", 4, 0, 0, 0, 0);
    for (int32_t n = 0; n < count; ++n) {
        char text[512] = {};
        if (sourceDescription(n, text, sizeof text) == 0 && description == text)
            return n;
    }
    return -1;
}

WavelarkStatusInfo Engine::now() const {
    WavelarkStatusInfo info{};
    status(&info);
    return info;
}

float Engine::peak(int input) const {
    WavelarkLevelInfo level{};
    return inputLevel(input, &level) == 0 ? level.peak : -1;
}

int spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    return pid;
}

int stopChild(int pid) {
    if (pid <= 0)
        return -1;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

std::vector<int> startFeeders(const std::vector<FeederSpec>& feeders, int64_t t0Ns) {
    std::vector<int> pids;
    for (const FeederSpec& f : feeders) {
        char ratio[32], tone[32];
        std::snprintf(ratio, sizeof ratio, "%.9f", f.ratio);
        std::snprintf(tone, sizeof tone, "%.3f", f.toneHz);
        std::vector<std::string> args{"/proc/self/exe",     "feed", f.fifo, ratio,
                                      std::to_string(t0Ns), tone};
        if (!f.stallLog.empty())
            args.push_back(f.stallLog);
        pids.push_back(spawn(args));
    }
    return pids;
}

double medianOf(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
}

static std::atomic<bool> feederStop{false};

// A pipe source's device in a process of its own, until SIGTERM; then what it wrote.
int runFeed(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: mix_bench feed FIFO RATIO T0_NS TONE_HZ [STALL_LOG]\n");
        return 2;
    }
    const int fd = ::open(argv[2], O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror(argv[2]);
        return 1;
    }
    PipSignal signal;
    signal.ratio = std::atof(argv[3]);
    signal.toneHz = std::atof(argv[5]);
    std::signal(SIGTERM, [](int) { feederStop = true; });
    // A device hands its audio over on time whatever else the machine does; without a real-time
    // priority a busy machine would make the bench's device late, not the engine.
    const sched_param priority{sched_get_priority_min(SCHED_FIFO)};
    const bool realTime = sched_setscheduler(0, SCHED_FIFO, &priority) == 0;
    PacedFeeder feeder(fd, signal.rate, signal.ratio, std::atoll(argv[4]), signal);
    feeder.run(feederStop);
    const FeederCounts& c = feeder.counts();
    std::printf("feeder %s ratio %s%s: %lld frames written, %lld refused (FIFO full), latest wake "
                "%.2f ms after due, %lld wakes 20 ms late or more in %zu stalls\n",
                argv[2], argv[3], realTime ? " (SCHED_FIFO)" : " (no real-time priority)",
                (long long)c.written, (long long)c.dropped, double(c.latestWakeNs) / 1e6,
                (long long)c.lateWakes, c.stalls.size());
    FILE* log = argc == 7 ? std::fopen(argv[6], "w") : nullptr;
    for (const auto& [at, late] : c.stalls) {
        std::printf("  stalled: woke %.1f ms late at %.3f s after t0\n", double(late) / 1e6,
                    double(at) / 1e9);
        if (log)
            std::fprintf(log, "%.6f %.3f\n", double(at) / 1e9, double(late) / 1e6);
    }
    if (log)
        std::fclose(log);
    std::fflush(stdout);
    return 0;
}

static double cpuSecondsSelf() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process, from /proc; -1 when it cannot be read.
static double cpuSecondsOf(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t close = text.rfind(')');
    if (pid <= 0 || close == std::string::npos)
        return -1;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

struct CpuRow {
    double engineMsPerS;
    double serverMsPerS;
};

// One take of WINDOW seconds after 5 s to settle: the process's CPU (the engine's threads; the
// feeders run in processes of their own) per second of audio the take gained meanwhile.
static bool cpuTake(const Engine& engine, int second, int window, const std::string& out,
                    CpuRow& row) {
    if (engine.mix) {
        engine.wavelark("", 7, 0, 0, 0, second);
        engine.mix(100, 100, 0);
    }
    if (engine.wavelark("", 1, 2, 48000, 16, 0) != 0) {
        std::fprintf(stderr, "the take did not start\n");
        return false;
    }
    const int server = std::atoi(std::getenv("TW_SOUND_SERVER_PIDS") ?: "0");
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double cpu0 = cpuSecondsSelf(), server0 = cpuSecondsOf(server);
    const int64_t frames0 = engine.now().frames;
    std::this_thread::sleep_for(std::chrono::seconds(window));
    const double cpu1 = cpuSecondsSelf(), server1 = cpuSecondsOf(server);
    const WavelarkStatusInfo after = engine.now();
    const double audio = double(after.frames - frames0) / 48000;
    const int stopped = engine.wavelark(out.c_str(), 0, 0, 0, 0, 0);
    std::remove(out.c_str());
    row = {1000 * (cpu1 - cpu0) / audio, server > 0 ? 1000 * (server1 - server0) / audio : -1};
    std::printf("  %s input%s: %.2f ms CPU per s of audio (%.1f s of audio), server %.2f ms/s, "
                "problems %d, gaps %lld, stop %d\n",
                second < 0 ? "one" : "two", second < 0 ? "" : "s", row.engineMsPerS, audio,
                row.serverMsPerS, after.problems, (long long)engine.gapCount(), stopped);
    std::fflush(stdout);
    return stopped == 0 && audio > 0;
}

int runCpu(int argc, char** argv) {
    if (argc != 10) {
        std::fprintf(stderr, "usage: mix_bench cpu BIN_DIR FIFO_A DESC_A FIFO_B DESC_B OUT_DIR "
                             "ROUNDS WINDOW_S\n");
        return 2;
    }
    Engine engine;
    if (!engine.load(argv[2]))
        return 1;
    const int a = engine.sourceNumber(argv[4]), b = engine.sourceNumber(argv[6]);
    if (a < 0 || b < 0 || engine.wavelark("", 5, 0, 0, 0, a) != 0) {
        std::fprintf(stderr, "sources: A %d, B %d\n", a, b);
        return 1;
    }
    const std::vector<int> feeders =
        startFeeders({{argv[3], 1.0, 440}, {argv[5], 1.0, 997}}, monotonicNs() + 100000000);
    const std::string out = std::string(argv[7]) + "/cpu-take.wav";
    const int rounds = std::atoi(argv[8]), window = std::atoi(argv[9]);
    std::vector<double> one, two, ratios;
    bool ok = true;
    for (int r = 0; r < rounds && ok; ++r) {
        std::printf("round %d\n", r + 1);
        CpuRow single{}, both{};
        // The order alternates, so that a trend over the run does not favour one kind.
        if (!engine.mix)
            ok = cpuTake(engine, -1, window, out, single) && cpuTake(engine, -1, window, out, both);
        else if (r % 2 == 0)
            ok = cpuTake(engine, -1, window, out, single) && cpuTake(engine, b, window, out, both);
        else
            ok = cpuTake(engine, b, window, out, both) && cpuTake(engine, -1, window, out, single);
        one.push_back(single.engineMsPerS);
        two.push_back(both.engineMsPerS);
        ratios.push_back(single.engineMsPerS > 0 ? both.engineMsPerS / single.engineMsPerS : 0);
    }
    for (const int pid : feeders)
        stopChild(pid);
    if (!engine.mix) {
        one.insert(one.end(), two.begin(), two.end());
        std::printf("median CPU per s of audio, one input, %zu takes: %.2f ms\n", one.size(),
                    medianOf(one));
        return ok ? 0 : 1;
    }
    std::printf("median CPU per s of audio: one input %.2f ms, two inputs %.2f ms; ratio of "
                "medians %.2f, median of the rounds' ratios %.2f\n",
                medianOf(one), medianOf(two), medianOf(one) > 0 ? medianOf(two) / medianOf(one) : 0,
                medianOf(ratios));
    return ok ? 0 : 1;
}

} // namespace tw::bench::mix

int main(int argc, char** argv) {
    using namespace tw::bench::mix;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string part = argc > 1 ? argv[1] : "";
    if (part == "feed")
        return runFeed(argc, argv);
    if (part == "drift")
        return runDrift(argc, argv);
    if (part == "analyze")
        return runAnalyze(argc, argv);
    if (part == "cpu")
        return runCpu(argc, argv);
    if (part == "program")
        return runProgram(argc, argv);
    std::fprintf(stderr, "usage: mix_bench feed|drift|analyze|cpu|program ...\n");
    return 2;
}
