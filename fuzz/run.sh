#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time each.
#
# Usage: fuzz/run.sh BUILD_DIR SECONDS
#
# Each target works on its own copy of the checked-in seeds under
# BUILD_DIR/corpus/<target> (the checkout is never written to), with its
# dictionary when there is one. Findings land in BUILD_DIR/artifacts. Exits
# non-zero when any target crashed, leaked, hung or ran out of memory.
set -uo pipefail
build=$(realpath "${1:?usage: run.sh BUILD_DIR SECONDS}")
seconds=${2:?usage: run.sh BUILD_DIR SECONDS}
src=$(cd "$(dirname "$0")" && pwd)

# The longest input worth trying per target, in bytes.
max_len() {
  case $1 in
    value_codec) echo 512 ;;
    expr | finder | addrlist) echo 1024 ;;
    settings) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

mkdir -p "$build/corpus" "$build/artifacts" "$build/logs"
failed=()
targets=("$build"/*_fuzz)
if [ ! -x "${targets[0]}" ]; then
  echo "fuzz: no targets in $build" >&2
  exit 1
fi
for bin in "${targets[@]}"; do
  name=$(basename "$bin" _fuzz)
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  [ -d "$src/corpus/$name" ] && cp -n "$src/corpus/$name"/* "$corpus"/ 2>/dev/null
  opts=(-max_total_time="$seconds" -max_len="$(max_len "$name")" -timeout=10
        -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$build/artifacts/$name-")
  [ -f "$src/$name.dict" ] && opts+=(-dict="$src/$name.dict")
  log="$build/logs/$name.log"
  if "$bin" "${opts[@]}" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz: $name ok, $runs runs, $speed/s"
  else
    echo "fuzz: $name FAILED (log: $log)"
    grep -E -A25 '^==[0-9]+==|SUMMARY|deadly|Test unit written' "$log" | head -60
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failures in: ${failed[*]}" >&2
  exit 1
fi
