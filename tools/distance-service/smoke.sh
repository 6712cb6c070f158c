#!/usr/bin/env bash
# Smoke check of the distance service: starts it on a free loopback port, sends the desktop
# client's exact request for each route option plus a few bad ones, checks the answers and
# stops it again.
#
# usage: smoke.sh [--build-dir DIR] [--save-samples DIR]
#   --save-samples DIR  also keep the requests, answers, fault answers and the reports the
#                       client would print for them in DIR
# Exit 0 when every check passed.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

BUILD_DIR="$DS_DEFAULT_BUILD_DIR"
SAVE_DIR=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) [ $# -ge 2 ] || exit 2; BUILD_DIR=$2; shift 2 ;;
    --save-samples) [ $# -ge 2 ] || exit 2; SAVE_DIR=$2; shift 2 ;;
    *) echo "smoke.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
ds_need curl
ds_need java
BUILD_DIR=$(ds_absdir "$BUILD_DIR")
bash "$DS_SRC_DIR/build.sh" "$BUILD_DIR"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/distance-smoke.XXXXXX")
cleanup() {
  bash "$DS_SRC_DIR/stop.sh" --state-dir "$WORK/state" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# A limit of 6 lets the check reach the over-limit answer: five options, then one more.
URL=$(bash "$DS_SRC_DIR/start.sh" --port 0 --day-limit 6 --state-dir "$WORK/state" --build-dir "$BUILD_DIR")
case "$URL" in
  http://127.0.0.1:*) ;;
  *) ds_die "start.sh gave no loopback URL: '$URL'" ;;
esac
echo "service at $URL"

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok   $*"; }
bad() { failed=$((failed + 1)); echo "FAIL $*"; }

