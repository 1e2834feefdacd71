#!/bin/bash
# Installs a build into scratch folders with DESTDIR and checks:
#   - the exact list of installed files, for the prefixes /usr and /opt/orv;
#   - that the installed configuration names the installed agent, helper
#     scripts and log folder, and differs from etc/orv.cfg in nothing else;
#   - the unit starts the installed agent; modes of the configuration and
#     the scripts;
#   - that an existing configuration is never replaced;
#   - that the installed agent starts from the installed configuration (with
#     a password and a free port written into it), answers the installed
#     orvq, runs an installed helper script, logs into the installed log
#     folder and stops on QUIT.
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
    wait "$agent_pid" 2>/dev/null
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

  grep -qx "ExecStart=$prefix/sbin/orv -i /etc/orv/orv.cfg" "$dest$prefix/lib/systemd/system/orv.service" ||
    fail "orv.service does not start $prefix/sbin/orv in the foreground"
}

check_existing_config_kept() {
  local dest="$work/kept"
  mkdir -p "$dest/etc/orv"
  printf 'port=4242\npassword=mine\n' >"$dest/etc/orv/orv.cfg"
  install_into "$dest" /usr
  [ "$(cat "$dest/etc/orv/orv.cfg")" = "$(printf 'port=4242\npassword=mine')" ] ||
    fail "an existing /etc/orv/orv.cfg was replaced"
}

# Starts the installed agent on a configuration that is the installed one
# with its paths moved into DESTDIR, a password and port $1. Sets agent_pid.
start_agent() {
  local dest=$1 port=$2 cfg=$3
  sed -e "s|^\([a-z]*\)=/usr/|\1=$dest/usr/|" -e "s|=/var/log/orv/|=$dest/var/log/orv/|" \
    -e "s|^password=.*|password=installtest|" -e "s|^port=.*|port=$port|" \
    -e "s|^tmpdir=.*|tmpdir=$work/tmp|" \
    "$dest/etc/orv/orv.cfg" >"$cfg"
  "$dest/usr/sbin/orv" -i -v "$cfg" >"$work/agent.out" 2>&1 &
  agent_pid=$!
}

# Waits until the agent answers GetInfo (0), ends (1) or 10 s pass (2).
wait_ready() {
  local orvq=$1 port=$2 i deadline=$((SECONDS + 10))
  for i in $(seq 1 100); do
    [ $SECONDS -lt $deadline ] || return 2
    kill -0 "$agent_pid" 2>/dev/null || return 1
    if "$orvq" -p "$port" -P installtest -t 2000 GetInfo >"$work/info.out" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  return 2
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
    wait_ready "$orvq" "$port"
    ready=$?
    [ $ready -eq 1 ] || break
    wait "$agent_pid" 2>/dev/null
    agent_pid=
    grep -q "TCP listen error" "$work/agent.out" || break  # not a busy port: give up
  done
  if [ $ready -ne 0 ]; then
    cat "$work/agent.out" >&2
    fail "the installed agent did not answer GetInfo"
    return
  fi
  head -n 1 "$work/info.out" | grep -qx 200 || fail "GetInfo answered $(head -n 1 "$work/info.out")"

  # The process test runs the installed helper script; the agent itself is
  # one process named orv.
  "$orvq" -p "$port" -P installtest -t 5000 TEST-Process "" orv >"$work/proc.out" 2>&1 ||
    fail "TEST-Process: no reply"
  [ "$(head -n 1 "$work/proc.out")" = 200 ] && [ "$(sed -n 2p "$work/proc.out")" -ge 1 ] 2>/dev/null ||
    { cat "$work/proc.out" >&2; fail "TEST-Process orv through the installed script"; }

  grep -q "Listening" "$dest/var/log/orv/verbose.log" 2>/dev/null ||
    fail "nothing logged into the installed log folder"

  "$orvq" -p "$port" -P installtest -t 5000 QUIT >"$work/quit.out" 2>&1
  head -n 1 "$work/quit.out" | grep -qx 200 || fail "QUIT from 127.0.0.1 answered $(head -n 1 "$work/quit.out")"
  local i
  for i in $(seq 1 50); do
    kill -0 "$agent_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$agent_pid" 2>/dev/null; then
    fail "the agent still runs 5 s after QUIT"
  else
    wait "$agent_pid"
    local rc=$?
    agent_pid=
    [ $rc -eq 0 ] || fail "the agent ended with status $rc after QUIT"
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
