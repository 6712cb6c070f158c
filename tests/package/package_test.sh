#!/usr/bin/env bash
# package_test.sh BUILD_DIR PROJECT_DIR WORK_DIR CXX CONFIG GENERATOR MAKE_PROGRAM SOURCE_DIR
#
# Installs BUILD_DIR into WORK_DIR/prefix, configures and builds PROJECT_DIR against that
# prefix only, runs its program and checks that the uncaught exception was reported once on
# standard output under the heading from the program's own options, and that the program then
# ended as an uncaught exception ends (SIGABRT). The same program without embedded options
# must end the same way with nothing reported.
set -uo pipefail
build=$1 project=$2 work=$3 cxx=$4 config=$5 generator=$6 make=$7 source=$8
[ -n "$config" ] || config=RelWithDebInfo

# shellcheck source=common.sh
source "$(dirname "$0")/common.sh"

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

# Runs a program of the project; the limit only keeps a hung one from hanging the test.
run_program() {
  timeout 120 "$work/build/$1" >"$work/$1.out" 2>"$work/$1.err"
  status=$?
  out=$(cat "$work/$1.out")
}
show() {
  echo "--- $1 stdout"; cat "$work/$1.out"
  echo "--- $1 stderr"; cat "$work/$1.err"
  echo "--- exit status $status"
}
heading="The package consumer met an error."

run_program consumer
for expected in "installed before main: yes" "$heading" "EConsumerFault" "The consumer gave up on purpose"; do
  [[ $out == *"$expected"* ]] || { show consumer; fail "standard output lacks: $expected"; }
done
[ "$(grep -cF "$heading" "$work/consumer.out")" = 1 ] || { show consumer; fail "not one report"; }
[ "$status" = $((128 + 6)) ] || { show consumer; fail "the program did not end by SIGABRT"; }

# Without embedded options nothing is installed or reported.
run_program consumer_plain
[[ $out == "installed before main: no" ]] || { show consumer_plain; fail "the layer acted without options"; }
[ "$status" = $((128 + 6)) ] || { show consumer_plain; fail "the plain program did not end by SIGABRT"; }

# With the leak tracker: the forgotten blocks are reported once at exit, counted twice, at the
# line that made them, and the program's own exit status stays.
if [ -x "$work/build/consumer_leaks" ]; then
  run_program consumer_leaks
  leak_line=$(grep -n "// the leak" "$project/leaks.cpp" | cut -d: -f1)
  for expected in "leaking consumer done" "The package consumer leaked memory." "EMemoryLeak" \
                  "Count=2" "leaks.cpp" "$leak_line"; do
    [[ $out == *"$expected"* ]] || { show consumer_leaks; fail "the leak report lacks: $expected"; }
  done
  [ "$status" = 0 ] || { show consumer_leaks; fail "the leaking program did not end with status 0"; }
  echo "package test: the installed leak tracker reported the forgotten blocks"
fi
echo "package test: the report on standard output, ended by SIGABRT; nothing without options"
