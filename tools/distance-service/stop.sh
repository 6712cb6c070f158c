#!/usr/bin/env bash
# Stops the distance service started by start.sh with the same state folder.
# usage: stop.sh [--state-dir DIR] [--build-dir DIR] [--timeout SECONDS]
# Exit 0 when no instance is left running (also when none was), 1 when it would not stop.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

STATE_DIR=""
BUILD_DIR="$DS_DEFAULT_BUILD_DIR"
TIMEOUT=10
while [ $# -gt 0 ]; do
  case "$1" in
    --state-dir) [ $# -ge 2 ] || exit 2; STATE_DIR=$2; shift 2 ;;
    --build-dir) [ $# -ge 2 ] || exit 2; BUILD_DIR=$2; shift 2 ;;
    --timeout) [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || exit 2; TIMEOUT=$2; shift 2 ;;
    -h|--help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    *) echo "stop.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
STATE_DIR=${STATE_DIR:-$BUILD_DIR/run}
PID_FILE="$STATE_DIR/service.pid"

clean() { rm -f "$PID_FILE" "$STATE_DIR/service.port" "$STATE_DIR/service.url"; }

if [ ! -f "$PID_FILE" ]; then
  ds_note "not running (no $PID_FILE)"
  exit 0
fi
PID=$(cat "$PID_FILE" 2>/dev/null || true)
if ! ds_is_ours "$PID"; then
  # Stale file, or the number now belongs to another process: leave that one alone.
  ds_note "not running (stale pid file)"
  clean
  exit 0
fi

kill -TERM "$PID" 2>/dev/null || true
end=$((SECONDS + TIMEOUT))
while ds_is_ours "$PID" && [ $SECONDS -lt $end ]; do
  sleep 0.1
done
if ds_is_ours "$PID"; then
  ds_note "pid $PID ignored SIGTERM for ${TIMEOUT}s; killing it"
  kill -KILL "$PID" 2>/dev/null || true
  sleep 0.5
fi
if ds_is_ours "$PID" && ! grep -q '^State:.*Z' "/proc/$PID/status" 2>/dev/null; then
  ds_die "pid $PID would not stop"
fi
clean
ds_note "stopped (pid $PID)"
