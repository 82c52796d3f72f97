#!/usr/bin/env bash
# Start-up and idle bench in one command, about two minutes:
#   ./bench/startup/run.sh [BUILD_DIR]        (default build-bench beside this tree)
# Builds tunewright, the plain Qt peer and the launcher, starts the private X and PulseAudio
# servers, then
#  - start-up: launches each program RUNS times (default 10, after one unmeasured warm-up
#    run each, which fills the fresh font cache) and prints the median time from fork to the
#    map of its window, and to its first answer to _NET_WM_PING (the event loop running);
#  - start-up with the sound server stopped: the same launch, STOPPED_RUNS times (default 5),
#    with the private PulseAudio server held by SIGSTOP from before the fork until the first
#    answer to _NET_WM_PING (or STOPPED_TIMEOUT, default 60 s), then resumed by SIGCONT before
#    the window is closed. A hung sound server must not hang the window: the goal for
#    Tunewright's fork-to-responsive median is under 300 ms;
#  - idle: runs both programs side by side, lets them settle 2 s, and prints the CPU time
#    each used over IDLE_SECONDS (default 60), with its wake-ups. The goal for Tunewright
#    is 0.0 s: it must block, not poll.
# STOPPED_SERVER_ONLY=1 runs the warm-up and the stopped-server launches alone (about 30 s
# once built); SKIP_IDLE=1 leaves out the idle part, SKIP_STOPPED=1 the stopped-server part.
# TAKES=N (default 0) starts Tunewright with N earlier takes in its kept list (N short WAV
# files and the list in its own data folder), to compare a start with a long list to one
# with none.
# Tunewright runs from a copy of the application directory holding a full Config.ini, so
# the build folder is not changed and no first-run wizard appears.
set -euo pipefail
shopt -s inherit_errexit
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$(realpath -m "${1:-$ROOT/build-bench}")"
RUNS="${RUNS:-10}"
IDLE_SECONDS="${IDLE_SECONDS:-60}"
STOPPED_RUNS="${STOPPED_RUNS:-5}"
STOPPED_TIMEOUT="${STOPPED_TIMEOUT:-60}"
STOPPED_SERVER_ONLY="${STOPPED_SERVER_ONLY:-0}"
SKIP_IDLE="${SKIP_IDLE:-0}"
SKIP_STOPPED="${SKIP_STOPPED:-0}"
TAKES="${TAKES:-0}"
[ "$STOPPED_SERVER_ONLY" = 1 ] && SKIP_IDLE=1
SETTLE_SECONDS=2

[ -f "$BUILD/build.ninja" ] ||
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target tunewright startup_peer launch_to_map
LAUNCH="$BUILD/bench/launch_to_map"
PEER="$BUILD/bench/startup_peer"

source "$ROOT/scripts/servers.sh"
tw_servers_start
unset QT_QPA_PLATFORM
TW_PULSE_PID="${TW_SOUND_PIDS[0]}"

# The server's own process, not a wrapper: SIGSTOP must freeze the one that answers clients.
[ "$(cat "/proc/$TW_PULSE_PID/comm" 2>/dev/null)" = pulseaudio ] || {
    echo "PID $TW_PULSE_PID is not the private PulseAudio server" >&2
    exit 1
}

APPDIR="$(mktemp -d /tmp/tunewright-bench.XXXXXX)"
HELD=() PROGRAMS=()
cleanup() {
    local pid
    # First of all: a stopped server would keep the programs from closing, and
    # tw_servers_stop waits for the server, which a pending SIGTERM never ends while stopped.
    kill -CONT "$TW_PULSE_PID" 2>/dev/null || true
    # Each held launcher closes its program's window and waits for it to end.
    for pid in "${HELD[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    # A launcher killed from outside leaves its program behind.
    for pid in "${PROGRAMS[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$APPDIR"
    tw_servers_stop
}
trap cleanup EXIT
# Without these an interrupt could end the shell without the EXIT trap in some bash versions,
# leaving the server stopped.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

