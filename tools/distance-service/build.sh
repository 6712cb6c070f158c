#!/usr/bin/env bash
# Compiles the distance service into BUILD_DIR (default: build/distance-service in the repo).
# usage: build.sh [BUILD_DIR]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

BUILD_DIR=$(ds_absdir "${1:-$DS_DEFAULT_BUILD_DIR}")
ds_need javac
CP=$(ds_classpath)

# Tests may start several instances at once: one build at a time, the others then find it done.
if command -v flock >/dev/null 2>&1; then
  exec 9>"$BUILD_DIR/.build.lock"
  flock -w 300 9 || ds_die "timed out waiting for another build in $BUILD_DIR"
fi

stamp="$BUILD_DIR/.built"
if [ -f "$stamp" ] && [ -f "$BUILD_DIR/classes/example/zelk/ws/DistanceServer.class" ] && [ -z "$(find "$DS_SRC_DIR/src" "$DS_SRC_DIR/server-config.wsdd" -newer "$stamp" -print -quit)" ]; then
  exit 0
fi

# Compile beside the live folder and swap it in, so a running server never sees half a build.
rm -rf "$BUILD_DIR/classes.new"
mkdir -p "$BUILD_DIR/classes.new"
mapfile -t sources < <(find "$DS_SRC_DIR/src" -name '*.java' | sort)
if ! javac --release 11 -encoding UTF-8 -Xlint:all,-path -d "$BUILD_DIR/classes.new" -cp "$CP" "${sources[@]}"; then
  rm -rf "$BUILD_DIR/classes.new"
  ds_die "compilation failed"
fi
cp "$DS_SRC_DIR/server-config.wsdd" "$BUILD_DIR/server-config.wsdd.new"
mv -f "$BUILD_DIR/server-config.wsdd.new" "$BUILD_DIR/server-config.wsdd"
rm -rf "$BUILD_DIR/classes.old"
[ -d "$BUILD_DIR/classes" ] && mv "$BUILD_DIR/classes" "$BUILD_DIR/classes.old"
mv "$BUILD_DIR/classes.new" "$BUILD_DIR/classes"
rm -rf "$BUILD_DIR/classes.old"
touch "$stamp"
ds_note "built into $BUILD_DIR"
