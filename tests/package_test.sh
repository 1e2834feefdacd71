#!/bin/bash
# Builds the Debian package from a build folder with cpack and checks its
# name and version, its file list, its conffiles, the modes of the
# configuration and the maintainer scripts, and verifies its systemd unit.
# With --lintian it only checks that lintian finds no error in the package
# (slow; exit 77 without lintian).
# Usage: package_test.sh BUILD_DIR [--lintian]   (exit 77: no dpkg-deb or cpack)
set -u

build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
lint=0
[ "${2:-}" = --lintian ] && lint=1
command -v dpkg-deb >/dev/null && command -v cpack >/dev/null || {
  echo "SKIP: dpkg-deb or cpack missing"
  exit 77
}
if [ $lint -eq 1 ] && ! command -v lintian >/dev/null; then
  echo "SKIP: lintian is not installed"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/orv-package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/checks.sh"

if ! (cd "$work" && timeout 120 cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") \
  >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack could not build the package" >&2
  exit 1
fi
deb=$(ls "$work"/out/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "FAIL: cpack made no .deb" >&2; exit 1; }

if [ $lint -eq 1 ]; then
  # Errors fail the test; warnings are printed for the record.
  timeout 200 lintian --fail-on error "$deb" >"$work/lintian.out" 2>&1 ||
    { cat "$work/lintian.out" >&2; echo "FAIL: lintian: $(grep -c '^E:' "$work/lintian.out") error(s)" >&2; exit 1; }
  cat "$work/lintian.out"
  echo "lintian: no errors in $(basename "$deb")"
  exit 0
fi

expect "dpkg-deb -f '$deb' Package Version" "$(printf 'Package: orv\nVersion: 1.29')" "name and version"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "Depends lacks libc6: '$(dpkg-deb -f "$deb" Depends)'"

# Files (not folders) with their modes and owners: the installed list.
diff <(sed 's| | root/root ./|; s|PREFIX|usr|' "$(dirname "$0")/data/installed_files" | sort -k3) \
  <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort -k3) >&2 || fail "package contents"
dpkg-deb -c "$deb" | grep -q ' \./var/log/orv/$' || fail "no /var/log/orv folder in the package"

# Conffiles and maintainer scripts.
dpkg-deb -e "$deb" "$work/control"
printf '/etc/orv/orv.cfg\n/etc/logrotate.d/orv\n' | diff - "$work/control/conffiles" >&2 ||
  fail "conffiles"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || { fail "$script missing or not executable"; continue; }
  sh -n "$work/control/$script" || fail "$script is not valid sh"
done
[ -f "$work/control/md5sums" ] || fail "no md5sums"

# The packaged configuration names the packaged paths.
dpkg-deb -x "$deb" "$work/root"
grep -qx 'orvpath=/usr/sbin/orv' "$work/root/etc/orv/orv.cfg" || fail "orvpath in the package"
grep -qx 'password=' "$work/root/etc/orv/orv.cfg" || fail "the package must ship without a password"

# The packaged unit passes systemd-analyze verify (its program taken from the
# unpacked package); warnings count as failures.
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$work/unit"
  sed "s|^ExecStart=/|ExecStart=$work/root/|" "$work/root/usr/lib/systemd/system/orv.service" \
    >"$work/unit/orv.service"
  systemd-analyze verify --man=no "$work/unit/orv.service" >"$work/verify.out" 2>&1 &&
    [ ! -s "$work/verify.out" ] || { cat "$work/verify.out" >&2; fail "systemd-analyze verify orv.service"; }
else
  echo "note: no systemd-analyze, the unit was not verified"
fi

finish "package $(basename "$deb"): ok"
