#!/usr/bin/env bash
# Demo/test UPnP router for Gatewright: three network namespaces on veth links
# and a miniupnpd (nftables backend) in the middle.
#
#   gw-lan  198.18.0.2/24 --- 198.18.0.1/24  gw-router  198.19.0.1/24 --- 198.19.0.2/24  gw-wan
#           (gw-lan0)          (gw-r-lan)                (gw-r-wan)         (gw-wan0)
#
# The router reports EXT_IP as its external address. That address is only a
# label: miniupnpd refuses reserved addresses (198.18.0.0/15 included) and would
# then deny every mapping. Nothing is ever sent to it; the forwarding rules match
# the WAN interface, so WAN-side tests connect to ROUTER_WAN_IP:EXTPORT.
#
# Usage: router.sh COMMAND
#   up              build the namespaces, links, nft tables and start the router
#                   (when all exists: just make sure the router runs); starts a fresh log
#   down            stop the router and delete the namespaces (and their veths)
#   start | stop    start / stop the router only; mappings stay in place (and keep
#                   forwarding) while it is stopped, and it reports them again
#   restart         stop, empty the mapping table (as a reboot does), start again
#   port N          restart (table emptied) with HTTP port N; the old port goes dead
#   deny PORT       refuse mappings of external PORT (both protocols), restart;
#                   AddPortMapping on it then fails with 606 (Action not authorized)
#   allow-all       drop every deny rule, restart
#   cgnat on|off    no public address, as behind a carrier NAT: the WAN link on
#                   100.64.0.0/24 (router 100.64.0.1, WAN host 100.64.0.2), no
#                   EXT_IP; GetExternalIPAddress answers an empty address and
#                   every AddPortMapping gets 501
#   pcp on|off      no UPnP: PCP and NAT-PMP only, on UDP 5351 at ROUTER_LAN_IP
#   ipv6 on|off     dual stack from 2001:db8::/32 (LAN 2001:db8:1::/64, WAN
#                   2001:db8:2::/64, the router ::1 on both) with IPv6 pinholes:
#                   AddPinhole works over IPv6 only and for the caller's own
#                   address; new inbound IPv6 that no pinhole accepts is dropped
#   igd1 on|off     the router describes itself as IGD version 1 (WANIPConnection:1)
#   shortlease on|off  PCP and NAT-PMP leases are granted for 10 s at most,
#                   whatever was asked, as RFC 6887 lets a router do
#                   These five are roles: each stays as set until switched
#                   again, and each switch restarts the router (table emptied).
#                   port, deny, allow-all and the roles leave a running router
#                   as it is, table and all, when they change nothing.
#   vpn off|split|default  a VPN on the LAN host: a second adapter (gw-vpn0,
#                   198.18.9.2/24) towards a namespace that swallows all it
#                   gets (gw-vpn, 198.18.9.1), answering nothing. split: it
#                   takes routes 0.0.0.0/1 and 128.0.0.0/1, as many VPN
#                   clients set them, and the LAN's default route stays;
#                   default: its default route has metric 10, the LAN's 100.
#                   Leaves the router as it is; `up` on a new lab and `down`
#                   take it away.
#   list            print the mapping table, one mapping per line, sorted:
#                     PROTO EXTPORT INTERNALIP:INTERNALPORT DESCRIPTION
#                   e.g. "TCP 18080 198.18.0.2:8080 my app"; the description is the
#                   rest of the line and may be empty or contain spaces.
#                   Read from the router's lease file, so it sends no request.
#                   PCP and NAT-PMP mappings carry the router's own description,
#                   "PCP MAP <nonce in hex>" or e.g. "NAT-PMP 18081 tcp".
#                   IPv6 pinholes are firewall rules, not listed here (see them
#                   with: exec router nft list chain inet filter miniupnpd).
#   leases          as list, with the seconds left of each lease as the last
#                   field, e.g. "TCP 18080 198.18.0.2:8080 my app 3597"; an empty
#                   description adds no field. 0 would be a permanent mapping,
#                   which this router never makes: PCP and NAT-PMP leases end,
#                   and a UPnP lease of 0 becomes 604800 (also under igd1).
#                   A lease run out shows 0 until the router drops it.
#   log             print the path of the router's log (miniupnpd's stderr), where
#                   each SOAP request is one line "...SOAPAction: <service>#<Action>".
#                   `up` starts it fresh; every other command appends to it.
#   exec lan|router|wan CMD...   run CMD in that namespace
#   env             print shell-sourcable variables (LAN_NS ... ROUTER_LOG), with
#                   the addresses in force: EXT_IP empty under cgnat, the *_IP6
#                   ones empty unless ipv6 is on
#   status          print "down" (no complete lab), "stopped" or "running"
#
# Mappings allowed: every external and internal port, to LAN hosts only
# (any LAN host, not just the caller); anything else gets 606. A lease of 0 is
# reported back as 604800. `up` on a new lab and `down` reset port, deny list and
# roles. State (port, deny list, roles, config, pidfile, leases, log) lives in
# $GW_ROUTER_STATE, default /run/gatewright-router. Needs root.
set -euo pipefail

