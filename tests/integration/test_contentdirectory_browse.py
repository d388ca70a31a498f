#!/usr/bin/python3
"""ContentDirectory from a real control point: the server runs in kbhost on a generated music
library inside a private network namespace; GUPnP (through python3-gi) finds it by SSDP from a
second namespace, browses every container page by page, parses every Result with its DIDL-Lite
parser, searches and sorts, and checks titles, ids and counts against the fixtures."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)

NS = "kbcds"
HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.environ.get("KB_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
NETNS = os.path.join(SRC, "tests", "integration", "lib", "netns.sh")
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"

# (title, artist, album, genre, track number); texts are ISO-8859-1.
TRACKS = (
    [("Morning %d" % n, "Ann", "First Light", "Rock", n) for n in range(1, 9)]
    + [("Evening %d" % n, "Bob", "Second & Last", "Jazz", n) for n in range(1, 7)]
    + [
        ("Rock & Roll <live>", "Bob", "Second & Last", "Jazz", 7),
        ("Caf\u00e9 au lait", "Ann", "Caf\u00e9 Nights", "Jazz", 9),
        ("Zulu", "Cy", "Caf\u00e9 Nights", "Pop", 10),
        ("alpha", "Cy", "Caf\u00e9 Nights", "Pop", 11),
        ("Alpha", "Ann", "Caf\u00e9 Nights", "Pop", 12),
    ]
)
PLAYLIST = ["Morning 1", "Zulu", "Evening 2"]


def sh(command, check=True):
    return subprocess.run(["bash", "-c", 'source "%s"; %s' % (NETNS, command)], check=check)


def make_library(folder):
    """Writes the tracks as tagged MP3 files (lame for the audio, mutagen for ID3v2.3)."""
    from mutagen.id3 import ID3, TALB, TCON, TIT2, TPE1, TRCK, TYER

    silence = os.path.join(folder, "silence.mp3")
    subprocess.run("head -c 17640 /dev/zero | lame --quiet -r -s 44.1 --bitwidth 16 -m m - "
                   + silence, shell=True, check=True, stderr=subprocess.DEVNULL)
    names = {}
    for index, (title, artist, album, genre, number) in enumerate(TRACKS):
        path = os.path.join(folder, "track%02d.mp3" % index)
        shutil.copy(silence, path)
        tags = ID3()
        for frame, text in ((TIT2, title), (TPE1, artist), (TALB, album), (TCON, genre),
                            (TRCK, str(number)), (TYER, "2001")):
            tags.add(frame(encoding=0, text=text))
        tags.save(path, v2_version=3)
        names[title] = os.path.basename(path)
    os.remove(silence)
    with open(os.path.join(folder, "Mix.m3u"), "w", encoding="latin-1") as m3u:
        m3u.write("#EXTM3U\n")
        for title in PLAYLIST:
            m3u.write("#EXTINF:1,%s\n%s\n" % (title, names[title]))


def main():
    build = os.environ["KB_BUILD_DIR"]
    work = tempfile.mkdtemp(prefix="kb_cds.")
    host = None
    try:
        stage = os.path.join(work, "stage")
        shutil.copytree(os.path.join(build, "stage"), stage)
        music = os.path.join(work, "music")
        os.mkdir(music)
        make_library(music)
        sh("kb_netns_up %s" % NS)
        host = subprocess.Popen(
            ["ip", "netns", "exec", NS + "-s", os.path.join(stage, "kbhost"), "--music", music],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        client = subprocess.run(
            ["ip", "netns", "exec", NS + "-c", "timeout", "240", "/usr/bin/python3",
             os.path.abspath(__file__), "--client", (NS[:8] + "c1")])
        return client.returncode
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


# ---- client side (runs in the client namespace) ---------------------------------------------

class Client:
    def __init__(self, iface):
        import gi
        gi.require_version("GUPnP", "1.6")
        gi.require_version("GUPnPAV", "1.0")
        from gi.repository import GLib, GObject, GUPnP, GUPnPAV
        self.GLib, self.GObject, self.GUPnP, self.GUPnPAV = GLib, GObject, GUPnP, GUPnPAV
        self.failures = 0
        self.context = GUPnP.Context.new(iface, 0)
        self.proxy = None
        loop = GLib.MainLoop()
        control = GUPnP.ControlPoint.new(self.context, CDS)

        def available(_control, proxy):
            self.proxy = proxy
            loop.quit()

        control.connect("service-proxy-available", available)
        control.set_active(True)
        GLib.timeout_add_seconds(30, loop.quit)
        loop.run()
        self.control = control

    def check(self, what, condition, detail=""):
        print(("ok   - " if condition else "FAIL - ") + what + ("" if condition else " " + detail))
        sys.stdout.flush()
        if not condition:
            self.failures += 1

    def call(self, action, args, outs):
        """Returns the output arguments as strings, or raises with the UPnP error."""
        values = []
        for value in args.values():
            gvalue = self.GObject.Value()
            gvalue.init(self.GObject.TYPE_STRING)
            gvalue.set_string(str(value))
            values.append(gvalue)
        request = self.GUPnP.ServiceProxyAction.new_from_list(action, list(args), values)
        self.proxy.call_action(request, None)
        ok, results = request.get_result_list(list(outs), [self.GObject.TYPE_STRING] * len(outs))
        return dict(zip(outs, results))

    def fault(self, action, args):
        try:
            self.call(action, args, ["Result"])
        except self.GLib.Error as error:
            return error.code
        return None

    def parse(self, result):
        """Every object of a DIDL-Lite document, in order, as a dict."""
        objects = []
        parser = self.GUPnPAV.DIDLLiteParser()

        def found(_parser, obj):
            item = {"id": obj.get_id(), "parent": obj.get_parent_id(), "title": obj.get_title(),
                    "class": obj.get_upnp_class(), "artist": obj.get_artist(),
                    "genre": obj.get_genre(), "track": obj.get_track_number()}
            if isinstance(obj, self.GUPnPAV.DIDLLiteItem):
                item["ref"] = obj.get_ref_id()
                item["kind"] = "item"
                item["res"] = [r.get_uri() for r in obj.get_resources()]
            else:
                item["kind"] = "container"
                item["count"] = obj.get_child_count()
            objects.append(item)

        parser.connect("object-available", found)
        parser.parse_didl(result)
        return objects

    def browse(self, object_id, flag="BrowseDirectChildren", start=0, count=0, sort="",
               filter_text="*"):
        out = self.call("Browse", {"ObjectID": object_id, "BrowseFlag": flag,
                                   "Filter": filter_text, "StartingIndex": start,
                                   "RequestedCount": count, "SortCriteria": sort},
                        ["Result", "NumberReturned", "TotalMatches", "UpdateID"])
        return self.parse(out["Result"]), int(out["NumberReturned"]), int(out["TotalMatches"])

    def search(self, container, criteria, start=0, count=0, sort=""):
        out = self.call("Search", {"ContainerID": container, "SearchCriteria": criteria,
                                   "Filter": "*", "StartingIndex": start,
                                   "RequestedCount": count, "SortCriteria": sort},
                        ["Result", "NumberReturned", "TotalMatches", "UpdateID"])
        return self.parse(out["Result"]), int(out["NumberReturned"]), int(out["TotalMatches"])

    def browse_all(self, object_id, page=7):
        """Every child, page by page; checks each page's counts on the way."""
        objects, start = [], 0
        while True:
            found, returned, total = self.browse(object_id, start=start, count=page)
            if returned != len(found) or returned > page:
                self.check("page of %s at %d is consistent" % (object_id, start), False,
                           "%d returned, %d parsed" % (returned, len(found)))
            objects += found
            start += page
            if start >= total or returned == 0:
                return objects, total


