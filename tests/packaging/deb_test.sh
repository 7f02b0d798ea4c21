#!/bin/sh
# scripts/deb builds a Debian package whose control data and contents dpkg-deb shows: the
# daemon for the right machine, the man page, the unit and its environment file (a conffile),
# the copyright file and changelog; lintian, where installed, finds no error and no warning.
#   deb_test.sh SOURCE_DIR WORK_DIR host|mipsel      (exit 77: skipped)
set -eu
src=$1
work=$2
arch=$3
. "$(dirname "$0")/lib.sh"
if [ "$arch" = mipsel ]; then
  command -v mipsel-linux-gnu-g++ >/dev/null || skip "no mipsel-linux-gnu-g++ (Debian: g++-mipsel-linux-gnu)"
  set -- --mipsel
  want_arch=mipsel
  want_machine=8  # EM_MIPS
else
  set --
  want_arch=amd64
  want_machine=62  # EM_X86_64
  [ "$(uname -m)" = x86_64 ] || skip "the host is not x86-64"
fi
command -v dpkg-deb >/dev/null || skip "no dpkg-deb"

deb=$(QUARLIN_DEB_BUILD=$work "$src/scripts/deb" "$@" | tail -n 1)
info=$(dpkg-deb --info "$deb")
contents=$(dpkg-deb --contents "$deb" | awk '{ print $1, $6 }')
printf '%s\n' "$info" | grep -qx " Package: quarlin" || bad "no Package line"
printf '%s\n' "$info" | grep -qx " Architecture: $want_arch" || bad "not $want_arch"
printf '%s\n' "$info" | grep -q " conffiles" || bad "no conffiles"
for f in -rwxr-xr-x:./usr/sbin/quarlin -rw-r--r--:./usr/share/man/man8/quarlin.8.gz \
  -rw-r--r--:./usr/lib/systemd/system/quarlin.service -rw-r--r--:./etc/default/quarlin \
  -rw-r--r--:./usr/share/doc/quarlin/copyright -rw-r--r--:./usr/share/doc/quarlin/changelog.gz; do
  printf '%s\n' "$contents" | grep -qx -- "${f%%:*} ${f#*:}" || bad "no ${f#*:} (${f%%:*})"
done
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/default/quarlin ] || bad "conffiles is not the environment file"
# The binary is built for the package's machine: e_machine, the 16-bit word at offset 18,
# little-endian on both.
machine=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/sbin/quarlin | od -An -t u2 -j 18 -N 2 | tr -d ' ')
[ "$machine" = "$want_machine" ] || bad "e_machine $machine, want $want_machine"
if command -v lintian >/dev/null; then
  # Information tags (-I is off by default) are advice, not faults.
  said=$(lintian "$deb" 2>&1 | grep -v "running with root privileges") || true
  [ -z "$said" ] || bad "lintian:
$said"
else
  echo "lintian is not installed (Debian: lintian): the package is not linted"
fi
exit $fail
