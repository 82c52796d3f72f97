#!/usr/bin/env bash
# A tone's start to the input meter's report, and to voice activation's Record, median of RUNS
# (default 20) each, in one command:
#   ./bench/meter/run.sh [BUILD_DIR]        (default build-bench beside this tree)
# The tone comes from a module-pipe-source this script loads on the private PulseAudio of
# scripts/servers.sh and unloads at the end; the bench feeds its FIFO.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$(realpath -m "${1:-$ROOT/build-bench}")"
[ -f "$BUILD/build.ninja" ] ||
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target meter_latency voice_latency Wavelark

source "$ROOT/scripts/servers.sh"
tw_servers_start
FIFO="$TW_SERVERS_DIR/meter.fifo"
DESCRIPTION=Tunewright-meter-bench
MODULE="$(pactl load-module module-pipe-source source_name=tunewright_meter_bench \
    file="$FIFO" format=s16le rate=44100 channels=1 \
    source_properties=device.description=$DESCRIPTION)"
trap 'pactl unload-module "$MODULE" 2>/dev/null || true; tw_servers_stop' EXIT

echo "== tone written to the pipe source -> first InputMeter::levelChanged above -20 dBFS =="
"$BUILD/bench/meter_latency" "$BUILD/bin" "$FIFO" "$DESCRIPTION"

echo "== tone written to the pipe source -> voice activation's Record; the onset's place in the take =="
"$BUILD/bench/voice_latency" "$BUILD/bin" "$FIFO" "$DESCRIPTION"
