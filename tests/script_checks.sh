# Checks shared by the package script tests; sourced, not run. The caller sets $scratch (where
# NAME.err of each run lies) and $status (the exit status of the last run).
failures=0
tab=$'\t'
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
expect_line() {  # expect_line WHAT FILE LINE: FILE holds LINE as a whole line
  grep -qxF -- "$3" "$2" || fail "$1: no line '$3'"
}
expect_no() {  # expect_no WHAT FILE TEXT: TEXT appears nowhere in FILE
  if grep -qF -- "$3" "$2"; then fail "$1: unexpected '$3'"; fi
}
expect_status() {  # expect_status NAME CODE: the last run, NAME, ended with CODE
  [ "$status" -eq "$2" ] || { fail "$1: exit status $status, expected $2"; cat "$scratch/$1.err" >&2; }
}
# Ends the test: status 1 with the count of failures, or 0.
finish() {
  [ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
  echo "$1 passed"
}