STATE=${GW_ROUTER_STATE:-/run/gatewright-router}

LAN_NS=gw-lan
ROUTER_NS=gw-router
WAN_NS=gw-wan
LAN_IF=gw-lan0
ROUTER_LAN_IF=gw-r-lan
ROUTER_WAN_IF=gw-r-wan
WAN_IF=gw-wan0
LAN_NET=198.18.0.0/24
LAN_IP=198.18.0.2
ROUTER_LAN_IP=198.18.0.1
PUBLIC_ROUTER_WAN_IP=198.19.0.1
PUBLIC_WAN_IP=198.19.0.2
PUBLIC_EXT_IP=1.2.3.4
CGNAT_ROUTER_WAN_IP=100.64.0.1
CGNAT_WAN_IP=100.64.0.2
LAN_NET6=2001:db8:1::/64
LAN_IP6=2001:db8:1::2
ROUTER_LAN_IP6=2001:db8:1::1
ROUTER_WAN_IP6=2001:db8:2::1
WAN_IP6=2001:db8:2::2
VPN_NS=gw-vpn
VPN_IF=gw-vpn0
VPN_PEER_IF=gw-v-lan
VPN_IP=198.18.9.2
VPN_GATEWAY_IP=198.18.9.1
PCP_PORT=5351
DEFAULT_PORT=5000
UUID=5c7a1e2d-9b0f-4c3e-8a61-6761747772a1

CONF=$STATE/miniupnpd.conf
PIDFILE=$STATE/miniupnpd.pid
LEASES=$STATE/leases
ROUTER_LOG=$STATE/router.log
PORT_FILE=$STATE/port
DENY_FILE=$STATE/deny
ROLES_FILE=$STATE/roles

die() { echo "router.sh: $*" >&2; exit 1; }
note() { echo "router.sh: $*" >&2; }

in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

ns_exists() { ip netns list | awk '{print $1}' | grep -qx "$1"; }

http_port() { if [ -s "$PORT_FILE" ]; then cat "$PORT_FILE"; else echo "$DEFAULT_PORT"; fi; }

denied_ports() { if [ -s "$DENY_FILE" ]; then sort -un "$DENY_FILE"; fi; }

valid_port() { [[ $1 =~ ^[0-9]+$ ]] && [ "$1" -ge 1 ] && [ "$1" -le 65535 ]; }

# ---- roles ---------------------------------------------------------------------

role_on() { grep -qx "$1" "$ROLES_FILE" 2>/dev/null; }