def run_client(iface):
    client = Client(iface)
    client.check("ContentDirectory found by SSDP", client.proxy is not None)
    if client.proxy is None:
        return 1
    # Wait (bounded) for the watcher to finish the catalogue.
    deadline = time.time() + 60
    while time.time() < deadline:
        roots = client.browse("0")[0]
        counts = {o["title"]: o["count"] for o in roots}
        if counts.get("All Tracks") == len(TRACKS) and counts.get("Playlists") == 1:
            break
        time.sleep(0.5)
    roots, returned, total = client.browse("0")
    client.check("root lists the five top containers",
                 [o["title"] for o in roots] ==
                 ["All Tracks", "Albums", "Artists", "Genres", "Playlists"] and total == 5,
                 str([o["title"] for o in roots]))
    client.check("top containers have parentID 0", all(o["parent"] == "0" for o in roots))
    meta = client.browse("0", "BrowseMetadata")[0]
    client.check("root metadata", len(meta) == 1 and meta[0]["id"] == "0" and
                 meta[0]["parent"] == "-1", json.dumps(meta))

    # Walk the whole tree, page by page.
    top = {o["title"]: o for o in roots}
    seen_ids, items_by_id, tree = set(), {}, {}
    pending = [o["id"] for o in roots]
    wrong_totals = []
    while pending:
        container = pending.pop(0)
        children, total = client.browse_all(container)
        tree[container] = children
        if total != len(children):
            wrong_totals.append((container, total, len(children)))
        for child in children:
            if child["parent"] != container:
                client.check("parentID of %s" % child["id"], False, child["parent"])
            if child["id"] in seen_ids:
                client.check("id %s listed once" % child["id"], False)
            seen_ids.add(child["id"])
            if child["kind"] == "container":
                pending.append(child["id"])
                meta = client.browse(child["id"], "BrowseMetadata")[0]
                if meta[0]["count"] != child["count"] or meta[0]["title"] != child["title"]:
                    client.check("metadata of container %s" % child["id"], False)
            else:
                items_by_id[child["id"]] = child

    client.check("%d containers browsed page by page: TotalMatches equals the children listed"
                 % len(tree), not wrong_totals, str(wrong_totals))
    tracks = tree[top["All Tracks"]["id"]]
    client.check("All Tracks holds every fixture title (escaping and ISO-8859-1 survive)",
                 sorted(t["title"] for t in tracks) == sorted(t[0] for t in TRACKS),
                 str(sorted(t["title"] for t in tracks)))
    by_title = {t["title"]: t for t in tracks}
    client.check("item fields", all(by_title[t[0]]["artist"] == t[1] and
                                    by_title[t[0]]["genre"] == t[3] and
                                    by_title[t[0]]["track"] == t[4] for t in TRACKS))
    client.check("items stream from disk/<id>.mp3", all(
        t["res"] and t["res"][0].endswith("/disk/%s.mp3" % t["id"]) for t in tracks))

    track_ids = {t["id"] for t in tracks}
    for group, field in (("Albums", 2), ("Artists", 1), ("Genres", 3)):
        containers = tree[top[group]["id"]]
        expected = sorted({t[field] for t in TRACKS})
        client.check("%s: one container per distinct text" % group,
                     sorted(c["title"] for c in containers) == expected,
                     str(sorted(c["title"] for c in containers)))
        ok = True
        for c in containers:
            refs = tree[c["id"]]
            want = sorted(t[0] for t in TRACKS if t[field] == c["title"])
            ok = ok and sorted(r["title"] for r in refs) == want
            ok = ok and all(r["ref"] in track_ids and r["ref"] != r["id"] for r in refs)
        client.check("%s: references name their tracks under All Tracks" % group, ok)

    playlists = tree[top["Playlists"]["id"]]
    client.check("one playlist with its three entries in order",
                 len(playlists) == 1 and
                 [e["title"] for e in tree[playlists[0]["id"]]] == PLAYLIST,
                 str([[e["title"] for e in tree[p["id"]]] for p in playlists]))

    # Sorting: byte order of the ISO-8859-1 texts.
    everything, _, _ = client.browse(top["All Tracks"]["id"], sort="-dc:title")
    want = sorted((t[0] for t in TRACKS), key=lambda s: s.encode("latin-1"), reverse=True)
    client.check("Browse sorted by -dc:title", [o["title"] for o in everything] == want)
    pages = []
    for start in range(0, len(TRACKS), 4):
        pages += client.browse(top["All Tracks"]["id"], start=start, count=4,
                               sort="+upnp:album,+upnp:originalTrackNumber")[0]
    want = [t[0] for t in sorted(TRACKS, key=lambda t: (t[2].encode("latin-1"), t[4]))]
    client.check("sorted pages join into one ordered listing",
                 [o["title"] for o in pages] == want)

    # Searching: from the root each track once, as its All Tracks item.
    found, returned, total = client.search("0", 'dc:title contains "Roll"')
    client.check("title search from the root finds the track once, not its references",
                 total == 1 and returned == 1 and not found[0]["ref"] and
                 found[0]["parent"] == top["All Tracks"]["id"], "%d" % total)
    album = [c for c in tree[top["Albums"]["id"]] if c["title"] == "Second & Last"][0]
    found, returned, total = client.search(album["id"], 'dc:title contains "Roll"')
    client.check("title search within an album finds the album's reference",
                 total == 1 and found[0]["ref"] and found[0]["parent"] == album["id"],
                 "%d" % total)
    found, _, total = client.search("0", 'dc:title contains "Morning" or dc:title = "Albums"')
    client.check("matching containers are still returned, once each",
                 sorted(o["title"] for o in found) ==
                 sorted(["Albums"] + ["Morning %d" % n for n in range(1, 9)]) and
                 total == len(found), str([o["title"] for o in found]))
    check_wmp_walk(client)
    found, _, total = client.search(top["All Tracks"]["id"],
                                    'upnp:originalTrackNumber >= "10"', sort="+dc:title")
    client.check("numeric comparison through SOAP",
                 [o["title"] for o in found] == ["Alpha", "Zulu", "alpha"], str(found))
    found, _, total = client.search(
        "0", 'upnp:class derivedfrom "object.item.audioItem" and @refID exists false')
    client.check("library search with @refID: each track once, no playlist entries",
                 total == len(TRACKS) and sorted(o["title"] for o in found) ==
                 sorted(t[0] for t in TRACKS), "%d" % total)
    found, _, total = client.search("0", 'upnp:genre = "Pop" and upnp:artist = "Cy"')
    client.check("genre search", total == 2, "%d" % total)
    found, returned, total = client.search("0", "*", start=total - 3 if total > 3 else 0,
                                           count=2)
    client.check("search paging", returned == 2)
    client.check("malformed criteria is fault 708",
                 client.fault("Search", {"ContainerID": "0", "SearchCriteria": 'dc:title = "x" and',
                                         "Filter": "*", "StartingIndex": 0, "RequestedCount": 0,
                                         "SortCriteria": ""}) == 708)
    client.check("unknown object is fault 701",
                 client.fault("Browse", {"ObjectID": "99999999", "BrowseFlag": "BrowseMetadata",
                                         "Filter": "*", "StartingIndex": 0, "RequestedCount": 0,
                                         "SortCriteria": ""}) == 701)
    caps = client.call("GetSearchCapabilities", {}, ["SearchCaps"])["SearchCaps"]
    client.check("search capabilities", "upnp:genre" in caps and "@parentID" in caps)
    check_extensions(client, top["All Tracks"]["id"])
    return 1 if client.failures else 0


