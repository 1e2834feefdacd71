#!/usr/bin/env bash
# Times the agent's file work against the usual command-line tools on the
# same data, side by side, and prints the ratios (agent time / tool time):
#   TEST-FolderSize on a tree   vs  du -sb
#   TEST-CountFiles on a tree   vs  find | wc -l
#   TEST-FileCRC on a big file  vs  cksum and zlib's crc32 (python3)
#   TEST-FileCompare mode 1     vs  cmp
# The agent's times include one request round trip through orvq.
#
# Usage: bench/file_work.sh [build_dir]   (default: build)
# Sizes: FILES (default 100000 files), BIG_MIB (default 1024), RUNS (default 3,
# the best run counts). Data lives in a temporary folder removed at the end.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
FILES=${FILES:-100000}
BIG_MIB=${BIG_MIB:-1024}
RUNS=${RUNS:-3}
ORV=$BUILD/orv
ORVQ=$BUILD/orvq
[ -x "$ORV" ] && [ -x "$ORVQ" ] || { echo "build $ORV and $ORVQ first" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orv-filebench.XXXXXX")
AGENT_PID=
cleanup() {
  if [ -n "$AGENT_PID" ]; then
    kill "$AGENT_PID" 2>/dev/null || true
    wait "$AGENT_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "data in $WORK: $FILES files, ${BIG_MIB} MiB files"

# A tree of $FILES files: 100 files per folder, 10 folders per parent.
python3 - "$WORK/tree" "$FILES" <<'EOF'
import os, sys
root, total = sys.argv[1], int(sys.argv[2])
per_dir, fan = 100, 10
made, dirs, n = 0, [root], 0
os.makedirs(root)
while made < total:
    d = root
    if n:
        d = os.path.join(dirs[(n - 1) // fan], "d%d" % n)
        os.mkdir(d)
        dirs.append(d)
    for i in range(min(per_dir, total - made)):
        with open(os.path.join(d, "f%d.log" % i), "wb") as f:
            f.write(b"x" * ((made * 37) % 4096))
        made += 1
    n += 1
EOF

head -c $((BIG_MIB * 1024 * 1024)) /dev/urandom > "$WORK/big1"
cp "$WORK/big1" "$WORK/big2"

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
PASSWORD=bench-secret
cat > "$WORK/orv.cfg" <<EOF
port=$PORT
password=$PASSWORD
tmpdir=$WORK
orvpath=$ORV
foldersize=1
countfiles=1
filecrc=1
comparefiles=1
EOF
(cd "$WORK" && exec "$ORV" -i "$WORK/orv.cfg" > "$WORK/agent.out" 2>&1) &
AGENT_PID=$!
up=
for _ in $(seq 100); do
  if "$ORVQ" -p "$PORT" -P "$PASSWORD" -t 2000 GetInfo > /dev/null 2>&1; then up=1; break; fi
  sleep 0.1
done
[ -n "$up" ] || { echo "the agent did not start:" >&2; cat "$WORK/agent.out" >&2; exit 1; }

ask() { "$ORVQ" -p "$PORT" -P "$PASSWORD" -t 600000 "$@"; }

# Best wall time of RUNS runs of a command, in seconds.
best() {
  local b= t0 t1 t
  for _ in $(seq "$RUNS"); do
    t0=$(date +%s.%N)
    "$@" > /dev/null
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$b" ] || [ "$(echo "$t < $b" | bc -l)" = 1 ]; then b=$t; fi
  done
  echo "$b"
}

row() {  # name agent_seconds tool_name tool_seconds
  printf '%-18s agent %8.3fs   %-14s %8.3fs   ratio %5.2fx\n' "$1" "$2" "$3" "$4" \
    "$(echo "$2 / $4" | bc -l)"
}

# Warm the page cache and the directory caches.
du -sb "$WORK/tree" > /dev/null
cat "$WORK/big1" "$WORK/big2" > /dev/null

# The answers, beside the same values computed by other means.
echo "FolderSize: $(ask TEST-FolderSize "$WORK/tree" 1 | tr '\n' ' ')  files by find: $(find "$WORK/tree" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')"
echo "CountFiles: $(ask TEST-CountFiles "$WORK/tree" '*' 1 0 0 | tr '\n' ' ')  files by find: $(find "$WORK/tree" -type f | wc -l)"
echo "FileCRC:    $(ask TEST-FileCRC "$WORK/big1" | tr '\n' ' ')  complement of zlib crc32: $(python3 -c 'import sys, zlib; print(zlib.crc32(open(sys.argv[1], "rb").read()) ^ 0xFFFFFFFF)' "$WORK/big1")"
echo "Compare:    $(ask TEST-FileCompare 1 "$WORK/big1" "$WORK/big2" 0 1 1 | tr '\n' ' ')"

# zlib's crc32 timed inside python, so that the interpreter's start-up does
# not count against it: the best of RUNS reads of the whole file.
zlib_seconds() { python3 -c '
import sys, time, zlib
best = None
for _ in range(int(sys.argv[2])):
    t0 = time.perf_counter()
    crc = 0
    with open(sys.argv[1], "rb") as f:
        while True:
            b = f.read(1 << 20)
            if not b: break
            crc = zlib.crc32(b, crc)
    t = time.perf_counter() - t0
    best = t if best is None else min(best, t)
print("%.6f" % best)' "$1" "$RUNS"; }
count_find() { find "$WORK/tree" | wc -l; }

echo
a=$(best ask TEST-FolderSize "$WORK/tree" 1); t=$(best du -sb "$WORK/tree"); row "TEST-FolderSize" "$a" "du -sb" "$t"
a=$(best ask TEST-CountFiles "$WORK/tree" '*' 1 0 0); t=$(best count_find); row "TEST-CountFiles" "$a" "find | wc -l" "$t"
a=$(best ask TEST-FileCRC "$WORK/big1"); t=$(best cksum "$WORK/big1"); row "TEST-FileCRC" "$a" "cksum" "$t"
t=$(zlib_seconds "$WORK/big1"); row "TEST-FileCRC" "$a" "zlib crc32" "$t"
a=$(best ask TEST-FileCompare 1 "$WORK/big1" "$WORK/big2" 0 1 1); t=$(best cmp "$WORK/big1" "$WORK/big2")
row "TEST-FileCompare" "$a" "cmp" "$t"
