#!/bin/sh
# The man page renders without a warning, and it and the README document every option letter
# that the command line accepts. Without man (Debian: man-db) the rendering is not checked and
# the test is skipped (exit 77) once the letters are found.
#   man_page_test.sh SOURCE_DIR
set -eu
src=$1
page=$src/packaging/quarlin.8
fail=0

render_checks() {
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "man -l warns:"
    echo "$warnings"
    fail=1
  fi
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "REQUEST PATH" EXAMPLES LOG "EXIT STATUS" \
    SIGNALS FILES; do
    printf '%s\n' "$text" | grep -q "^$section\$" || { echo "no section $section"; fail=1; }
  done
  for player in mpv vlc ffplay; do
    printf '%s\n' "$text" | grep -q "^ *$player http://" || { echo "no $player example"; fail=1; }
  done
}
rendered=0
if command -v man >/dev/null; then
  render_checks
  rendered=1
fi

# The option string as the parser has it, e.g. "di:r:...": each letter, colons dropped.
opts=$(sed -n 's/.*getopt(argc, argv, "\([^"]*\)").*/\1/p' "$src/src/daemon/startup.cpp" | tr -d ':')
[ -n "$opts" ] || { echo "no getopt string found in src/daemon/startup.cpp"; exit 1; }
for letter in $(printf '%s' "$opts" | sed 's/./& /g'); do
  # An entry of OPTIONS in the page: ".B \-x" or ".BI \-x ...".
  grep -Eq "^\.BI? \\\\-$letter( |\$)" "$page" || { echo "man page lacks -$letter"; fail=1; }
  grep -Eq "^\|.*\`-$letter\`" "$src/README.md" || { echo "README table lacks -$letter"; fail=1; }
done
[ $fail -ne 0 ] && exit $fail
if [ $rendered = 0 ]; then
  echo "skipped: man is not installed (Debian: man-db), the page's rendering is not checked"
  exit 77
fi
exit 0
