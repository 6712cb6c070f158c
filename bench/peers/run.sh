#!/usr/bin/env bash
# Builds this runtime's benchmark and the gSOAP and KDSoap peers, starts the loopback
# responder, runs the three on the same scenarios in rounds and prints one table: the best
# time per operation of each across the rounds and the ratio of each peer to this runtime
# (above 1: slower than this runtime). Complete calls are also shown as calls per second.
#
#   bash bench/peers/run.sh [--rounds N] [--min-time S] [--filter REGEX] [--no-install]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

rounds=5 min_time=0.5 filter=. install=1
while (($#)); do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --min-time) min_time=$2; shift 2 ;;
    --filter) filter=$2; shift 2 ;;
    --no-install) install=0; shift ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

if ((install)); then
  bash tools/setup-debian.sh
  peers=(gsoap libgsoap-dev libkdsoap-dev libkdsoap-bin qtbase5-dev)
  if ! dpkg -s "${peers[@]}" >/dev/null 2>&1; then
    sudo=; ((EUID == 0)) || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${peers[@]}" >/dev/null
  fi
fi

out=$root/build-peers
mkdir -p "$out"
echo "== building" >&2
# Every side in Release, so that compiler settings do not decide the comparison.
cmake -S . -B "$out/zelk" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELK_BUILD_GUI=OFF >/dev/null
cmake --build "$out/zelk" --target soap_bench bench_responder >/dev/null
for peer in gsoap kdsoap; do
  # A peer that does not build is left out of the table, not the whole comparison.
  if ! { cmake -S "bench/peers/$peer" -B "$out/$peer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
           -DZELK_SOURCE_DIR="$root" && cmake --build "$out/$peer"; } >"$out/$peer.build.log" 2>&1; then
    echo "warning: the $peer peer did not build; see $out/$peer.build.log" >&2
  fi
done

coproc RESPONDER { exec "$out/zelk/bench/bench_responder"; }
trap 'kill "$RESPONDER_PID" 2>/dev/null || true' EXIT
read -r url <&"${RESPONDER[0]}"
export ZELK_BENCH_URL=$url
export QT_QPA_PLATFORM=offscreen

run() {  # name binary
  [[ -x $2 ]] || return 0
  "$2" --benchmark_filter="$filter" --benchmark_min_time="$min_time" \
    --benchmark_format=csv 2>/dev/null >>"$out/$1.csv"
}
# Rounds, each running every client once: a slow phase of this shared machine then touches
# all of them alike instead of deciding one client's figures.
rm -f "$out"/{zelk,gsoap,kdsoap}.csv
for ((round = 1; round <= rounds; round++)); do
  echo "== round $round of $rounds" >&2
  run zelk "$out/zelk/bench/soap_bench"
  run gsoap "$out/gsoap/gsoap_peer_bench"
  run kdsoap "$out/kdsoap/kdsoap_peer_bench"
done
# A scenario that failed says why instead of giving a figure.
for side in zelk gsoap kdsoap; do
  [[ -f $out/$side.csv ]] || continue
  awk -F, -v side="$side" '$0 ~ /,true,/ && !seen[$1]++ { print "warning: " side " " $1 ": " $10 }' "$out/$side.csv" >&2
done

echo
echo "$(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC'); best of $rounds rounds; '-': no figure (see the warnings)"
# CSV rows: name,iterations,real_time,cpu_time,time_unit,...,error_occurred,error_message
awk -F, '
  FNR == 1 { side = FILENAME; sub(/.*\//, "", side); sub(/\.csv$/, "", side) }
  $1 ~ /^"/ && $0 !~ /,true,/ {
    name = $1; gsub(/"/, "", name)
    if (!(name in seen)) { seen[name] = 1; order[++n] = name }
    us = $3; if ($5 ~ /ns/) us /= 1000; else if ($5 ~ /ms/) us *= 1000; else if ($5 ~ /^"?s"?$/) us *= 1e6
    v[side, name, ++c[side, name]] = us
  }
  # Interference from the rest of the machine only ever slows a round down, so the fastest
  # round is the closest to what the code itself costs.
  function best(side, name,   k, m, x) {
    m = v[side, name, 1]
    for (k = 2; k <= c[side, name]; k++) { x = v[side, name, k]; if (x < m) m = x }
    return m
  }
  function cell(side, name) {
    if ((side, name) in t) return sprintf("%.1f", t[side, name])
    return "-"
  }
  function ratio(side, name) {
    if (!((side, name) in t) || !(("zelk", name) in t) || t["zelk", name] == 0) return "-"
    return sprintf("%.2f", t[side, name] / t["zelk", name])
  }
  END {
    for (key in c) { split(key, p, SUBSEP); t[p[1], p[2]] = best(p[1], p[2]) }
    printf "| %-17s | %16s | %15s | %11s | %15s | %12s |\n", "scenario", "this runtime µs", "gSOAP µs", "gSOAP ratio", "KDSoap µs", "KDSoap ratio"
    printf "|%s|%s:|%s:|%s:|%s:|%s:|\n", "-------------------", "-----------------", "----------------", "-------------", "----------------", "--------------"
    for (i = 1; i <= n; i++) {
      s = order[i]
      printf "| %-17s | %15s | %14s | %11s | %14s | %12s |\n", s, cell("zelk", s), cell("gsoap", s), ratio("gsoap", s), cell("kdsoap", s), ratio("kdsoap", s)
    }
    if (("zelk", "Call") in t) {
      printf "\ncalls per second:"
      split("zelk gsoap kdsoap", sides, " ")
      label["zelk"] = "this runtime"; label["gsoap"] = "gSOAP"; label["kdsoap"] = "KDSoap"
      for (k = 1; k <= 3; k++) if ((sides[k], "Call") in t) printf " %s %.0f;", label[sides[k]], 1e6 / t[sides[k], "Call"]
      printf "\n"
    }
  }' "$out"/zelk.csv $(ls "$out"/gsoap.csv "$out"/kdsoap.csv 2>/dev/null)
