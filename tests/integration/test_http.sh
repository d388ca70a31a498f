#!/usr/bin/env bash
# The HTTP server of a running plug-in, seen from another network namespace: the description
# documents with the address the client used, exact paths only, the SCPDs as XML, event
# subscriptions granted, renewed and released, with callbacks checked against the subscriber's
# network, a flood of idle connections, hostile peers (hoarding, rebinding, reflection,
# framing), and a control-point library discovering and introspecting both services.
# usage: test_http.sh [native|windows]: the native build's kbhost, or kbhost.exe with the DLL
# under Wine (the Windows build lib/wine.sh selects).
set -u
SRC="${KB_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}"
source "$SRC/tests/integration/lib/check.sh"
source "$SRC/tests/integration/lib/netns.sh"
KIND="${1:-native}"
case "$KIND" in
    native)
        NS=kbhttpd
        STAGE_IN="${KB_BUILD_DIR:?KB_BUILD_DIR not set}/stage"
        HOST_NAME=kbhost
        WAIT_TENTHS=100
        ;;
    windows)
        source "$SRC/tests/integration/lib/wine.sh"
        kb_wine_select
        kb_wine_describe
        kb_wine_stage || { echo "SKIP: no Windows build in $KB_WINE_BUILD_DIR"; exit 0; }
        kb_wine_preflight || exit 1
        NS=kbhttpw
        STAGE_IN="$KB_WINE_BUILD_DIR/stage"
        HOST_NAME=kbhost.exe
        WAIT_TENTHS=1200  # Wine starts slowly
        ;;
    *) echo "usage: test_http.sh [native|windows]" >&2; exit 2 ;;
esac

WORK=$(mktemp -d /tmp/kb_http.XXXXXX)
HOST_PID=""
cleanup() {
    exec 7>&- 2>/dev/null
    if [ -n "$HOST_PID" ]; then kill "$HOST_PID" 2>/dev/null; wait "$HOST_PID" 2>/dev/null; fi
    kb_netns_down "$NS"
    rm -rf "$WORK"
}
trap cleanup EXIT
kb_netns_up "$NS"
kb_netns_add_link "$NS" 2

STAGE="$WORK/stage"
cp -r "$STAGE_IN" "$STAGE"
rm -f "$STAGE/winamp.ini"
mkfifo "$WORK/input"
if [ "$KIND" = windows ]; then
    kb_require "Wine prefix ready" kb_wine_prefix "$NS-s"
    kb_in_server timeout 240 xvfb-run -a "$KB_WINE" "$STAGE/kbhost.exe" <"$WORK/input" \
        >"$WORK/host.out" 2>&1 &
else
    kb_in_server "$STAGE/kbhost" <"$WORK/input" >"$WORK/host.out" 2>&1 &
fi
HOST_PID=$!
exec 7>"$WORK/input"

# fetch ADDRESS PATH [METHOD]: the raw answer of one request from the client namespace.
fetch() {
    kb_in_client timeout 10 curl -s -i -X "${3:-GET}" "http://$1:8080$2"
}
for _ in $(seq 1 "$WAIT_TENTHS"); do
    fetch 192.0.2.1 /DeviceDescription.xml >/dev/null && break
    kill -0 "$HOST_PID" 2>/dev/null || break
    sleep 0.1
done
answers() { grep -q '^HTTP/1.1 200 OK' <(fetch 192.0.2.1 /ConnectionManager.xml); }
answers || sed 's/^/host: /' "$WORK/host.out"
kb_require "the server answered" answers

KBHOST_PID=""
for pid in $(ip netns pids "$NS-s"); do
    if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$HOST_NAME" ]; then KBHOST_PID=$pid; fi
done
check "$HOST_NAME runs in the server namespace" test -n "$KBHOST_PID"

kb_in_client timeout 10 curl -s -D "$WORK/dd.head" -o "$WORK/dd.xml" \
    http://192.0.2.1:8080/DeviceDescription.xml
kb_in_client timeout 10 curl -s -D "$WORK/dd2.head" -o "$WORK/dd2.xml" \
    http://198.51.100.1:8080/DeviceDescription.xml
kb_in_client timeout 10 curl -s -0 -D "$WORK/cd.head" -o "$WORK/cd.xml" \
    http://192.0.2.1:8080/ContentDirectory.xml
