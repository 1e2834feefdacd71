#!/bin/bash
# Renders every manual page with man and fails on any formatter warning, and
# checks that its NAME line can be read by the manual indexer.
# Usage: manpage_test.sh MAN_DIR     (exit 77: no man here)
set -u
dir=$(cd "${1:?usage: manpage_test.sh MAN_DIR}" && pwd)
command -v man >/dev/null || { echo "SKIP: man is not installed"; exit 77; }
. "$(dirname "$0")/checks.sh"
for page in "$dir"/*.[1-9]; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  if command -v lexgrog >/dev/null && ! lexgrog "$page" >/dev/null 2>&1; then
    fail "$(basename "$page"): NAME section cannot be parsed"
  fi
done
finish "manual pages: ok"
