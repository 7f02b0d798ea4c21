#!/bin/sh
# cmake --install puts the daemon, its man page, the unit and its environment file where the
# prefix and DESTDIR say, and the unit names them by their final paths. The unit passes
# systemd-analyze verify, and systemd-analyze security rates it at most 2.0 (OK): the hardening
# holds. Without systemd-analyze (Debian: systemd) the unit itself is not checked.
#   install_test.sh BUILD_DIR
set -eu
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
. "$(dirname "$0")/lib.sh"

check_install() {  # prefix, the folder the environment file must be in
  DESTDIR=$root/$1 cmake --install "$build" --prefix "$1" >/dev/null
  dest=$root/$1$1
  for f in sbin/quarlin share/man/man8/quarlin.8.gz lib/systemd/system/quarlin.service \
    share/doc/quarlin/copyright; do
    [ -f "$dest/$f" ] || bad "prefix $1: no $f"
  done
  [ -x "$dest/sbin/quarlin" ] || bad "prefix $1: sbin/quarlin not executable"
  [ -f "$root/$1$2/default/quarlin" ] || bad "prefix $1: no $2/default/quarlin"
  unit=$dest/lib/systemd/system/quarlin.service
  grep -qx "ExecStart=$1/sbin/quarlin \$QUARLIN_OPTS" "$unit" || bad "prefix $1: ExecStart"
  grep -qx "EnvironmentFile=-$2/default/quarlin" "$unit" || bad "prefix $1: EnvironmentFile"
  grep -qx "Restart=on-failure" "$unit" || bad "prefix $1: Restart"
  # Nothing lands outside DESTDIR.
  [ ! -e "$1/sbin/quarlin" ] || [ "$1" = /usr ] || bad "prefix $1: wrote outside DESTDIR"
}
check_install /usr /etc
check_install /opt/quarlin /opt/quarlin/etc

if command -v systemd-analyze >/dev/null; then
  # Checked as installed, with the binary at its DESTDIR path (verify wants it present).
  sed "s|^ExecStart=/usr/sbin/quarlin|ExecStart=$root/usr/usr/sbin/quarlin|" \
    "$root/usr/usr/lib/systemd/system/quarlin.service" >"$root/quarlin.service"
  said=$(systemd-analyze verify --man=no "$root/quarlin.service" 2>&1) || fail=1
  [ -z "$said" ] || bad "systemd-analyze verify: $said"
  grep -qx "Type=notify" "$root/quarlin.service" || bad "not Type=notify"
  score=$(systemd-analyze security --offline=yes "$root/quarlin.service" 2>&1 |
    sed -n 's/.*Overall exposure level for quarlin.service: \([0-9.]*\).*/\1/p')
  echo "systemd-analyze security: $score"
  case "$score" in
    0.* | 1.* | 2.0) ;;
    *) bad "exposure ${score:-unknown}, want at most 2.0" ;;
  esac
else
  echo "systemd-analyze is not installed (Debian: systemd): the unit is not verified"
fi

# The environment file sets the options the unit passes, and they make a command line that
# the daemon accepts: it starts, listening on the loopback only (not an open relay as
# installed), then SIGTERM ends it with status 0.
. "$root/usr/etc/default/quarlin"
# A port another process holds makes the relay exit at once ("bind error"): take another.
try=0
while :; do
  try=$((try + 1))
  port=$(( 20000 + ($$ + try * 7919) % 40000 ))
  opts=$(printf '%s' "$QUARLIN_OPTS" | sed "s/-h 8080/-h $port/")
  # shellcheck disable=SC2086 # the options are several words, as systemd splits them
  "$root/usr/usr/sbin/quarlin" $opts >"$root/out" 2>&1 &
  pid=$!
  hexport=$(printf '%04X' $port)
  i=0
  while [ $i -lt 50 ] && kill -0 $pid 2>/dev/null &&
    ! grep -q " 0100007F:$hexport 00000000:0000 0A" /proc/net/tcp; do
    sleep 0.1
    i=$((i + 1))
  done
  kill -0 $pid 2>/dev/null || ! grep -q "bind error" "$root/out" || [ $try -ge 10 ] || continue
  break
done
grep -q " 0100007F:$hexport 00000000:0000 0A" /proc/net/tcp ||
  bad "the environment file's options do not listen on 127.0.0.1 alone"
kill -TERM $pid 2>/dev/null || true
status=0
wait $pid || status=$?
[ $status -eq 0 ] || bad "the environment file's options: exit $status: $(cat "$root/out")"

exit $fail
