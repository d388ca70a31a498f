"""Shared parts of the end-to-end tests with real clients.

Driver side (the machine's namespace): a generated music library with its expectations, the
test namespaces, and kbhost (native or kbhost.exe under Wine) in the server namespace.
Client side (the client namespace): a GUPnP control point that finds the MediaServer, calls
its actions, parses every Result with GUPnP-AV's DIDL-Lite parser and fetches resources.
"""
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.environ.get("KB_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..", "..")))
NETNS = os.path.join(SRC, "tests", "integration", "lib", "netns.sh")
SERVER = "192.0.2.1"
CLIENT = "192.0.2.2"
MEDIA_SERVER = "urn:schemas-upnp-org:device:MediaServer:1"
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
CMS = "urn:schemas-upnp-org:service:ConnectionManager:1"
REGISTRAR = "urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1"
TOP = ["All Tracks", "Albums", "Artists", "Genres", "Playlists"]


def picture(seed, length):
    """A JPEG-framed picture whose bytes differ per seed (no frame header, so no size)."""
    return (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
            + bytes((i * seed + seed) & 0x7F for i in range(length)) + b"\xff\xd9")


def exif_picture(seed, width, height):
    """A JPEG that starts with an Exif segment, with a frame header of the given size."""
    exif = b"Exif\x00\x00" + bytes((i * seed) & 0x7F for i in range(600))
    sof = b"\x08" + height.to_bytes(2, "big") + width.to_bytes(2, "big") + b"\x01\x01\x11\x00"
    return (b"\xff\xd8\xff\xe1" + (len(exif) + 2).to_bytes(2, "big") + exif
            + b"\xff\xc0" + (len(sof) + 2).to_bytes(2, "big") + sof + b"\xff\xd9")


def png_picture(seed, width, height):
    """A PNG head: signature, IHDR of the given size, some bytes, IEND."""
    return (b"\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR" + width.to_bytes(4, "big")
            + height.to_bytes(4, "big") + b"\x08\x02\x00\x00\x00CRC!"
            + bytes((i * seed) & 0x7F for i in range(2000)) + b"\x00\x00\x00\x00IEND\xaeB`\x82")


def picture_form(data):
    """(MIME type, URL ending, DLNA profile or None) the server gives a fixture picture."""
    if data.startswith(b"\x89PNG"):
        return "image/png", "png", "PNG_LRG"  # the fixtures' PNG is 200x200
    return "image/jpeg", "jpg", "JPEG_TN" if data[3] == 0xE1 else None