# set_role NAME on|off: no role left, no file left.
set_role() {
  local roles
  roles=$(grep -vx "$1" "$ROLES_FILE" 2>/dev/null || true)
  if [ "$2" = on ]; then roles=$(printf '%s\n%s' "$roles" "$1" | grep .); fi
  if [ -n "$roles" ]; then echo "$roles" > "$ROLES_FILE"; else rm -f "$ROLES_FILE"; fi
}

# The WAN side's addresses follow the cgnat role, so these are read each time.
wan_addresses() {
  if role_on cgnat; then
    ROUTER_WAN_IP=$CGNAT_ROUTER_WAN_IP WAN_IP=$CGNAT_WAN_IP EXT_IP=
  else
    ROUTER_WAN_IP=$PUBLIC_ROUTER_WAN_IP WAN_IP=$PUBLIC_WAN_IP EXT_IP=$PUBLIC_EXT_IP
  fi
}

need_root() { [ "$(id -u)" = 0 ] || die "must run as root"; }

need_tools() {
  local t
  for t in ip nft miniupnpd; do
    command -v "$t" >/dev/null || die "'$t' not found (run scripts/setup.sh)"
  done
}

# ---- namespaces and links --------------------------------------------------

# has_addr NS IFNAME ADDR. Read whole: a grep -q leaving early would make ip
# die of SIGPIPE on the lines after, and pipefail take that for "absent".
has_addr() {
  local addrs
  addrs=$(in_ns "$1" ip -o addr show dev "$2" 2>/dev/null) || return 1
  [[ $addrs == *" $3/"* ]]
}

# What no role changes: namespaces, links, the LAN side, the nft tables.
lab_built() {
  ns_exists "$LAN_NS" && ns_exists "$ROUTER_NS" && ns_exists "$WAN_NS" || return 1
  has_addr "$LAN_NS" "$LAN_IF" "$LAN_IP" || return 1
  has_addr "$ROUTER_NS" "$ROUTER_LAN_IF" "$ROUTER_LAN_IP" || return 1
  in_ns "$LAN_NS" ip route show default | grep -q "via $ROUTER_LAN_IP" || return 1
  in_ns "$ROUTER_NS" nft list table inet filter >/dev/null 2>&1
}

# The addresses of the roles in force; a role change cut short lacks some.
roles_applied() {
  has_addr "$ROUTER_NS" "$ROUTER_WAN_IF" "$ROUTER_WAN_IP" || return 1
  has_addr "$WAN_NS" "$WAN_IF" "$WAN_IP" || return 1
  # The last step of each way of set_ipv6 tells whether it went through.
  if role_on ipv6; then
    in_ns "$WAN_NS" ip -6 route show "$LAN_NET6" | grep -q "via $ROUTER_WAN_IP6"
  else
    [ "$(in_ns "$ROUTER_NS" sysctl -n net.ipv6.conf.all.forwarding)" = 0 ]
  fi
}

lab_ok() { lab_built && roles_applied; }

# Processes left in a namespace (test listeners...) would keep it alive after
# `ip netns del`, so they go with it.
kill_ns_procs() {
  local ns=$1 pids
  pids=$(ip netns pids "$ns" 2>/dev/null || true)
  [ -n "$pids" ] || return 0
  # shellcheck disable=SC2086
  kill $pids 2>/dev/null || true
  sleep 0.3
  pids=$(ip netns pids "$ns" 2>/dev/null || true)
  # shellcheck disable=SC2086
  [ -z "$pids" ] || kill -9 $pids 2>/dev/null || true
}

delete_lab() {
  local ns
  for ns in "$VPN_NS" "$LAN_NS" "$ROUTER_NS" "$WAN_NS"; do
    ns_exists "$ns" || continue
    kill_ns_procs "$ns"
    ip netns del "$ns"
  done
}

addr_up() {
  local ns=$1 ifname=$2 addr=$3
  in_ns "$ns" ip addr add "$addr" dev "$ifname"
  in_ns "$ns" ip link set "$ifname" up
}

