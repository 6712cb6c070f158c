#!/usr/bin/env bash
# Sets everything up, builds, starts the local distance service on localhost:8080 (unless
# something already serves that port), and opens the distance client's window. Closing the
# window stops the service this script started.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh
bash tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

state=build/ds-run
bash tools/distance-service/start.sh --port 8080 --if-free --state-dir "$state" --build-dir build/distance-service >/dev/null
trap 'bash tools/distance-service/stop.sh --state-dir "$state" >/dev/null 2>&1 || true' EXIT

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: starting on a virtual X server (xvfb-run)." >&2
  xvfb-run -a ./build/app/zelk-distance
else
  ./build/app/zelk-distance
fi
