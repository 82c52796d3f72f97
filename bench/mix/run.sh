#!/usr/bin/env bash
# Two inputs in one take, and one program's sound, through the real engine, in one command:
#   ./bench/mix/run.sh [BUILD_DIR]          (default build-bench3 beside this tree)
# PART=all (default) runs the drift take on servers of its own in the background and the CPU
# rounds and the one-program latency meanwhile on another set, then prints the drift's figures:
#   PART=drift    one take of MINUTES (60), input B fed at RATIO (1.0002) of real time
#   PART=cpu      ROUNDS (3) of a one-input and a two-input take, WINDOW s (60) measured each
#                 (MIX_BASELINE=1: two one-input takes a round, for an engine without a second input)
#   PART=program  RUNS (10) new streams of a player followed by name (TONE_MS 1000, LEAD_MS 0)
#   PART=analyze  the drift take in OUT again
# OUT (default a new /tmp/tunewright-mix.*) keeps the takes and logs; BUILD=0 skips the build;
# ENGINE_BIN (default BUILD_DIR/bin) is where libWavelark.so is loaded from, e.g. a build of
# one commit's `git archive` while the engine is being changed in this tree.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD_DIR="$(realpath -m "${1:-$ROOT/build-bench3}")"
PART="${PART:-all}"
MINUTES="${MINUTES:-60}"
RATIO="${RATIO:-1.0002}"
ROUNDS="${ROUNDS:-3}"
WINDOW="${WINDOW:-60}"
RUNS="${RUNS:-10}"
OUT="${OUT:-$(mktemp -d /tmp/tunewright-mix.XXXXXX)}"
mkdir -p "$OUT"
BENCH="$BUILD_DIR/bench"
ENGINE_BIN="$(realpath -m "${ENGINE_BIN:-$BUILD_DIR/bin}")"

if [ "${BUILD:-1}" = 1 ]; then
  [ -f "$BUILD_DIR/build.ninja" ] ||
      cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target mix_bench mix_player Wavelark
fi

# Two 48 kHz mono pipe sources, A and B, on the private server; the bench feeds their FIFOs.
load_sources() {
  MODULES=()
  local name
  for name in A B; do
    MODULES+=("$(pactl load-module module-pipe-source source_name=tunewright_mix_$name \
        file="$TW_SERVERS_DIR/mix-$name.fifo" format=s16le rate=48000 channels=1 \
        source_properties=device.description=Tunewright-mix-$name)")
  done
  FIFOS=("$TW_SERVERS_DIR/mix-A.fifo" Tunewright-mix-A "$TW_SERVERS_DIR/mix-B.fifo" Tunewright-mix-B)
}

case "$PART" in
  all)
    echo "takes and logs in $OUT"
    export BUILD=0 OUT
    PART=drift "$0" "$BUILD_DIR" >"$OUT/drift.log" 2>&1 &
    drift=$!
    PART=cpu "$0" "$BUILD_DIR" | tee "$OUT/cpu.log"
    PART=program "$0" "$BUILD_DIR" | tee "$OUT/program.log"
    wait "$drift" || echo "the drift take failed (see $OUT/drift.log)"
    cat "$OUT/drift.log"
    ;;
  drift | cpu | program)
    source "$ROOT/scripts/servers.sh"
    tw_servers_start
    load_sources
    echo "commit $(git -C "$ROOT" rev-parse --short HEAD), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "engine: $ENGINE_BIN/libWavelark.so, built $(date -u -r "$ENGINE_BIN/libWavelark.so" '+%F %T UTC')"
    git -C "$ROOT" status --short -- engine | sed 's/^/engine file changed in this tree: /'
    case "$PART" in
      drift) "$BENCH/mix_bench" drift "$ENGINE_BIN" "${FIFOS[@]}" "$OUT" "$MINUTES" "$RATIO" ;;
      cpu) "$BENCH/mix_bench" cpu "$ENGINE_BIN" "${FIFOS[@]}" "$OUT" "$ROUNDS" "$WINDOW" ;;
      program) "$BENCH/mix_bench" program "$ENGINE_BIN" "$BENCH/mix_player" "$OUT" "$RUNS" \
          tunewright-mix-player "${TONE_MS:-1000}" "${LEAD_MS:-0}" ;;
    esac
    ;;
  analyze) "$BENCH/mix_bench" analyze "$OUT" ;;
  *) echo "PART must be all, drift, cpu, program or analyze" >&2; exit 2 ;;
esac
