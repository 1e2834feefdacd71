#!/bin/sh
# Prints the number of running processes whose name is $1.
# Reads /proc directly, so it works on any Linux without extra packages.
name=${1:-}
count=0
for status in /proc/[0-9]*/status; do
  read -r _ comm <"$status" 2>/dev/null || continue
  [ "$comm" = "$name" ] && count=$((count + 1))
done
echo "$count"