cp -r "$BUILD/bin/." "$APPDIR/"
cat >"$APPDIR/Config.ini" <<EOF
[Config]
Recording Source=1
Save Position=$APPDIR/Larktake.wav
Channels=2
BitsPerSample=16
SamplesPerSec=22050
Recording Volume=32768
EOF
TW="$APPDIR/tunewright"
# The kept list of takes is this bench's own, never the user's.
export XDG_DATA_HOME="$APPDIR/data"
mkdir -p "$XDG_DATA_HOME/tunewright"
python3 - "$APPDIR" "$TAKES" <<'PY'
import json, os, sys, wave
appdir, count = sys.argv[1], int(sys.argv[2])
folder = os.path.join(appdir, "takes")
os.makedirs(folder, exist_ok=True)
takes = []
for n in range(count):
    path = os.path.join(folder, f"take_{n}.wav")
    with wave.open(path, "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000)
        w.writeframes(b"\0\0" * 800)
    takes.append({"path": path, "seconds": 1 + n % 300, "kind": "wav"})
with open(os.path.join(appdir, "data", "tunewright", "takes.json"), "w") as f:
    json.dump({"takes": takes}, f, indent=4)
PY

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -sr), $TAKES earlier takes listed"

# Prints "mapped_ms responsive_ms" of one launch; the launcher closes the window after.
launch_once() {
    local out
    out="$("$LAUNCH" --name "$1" --timeout 30 -- "$2")"
    awk -F= '/^mapped_ns=/ { m = $2 } /^responsive_ns=/ { r = $2 }
             END { printf "%.1f %.1f\n", m / 1e6, (r < 0 ? -1 : r / 1e6) }' <<<"$out"
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# Prints the four series and their medians; sets MEDIAN_TW_READY.
report_startup() {
    local tm tr pm pr
    echo "  tunewright mapped:     ${tw_map[*]}"
    echo "  tunewright responsive: ${tw_ready[*]}"
    echo "  peer mapped:           ${peer_map[*]}"
    echo "  peer responsive:       ${peer_ready[*]}"
    # A launch with no figure (-1) ranks above every measured one: it took at least the
    # timeout, so the median stays honest when a few fail and shows "none" when most do.
    local missing='$1 < 0 { $1 = 1e15 } { print }'
    tm="$(printf '%s\n' "${tw_map[@]}" | awk "$missing" | median)"
    tr="$(printf '%s\n' "${tw_ready[@]}" | awk "$missing" | median)"
    pm="$(printf '%s\n' "${peer_map[@]}" | awk "$missing" | median)"
    pr="$(printf '%s\n' "${peer_ready[@]}" | awk "$missing" | median)"
    awk -v tm="$tm" -v tr="$tr" -v pm="$pm" -v pr="$pr" '
        function ms(v) { return v >= 1e14 ? "none" : sprintf("%.1f ms", v) }
        function ratio(a, b) { return a >= 1e14 || b >= 1e14 ? "none" : sprintf("%.2f", a / b) }
        BEGIN {
            printf "  median mapped:     tunewright %s, peer %s, ratio %s\n", ms(tm), ms(pm), ratio(tm, pm)
            printf "  median responsive: tunewright %s, peer %s, ratio %s\n", ms(tr), ms(pr), ratio(tr, pr)
        }'
    MEDIAN_TW_READY="$tr"
}

warm_tw="$(launch_once Tunewright "$TW")"
warm_peer="$(launch_once 'Startup peer' "$PEER")"
echo "warm-up, mapped and responsive ms (not counted): tunewright $warm_tw, peer $warm_peer"

if [ "$STOPPED_SERVER_ONLY" != 1 ]; then
    tw_map=() tw_ready=() peer_map=() peer_ready=()
    for ((run = 1; run <= RUNS; run++)); do
        # Alternating the two keeps a drift of the machine from favouring either.
        one="$(launch_once Tunewright "$TW")"
        read -r m r <<<"$one"
        tw_map+=("$m") tw_ready+=("$r")
        one="$(launch_once 'Startup peer' "$PEER")"
        read -r m r <<<"$one"
        peer_map+=("$m") peer_ready+=("$r")
    done

    echo
    echo "start-up, fork to window mapped / to first _NET_WM_PING answer, ms ($RUNS runs each):"
    report_startup
fi

# One launch with the sound server frozen from before the fork until the program has answered
# its first _NET_WM_PING; prints "mapped_ms responsive_ms" (-1 for no answer within
# STOPPED_TIMEOUT). The server is resumed before the window is closed, so the close does not
# count and does not hang; a program that then fails to end is killed by the launcher, and
# the launch is reported on stderr and counted in STOPPED_FAILURES.
launch_stopped() {
    local fifo="$APPDIR/stopped.fifo" launcher line m=-1 r=-1 status=0
    rm -f "$fifo"
    mkfifo "$fifo"
    kill -STOP "$TW_PULSE_PID"
    # The launcher times from its own fork, so its start and this shell do not count; the
    # shell then sleeps in a blocking read rather than polling beside the measurement.
    "$LAUNCH" --hold --name "$1" --timeout "$STOPPED_TIMEOUT" -- "$2" >"$fifo" &
    launcher=$!
    HELD+=("$launcher")
    exec 3<"$fifo"
    while read -r line <&3; do
        case "$line" in
        mapped_ns=*) m="${line#*=}" ;;
        responsive_ns=*) r="${line#*=}" ;;
        pid=*)
            PROGRAMS+=("${line#*=}")
            break
            ;;
        esac
    done
    kill -CONT "$TW_PULSE_PID"
    # A fresh client must be served again before the next launch or the close.
    timeout 10 pactl info >/dev/null 2>&1 || echo "the sound server did not answer after SIGCONT" >&2
    kill -USR1 "$launcher" 2>/dev/null || true
    # Read to the end: closing the pipe early would kill the launcher with SIGPIPE when it
    # reports the close, and leave its program running.
    cat <&3 >/dev/null
    exec 3<&-
    wait "$launcher" || status=$?
    local kept=() pid
    for pid in "${HELD[@]}"; do
        [ "$pid" = "$launcher" ] || kept+=("$pid")
    done
    HELD=("${kept[@]}")
    if [ "$status" != 0 ]; then
        echo "$1 with the server stopped: launcher status $status" >&2
        STOPPED_FAILURES=$((STOPPED_FAILURES + 1))
    fi
    if [ "$m" = -1 ]; then
        echo "-1 -1"
    else
        awk -v m="$m" -v r="$r" 'BEGIN { printf "%.1f %.1f\n", m / 1e6, (r < 0 ? -1 : r / 1e6) }'
    fi
}

