#!/usr/bin/env bash
# package_test.sh BUILD_DIR PROJECT_DIR WORK_DIR CXX CONFIG GENERATOR MAKE_PROGRAM SOURCE_DIR
#
# Installs BUILD_DIR into WORK_DIR/prefix, configures and builds PROJECT_DIR against that
# prefix only, runs the program and checks that its uncaught exception was reported on
# standard output under the heading from its own options, and that it then ended as an
# uncaught exception ends (SIGABRT).
set -uo pipefail
build=$1 project=$2 work=$3 cxx=$4 config=$5 generator=$6 make=$7 source=$8
[ -n "$config" ] || config=RelWithDebInfo

fail() {
  echo "FAILED: $*"
  exit 1
}
run_logged() {  # name command...: runs quietly, shows the log on failure
  local name=$1
  shift
  "$@" >"$work/$name.log" 2>&1 || {
    cat "$work/$name.log"
    fail "$name"
  }
}

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

run_logged install cmake --install "$build" --prefix "$prefix" --config "$config"
for f in include/tarvex/Tarvex.h include/tarvex/reporting/flow/EFlow.h bin/tarvex-options \
         lib/cmake/Tarvex/TarvexConfig.cmake lib/cmake/Tarvex/TarvexConfigVersion.cmake \
         lib/cmake/Tarvex/TarvexOptions.cmake; do
  [ -e "$prefix/$f" ] || fail "the prefix lacks $f"
done
# The package must not point back into the tree it was built from.
if grep -rlF -e "$build" -e "$source" "$prefix/lib/cmake" "$prefix/include"; then
  fail "installed files name the build or source tree"
fi

run_logged configure cmake -S "$project" -B "$work/build" -G "$generator" -DCMAKE_MAKE_PROGRAM="$make" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE="$config" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
run_logged build cmake --build "$work/build"

# The program ends by itself; the limit only keeps a hung one from hanging the test.
timeout 120 "$work/build/consumer" >"$work/stdout.txt" 2>"$work/stderr.txt"
status=$?

out=$(cat "$work/stdout.txt")
show() {
  echo "--- stdout"; cat "$work/stdout.txt"
  echo "--- stderr"; cat "$work/stderr.txt"
  echo "--- exit status $status"
}
for expected in "installed before main: yes" "The package consumer met an error." \
                "EConsumerFault" "The consumer gave up on purpose"; do
  [[ $out == *"$expected"* ]] || { show; fail "standard output lacks: $expected"; }
done
[ "$(grep -c "The package consumer met an error." "$work/stdout.txt")" = 1 ] || { show; fail "not one report"; }
[ "$status" = $((128 + 6)) ] || { show; fail "the program did not end by SIGABRT"; }
echo "package test: report on standard output, ended by SIGABRT"
