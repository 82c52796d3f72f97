#!/usr/bin/env bash
# A desktop portal that offers global shortcuts, on a D-Bus bus of its own, with no desktop:
# a private dbus-daemon (no service activation), fake_backend.py as the desktop's half, and
# the real frontend /usr/libexec/xdg-desktop-portal. Every part's pid and log stay in DIR.
#
#   portal_env.sh start DIR         start all three; prints one line, the bus address
#                                   (use it as DBUS_SESSION_BUS_ADDRESS for the program)
#   portal_env.sh frontend DIR [with-backend|empty|none]
#                                   replace the frontend by a new one (a portal restart);
#                                   "empty": one that finds no backend, so it has no global
#                                   shortcuts; "none": stop it and start none
#   portal_env.sh activate DIR ID [SESSION]
#                                   the user pressed shortcut ID (record, pause, stop) of the
#                                   newest session, or of SESSION; prints the emit time
#   portal_env.sh state DIR         the backend's sessions and bound shortcuts, as JSON
#   portal_env.sh stop DIR          stop all three and remove DIR
#
# Any part that does not come up within 10 s makes the command fail with its log on stderr.
# Example, the program against it:
#   addr=$(tests/portal/portal_env.sh start /tmp/pt) &&
#     DBUS_SESSION_BUS_ADDRESS=$addr build/tunewright & sleep 2;
#     tests/portal/portal_env.sh activate /tmp/pt record; tests/portal/portal_env.sh stop /tmp/pt
set -u -o pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$HERE/../support/private_bus.sh"
BACKEND_NAME=org.freedesktop.impl.portal.desktop.tunewrighttest
FRONTEND_NAME=org.freedesktop.portal.Desktop

die() {
  echo "portal_env: $1" >&2
  [ -n "${2:-}" ] && [ -f "$2" ] && cat "$2" >&2
  exit 1
}

bus_call() { # method args... on the bus daemon
  dbus-send --bus="$(cat "$DIR/address")" --print-reply=literal --dest=org.freedesktop.DBus \
    /org/freedesktop/DBus "org.freedesktop.DBus.$1" "${@:2}" 2>/dev/null
}

owner_of() { bus_call GetNameOwner "string:$1" | tr -d ' '; }

wait_for() { # name, owner that does not count, log
  local i
  for i in $(seq 1 100); do
    local now
    now="$(owner_of "$1")"
    [ -n "$now" ] && [ "$now" != "$2" ] && return 0
    sleep 0.1
  done
  die "$1 did not appear on the bus" "$3"
}


start_bus() {
  mkdir -p "$DIR/portals" "$DIR/empty" "$DIR/runtime"
  chmod 700 "$DIR/runtime"
  start_private_bus
}

start_backend() {
  DBUS_SESSION_BUS_ADDRESS="$(cat "$DIR/address")" /usr/bin/python3 "$HERE/fake_backend.py" \
    </dev/null >"$DIR/backend.log" 2>&1 &
  echo $! >"$DIR/backend.pid"
  wait_for "$BACKEND_NAME" "" "$DIR/backend.log"
}

start_frontend() { # with-backend | empty | none
  local old
  old="$(owner_of "$FRONTEND_NAME")"
  if [ "$1" = none ]; then
    stop_pid "$DIR/frontend.pid"
    return 0
  fi
  local dir="$DIR/portals"
  [ "$1" = empty ] && dir="$DIR/empty"
  printf '[portal]\nDBusName=%s\nInterfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=test\n' \
    "$BACKEND_NAME" >"$DIR/portals/tunewrighttest.portal"
  local previous=""
  [ -f "$DIR/frontend.pid" ] && previous="$(cat "$DIR/frontend.pid")"
  DBUS_SESSION_BUS_ADDRESS="$(cat "$DIR/address")" XDG_RUNTIME_DIR="$DIR/runtime" \
    XDG_DESKTOP_PORTAL_DIR="$dir" XDG_CURRENT_DESKTOP=test \
    /usr/libexec/xdg-desktop-portal --replace </dev/null >>"$DIR/frontend.log" 2>&1 &
  echo $! >"$DIR/frontend.pid"
  wait_for "$FRONTEND_NAME" "$old" "$DIR/frontend.log"
  # The one replaced leaves on its own; make sure it has before anyone counts on its absence.
  [ -n "$previous" ] && echo "$previous" >"$DIR/previous.pid" && stop_pid "$DIR/previous.pid"
  return 0
}

control() { # method, args...
  dbus-send --bus="$(cat "$DIR/address")" --print-reply=literal --dest="$BACKEND_NAME" \
    /control "io.github.tunewright.FakePortal.$1" "${@:2}"
}

[ $# -ge 2 ] || die "usage: portal_env.sh start|frontend|activate|state|stop DIR ..."
CMD="$1"
DIR="$2"
[ "$CMD" = start ] || [ -f "$DIR/address" ] || die "no portal environment in $DIR"
case "$CMD" in
start)
  mkdir -p "$DIR" || die "cannot create $DIR"
  start_bus
  start_backend
  start_frontend with-backend
  cat "$DIR/address"
  ;;
frontend) start_frontend "${3:-with-backend}" ;;
activate) control Activate "string:${4:-}" "string:$3" | awk '{print $2}' ;;
state) control State ;;
stop)
  stop_pid "$DIR/frontend.pid"
  stop_pid "$DIR/backend.pid"
  stop_pid "$DIR/bus.pid"
  rm -rf "$DIR"
  ;;
*) die "unknown command $CMD" ;;
esac
