#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that the application directory is
# complete and that the desktop entry is valid.
set -euo pipefail
build="$1"
prefix="$(mktemp -d /tmp/tunewright-install.XXXXXX)"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
appdir="$(find "$prefix" -type f -name tunewright -perm -u+x | head -n 1 | xargs -r dirname)"
[ -n "$appdir" ] || { echo "FAIL: no tunewright program under $prefix"; exit 1; }

status=0
for f in tunewright libWavelark.so libVolume.so test.wav "Wavelark help.html" \
         skin/green.skn skin/red.skn skin/blue.skn; do
  [ -f "$appdir/$f" ] || { echo "FAIL: $appdir/$f is missing"; status=1; }
done
if command -v lame >/dev/null; then
  [ -x "$appdir/lame" ] || { echo "FAIL: the encoder launcher is missing"; status=1; }
fi

app_id=io.github.tunewright.Tunewright
desktop="$prefix/share/applications/$app_id.desktop"
icon="$prefix/share/icons/hicolor/scalable/apps/$app_id.svg"
[ -f "$icon" ] || { echo "FAIL: no icon at $icon"; status=1; }
if [ -f "$desktop" ]; then
  desktop-file-validate "$desktop" || { echo "FAIL: desktop-file-validate"; status=1; }
  # The entry must start the installed program, wherever the prefix was at configure time,
  # and its actions drive it by its command line.
  execs="$(sed -n 's|^Exec=/.*/||p' "$desktop" | tr '\n' '|')"
  want="tunewright|tunewright --record|tunewright --pause|tunewright --stop|"
  [ "$execs" = "$want" ] || { echo "FAIL: Exec lines $execs, want $want"; status=1; }
  grep -qx "Icon=$app_id" "$desktop" || { echo "FAIL: the icon is not named by the app id"; status=1; }
else
  echo "FAIL: no desktop entry at $desktop"; status=1
fi

# Every library the installed program needs resolves outside the build tree.
if ldd "$appdir/tunewright" | grep -q "not found"; then
  echo "FAIL: unresolved libraries:"; ldd "$appdir/tunewright" | grep "not found"; status=1
fi
if ldd "$appdir/tunewright" | grep -q "$build"; then
  echo "FAIL: the installed program still loads from the build tree"; status=1
fi

[ $status -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $status
