# Private servers for the tests: an X server and a sound server of their own, so that the
# tests never touch the user's desktop or sound. Source this file, then call tw_servers_start;
# tw_servers_stop runs on exit. The sound server is PulseAudio, or PipeWire with its PulseAudio
# front end when TW_SOUND_SERVER=pipewire: most desktops now run the latter, and the program
# speaks to both through libpulse. Both offer the same fixtures under the same names.
TW_SCRIPTS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

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

  # -noreset: a test that kills the program leaves the server with no client, and a server
  # resetting then refuses the next start for a moment.
  # Xvfb picks a free display itself: a number drawn at random could be another run's, whose
  # clients and key presses would then reach this run's windows.
  Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp 3>"$TW_SERVERS_DIR/display" \
    >"$TW_SERVERS_DIR/xvfb.log" 2>&1 &
  TW_XVFB_PID=$!
  local i
  for i in $(seq 1 100); do
    [ -s "$TW_SERVERS_DIR/display" ] && break
    sleep 0.1
  done
  export DISPLAY=":$(head -n 1 "$TW_SERVERS_DIR/display")"

  trap tw_servers_stop EXIT
  case "${TW_SOUND_SERVER:-pulseaudio}" in
    pulseaudio) tw_start_pulseaudio ;;
    pipewire) tw_start_pipewire || return 1 ;;
    *) echo "TW_SOUND_SERVER must be pulseaudio or pipewire" >&2; return 1 ;;
  esac
  # The sound server's processes, for a test that freezes it (and always resumes it).
  export TW_SOUND_SERVER_PIDS="${TW_SOUND_PIDS[*]}"

  for i in $(seq 1 100); do
    if [ -S "$TW_SERVERS_DIR/bus" ] && xdpyinfo >/dev/null 2>&1 && tw_sound_ready; then
      echo "Test servers up: DISPLAY=$DISPLAY, $(pactl info | sed -n 's/^Server Name: //p')" \
        "in $XDG_RUNTIME_DIR, bus $DBUS_SESSION_BUS_ADDRESS"
      return 0
    fi
    sleep 0.1
  done
  echo "The test servers did not start:" >&2
  tail -n 20 "$TW_SERVERS_DIR"/*.log >&2
  return 1
}

tw_start_pulseaudio() {
  # No PulseAudio of the tests registers on a bus: two of them would fight over its name.
  DBUS_SESSION_BUS_ADDRESS=disabled: pulseaudio --daemonize=no -n --exit-idle-time=-1 --disallow-exit --log-target=stderr \
    -L module-native-protocol-unix -L "module-null-sink sink_name=speakers" \
    -L "module-sine-source rate=44100 frequency=440" -L module-always-sink \
    -L "module-null-sink sink_name=micsink" -L "module-sine sink=micsink frequency=440" \
    >"$TW_SERVERS_DIR/pulse.log" 2>&1 &
  TW_SOUND_PIDS=($!)
}

# The fixtures live in scripts/pipewire (nodes, the tone's loopback, wireplumber switched to
# a machine without hardware or system bus). The daemons alone get that configuration and no
# session bus: with DISPLAY set, D-Bus would otherwise autolaunch a bus through X and leave it.
tw_start_pipewire() {
  local config="$TW_SERVERS_DIR/pipewire-config"
  mkdir -p "$config"
  cp -r "$TW_SCRIPTS_DIR/pipewire/." "$config/"
  # pipewire-pulse quits when a client creates this folder between its check and its mkdir.
  mkdir -m 700 "$XDG_RUNTIME_DIR/pulse"
  local daemon=(env XDG_CONFIG_HOME="$config" XDG_STATE_HOME="$TW_SERVERS_DIR/pipewire-state"
    DBUS_SESSION_BUS_ADDRESS=disabled:)
  "${daemon[@]}" pipewire >"$TW_SERVERS_DIR/pipewire.log" 2>&1 &
  TW_SOUND_PIDS=($!)
  local i
  for i in $(seq 1 50); do
    [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break
    sleep 0.1
  done
  "${daemon[@]}" wireplumber >"$TW_SERVERS_DIR/wireplumber.log" 2>&1 &
  TW_SOUND_PIDS+=($!)
  "${daemon[@]}" pipewire-pulse >"$TW_SERVERS_DIR/pipewire-pulse.log" 2>&1 &
  TW_SOUND_PIDS+=($!)
}

# The server answers, speakers is the default sink, and on PipeWire the tone reaches micsink.
tw_sound_ready() {
  pactl info >/dev/null 2>&1 || return 1
  pactl set-default-sink speakers >/dev/null 2>&1 || return 1
  [ "$(pactl get-default-sink 2>/dev/null)" = speakers ] || return 1
  [ "${TW_SOUND_SERVER:-pulseaudio}" = pipewire ] || return 0
  pw-link -l 2>/dev/null | grep -q '<- tunewright.tone.playback:' &&
    pw-link -l 2>/dev/null | grep -q '<- sine_input:'
}

tw_servers_stop() {
  local pid
  for pid in "${TW_SOUND_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  [ -n "${TW_XVFB_PID:-}" ] && kill "$TW_XVFB_PID" 2>/dev/null || true
  [ -n "${TW_DBUS_PID:-}" ] && kill "$TW_DBUS_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -n "${TW_SERVERS_DIR:-}" ] && rm -rf "$TW_SERVERS_DIR"
  TW_SOUND_PIDS=() TW_XVFB_PID= TW_DBUS_PID= TW_SERVERS_DIR=
}