STOPPED_FAILURES=0
[ "$SKIP_STOPPED" = 1 ] && STOPPED_RUNS=0
tw_map=() tw_ready=() peer_map=() peer_ready=()
for ((run = 1; run <= STOPPED_RUNS; run++)); do
    # Not in $(...): the failure count and the held launchers must stay in this shell.
    launch_stopped Tunewright "$TW" >"$APPDIR/stopped.out"
    read -r m r <"$APPDIR/stopped.out"
    tw_map+=("$m") tw_ready+=("$r")
    launch_stopped 'Startup peer' "$PEER" >"$APPDIR/stopped.out"
    read -r m r <"$APPDIR/stopped.out"
    peer_map+=("$m") peer_ready+=("$r")
done

if [ "$SKIP_STOPPED" != 1 ]; then
echo
echo "start-up with the sound server stopped (SIGSTOP before the fork, SIGCONT after the"
echo "first _NET_WM_PING answer), fork to mapped / to first answer, ms ($STOPPED_RUNS runs each;"
echo "-1: no window or no answer within $STOPPED_TIMEOUT s):"
report_startup
if awk -v r="$MEDIAN_TW_READY" 'BEGIN { exit !(r < 300) }'; then
    echo "stopped-server goal (tunewright responsive under 300 ms) met"
