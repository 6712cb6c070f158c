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

# Keys go, as typed keys do, to the focused window: focus it first (there is no window manager).
key() { xdotool windowfocus --sync "$WINDOW" && xdotool key "$@"; }
type_text() { xdotool type --delay 15 "$1"; }

screenshot() {
  [ $HAVE_XWD -eq 1 ] || return 0
  xwd -root -silent -out "$ARTEFACTS/$1.xwd" || fail "screenshot $1"
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
  expect_line '^SENDEMAIL to=support@example.com report=1$'
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

# The own look and feel: photographed, then closed with Don't Send.
case_own_look() {
  start_child "$WORK/config-own" --own-look
  wait_window "$CLASSIC" && wait_dump "$CLASSIC" || return
  screenshot classic-own-look
  click c1001
  finish_child
  expect_clean_end
  expect_line '^DIALOG classic next=none send=0 cancelled=0 '
}

CASES=("$@")
[ ${#CASES[@]} -gt 0 ] || CASES=(send dont_send escape auto_close invalid_email own_look)
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
  echo "$FAILURES failure(s)"
  exit 1
fi
echo "all cases passed; screenshots in $ARTEFACTS"
