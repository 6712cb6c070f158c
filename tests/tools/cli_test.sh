#!/usr/bin/env bash
# The console companion's contract: --help, usage errors, and a failed call (status 1, the
# exception on stderr, nothing on stdout).
set -u
cli="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }

out=$("$cli" --help) || fail "--help exited $?"
grep -q -- "--url URL" <<<"$out" || fail "--help does not describe --url"
grep -q -- "--option N" <<<"$out" || fail "--help does not describe --option"

"$cli" --bogus >/dev/null 2>&1; [ $? -eq 2 ] || fail "an unknown argument is not a usage error"
"$cli" --option x >/dev/null 2>&1; [ $? -eq 2 ] || fail "a non-numeric option is not a usage error"

# Port 1 on loopback: nothing listens there, the connection is refused at once.
stdout=$(mktemp); stderr=$(mktemp)
trap 'rm -f "$stdout" "$stderr"' EXIT
"$cli" --url http://127.0.0.1:1/ZelkSystem/services/ZelkDistanceVersion3 --option 2 >"$stdout" 2>"$stderr"
status=$?
[ $status -eq 1 ] || fail "unreachable service: status $status, expected 1"
[ ! -s "$stdout" ] || fail "unreachable service: something was printed on stdout"
grep -q "^ESOAPHTTPException: " "$stderr" || fail "unreachable service: stderr was: $(cat "$stderr")"

"$cli" --url ftp://127.0.0.1/x >"$stdout" 2>"$stderr"
[ $? -eq 1 ] || fail "ftp url: expected status 1"
grep -q "^ESOAPHTTPException: Invalid url 'ftp://127.0.0.1/x' - only supports 'http' and 'https' schemes$" "$stderr" \
  || fail "ftp url: stderr was: $(cat "$stderr")"
echo "cli_test: ok"