build_lab() {
  local ns
  for ns in "$LAN_NS" "$ROUTER_NS" "$WAN_NS"; do
    ip netns add "$ns"
    in_ns "$ns" ip link set lo up
  done
  ip link add "$LAN_IF" netns "$LAN_NS" type veth peer name "$ROUTER_LAN_IF" netns "$ROUTER_NS"
  ip link add "$WAN_IF" netns "$WAN_NS" type veth peer name "$ROUTER_WAN_IF" netns "$ROUTER_NS"
  addr_up "$LAN_NS" "$LAN_IF" "$LAN_IP/24"
  addr_up "$ROUTER_NS" "$ROUTER_LAN_IF" "$ROUTER_LAN_IP/24"
  in_ns "$ROUTER_NS" ip link set "$ROUTER_WAN_IF" up
  in_ns "$WAN_NS" ip link set "$WAN_IF" up
  # The default route also carries the SSDP multicast search to the router.
  in_ns "$LAN_NS" ip route add default via "$ROUTER_LAN_IP" dev "$LAN_IF"
  in_ns "$ROUTER_NS" sysctl -qw net.ipv4.ip_forward=1
  load_nft
}

# lan_default METRIC: the LAN host's one route to the router as default.
lan_default() {
  while in_ns "$LAN_NS" ip route del default via "$ROUTER_LAN_IP" 2>/dev/null; do :; done
  in_ns "$LAN_NS" ip route add default via "$ROUTER_LAN_IP" dev "$LAN_IF" metric "$1"
}

# Deleting the namespace takes the veth pair, and the routes through it, along.
clear_vpn() {
  if ns_exists "$VPN_NS"; then
    kill_ns_procs "$VPN_NS"
    ip netns del "$VPN_NS"
  fi
  lan_default 0
}

build_vpn() {
  ip netns add "$VPN_NS"
  in_ns "$VPN_NS" ip link set lo up
  ip link add "$VPN_IF" netns "$LAN_NS" type veth peer name "$VPN_PEER_IF" netns "$VPN_NS"
  addr_up "$LAN_NS" "$VPN_IF" "$VPN_IP/24"
  addr_up "$VPN_NS" "$VPN_PEER_IF" "$VPN_GATEWAY_IP/24"
  in_ns "$VPN_NS" nft -f - <<EOF
table inet swallow {
  chain input { type filter hook input priority 0; policy drop; }
}
EOF
}

# cmd_vpn off|split|default
cmd_vpn() {
  case "${1:-}" in
    off | split | default) ;;
    *) die "usage: router.sh vpn off|split|default" ;;
  esac
  lab_built || die "the lab is not set up (run: router.sh up)"
  clear_vpn
  if [ "$1" = split ]; then
    build_vpn
    in_ns "$LAN_NS" ip route add 0.0.0.0/1 via "$VPN_GATEWAY_IP" dev "$VPN_IF"
    in_ns "$LAN_NS" ip route add 128.0.0.0/1 via "$VPN_GATEWAY_IP" dev "$VPN_IF"
  elif [ "$1" = default ]; then
    build_vpn
    lan_default 100
    in_ns "$LAN_NS" ip route add default via "$VPN_GATEWAY_IP" dev "$VPN_IF" metric 10
  fi
  echo "vpn $1"
}

# readdress NS IFNAME ADDR/LEN: ADDR becomes the interface's only IPv4 address.
readdress() {
  in_ns "$1" ip -4 addr flush dev "$2"
  in_ns "$1" ip addr add "$3" dev "$2"
}

set_wan_link() {
  readdress "$ROUTER_NS" "$ROUTER_WAN_IF" "$ROUTER_WAN_IP/24"
  readdress "$WAN_NS" "$WAN_IF" "$WAN_IP/24"
}

# unaddress6 NS IFNAME: drops what set_ipv6 gave the interface (routes added
# by hand are proto boot), keeping its link-local address.
unaddress6() {
  in_ns "$1" ip -6 route flush dev "$2" proto boot
  in_ns "$1" ip -6 addr flush dev "$2" scope global
}

