#!/usr/bin/env bash
# Records the server's raw HTTP answers to a fixed set of requests, one file per request, so two
# builds can be compared byte for byte (diff -r). The server runs a demo library (made by
# tools/make_demo_library.py) inside a private network namespace pair; the requests come from
# the client namespace. Lines that differ from run to run by design are masked: Date, SID, the
# UDN (made from the veth card's random MAC address) and the SystemUpdateID of an event.
#
# usage (root): flock /tmp/kb-integration.lock tools/capture_answers.sh BUILD_DIR OUTPUT_DIR
set -u
BUILD=$(cd "${1:?usage: capture_answers.sh BUILD_DIR OUTPUT_DIR}" && pwd)
OUT="${2:?usage: capture_answers.sh BUILD_DIR OUTPUT_DIR}"
SRC=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=../tests/integration/lib/netns.sh
source "$SRC/tests/integration/lib/netns.sh"

NS=kbcapture
WORK=$(mktemp -d /tmp/kb_capture.XXXXXX)
HOST_PID=""
cleanup() {
    exec 7>&- 2>/dev/null
    if [ -n "$HOST_PID" ]; then kill "$HOST_PID" 2>/dev/null; wait "$HOST_PID" 2>/dev/null; fi
    kb_netns_down "$NS"
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$OUT"
rm -f "$OUT"/*.txt
cp -r "$BUILD/stage" "$WORK/stage"
rm -f "$WORK/stage/winamp.ini"
# A fixed path: the library files name the tracks by path.
MUSIC=/tmp/kb_capture_music
rm -rf "$MUSIC"
/usr/bin/python3 "$SRC/tools/make_demo_library.py" "$MUSIC" >/dev/null || exit 1

kb_netns_up "$NS"
mkfifo "$WORK/input"
kb_in_server "$WORK/stage/kbhost" --music "$MUSIC" <"$WORK/input" >"$WORK/host.out" 2>&1 &
HOST_PID=$!
exec 7>"$WORK/input"

kb_in_client timeout 120 /usr/bin/python3 - "$OUT" <<'PYEOF'
import os, re, socket, sys, time

OUT = sys.argv[1]
SERVER, PORT = "192.0.2.1", 8080
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
CMS = "urn:schemas-upnp-org:service:ConnectionManager:1"


def raw(request):
    conn = socket.create_connection((SERVER, PORT), timeout=10)
    conn.sendall(request)
    data = b""
    while True:
        block = conn.recv(1 << 16)
        if not block:
            break
        data += block
    conn.close()
    return data


def request(method, path, headers=(), body=b"", version="HTTP/1.1"):
    lines = ["%s %s %s" % (method, path, version), "HOST: %s:%d" % (SERVER, PORT)]
    lines += ["%s: %s" % pair for pair in headers]
    if body:
        lines.append("CONTENT-LENGTH: %d" % len(body))
    return raw(("\r\n".join(lines) + "\r\n\r\n").encode() + body)


def soap(service, action, args, version="HTTP/1.1"):
    inner = "".join("<%s>%s</%s>" % (k, v, k) for k, v in args)
    body = ('<?xml version="1.0"?>'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:%s xmlns:u="%s">%s</u:%s></s:Body></s:Envelope>') % (action, service, inner, action)
    path = "/ContentDirectory/Control" if service == CDS else "/ConnectionManager/Control"
    return request("POST", path, [("CONTENT-TYPE", 'text/xml; charset="utf-8"'),
                                  ("SOAPACTION", '"%s#%s"' % (service, action))],
                   body.encode(), version)


def browse(oid, flag="BrowseDirectChildren", start=0, count=0, sort="", filt="*", version="HTTP/1.1"):
    return soap(CDS, "Browse", [("ObjectID", oid), ("BrowseFlag", flag), ("Filter", filt),
                                ("StartingIndex", start), ("RequestedCount", count),
                                ("SortCriteria", sort)], version)


def search(oid, criteria, start=0, count=0, sort=""):
    return soap(CDS, "Search", [("ContainerID", oid), ("SearchCriteria", criteria),
                                ("Filter", "*"), ("StartingIndex", start),
                                ("RequestedCount", count), ("SortCriteria", sort)])


MASKS = [(re.compile(rb"^(DATE|Date): .*$", re.M), rb"\1: <masked>"),
         (re.compile(rb"^(SID|sid): .*$", re.M), rb"\1: <masked>"),
         (re.compile(rb"uuid:[0-9a-fA-F-]+"), rb"uuid:<masked>")]
count = [0]


def save(name, data):
    for pattern, replacement in MASKS:
        data = pattern.sub(replacement, data)
    count[0] += 1
    with open(os.path.join(OUT, "%02d-%s.txt" % (count[0], name)), "wb") as f:
        f.write(data)


def ids(answer, kind):
    text = answer.decode("latin-1").replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", '"').replace("&amp;", "&")
    return re.findall(r'<%s id="(-?\d+)"' % kind, text)


# Wait until the catalogue is built and stays unchanged for two seconds.
deadline = time.monotonic() + 60
last, stable_since = None, time.monotonic()
while time.monotonic() < deadline:
    try:
        answer = soap(CDS, "GetSystemUpdateID", [])
        tracks = browse("0", "BrowseDirectChildren")
    except OSError:
        time.sleep(0.2)
        continue
    now = (answer.split(b"\r\n\r\n", 1)[-1], tracks.split(b"\r\n\r\n", 1)[-1])
    if now != last:
        last, stable_since = now, time.monotonic()
    elif time.monotonic() - stable_since > 2 and b"childCount=\"0\"" not in tracks:
        break
    time.sleep(0.3)

save("device-description", request("GET", "/DeviceDescription.xml"))
save("device-description-http10", request("GET", "/DeviceDescription.xml", version="HTTP/1.0"))
save("scpd-contentdirectory", request("GET", "/ContentDirectory.xml"))
save("scpd-connectionmanager", request("GET", "/ConnectionManager.xml"))
root = browse("0")
save("browse-root", root)
save("browse-root-http10", browse("0", version="HTTP/1.0"))
save("browse-root-metadata", browse("0", "BrowseMetadata"))
containers = ids(root, "container")
track = None
art = None
for n, cid in enumerate(containers):
    answer = browse(cid)
    save("browse-top%d" % n, answer)
    subs = ids(answer, "container")
    if subs:
        save("browse-top%d-first-child" % n, browse(subs[0]))
    items = ids(answer, "item")
    if items and track is None:
        track = items[0]
        text = answer.decode("latin-1")
        found = re.search(r"(virtual/-?\d+\.jpg)", text)
        art = found.group(1) if found else None
save("browse-top0-paged", browse(containers[0], start=2, count=3))
save("browse-top0-sorted", browse(containers[0], sort="-dc:title,+upnp:album"))
save("browse-top1-sorted-date", browse(containers[1], sort="+dc:date"))
save("browse-filter", browse(containers[0], filt="dc:title,upnp:artist", count=4))
save("browse-item-metadata", browse(track, "BrowseMetadata"))
save("search-all", search("0", "*"))
save("search-criteria", search("0", 'upnp:class derivedfrom "object.item.audioItem" and dc:title contains "a"', sort="+dc:title"))
save("search-artist", search("0", 'upnp:artist = "Kestrel Quartet" or upnp:genre exists true', start=1, count=5))
save("search-album-containers", search("0", 'upnp:class = "object.container.album.musicAlbum"'))
save("search-bad-criteria", search("0", 'dc:title contains'))
save("fault-no-such-object", browse("123456789"))
save("fault-bad-flag", browse("0", "BrowseSideways"))
save("fault-bad-sort", browse("0", sort="+dc:nothing"))
save("fault-unknown-action", soap(CDS, "Frobnicate", []))
save("get-system-update-id", soap(CDS, "GetSystemUpdateID", []))
save("get-search-capabilities", soap(CDS, "GetSearchCapabilities", []))
save("get-sort-capabilities", soap(CDS, "GetSortCapabilities", []))
save("get-protocol-info", soap(CMS, "GetProtocolInfo", []))
save("get-current-connection-ids", soap(CMS, "GetCurrentConnectionIDs", []))
save("get-current-connection-info", soap(CMS, "GetCurrentConnectionInfo", [("ConnectionID", "0")]))
save("get-current-connection-info-bad", soap(CMS, "GetCurrentConnectionInfo", [("ConnectionID", "7")]))
save("track-get", request("GET", "/disk/%s.mp3" % track))
save("track-head", request("HEAD", "/disk/%s.mp3" % track))
if art:
    save("art-get", request("GET", "/" + art))
save("art-missing", request("GET", "/virtual/987654.jpg"))
save("not-found", request("GET", "/nothing/here.xml"))
save("not-found-prefix", request("GET", "/DeviceDescription.xmlx"))
save("post-without-soapaction", request("POST", "/ContentDirectory/Control", body=b"<x/>"))
save("subscribe", request("SUBSCRIBE", "/ContentDirectory/Event",
                          [("CALLBACK", "<http://192.0.2.2:45999/cb>"), ("NT", "upnp:event"),
                           ("TIMEOUT", "Second-300")]))
save("subscribe-foreign-callback", request("SUBSCRIBE", "/ContentDirectory/Event",
                          [("CALLBACK", "<http://10.9.9.9:45999/cb>"), ("NT", "upnp:event"),
                           ("TIMEOUT", "Second-300")]))
save("subscribe-colon-path", request("SUBSCRIBE", "/ContentDirectory/Event",
                          [("CALLBACK", "<http://192.0.2.2/cb:7/x>"), ("NT", "upnp:event"),
                           ("TIMEOUT", "Second-300")]))
save("unsubscribe-unknown", request("UNSUBSCRIBE", "/ContentDirectory/Event",
                          [("SID", "uuid:00000000-0000-0000-0000-000000000000")]))
save("subscribe-no-nt", request("SUBSCRIBE", "/ContentDirectory/Event",
                          [("CALLBACK", "<http://192.0.2.2:45999/cb>")]))
print("captured %d answers in %s" % (count[0], OUT))
PYEOF
rc=$?
echo quit >&7
exit $rc