kb_in_client timeout 10 curl -s -D "$WORK/cm.head" -o "$WORK/cm.xml" \
    http://192.0.2.1:8080/ConnectionManager.xml

check "device description answered with HTTP/1.1" grep -q '^HTTP/1.1 200 OK' "$WORK/dd.head"
check "HTTP/1.0 request gets an HTTP/1.0 status line" grep -q '^HTTP/1.0 200 OK' "$WORK/cd.head"
for doc in dd dd2 cd cm; do
    check "$doc: Content-Length equals the body" same_length "$WORK/$doc.head" "$WORK/$doc.xml"
done
check "URLBase names the address and port the client used" \
    grep -q '<URLBase>http://192.0.2.1:8080/</URLBase>' "$WORK/dd.xml"
check "second address: its own URLBase" \
    grep -q '<URLBase>http://198.51.100.1:8080/</URLBase>' "$WORK/dd2.xml"
udn() { sed -n 's/.*<UDN>\([^<]*\)<\/UDN>.*/\1/p' "$1"; }
check "same UDN through both addresses" test -n "$(udn "$WORK/dd.xml")" -a \
    "$(udn "$WORK/dd.xml")" = "$(udn "$WORK/dd2.xml")"
check "friendly name carries the host name" \
    grep -q "<friendlyName>KestrelBloom Media Server \[$(kb_in_server hostname)\]</friendlyName>" \
    "$WORK/dd.xml"

/usr/bin/python3 - "$WORK" <<'PY' || failures=$((failures + 1))
import sys, xml.etree.ElementTree as ET
work = sys.argv[1]
ns = {"d": "urn:schemas-upnp-org:device-1-0", "s": "urn:schemas-upnp-org:service-1-0"}
bad = 0
def expect(what, ok):
    global bad
    print(("ok   - " if ok else "FAIL - ") + what)
    bad += 0 if ok else 1
root = ET.parse(work + "/dd.xml").getroot()
services = root.findall("d:device/d:serviceList/d:service", ns)
expect("device description parses with three services", len(services) == 3)
expect("event URLs", [s.find("d:eventSubURL", ns).text for s in services] ==
       ["/ContentDirectory/Event", "/ConnectionManager/Event",
        "/X_MS_MediaReceiverRegistrar/Event"])
for name, actions, variables in (("cd", 12, 20), ("cm", 5, 10)):
    scpd = ET.parse("%s/%s.xml" % (work, name)).getroot()
    expect("%s SCPD parses: %d actions" % (name, actions),
           len(scpd.findall("s:actionList/s:action", ns)) == actions)
    expect("%s SCPD: %d state variables" % (name, variables),
           len(scpd.findall("s:serviceStateTable/s:stateVariable", ns)) == variables)
sys.exit(1 if bad else 0)
PY

no_answer() { test -z "$(fetch "$@")"; }
check "query string gets no answer" no_answer 192.0.2.1 '/DeviceDescription.xml?a=1'
check "other capitals get no answer" no_answer 192.0.2.1 /devicedescription.xml
check "unknown target gets no answer" no_answer 192.0.2.1 /favicon.ico
# HEAD gets the head GET would get (Date aside), and no body.
head_of() { tr -d '\r' | sed '/^$/q' | grep -v '^Date:'; }
head_like_get() {
    local get head
    get=$(fetch 192.0.2.1 /DeviceDescription.xml | head_of)
    head=$(kb_in_client timeout 10 curl -s -I http://192.0.2.1:8080/DeviceDescription.xml | head_of)
    [ -n "$head" ] && [ "$head" = "$get" ]
}
check "HEAD gets the head of GET" head_like_get
check "still answering after them" answers

# A control request whose body follows its head in a later segment is answered in full, with
# the header name in the capitals common control points use.
kb_in_client /usr/bin/python3 - <<'PY' || failures=$((failures + 1))
import socket, time
body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
        's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
        '<u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>0</ObjectID>'
        '<BrowseFlag>BrowseMetadata</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>'
        '<RequestedCount>0</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body>'
        '</s:Envelope>').encode()
s = socket.create_connection(("192.0.2.1", 8080), timeout=10)
s.sendall(b"POST /ContentDirectory/Control HTTP/1.1\r\nSOAPAction: \"urn:schemas-upnp-org:service:"
          b"ContentDirectory:1#Browse\"\r\nContent-Length: %d\r\n\r\n" % len(body))
