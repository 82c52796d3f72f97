#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that the application directory is
# complete, that the desktop entry, the software centres' metainfo and the manual page are
# valid, and that the program on the PATH is the one in the application directory.
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

# Offline: a check of the screenshot's address would need the network. The whole tree, so
# that the metainfo's launchable is checked against the installed menu entry.
metainfo="$prefix/share/metainfo/$app_id.metainfo.xml"
if [ -f "$metainfo" ]; then
  appstreamcli validate-tree --no-net "$prefix" || { echo "FAIL: appstreamcli validate-tree"; status=1; }
  version="$("$appdir/tunewright" --version | sed 's/^Tunewright //')"
  grep -q "<release version=\"$version\"" "$metainfo" ||
    { echo "FAIL: the metainfo's release is not the program's version $version"; status=1; }
else
  echo "FAIL: no metainfo at $metainfo"; status=1
fi

# man exits 0 on warnings: they are caught from its error output.
page="$prefix/share/man/man1/tunewright.1"
if [ -f "$page" ]; then
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || { echo "FAIL: the manual page has warnings:"; echo "$warnings"; status=1; }
  for option in --record --pause --stop --help --version; do
    LC_ALL=C.UTF-8 man -l "$page" 2>/dev/null | grep -qE -- "^ *(-h, )?$option" ||
      { echo "FAIL: the manual page does not explain $option"; status=1; }
  done
else
  echo "FAIL: no manual page at $page"; status=1
fi

# The link on the PATH reaches the application directory's program.
link="$prefix/bin/tunewright"
if [ -L "$link" ]; then
  [ "$(readlink -f "$link")" = "$(readlink -f "$appdir/tunewright")" ] ||
    { echo "FAIL: $link leads to $(readlink -f "$link")"; status=1; }
  "$link" --version | grep -q "^Tunewright " || { echo "FAIL: $link --version"; status=1; }
else
  echo "FAIL: no link to the program at $link"; status=1
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
