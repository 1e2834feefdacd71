#!/bin/sh
# Writes a demo configuration under the build folder and starts the agent in
# the foreground on it. Usage: scripts/demo-run.sh [build-folder]
set -eu
build=$(cd "${1:-build}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
demo="$build/demo"
mkdir -p "$demo/tmp"
password=$(od -An -N9 -tx1 /dev/urandom | tr -d ' \n')
cat >"$demo/orv.cfg" <<CFG
# Demo configuration written by 'make run'. Logs are kept beside this file.
orvpath=$build/orv
port=1055
password=$password
comment=demo agent
tmpdir=$demo/tmp
logsuccess=1
logfails=1
oklogfile=ok.log
badlogfile=bad.log
verboselogfile=verbose.log
proccntscript=$src/scripts/orv-proccount.sh
cpuusagescript=$src/scripts/orv-cpuusage.sh
proclistscript=$src/scripts/orv-proclist.sh
CFG
echo "demo configuration: $demo/orv.cfg"
echo "demo password: $password"
echo "try: $build/orvq -P $password GetInfo"
exec "$build/orv" -i -v "$demo/orv.cfg"
