#!/usr/bin/env bash
# Times "TEST-TextLog" reading a large appended log against grep -F -c on the
# same file, and prints the ratio (agent time / grep time).
#
# The request makes the agent read the whole file: ResumePos 0, a recorded
# size (1) that differs from the file's, check-all on, a plain case-sensitive
# text, so every line is looked at and the last match is reported. The agent's
# time includes one request round trip through orvq.
#
# Usage: bench/textlog.sh [build_dir]   (default: build)
# Sizes: LOG_MIB (default 1024), RUNS (default 3, the best run counts),
# TEXT (default ERROR; about one line in a thousand holds it).
# The data lives in a temporary folder removed at the end.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
LOG_MIB=${LOG_MIB:-1024}
RUNS=${RUNS:-3}
TEXT=${TEXT:-ERROR}
ORV=$BUILD/orv
ORVQ=$BUILD/orvq
[ -x "$ORV" ] && [ -x "$ORVQ" ] || { echo "build $ORV and $ORVQ first" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/orv-textlogbench.XXXXXX")
AGENT_PID=
cleanup() {
  if [ -n "$AGENT_PID" ]; then
    kill "$AGENT_PID" 2>/dev/null || true
    wait "$AGENT_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

LOG=$WORK/app.log
echo "log: $LOG_MIB MiB in $WORK"

# Log lines of varied length with a timestamp, a level and a message; about
# one line in a thousand is at the ERROR level. One 8 MiB piece is written
# over and over, each copy with its own sequence number so that the copies
# differ.
python3 - "$LOG" "$LOG_MIB" <<'EOF'
import random, sys
path, mib = sys.argv[1], int(sys.argv[2])
rnd = random.Random(1)
words = ["disk", "net", "request", "served", "user", "session", "cache", "miss", "hit",
         "timeout", "retry", "connection", "closed", "opened", "queue", "length", "ok"]
lines = []
size = 0
n = 0
while size < (8 << 20):
    level = "ERROR" if rnd.random() < 0.001 else rnd.choice(["INFO", "INFO", "DEBUG", "WARN"])
    msg = " ".join(rnd.choice(words) for _ in range(rnd.randint(3, 18)))
    line = "2024-05-%02d 12:%02d:%02d.%03d [%s] worker-%d %s id=%d\n" % (
        rnd.randint(1, 28), rnd.randint(0, 59), rnd.randint(0, 59), rnd.randint(0, 999),
        level, rnd.randint(1, 32), msg, n)
    lines.append(line)
    size += len(line)
    n += 1
piece = "".join(lines).encode()
with open(path, "wb") as f:
    written = 0
    copy = 0
    while written < (mib << 20):
        f.write(piece)
        f.write(b"copy %d done\n" % copy)
        written += len(piece)
        copy += 1
EOF

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
PASSWORD=bench-secret
cat > "$WORK/orv.cfg" <<EOF
port=$PORT
password=$PASSWORD
tmpdir=$WORK
orvpath=$ORV
textlog=1
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
# path, text, ResumePos 0, CheckedSize 1, CheckedAge 0, plain, check all,
# case-sensitive, not whole words.
scan() { ask TEST-TextLog "$LOG" "$TEXT" 0 1 0 0 1 1 0; }
count() { grep -F -c -- "$TEXT" "$LOG"; }

best() {
  local b= t0 t1 t
  for _ in $(seq "$RUNS"); do
    t0=$(date +%s.%N)
    # Not /dev/null: grep stops at the first match when its output goes there.
    "$@" > "$WORK/out"
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$b" ] || [ "$(echo "$t < $b" | bc -l)" = 1 ]; then b=$t; fi
  done
  echo "$b"
}

cat "$LOG" > /dev/null  # warm the page cache
echo "file size:     $(stat -c %s "$LOG") bytes"
echo "grep -F -c:    $(count) matching lines"
echo "TEST-TextLog:  $(scan | head -2 | tail -1 | tr -d ' ') is the last match's position; state: $(scan | tail -4 | tr '\n' ' ')"
a=$(best scan)
g=$(best count)
printf 'TEST-TextLog %8.3fs   grep -F -c %8.3fs   ratio %5.2fx\n' "$a" "$g" "$(echo "$a / $g" | bc -l)"
