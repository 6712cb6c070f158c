#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite twice: a plain build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== plain build"
bash tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== sanitizer build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash tools/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZELK_SANITIZE=ON
ctest --test-dir build-asan --output-on-failure -j "$jobs"
