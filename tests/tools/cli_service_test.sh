#!/usr/bin/env bash
# The console companion against the local distance service: for each route option the report
# equals the one expected for the service's answer (the usage counter aside).
set -u
cli="$1"; state="$2"; samples="$3"
fail() { echo "FAIL: $*" >&2; exit 1; }
url=$(cat "$state/service.url") || fail "the distance service is not running (no $state/service.url)"
case "$url" in http://127.0.0.1:*) ;; *) fail "not a loopback service: $url" ;; esac
export LC_ALL=en_US.UTF-8

strip() { grep -v -e '^Day Used : ' -e '^Day Limit : '; }
for option in 0 1 2 3 4; do
  code=$(printf '%03d' $((option + 1)))
  got=$("$cli" --url "$url" --option "$option" 2>&1) || fail "option $option: $got"
  diff <(strip <<<"$got") <(strip <"$samples/answer-$code.report.txt") >/dev/null \
    || fail "option $option: report differs:
$(diff <(strip <<<"$got") <(strip <"$samples/answer-$code.report.txt") | head -20)"
  grep -q '^Day Used : [1-9]' <<<"$got" || fail "option $option: no usage counted"
done

# No option selected: an empty route code still makes the call.
got=$("$cli" --url "$url" --option 7 2>&1) || fail "no option: $got"
diff <(strip <<<"$got") <(strip <"$samples/answer-no-option.report.txt") >/dev/null || fail "no option: report differs"
echo "cli_service_test: 6 passed, 0 failed"