# The request exactly as the client writes it: no line breaks, generated prefix NS1 on the
# method element, encodingStyle on Body, unqualified typed parameters.
request() {
  local code=$1 pin=${2:-QXVJ} access=${3:-QXVJ}
  shift 3 2>/dev/null || shift $#
  local ports=("$@")
  [ ${#ports[@]} -gt 0 ] || ports=(Busan London Mobile)
  local items="" p
  for p in "${ports[@]}"; do items="$items<item>$p</item>"; done
  printf '%s' '<?xml version="1.0"?>' \
    '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"' \
    ' xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"' \
    ' xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/">' \
    '<SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">' \
    '<NS1:getDistance xmlns:NS1="http://ws.zelk.example">' \
    "<pinCode xsi:type=\"xsd:string\">$pin</pinCode>" \
    "<accessCode xsi:type=\"xsd:string\">$access</accessCode>" \
    "<portNames xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:string[${#ports[@]}]\">$items</portNames>" \
    "<PiracyCode xsi:type=\"xsd:string\">$code</PiracyCode>" \
    '</NS1:getDistance></SOAP-ENV:Body></SOAP-ENV:Envelope>'
}

# post NAME: sends $WORK/NAME.request, keeps NAME.xml and NAME.headers, prints the status.
post() {
  local name=$1
  curl -sS --noproxy '*' --max-time 30 -X POST \
    -H 'SOAPAction: ""' -H 'Content-Type: text/xml; charset="utf-8"' -H 'Expect:' \
    --data-binary @"$WORK/$name.request" -D "$WORK/$name.headers" -o "$WORK/$name.xml" \
    -w '%{http_code}' "$URL" || echo "curl-failed"
}

report() {
  java -cp "$BUILD_DIR/classes" example.zelk.ws.check.AnswerReport "$@"
}

# call NAME STATUS CHECK-ARGS... -- REQUEST-ARGS...
call() {
  local name=$1 want=$2; shift 2
  local check=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do check+=("$1"); shift; done
  shift
  request "$@" >"$WORK/$name.request"
  local status
  status=$(post "$name")
  if [ "$status" != "$want" ]; then
    bad "$name: HTTP status $status, expected $want"
    return 1
  fi
  if ! grep -qi '^content-type: text/xml' "$WORK/$name.headers"; then
    bad "$name: answer is not text/xml"
    return 1
  fi
  if report "$WORK/$name.xml" "${check[@]}" >"$WORK/$name.txt" 2>"$WORK/$name.err"; then
    return 0
  fi
  bad "$name: $(cat "$WORK/$name.err")"
  return 1
}

line() { sed -n "$2p" "$WORK/$1.txt"; }

for code in 001 002 003 004 005; do
  if call "answer-$code" 200 --expect-retcode 0 -- "$code"; then
    used=$(grep '^Day Used : ' "$WORK/answer-$code.txt" | cut -d' ' -f4)
    legs=$(grep -c '^    >' "$WORK/answer-$code.txt" || true)
    refs=$(grep -o '<multiRef ' "$WORK/answer-$code.xml" | wc -l)
    if [ "$legs" = 2 ] && grep -q '^    >Busan -> London ' "$WORK/answer-$code.txt" \
      && grep -q '^    >London -> Mobile ' "$WORK/answer-$code.txt" && [ "$refs" -gt 10 ] \
      && [ "$used" = "${code#00}" ]; then
      ok "route option $code: $(line "answer-$code" 5), $refs multi-ref elements, day used $used"
    else
      bad "route option $code: legs=$legs multiRefs=$refs used=$used"
    fi
  fi
done

# The options must give different routes (the usage line aside).
distinct=$(for code in 001 002 003 004 005; do
  [ -f "$WORK/answer-$code.txt" ] && grep -v '^Day Used' "$WORK/answer-$code.txt" | md5sum
done | sort -u | wc -l)
if [ "$distinct" = 5 ]; then ok "the five route options give five different routes"; else bad "only $distinct different routes"; fi
# The Atlantic leg does not depend on the option.
atl=$(for code in 001 005; do sed -n '/^    >London -> Mobile/,$p' "$WORK/answer-$code.txt" | md5sum; done | sort -u | wc -l)
if [ "$atl" = 1 ]; then ok "London -> Mobile is the same under every option"; else bad "London -> Mobile differs by option"; fi

if call answer-bad-codes 200 --expect-retcode 2 -- 001 XXXX QXVJ \
  && [ "$(line answer-bad-codes 2)" = "Return Message : Invalid PIN or access code" ] \
  && [ "$(grep -c '' "$WORK/answer-bad-codes.txt")" = 6 ]; then
  ok "wrong PIN: retCode 2, 'Invalid PIN or access code', no route"
else
  bad "wrong PIN answer: $(tr '\n' '|' <"$WORK/answer-bad-codes.txt" 2>/dev/null)"
fi
if call answer-bad-access 200 --expect-retcode 2 -- 001 QXVJ qxvj; then ok "wrong access code: retCode 2"; fi
if call answer-unknown-option 200 --expect-retcode 1 -- 007; then ok "unknown route option: $(line answer-unknown-option 2)"; fi
if call answer-unknown-port 200 --expect-retcode 3 -- 001 QXVJ QXVJ Busan Atlantis Mobile; then
  ok "unknown port: $(line answer-unknown-port 2)"
fi
if call answer-no-leg 200 --expect-retcode 4 -- 001 QXVJ QXVJ Busan Mobile; then ok "no route: $(line answer-no-leg 2)"; fi
if call answer-no-option 200 --expect-retcode 0 -- ""; then
  if diff <(sed -n '5,$p' "$WORK/answer-no-option.txt") <(sed -n '5,$p' "$WORK/answer-001.txt") >/dev/null; then
    ok "empty route option: shortest route, $(line answer-no-option 2)"
  else
    bad "empty route option does not give the shortest route"
  fi
fi
if call answer-day-limit 200 --expect-retcode 5 -- 001 \
  && [ "$(line answer-day-limit 4)" = "Day Used : 6" ]; then
  ok "over the daily limit: $(line answer-day-limit 2)"
fi

request 001 >"$WORK/fault-missing-parameter.request"
sed -i 's#<PiracyCode xsi:type="xsd:string">001</PiracyCode>##' "$WORK/fault-missing-parameter.request"
status=$(post fault-missing-parameter)
if [ "$status" = 500 ] && report "$WORK/fault-missing-parameter.xml" --expect-fault Client \
  >"$WORK/fault-missing-parameter.txt" 2>"$WORK/fault-missing-parameter.err"; then
  ok "missing parameter: HTTP 500, $(tr '\n' ' ' <"$WORK/fault-missing-parameter.txt")"
else
  bad "missing parameter: status $status $(cat "$WORK/fault-missing-parameter.err" 2>/dev/null)"
fi

request 001 >"$WORK/fault-no-such-operation.request"
sed -i 's#NS1:getDistance#NS1:getDistances#g' "$WORK/fault-no-such-operation.request"
status=$(post fault-no-such-operation)
if [ "$status" = 500 ] && report "$WORK/fault-no-such-operation.xml" --expect-fault Client \
  >"$WORK/fault-no-such-operation.txt" 2>"$WORK/fault-no-such-operation.err"; then
  ok "wrong operation: HTTP 500, $(tr '\n' ' ' <"$WORK/fault-no-such-operation.txt")"
else
  bad "wrong operation: status $status $(cat "$WORK/fault-no-such-operation.err" 2>/dev/null)"
fi

# Still serving after the faults.
if call answer-after-faults 200 --expect-retcode 5 -- 002; then ok "still answering after the faults"; fi

if ! bash "$DS_SRC_DIR/stop.sh" --state-dir "$WORK/state" >/dev/null 2>&1; then
  bad "stop.sh failed"
elif curl -s --noproxy '*' --max-time 5 -o /dev/null "$URL" 2>/dev/null; then
  bad "the service still answers after stop.sh"
else
  ok "stopped"
fi

if [ -n "$SAVE_DIR" ]; then
  mkdir -p "$SAVE_DIR"
  for code in 001 002 003 004 005; do
    cp "$WORK/answer-$code.request" "$SAVE_DIR/request-$code.xml"
  done
  for name in answer-001 answer-002 answer-003 answer-004 answer-005 answer-bad-codes answer-unknown-option \
    answer-unknown-port answer-no-option answer-day-limit fault-missing-parameter fault-no-such-operation; do
    cp "$WORK/$name.xml" "$SAVE_DIR/$name.xml"
    cp "$WORK/$name.txt" "$SAVE_DIR/$name.report.txt"
  done
  cp "$WORK/answer-001.headers" "$SAVE_DIR/answer-001.headers.txt"
  cp "$WORK/fault-missing-parameter.headers" "$SAVE_DIR/fault-missing-parameter.headers.txt"
  echo "samples saved in $SAVE_DIR"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
