#!/usr/bin/env bash
# Sets everything up, builds, and opens the distance client's window.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh
bash tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: starting on a virtual X server (xvfb-run)." >&2
  exec xvfb-run -a ./build/app/zelk-distance
fi
exec ./build/app/zelk-distance
