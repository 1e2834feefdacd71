#!/bin/bash
# Renders every manual page with man and fails on any formatter warning, and
# checks that its NAME line can be read by the manual indexer.
# Usage: manpage_test.sh MAN_DIR     (exit 77: no man here)
set -u
dir=$(cd "${1:?usage: manpage_test.sh MAN_DIR}" && pwd)
command -v man >/dev/null || { echo "SKIP: man is not installed"; exit 77; }
failures=0
for page in "$dir"/*.[1-9]; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "FAIL: $(basename "$page"): $warnings" >&2
    failures=$((failures + 1))
  fi
  if command -v lexgrog >/dev/null && ! lexgrog "$page" >/dev/null 2>&1; then
    echo "FAIL: $(basename "$page"): NAME section cannot be parsed" >&2
    failures=$((failures + 1))
  fi
done
[ $failures -eq 0 ] && echo "manual pages: ok"
[ $failures -eq 0 ]
