# Network namespaces for whole-system tests. Source this file, then:
#   kb_netns_up NAME         creates namespaces NAME-s (server) and NAME-c (client) joined by a
#                            veth pair: server 192.0.2.1/24, client 192.0.2.2/24, multicast
#                            routed over the pair in both; loopback up in both.
#   kb_netns_add_link NAME N adds a second pair on 198.51.100.0/24 (server .1, client .2) when
#                            N is 2, 203.0.113.0/24 when N is 3.
#   kb_netns_client_addresses NAME N
#                            gives the client's first link N more addresses, 192.0.2.10 up, so
#                            one client namespace can stand for several hosts.
#   kb_in_server CMD...      runs CMD in the server namespace (kb_in_client likewise).
#   kb_netns_down NAME       kills what the test started in them and deletes both.
# Addresses are documentation ranges that exist only inside these namespaces.
# Every test calls kb_netns_down from an EXIT trap.

KB_NS=""

kb_netns_up() {
    KB_NS="$1"
    kb_netns_down "$KB_NS" 2>/dev/null || true
    ip netns add "$KB_NS-s"
    ip netns add "$KB_NS-c"
    ip -n "$KB_NS-s" link set lo up
    ip -n "$KB_NS-c" link set lo up
    ip link add "${KB_NS:0:8}s1" netns "$KB_NS-s" type veth peer name "${KB_NS:0:8}c1" netns "$KB_NS-c"
    ip -n "$KB_NS-s" addr add 192.0.2.1/24 dev "${KB_NS:0:8}s1"
    ip -n "$KB_NS-c" addr add 192.0.2.2/24 dev "${KB_NS:0:8}c1"
    ip -n "$KB_NS-s" link set "${KB_NS:0:8}s1" up
    ip -n "$KB_NS-c" link set "${KB_NS:0:8}c1" up
    ip -n "$KB_NS-s" route add 239.0.0.0/8 dev "${KB_NS:0:8}s1"
    ip -n "$KB_NS-c" route add 239.0.0.0/8 dev "${KB_NS:0:8}c1"
}

kb_netns_add_link() {
    local name="$1" n="$2" net
    case "$n" in
        2) net=198.51.100 ;;
        3) net=203.0.113 ;;
        *) echo "kb_netns_add_link: link $n unknown" >&2; return 1 ;;
    esac
    ip link add "${name:0:8}s$n" netns "$name-s" type veth peer name "${name:0:8}c$n" netns "$name-c"
    ip -n "$name-s" addr add "$net.1/24" dev "${name:0:8}s$n"
    ip -n "$name-c" addr add "$net.2/24" dev "${name:0:8}c$n"
    ip -n "$name-s" link set "${name:0:8}s$n" up
    ip -n "$name-c" link set "${name:0:8}c$n" up
}

kb_netns_client_addresses() {
    local name="$1" n="$2" i
    for ((i = 0; i < n; i++)); do
        ip -n "$name-c" addr add "192.0.2.$((10 + i))/24" dev "${name:0:8}c1"
    done
}

kb_in_server() { ip netns exec "$KB_NS-s" "$@"; }
kb_in_client() { ip netns exec "$KB_NS-c" "$@"; }

kb_netns_down() {
    local name="$1" ns pid
    for ns in "$name-s" "$name-c"; do
        if ip netns list | grep -qw "$ns"; then
            for pid in $(ip netns pids "$ns" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
            sleep 0.2
            for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
            ip netns del "$ns"
        fi
    done
}