time.sleep(0.3)
s.sendall(body[:100])
time.sleep(0.2)
s.sendall(body[100:])
answer = b""
while True:
    block = s.recv(4096)
    if not block:
        break
    answer += block
ok = answer.startswith(b"HTTP/1.1 200 OK") and b"BrowseResponse" in answer
print(("ok   - " if ok else "FAIL - ") + "Browse with its body in later segments answered")
raise SystemExit(0 if ok else 1)
PY

# A new subscriber is granted 30 s and its first event reaches its callback shortly after the
# answer; a callback outside the subscriber's network is refused.
kb_in_client /usr/bin/python3 - <<'PY' || failures=$((failures + 1))
import re, socket, time
listener = socket.socket()
listener.bind(("192.0.2.2", 4998))
listener.listen(4)
listener.settimeout(5)
s = socket.create_connection(("192.0.2.1", 8080), timeout=5)
s.sendall(b"SUBSCRIBE /ConnectionManager/Event HTTP/1.1\r\nCALLBACK: <http://192.0.2.2:4998/cm>"
          b"\r\nNT: upnp:event\r\nTIMEOUT: Second-300\r\n\r\n")
answer = b""
while not answer.endswith(b"\r\n\r\n"):
    block = s.recv(4096)
    if not block:
        break
    answer += block
answered = time.time()
sid = [l for l in answer.split(b"\r\n") if l.startswith(b"SID: ")][0][5:]
conn, _ = listener.accept()
delay = time.time() - answered
conn.settimeout(5)
event = conn.recv(65536)
ok = event.startswith(b"NOTIFY /cm ") and b"SID: " + sid in event and b"SEQ: 0" in event
ok = ok and answer.endswith(b"TIMEOUT: Second-30\r\n\r\n")
print(("ok   - " if ok else "FAIL - ") + "granted 30 s, first event after %.0f ms" % (delay * 1000))
def ask(text):
    s = socket.create_connection(("192.0.2.1", 8080), timeout=10)
    s.sendall(text.replace("\n", "\r\n").encode())
    data = b""
    while True:
        block = s.recv(4096)
        if not block:
            return data.decode("latin-1")
        data += block
renewed = ask("SUBSCRIBE /ConnectionManager/Event HTTP/1.1\nSID: %s\nTIMEOUT: Second-1800\n\n"
              % sid.decode()).endswith("TIMEOUT: Second-1800\r\n\r\n")
print(("ok   - " if renewed else "FAIL - ") + "renewal granted 1800 s")
infinite = ask("SUBSCRIBE /ConnectionManager/Event HTTP/1.1\nSID: %s\nTIMEOUT: Second-infinite\n\n"
               % sid.decode()).endswith("TIMEOUT: Second-1800\r\n\r\n")
print(("ok   - " if infinite else "FAIL - ") + "renewal asking infinite granted 1800 s")
random_sid = re.fullmatch(rb"uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
                          sid) is not None
print(("ok   - " if random_sid else "FAIL - ") + "SID is random hex in the UUID layout: %s" % sid.decode())
released = "CONTENT-LENGTH: 0" in ask("UNSUBSCRIBE /ConnectionManager/Event HTTP/1.1\nSID: %s\n\n"
                                      % sid.decode())
print(("ok   - " if released else "FAIL - ") + "unsubscribe releases")
ok = ok and renewed and infinite and random_sid and released
s = socket.create_connection(("192.0.2.1", 8080), timeout=5)
s.sendall(b"SUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\nCALLBACK: <http://203.0.113.50/x>\r\n\r\n")
refused = s.recv(4096) == b"HTTP/1.1 412 Precondition Failed\r\n\r\n"
print(("ok   - " if refused else "FAIL - ") + "callback to a foreign network refused")
ok = ok and refused
raise SystemExit(0 if ok and delay < 2 else 1)
PY

# A flood of idle connections: the server keeps answering once they are gone, and never
# runs more connection threads than its limit.
kb_in_client /usr/bin/python3 - "$KBHOST_PID" <<'PY' || failures=$((failures + 1))
import socket, sys, time, urllib.request
def threads():
    with open("/proc/%s/status" % sys.argv[1]) as f:
        return int([l for l in f if l.startswith("Threads:")][0].split()[1])
