// A recording program for the tests that need one they can kill, freeze or limit:
//
//   engine_take_helper SOURCE CHANNELS RATE BITS OUT.wav [FILE_SIZE_LIMIT]
//
// prints "recording" once the take runs. A line "status" prints the take's status; any other
// line stops the take, which prints the result, the take's wall time, the gap counters and
// where the capture was left, if anywhere.
#include "engine/exports.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <sys/resource.h>

int main(int argc, char** argv) {
    if (argc != 6 && argc != 7)
        return 2;
    if (argc == 7) {
        // The limit a full disk or a quota would set, for this process only.
        const rlim_t limit = std::strtoull(argv[6], nullptr, 10);
        const rlimit fsize{limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &fsize) != 0)
            return 5;
    }
    const int source = std::atoi(argv[1]);
    if (Wavelark("", 5, 0, 0, 0, source) != 0)
        return 3;
    if (Wavelark("", 1, std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), 0) != 0)
        return 4;
    const auto begin = std::chrono::steady_clock::now();
    std::printf("recording\n");
    std::fflush(stdout);
    WavelarkStatusInfo status{};
    for (std::string line; std::getline(std::cin, line) && line == "status";) {
        WavelarkStatus(&status);
        std::printf("take=%d problems=%d frames=%lld\n", status.take, status.problems,
                    static_cast<long long>(status.frames));
        std::fflush(stdout);
    }
    const auto end = std::chrono::steady_clock::now();
    const int result = Wavelark(argv[5], 0, 0, 0, 0, 0);
    WavelarkStatus(&status);
    std::printf("result=%d\ntake_seconds=%.3f\ngap_count=%lld\ngap_frames=%lld\ncapture=%s\n",
                result, std::chrono::duration<double>(end - begin).count(),
                static_cast<long long>(WavelarkGapCount()),
                static_cast<long long>(WavelarkGapFrames()), status.capture);
    return 0;
}
