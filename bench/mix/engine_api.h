// libWavelark.so loaded by file name, as the program loads it, with the exports the mix bench
// calls; and what the bench's parts share.
#pragma once

#include "engine/exports.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tw::bench::mix {

struct Engine {
    decltype(&::Wavelark) wavelark = nullptr;
    decltype(&::WavelarkGapCount) gapCount = nullptr;
    decltype(&::WavelarkGapFrames) gapFrames = nullptr;
    decltype(&::WavelarkStatus) status = nullptr;
    decltype(&::WavelarkSourceDescription) sourceDescription = nullptr;
    decltype(&::WavelarkSelectApplication) selectApplication = nullptr;
    decltype(&::WavelarkApplications) applications = nullptr;
    decltype(&::WavelarkMix) mix = nullptr;
    decltype(&::WavelarkInputLevel) inputLevel = nullptr;

    // Null members, and the reason on stderr, when the library or an export is missing.
    bool load(const std::string& binDir);
    // The engine's number of the source with this description (its own numbering), or -1.
    int sourceNumber(const std::string& description) const;
    WavelarkStatusInfo now() const;
    // The peak of input 0 or 1 over its last ~100 ms, or -1 when the engine has no such input.
    float peak(int input) const;
};

// Starts `argv` (argv[0] a path) with stdout and stderr inherited; the child's pid or -1.
int spawn(const std::vector<std::string>& argv);
// SIGTERM, then waits; the exit status.
int stopChild(int pid);

// The feeders' shared time line: a feeder process per FIFO, started with the same t0.
struct FeederSpec {
    std::string fifo;
    double ratio;
    double toneHz;
    std::string stallLog = {}; // where its stalls go, "seconds-after-t0 ms-late" a line
};
std::vector<int> startFeeders(const std::vector<FeederSpec>& feeders, int64_t t0Ns);

double medianOf(std::vector<double> v);

// The parts, each a subcommand of mix_bench.
int runFeed(int argc, char** argv);
int runDrift(int argc, char** argv);
int runAnalyze(int argc, char** argv);
int runCpu(int argc, char** argv);
int runProgram(int argc, char** argv);

} // namespace tw::bench::mix
