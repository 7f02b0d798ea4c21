#!/bin/sh
# The alert rules and the Grafana dashboard name only metrics the daemon exports (a renamed
# metric would leave them silently empty), promtool accepts the rules, and the dashboard is
# JSON. Without promtool (Debian: prometheus) the test is skipped (exit 77) once the names
# are checked.
#   prometheus_test.sh SOURCE_DIR
set -eu
src=$1
rules=$src/packaging/prometheus/alerts.yml
dashboard=$src/packaging/prometheus/grafana-dashboard.json
. "$(dirname "$0")/lib.sh"

exported=$(grep -oh '"quarlin_[a-z_]*"' "$src"/src/http/*.cpp | tr -d '"' | sort -u)
for name in $(grep -oh 'quarlin_[a-z_]*' "$rules" "$dashboard" | sort -u); do
  printf '%s\n' "$exported" | grep -qx "$name" || bad "not exported: $name"
done
if command -v python3 >/dev/null; then
  python3 -m json.tool "$dashboard" >/dev/null || bad "the dashboard is not JSON"
fi
[ $fail -eq 0 ] || exit $fail
command -v promtool >/dev/null || skip "promtool is not installed (Debian: prometheus), the rules are not checked"
promtool check rules "$rules" || exit 1
