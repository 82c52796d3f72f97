# Shared by scripts/run and scripts/test: packages, configure, build.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

TW_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools
  libpulse-dev libsndfile1-dev libopusenc-dev libxcb1-dev libx11-dev libx11-xcb-dev libxtst-dev libgl-dev
  fonts-liberation lame libglib2.0-dev
  xdg-utils) # xdg-open and xdg-mime, which Help, the location window, Mail and playing need
TW_TEST_PACKAGES=(pulseaudio pulseaudio-utils xvfb xauth xdotool x11-utils sox desktop-file-utils
  imagemagick python3 dbus-daemon dbus-bin xdg-desktop-portal python3-dbus python3-gi
  pipewire pipewire-pulse pipewire-bin wireplumber appstream man-db gnome-settings-daemon-common)

tw_install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

tw_configure() { # tw_configure DIR [cmake args...]
  local dir="$1"; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
  fi
}

tw_build() { # tw_build DIR [cmake args...]: everything, the tests and benches too
  tw_configure "$@"
  cmake --build "$1"
}
