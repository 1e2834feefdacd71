# Sourced by the shell tests: every failed check is printed and counted, and
# finish ends the test with the count.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# Fails with message $3 unless the output of command $1 (eval'd) is $2.
expect() {
  local got
  got=$(eval "$1" 2>&1)
  [ "$got" = "$2" ] || fail "$3: got '$got'"
}
# Exits 1 after a failed check, else prints $1.
finish() {
  [ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "$1"
}
