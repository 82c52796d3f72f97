# Private servers for the tests: an X server and a PulseAudio server of their own, so that
# the tests never touch the user's desktop or sound. Source this file, then call
# tw_servers_start; tw_servers_stop runs on exit.
tw_servers_start() {
  TW_SERVERS_DIR="$(mktemp -d /tmp/tunewright-test.XXXXXX)"
  export XDG_RUNTIME_DIR="$TW_SERVERS_DIR/runtime"
  export HOME="$TW_SERVERS_DIR/home"
  export XDG_CACHE_HOME="$HOME/.cache"
  mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
  chmod 700 "$XDG_RUNTIME_DIR"
  unset PULSE_SERVER

  # A session bus of the tests' own: no test reaches the user's bus, and each private
  # PulseAudio registers its names here rather than on an autolaunched bus.
  cat >"$TW_SERVERS_DIR/bus.conf" <<BUS
<busconfig>
  <type>session</type>
  <listen>unix:path=$TW_SERVERS_DIR/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
BUS
  dbus-daemon --config-file="$TW_SERVERS_DIR/bus.conf" --nofork --nopidfile \
    >"$TW_SERVERS_DIR/dbus.log" 2>&1 &
  TW_DBUS_PID=$!
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$TW_SERVERS_DIR/bus"

  local display=":$((90 + RANDOM % 400))"
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$TW_SERVERS_DIR/xvfb.log" 2>&1 &
  TW_XVFB_PID=$!
  export DISPLAY="$display"

  # No PulseAudio of the tests registers on a bus: two of them would fight over its name.
  DBUS_SESSION_BUS_ADDRESS=disabled: pulseaudio --daemonize=no -n --exit-idle-time=-1 --disallow-exit --log-target=stderr \
    -L module-native-protocol-unix -L "module-null-sink sink_name=speakers" \
    -L "module-sine-source rate=44100 frequency=440" -L module-always-sink \
    -L "module-null-sink sink_name=micsink" -L "module-sine sink=micsink frequency=440" \
    >"$TW_SERVERS_DIR/pulse.log" 2>&1 &
  TW_PULSE_PID=$!
  trap tw_servers_stop EXIT

  local i
  for i in $(seq 1 100); do
    if [ -S "$TW_SERVERS_DIR/bus" ] && xdpyinfo >/dev/null 2>&1 && pactl info >/dev/null 2>&1; then
      pactl set-default-sink speakers >/dev/null
      echo "Test servers up: DISPLAY=$DISPLAY, PulseAudio in $XDG_RUNTIME_DIR, bus $DBUS_SESSION_BUS_ADDRESS"
      return 0
    fi
    sleep 0.1
  done
  echo "The test servers did not start:" >&2
  cat "$TW_SERVERS_DIR/xvfb.log" "$TW_SERVERS_DIR/pulse.log" "$TW_SERVERS_DIR/dbus.log" >&2
  return 1
}

tw_servers_stop() {
  [ -n "${TW_PULSE_PID:-}" ] && kill "$TW_PULSE_PID" 2>/dev/null || true
  [ -n "${TW_XVFB_PID:-}" ] && kill "$TW_XVFB_PID" 2>/dev/null || true
  [ -n "${TW_DBUS_PID:-}" ] && kill "$TW_DBUS_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -n "${TW_SERVERS_DIR:-}" ] && rm -rf "$TW_SERVERS_DIR"
  TW_PULSE_PID= TW_XVFB_PID= TW_DBUS_PID= TW_SERVERS_DIR=
}
