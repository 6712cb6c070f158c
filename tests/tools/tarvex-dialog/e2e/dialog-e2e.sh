#!/usr/bin/env bash
# The exception dialogs end to end: the child program meets an exception, the real helper
# shows the dialog on a private Xvfb, xdotool clicks and types at the places the helper's
# geometry dump gives, and the child's output tells what choices reached the core.
# Usage: dialog-e2e.sh <child> <tarvex-dialog> <artefacts folder> [case ...]
# Exit 77 (skipped) without Xvfb or xdotool. Screenshots (.xwd) go to the artefacts folder.
set -uo pipefail

CHILD=$(realpath "$1") HELPER=$(realpath "$2") ARTEFACTS=$(realpath -m "$3")
shift 3
for tool in Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (tools/setup-debian.sh installs it)"
    exit 77
  fi
done
HAVE_XWD=0
command -v xwd >/dev/null && HAVE_XWD=1
HAVE_PYTHON=0
command -v python3 >/dev/null && HAVE_PYTHON=1
HERE=$(dirname "$(realpath "$0")")

WORK=$(mktemp -d)
mkdir -p "$ARTEFACTS"
XVFB_PID=""
cleanup() {
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# A display of our own: Xvfb picks a free number and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$WORK/display" 2>"$WORK/xvfb.log" &
XVFB_PID=$!
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
if ! [ -s "$WORK/display" ]; then
  echo "SKIP: Xvfb did not start: $(tail -1 "$WORK/xvfb.log")"
  exit 77
fi
export DISPLAY=":$(head -1 "$WORK/display")"
export TARVEX_DIALOG_HELPER=$HELPER
export TARVEX_DIALOG_GEOMETRY=$WORK/geometry
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

FAILURES=0
CASE=""
fail() {
  echo "FAIL [$CASE]: $*"
  FAILURES=$((FAILURES + 1))
}

# ---- The child and its windows ----

CHILD_PID=""
start_child() {  # start_child <config folder> [child arguments]
  local config=$1
  shift
  rm -f "$TARVEX_DIALOG_GEOMETRY" "$WORK/out"
  mkdir -p "$config"
  XDG_CONFIG_HOME=$config timeout -k 5 90 "$CHILD" "$@" >"$WORK/out" 2>"$WORK/err" &
  CHILD_PID=$!
}

# Waits for the child's end; its exit code is in CHILD_RC.
finish_child() {
  local seconds=${1:-60}
  for _ in $(seq $((seconds * 10))); do
    kill -0 "$CHILD_PID" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$CHILD_PID" 2>/dev/null; then
    fail "the child is still running after ${seconds}s"
    kill "$CHILD_PID" 2>/dev/null
  fi
  wait "$CHILD_PID"
  CHILD_RC=$?
  CHILD_PID=""
}

# The window with exactly this title, once on screen; its id in WINDOW. Gives up early when
# the child has ended.
wait_window() {
  WINDOW=""
  for _ in $(seq 400); do
    WINDOW=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
    [ -n "$WINDOW" ] && return 0
    [ -n "$CHILD_PID" ] && ! kill -0 "$CHILD_PID" 2>/dev/null && break
    sleep 0.1
  done
  fail "no window \"$1\" (output: $(tr '\n' '|' <"$WORK/out") stderr: $(tr '\n' '|' <"$WORK/err"))"
  return 1
}

# The geometry dump of the window titled $1 (written once it is shown).
wait_dump() {
  for _ in $(seq 200); do
    [ -s "$TARVEX_DIALOG_GEOMETRY" ] && grep -q "^window .* $1\$" "$TARVEX_DIALOG_GEOMETRY" && return 0
    sleep 0.1
  done
  fail "no geometry dump for \"$1\""
  return 1
}

# The centre of a named control as "x y", or nothing when it is missing or hidden.
centre() { awk -v n="$1" '$1 == n && $6 == 1 { printf "%d %d\n", $2 + $4 / 2, $3 + $5 / 2 }' "$TARVEX_DIALOG_GEOMETRY"; }
control_text() { awk -v n="$1" '$1 == n { $1 = $2 = $3 = $4 = $5 = $6 = ""; sub(/^ +/, ""); print }' "$TARVEX_DIALOG_GEOMETRY"; }

click() {
  local at
  at=$(centre "$1")
  [ -n "$at" ] || { fail "control $1 is not in the dump"; return 1; }
  # shellcheck disable=SC2086
  xdotool mousemove --sync $at click 1
}

# A check box answers only over its box and text: click its box, at the left end.
click_box() {
  local at
  at=$(awk -v n="$1" '$1 == n && $6 == 1 { printf "%d %d\n", $2 + 7, $3 + $5 / 2 }' "$TARVEX_DIALOG_GEOMETRY")
  [ -n "$at" ] || { fail "check box $1 is not in the dump"; return 1; }
  # shellcheck disable=SC2086
  xdotool mousemove --sync $at click 1
}

# Keys go, as typed keys do, to the focused window: focus it first (there is no window manager).
key() { xdotool windowfocus --sync "$WINDOW" && xdotool key "$@"; }
type_text() { xdotool type --delay 15 "$1"; }

# screenshot <name> [window]: the whole screen or one window, as PNG when python3 is there.
screenshot() {
  [ $HAVE_XWD -eq 1 ] || return 0
  local what=(-root)
  [ $# -gt 1 ] && what=(-id "$2")
  xwd "${what[@]}" -silent -out "$ARTEFACTS/$1.xwd" || { fail "screenshot $1"; return; }
  if [ $HAVE_PYTHON -eq 1 ] && python3 "$HERE/xwd2png.py" "$ARTEFACTS/$1.xwd" "$ARTEFACTS/$1.png"; then
    rm -f "$ARTEFACTS/$1.xwd"
  fi
}

expect_line() {  # expect_line <extended regex>: some line of the child's output matches
  grep -Eq "$1" "$WORK/out" || fail "no line /$1/ in the output: $(tr '\n' '|' <"$WORK/out") stderr: $(tr '\n' '|' <"$WORK/err")"
}
expect_no_line() {
  if grep -Eq "$1" "$WORK/out"; then fail "unexpected line /$1/: $(grep -E "$1" "$WORK/out")"; fi
}
expect_clean_end() {
  [ "$CHILD_RC" -eq 0 ] || fail "the child ended with $CHILD_RC"
  expect_line '^END$'
  expect_no_line 'failed=1'
}

CLASSIC="Error occurred"

# ---- The cases ----

# Send with a valid address: the address is accepted and stored, the report is delivered.
case_send() {
  start_child "$WORK/config-shared"
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  [ "$(control_text c1000)" = "&Send Error Report" ] || fail "Send button reads \"$(control_text c1000)\""
  [ "$(control_text c1001)" = "&Don't Send" ] || fail "Don't Send button reads \"$(control_text c1001)\""
  click c111 && type_text "user@example.com"
  click c1000
  finish_child
  expect_clean_end
  expect_line '^DIALOG classic next=none send=1 cancelled=0 .* email=user@example.com$'
  expect_line '^EMAIL user@example.com$'
  expect_line '^SENDEMAIL to=support@example.com report=1 '
  grep -qx 'Email=user@example.com' "$WORK/config-shared/TarvexLog/TarvexLog.ini" 2>/dev/null ||
    fail "the address is not saved: $(cat "$WORK"/config-shared/*/* 2>/dev/null | tr '\n' '|')"
}

# Don't Send, in the same settings as case_send: the saved address comes back in the box and
# nothing is delivered. The classic dialog with the defaults is photographed.
case_dont_send() {
  start_child "$WORK/config-shared"
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  screenshot classic-default
  click c1001
  finish_child
  expect_clean_end
  expect_line '^DIALOG classic next=none send=0 cancelled=0 '
  expect_line '^EMAIL user@example.com$'
  expect_no_line '^SENDEMAIL'
}

# Esc cancels: nothing sent.
case_escape() {
  start_child "$WORK/config-escape"
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  key Escape
  finish_child
  expect_clean_end
  expect_line '^DIALOG classic next=none send=0 cancelled=1 '
  expect_no_line '^SENDEMAIL'
}

# Left alone, the dialog closes by itself and keeps the initial choice (send).
case_auto_close() {
  start_child "$WORK/config-auto" --auto-close 2
  wait_window "$CLASSIC" || return
  finish_child 30
  expect_clean_end
  expect_line '^DIALOG classic next=none send=1 cancelled=0 '
}

# An invalid address blocks Send with the message box; Esc still closes the dialog.
case_invalid_email() {
  start_child "$WORK/config-invalid"
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  local dialog=$WINDOW
  click c111 && type_text "not an address"
  click c1000
  wait_window "Error\\." || return
  sleep 0.5
  kill -0 "$CHILD_PID" 2>/dev/null || fail "the dialog closed on Send with an invalid address"
  screenshot classic-invalid-email
  key Return
  WINDOW=$dialog
  key Escape
  finish_child
  expect_clean_end
  expect_line '^DIALOG classic next=none send=0 cancelled=1 '
  expect_no_line '^EMAIL'
  expect_no_line '^SENDEMAIL'
  [ ! -e "$WORK/config-invalid/TarvexLog/TarvexLog.ini" ] || ! grep -q '^Email=' "$WORK/config-invalid/TarvexLog/TarvexLog.ini" ||
    fail "an invalid address was saved"
}

# The own look and feel: the classic dialog keeps the system's frame; the detailed dialog
# paints its own caption inside the window, so its controls sit lower. Each is photographed.
icon_offset() { awk '$1 == "window" { top = $3 } $1 == "c1" { print $3 - top }' "$TARVEX_DIALOG_GEOMETRY"; }
case_own_look() {
  start_child "$WORK/config-own" --own-look
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  screenshot classic-own-look "$WINDOW"
  click c1001
  finish_child
  expect_clean_end
  expect_line '^DIALOG classic next=none send=0 cancelled=0 '

  start_child "$WORK/config-own" --detailed
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  screenshot detailed-compact-default "$WINDOW"
  key Escape
  finish_child
  expect_clean_end
  expect_line '^DIALOG detailed next=none send=0 cancelled=1 '
}

# The detailed dialog with its own caption band: its icon sits lower than under the system frame.
case_detailed_own_look() {
  start_child "$WORK/config-own" --detailed
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  local plain
  plain=$(icon_offset)
  key Escape
  finish_child
  start_child "$WORK/config-own" --detailed --own-look
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  screenshot detailed-compact-own-look "$WINDOW"
  [ "$(icon_offset)" -gt "$plain" ] ||
    fail "no caption of its own: the icon is $(icon_offset) px below the window's top, as without it ($plain)"
  key Escape
  finish_child
  expect_clean_end
  expect_line '^DIALOG detailed next=none send=0 cancelled=1 '
}

# The details link opens the detailed dialog in its detailed mode with six tabs; the mouse
# wheel over the tab bar walks through them (each page's heading read from the dump after a
# one-pixel resize, which rewrites it). Checking the send box and OK sends. The size the user
# gave the window is saved and the next detailed dialog opens with it.
DETAILED_HEADINGS=("General Information" "Call Stack Information" "Modules Information" "Processes Information"
                   "Assembler Information" "CPU Information")
open_detailed() {
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return 1
  [ "$(control_text c1100)" = "click here." ] || fail "the link reads \"$(control_text c1100)\""
  local at
  at=$(centre c1100)
  [ -n "$at" ] || { fail "no link in the dump"; return 1; }
  rm -f "$TARVEX_DIALOG_GEOMETRY"
  # shellcheck disable=SC2086
  xdotool mousemove --sync $at click 1
  wait_dump "$CLASSIC" || return 1
  for _ in $(seq 100); do grep -q '^c3000 ' "$TARVEX_DIALOG_GEOMETRY" && break; sleep 0.1; done
  grep -q '^c3000 ' "$TARVEX_DIALOG_GEOMETRY" || { fail "the details link did not open the detailed dialog"; return 1; }
  wait_window "$CLASSIC"
}
window_size() { awk '$1 == "window" { print $4, $5 }' "$TARVEX_DIALOG_GEOMETRY"; }

case_details() {
  local config=$WORK/config-details
  start_child "$config"
  open_detailed || return
  local tabs width height
  read -r width height < <(window_size)
  tabs=$(centre c1000 | awk '{ print $1 }')
  # The tab bar runs along the top of the tab control.
  local bar_x bar_y
  read -r bar_x bar_y < <(awk '$1 == "c1000" { print $2 + 20, $3 + 10 }' "$TARVEX_DIALOG_GEOMETRY")
  [ -n "$tabs" ] || fail "no tab control in the dump"
  local i heading
  for i in "${!DETAILED_HEADINGS[@]}"; do
    heading=$(control_text p102)
    [ "$heading" = "${DETAILED_HEADINGS[$i]}" ] || fail "tab $i shows \"$heading\", not \"${DETAILED_HEADINGS[$i]}\""
    screenshot "detailed-tab$i" "$WINDOW"
    [ "$i" -eq 5 ] && break
    xdotool mousemove --sync "$bar_x" "$bar_y" click 5
    height=$((height + 1))
    : >"$TARVEX_DIALOG_GEOMETRY"
    xdotool windowsize --sync "$WINDOW" "$width" "$height"
    wait_dump "$CLASSIC" || return
  done
  # The size the next dialog is to take.
  : >"$TARVEX_DIALOG_GEOMETRY"
  xdotool windowsize --sync "$WINDOW" 800 560
  wait_dump "$CLASSIC" || return
  click_box c3000
  click c102
  finish_child
  expect_clean_end
  expect_line '^DIALOG classic next=detailed send=1 cancelled=0 '
  expect_line '^SHOWING detailed$'
  expect_line '^DIALOG detailed next=none send=1 cancelled=0 '
  expect_line '^SENDEMAIL '
  local ini=$config/TarvexLog/TarvexLog.ini
  grep -qx 'Width=800' "$ini" 2>/dev/null && grep -qx 'WindowsState=1' "$ini" ||
    fail "the geometry is not saved: $(tr '\n' '|' <"$ini" 2>/dev/null)"

  start_child "$config"
  open_detailed || return
  [ "$(window_size)" = "800 560" ] || fail "the saved size is not used: the window is $(window_size)"
  key Escape
  finish_child
  expect_clean_end
  expect_line '^DIALOG detailed next=none send=0 cancelled=1 '
  expect_no_line '^SENDEMAIL'
}

# Rows of the list on screen that are shown, and the first group row's centre.
visible_rows() { awk '$1 ~ /^row[0-9]+$/ && $6 == 1' "$TARVEX_DIALOG_GEOMETRY" | wc -l; }
first_group() { awk '$1 ~ /^row[0-9]+$/ && $6 == 1 && index($0, " ID=") > 0 { printf "%d %d\n", $2 + $4 / 2, $3 + $5 / 2; exit }' "$TARVEX_DIALOG_GEOMETRY"; }
column_width() { awk -v n="col$1" '$1 == n { print $4 }' "$TARVEX_DIALOG_GEOMETRY"; }
# Rewrites the dump by a one-pixel resize (the dialog writes it after every layout).
redump() {
  local width height
  read -r width height < <(window_size)
  : >"$TARVEX_DIALOG_GEOMETRY"
  xdotool windowsize --sync "$WINDOW" "$width" $((height + ${1:-1}))
  wait_dump "$CLASSIC"
}

# On the call-stack page a double click folds the exception thread's group and a second one
# unfolds it; the first column, dragged wider, is saved and comes back with the next dialog.
# OK with the send box clear sends nothing.
case_fold_and_columns() {
  local config=$WORK/config-fold
  start_child "$config"
  open_detailed || return
  local bar_x bar_y
  read -r bar_x bar_y < <(awk '$1 == "c1000" { print $2 + 20, $3 + 10 }' "$TARVEX_DIALOG_GEOMETRY")
  xdotool mousemove --sync "$bar_x" "$bar_y" click 5
  redump || return
  [ "$(control_text p102)" = "Call Stack Information" ] || { fail "the second tab shows \"$(control_text p102)\""; return; }
  local all group folded
  all=$(visible_rows)
  group=$(first_group)
  [ -n "$group" ] || { fail "no thread group in the list: $(grep '^row' "$TARVEX_DIALOG_GEOMETRY" | head -5 | tr '\n' '|')"; return; }
  # shellcheck disable=SC2086
  xdotool mousemove --sync $group click --repeat 2 --delay 80 1
  redump -1 || return
  folded=$(visible_rows)
  [ "$folded" -lt "$all" ] || fail "folding the group left $folded of $all rows shown"
  screenshot detailed-stack-folded "$WINDOW"
  # shellcheck disable=SC2086
  xdotool mousemove --sync $group click --repeat 2 --delay 80 1
  redump || return
  [ "$(visible_rows)" -eq "$all" ] || fail "unfolding shows $(visible_rows) of $all rows"

  local x y w h wider
  read -r x y w h < <(awk '$1 == "col0" { print $2, $3, $4, $5 }' "$TARVEX_DIALOG_GEOMETRY")
  [ -n "$x" ] || { fail "no column headers in the dump"; return; }
  wider=$((w + 60))
  xdotool mousemove --sync $((x + w - 1)) $((y + h / 2)) mousedown 1 \
    mousemove --sync $((x + w + 29)) $((y + h / 2)) mousemove --sync $((x + w + 59)) $((y + h / 2)) mouseup 1
  redump -1 || return
  [ "$(column_width 0)" -eq "$wider" ] || fail "the first column is $(column_width 0) wide after the drag, not $wider"
  click c102
  finish_child
  expect_clean_end
  expect_line '^DIALOG detailed next=none send=0 cancelled=0 '
  expect_no_line '^SENDEMAIL'
  grep -qx "Col0=$wider" "$config/TarvexLog/TarvexLog.ini" 2>/dev/null ||
    fail "the column width is not saved: $(tr '\n' '|' <"$config/TarvexLog/TarvexLog.ini" 2>/dev/null)"

  start_child "$config"
  open_detailed || return
  xdotool mousemove --sync "$bar_x" "$bar_y" click 5
  redump || return
  [ "$(column_width 0)" = "$wider" ] || fail "the saved width is not used: the first column is $(column_width 0) wide"
  key Escape
  finish_child
  expect_clean_end
}

# The detailed dialog shown first asks, after OK with sending, how to reproduce the error; the
# text typed goes into the report that is sent, and the send progress window shows the
# delivery. Both windows are photographed.
case_reproduce_and_progress() {
  start_child "$WORK/config-reproduce" --detailed --progress
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  click_box c3000
  click c102
  wait_window "Request" && wait_dump "Request" || return
  click c101 && type_text "Clicked Get Distance twice"
  screenshot reproduce-request "$WINDOW"
  click c2
  wait_window "Send\\." || return
  sleep 0.5
  screenshot send-progress "$WINDOW"
  finish_child
  expect_clean_end
  expect_line '^DIALOG detailed next=none send=1 cancelled=0 '
  expect_line '^REPRODUCE Clicked Get Distance twice$'
  expect_line '^SENDEMAIL .* reproduce=1$'
}

# The distance client as installed: its helper beside it, no service to reach. A click fails,
# the dialog shows the failure, and after Don't Send the window goes on working: a second
# click brings the dialog again. The report is in the log beside the program.
case_distance_click() {
  if [ -z "${ZELK_DISTANCE:-}" ]; then
    echo "SKIP distance_click: ZELK_DISTANCE names no program"
    return
  fi
  local bin=$WORK/bin
  mkdir -p "$bin" "$WORK/config-distance"
  cp "$ZELK_DISTANCE" "$HELPER" "$bin/"
  rm -f "$TARVEX_DIALOG_GEOMETRY" "$WORK/out"
  (unset TARVEX_DIALOG_HELPER
   export XDG_CONFIG_HOME=$WORK/config-distance ZELK_DISTANCE_URL=http://127.0.0.1:9/ZelkSystem/services/ZelkDistanceVersion3
   exec timeout -k 5 90 "$bin/zelk-distance" >"$WORK/out" 2>"$WORK/err") &
  CHILD_PID=$!
  local main=""
  for _ in $(seq 300); do
    main=$(xdotool search --onlyvisible --class '^zelk-distance$' 2>/dev/null | head -1)
    [ -n "$main" ] && break
    sleep 0.1
  done
  [ -n "$main" ] || { fail "the main window did not appear: $(tr '\n' '|' <"$WORK/err")"; return; }
  local round
  for round in 1 2; do
    rm -f "$TARVEX_DIALOG_GEOMETRY"
    xdotool mousemove --sync --window "$main" 150 12 click 1
    wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
    [ "$round" -eq 1 ] && screenshot distance-click-dialog "$WINDOW"
    click c1001
    for _ in $(seq 100); do xdotool search --onlyvisible --name "^$CLASSIC\$" >/dev/null 2>&1 || break; sleep 0.1; done
    kill -0 "$CHILD_PID" 2>/dev/null || { fail "the program ended after the dialog of click $round"; return; }
  done
  screenshot distance-after-click "$main"
  kill "$CHILD_PID"
  finish_child 30
  local log
  log=$(ls "$bin"/*.tlf 2>/dev/null | head -1)
  [ -n "$log" ] && grep -q "ESOAPHTTPException" "$log" ||
    fail "no report of the failed call in the log beside the program: $(ls "$bin" | tr '\n' ' ')"
}

CASES=("$@")
[ ${#CASES[@]} -gt 0 ] || CASES=(send dont_send escape auto_close invalid_email own_look detailed_own_look details fold_and_columns
                                 reproduce_and_progress distance_click)
for c in "${CASES[@]}"; do
  CASE=$c
  before=$FAILURES
  "case_$c"
  if [ -n "$CHILD_PID" ]; then
    kill "$CHILD_PID" 2>/dev/null
    wait "$CHILD_PID" 2>/dev/null
    CHILD_PID=""
  fi
  [ $FAILURES -eq "$before" ] && echo "ok   $c" || echo "FAIL $c"
done

if [ $FAILURES -ne 0 ]; then
  # What the display server said, and whether it still runs: a client that cannot connect
  # needs both.
  kill -0 "$XVFB_PID" 2>/dev/null && echo "Xvfb ($DISPLAY) still runs" || echo "Xvfb ($DISPLAY) has ended"
  xdotool getdisplaygeometry >/dev/null 2>&1 && echo "a new client connects" || echo "a new client cannot connect"
  command -v ss >/dev/null && ss -xlp 2>/dev/null | grep "X11-unix/X${DISPLAY#:} "
  [ -s "$WORK/xvfb.log" ] && { echo "Xvfb's log:"; tail -20 "$WORK/xvfb.log"; }
  echo "$FAILURES failure(s)"
  exit 1
fi
echo "all cases passed; screenshots in $ARTEFACTS"