clear_ipv6() {
  unaddress6 "$LAN_NS" "$LAN_IF"
  unaddress6 "$ROUTER_NS" "$ROUTER_LAN_IF"
  unaddress6 "$ROUTER_NS" "$ROUTER_WAN_IF"
  unaddress6 "$WAN_NS" "$WAN_IF"
  in_ns "$ROUTER_NS" sysctl -qw net.ipv6.conf.all.forwarding=0
}

# addr6 NS IFNAME ADDR: no duplicate address detection, so the address is
# usable at once rather than "tentative" for a second or two.
addr6() { in_ns "$1" ip -6 addr add "$3/64" dev "$2" nodad; }

# The WAN host stands for the IPv6 internet: it reaches the LAN's prefix
# through the router, which has it as its upstream.
set_ipv6() {
  clear_ipv6
  role_on ipv6 || return 0
  in_ns "$ROUTER_NS" sysctl -qw net.ipv6.conf.all.forwarding=1
  addr6 "$LAN_NS" "$LAN_IF" "$LAN_IP6"
  addr6 "$ROUTER_NS" "$ROUTER_LAN_IF" "$ROUTER_LAN_IP6"
  addr6 "$ROUTER_NS" "$ROUTER_WAN_IF" "$ROUTER_WAN_IP6"
  addr6 "$WAN_NS" "$WAN_IF" "$WAN_IP6"
  in_ns "$LAN_NS" ip -6 route add default via "$ROUTER_LAN_IP6" dev "$LAN_IF"
  in_ns "$ROUTER_NS" ip -6 route add default via "$WAN_IP6" dev "$ROUTER_WAN_IF"
  in_ns "$WAN_NS" ip -6 route add "$LAN_NET6" via "$ROUTER_WAN_IP6" dev "$WAN_IF"
}

apply_roles() {
  set_wan_link
  set_ipv6
}

# Tables and chains miniupnpd fills in (its defaults: table inet filter, chains
# miniupnpd, prerouting_miniupnpd, postrouting_miniupnpd). Only mapped ports
# get from the WAN to the LAN; for IPv6 (no NAT) only pinholes, which are
# accept rules in chain miniupnpd.
load_nft() {
  in_ns "$ROUTER_NS" nft -f - <<EOF
table inet filter {
  chain forward {
    type filter hook forward priority 0; policy drop;
    ct state established,related accept
    iifname "$ROUTER_LAN_IF" accept
    jump miniupnpd
  }
  chain miniupnpd {
  }
  chain prerouting {
    type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd
  }
  chain postrouting {
    type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd
    oifname "$ROUTER_WAN_IF" masquerade
  }
  chain prerouting_miniupnpd {
  }
  chain postrouting_miniupnpd {
  }
}
EOF
}

flush_mappings() {
  local chain
  for chain in miniupnpd prerouting_miniupnpd postrouting_miniupnpd; do
    in_ns "$ROUTER_NS" nft flush chain inet filter "$chain"
  done
  rm -f "$LEASES"
}

# ---- miniupnpd --------------------------------------------------------------

# write_conf FILE
write_conf() {
  local p
  {
    echo "ext_ifname=$ROUTER_WAN_IF"
    # With none, the router takes its WAN address, a reserved one, and so
    # refuses every mapping: what the cgnat role is for.
    [ -z "$EXT_IP" ] || echo "ext_ip=$EXT_IP"
    # No ipv6_listening_ip: it would make the HTTP port listen on IPv6 only.
    if role_on ipv6; then echo "ext_ifname6=$ROUTER_WAN_IF"; fi
    echo "listening_ip=$ROUTER_LAN_IF"
    echo "http_port=$(http_port)"
    if role_on pcp; then
      echo "enable_upnp=no"
      echo "enable_natpmp=yes"
    else
      echo "enable_upnp=yes"
      echo "enable_natpmp=no"
    fi
    if role_on igd1; then echo "force_igd_desc_v1=yes"; fi
    if role_on shortlease; then
      echo "min_lifetime=2"
      echo "max_lifetime=10"
    fi
    echo "secure_mode=no"
    echo "system_uptime=no"
    echo "notify_interval=30"
    echo "clean_ruleset_interval=600"
    echo "uuid=$UUID"
    echo "friendly_name=Gatewright Test Router"
    echo "lease_file=$LEASES"
    for p in $(denied_ports); do
      echo "deny $p 0.0.0.0/0 0-65535"
    done
    echo "allow 1-65535 $LAN_NET 1-65535"
    echo "deny 0-65535 0.0.0.0/0 0-65535"
  } > "$1"
}

