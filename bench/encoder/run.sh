#!/usr/bin/env bash
# The take encoder's bench in one command, about 4.5 minutes once built:
#   ./bench/encoder/run.sh [BUILD_DIR]        (default build-bench beside this tree)
# Builds encoder_bench, then measures, RUNS times each (default 3), medians and spreads:
#  - Stop to a complete file for a 60 s and a 10-minute take in each codec, the encoder
#    following a capture written SPEED times faster than real time (default 50);
#  - processor time per second of audio, in-process against flac, opusenc, oggenc and lame
#    on the same CPU_SECONDS long WAV (default 60);
#  - a STARVED_SECONDS take (default 20) through libWavelark.so on the private PulseAudio of
#    scripts/servers.sh, followed by the encoder (STARVED_CODEC, default opus) while a busy
#    loop runs on every core. SKIP_STARVED=1 leaves it out (no sound server needed then).
# Prints Markdown tables; every key=value line the bench printed is kept in
# BUILD_DIR/bench/encoder-bench.txt.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$(realpath -m "${1:-$ROOT/build-bench}")"
RUNS="${RUNS:-3}"
SPEED="${SPEED:-50}"
CPU_SECONDS="${CPU_SECONDS:-60}"
STARVED_SECONDS="${STARVED_SECONDS:-20}"
STARVED_CODEC="${STARVED_CODEC:-opus}"
CODECS=(flac opus vorbis mp3)

[ -f "$BUILD/build.ninja" ] ||
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target encoder_bench >/dev/null
BENCH="$BUILD/bench/encoder_bench"
for tool in flac opusenc oggenc lame; do
    command -v "$tool" >/dev/null || { echo "no $tool on this system" >&2; exit 1; }
done

# On the disk the engine's captures go to: the capture's writes bypass the page cache there,
# and the encoder reads them back as it does behind a real take.
CACHE="${XDG_CACHE_HOME:-$HOME/.cache}"
mkdir -p "$CACHE"
WORK="$(mktemp -d "$CACHE/tunewright-encoder-bench.XXXXXX")"
cleanup() { rm -rf "$WORK"; }
trap cleanup EXIT
RESULTS="$BUILD/bench/encoder-bench.txt"
: >"$RESULTS"

echo "follow: 60 s takes at ${SPEED}x ..." >&2
"$BENCH" follow "$WORK" 60 "$SPEED" "$RUNS" "${CODECS[@]}" >>"$RESULTS"
echo "follow: 10-minute takes at ${SPEED}x ..." >&2
"$BENCH" follow "$WORK" 600 "$SPEED" "$RUNS" "${CODECS[@]}" >>"$RESULTS"
echo "cpu: ${CPU_SECONDS} s WAV, in-process against the command-line encoders ..." >&2
"$BENCH" cpu "$WORK" "$CPU_SECONDS" "$RUNS" "${CODECS[@]}" >>"$RESULTS"
if [ "${SKIP_STARVED:-0}" != 1 ]; then
    echo "starved: ${STARVED_SECONDS} s takes through the engine, every core busy ..." >&2
    source "$ROOT/scripts/servers.sh"
    TW_SOUND_SERVER=pulseaudio tw_servers_start >&2
    trap 'tw_servers_stop; cleanup' EXIT
    "$BENCH" starved "$WORK" "$STARVED_SECONDS" "$RUNS" "$STARVED_CODEC" >>"$RESULTS"
fi

get() { sed -n "s/^$1=//p" "$RESULTS"; }
# "median (min–max)" of a figure, scaled and printed with a format.
spread() { # KEY SCALE FORMAT
    awk -v m="$(get "$1_median")" -v lo="$(get "$1_min")" -v hi="$(get "$1_max")" \
        -v k="$2" -v f="$3" 'BEGIN { printf f " (" f "–" f ")", m * k, lo * k, hi * k }'
}
runs() { get "$1_runs" | awk -F, '{ for (i = 1; i <= NF; i++) printf "%s%g", (i > 1 ? ", " : ""), $i }'; }
kib() { awk -v b="$(get "$1_median")" 'BEGIN { printf "%.0f KiB", b / 1024 }'; }

echo
echo "Stop → encoded file complete (writer at ${SPEED}x real time, its last second in real" \
    "time; median of $RUNS, min–max)"
echo
echo "| codec | take | Stop → Ended | lag at Stop | most lag while following | file |"
echo "|---|---|---|---|---|---|"
for c in "${CODECS[@]}"; do
    for s in 60 600; do
        k="follow_${c}_${s}s"
        printf '| %s | %s | %s ms | %s ms | %s ms | %s |\n' "$c" \
            "$([ "$s" = 60 ] && echo "60 s" || echo "10 min")" "$(spread "${k}_stop_ms" 1 %.1f)" \
            "$(spread "${k}_lag_at_stop_ms" 1 %.0f)" "$(spread "${k}_max_lag_ms" 1 %.0f)" \
            "$(kib "${k}_bytes")"
    done
done

echo
echo "Processor time per second of audio, ${CPU_SECONDS} s stereo 44100 Hz WAV (median of" \
    "$RUNS, min–max)"
echo
echo "| codec | in-process | its encoder thread | command line | ratio | size in / CLI |"
echo "|---|---|---|---|---|---|"
for c in "${CODECS[@]}"; do
    k="cpu_${c}"
    printf '| %s | %s ms | %s ms | %s ms | %s | %s / %s |\n' "$c" \
        "$(spread "${k}_in_per_s" 1000 %.2f)" "$(spread "${k}_thread_per_s" 1000 %.2f)" \
        "$(spread "${k}_cli_per_s" 1000 %.2f)" "$(spread "${k}_ratio" 1 %.3f)" \
        "$(kib "${k}_in_bytes")" "$(kib "${k}_cli_bytes")"
done
echo
for c in "${CODECS[@]}"; do
    echo "- $c command line: \`$(get "cpu_${c}_command" | sed "s|$WORK/||g")\`"
done

if [ "${SKIP_STARVED:-0}" != 1 ]; then
    k="starved_${STARVED_CODEC}"
    echo
    echo "A ${STARVED_SECONDS} s take through the engine with $(get starved_burners) busy loops," \
        "followed by the $STARVED_CODEC encoder (each run; median, min–max)"
    echo
    echo "| gap frames | problems | lag at Stop: file / engine count | most lag: file / engine" \
        "count | engine stop | Stop → Ended | take |"
    echo "|---|---|---|---|---|---|---|"
    printf '| %s | %s | %s / %s ms | %s / %s ms | %s ms | %s ms | %s s |\n' \
        "$(runs "${k}_gap_frames")" "$(runs "${k}_problems")" \
        "$(spread "${k}_file_lag_at_stop_ms" 1 %.0f)" "$(spread "${k}_lag_at_stop_ms" 1 %.0f)" \
        "$(spread "${k}_max_file_lag_ms" 1 %.0f)" "$(spread "${k}_max_lag_ms" 1 %.0f)" \
        "$(spread "${k}_engine_stop_ms" 1 %.1f)" "$(spread "${k}_stop_ms" 1 %.1f)" \
        "$(spread "${k}_take_s" 1 %.2f)"
fi
echo
echo "All figures: $RESULTS" >&2