def check_wmp_walk(client):
    """The Windows Media Player library walk: audio items that are no reference, sorted by
    artist, album, track and title, 200 a page (and again in pages of 4)."""
    criteria = 'upnp:class derivedfrom "object.item.audioItem" and @refID exists false'
    order = "+upnp:artist,+upnp:album,+upnp:originalTrackNumber,+dc:title"
    want = [t[0] for t in sorted(TRACKS, key=lambda t: (t[1].encode("latin-1"),
                                                        t[2].encode("latin-1"), t[4],
                                                        t[0].encode("latin-1")))]
    for page in (200, 4):
        titles, start, totals = [], 0, set()
        while start < 10 * len(TRACKS):
            found, returned, total = client.search("0", criteria, start, page, order)
            titles += [o["title"] for o in found]
            totals.add(total)
            start += page
            if returned < page:
                break
        client.check("library walk in pages of %d meets each track once, in order" % page,
                     titles == want and totals == {len(TRACKS)}, str((titles, totals)))


def soap(url, service, action, arguments=""):
    """(HTTP status, body) of a SOAP request sent as a plain control point sends it."""
    import urllib.error
    import urllib.request
    body = ('<?xml version="1.0" encoding="utf-8"?>'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:%s xmlns:u="%s">%s</u:%s></s:Body></s:Envelope>'
            % (action, service, arguments, action)).encode()
    request = urllib.request.Request(url, data=body, headers={
        "Content-Type": 'text/xml; charset="utf-8"', "SOAPACTION": '"%s#%s"' % (service, action)})
    try:
        with urllib.request.urlopen(request, timeout=20) as answer:
            return answer.status, answer.read().decode("latin-1")
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode("latin-1")


