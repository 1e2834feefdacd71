#!/bin/sh
# Prints the processor usage in percent (all processors together, one
# decimal) over half a second, from the counters of the "cpu" line of
# /proc/stat. ORV_PROC_ROOT replaces /proc (used by the tests).
proc=${ORV_PROC_ROOT:-/proc}
sample() {
  busy=0
  total=0
  read -r _ user nice system idle iowait irq softirq steal _ 2>/dev/null <"$proc/stat" || return
  busy=$((user + nice + system + irq + softirq + ${steal:-0}))
  total=$((busy + idle + ${iowait:-0}))
}
sample
busy1=$busy total1=$total
sleep 0.5
sample
dt=$((total - total1))
db=$((busy - busy1))
if [ "$dt" -le 0 ] || [ "$db" -lt 0 ]; then
  echo "0.0"
else
  echo "$((db * 100 / dt)).$(((db * 1000 / dt) % 10))"
fi
