#!/bin/sh
# The OpenWrt init script parses, and turns UCI sections into the command lines procd runs.
# procd and UCI are stood in for by shell functions that record what the script asks for.
#   procd_test.sh SOURCE_DIR
set -eu
script=$1/packaging/openwrt/quarlin.init
config=$1/packaging/openwrt/quarlin.config
sh -n "$script"
. "$(dirname "$0")/lib.sh"

# UCI: "section.option=value" lines; config_foreach visits the sections of /etc/config/quarlin
# in order.
uci_values=""
config_load() { :; }
config_foreach() { for s in $sections; do "$1" "$s"; done; }
config_get() {
  _line=$(printf '%s\n' "$uci_values" | grep "^$2\.$3=" | tail -n 1 || true)
  if [ -n "$_line" ]; then eval "$1=\${_line#*=}"; else eval "$1=\${4:-}"; fi
}
config_get_bool() {
  config_get "$@"
  eval "case \$$1 in 1|on|true|yes|enabled) $1=1 ;; *) $1=0 ;; esac"
}
# procd: one line per instance, "command: ... | respawn: ... | stderr: ...".
instances=""
current=""
procd_open_instance() { current="instance $1"; }
procd_set_param() { _k=$1 && shift && current="$current | $_k: $*"; }
procd_append_param() { shift && current="$current $*"; }
procd_close_instance() { instances="$instances$current
"; }
procd_add_reload_trigger() { :; }
chown() { :; }

# The config file as shipped: its option lines become uci_values.
uci_from_file() {
  awk -v s="$2" '$1 == "option" { gsub("\047", "", $3); print s "." $2 "=" $3 }' "$1"
}

. "$script"

expect() {
  [ "$instances" = "$1" ] || bad "$(printf 'case %s\n  got:  %s\n  want: %s' "$2" "$instances" "$1")"
}
run_case() {
  instances=""
  sections=$1
  uci_values=$2
  start_service 2>/dev/null || true
}

run_case main "$(uci_from_file "$config" main)"
expect "instance main | command: /usr/sbin/quarlin -l /tmp/quarlin.log -m 1024 -h 8080 -L auto | respawn: 3600 5 5 | stderr: 1 | user: nobody | no_new_privs: 1
" "shipped config"

run_case tv "tv.remote_ip=192.0.2.10
tv.remote_port=4000
tv.url=news
tv.out_ip=239.1.1.1
tv.out_port=1234
tv.log_max_kb=64
tv.options=-s -L 400"
expect "instance tv | command: /usr/sbin/quarlin -l /tmp/quarlin.log -m 64 -i 192.0.2.10 -r 4000 -u news -o 239.1.1.1 -p 1234 -s -L 400 | respawn: 3600 5 5 | stderr: 1 | no_new_privs: 1
" "datagram mode with extra options"

run_case "off bad ok" "off.enabled=0
off.http_port=1
bad.out_ip=239.1.1.1
ok.http_port=9000
ok.respawn_retry=0"
expect "instance ok | command: /usr/sbin/quarlin -l /tmp/quarlin.log -m 1024 -h 9000 | respawn: 3600 5 0 | stderr: 1 | no_new_privs: 1
" "a disabled and an incomplete section start nothing"
exit $fail