# A daemon that has ended may stay a zombie until init reaps it, which can
# take a second or two here: it counts as gone.
running_pid() { [ -d "/proc/$1" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null; }

# PID is a miniupnpd that runs.
is_daemon() { [ "$(cat "/proc/$1/comm" 2>/dev/null)" = miniupnpd ] && running_pid "$1"; }

router_pid() {
  local pid
  [ -s "$PIDFILE" ] || return 1
  pid=$(cat "$PIDFILE")
  [[ $pid =~ ^[0-9]+$ ]] && is_daemon "$pid" || return 1
  echo "$pid"
}

router_running() { router_pid >/dev/null; }

# miniupnpd processes in the router namespace that the pidfile lost track of.
stray_pids() {
  local pid
  ns_exists "$ROUTER_NS" || return 0
  for pid in $(ip netns pids "$ROUTER_NS" 2>/dev/null); do
    if is_daemon "$pid"; then echo "$pid"; fi
  done
  return 0
}

http_answers() {
  in_ns "$LAN_NS" timeout 2 bash -c "exec 3<>/dev/tcp/$ROUTER_LAN_IP/$(http_port)" 2>/dev/null
}

pcp_bound() { [ -n "$(in_ns "$ROUTER_NS" ss -Hlun "sport = :$PCP_PORT")" ]; }

# Where the router answers: UPnP's HTTP port, or PCP's UDP port without UPnP.
router_address() {
  if role_on pcp; then
    echo "udp $ROUTER_LAN_IP:$PCP_PORT (PCP, NAT-PMP)"
  else
    echo "http://$ROUTER_LAN_IP:$(http_port)/"
  fi
}

router_answers() { if role_on pcp; then pcp_bound; else http_answers; fi; }

wait_gone() {
  local pid=$1
  for _ in $(seq 100); do
    running_pid "$pid" || return 0
    sleep 0.05
  done
  kill -9 "$pid" 2>/dev/null || true
}

stop_router() {
  local pid
  for pid in $(router_pid || true) $(stray_pids); do
    kill "$pid" 2>/dev/null || true
    wait_gone "$pid"
  done
  rm -f "$PIDFILE"
}

# The daemon outlives this script: it must not keep the callers' descriptors
# open (their locks, a test runner's output pipe).
close_inherited_fds() {
  local fd
  for fd in /proc/$BASHPID/fd/*; do
    fd=${fd##*/}
    if [ "$fd" -gt 2 ]; then eval "exec $fd>&-"; fi
  done
}

# The daemon also sends each log line to syslog, or, with no /dev/log, to the
# system console. It logs a line per mapping on every request, and a serial
# console takes ~0.4 ms of kernel time a line: hundreds of milliseconds per
# request, and stalls of the whole machine, the program under test included.
# Its stderr is the router's log, so in its own mount namespace both lead nowhere.
SYSLOG_TO_NOWHERE='for f in /dev/console /dev/log; do [ ! -e $f ] || mount --bind /dev/null $f || echo "router.sh: $f still gets every log line" >&2; done'

