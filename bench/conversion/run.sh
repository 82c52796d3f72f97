#!/usr/bin/env bash
# MP3 conversion bench in one command, about 15 s once built:
#   ./bench/conversion/run.sh [BUILD_DIR]        (default build-bench beside this tree)
# Builds the driver, makes a 60 s stereo 44100 Hz 16-bit WAV, then RUNS times (default 5,
# after one unmeasured warm-up of each) alternates
#  - Tunewright: conversion_bench converts it through Form1::Converting, the runner and the
#    lame launcher, and reports the wall time of Converting alone (not the driver's start)
#    and the processor time its own threads used meanwhile (lame's not included);
#  - lame alone: the same lame with the launcher's --nohist and the default switches
#    " -b 128 -m j", on the same file, timed from this shell, its output to /dev/null;
# and prints the medians and the ratio. The goal is a ratio of at most 1.03.
# No sound or X server is needed: the window runs offscreen with fakes.
set -euo pipefail
shopt -s inherit_errexit
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$(realpath -m "${1:-$ROOT/build-bench}")"
RUNS="${RUNS:-5}"
SECONDS_OF_AUDIO="${SECONDS_OF_AUDIO:-60}"
LAME_SWITCHES=(-b 128 -m j)

[ -f "$BUILD/build.ninja" ] ||
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target conversion_bench >/dev/null
DRIVER="$BUILD/bench/conversion_bench"
export TW_APPDIR="$BUILD/bin"
export QT_QPA_PLATFORM=offscreen
LAME="$(command -v lame)" || { echo "no lame on this system (apt-get install lame)" >&2; exit 1; }
[ -x "$TW_APPDIR/lame" ] || { echo "no launcher at $TW_APPDIR/lame" >&2; exit 1; }

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
WAV="$WORK/take.wav"
"$DRIVER" make-wav "$WAV" "$SECONDS_OF_AUDIO" 2>/dev/null

tunewright() { # prints the driver's line: seconds=... cpu_seconds=... chunks=... status_texts=...
    "$DRIVER" convert "$WAV" "$WORK/tunewright.mp3" 2>"$WORK/driver.err" | grep '^seconds='
}
field() { sed -n "s/.*\b$1=\([0-9.]*\).*/\1/p"; }
lame_alone() { # prints seconds
    local start end
    rm -f "$WORK/lame.mp3"
    start=$(date +%s%N)
    "$LAME" --nohist "${LAME_SWITCHES[@]}" "$WAV" "$WORK/lame.mp3" >/dev/null 2>&1
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.4f\n", ns / 1e9 }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

tunewright >/dev/null
lame_alone >/dev/null
: >"$WORK/tw.txt"
: >"$WORK/lame.txt"
: >"$WORK/cpu.txt"
for ((i = 1; i <= RUNS; i++)); do
    line=$(tunewright) || { cat "$WORK/driver.err" >&2; exit 1; }
    tw=$(field seconds <<<"$line")
    la=$(lame_alone)
    echo "$tw" >>"$WORK/tw.txt"
    field cpu_seconds <<<"$line" >>"$WORK/cpu.txt"
    echo "$la" >>"$WORK/lame.txt"
    printf 'run %d: tunewright %s s (%s), lame alone %s s\n' "$i" "$tw" "${line#* }" "$la"
done
cmp -s "$WORK/tunewright.mp3" "$WORK/lame.mp3" ||
    echo "note: the two MP3 files differ" >&2
tw_median=$(median <"$WORK/tw.txt")
lame_median=$(median <"$WORK/lame.txt")
printf 'median of %d runs, %s s stereo WAV: tunewright %.4f s, lame alone %.4f s, ratio %.3f\n' \
    "$RUNS" "$SECONDS_OF_AUDIO" "$tw_median" "$lame_median" \
    "$(awk -v a="$tw_median" -v b="$lame_median" 'BEGIN { print a / b }')"
printf "median processor time of Tunewright's own threads during the conversion: %.1f ms\n" \
    "$(median <"$WORK/cpu.txt" | awk '{ print $1 * 1000 }')"
