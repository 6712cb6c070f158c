#!/usr/bin/env bash
# Starts the distance service in the background on 127.0.0.1, waits until it answers and
# prints its URL (the only line on standard output).
#
# usage: start.sh [--port N] [--wait] [--foreground] [--if-free] [--day-limit N]
#                 [--state-dir DIR] [--build-dir DIR] [--timeout SECONDS]
#   --port N        port on 127.0.0.1 (default 8080); 0 picks a free port
#   --wait          wait until the service answers before returning (always done; accepted
#                   for clarity)
#   --foreground    after start-up keep running until the service ends or this script is
#                   interrupted or terminated, then stop the service
#   --if-free       when the port is taken, say so and exit 0 without starting anything
#   --day-limit N   answers with a route allowed per PIN and day (default 100)
#   --state-dir DIR where the PID, port, URL and log files go (default BUILD_DIR/run);
#                   give each concurrently running instance its own
#   --build-dir DIR compiled service (default build/distance-service in the repo); built
#                   first when missing or out of date
#   --timeout S     how long to wait for the service to answer (default 60)
#
# Exit codes: 0 running (URL printed), 1 failure, 2 bad usage, 3 port already in use.
# After any failure nothing of this script is left running.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

PORT=8080
FOREGROUND=0
IF_FREE=0
DAY_LIMIT=100
STATE_DIR=""
BUILD_DIR="$DS_DEFAULT_BUILD_DIR"
TIMEOUT=60

usage() {
  sed -n '5,20p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
is_uint() { [[ "$1" =~ ^[0-9]+$ ]]; }

while [ $# -gt 0 ]; do
  case "$1" in
    --port) [ $# -ge 2 ] && is_uint "$2" && [ "$2" -le 65535 ] || usage; PORT=$2; shift 2 ;;
    --wait) shift ;;
    --foreground) FOREGROUND=1; shift ;;
    --if-free) IF_FREE=1; shift ;;
    --day-limit) [ $# -ge 2 ] && is_uint "$2" || usage; DAY_LIMIT=$2; shift 2 ;;
    --state-dir) [ $# -ge 2 ] || usage; STATE_DIR=$2; shift 2 ;;
    --build-dir) [ $# -ge 2 ] || usage; BUILD_DIR=$2; shift 2 ;;
    --timeout) [ $# -ge 2 ] && is_uint "$2" || usage; TIMEOUT=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "start.sh: unknown argument $1" >&2; usage ;;
  esac
done

BUILD_DIR=$(ds_absdir "$BUILD_DIR")
STATE_DIR=$(ds_absdir "${STATE_DIR:-$BUILD_DIR/run}")
PID_FILE="$STATE_DIR/service.pid"
PORT_FILE="$STATE_DIR/service.port"
URL_FILE="$STATE_DIR/service.url"
LOG_FILE="$STATE_DIR/service.log"

# One instance per state folder.
if [ -f "$PID_FILE" ]; then
  old=$(cat "$PID_FILE" 2>/dev/null || true)
  if ds_is_ours "$old"; then
    old_port=$(cat "$PORT_FILE" 2>/dev/null || true)
    if [ -f "$URL_FILE" ] && { [ "$PORT" = 0 ] || [ "$PORT" = "$old_port" ]; }; then
      ds_note "already running (pid $old)"
      cat "$URL_FILE"
      exit 0
    fi
    ds_die "another instance (pid $old, port ${old_port:-?}) uses $STATE_DIR; stop it with stop.sh --state-dir $STATE_DIR"
  fi
  rm -f "$PID_FILE"
fi
rm -f "$PORT_FILE" "$URL_FILE"

ds_need java
bash "$DS_SRC_DIR/build.sh" "$BUILD_DIR"
CP="$BUILD_DIR/classes:$(ds_classpath)"

# Small heap, quick start: the service holds a few kilobytes of routes.
(
  cd "$STATE_DIR"
  exec java -Xms16m -Xmx128m -XX:+UseSerialGC -XX:TieredStopAtLevel=1 -Djava.awt.headless=true \
    -Dzelk.dayLimit="$DAY_LIMIT" -cp "$CP" "$DS_MAIN_CLASS" \
    --port "$PORT" --bind 127.0.0.1 --config "$BUILD_DIR/server-config.wsdd" --port-file "$PORT_FILE" \
    </dev/null >"$LOG_FILE" 2>&1
) &
PID=$!
echo "$PID" >"$PID_FILE"

kill_service() {
  if kill -0 "$PID" 2>/dev/null; then
    kill -TERM "$PID" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$PID" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$PID" 2>/dev/null || true
  fi
  wait "$PID" 2>/dev/null || true
  rm -f "$PID_FILE" "$PORT_FILE" "$URL_FILE"
}

fail_start() {
  local code=$1; shift
  kill_service
  ds_note "$*"
  if [ -s "$LOG_FILE" ]; then
    echo "--- $LOG_FILE (last lines)" >&2
    tail -n 20 "$LOG_FILE" >&2
  fi
  exit "$code"
}
STARTED=0
trap '[ "$STARTED" = 1 ] || kill_service' EXIT
trap 'fail_start 1 "interrupted while starting"' INT TERM HUP

# Ready means: the port file is written (socket bound, engine loaded) and the engine
# answers an HTTP request for the service's WSDL.
answers() {
  local port=$1
  if command -v curl >/dev/null 2>&1; then
    curl -s -o /dev/null --noproxy '*' --max-time 5 -w '%{http_code}' \
      "http://127.0.0.1:$port$DS_WSDL_PATH" 2>/dev/null | grep -q '^200$'
  else
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null
  fi
}

deadline=$((SECONDS + TIMEOUT))
URL=""
while :; do
  if ! kill -0 "$PID" 2>/dev/null; then
    rc=0
    wait "$PID" || rc=$?
    rm -f "$PID_FILE"
    if [ "$rc" = 3 ]; then
      if [ "$IF_FREE" = 1 ]; then
        ds_note "port $PORT on 127.0.0.1 is in use; not starting (--if-free)"
        rm -f "$PORT_FILE" "$URL_FILE"
        exit 0
      fi
      fail_start 3 "port $PORT on 127.0.0.1 is already in use"
    fi
    fail_start 1 "the service exited during start-up (exit code $rc)"
  fi
  if [ -s "$PORT_FILE" ]; then
    actual=$(cat "$PORT_FILE")
    if answers "$actual"; then
      URL="http://127.0.0.1:$actual$DS_SERVICE_PATH"
      break
    fi
  fi
  if [ $SECONDS -ge $deadline ]; then
    fail_start 1 "the service did not answer within ${TIMEOUT}s"
  fi
  sleep 0.2
done
echo "$URL" >"$URL_FILE"
STARTED=1
trap - INT TERM HUP EXIT

ds_note "running (pid $PID) at $URL; log $LOG_FILE"
echo "$URL"

if [ "$FOREGROUND" = 1 ]; then
  trap 'kill_service; exit 0' INT TERM HUP
  rc=0
  wait "$PID" || rc=$?
  rm -f "$PID_FILE" "$PORT_FILE" "$URL_FILE"
  exit "$rc"
fi
