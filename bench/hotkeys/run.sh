#!/usr/bin/env bash
# Hotkey press to the engine's record call, median of RUNS (default 20), in one command:
#   ./bench/hotkeys/run.sh [BUILD_DIR]        (default build-bench beside this tree)
# Portal: tests/portal/portal_env.sh brings up a private bus, the fake desktop backend and
# the real xdg-desktop-portal; the clock starts when the backend emits Activated.
# X11: on the private X server of scripts/servers.sh; the clock starts just before
# `xdotool key F9` is started, so xdotool's own start-up is part of the figure.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$(realpath -m "${1:-$ROOT/build-bench}")"
[ -f "$BUILD/build.ninja" ] ||
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target hotkey_latency
BENCH="$BUILD/bench/hotkey_latency"

source "$ROOT/scripts/servers.sh"
tw_servers_start
ENV_DIR="$TW_SERVERS_DIR/portal"
trap '"$ROOT/tests/portal/portal_env.sh" stop "$ENV_DIR" 2>/dev/null; tw_servers_stop' EXIT
"$ROOT/tests/portal/portal_env.sh" start "$ENV_DIR" >/dev/null

echo "== desktop portal: backend's Activated to Wavelark(record) =="
QT_QPA_PLATFORM=offscreen "$BENCH" portal "$ENV_DIR" 2>/dev/null
echo "== X11 key grab: xdotool key F9 to Wavelark(record) =="
QT_QPA_PLATFORM=xcb "$BENCH" x11 2>/dev/null
