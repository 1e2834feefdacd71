#!/bin/sh
# Prints one line per running process: its id, a blank and its name, from
# /proc. ORV_PROC_ROOT replaces /proc (used by the tests).
#
# A process that ends while it is being looked at is skipped silently: the
# agent reads standard error together with standard output, so a shell
# message would arrive as a process line.
proc=${ORV_PROC_ROOT:-/proc}
for status in "$proc"/[0-9]*/status; do
  pid=${status#"$proc"/}
  pid=${pid%/status}
  read -r _ comm 2>/dev/null <"$status" || continue
  echo "$pid $comm"
done
