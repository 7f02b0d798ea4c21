#!/bin/sh
# The installed unit passes systemd-analyze verify, and systemd-analyze security rates it at
# most 2.0 (OK): the hardening holds. Without systemd-analyze the test is skipped (exit 77).
#   service_unit_test.sh BUILD_DIR
set -eu
build=$1
command -v systemd-analyze >/dev/null ||
  { echo "skipped: systemd-analyze is not installed (Debian: systemd)"; exit 77; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail=0
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
# Checked as installed, with the binary at its DESTDIR path (verify wants it present).
sed "s|^ExecStart=/usr/sbin/quarlin|ExecStart=$root/usr/sbin/quarlin|" \
  "$root/usr/lib/systemd/system/quarlin.service" >"$root/quarlin.service"
said=$(systemd-analyze verify --man=no "$root/quarlin.service" 2>&1) || fail=1
[ -z "$said" ] || { echo "systemd-analyze verify: $said"; fail=1; }
grep -qx "Type=notify" "$root/quarlin.service" || { echo "not Type=notify"; fail=1; }
score=$(systemd-analyze security --offline=yes "$root/quarlin.service" 2>&1 |
  sed -n 's/.*Overall exposure level for quarlin.service: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security: $score"
case "$score" in
  0.* | 1.* | 2.0) ;;
  *) echo "exposure ${score:-unknown}, want at most 2.0"; fail=1 ;;
esac
exit $fail