# Each track: file, title, artist, album, genre, track number, seconds of audio, how it is
# encoded (lame arguments), ID3v2 version, text encoding, picture or None; optionally the disc
# (TPOS) and the album artist (TPE2).
TRACKS = [
    {"file": "01 intro.mp3", "title": "Intro", "artist": "Ann", "album": "Blue Hour",
     "genre": "Rock", "track": 1, "seconds": 2, "lame": "-b 64 -s 44.1", "v2": 3, "enc": 0,
     "picture": picture(7, 4000)},
    {"file": "02 blue.mp3", "title": "Blue Hour", "artist": "Ann", "album": "Blue Hour",
     "genre": "Rock", "track": 2, "seconds": 3, "lame": "-b 64 -s 44.1", "v2": 4, "enc": 0,
     "picture": png_picture(11, 200, 200)},
    {"file": "caf\u00e9.mp3", "title": "Caf\u00e9 Noir", "artist": "Bob",
     "album": "Nuit & Jour", "genre": "Jazz", "track": 1, "seconds": 2, "lame": "-b 32 -s 44.1",
     "v2": 3, "enc": 1, "picture": None},
    {"file": "long.mp3", "title": "Long Road", "artist": "Bob", "album": "Nuit & Jour",
     "genre": "Jazz", "track": 2, "seconds": 65, "lame": "-V 9 -s 22.05", "v2": 3, "enc": 0,
     "picture": None},
    {"file": "sub/untitled.mp3", "title": "<Untitled>", "artist": "Cy",
     "album": "Singles \u00e0 la carte", "genre": "Pop", "track": 5, "seconds": 1,
     "lame": "-b 48 -s 32", "v2": 4, "enc": 3,
     "picture": exif_picture(3, 120, 90)},
    {"file": "sub/ann & cy.mp3", "title": "Ann & Cy", "artist": "Ann",
     "album": "Singles \u00e0 la carte",
     "genre": "Pop", "track": 6, "seconds": 2, "lame": "-b 64 -s 44.1", "v2": 3, "enc": 1,
     "picture": None},
    # Scripts beyond ISO-8859-1; a two-disc album whose disc 2 holds track 1; two albums titled
    # alike by different album artists.
    {"file": "ru/zvezda.mp3", "title": "\u0417\u0432\u0435\u0437\u0434\u0430",
     "artist": "\u041a\u0438\u043d\u043e", "album": "\u0413\u0440\u0443\u043f\u043f\u0430",
     "genre": "Rock", "track": 1, "disc": "2/2", "seconds": 1, "lame": "-b 32 -s 44.1",
     "v2": 4, "enc": 1, "picture": None},
    {"file": "ru/omega.mp3", "title": "\u03a9\u03bc\u03ad\u03b3\u03b1",
     "artist": "\u041a\u0438\u043d\u043e", "album": "\u0413\u0440\u0443\u043f\u043f\u0430",
     "genre": "Rock", "track": 2, "disc": "1/2", "seconds": 1, "lame": "-b 32 -s 44.1",
     "v2": 3, "enc": 1, "picture": None},
    {"file": "jp/yoru.mp3", "title": "\u591c\u306e\u66f2", "artist": "Cy",
     "albumartist": "\u4e45\u77f3", "album": "Greatest Hits", "genre": "Pop", "track": 3,
     "seconds": 1, "lame": "-b 32 -s 44.1", "v2": 4, "enc": 3, "picture": None},
    {"file": "hits.mp3", "title": "Hit Single", "artist": "Bob", "album": "Greatest Hits",
     "genre": "Jazz", "track": 9, "seconds": 1, "lame": "-b 32 -s 44.1", "v2": 3, "enc": 0,
     "picture": None},
]
FIXTURE_BY_TITLE = {t["title"]: t for t in TRACKS}
# The playlist: (title, EXTINF seconds, file).
PLAYLIST = [("Blue Hour", 125, "02 blue.mp3"), ("Ann & Cy", 7, "sub/ann & cy.mp3")]


def album_artist(track):
    """The album artist the catalogue gives a track: its TPE2, else the common artist of the
    tracks without TPE2 that share its album title and folder, else "Various Artists"."""
    if track.get("albumartist"):
        return track["albumartist"]
    folder = os.path.dirname(track["file"])
    artists = {t["artist"] for t in TRACKS if not t.get("albumartist") and
               t["album"] == track["album"] and os.path.dirname(t["file"]) == folder}
    return artists.pop() if len(artists) == 1 else "Various Artists"


def disc_number(track):
    return int(track["disc"].split("/")[0]) if track.get("disc") else None


