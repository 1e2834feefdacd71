#!/bin/sh
# Prints one line per running process: its id and its name, from /proc.
for status in /proc/[0-9]*/status; do
  pid=${status#/proc/}
  pid=${pid%/status}
  read -r _ comm <"$status" 2>/dev/null || continue
  echo "$pid $comm"
done
