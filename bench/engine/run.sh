#!/usr/bin/env bash
# The engine's bench in one command: builds the engine and its driver, starts the private
# X and PulseAudio servers, and measures. ./bench/engine/run.sh [--quick] skips the 120 s take;
# --slope measures only the CPU per second of audio against parecord (30 s and 120 s takes).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${TW_BENCH_BUILD:-$ROOT/build-engine}"
[ -f "$BUILD/build.ninja" ] || cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" --target Wavelark wavelark_take
source "$ROOT/scripts/servers.sh"
tw_servers_start
python3 "$ROOT/bench/engine/bench.py" "$BUILD" "$@"