idle = []
for _ in range(600):
    try:
        idle.append(socket.create_connection(("192.0.2.1", 8080), timeout=5))
    except OSError:
        break
time.sleep(1)
count = threads()
print(("ok   - " if count < 256 + 32 else "FAIL - ") +
      "%d idle connections, %d threads in the host" % (len(idle), count))
if count >= 256 + 32:
    raise SystemExit(1)
for s in idle:
    s.close()
deadline = time.time() + 10
while True:
    try:
        body = urllib.request.urlopen("http://192.0.2.1:8080/ConnectionManager.xml", timeout=5).read()
        print("ok   - served again after the flood")
        break
    except OSError as e:
        if time.time() > deadline:
            print("FAIL - not served after the flood: %s" % e)
            raise SystemExit(1)
        time.sleep(0.2)
PY

# Hostile peers: one short check each. One peer holds its 32 connections (the rest get 503)
# while a peer on the other link is answered promptly; a rebound Host gets 403 and no Host is
# served; the 404 page escapes the path; bad framing gets 400 and 413; a huge criteria is 708.
kb_in_client /usr/bin/python3 - "$KIND" <<'PY' || failures=$((failures + 1))
import re, socket, sys, time
# Wine answers a fresh connection more slowly than a native host.
ANSWER_MS = 100 if sys.argv[1] == "native" else 1000
ok = True
def check(what, cond, detail=""):
    global ok
    print(("ok   - " if cond else "FAIL - ") + what + ("" if cond or not detail else " (%s)" % detail))
    ok = ok and cond
def ask(data, source="192.0.2.2", server="192.0.2.1", timeout=5):
    s = socket.socket()
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect((server, 8080))
    try:
        s.sendall(data)
    except OSError:
        pass
    answer = b""
    try:
        while True:
            block = s.recv(65536)
            if not block:
                break
            answer += block
    except OSError:
        pass
    s.close()
    return answer
time.sleep(1)  # the flood's connections are gone from the server too
held = [socket.create_connection(("192.0.2.1", 8080), timeout=5) for _ in range(40)]
time.sleep(0.5)
refused = 0
for s in held:
    s.setblocking(False)
    try:
        refused += s.recv(64).startswith(b"HTTP/1.1 503 ")
    except BlockingIOError:
        pass
started = time.time()
other = ask(b"GET /ConnectionManager.xml HTTP/1.1\r\nHOST: 198.51.100.1:8080\r\n\r\n",
            "198.51.100.2", "198.51.100.1")
took = (time.time() - started) * 1000
check("one peer holds 32 connections, 8 more get 503", refused == 8, "%d" % refused)
check("another peer answered while they are held",
      other.startswith(b"HTTP/1.1 200 ") and took < ANSWER_MS,
      "%.0f ms" % took)
for s in held:
    s.close()
check("rebound Host gets 403 with an empty body",
      ask(b"GET /DeviceDescription.xml HTTP/1.1\r\nHost: evil.example:8080\r\n\r\n")
      .startswith(b"HTTP/1.1 403 ") )
check("no Host (HTTP/1.0) is served",
      ask(b"GET /DeviceDescription.xml HTTP/1.0\r\n\r\n").startswith(b"HTTP/1.0 200 OK"))
notfound = ask(b"GET /disk/<b>x</b>.mp3 HTTP/1.1\r\n\r\n")
check("404 page escapes the path", notfound.startswith(b"HTTP/1.1 404") and b"<b>" not in notfound
      and b"&lt;b&gt;" in notfound)
check("negative Content-Length gets 400",
      ask(b"POST /ContentDirectory/Control HTTP/1.1\r\nSOAPACTION: \"a#Browse\"\r\n"
          b"Content-Length: -5\r\n\r\n").startswith(b"HTTP/1.1 400 "))
body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
        's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
        '<u:Search xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ContainerID>0'
        '</ContainerID><SearchCriteria>' + "(" * 20000 + '</SearchCriteria><Filter>*</Filter>'
        '<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria>'
        '</SortCriteria></u:Search></s:Body></s:Envelope>').encode()
check("criteria over 16 KiB answered 708",
      b"<errorCode>708</errorCode>" in ask(b"POST /ContentDirectory/Control HTTP/1.1\r\n"
          b"SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#Search\"\r\n"
          b"Content-Length: %d\r\n\r\n" % len(body) + body))
