# Sourced by the packaging tests: a fault noted without stopping, and a skip with its reason.
fail=0
bad() { printf '%s\n' "$*"; fail=1; }
skip() { echo "skipped: $*"; exit 77; }