else
    echo "stopped-server goal (tunewright responsive under 300 ms) NOT met"
fi
[ "$STOPPED_FAILURES" = 0 ] ||
    echo "$STOPPED_FAILURES launches with the server stopped did not map, or did not end cleanly"
fi

if [ "$SKIP_IDLE" = 1 ]; then
    [ "$STOPPED_FAILURES" = 0 ]
    exit
fi

# Starts a program held open by the launcher; sets HELD_PID to the program's pid.
start_held() {
    local out="$APPDIR/held.$1.out" i
    "$LAUNCH" --hold --name "$2" --timeout 30 -- "$3" >"$out" &
    HELD+=("$!")
    for ((i = 0; i < 600; i++)); do
        HELD_PID="$(sed -n 's/^pid=//p' "$out")"
        [ -n "$HELD_PID" ] && return 0
        kill -0 "$!" 2>/dev/null || break
        sleep 0.05
    done
    echo "$2 did not start" >&2
    return 1
}

# One line "ticks T" with utime+stime of the whole process (clock ticks, threads that ended
# included), then "tid on_cpu_ns switches" for each live thread (schedstat; each context
# switch is a wake-up).
cpu_sample() {
    local t a b
    awk '{ sub(/^.*\) /, ""); split($0, f, " "); print "ticks", f[12] + f[13] }' "/proc/$1/stat"
    for t in /proc/"$1"/task/*; do
        read -r a _ <"$t/schedstat" || continue
        b="$(awk '/ctxt_switches/ { s += $2 } END { print s + 0 }' "$t/status")"
        echo "${t##*/} $a $b"
    done
}

start_held tw Tunewright "$TW"
TW_PID="$HELD_PID"
start_held peer 'Startup peer' "$PEER"
PEER_PID="$HELD_PID"
sleep "$SETTLE_SECONDS"
tw_before="$(cpu_sample "$TW_PID")"
peer_before="$(cpu_sample "$PEER_PID")"
sleep "$IDLE_SECONDS"
tw_after="$(cpu_sample "$TW_PID")"
peer_after="$(cpu_sample "$PEER_PID")"

echo
echo "idle over $IDLE_SECONDS s, after $SETTLE_SECONDS s to settle:"
# Per-thread figures are summed over threads alive at the end; a thread born in between
# counts from its birth, one that ended in between only in utime+stime.
report_idle() {
    awk -v name="$1" -v hz="$(getconf CLK_TCK)" '
        FNR == 1 { file++ }
        $1 == "ticks" { ticks[file] = $2; next }
        file == 1 { ns0[$1] = $2; sw0[$1] = $3; next }
        { ns += $2 - ns0[$1]; sw += $3 - sw0[$1]; alive++; seen[$1] = 1 }
        END {
            for (t in ns0) if (!(t in seen)) ended++
            printf "  %-10s CPU %.2f s (utime+stime), %.3f ms on CPU, %d wake-ups, %d threads",
                   name, (ticks[2] - ticks[1]) / hz, ns / 1e6, sw, alive
            if (ended) printf " (%d ended meanwhile)", ended
            printf "\n"
        }' <(echo "$2") <(echo "$3")
}
report_idle tunewright "$tw_before" "$tw_after"
report_idle peer "$peer_before" "$peer_after"

# Both programs must still close cleanly through their window.
for pid in "${HELD[@]}"; do
    kill -USR1 "$pid"
    wait "$pid"
done
HELD=()
if [ "$(head -n1 <<<"$tw_before")" = "$(head -n1 <<<"$tw_after")" ]; then
    echo "idle goal (0.0 s) met"
else
    echo "idle goal (0.0 s) NOT met"
fi
[ "$STOPPED_FAILURES" = 0 ]