check("body over 1 MiB gets 413",
      ask(b"POST /ContentDirectory/Control HTTP/1.1\r\nSOAPACTION: \"a#Browse\"\r\n"
          b"Content-Length: 2000000\r\n\r\n" + b"x" * 100000).startswith(b"HTTP/1.1 413 "))
def subscribe(source, server):
    return ask(b"SUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\nHOST: %s:8080\r\nCALLBACK: "
               b"<http://%s:9/>\r\nNT: upnp:event\r\nTIMEOUT: Second-300\r\n\r\n"
               % (server.encode(), source.encode()), source, server)
answers = [subscribe("192.0.2.2", "192.0.2.1") for _ in range(6)]
granted = sum(a.startswith(b"HTTP/1.1 200 ") for a in answers)
check("one host holds at most 5 subscriptions, then 500",
      1 <= granted <= 5 and answers[-1] == b"HTTP/1.1 500 Server Error\r\n\r\n", "%d" % granted)
check("another host still subscribes",
      subscribe("198.51.100.2", "198.51.100.1").startswith(b"HTTP/1.1 200 "))
raise SystemExit(0 if ok else 1)
PY

# Switched off and on again while the connections the server closed linger in TIME_WAIT: the
# listener gets port 8080 back.
echo click >&7
sleep 1
check "switched off: no listener" test -z "$(fetch 192.0.2.1 /ConnectionManager.xml)"
echo click >&7
for _ in $(seq 1 50); do
    fetch 192.0.2.1 /ConnectionManager.xml >/dev/null && break
    sleep 0.1
done
check "switched on again: port 8080 once more" grep -q '^HTTP/1.1 200 OK' \
    <(fetch 192.0.2.1 /ConnectionManager.xml)

# A control-point library discovers the device, introspects both services, and subscribes to
# the ContentDirectory through its own event server, receiving the first event.
kb_in_client timeout 80 /usr/bin/python3 - <<'PY' || failures=$((failures + 1))
import gi, sys
gi.require_version("GUPnP", "1.6")
gi.require_version("GSSDP", "1.6")
from gi.repository import Gio, GLib, GObject, GSSDP, GUPnP
loop = GLib.MainLoop()
found = {}
def done():
    # Past the first grant's half-life the library has renewed once; a refused renewal shows
    # as a lost subscription.
    if len(found) == 3 and "timer" not in found:
        found["timer"] = GLib.timeout_add_seconds(18, loop.quit)
def introspected(info, res, name):
    try:
        intro = info.introspect_finish(res)
        found[name] = (len(intro.list_actions()), len(intro.list_state_variables()))
    except GLib.Error as e:
        found[name] = str(e)
    done()
def notified(proxy, variable, value, *args):
    found.setdefault("event", "%s=%s" % (variable, value))
    done()
def lost(*args):
    found["lost"] = True
    found.setdefault("event", "subscription lost")
    done()
proxies = []
def available(cp, proxy):
    for service in proxy.list_services():
        name = service.get_service_type().split(":")[-2]
        service.introspect_async(None, introspected, name)
        if name == "ContentDirectory":
            proxies.append(service)
            service.add_notify("SystemUpdateID", GObject.TYPE_UINT, notified)
            service.connect("subscription-lost", lost)
            service.set_subscribed(True)
context = GUPnP.Context.new_for_address(Gio.InetAddress.new_from_string("192.0.2.2"), 0,
                                        GSSDP.UDAVersion.VERSION_1_0)
cp = GUPnP.ControlPoint.new(context, "urn:schemas-upnp-org:device:MediaServer:1")
cp.connect("device-proxy-available", available)
cp.set_active(True)
GLib.timeout_add_seconds(50, loop.quit)
loop.run()
found.pop("timer", None)
ok = found.get("ContentDirectory") == (12, 20) and found.get("ConnectionManager") == (5, 10)
print(("ok   - " if ok else "FAIL - ") + "GUPnP introspection: %s" % found)
evented = str(found.get("event", "")).startswith("SystemUpdateID=") and "lost" not in found
print(("ok   - " if evented else "FAIL - ") + "GUPnP subscription kept past its renewal: %s%s" %
      (found.get("event"), " (lost)" if "lost" in found else ""))
sys.exit(0 if ok and evented else 1)
PY

echo quit >&7
exec 7>&-
wait "$HOST_PID"
HOST_PID=""
kb_finish
