#!/usr/bin/env bash
# Pre-record's cost while the program waits between takes, in one command:
#   ./bench/listen/run.sh [BUILD_DIR]        (default build-bench beside this tree)
# PART=all (default) runs everything at once, each part on servers of its own (they are
# separate sessions, so each part has its own running program):
#   PART=memory PRE=10  VmRSS/RssAnon once a minute for MINUTES (60) while listening
#   PART=memory PRE=0   the same with pre-record off, for PEER_MINUTES (10): the peer
#   PART=cpu            ROUNDS (3) of: listening, recording, pre-record off; WINDOW s (60) each
# OUT (default a new /tmp/tunewright-listen.*) keeps the samples; BUILD=0 skips the build.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
HERE="$ROOT/bench/listen"
BUILD_DIR="$(realpath -m "${1:-$ROOT/build-bench}")"
PART="${PART:-all}"
MINUTES="${MINUTES:-60}"
PEER_MINUTES="${PEER_MINUTES:-10}"
ROUNDS="${ROUNDS:-3}"
WINDOW="${WINDOW:-60}"
OUT="${OUT:-$(mktemp -d /tmp/tunewright-listen.XXXXXX)}"
mkdir -p "$OUT"

if [ "${BUILD:-1}" = 1 ]; then
  [ -f "$BUILD_DIR/build.ninja" ] ||
      cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD_DIR" --target tunewright Wavelark Volume
fi
BIN="$BUILD_DIR/bin"

case "$PART" in
  all)
    echo "samples in $OUT"
    export BUILD=0 OUT
    PART=memory PRE=10 "$0" "$BUILD_DIR" >"$OUT/memory-pre10.log" 2>&1 &
    on=$!
    PART=memory PRE=0 MINUTES="$PEER_MINUTES" "$0" "$BUILD_DIR" >"$OUT/memory-pre0.log" 2>&1 &
    off=$!
    PART=cpu "$0" "$BUILD_DIR"
    wait "$off" "$on"
    python3 "$HERE/listen.py" report "$OUT" | tee "$OUT/report.txt"
    ;;
  cpu | memory)
    source "$ROOT/scripts/servers.sh"
    tw_servers_start
    if [ "$PART" = cpu ]; then
      python3 "$HERE/listen.py" cpu "$BIN" "$OUT" "$ROUNDS" "$WINDOW"
    else
      python3 "$HERE/listen.py" memory "$BIN" "$OUT" "$MINUTES" "${PRE:-10}"
    fi
    ;;
  report) python3 "$HERE/listen.py" report "$OUT" ;;
  *) echo "PART must be all, cpu, memory or report" >&2; exit 2 ;;
esac
