#!/bin/sh
# Prints the processor usage in percent over a short interval, from the
# counters of /proc/stat.
sample() {
  read -r _ user nice system idle iowait irq softirq steal _ </proc/stat
  busy=$((user + nice + system + irq + softirq + steal))
  total=$((busy + idle + iowait))
}
sample
busy1=$busy total1=$total
sleep 0.5
sample
dt=$((total - total1))
db=$((busy - busy1))
if [ "$dt" -le 0 ]; then
  echo "0.0"
else
  echo "$((db * 100 / dt)).$(((db * 1000 / dt) % 10))"
fi
