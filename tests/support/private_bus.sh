# Shared by the scripts that start a private D-Bus bus for a test: stopping a process by
# its pid file, and a session bus of the test's own in DIR (its address in DIR/address).
# The sourcing script defines die MESSAGE [LOG].

stop_pid() {
  [ -f "$1" ] || return 0
  local pid
  pid="$(cat "$1")"
  rm -f "$1"
  kill "$pid" 2>/dev/null || return 0
  local i
  for i in $(seq 1 50); do
    # A zombie has gone too; its parent (not us) may be slow to reap it.
    case "$(ps -o stat= -p "$pid" 2>/dev/null)" in "" | Z*) return 0 ;; esac
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
}

start_private_bus() {
  command -v dbus-daemon >/dev/null || die "dbus-daemon is not installed (apt install dbus-daemon)"
  cat >"$DIR/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$DIR/bus</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  local out
  out="$(dbus-daemon --config-file="$DIR/bus.conf" --fork --print-address=1 --print-pid=1 \
    2>"$DIR/bus.log")" || die "dbus-daemon did not start" "$DIR/bus.log"
  sed -n 1p <<<"$out" >"$DIR/address"
  sed -n 2p <<<"$out" >"$DIR/bus.pid"
}
