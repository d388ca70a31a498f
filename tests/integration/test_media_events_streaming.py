#!/usr/bin/python3
"""Library changes, events and streaming through the real server: kbhost serves a generated
library inside a private network namespace; from a second namespace a client subscribes with its
own callback server, checks the first events, changes the library files and checks the events
that follow (a touch that changes nothing gives none; ids live on), fetches tracks and pictures
and compares them byte for byte with the files (whole, by ranges, and as a download that is cut
and resumed with a range), and finally leaves 20 subscriptions whose callbacks never answer,
which quit must not wait for."""
import html
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

NS = "kbmedia"
HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.environ.get("KB_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
NETNS = os.path.join(SRC, "tests", "integration", "lib", "netns.sh")
SERVER = "192.0.2.1"
CLIENT = "192.0.2.2"
# The server holds at most five subscriptions per host, so the 20 dead ones come from four
# more addresses of the client (see kb_netns_client_addresses).
PER_HOST = 5
DEAD_SOURCES = ["192.0.2.%d" % (10 + i) for i in range(4)]
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
JPEG = (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
        + bytes((i * 7) & 0x7F for i in range(3000)) + b"\xff\xd9")


def sh(command, check=True):
    return subprocess.run(["bash", "-c", 'source "%s"; %s' % (NETNS, command)], check=check)


def make_library(folder):
    """Two tracks: one with an ID3v2.4 picture (a frame far above 127 bytes), one without."""
    from mutagen.id3 import APIC, ID3, TALB, TIT2, TPE1

    silence = os.path.join(folder, "silence.mp3")
    subprocess.run("head -c 88200 /dev/zero | lame --quiet -r -s 44.1 --bitwidth 16 -m m - "
                   + silence, shell=True, check=True, stderr=subprocess.DEVNULL)
    for name, title, picture in (("art.mp3", "With Art", True), ("plain.mp3", "Plain", False)):
        path = os.path.join(folder, name)
        shutil.copy(silence, path)
        tags = ID3()
        tags.add(TIT2(encoding=0, text=title))
        tags.add(TPE1(encoding=0, text="Band"))
        tags.add(TALB(encoding=0, text="Record"))
        if picture:
            tags.add(APIC(encoding=0, mime="image/jpeg", type=3, desc="cover", data=JPEG))
        tags.save(path, v2_version=4)
    os.remove(silence)
    with open(os.path.join(folder, "Mix.m3u"), "w") as m3u:
        m3u.write("#EXTM3U\n#EXTINF:3,Plain\nplain.mp3\n")


def main():
    build = os.environ["KB_BUILD_DIR"]
    work = tempfile.mkdtemp(prefix="kb_media.")
    host = None
    try:
        stage = os.path.join(work, "stage")
        shutil.copytree(os.path.join(build, "stage"), stage)
        music = os.path.join(work, "music")
        os.mkdir(music)
        make_library(music)
        sh("kb_netns_up %s; kb_netns_client_addresses %s %d" % (NS, NS, len(DEAD_SOURCES)))
        host = subprocess.Popen(
            ["ip", "netns", "exec", NS + "-s", os.path.join(stage, "kbhost"), "--music", music],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        client = subprocess.run(
            ["ip", "netns", "exec", NS + "-c", "timeout", "120", "/usr/bin/python3",
             os.path.abspath(__file__), "--client", stage, music])
        quit_ok = check_prompt_quit(host, 20)
        host = None
        return client.returncode or (0 if quit_ok else 1)
    finally:
        if host is not None:
            try:
                host.stdin.write(b"quit\n")
                host.stdin.close()
                host.wait(timeout=20)
            except Exception:  # the namespace teardown below kills it
                pass
        sh("kb_netns_down %s" % NS, check=False)
        shutil.rmtree(work, ignore_errors=True)


def check_prompt_quit(host, seconds):
    """Sends quit to the host and checks, from its own report, that the plug-ins' quit took
    less than a second (the client left deliveries to dead callbacks pending)."""
    try:
        out, _ = host.communicate(input=b"quit\n", timeout=seconds)
    except subprocess.TimeoutExpired:
        host.kill()
        out, _ = host.communicate()
    return report_quit_time((out or b"").decode("latin-1"))


def report_quit_time(output, limit_ms=1000):
    """Checks the host's own report of how long quit took: under limit_ms (a second natively)."""
    took = re.search(r"kbhost: quit took (\d+) ms", output)
    ms = int(took.group(1)) if took else None
    ok = ms is not None and ms < limit_ms
    print(("ok   - " if ok else "FAIL - ") + "quit with 20 dead callbacks pending took %s ms"
          " (limit %d ms)" % (ms, limit_ms))
    sys.stdout.flush()
    return ok


# ---- client side (runs in the client namespace) ---------------------------------------------

class Events:
    """A callback server that keeps every NOTIFY it receives with its arrival time."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind((CLIENT, 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.received = []
        self.lock = threading.Lock()
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            conn.settimeout(5)
            data = b""
            try:
                while True:
                    block = conn.recv(65536)
                    if not block:
                        break
                    data += block
            except OSError:
                pass
            conn.close()
            with self.lock:
                self.received.append((time.monotonic(), data.decode("latin-1")))

    def wait(self, count, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.received) >= count:
                    return list(self.received)
            time.sleep(0.02)
        with self.lock:
            return list(self.received)


def header(text, name):
    match = re.search(r"\r\n" + name + r": ([^\r]*)\r\n", text)
    return match.group(1) if match else None


def http(method, path, headers=None, body=b"", source=None):
    """One request on a fresh connection, from the address `source` when given; returns
    (status, head text, body bytes)."""
    conn = socket.create_connection((SERVER, 8080), timeout=10,
                                    source_address=(source, 0) if source else None)
    lines = ["%s %s HTTP/1.1" % (method, path), "HOST: %s:8080" % SERVER]
    lines += ["%s: %s" % pair for pair in (headers or {}).items()]
    if body:
        lines.append("CONTENT-LENGTH: %d" % len(body))
    conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
    data = b""
    while True:
        block = conn.recv(1 << 16)
        if not block:
            break
        data += block
    conn.close()
    head, _, rest = data.partition(b"\r\n\r\n")
    status = int(head.split(b" ")[1]) if head.startswith(b"HTTP/") else 0
    return status, head.decode("latin-1"), rest


def http_cut(path, keep):
    """A GET that the client ends after `keep` bytes of the body; returns those bytes."""
    conn = socket.create_connection((SERVER, 8080), timeout=10)
    conn.sendall(("GET %s HTTP/1.1\r\nHOST: %s:8080\r\n\r\n" % (path, SERVER)).encode())
    data = b""
    while b"\r\n\r\n" not in data or len(data.partition(b"\r\n\r\n")[2]) < keep:
        block = conn.recv(4096)
        if not block:
            break
        data += block
    conn.close()  # with unread bytes pending: the server sees the connection reset
    return data.partition(b"\r\n\r\n")[2][:keep]


def check_ranges(c, path, expected, kind):
    """Range, HEAD and DLNA answers for one resource whose bytes are `expected`."""
    size = len(expected)
    status, head, body = http("GET", path, {"Range": "bytes=-10"})
    c.check("%s: suffix range gives 206 and the last bytes" % kind,
            status == 206 and body == expected[-10:] and
            header(head + "\r\n", "Content-Range") == "bytes %d-%d/%d" % (size - 10, size - 1, size)
            and header(head + "\r\n", "Accept-Ranges") == "bytes", (status, head))
    status, head, body = http("GET", path, {"Range": "bytes=%d-" % size})
    c.check("%s: range past the end gives 416" % kind, status == 416 and
            header(head + "\r\n", "Content-Range") == "bytes */%d" % size, (status, head))
    status, get_head, _ = http("GET", path, {"getcontentFeatures.dlna.org": "1"})
    status_head, head, body = http("HEAD", path, {"getcontentFeatures.dlna.org": "1"})
    same = [h for h in ("Content-Type", "Content-Length", "Accept-Ranges",
                        "contentFeatures.dlna.org", "transferMode.dlna.org")
            if header(head + "\r\n", h) != header(get_head + "\r\n", h)]
    c.check("%s: HEAD gives GET's status and headers, no body" % kind,
            status_head == status == 200 and not same and body == b"" and
            header(head + "\r\n", "Content-Length") == str(size), (status_head, same, len(body)))
    return header(head + "\r\n", "contentFeatures.dlna.org"), header(head + "\r\n",
                                                                    "transferMode.dlna.org")


def subscribe(path, callback):
    status, head, _ = http("SUBSCRIBE", path, {"CALLBACK": "<%s>" % callback,
                                               "NT": "upnp:event", "TIMEOUT": "Second-300"})
    return status, header("\r\n" + head + "\r\n", "SID"), time.monotonic()


def dechunk(data):
    out, rest = b"", data
    while rest:
        size_text, _, rest = rest.partition(b"\r\n")
        size = int(size_text.split(b";")[0] or b"0", 16)
        if size == 0:
            break
        out, rest = out + rest[:size], rest[size + 2:]
    return out


class Checks:
    failures = 0

    def check(self, what, condition, detail=""):
        print(("ok   - " if condition else "FAIL - ") + what + ("" if condition else " " + str(detail)))
        sys.stdout.flush()
        if not condition:
            self.failures += 1
        return condition


def browse(object_id):
    """(id, title, res URL, album-art URL) of each child."""
    body = ('<?xml version="1.0"?>'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:Browse xmlns:u="%s"><ObjectID>%s</ObjectID>'
            '<BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>'
            '<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>'
            '<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>') % (CDS, object_id)
    _, head, answer = http("POST", "/ContentDirectory/Control",
                           {"CONTENT-TYPE": 'text/xml; charset="utf-8"',
                            "SOAPACTION": '"%s#Browse"' % CDS}, body.encode())
    if "chunked" in head.lower():
        answer = dechunk(answer)
    result = re.search(r"<Result>(.*)</Result>", answer.decode("latin-1"), re.S)
    didl = html.unescape(result.group(1)) if result else ""
    children = []
    for match in re.finditer(r"<(container|item) id=\"(-?\d+)\"(.*?)</\1>", didl, re.S):
        inner = match.group(3)
        title = re.search(r"<dc:title>(.*?)</dc:title>", inner)
        res = re.search(r"<res[^>]*>(.*?)</res>", inner)
        art = re.search(r"<upnp:albumArtURI[^>]*>(.*?)</upnp:albumArtURI>", inner)
        children.append((match.group(2), title.group(1) if title else None,
                         res.group(1) if res else None, art.group(1) if art else None))
    return children


def path_of(url):
    return "/" + url.split("/", 3)[3]


def touch(path):
    with open(path, "ab") as f:
        f.write(b"\n")


def touch_only(path):
    """A new modification time, the same bytes."""
    os.utime(path, None)
    stat = os.stat(path)
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1000000))


def without_path(path, name):
    """Rewrites the library file without the track path that ends in `name`."""
    with open(path, "rb") as f:
        data = f.read()
    start = data.index(name.encode() + b"\0")
    begin = data.rindex(b"\0", 0, start) + 1
    with open(path, "wb") as f:
        f.write(data[:begin] + data[start + len(name) + 1:])


def leave_dead_subscriptions(c, sids):
    """Ends the test's own subscriptions and fills the table with 20 whose three callback URLs
    lead nowhere (an address of the subnet that nobody answers), five from each of four client
    addresses: their first events wait in connects when quit comes."""
    for path, sid in sids:
        http("UNSUBSCRIBE", path, {"SID": sid})
    dead = "<http://192.0.2.77:4000/a><http://192.0.2.78:4000/b><http://192.0.2.79:4000/c>"
    granted = 0
    for i in range(PER_HOST * len(DEAD_SOURCES)):
        status, _, _ = http("SUBSCRIBE", "/ContentDirectory/Event",
                            {"CALLBACK": dead, "NT": "upnp:event", "TIMEOUT": "Second-300"},
                            source=DEAD_SOURCES[i // PER_HOST])
        granted += status == 200
    c.check("20 subscriptions with dead callbacks granted", granted == 20, granted)
    time.sleep(0.5)  # their first events are in connects by now


def run_client(stage, music):
    c = Checks()
    answered = False
    for _ in range(150):
        try:
            answered = http("GET", "/DeviceDescription.xml")[0] == 200
        except OSError:
            pass
        if answered:
            break
        time.sleep(0.2)
    if not c.check("server answers on %s:8080" % SERVER, answered):
        return 1

    events = Events()
    callback = "http://%s:%d" % (CLIENT, events.port)
    # Let the first library pass happen, so the first event already counts it.
    time.sleep(1.5)
    status, sid, answered = subscribe("/ContentDirectory/Event", callback + "/cd")
    c.check("ContentDirectory SUBSCRIBE granted", status == 200 and sid is not None, status)
    got = events.wait(1, 3)
    c.check("first event arrives", len(got) == 1, len(got))
    if not got:
        return 1
    arrived, first = got[0]
    c.check("first event about 100 ms after the answer", 0.05 <= arrived - answered < 1.5,
            arrived - answered)
    c.check("first event is NOTIFY to the callback path", first.startswith("NOTIFY /cd HTTP/1.1\r\n"))
    c.check("first event SEQ 0 and the SID", header(first, "SEQ") == "0" and
            header(first, "SID") == sid, (header(first, "SEQ"), header(first, "SID"), sid))
    update = int(re.search(r"<SystemUpdateID>(\d+)</SystemUpdateID>", first).group(1))
    c.check("SystemUpdateID counts the first library pass", update >= 1, update)

    status, cm_sid, _ = subscribe("/ConnectionManager/Event", callback + "/cm")
    got = events.wait(2, 3)
    cm = [text for _, text in got if text.startswith("NOTIFY /cm ")]
    c.check("ConnectionManager subscriber gets its event with the MP3 profile", len(cm) == 1 and
            "<SourceProtocolInfo>http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;" in cm[0])

    tracks = {title: (oid, res, art) for oid, title, res, art in browse(browse(0)[0][0])}
    c.check("All Tracks holds both tracks", set(tracks) == {"With Art", "Plain"}, tracks)
    if set(tracks) != {"With Art", "Plain"}:
        return 1

    # Settings change with a playlist that gained an entry: playlists only, one event, track ids
    # kept.
    with open(os.path.join(music, "Mix.m3u"), "a") as m3u:
        m3u.write("#EXTINF:4,With Art\nart.mp3\n")
    touch(os.path.join(stage, "Plugins", "gen_ml.ini"))
    got = events.wait(3, 4)
    c.check("settings change gives one event", len(got) == 3, len(got))
    if len(got) == 3:
        text = got[2][1]
        c.check("second ContentDirectory event: SEQ 1, SystemUpdateID + 1",
                text.startswith("NOTIFY /cd ") and header(text, "SEQ") == "1" and
                "<SystemUpdateID>%d</SystemUpdateID>" % (update + 1) in text, text[:300])
    after = {title: oid for oid, title, _, _ in browse(browse(0)[0][0])}
    c.check("track ObjectIDs kept across a settings change",
            all(after.get(t) == tracks[t][0] for t in tracks), after)

    # Streaming: bytes equal to the files, the picture exactly the JPEG.
    for title, name in (("With Art", "art.mp3"), ("Plain", "plain.mp3")):
        status, head, body = http("GET", path_of(tracks[title][1]))
        with open(os.path.join(music, name), "rb") as f:
            expected = f.read()
        c.check("track %s streamed byte for byte" % name, status == 200 and body == expected and
                "Content-Type: audio/mpeg" in head, (status, len(body), len(expected)))
    with open(os.path.join(music, "art.mp3"), "rb") as f:
        expected = f.read()
    track = path_of(tracks["With Art"][1])
    features, mode = check_ranges(c, track, expected, "track")
    c.check("track: DLNA content features and streaming transfer mode",
            features == "DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
                        "DLNA.ORG_FLAGS=01700000000000000000000000000000" and mode == "Streaming",
            (features, mode))
    status, _, _ = http("GET", track, {"TimeSeekRange.dlna.org": "npt=10-"})
    c.check("track: time seek is refused with 406", status == 406, status)
    # A download cut half way and resumed with a range gives the file.
    half = http_cut(track, len(expected) // 2)
    status, head, rest = http("GET", track, {"Range": "bytes=%d-" % len(half)})
    c.check("a cut download resumed with a range is byte-identical",
            len(half) == len(expected) // 2 and status == 206 and half + rest == expected,
            (len(half), status, len(rest)))
    art = tracks["With Art"][2]
    c.check("album art advertised for the tagged track", art is not None)
    if art:
        status, head, body = http("GET", path_of(art))
        c.check("album art is the JPEG from the version 4 frame", status == 200 and body == JPEG and
                "image/jpeg" in head, (status, len(body), len(JPEG)))
        features, mode = check_ranges(c, path_of(art), JPEG, "picture")
        c.check("picture: interactive transfer mode", mode == "Interactive", mode)
    plain_id = tracks["Plain"][0]
    c.check("no picture: none advertised, and its URL gives 404",
            tracks["Plain"][2] is None and http("GET", "/virtual/%s.jpg" % plain_id)[0] == 404)
    status, head, body = http("HEAD", "/virtual/%s.jpg" % plain_id)
    c.check("HEAD of the 404 page: its headers and no body", status == 404 and body == b"" and
            header(head + "\r\n", "Content-Length") not in (None, "0"), (status, head))
    c.check("ObjectID 0: 404", http("GET", "/disk/0.mp3")[0] == 404)

    # Touching the library without changing it: the same catalogue, no event, ids kept.
    library = os.path.join(stage, "Plugins", "ml", "main.dat")
    touch_only(library)
    time.sleep(2.5)
    c.check("a touch of the library changes nothing: no event", len(events.wait(4, 0.1)) == 3)
    c.check("an ObjectID lives on across the touch",
            http("GET", "/disk/%s.mp3" % plain_id)[0] == 200)

    # A real change: one track leaves; one event with the changed containers; the other track
    # keeps its id, the one that left names nothing.
    all_tracks = browse(0)[0][0]
    without_path(library, "plain.mp3")
    got = events.wait(4, 4)
    c.check("library change gives one more event", len(got) == 4 and
            header(got[3][1], "SEQ") == "2", len(got))
    if len(got) == 4:
        ids = re.search(r"<ContainerUpdateIDs>([^<]*)</ContainerUpdateIDs>", got[3][1])
        pairs = ids.group(1).split(",") if ids else []
        c.check("the event lists All Tracks among the changed containers",
                all_tracks in pairs[0::2], ids.group(1) if ids else None)
    after = {title: oid for oid, title, _, _ in browse(all_tracks)}
    c.check("the remaining track keeps its ObjectID",
            list(after.items()) == [("With Art", tracks["With Art"][0])], after)
    c.check("the ObjectID of the track that left is not found",
            http("GET", "/disk/%s.mp3" % plain_id)[0] == 404)
    time.sleep(1.2)
    c.check("no further events without changes", len(events.wait(5, 1)) == 4)
    leave_dead_subscriptions(c, [("/ContentDirectory/Event", sid),
                                 ("/ConnectionManager/Event", cm_sid)])
    return 1 if c.failures else 0


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "--client":
        sys.exit(run_client(sys.argv[2], sys.argv[3]))
    sys.exit(main())
