// A recording program for the tests that need one they can kill or freeze:
//
//   engine_take_helper SOURCE CHANNELS RATE BITS OUT.wav
//
// prints "recording" once the take runs, stops when a line arrives on standard input, then
// prints the result, the take's wall time and the gap counters.
#include "engine/exports.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 6)
        return 2;
    const int source = std::atoi(argv[1]);
    if (Wavelark("", 5, 0, 0, 0, source) != 0)
        return 3;
    if (Wavelark("", 1, std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), 0) != 0)
        return 4;
    const auto begin = std::chrono::steady_clock::now();
    std::printf("recording\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    const auto end = std::chrono::steady_clock::now();
    const int result = Wavelark(argv[5], 0, 0, 0, 0, 0);
    std::printf("result=%d\ntake_seconds=%.3f\ngap_count=%lld\ngap_frames=%lld\n", result,
                std::chrono::duration<double>(end - begin).count(),
                static_cast<long long>(WavelarkGapCount()),
                static_cast<long long>(WavelarkGapFrames()));
    return 0;
}
