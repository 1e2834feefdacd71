#!/bin/sh
# Prints the number of running processes whose name is $1, as the first thing
# on standard output. Reads /proc directly, so it works on any Linux without
# extra packages. ORV_PROC_ROOT replaces /proc (used by the tests).
#
# The kernel keeps at most 15 bytes of a process name, so a longer name is
# compared by its first 15 bytes.
#
# Nothing may reach standard error before the count: the agent reads this
# script's standard output and standard error from one file and expects the
# number first. A process that ends while it is being looked at is skipped
# silently (the error redirection comes before the input redirection, so the
# shell's own "cannot open" message is discarded too).
proc=${ORV_PROC_ROOT:-/proc}
name=${1:-}
if [ "${#name}" -gt 15 ]; then
  name=$(printf '%.15s' "$name")
fi
count=0
for status in "$proc"/[0-9]*/status; do
  read -r _ comm 2>/dev/null <"$status" || continue
  if [ "$comm" = "$name" ]; then
    count=$((count + 1))
  fi
done
echo "$count"
