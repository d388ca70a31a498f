#!/usr/bin/env bash
# gssdp-discover, a stock SSDP browser, watches the server from the client namespace while kbhost
# is switched on at start, off and on again by tray clicks, and quits. Each change must show up
# as all five resources becoming available or unavailable, in that order; an unavailable within
# seconds can only come from a byebye, as the announcements live for 1810 s.
set -u
SRC="${KB_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}"
BUILD="${KB_BUILD_DIR:-$SRC/build}"
source "$SRC/tests/integration/lib/check.sh"
source "$SRC/tests/integration/lib/netns.sh"
NS=kbe2essd
IFACE="${NS:0:8}c1"

if [ ! -x "$BUILD/stage/kbhost" ]; then
    echo "SKIP: no kbhost in $BUILD/stage"
    exit 0
fi
if ! command -v gssdp-discover >/dev/null; then
    echo "FAIL - gssdp-discover is not installed (gssdp-tools)"
    exit 1
fi

work=$(mktemp -d /tmp/kb_e2e_gssdp.XXXXXX)
cleanup() {
    exec 3>&- 2>/dev/null
    kb_netns_down "$NS"
    rm -rf "$work"
}
trap cleanup EXIT
cp -r "$BUILD/stage" "$work/stage"
rm -f "$work/stage/winamp.ini"
mkfifo "$work/commands"
kb_netns_up "$NS"

# wait_for FILE PATTERN COUNT SECONDS: until PATTERN occurs COUNT times in FILE.
wait_for() {
    local i
    for ((i = 0; i < $4 * 10; i++)); do
        [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0
        sleep 0.1
    done
    return 1
}

kb_in_client timeout 60 gssdp-discover -i "$IFACE" -m all -n 50 >"$work/seen" 2>&1 &
sleep 0.5
kb_in_server timeout 60 "$work/stage/kbhost" <"$work/commands" >"$work/host" 2>&1 &
exec 3>"$work/commands"
start=$(date +%s.%N)
kb_require "kbhost started" wait_for "$work/host" "^kbhost: started" 1 15
kb_require "the server answered: its five resources announced available" \
    wait_for "$work/seen" "resource available" 5 6
awk -v a="$start" -v b="$(date +%s.%N)" \
    'BEGIN { printf "figure: first alive seen %.2f s after starting kbhost\n", b - a }'
echo click >&3
check "switched off by a click: all five unavailable" wait_for "$work/seen" "resource unavailable" 5 4
echo click >&3
check "switched on again by a click: all five available again" \
    wait_for "$work/seen" "resource available" 10 6
echo quit >&3
check "kbhost stopped" wait_for "$work/host" "^kbhost: stopped" 1 15
check "quit: all five unavailable" wait_for "$work/seen" "resource unavailable" 10 4

# The order of events and the resources themselves.
udn=$(grep -m1 -o 'uuid:[^:[:space:]]*' "$work/seen")
phases=$(awk '/^resource (available|unavailable)/ {
                  if ($2 != last) { printf "%s ", $2; last = $2 } }' "$work/seen")
check "events in order: available, unavailable, available, unavailable ($phases)" \
    test "$phases" = "available unavailable available unavailable "
for type in "" "::upnp:rootdevice" "::urn:schemas-upnp-org:device:MediaServer:1" \
    "::urn:schemas-upnp-org:service:ContentDirectory:1" \
    "::urn:schemas-upnp-org:service:ConnectionManager:1"; do
    check "USN $udn$type seen in each of the four changes" \
        test "$(grep -cx "  USN:      $udn$type" "$work/seen")" -eq 4
done
check "every available resource names the description on 192.0.2.1:8080" \
    test "$(grep -c "Location: http://192.0.2.1:8080/DeviceDescription.xml" "$work/seen")" -eq 10
if [ "$failures" -ne 0 ]; then
    echo "--- gssdp-discover saw:"
    cat "$work/seen"
fi
kb_finish