def element(xml, name):
    import re
    match = re.search(r"<%s>(.*?)</%s>" % (name, name), xml, re.S)
    return match.group(1) if match else None


def check_extensions(client, all_tracks):
    """The registrar some Windows control points ask first, and the feature list of TVs."""
    import html
    import xml.etree.ElementTree as ET
    import urllib.parse
    location = urllib.parse.urlsplit(client.proxy.get_location())
    base = "http://%s" % location.netloc
    registrar = "urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1"
    for action in ("IsAuthorized", "IsValidated"):
        status, body = soap(base + "/X_MS_MediaReceiverRegistrar/Control", registrar, action,
                            "<DeviceID></DeviceID>")
        client.check("registrar %s answers Result 1" % action,
                     status == 200 and element(body, "Result") == "1", body)
    status, body = soap(base + "/X_MS_MediaReceiverRegistrar/Control", registrar,
                        "RegisterDevice", "<RegistrationReqMsg>AAAA</RegistrationReqMsg>")
    client.check("registrar RegisterDevice answers an empty RegistrationRespMsg",
                 status == 200 and element(body, "RegistrationRespMsg") == "", body)
    status, body = soap(base + "/ContentDirectory/Control", CDS, "X_GetFeatureList")
    features = None
    try:
        features = ET.fromstring(html.unescape(element(body, "FeatureList") or ""))
    except ET.ParseError:
        pass
    ns = "{urn:schemas-upnp-org:av:avs}"
    view = features.find(ns + "Feature") if features is not None else None
    containers = [] if view is None else view.findall(ns + "container")
    client.check("X_GetFeatureList: BASICVIEW names All Tracks for audio items",
                 status == 200 and view is not None and
                 view.get("name") == "samsung.com_BASICVIEW" and
                 [(c.get("id"), c.get("type")) for c in containers] ==
                 [(all_tracks, "object.item.audioItem")], body)
    for service, action, code in ((CDS, "X_Frobnicate", "401"), (CDS, "DestroyObject", "602"),
                                  (registrar, "Unregister", "401")):
        status, body = soap(base + "/ContentDirectory/Control", service, action)
        client.check("%s answers fault %s" % (action, code),
                     status == 500 and element(body, "errorCode") == code, body)


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--client":
        sys.exit(run_client(sys.argv[2]))
    sys.exit(main())
