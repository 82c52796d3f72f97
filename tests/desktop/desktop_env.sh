#!/usr/bin/env bash
# A desktop's D-Bus services with no desktop: a private dbus-daemon (no service activation)
# with fake_desktop.py on it, and with "x" an X server of its own. Pids and logs stay in DIR.
#
#   desktop_env.sh start DIR [x]   start them; DIR/address holds the bus address, and with x
#                                  DIR/display the X display (":N")
#   desktop_env.sh stop DIR        stop them and remove DIR
#   desktop_env.sh run x|- PROGRAM [ARG...]
#                                  PROGRAM on them (with TW_DESKTOP set), in a folder of its
#                                  own; they stop when it ends, however it ends
#
# Any part that does not come up within 10 s makes the command fail with its log on stderr.
set -u -o pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$HERE/../support/private_bus.sh"

die() {
  echo "desktop_env: $1" >&2
  [ -n "${2:-}" ] && [ -f "$2" ] && cat "$2" >&2
  exit 1
}


start_bus() { start_private_bus; }

start_fake() {
  DBUS_SESSION_BUS_ADDRESS="$(cat "$DIR/address")" /usr/bin/python3 "$HERE/fake_desktop.py" \
    </dev/null >"$DIR/fake.log" 2>&1 &
  echo $! >"$DIR/fake.pid"
  local i
  for i in $(seq 1 100); do
    dbus-send --bus="$(cat "$DIR/address")" --print-reply --dest=io.github.tunewright.FakeDesktop \
      /control io.github.tunewright.FakeDesktop.Items >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  die "fake_desktop.py did not come up" "$DIR/fake.log"
}

start_x() {
  command -v Xvfb >/dev/null || die "Xvfb is not installed (apt install xvfb)"
  # Xvfb picks a free display itself and writes its number once it accepts clients.
  Xvfb -displayfd 3 -noreset -screen 0 640x480x24 -nolisten tcp 3>"$DIR/display.n" \
    </dev/null >"$DIR/x.log" 2>&1 &
  echo $! >"$DIR/x.pid"
  local i
  for i in $(seq 1 100); do
    if [ -s "$DIR/display.n" ]; then
      echo ":$(head -n 1 "$DIR/display.n")" >"$DIR/display"
      return 0
    fi
    sleep 0.1
  done
  die "Xvfb did not start" "$DIR/x.log"
}

[ $# -ge 2 ] || die "usage: desktop_env.sh start|stop DIR [x] | run x|- PROGRAM [ARG...]"
if [ "$1" = run ]; then
  WITH="$2"
  shift 2
  DIR="$(mktemp -d /tmp/tw-desktop-XXXXXX)" || die "cannot create a folder in /tmp"
  if ! "$0" start "$DIR" "$WITH"; then
    "$0" stop "$DIR"
    exit 1
  fi
  # The trash and the runtime files stay in DIR too.
  export TW_DESKTOP="$DIR" XDG_DATA_HOME="$DIR/data"
  DBUS_SESSION_BUS_ADDRESS="$(cat "$DIR/address")" && export DBUS_SESSION_BUS_ADDRESS
  if [ "$WITH" = x ]; then
    DISPLAY="$(cat "$DIR/display")" && export DISPLAY QT_QPA_PLATFORM=xcb
  fi
  "$@"
  RC=$?
  "$0" stop "$DIR"
  exit $RC
fi
DIR="$2"
case "$1" in
start)
  mkdir -p "$DIR/data" || die "cannot create $DIR"
  start_bus
  start_fake
  [ "${3:-}" = x ] && start_x
  exit 0
  ;;
stop)
  stop_pid "$DIR/fake.pid"
  stop_pid "$DIR/x.pid"
  stop_pid "$DIR/bus.pid"
  rm -rf "$DIR"
  ;;
*) die "unknown command $1" ;;
esac
