// Records one take through libWavelark.so the way the program does (loaded by file name,
// called through its C export) and prints what the bench compares, one key=value a line.
//
//   wavelark_take LIBDIR OUT.wav SECONDS [SOURCE CHANNELS RATE BITS]
//
// SOURCE is the engine's zero-based source number, -1 for the server's default source.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <fstream>
#include <string>
#include <thread>

// Peak resident memory of this process image in KiB. Not getrusage: its maximum carries over
// the memory of whatever forked this process before the exec.
long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// Each thread's time on the CPU and its count of times scheduled, from the kernel's schedstat:
// where the take's CPU goes, one "task=" line a thread.
void printThreads() {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string dir = std::string("/proc/self/task/") + entry->d_name;
        std::string name;
        std::getline(std::ifstream(dir + "/comm"), name);
        unsigned long long runNs = 0, waitNs = 0, slices = 0;
        std::ifstream(dir + "/schedstat") >> runNs >> waitNs >> slices;
        std::printf("task=%s:%s %.3f ms %llu\n", entry->d_name, name.c_str(), runNs / 1e6, slices);
    }
    closedir(tasks);
}

using WavelarkFn = int32_t (*)(const char*, int32_t, int32_t, int32_t, int32_t, int32_t);
using CounterFn = int64_t (*)();

int main(int argc, char** argv) {
    if (argc != 4 && argc != 8) {
        std::fprintf(stderr, "usage: %s LIBDIR OUT.wav SECONDS [SOURCE CHANNELS RATE BITS]\n",
                     argv[0]);
        return 2;
    }
    const std::string library = std::string(argv[1]) + "/libWavelark.so";
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    auto wavelark = reinterpret_cast<WavelarkFn>(dlsym(handle, "Wavelark"));
    auto gapCount = reinterpret_cast<CounterFn>(dlsym(handle, "WavelarkGapCount"));
    auto gapFrames = reinterpret_cast<CounterFn>(dlsym(handle, "WavelarkGapFrames"));
    if (!wavelark || !gapCount || !gapFrames) {
        std::fprintf(stderr, "missing export in %s\n", library.c_str());
        return 1;
    }
    const double seconds = std::atof(argv[3]);
    const int source = argc == 8 ? std::atoi(argv[4]) : -1;
    const int channels = argc == 8 ? std::atoi(argv[5]) : 2;
    const int rate = argc == 8 ? std::atoi(argv[6]) : 44100;
    const int bits = argc == 8 ? std::atoi(argv[7]) : 16;

    using Clock = std::chrono::steady_clock;
    if (source >= 0 && wavelark("", 5, 0, 0, 0, source) != 0) {
        std::fprintf(stderr, "cannot select source %d\n", source);
        return 1;
    }
    const int32_t started = wavelark("", 1, channels, rate, bits, 0);
    if (started != 0) {
        std::fprintf(stderr, "record failed: %d\n", started);
        return 1;
    }
    const auto begin = Clock::now();
    std::this_thread::sleep_until(begin + std::chrono::duration<double>(seconds));
    printThreads();
    const auto stopCalled = Clock::now();
    const int32_t stopped = wavelark(argv[2], 0, 0, 0, 0, 0);
    const auto stopReturned = Clock::now();

    using Seconds = std::chrono::duration<double>;
    std::printf("stop_result=%d\n", stopped);
    std::printf("take_seconds=%.4f\n", Seconds(stopCalled - begin).count());
    std::printf("stop_ms=%.3f\n", Seconds(stopReturned - stopCalled).count() * 1000);
    std::printf("gap_count=%lld\n", static_cast<long long>(gapCount()));
    std::printf("gap_frames=%lld\n", static_cast<long long>(gapFrames()));
    std::printf("peak_rss_kib=%ld\n", peakResidentKiB());
    return stopped == 0 ? 0 : 1;
}