def make_library(folder):
    """Writes the tracks (lame for the audio, mutagen for the tags) and the playlist."""
    from mutagen.id3 import APIC, ID3, TALB, TCON, TDRC, TIT2, TPE1, TPE2, TPOS, TRCK

    for sub in {os.path.dirname(t["file"]) for t in TRACKS}:
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    rates = {"32": 32000, "44.1": 44100, "22.05": 22050}
    for track in TRACKS:
        path = os.path.join(folder, track["file"])
        rate = rates[track["lame"].split("-s ")[1]]
        subprocess.run("head -c %d /dev/zero | lame --quiet -r -s %s --bitwidth 16 -m m %s - '%s'"
                       % (rate * 2 * track["seconds"], track["lame"].split("-s ")[1],
                          track["lame"].split(" -s")[0], path),
                       shell=True, check=True, stderr=subprocess.DEVNULL)
        tags = ID3()
        # TDRC is written as TYER in version 2.3 tags.
        for frame, text in ((TIT2, track["title"]), (TPE1, track["artist"]),
                            (TALB, track["album"]), (TCON, track["genre"]),
                            (TRCK, str(track["track"])), (TDRC, "2004"),
                            (TPOS, track.get("disc")), (TPE2, track.get("albumartist"))):
            if text:
                tags.add(frame(encoding=track["enc"], text=text))
        if track["picture"]:
            tags.add(APIC(encoding=0, mime=picture_form(track["picture"])[0], type=3,
                          desc="cover", data=track["picture"]))
        tags.save(path, v2_version=track["v2"])
    with open(os.path.join(folder, "Road Trip.m3u"), "w", encoding="latin-1") as m3u:
        m3u.write("#EXTM3U\n")
        for title, seconds, name in PLAYLIST:
            m3u.write("#EXTINF:%d,%s\n%s\n" % (seconds, title, name))


def dlna_audio_profile(path):
    """The DLNA profile of an MP3 file as the decoder sees its frames (lame may resample)."""
    from mutagen.mp3 import MP3
    info = MP3(path).info
    if info.layer == 3 and info.version == 1 and info.sample_rate in (32000, 44100, 48000):
        return "MP3"
    if info.layer == 3 and info.version == 2 and info.sample_rate in (16000, 22050, 24000):
        return "MP3X"
    return None


def mp3_length(path):
    from mutagen.mp3 import MP3
    return MP3(path).info.length


# ---- driver side ------------------------------------------------------------------------------

def sh(command, check=True):
    return subprocess.run(["bash", "-c", 'source "%s"; %s' % (NETNS, command)], check=check)


