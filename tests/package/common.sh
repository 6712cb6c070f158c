# Shared by the package tests (sourced): failing with a reason, and running a step quietly with
# its log shown on failure. Needs $work.
fail() {
  echo "FAILED: $*"
  exit 1
}
run_logged() {  # name command...
  local name=$1
  shift
  "$@" >"$work/$name.log" 2>&1 || {
    cat "$work/$name.log"
    fail "$name"
  }
}