start_router() {
  lab_ok || die "the lab is not set up (run: router.sh up)"
  write_conf "$CONF.new"
  if router_running && cmp -s "$CONF.new" "$CONF"; then
    rm -f "$CONF.new"
    return 0
  fi
  # Not running, running with settings that an interrupted change left behind,
  # or a daemon whose start was interrupted before it wrote its pidfile.
  stop_router
  mv "$CONF.new" "$CONF"
  # -d: stay in the foreground and log every request to stderr. The subshell
  # execs the daemon, so none is left keeping the caller's output open.
  ( close_inherited_fds; exec ip netns exec "$ROUTER_NS" unshare -m sh -c "$SYSLOG_TO_NOWHERE"' && exec "$@"' \
      sh setsid miniupnpd -f "$CONF" -d -P "$PIDFILE" ) \
    </dev/null >>"$ROUTER_LOG" 2>&1 &
  for _ in $(seq 100); do
    if router_running && router_answers; then
      return 0
    fi
    if ! kill -0 $! 2>/dev/null; then
      tail -n 20 "$ROUTER_LOG" >&2
      die "miniupnpd exited at start (log: $ROUTER_LOG)"
    fi
    sleep 0.1
  done
  tail -n 20 "$ROUTER_LOG" >&2
  die "miniupnpd does not answer on $(router_address) (log: $ROUTER_LOG)"
}

# ---- commands -----------------------------------------------------------------

# A new lab starts with the defaults: port 5000, no deny rule, no role, no mapping.
reset_state() {
  rm -f "$LEASES" "$PORT_FILE" "$DENY_FILE" "$ROLES_FILE" "$CONF"
  wan_addresses
}

# One change at a time: tests may call the script from several places.
take_lock() {
  mkdir -p "$STATE"
  exec 9>"$STATE/lock"
  flock -w 60 9 || die "another router.sh holds $STATE/lock"
}

cmd_up() {
  : > "$ROUTER_LOG"
  if ! lab_built; then
    stop_router
    delete_lab
    reset_state
    build_lab
  fi
  roles_applied || apply_roles
  start_router
  echo "router up: $(router_address) (log: $ROUTER_LOG)"
}

cmd_down() {
  stop_router
  delete_lab
  reset_state
  echo "router down"
}

cmd_start() { start_router; echo "router running: $(router_address)"; }

cmd_stop() {
  stop_router
  if [ -n "$(stray_pids)" ]; then die "miniupnpd still running"; fi
  echo "router stopped"
}

cmd_restart() {
  lab_built || die "the lab is not set up (run: router.sh up)"
  stop_router
  flush_mappings
  roles_applied || apply_roles
  start_router
  echo "router restarted: $(router_address), mapping table empty"
}

# What port, deny and the roles set.
settings() { echo "port $(http_port); deny $(denied_ports | xargs); roles $(sort "$ROLES_FILE" 2>/dev/null | xargs)"; }

# restart_unless_same SETTINGS_BEFORE: restarts the router, unless the
# settings are as they were and it runs with them.
restart_unless_same() {
  if [ "$1" = "$(settings)" ] && router_running && roles_applied; then
    echo "router unchanged: $(router_address)"
  else
    cmd_restart
  fi
}

cmd_port() {
  valid_port "${1:-}" || die "usage: router.sh port N (1-65535)"
  local before
  before=$(settings)
  echo "$1" > "$PORT_FILE"
  restart_unless_same "$before"
}

cmd_deny() {
  valid_port "${1:-}" || die "usage: router.sh deny PORT (1-65535)"
  local before
  before=$(settings)
  grep -qx "$1" "$DENY_FILE" 2>/dev/null || echo "$1" >> "$DENY_FILE"
  restart_unless_same "$before"
}

cmd_allow_all() {
  local before
  before=$(settings)
  rm -f "$DENY_FILE"
  restart_unless_same "$before"
}

# cmd_role NAME on|off
cmd_role() {
  case "${2:-}" in
    on | off) ;;
    *) die "usage: router.sh $1 on|off" ;;
  esac
  lab_built || die "the lab is not set up (run: router.sh up)"
  local before
  before=$(settings)
  set_role "$1" "$2"
  wan_addresses
  restart_unless_same "$before"
}