class Windows:
    """The Windows build the Wine tests run and how Wine starts it, as lib/wine.sh selects:
    the shipped 32-bit build where this machine runs 32-bit x86 programs, else the 64-bit
    variant under the 64-bit loader. Its prefix belongs to that build folder."""

    def __init__(self):
        out = subprocess.run(["bash", os.path.join(HERE, "wine.sh"), "env"], check=True,
                             capture_output=True, text=True).stdout
        self.vars = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        self.build = self.vars["KB_WINDOWS_BUILD"]
        self.loader = self.vars["KB_WINE"]
        self.line = self.vars["KB_WINDOWS_LINE"]
        self.stage = os.path.join(self.vars["KB_WINE_BUILD_DIR"], "stage")
        self.env = dict(os.environ, WINEPREFIX=self.vars["WINEPREFIX"], WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        if "WINELOADER" in self.vars:
            self.env["WINELOADER"] = self.vars["WINELOADER"]

    def has_stage(self):
        return (os.path.exists(os.path.join(self.stage, "kbhost.exe")) and
                os.path.exists(os.path.join(self.stage, "Plugins", "gen_kestrelbloom.dll")))

    def preflight(self):
        """None when the loader starts, else its own message."""
        try:
            run = subprocess.run([self.loader, "--version"], capture_output=True, text=True,
                                 timeout=20)
        except (OSError, subprocess.TimeoutExpired) as error:
            return str(error)
        return None if run.returncode == 0 else (run.stdout + run.stderr).strip()

    def prefix(self, ns):
        """Makes the prefix inside the server namespace of ns when it does not exist yet (the
        first wineserver keeps its sockets in the namespace it starts in) and sets its virtual
        desktop, as kb_wine_prefix in wine.sh does; True when ready."""
        return subprocess.run(["bash", os.path.join(HERE, "wine.sh"), "prefix", ns + "-s"],
                              env=self.env).returncode == 0

    def command(self, stage, *args):
        """kbhost.exe of a copied stage under Wine with a virtual display."""
        return ["timeout", "200", "xvfb-run", "-a", self.loader,
                os.path.join(stage, "kbhost.exe"), *args]


def open_windows():
    """(Windows, None) ready to run, or (None, exit status) after saying why not: no build is a
    skip, a loader that cannot start fails at once with its message."""
    win = Windows()
    print(win.line, flush=True)
    if not win.has_stage():
        print("SKIP: no Windows build in %s" % win.stage)
        return None, 0
    if shutil.which("xvfb-run") is None:
        print("FAIL - xvfb-run is needed")
        return None, 1
    problem = win.preflight()
    if problem is not None:
        print("FAIL - the Wine loader %s cannot start: %s" % (win.loader, problem))
        return None, 1
    return win, None


class Host:
    """kbhost (or kbhost.exe under Wine) in the server namespace; its output lines are kept,
    and its error output, which says why when it cannot start."""

    def __init__(self, ns, command, env=None):
        env = env or dict(os.environ, WINEDEBUG="-all")
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", ns + "-s", *command], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.lines = []
        self.errors = []
        self.reader = threading.Thread(target=self._read, args=(self.process.stdout, self.lines),
                                       daemon=True)
        self.reader.start()
        threading.Thread(target=self._read, args=(self.process.stderr, self.errors),
                         daemon=True).start()

    @staticmethod
    def _read(stream, into):
        for line in stream:
            into.append((time.time(), line.rstrip("\r\n")))

    def wait_line(self, text, timeout, after=0.0):
        """The time the line arrived, or None after the timeout or as soon as the host ended
        without it (then its error output is printed)."""
        end = time.time() + timeout
        while time.time() < end:
            ended = self.process.poll() is not None
            if ended:
                self.reader.join(1)  # the last lines
            for at, line in list(self.lines):
                if line == text and at >= after:
                    return at
            if ended:
                print("host ended (status %s) without %r; its error output:\n%s" % (
                    self.process.poll(), text,
                    "\n".join("  " + line for _, line in self.errors[-20:])), flush=True)
                return None
            time.sleep(0.05)
        return None

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return time.time()

    def quit(self, timeout):
        try:
            self.send("quit")
            self.process.stdin.close()
            self.process.wait(timeout=timeout)
        except Exception:  # the namespace teardown kills it
            pass


class Scene:
    """The namespaces, a copy of a build's stage and a generated library, for one test."""

    def __init__(self, ns, stage, prefix):
        self.ns = ns
        self.work = tempfile.mkdtemp(prefix=prefix)
        self.stage = os.path.join(self.work, "stage")
        shutil.copytree(stage, self.stage)
        self.music = os.path.join(self.work, "music")
        os.mkdir(self.music)
        make_library(self.music)
        sh("kb_netns_up %s" % ns)
        self.iface = ns[:8] + "c1"

    def close(self):
        sh("kb_netns_down %s" % self.ns, check=False)
        shutil.rmtree(self.work, ignore_errors=True)

    def in_client(self, *args):
        return ["ip", "netns", "exec", self.ns + "-c", *args]


def native_stage():
    build = os.environ.get("KB_BUILD_DIR", os.path.join(SRC, "build"))
    stage = os.path.join(build, "stage")
    return stage if os.path.exists(os.path.join(stage, "kbhost")) else None


# ---- client side -----------------------------------------------------------------------------

class Checks:
    def __init__(self):
        self.failures = 0

    def check(self, what, condition, detail=""):
        print("%s - %s%s" % ("ok  " if condition else "FAIL", what,
                              "" if condition or detail == "" else " (%s)" % (detail,)),
              flush=True)
        if not condition:
            self.failures += 1
        return condition


def fetch(url, timeout=20):
    """(status, content type, body) of a GET."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as answer:
            return answer.status, answer.headers.get("Content-Type"), answer.read()
    except urllib.error.HTTPError as error:
        return error.code, None, b""


def duration_ms(text):
    """Milliseconds of an H:MM:SS.mmm text, or None."""
    match = re.fullmatch(r"(\d+):(\d+):(\d+)\.(\d{3})", text or "")
    if not match:
        return None
    h, m, s, ms = (int(g) for g in match.groups())
    return ((h * 60 + m) * 60 + s) * 1000 + ms


class ControlPoint:
    """GUPnP control point on one interface of the client namespace."""

    def __init__(self, iface):
        import gi
        gi.require_version("GUPnP", "1.6")
        gi.require_version("GUPnPAV", "1.0")
        from gi.repository import GLib, GObject, GUPnP, GUPnPAV
        self.GLib, self.GObject, self.GUPnP, self.GUPnPAV = GLib, GObject, GUPnP, GUPnPAV
        self.context = GUPnP.Context.new(iface, 0)
        self.controls = []

    def run_until(self, done, seconds):
        """Runs the main loop until done() holds or the time is up; returns done()."""
        loop = self.GLib.MainLoop()
        end = time.monotonic() + seconds

        def poll():
            if done() or time.monotonic() > end:
                loop.quit()
                return False
            return True

        self.GLib.timeout_add(20, poll)
        loop.run()
        return done()

    def find_device(self, device_type, seconds):
        """The first device proxy of that type to appear, or None."""
        found = []
        control = self.GUPnP.ControlPoint.new(self.context, device_type)
        control.connect("device-proxy-available", lambda _c, proxy: found.append(proxy))
        control.set_active(True)
        self.controls.append(control)
        self.run_until(lambda: found, seconds)
        return found[0] if found else None

    def introspect(self, service, seconds=10):
        """The service's introspection (its SCPD read and parsed), or the error text."""
        outcome = []

        def done(proxy, result):
            try:
                outcome.append(proxy.introspect_finish(result))
            except self.GLib.Error as error:
                outcome.append("error: %s" % error.message)

        service.introspect_async(None, done)
        self.run_until(lambda: outcome, seconds)
        return outcome[0] if outcome else "error: no answer"

    def call(self, proxy, action, args, outs):
        """The output arguments as strings; raises GLib.Error with the UPnP error code."""
        values = []
        for value in args.values():
            gvalue = self.GObject.Value()
            gvalue.init(self.GObject.TYPE_STRING)
            gvalue.set_string(str(value))
            values.append(gvalue)
        request = self.GUPnP.ServiceProxyAction.new_from_list(action, list(args), values)
        proxy.call_action(request, None)
        _ok, results = request.get_result_list(list(outs),
                                               [self.GObject.TYPE_STRING] * len(outs))
        return dict(zip(outs, results))


class ContentDirectory:
    """Browse and Search through GUPnP with every Result parsed by GUPnP-AV."""

    def __init__(self, cp, proxy):
        self.cp = cp
        self.proxy = proxy

    def parse(self, result):
        objects = []
        parser = self.cp.GUPnPAV.DIDLLiteParser()
        GUPnPAV = self.cp.GUPnPAV

        def found(_parser, obj):
            xml = obj.get_xml_string() if hasattr(obj, "get_xml_string") else ""
            entry = {"id": obj.get_id(), "parent": obj.get_parent_id(), "title": obj.get_title(),
                     "class": obj.get_upnp_class(), "artist": obj.get_artist(),
                     "album": obj.get_album(), "genre": obj.get_genre(),
                     "creator": obj.get_creator(), "art": obj.get_album_art(),
                     "art_profiles": re.findall(r'<upnp:albumArtURI[^>]*dlna:profileID="([^"]*)"',
                                                xml),
                     "track": obj.get_track_number(), "date": obj.get_date(),
                     "artists": [a.get_name() for a in obj.get_artists()],
                     "disc": [int(d) for d in re.findall(
                         r"<upnp:originalDiscNumber>(\d+)</upnp:originalDiscNumber>", xml)],
                     "genres": list(re.findall(r"<upnp:genre>([^<]*)</upnp:genre>", xml))}
            if isinstance(obj, GUPnPAV.DIDLLiteItem):
                entry["kind"] = "item"
                entry["ref"] = obj.get_ref_id()
                entry["res"] = []
                for res in obj.get_resources():
                    info = res.get_protocol_info()
                    entry["res"].append({
                        "uri": res.get_uri(), "size": res.get_size64(),
                        "seconds": res.get_duration(),
                        "mime": info.get_mime_type() if info else None,
                        "dlna_profile": info.get_dlna_profile() if info else None,
                        "protocol": info.get_protocol() if info else None})
                durations = re.findall(r'duration="([^"]*)"', xml)
                entry["duration"] = durations[0] if durations else None
            else:
                entry["kind"] = "container"
                entry["count"] = obj.get_child_count()
            objects.append(entry)

        parser.connect("object-available", found)
        parser.parse_didl(result)
        return objects

    def browse(self, object_id, flag="BrowseDirectChildren", start=0, count=0, sort="",
               filter_text="*"):
        out = self.cp.call(self.proxy, "Browse",
                           {"ObjectID": object_id, "BrowseFlag": flag, "Filter": filter_text,
                            "StartingIndex": start, "RequestedCount": count,
                            "SortCriteria": sort},
                           ["Result", "NumberReturned", "TotalMatches", "UpdateID"])
        return (self.parse(out["Result"]), int(out["NumberReturned"]), int(out["TotalMatches"]),
                int(out["UpdateID"]))

    def search(self, container, criteria, start=0, count=0, sort=""):
        out = self.cp.call(self.proxy, "Search",
                           {"ContainerID": container, "SearchCriteria": criteria,
                            "Filter": "*", "StartingIndex": start, "RequestedCount": count,
                            "SortCriteria": sort},
                           ["Result", "NumberReturned", "TotalMatches", "UpdateID"])
        return self.parse(out["Result"]), int(out["NumberReturned"]), int(out["TotalMatches"])

    def browse_all(self, object_id, page, problems):
        """Every child, page by page; a page whose counts disagree is noted in problems."""
        objects, start = [], 0
        for _ in range(1000):
            found, returned, total, _ = self.browse(object_id, start=start, count=page)
            if returned != len(found) or returned > page or (returned == 0 and start < total):
                problems.append("%s at %d: %d returned, %d parsed, total %d"
                                % (object_id, start, returned, len(found), total))
                break
            objects += found
            start += returned
            if start >= total:
                break
        return objects, total

    def walk(self, page, problems):
        """Every container below the root, browsed in pages: id -> children."""
        tree, pending = {}, ["0"]
        while pending:
            container = pending.pop(0)
            children, total = self.browse_all(container, page, problems)
            if total != len(children):
                problems.append("%s: TotalMatches %d, %d listed" % (container, total,
                                                                    len(children)))
            tree[container] = children
            for child in children:
                if child["parent"] != container:
                    problems.append("%s: parentID %s under %s" % (child["id"], child["parent"],
                                                                  container))
                if child["kind"] == "container":
                    if child["count"] is not None and child["count"] >= 0:
                        pending.append(child["id"])
        return tree


def wait_for_library(cd, tracks, playlists, seconds):
    """Browses the root until All Tracks and Playlists hold what the library has."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            roots = cd.browse("0")[0]
            counts = {o["title"]: o["count"] for o in roots}
            if counts.get("All Tracks") == tracks and counts.get("Playlists") == playlists:
                return True
        except Exception:  # the server may still be starting
            pass
        time.sleep(0.3)
    return False


def check_library(c, cd, music, base, page=4):
    """Walks the whole tree and checks every object against the fixtures; returns the tree and
    the All Tracks entries by title (None when the walk could not start)."""
    problems = []
    tree = cd.walk(page, problems)
    c.check("every container browsed in pages of %d: counts, parentIDs consistent" % page,
            not problems, "; ".join(problems[:5]))
    roots = tree.get("0", [])
    c.check("root holds the five top containers in order", [o["title"] for o in roots] == TOP,
            [o["title"] for o in roots])
    if [o["title"] for o in roots] != TOP:
        return None, None
    top = {o["title"]: o["id"] for o in roots}
    tracks = tree[top["All Tracks"]]
    by_title = {t["title"]: t for t in tracks}
    c.check("All Tracks holds every title (escaping; ISO-8859-1, UTF-16 and UTF-8 tags)",
            sorted(by_title) == sorted(t["title"] for t in TRACKS), sorted(by_title))

    wrong, deviation = [], 0.0
    for want in TRACKS:
        got = by_title.get(want["title"])
        if got is None:
            continue
        path = os.path.join(music, want["file"])
        for key in ("artist", "album", "genre", "track"):
            if got[key] != want[key]:
                wrong.append("%s %s=%r" % (want["title"], key, got[key]))
        if got["disc"] != ([disc_number(want)] if want.get("disc") else []):
            wrong.append("%s disc %r" % (want["title"], got["disc"]))
        if got["creator"] != want["artist"] or got["class"] != "object.item.audioItem.musicTrack":
            wrong.append("%s creator/class %r %r" % (want["title"], got["creator"], got["class"]))
        if got["date"] != "2004-01-01":  # the year tag, as a date
            wrong.append("%s date %r" % (want["title"], got["date"]))
        if len(got["res"]) != 1:
            wrong.append("%s has %d res" % (want["title"], len(got["res"])))
            continue
        res = got["res"][0]
        if res["uri"] != "%sdisk/%s.mp3" % (base, got["id"]):
            wrong.append("%s res %s" % (want["title"], res["uri"]))
        if res["mime"] != "audio/mpeg" or res["protocol"] != "http-get":
            wrong.append("%s protocolInfo %s %s" % (want["title"], res["protocol"], res["mime"]))
        profile = dlna_audio_profile(path)
        if res["dlna_profile"] != profile:
            wrong.append("%s DLNA profile %r" % (want["title"], res["dlna_profile"]))
        if res["size"] != os.path.getsize(path):
            wrong.append("%s size %d, file %d" % (want["title"], res["size"],
                                                  os.path.getsize(path)))
        # The server estimates from the first frame; it must agree with the decoder's length.
        ms, length = duration_ms(got["duration"]), mp3_length(path)
        if ms is None or abs(ms / 1000.0 - length) > 0.15 + 0.01 * length:
            wrong.append("%s duration %r, decoder %.3f s" % (want["title"], got["duration"],
                                                             length))
        else:
            deviation = max(deviation, abs(ms / 1000.0 - length))
        if ms is not None and res["seconds"] != ms // 1000:
            wrong.append("%s duration seen by GUPnP-AV as %d s" % (want["title"],
                                                                  res["seconds"]))
        form = picture_form(want["picture"]) if want["picture"] else (None, None, None)
        want_art = "%svirtual/%s.%s" % (base, got["id"], form[1]) if want["picture"] else None
        if (got["art"] or None) != want_art:
            wrong.append("%s albumArtURI %r" % (want["title"], got["art"]))
        if got["art_profiles"] != ([form[2]] if form[2] else []):
            wrong.append("%s albumArtURI profile %r" % (want["title"], got["art_profiles"]))
    c.check("track fields: artist, album, genre, number, disc, date, class, res URL, DLNA "
            "profile, size, duration, art with its profile",
            not wrong, "; ".join(wrong))
    print("figure: largest gap between a served duration and the decoder's length: %.3f s"
          % deviation)

    track_ids = {t["id"]: t["title"] for t in tracks}
    # An album is its title with its album artist; artists and genres go by their text.
    keys = {"album": lambda t: (t["album"], album_artist(t)), "artist": lambda t: t["artist"],
            "genre": lambda t: t["genre"]}
    for group, key in (("Albums", "album"), ("Artists", "artist"), ("Genres", "genre")):
        containers = tree[top[group]]
        key_of = keys[key]
        if key == "album":
            container_key = lambda o: (o["title"], (o["artists"] or [None])[0])  # noqa: E731
        else:
            container_key = lambda o: o["title"]  # noqa: E731
        expected = sorted({key_of(t) for t in TRACKS})
        c.check("%s: one container per distinct %s" % (group, key),
                sorted(container_key(o) for o in containers) == expected,
                sorted(container_key(o) for o in containers))
        bad = []
        for container in containers:
            refs = tree.get(container["id"], [])
            want = sorted(t["title"] for t in TRACKS if key_of(t) == container_key(container))
            if sorted(r["title"] for r in refs) != want or container["count"] != len(want):
                bad.append("%s holds %s" % (container["title"], [r["title"] for r in refs]))
            for ref in refs:
                if track_ids.get(ref["ref"]) != ref["title"] or ref["ref"] == ref["id"]:
                    bad.append("%s: refID %s" % (ref["title"], ref["ref"]))
                elif ref["res"] and ref["res"][0]["uri"] != "%sdisk/%s.mp3" % (base, ref["id"]):
                    bad.append("%s: ref res %s" % (ref["title"], ref["res"][0]["uri"]))
                elif ref["res"] and [ref["res"][0]["size"]] != [
                        r["size"] for r in by_title.get(ref["title"], {}).get("res", [])]:
                    bad.append("%s: ref size" % ref["title"])
            if group == "Albums":
                # An album's upnp:artist is its album artist, once.
                artists = sorted({album_artist(t) for t in TRACKS
                                  if key_of(t) == container_key(container)})
                if container["artists"] != artists or container["class"] != \
                        "object.container.album.musicAlbum":
                    bad.append("%s artists %s" % (container["title"], container["artists"]))
                pictured = [r for r in refs
                            if FIXTURE_BY_TITLE.get(r["title"], {}).get("picture")]
                if pictured and not container["art"]:
                    bad.append("%s has no albumArtURI" % container["title"])
        c.check("%s: references carry refIDs of their tracks, own res URLs, sizes" % group,
                not bad, "; ".join(bad))

    lists = tree[top["Playlists"]]
    entries = tree.get(lists[0]["id"], []) if len(lists) == 1 else []
    c.check("one playlist, its entries in order",
            [o["title"] for o in lists] == ["Road Trip"] and
            [e["title"] for e in entries] == [p[0] for p in PLAYLIST],
            ([o["title"] for o in lists], [e["title"] for e in entries]))
    bad = []
    for entry, (title, seconds, name) in zip(entries, PLAYLIST):
        want = "0:%02d:%02d.000" % (seconds // 60, seconds % 60)
        if entry["duration"] != want:
            bad.append("%s duration %r" % (title, entry["duration"]))
        if not entry["res"] or entry["res"][0]["size"] != os.path.getsize(os.path.join(music,
                                                                                        name)):
            bad.append("%s size" % title)
        if entry["res"] and entry["res"][0]["uri"] != "%sdisk/%s.mp3" % (base, entry["id"]):
            bad.append("%s res %s" % (title, entry["res"][0]["uri"]))
    c.check("playlist entries: EXTINF durations, file sizes, res URLs", not bad, "; ".join(bad))
    return tree, by_title


def check_fetches(c, music, tree, by_title):
    """Fetches every track and every advertised picture and compares the bytes."""
    bad = []
    for want in TRACKS:
        got = by_title.get(want["title"])
        if not got or not got["res"]:
            continue
        status, kind, body = fetch(got["res"][0]["uri"])
        with open(os.path.join(music, want["file"]), "rb") as f:
            if status != 200 or kind != "audio/mpeg" or body != f.read():
                bad.append("%s: %s %s %d bytes" % (want["title"], status, kind, len(body)))
        if want["picture"] and got["art"]:
            status, kind, body = fetch(got["art"])
            mime = picture_form(want["picture"])[0]
            if status != 200 or body != want["picture"] or mime != kind:
                bad.append("%s art: %s %s %d bytes" % (want["title"], status, kind, len(body)))
    c.check("every track and picture fetched from its URL byte for byte", not bad,
            "; ".join(bad))
    return not bad
