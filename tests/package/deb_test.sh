#!/usr/bin/env bash
# deb_test.sh BUILD_DIR WORK_DIR
#
# Builds the Debian packages of BUILD_DIR with cpack, unpacks them into a scratch root with
# dpkg -x and checks them: the expected files, stripped programs with their debug files by build
# id, dependencies from dpkg-shlibdeps, desktop-file-validate and lintian without errors, that
# apt could install them, the installed options tool reading the installed client's options, and
# the installed client, started from the scratch root on a private X server, finding its dialog
# helper and reporting a failing click.
set -uo pipefail
build=$(realpath "$1") work=$(realpath -m "$2")

# shellcheck source=common.sh
source "$(dirname "$0")/common.sh"

rm -rf "$work"
mkdir -p "$work/root"
run_logged cpack cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out"
debs=("$work"/out/*.deb)
main_deb=$(ls "$work"/out/zelk_*_amd64.deb 2>/dev/null | head -1)
[ -n "$main_deb" ] || fail "no zelk_*.deb among: ${debs[*]##*/}"
for name in zelk-tarvex-dev zelk-dbg; do
  ls "$work"/out/${name}_*.deb >/dev/null 2>&1 || fail "no $name package among: ${debs[*]##*/}"
done
for deb in "${debs[@]}"; do dpkg -x "$deb" "$work/root" || fail "dpkg -x $deb"; done
root=$work/root/usr

for f in bin/zelk-distance bin/zelk-distance-cli bin/tarvex-options libexec/tarvex/tarvex-dialog \
         share/applications/zelk-distance.desktop share/icons/hicolor/32x32/apps/zelk-distance.png \
         share/doc/zelk/copyright share/doc/zelk/changelog.gz include/tarvex/Tarvex.h \
         lib/cmake/Tarvex/TarvexConfig.cmake; do
  [ -e "$root/$f" ] || fail "the packages lack /usr/$f"
done

# Stripped, each with its debug file by build id; the client keeps its options and line table.
for p in bin/zelk-distance bin/zelk-distance-cli bin/tarvex-options libexec/tarvex/tarvex-dialog; do
  readelf -S "$root/$p" 2>/dev/null | grep -q '\.debug_info' && fail "/usr/$p is not stripped"
  id=$(readelf -n "$root/$p" 2>/dev/null | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
  [ -n "$id" ] || fail "/usr/$p has no build id"
  debug=$root/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [ -s "$debug" ] && readelf -S "$debug" 2>/dev/null | grep -q '\.debug_info' || fail "no debug file for /usr/$p at ${debug#$work/root}"
done
readelf -S "$root/bin/zelk-distance" | grep -q '\.tldata' || fail "the installed client lost its options section"

# Dependencies found by dpkg-shlibdeps.
depends=$(dpkg-deb -f "$main_deb" Depends)
for lib in libqt6widgets6 libcurl4 libxml2 libc6; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done

desktop-file-validate "$root/share/applications/zelk-distance.desktop" || fail "desktop-file-validate"
if command -v lintian >/dev/null; then
  # lintian leaves its index files behind in TMPDIR.
  mkdir -p "$work/lintian-tmp"
  TMPDIR=$work/lintian-tmp lintian --no-tag-display-limit "${debs[@]}" >"$work/lintian.log" 2>&1
  grep '^E:' "$work/lintian.log" && { cat "$work/lintian.log"; fail "lintian reports errors"; }
  echo "lintian: $(grep -c '^W:' "$work/lintian.log") warning(s), no errors"
else
  echo "lintian is not installed: not checked"
fi
# apt resolves the dependencies of the main package (a simulation: nothing is installed).
if command -v apt-get >/dev/null && [ "$(id -u)" -eq 0 ]; then
  run_logged apt-simulate apt-get install -s -y "$main_deb"
fi

# The installed options tool reads the installed client's options.
"$root/bin/tarvex-options" show "$root/bin/zelk-distance" >"$work/options.txt" 2>&1 || fail "tarvex-options show"
grep -q 'DialogKind=dkClassic' "$work/options.txt" || { cat "$work/options.txt"; fail "the client's options are not read"; }

# The installed client on a private X server: a click that cannot reach the service brings the
# dialog of its helper, found beside the installed program; the report lands in its log.
if ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
  echo "package test: Xvfb or xdotool missing, the client's dialog not checked"
  exit 0
fi
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
client=""
cleanup() {
  [ -n "$client" ] && kill "$client" 2>/dev/null
  kill "$xvfb" 2>/dev/null
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$work/display")" QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=$work/config
unset TARVEX_DIALOG_HELPER WAYLAND_DISPLAY
ZELK_DISTANCE_URL=http://127.0.0.1:9/ZelkSystem/services/ZelkDistanceVersion3 \
  timeout -k 5 120 "$root/bin/zelk-distance" >"$work/client.out" 2>"$work/client.err" &
client=$!
window=""
for _ in $(seq 300); do
  window=$(xdotool search --onlyvisible --class '^zelk-distance$' 2>/dev/null | head -1)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || fail "the installed client shows no window: $(cat "$work/client.err")"
xdotool mousemove --sync --window "$window" 150 12 click 1
dialog=""
for _ in $(seq 300); do
  dialog=$(xdotool search --onlyvisible --name '^Error occurred$' 2>/dev/null | head -1)
  [ -n "$dialog" ] && break
  sleep 0.1
done
[ -n "$dialog" ] || fail "no dialog after the failing click: $(cat "$work/client.err")"
xdotool windowfocus --sync "$dialog" key Escape
sleep 1
kill -0 "$client" 2>/dev/null || fail "the client ended after the dialog"
kill "$client"
wait "$client" 2>/dev/null
client=""
grep -q ESOAPHTTPException "$root/bin/zelk-distance.tlf" 2>/dev/null || fail "no report in the installed client's log"
echo "package test: ${#debs[@]} packages, stripped programs with debug files, the installed client's dialog shown"
