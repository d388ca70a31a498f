#!/usr/bin/env bash
# Browse and Search over the network: bench_browse serves a 50,000-track catalogue in a server
# namespace and loads it from a client namespace (1, 8 and 32 concurrent clients, then 8 while
# one more client stops reading mid-answer). Nothing multicasts: the bench server has no SSDP.
# With "library", the server reads a generated library through the watcher and rebuilds it once a
# second while the client runs All Tracks pages without and with a stalled client; the rebuild
# times of each round are summed up at the end.
# Usage: bench/browse_bench.sh BUILD_DIR [TRACKS [library]]   (root; bounded by a 900 s time-out)
set -u
BUILD="${1:?usage: browse_bench.sh BUILD_DIR [TRACKS [library]]}"
TRACKS="${2:-50000}"
LIBRARY="${3:-}"
SRC="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=../tests/integration/lib/netns.sh
source "$SRC/tests/integration/lib/netns.sh"

WORK=$(mktemp -d /tmp/kb_browse_bench.XXXXXX)
cleanup() {
    exec 7>&- 2>/dev/null
    kb_netns_down kbbench
    rm -rf "$WORK"
}
trap cleanup EXIT
kb_netns_up kbbench

mkfifo "$WORK/in"
kb_in_server timeout 900 "$BUILD/bench/bench_browse" serve 192.0.2.1 "$TRACKS" $LIBRARY <"$WORK/in" >"$WORK/serve" 2>&1 &
exec 7>"$WORK/in"
for _ in $(seq 1 3000); do grep -q '^listening' "$WORK/serve" && break; sleep 0.1; done
PORT=$(sed -n 's/^listening //p' "$WORK/serve")
if [ -z "$PORT" ]; then
    echo "bench server did not start" >&2
    cat "$WORK/serve" >&2
    exit 1
fi
echo "server: 192.0.2.1:$PORT, $TRACKS tracks"

# Server CPU per no-op GET (the device description): the server's CPU time, printed for each
# line it reads, before and after 2,000 sequential requests.
serverCpu() {
    local lines
    lines=$(grep -c '^cpu ' "$WORK/serve")
    echo >&7
    for _ in $(seq 1 100); do
        [ "$(grep -c '^cpu ' "$WORK/serve")" -gt "$lines" ] && break
        sleep 0.05
    done
    grep '^cpu ' "$WORK/serve" | tail -1 | cut -d' ' -f2
}
GETS=2000
before=$(serverCpu)
kb_in_client timeout 120 "$BUILD/bench/bench_browse" get 192.0.2.1 "$PORT" "$GETS"
after=$(serverCpu)
awk -v b="$before" -v a="$after" -v n="$GETS" \
    'BEGIN { printf "no-op GET server CPU: %.4f ms per request (%d requests)\n", (a - b) / n / 1000, n }'
kb_in_client timeout 800 "$BUILD/bench/bench_browse" load 192.0.2.1 "$PORT" "$TRACKS" $LIBRARY |
    tee "$WORK/load"
if [ -n "$LIBRARY" ]; then
    grep '^library' "$WORK/serve"
    # Rebuilds that ran inside the rounds of each condition: count, mean and longest time; then
    # per pair of rounds the ratio of the mean rebuild times, stalled / baseline, and their median.
    awk 'FNR == NR && $1 == "rebuild" { at[++n] = $2; ms[n] = $3; next }
         $1 == "round" {
             k = 0; s = 0
             for (i = 1; i <= n; i++) if (at[i] >= $3 && at[i] <= $4) {
                 c[$2]++; sum[$2] += ms[i]; if (ms[i] > max[$2]) max[$2] = ms[i]; k++; s += ms[i]
             }
             if (k > 0) mean[$5, $2] = s / k
             pairs[$5] = 1
         }
         END {
             for (k in c) printf "rebuilds during %-9s %3d, mean %8.1f ms, longest %8.1f ms\n",
                                 k, c[k], sum[k] / c[k], max[k]
             m = 0
             for (p in pairs) if (((p, "baseline") in mean) && ((p, "stalled") in mean))
                 r[++m] = mean[p, "stalled"] / mean[p, "baseline"]
             for (i = 2; i <= m; i++) for (j = i; j > 1 && r[j - 1] > r[j]; j--) {
                 t = r[j]; r[j] = r[j - 1]; r[j - 1] = t
             }
             if (m > 0) printf "rebuild time, median over %d pairs of stalled / baseline: %.3f\n",
                               m, (m % 2 ? r[(m + 1) / 2] : (r[m / 2] + r[m / 2 + 1]) / 2)
         }' "$WORK/serve" "$WORK/load"
fi
