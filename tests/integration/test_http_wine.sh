#!/usr/bin/env bash
# The HTTP server of the Windows build under Wine, seen from another network namespace: the
# three descriptions with their exact lengths and URLBase, no answer outside the exact paths,
# and a subscription granted, renewed and released over Windows Sockets. Runs the build
# lib/wine.sh selects.
set -u
SRC="${KB_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}"
source "$SRC/tests/integration/lib/check.sh"
source "$SRC/tests/integration/lib/netns.sh"
source "$SRC/tests/integration/lib/wine.sh"
kb_wine_select
kb_wine_describe
if ! kb_wine_stage; then
    echo "SKIP: no Windows build in $KB_WINE_BUILD_DIR"
    exit 0
fi
kb_wine_preflight || exit 1

WORK=$(mktemp -d /tmp/kb_httpwine.XXXXXX)
HOST_PID=""
cleanup() {
    exec 7>&- 2>/dev/null
    if [ -n "$HOST_PID" ]; then kill "$HOST_PID" 2>/dev/null; wait "$HOST_PID" 2>/dev/null; fi
    kb_netns_down kbhttpw
    rm -rf "$WORK"
}
trap cleanup EXIT
kb_netns_up kbhttpw
kb_require "Wine prefix ready" kb_wine_prefix kbhttpw-s

cp -r "$KB_WINE_BUILD_DIR/stage" "$WORK/stage"
rm -f "$WORK/stage/winamp.ini"
mkfifo "$WORK/input"
kb_in_server timeout 240 xvfb-run -a "$KB_WINE" "$WORK/stage/kbhost.exe" <"$WORK/input" \
    >"$WORK/host.out" 2>&1 &
HOST_PID=$!
exec 7>"$WORK/input"

fetch() { # fetch PATH [curl options...]: raw answer from the client namespace
    local path="$1"; shift
    kb_in_client timeout 10 curl -s -i "$@" "http://192.0.2.1:8080$path"
}
# Until the server answers, or at once when the host has ended (its output says why).
for _ in $(seq 1 600); do
    fetch /ConnectionManager.xml >/dev/null && break
    kill -0 "$HOST_PID" 2>/dev/null || break
    sleep 0.2
done
answers() { grep -q '^HTTP/1.1 200 OK' <(fetch /ConnectionManager.xml); }
if ! answers; then tr -d '\r' <"$WORK/host.out" | sed 's/^/host: /'; fi
kb_require "the server answered" answers

whole() { grep -q '^HTTP/1.1 200 OK' "$1.head" && same_length "$1.head" "$1.xml"; }
for doc in DeviceDescription ContentDirectory ConnectionManager; do
    kb_in_client timeout 10 curl -s -D "$WORK/$doc.head" -o "$WORK/$doc.xml" \
        "http://192.0.2.1:8080/$doc.xml"
    check "$doc: 200 with Content-Length equal to the body" whole "$WORK/$doc"
done
check "URLBase names the address the client used" \
    grep -q '<URLBase>http://192.0.2.1:8080/</URLBase>' "$WORK/DeviceDescription.xml"
/usr/bin/python3 - "$WORK" <<'PY' || failures=$((failures + 1))
import sys, xml.etree.ElementTree as ET
ns = {"s": "urn:schemas-upnp-org:service-1-0"}
ok = True
for name, actions, variables in (("ContentDirectory", 12, 20), ("ConnectionManager", 5, 10)):
    scpd = ET.parse("%s/%s.xml" % (sys.argv[1], name)).getroot()
    counted = (len(scpd.findall("s:actionList/s:action", ns)),
               len(scpd.findall("s:serviceStateTable/s:stateVariable", ns)))
    ok = ok and counted == (actions, variables)
    print("%s - %s SCPD parses: %d actions, %d variables" % ("ok  " if ok else "FAIL", name, *counted))
sys.exit(0 if ok else 1)
PY
check "HTTP/1.0 request: HTTP/1.0 status line" grep -q '^HTTP/1.0 200 OK' \
    <(fetch /ContentDirectory.xml -0)
check "query string: no answer" test -z "$(fetch '/DeviceDescription.xml?x')"
check "still answering after it" answers

kb_in_client /usr/bin/python3 - <<'PY' || failures=$((failures + 1))
import re, socket
def ask(text):
    s = socket.create_connection(("192.0.2.1", 8080), timeout=10)
    s.sendall(text.replace("\n", "\r\n").encode())
    data = b""
    while True:
        block = s.recv(4096)
        if not block:
            return data.decode("latin-1")
        data += block
ok = True
def expect(what, cond):
    global ok
    print(("ok   - " if cond else "FAIL - ") + what)
    ok = ok and cond
granted = ask("SUBSCRIBE /ContentDirectory/Event HTTP/1.1\nCALLBACK: <http://192.0.2.2:4999/>\n"
              "NT: upnp:event\nTIMEOUT: Second-1800\n\n")
m = re.search(r"SID: uuid:(-?\d+)\r\nTIMEOUT: Second-30\r\n\r\n$", granted)
expect("subscription granted for 30 s", m is not None)
sid = m.group(1) if m else "0"
expect("renewal granted 1800 s", ask("SUBSCRIBE /ContentDirectory/Event HTTP/1.1\nSID: uuid:%s\n"
                                     "TIMEOUT: Second-1800\n\n" % sid).endswith("Second-1800\r\n\r\n"))
expect("foreign callback refused", ask("SUBSCRIBE /e HTTP/1.1\nCALLBACK: <http://203.0.113.5/>\n\n")
       == "HTTP/1.1 412 Precondition Failed\r\n\r\n")
expect("unsubscribe releases", "CONTENT-LENGTH: 0" in ask("UNSUBSCRIBE /e HTTP/1.1\nSID: uuid:%s\n\n" % sid))
# Head and body in separate segments are read whole.
body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
        's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
        '<u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>0</ObjectID>'
        '<BrowseFlag>BrowseMetadata</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>'
        '<RequestedCount>0</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body>'
        '</s:Envelope>').encode()
s = socket.create_connection(("192.0.2.1", 8080), timeout=10)
s.sendall(b"POST /ContentDirectory/Control HTTP/1.1\r\nSOAPAction: \"urn:schemas-upnp-org:service:"
          b"ContentDirectory:1#Browse\"\r\nContent-Length: %d\r\n\r\n" % len(body))
import time; time.sleep(0.3)
s.sendall(body)
answer = b""
while True:
    block = s.recv(4096)
    if not block:
        break
    answer += block
expect("Browse with a late body answered", answer.startswith(b"HTTP/1.1 200 OK") and
       b"BrowseResponse" in answer)
raise SystemExit(0 if ok else 1)
PY

echo quit >&7
exec 7>&-
wait "$HOST_PID"
HOST_PID=""
kb_finish