# Lease file lines: PROTO:EXTPORT:INTERNALIP:INTERNALPORT:EXPIRY:DESCRIPTION,
# EXPIRY in seconds since the epoch, 0 for a permanent mapping.
# table_lines with|without: the mappings, sorted, with or without the lease
# left as the last field.
table_lines() {
  [ -s "$LEASES" ] || return 0
  awk -F: -v now="$(date +%s)" -v lease="$1" '{
      desc = $6
      for (i = 7; i <= NF; i++) desc = desc ":" $i
      if (lease == "without") {
        print $1, $2, $3 ":" $4, desc
      } else {
        left = ($5 > now) ? $5 - now : 0
        print $1, $2, $3 ":" $4 (desc == "" ? "" : " " desc), left
      }
    }' "$LEASES" | sort -k1,1 -k2,2n
}

cmd_exec() {
  local ns
  case "${1:-}" in
    lan) ns=$LAN_NS ;;
    router) ns=$ROUTER_NS ;;
    wan) ns=$WAN_NS ;;
    *) die "usage: router.sh exec lan|router|wan CMD..." ;;
  esac
  shift
  [ $# -gt 0 ] || die "usage: router.sh exec lan|router|wan CMD..."
  ns_exists "$ns" || die "namespace $ns does not exist (run: router.sh up)"
  exec ip netns exec "$ns" "$@"
}

cmd_status() {
  if ! lab_ok; then
    echo down
  elif router_running; then
    echo running
  else
    echo stopped
  fi
}

cmd_env() {
  cat <<EOF
LAN_NS=$LAN_NS
ROUTER_NS=$ROUTER_NS
WAN_NS=$WAN_NS
LAN_IP=$LAN_IP
ROUTER_LAN_IP=$ROUTER_LAN_IP
ROUTER_WAN_IP=$ROUTER_WAN_IP
WAN_IP=$WAN_IP
EXT_IP=$EXT_IP
HTTP_PORT=$(http_port)
ROUTER_LOG=$ROUTER_LOG
EOF
  if role_on ipv6; then
    printf '%s\n' "LAN_IP6=$LAN_IP6" "ROUTER_LAN_IP6=$ROUTER_LAN_IP6" \
      "ROUTER_WAN_IP6=$ROUTER_WAN_IP6" "WAN_IP6=$WAN_IP6"
  else
    printf '%s\n' LAN_IP6= ROUTER_LAN_IP6= ROUTER_WAN_IP6= WAN_IP6=
  fi
}

usage() {
  sed -n '/^# Usage:/,/Needs root\.$/p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

main() {
  local cmd=${1:-}
  [ $# -gt 0 ] && shift
  wan_addresses
  case "$cmd" in
    up|down|start|stop|restart|port|deny|allow-all|cgnat|pcp|ipv6|igd1|shortlease|vpn) need_root; need_tools; take_lock ;;
    exec | status) need_root ;;
  esac
  case "$cmd" in
    up) cmd_up ;;
    down) cmd_down ;;
    start) cmd_start ;;
    stop) cmd_stop ;;
    restart) cmd_restart ;;
    port) cmd_port "$@" ;;
    deny) cmd_deny "$@" ;;
    allow-all) cmd_allow_all ;;
    cgnat | pcp | ipv6 | igd1 | shortlease) cmd_role "$cmd" "$@" ;;
    vpn) cmd_vpn "$@" ;;
    list) table_lines without ;;
    leases) table_lines with ;;
    log) echo "$ROUTER_LOG" ;;
    exec) cmd_exec "$@" ;;
    env) cmd_env ;;
    status) cmd_status ;;
    -h|--help|help) usage ;;
    *) [ -z "$cmd" ] || note "unknown command: $cmd"; usage ;;
  esac
}

main "$@"
