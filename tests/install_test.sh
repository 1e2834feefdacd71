#!/bin/bash
# Installs a build with DESTDIR for the prefixes /usr and /opt/orv and checks
# the files and modes (tests/data/installed_files), the paths in orv.cfg and
# the unit, that an existing orv.cfg is kept, and that the installed agent,
# started by the unit's command line as a daemon, serves, logs, reloads,
# stays silent on the journal and stops on QUIT.
# Usage: install_test.sh BUILD_DIR
set -u
build=$(cd "${1:?usage: install_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/orv-install-test.XXXXXX")
agent_pid=
trap '[ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null; rm -rf "$work"' EXIT
. "$src/tests/checks.sh"
cfg_value() { sed -n "s/^$2=//p" "$1" | tr -d '\r' | head -n 1; }
unit_value() { sed -n "s/^$2=//p" "$1/usr/lib/systemd/system/orv.service" | head -n 1; }
# True while process $1 runs (a zombie does not: nobody here reaps a daemon).
running() { [ -d "/proc/$1" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null; }
# Polls command $1 (eval'd) for up to 5 s.
within_5s() {
  local i
  for i in $(seq 50); do eval "$1" && return 0; sleep 0.1; done
  return 1
}
install_into() {
  DESTDIR="$1" cmake --install "$build" --prefix "$2" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install into $1 with prefix $2"; }
}

check_tree() {
  local prefix=$1 dest="$work/tree${1//\//_}" key value
  install_into "$dest" "$prefix"
  diff <(sed "s|PREFIX|${prefix#/}|" "$src/tests/data/installed_files" | sort -k2) \
    <(cd "$dest" && find . \( -type f -o -type l \) -printf '%M %P\n' | sort -k2) >&2 ||
    fail "files installed with prefix $prefix"
  [ -d "$dest/var/log/orv" ] || fail "no log folder /var/log/orv with prefix $prefix"
  local cfg="$dest/etc/orv/orv.cfg"
  for key in orvpath cpuusagescript proclistscript proccntscript; do
    value=$(cfg_value "$cfg" $key)
    [[ $value == "$prefix"/* && -x "$dest$value" ]] || fail "$key is '$value' with prefix $prefix"
  done
  for key in oklogfile badlogfile verboselogfile; do
    [[ $(cfg_value "$cfg" $key) == /var/log/orv/* ]] || fail "$key is not under /var/log/orv"
  done
  [ -d "$(cfg_value "$cfg" tmpdir)" ] || fail "tmpdir '$(cfg_value "$cfg" tmpdir)' does not exist"
  diff <(sed "s|=$prefix/|=/usr/|" "$cfg") "$src/etc/orv.cfg" >&2 ||
    fail "orv.cfg differs from etc/orv.cfg beyond its paths"
  local line
  for line in "Type=forking" "ExecStart=$prefix/sbin/orv -d /etc/orv/orv.cfg" \
    "PIDFile=$(cfg_value "$cfg" pidfile)" 'ExecReload=/bin/kill -HUP $MAINPID'; do
    grep -qxF "$line" "$dest$prefix/lib/systemd/system/orv.service" ||
      fail "orv.service lacks '$line' with prefix $prefix"
  done
}

check_existing_config_kept() {
  mkdir -p "$work/kept/etc/orv"
  printf 'port=4242\npassword=mine\n' >"$work/kept/etc/orv/orv.cfg"
  # An older file: an install leaves a file of the same second alone anyway.
  touch -d 2001-01-01 "$work/kept/etc/orv/orv.cfg"
  install_into "$work/kept" /usr
  expect "cat '$work/kept/etc/orv/orv.cfg'" "$(printf 'port=4242\npassword=mine')" \
    "an existing /etc/orv/orv.cfg was replaced"
}

# Starts the installed agent with the unit's command line on the installed
# configuration with its paths moved into DESTDIR $1, a password, port $2 and
# a pid file of its own; standard output goes to agent.out as to the journal.
start_agent() {
  local dest=$1 cfg=$work/run.cfg cmd
  sed -e "s|^\([a-z]*\)=/usr/|\1=$dest/usr/|" -e "s|=/var/log/orv/|=$dest/var/log/orv/|" \
    -e "s|^password=.*|password=installtest|" -e "s|^port=.*|port=$2|" \
    -e "s|^tmpdir=.*|tmpdir=$work/tmp|" -e "s|^pidfile=.*|pidfile=$work/orv.pid|" \
    "$dest/etc/orv/orv.cfg" >"$cfg"
  cmd=$(unit_value "$dest" ExecStart | sed -e "s|^/|$dest/|" -e "s|/etc/orv/orv.cfg|$cfg|")
  rm -f "$work/orv.pid"
  timeout 60 $cmd >"$work/agent.out" 2>&1
}

check_installed_agent_runs() {
  local dest="$work/tree_usr" port status=1 lines
  mkdir -p "$work/tmp"
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    start_agent "$dest" "$port" && status=0 && break
    grep -q "TCP listen error" "$work/agent.out" || break  # not a busy port: give up
  done
  [ $status -eq 0 ] || { cat "$work/agent.out" >&2; fail "the installed agent did not start"; return; }
  agent_pid=$(cat "$work/orv.pid" 2>/dev/null)
  [ -n "$agent_pid" ] || { fail "no pid file when the starting process ended"; return; }
  grep -qx "Daemon started" "$work/agent.out" || fail "no 'Daemon started' on the standard output"
  lines=$(wc -l <"$work/agent.out")
  local orvq="$dest/usr/bin/orvq -p $port -P installtest -t 5000"
  expect "$orvq GetInfo | head -n 1" 200 "GetInfo"
  # The installed helper script counts at least the agent itself.
  $orvq TEST-Process '' orv | tr '\n' ' ' | grep -qE '^200 [1-9][0-9]* $' || fail "TEST-Process orv"
  $orvq NoSuchCommand >/dev/null 2>&1
  grep -q "Unknown command" "$dest/var/log/orv/bad.log" 2>/dev/null ||
    fail "a failed request was not logged into the installed log folder"
  printf 'comment=reloaded by the unit\n' >>"$work/run.cfg"
  local reload
  reload=$(unit_value "$dest" ExecReload | sed "s|\$MAINPID|$agent_pid|")
  $reload || fail "reload command '$reload' failed"
  within_5s "$orvq GetInfo 2>/dev/null | grep -q '^Comment=reloaded by the unit'" ||
    fail "the daemon did not reload its file on '$reload'"
  expect "wc -l <'$work/agent.out'" "$lines" "lines the daemon wrote after start-up"
  expect "$orvq QUIT | head -n 1" 200 "QUIT"
  within_5s "! running $agent_pid" || { fail "the agent still runs 5 s after QUIT"; return; }
  agent_pid=
  [ ! -e "$work/orv.pid" ] || fail "the pid file is left after QUIT"
}

check_tree /usr
check_tree /opt/orv
check_existing_config_kept
check_installed_agent_runs
finish "install tree, configuration paths and installed agent: ok"
