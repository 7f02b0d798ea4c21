#!/bin/sh
# The man page renders without a warning, and it and the README document every option letter
# that the command line accepts. Without man (Debian: man-db) the rendering is not checked and
# the test is skipped (exit 77) once the letters are found.
#   man_page_test.sh SOURCE_DIR
set -eu
src=$1
page=$src/packaging/quarlin.8
. "$(dirname "$0")/lib.sh"

if command -v man >/dev/null; then
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || bad "man -l warns:
$warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "REQUEST PATH" EXAMPLES LOG "EXIT STATUS" \
    SIGNALS FILES; do
    printf '%s\n' "$text" | grep -q "^$section\$" || bad "no section $section"
  done
  for player in mpv vlc ffplay; do
    printf '%s\n' "$text" | grep -q "^ *$player http://" || bad "no $player example"
  done
fi

# The option string as the parser has it, e.g. "di:r:...": each letter, colons dropped.
opts=$(sed -n 's/.*getopt(argc, argv, "\([^"]*\)").*/\1/p' "$src/src/daemon/startup.cpp" | tr -d ':')
[ -n "$opts" ] || { echo "no getopt string found in src/daemon/startup.cpp"; exit 1; }
for letter in $(printf '%s' "$opts" | sed 's/./& /g'); do
  # An entry of OPTIONS in the page: ".B \-x" or ".BI \-x ...".
  grep -Eq "^\.BI? \\\\-$letter( |\$)" "$page" || bad "man page lacks -$letter"
  grep -Eq "^\|.*\`-$letter\`" "$src/README.md" || bad "README table lacks -$letter"
done
[ $fail -eq 0 ] || exit $fail
command -v man >/dev/null || skip "man is not installed (Debian: man-db), the page's rendering is not checked"
