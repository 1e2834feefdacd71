#!/bin/bash
# Installs a build into scratch folders with DESTDIR and checks:
#   - the exact list of installed files, for the prefixes /usr and /opt/orv;
#   - that the installed configuration names the installed agent, helper
#     scripts and log folder, and differs from etc/orv.cfg in nothing else;
#   - the unit starts the installed agent as a daemon (-d, Type=forking, the
#     configured pid file, reload by SIGHUP; package_test.sh verifies it with
#     systemd-analyze); modes of the configuration and the scripts;
#   - that an existing configuration is never replaced;
#   - that the installed agent, started with the unit's own command line
#     from the installed configuration (with a password and a free port
#     written into it), has written its pid file when the starting process
#     ends, answers the installed orvq, runs an installed helper script,
#     reloads its file on the unit's reload command, logs into the installed
#     log folder, prints nothing per request on its standard output (the
#     journal) and stops on QUIT.
# Usage: install_test.sh BUILD_DIR
set -u

build=$(cd "${1:?usage: install_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/orv-install-test.XXXXXX")
agent_pid=
failures=0

cleanup() {
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill "$agent_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Installs the build into DESTDIR $1 with prefix $2.
install_into() {
  DESTDIR="$1" cmake --install "$build" --prefix "$2" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install into $1 with prefix $2"; }
}

# Value of key $2 in configuration file $1.
cfg_value() { sed -n "s/^$2=//p" "$1" | tr -d '\r' | head -n 1; }

expected_files() {
  local p=${1#/}
  sort <<EOF
etc/logrotate.d/orv
etc/orv/orv.cfg
$p/bin/orvq
$p/lib/systemd/system/orv.service
$p/libexec/orv/orv-cpuusage.sh
$p/libexec/orv/orv-proccount.sh
$p/libexec/orv/orv-proclist.sh
$p/sbin/orv
$p/share/doc/orv/changelog.gz
$p/share/doc/orv/copyright
$p/share/doc/orv/helper-scripts.md
$p/share/doc/orv/operator-guide.md
$p/share/doc/orv/orv-check-commands.cfg
$p/share/doc/orv/protocol.md
$p/share/man/man1/orvq.1.gz
$p/share/man/man5/orv.cfg.5.gz
$p/share/man/man8/orv.8.gz
EOF
}

check_tree() {
  local prefix=$1
  local dest="$work/tree${prefix//\//_}"
  mkdir -p "$dest"
  install_into "$dest" "$prefix"

  diff <(expected_files "$prefix") <(cd "$dest" && find . -type f -o -type l | sed 's|^\./||' | sort) \
    >"$work/tree.diff" || { cat "$work/tree.diff" >&2; fail "files installed with prefix $prefix"; }
  [ -d "$dest/var/log/orv" ] || fail "no log folder /var/log/orv with prefix $prefix"

  local cfg="$dest/etc/orv/orv.cfg"
  [ "$(stat -c %a "$cfg")" = 600 ] || fail "orv.cfg is mode $(stat -c %a "$cfg"), not 600"
  [ "$(cfg_value "$cfg" orvpath)" = "$prefix/sbin/orv" ] ||
    fail "orvpath is '$(cfg_value "$cfg" orvpath)' with prefix $prefix"
  local key script
  for key in cpuusagescript proclistscript proccntscript; do
    script=$(cfg_value "$cfg" $key)
    case $script in
      "$prefix/libexec/orv/"*) ;;
      *) fail "$key is '$script' with prefix $prefix" ;;
    esac
    [ -x "$dest$script" ] || fail "$key '$script' is not an installed executable"
  done
  for key in oklogfile badlogfile verboselogfile; do
    case $(cfg_value "$cfg" $key) in
      /var/log/orv/*) ;;
      *) fail "$key is '$(cfg_value "$cfg" $key)', not under /var/log/orv" ;;
    esac
  done
  [ -d "$(cfg_value "$cfg" tmpdir)" ] || fail "tmpdir '$(cfg_value "$cfg" tmpdir)' does not exist"
  # Only the installed paths may differ from the example in the sources.
  diff <(sed "s|=$prefix/|=/usr/|" "$cfg") "$src/etc/orv.cfg" >"$work/cfg.diff" ||
    { cat "$work/cfg.diff" >&2; fail "orv.cfg differs from etc/orv.cfg beyond its paths"; }

  local unit="$dest$prefix/lib/systemd/system/orv.service" line
  for line in "Type=forking" "ExecStart=$prefix/sbin/orv -d /etc/orv/orv.cfg" \
    "PIDFile=$(cfg_value "$cfg" pidfile)" 'ExecReload=/bin/kill -HUP $MAINPID'; do
    grep -qxF "$line" "$unit" || fail "orv.service lacks '$line' with prefix $prefix"
  done
}

check_existing_config_kept() {
  local dest="$work/kept"
  mkdir -p "$dest/etc/orv"
  printf 'port=4242\npassword=mine\n' >"$dest/etc/orv/orv.cfg"
  install_into "$dest" /usr
  [ "$(cat "$dest/etc/orv/orv.cfg")" = "$(printf 'port=4242\npassword=mine')" ] ||
    fail "an existing /etc/orv/orv.cfg was replaced"
}

# The value of directive $2 in the installed unit of DESTDIR $1.
unit_value() { sed -n "s/^$2=//p" "$1/usr/lib/systemd/system/orv.service" | head -n 1; }

# True while process $1 runs (a zombie does not: nobody here reaps a daemon).
running() { [ -d "/proc/$1" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null; }

# Starts the installed agent with the unit's command line on a configuration
# that is the installed one with its paths moved into DESTDIR, a password,
# port $2 and a pid file of its own, its standard output captured as the
# journal would. Returns the starting process's status; sets agent_pid from
# the pid file, which must exist once the starting process has ended.
start_agent() {
  local dest=$1 port=$2 cfg=$3
  sed -e "s|^\([a-z]*\)=/usr/|\1=$dest/usr/|" -e "s|=/var/log/orv/|=$dest/var/log/orv/|" \
    -e "s|^password=.*|password=installtest|" -e "s|^port=.*|port=$port|" \
    -e "s|^tmpdir=.*|tmpdir=$work/tmp|" -e "s|^pidfile=.*|pidfile=$work/orv.pid|" \
    "$dest/etc/orv/orv.cfg" >"$cfg"
  local cmd
  cmd=$(unit_value "$dest" ExecStart | sed -e "s|^/|$dest/|" -e "s|/etc/orv/orv.cfg|$cfg|")
  rm -f "$work/orv.pid"
  timeout 60 $cmd >"$work/agent.out" 2>&1
  local rc=$?
  [ $rc -eq 0 ] || return $rc
  agent_pid=$(cat "$work/orv.pid" 2>/dev/null)
  [ -n "$agent_pid" ] || { fail "no pid file when the starting process ended"; return 1; }
  return 0
}

check_installed_agent_runs() {
  local dest="$work/tree_usr"
  local orvq="$dest/usr/bin/orvq"
  local cfg="$work/run.cfg"
  mkdir -p "$work/tmp"
  local attempt port ready=1
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    start_agent "$dest" "$port" "$cfg"
    ready=$?
    [ $ready -ne 0 ] || break
    grep -q "TCP listen error" "$work/agent.out" || break  # not a busy port: give up
  done
  if [ $ready -ne 0 ]; then
    cat "$work/agent.out" >&2
    fail "the installed agent did not start as the unit starts it (status $ready)"
    return
  fi
  grep -qx "Daemon started" "$work/agent.out" || fail "no 'Daemon started' on the standard output"
  local lines
  lines=$(wc -l <"$work/agent.out")
  "$orvq" -p "$port" -P installtest -t 5000 GetInfo >"$work/info.out" 2>&1
  head -n 1 "$work/info.out" | grep -qx 200 || fail "GetInfo answered $(head -n 1 "$work/info.out")"

  # The process test runs the installed helper script; the agent itself is
  # one process named orv.
  "$orvq" -p "$port" -P installtest -t 5000 TEST-Process "" orv >"$work/proc.out" 2>&1 ||
    fail "TEST-Process: no reply"
  [ "$(head -n 1 "$work/proc.out")" = 200 ] && [ "$(sed -n 2p "$work/proc.out")" -ge 1 ] 2>/dev/null ||
    { cat "$work/proc.out" >&2; fail "TEST-Process orv through the installed script"; }

  # A failed request goes to the bad log of the installed log folder.
  "$orvq" -p "$port" -P installtest -t 5000 NoSuchCommand >/dev/null 2>&1
  "$orvq" -p "$port" -P wrong -t 5000 GetInfo >/dev/null 2>&1
  grep -q "Unknown command" "$dest/var/log/orv/bad.log" 2>/dev/null ||
    fail "a failed request was not logged into the installed log folder"

  # The unit's reload command makes the daemon re-read its file in place.
  printf 'comment=reloaded by the unit\n' >>"$cfg"
  local reload i
  reload=$(unit_value "$dest" ExecReload | sed "s|\$MAINPID|$agent_pid|")
  $reload || fail "reload command '$reload' failed"
  for i in $(seq 1 50); do
    "$orvq" -p "$port" -P installtest -t 5000 GetInfo 2>/dev/null | grep -q '^Comment=reloaded by the unit' && break
    sleep 0.1
  done
  [ $i -lt 50 ] || fail "the daemon did not reload its file on '$reload'"
  running "$agent_pid" || fail "the daemon ended on '$reload'"

  # Requests, refusals and the reload wrote nothing on the standard output.
  [ "$(wc -l <"$work/agent.out")" -eq "$lines" ] ||
    { cat "$work/agent.out" >&2; fail "the daemon wrote to its standard output after start-up"; }

  "$orvq" -p "$port" -P installtest -t 5000 QUIT >"$work/quit.out" 2>&1
  head -n 1 "$work/quit.out" | grep -qx 200 || fail "QUIT from 127.0.0.1 answered $(head -n 1 "$work/quit.out")"
  for i in $(seq 1 50); do
    running "$agent_pid" || break
    sleep 0.1
  done
  if running "$agent_pid"; then
    fail "the agent still runs 5 s after QUIT"
  else
    agent_pid=
    [ ! -e "$work/orv.pid" ] || fail "the pid file is left after QUIT"
  fi
}

check_tree /usr
check_tree /opt/orv
check_existing_config_kept
check_installed_agent_runs

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install tree, configuration paths and installed agent: ok"
