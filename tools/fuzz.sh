#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) into
# build-fuzz/ and runs each one for a given time from its seed corpus in tests/fuzz/corpus/.
# The corpus grows in build-fuzz/work/<target>/corpus, so the checked-in seeds stay small;
# findings (crash-*, leak-*, timeout-*, oom-*) land in build-fuzz/work/<target>/.
#
#   tools/fuzz.sh [--seconds N] [target...]     targets: xmldoc response scalars log dns (default: all)
#
# Exits non-zero when a target reports a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --seconds=*) seconds="${1#*=}"; shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(xmldoc response scalars log dns)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
PACKAGES=(cmake ninja-build pkg-config libxml2-dev libcurl4-openssl-dev zlib1g-dev clang libclang-rt-14-dev)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELK_FUZZ=ON -DZELK_BUILD_GUI=OFF -DZELK_BUILD_TESTS=OFF >/dev/null
ninja -C build-fuzz "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
summary=()
failed=0
for t in "${targets[@]}"; do
  work="build-fuzz/work/$t"
  mkdir -p "$work/corpus"
  cp -n tests/fuzz/corpus/"$t"/* "$work/corpus/"
  args=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=65536 -print_final_stats=1
        -artifact_prefix="$work/")
  case "$t" in scalars|log|dns) ;; *) args+=(-dict=tests/fuzz/xml.dict) ;; esac
  echo "== fuzz_$t for ${seconds}s"
  rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$work"/slow-unit-*
  set +e
  "build-fuzz/tests/fuzz/fuzz_$t" "${args[@]}" "$work/corpus" >"$work/fuzz.log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$work/fuzz.log" | tail -1 | cut -d' ' -f2)
  findings=$(find "$work" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ "$rc" -ne 0 ] && [ "$findings" -eq 0 ]; then findings=1; fi
  summary+=("$(printf '%-9s %6ss  execs %-10s cov %-6s corpus %-5s findings %s' "$t" "$seconds" "${execs:-?}" \
    "${cov:-?}" "$(ls "$work/corpus" | wc -l)" "$findings")")
  if [ "$findings" -ne 0 ]; then
    failed=1
    echo "fuzz_$t: finding (exit $rc), see $work/fuzz.log"
    tail -n 30 "$work/fuzz.log"
  fi
done
echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
