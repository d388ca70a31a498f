#!/usr/bin/python3
"""One GUPnP control point against the server, as a user's control point would use it. kbhost
serves a generated library (CBR and VBR tracks, ID3v2.3 and 2.4, ISO-8859-1, UTF-16 and UTF-8
texts in several scripts, discs, album artists, pictures, a playlist) in a server namespace.
From a client namespace GUPnP finds the MediaServer, reads both services, browses every
container in pages and checks every field of every object against the files; runs sorted
Browses and Searches; fetches every track and picture; subscribes to ContentDirectory and
sees SystemUpdateID rise when the host's library file changes, after which the rebuilt
catalogue is browsed and checked again; quit then stops the host.

usage: test_e2e_gupnp.py [native|windows]: the native build's kbhost, or kbhost.exe with the DLL
under Wine (the Windows build lib/wine.sh selects)."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
import e2e_support as e2e  # noqa: E402

NAMESPACES = {"native": "kbe2egup", "windows": "kbe2ewin"}


def main(build):
    win = None
    if build == "windows":
        win, status = e2e.open_windows()
        if win is None:
            return status
        stage = win.stage
    else:
        stage = e2e.native_stage()
        if stage is None:
            print("SKIP: no kbhost in the build's stage")
            return 0
    ns = NAMESPACES[build]
    scene = e2e.Scene(ns, stage, "kb_e2e_gupnp.")
    host = None
    started = time.monotonic()
    try:
        if win is None:
            host = e2e.Host(ns, [os.path.join(scene.stage, "kbhost"), "--music", scene.music])
        else:
            if not win.prefix(ns):
                print("FAIL - the Wine prefix could not be made")
                return 1
            print("figure: Wine prefix ready in %.1f s" % (time.monotonic() - started))
            host = e2e.Host(ns, win.command(scene.stage, "--music",
                                            "Z:" + scene.music.replace("/", "\\")), win.env)
        launched = time.monotonic()
        if host.wait_line("kbhost: started", 120) is None:
            print("FAIL - the host did not start")
            return 1
        print("figure: host started %.1f s after launch" % (time.monotonic() - launched))
        client = subprocess.run(scene.in_client(
            "timeout", "150", "/usr/bin/python3", os.path.abspath(__file__), "--client",
            scene.iface, scene.music, os.path.join(scene.stage, "Plugins", "ml", "main.dat")))
        quitting = time.monotonic()
        host.send("quit")
        stopped = host.wait_line("kbhost: stopped", 60, time.time() - 1) is not None
        print("%s - the host stops on quit%s" % (
            "ok  " if stopped else "FAIL",
            " (%.1f s)" % (time.monotonic() - quitting) if stopped else ""))
        print("figure: whole run %.1f s" % (time.monotonic() - started))
        return client.returncode if stopped else 1
    finally:
        if host is not None:
            host.quit(30)
        scene.close()


def run_client(iface, music, library_file):
    c = e2e.Checks()
    cp = e2e.ControlPoint(iface)
    began = time.monotonic()
    device = cp.find_device(e2e.MEDIA_SERVER, 30)
    if not c.check("GUPnP finds the MediaServer", device is not None):
        return 1
    print("figure: device found %.2f s after the control point started"
          % (time.monotonic() - began))
    c.check("device description: friendly name and model read",
            bool(device.get_friendly_name()) and device.get_udn().startswith("uuid:"),
            (device.get_friendly_name(), device.get_udn()))
    cds_proxy = device.get_service(e2e.CDS)
    cms_proxy = device.get_service(e2e.CMS)
    c.check("both services listed", cds_proxy is not None and cms_proxy is not None)
    if cds_proxy is None or cms_proxy is None:
        return 1
    cds_info, cms_info = cp.introspect(cds_proxy), cp.introspect(cms_proxy)
    c.check("ContentDirectory SCPD: Browse and Search with their arguments, evented "
            "SystemUpdateID",
            not isinstance(cds_info, str) and cds_info.get_action("Browse") is not None and
            cds_info.get_action("Search") is not None and
            cds_info.get_state_variable("SystemUpdateID") is not None and
            cds_info.get_state_variable("SystemUpdateID").send_events, cds_info)
    c.check("ConnectionManager SCPD: GetProtocolInfo",
            not isinstance(cms_info, str) and cms_info.get_action("GetProtocolInfo") is not None,
            cms_info)
    # The registrar that Windows control points ask first: listed, introspected, answered.
    registrar = device.get_service(e2e.REGISTRAR)
    registrar_info = cp.introspect(registrar) if registrar is not None else "not listed"
    c.check("registrar SCPD: IsAuthorized, IsValidated, RegisterDevice",
            not isinstance(registrar_info, str) and
            all(registrar_info.get_action(a) is not None
                for a in ("IsAuthorized", "IsValidated", "RegisterDevice")), registrar_info)
    if registrar is not None:
        answers = [cp.call(registrar, a, {"DeviceID": ""}, ["Result"])["Result"]
                   for a in ("IsAuthorized", "IsValidated")]
        c.check("registrar: IsAuthorized and IsValidated answer 1", answers == ["1", "1"],
                answers)
    features = cp.call(cds_proxy, "X_GetFeatureList", {}, ["FeatureList"])["FeatureList"]
    c.check("X_GetFeatureList names a BASICVIEW container for audio items",
            'name="samsung.com_BASICVIEW"' in features and
            'type="object.item.audioItem"' in features, features)
    source = cp.call(cms_proxy, "GetProtocolInfo", {}, ["Source", "Sink"])
    c.check("GetProtocolInfo: the server sources audio/mpeg over http-get",
            "http-get:*:audio/mpeg:*" in source["Source"].split(","), source)

    cd = e2e.ContentDirectory(cp, cds_proxy)
    c.check("the library is catalogued",
            e2e.wait_for_library(cd, len(e2e.TRACKS), 1, 60))
    base = "http://%s:8080/" % e2e.SERVER
    walked = time.monotonic()
    tree, by_title = e2e.check_library(c, cd, music, base)
    if tree is None:
        return 1
    print("figure: whole tree browsed and checked in %.2f s" % (time.monotonic() - walked))

    # Sorted Browse in pages and a Search, as control points use them for their own views.
    all_tracks = tree["0"][0]["id"]
    pages = []
    for start in range(0, len(e2e.TRACKS), 4):
        pages += cd.browse(all_tracks, start=start, count=4,
                           sort="+upnp:artist,-upnp:originalTrackNumber")[0]
    # Track numbers order by disc, then track; texts by code point.
    want = [t["title"] for t in sorted(
        sorted(e2e.TRACKS, key=lambda t: (e2e.disc_number(t) or 0, t["track"]), reverse=True),
        key=lambda t: t["artist"])]
    c.check("Browse sorted by artist, then track number descending, in pages",
            [o["title"] for o in pages] == want, [o["title"] for o in pages])
    albums = {(o["title"], tuple(o["artists"])): o["id"] for o in tree[tree["0"][1]["id"]]}
    two_discs = albums.get(("\u0413\u0440\u0443\u043f\u043f\u0430", ("\u041a\u0438\u043d\u043e",)))
    found = cd.browse(two_discs, sort="+upnp:originalTrackNumber")[0] if two_discs else []
    c.check("an album sorted by track number: disc 1 before disc 2, whatever the track",
            [o["title"] for o in found] == ["\u03a9\u03bc\u03ad\u03b3\u03b1",
                                            "\u0417\u0432\u0435\u0437\u0434\u0430"],
            [o["title"] for o in found])
    found, returned, total = cd.search(
        "0", 'upnp:class derivedfrom "object.item.audioItem" and upnp:artist = "Ann" and '
             '@refID exists false', sort="+dc:title")
    # Playlist entries carry only what their EXTINF line gives: no artist.
    want = sorted(t["title"] for t in e2e.TRACKS if t["artist"] == "Ann")
    c.check("Search: Ann's tracks, no references",
            [o["title"] for o in found] == want and returned == total == len(want)
            and all(not o["ref"] for o in found), [o["title"] for o in found])

    # A search of the whole library meets each track once, as its All Tracks item.
    found, returned, total = cd.search("0", 'upnp:class derivedfrom "object.item.audioItem"')
    c.check("Search from the root finds each fixture track once",
            sorted(o["title"] for o in found) == sorted(t["title"] for t in e2e.TRACKS) and
            returned == total == len(e2e.TRACKS) and
            all(not o["ref"] and o["parent"] == all_tracks for o in found),
            [o["title"] for o in found])

    # Non-ASCII search text as the control point sends it (UTF-8) matches the tags' text, be
    # they ISO-8859-1, UTF-16 or UTF-8. contains folds letter case (Latin, Greek, Cyrillic);
    # '=' is exact.
    for criteria, want in (('dc:title contains "Caf\u00e9"', ["Caf\u00e9 Noir"]),
                           ('upnp:album = "Singles \u00e0 la carte"', ["<Untitled>", "Ann & Cy"]),
                           ('dc:title contains "long ROAD"', ["Long Road"]),
                           ('dc:title contains "\u0437\u0432\u0435\u0437\u0434\u0430"',
                            ["\u0417\u0432\u0435\u0437\u0434\u0430"]),
                           ('dc:title contains "\u03c9\u03bc\u03ad\u03b3\u03b1"',
                            ["\u03a9\u03bc\u03ad\u03b3\u03b1"]),
                           ('dc:title contains "\u591c\u306e"', ["\u591c\u306e\u66f2"]),
                           ('upnp:artist = "ann"', []),
                           ('dc:title doesNotContain "O" and upnp:genre = "Rock"',
                            ["\u0417\u0432\u0435\u0437\u0434\u0430",
                             "\u03a9\u03bc\u03ad\u03b3\u03b1"])):
        found, _, _ = cd.search("0", criteria + " and @refID exists false", sort="+dc:title")
        c.check("Search %s" % criteria, sorted(o["title"] for o in found) == sorted(want),
                [o["title"] for o in found])

    e2e.check_fetches(c, music, tree, by_title)

    # Events: subscribe through GUPnP, then change the library file.
    values = []
    GObject = cp.GObject
    cds_proxy.add_notify("SystemUpdateID", GObject.TYPE_UINT,
                         lambda _proxy, _name, value, *_rest: values.append(value), None)
    cds_proxy.set_subscribed(True)
    c.check("first event carries SystemUpdateID", cp.run_until(lambda: values, 10))
    if not values:
        return 1
    first = values[0]
    current = int(cp.call(cds_proxy, "GetSystemUpdateID", {}, ["Id"])["Id"])
    c.check("GetSystemUpdateID agrees with the event", current == first, (current, first))
    # A real change: the library file loses its last track, then gets it back. (A write that
    # changes no track publishes nothing, so it would raise no event.)
    with open(library_file, "rb") as f:
        original = f.read()
    end = original.rindex(b".mp3\0") + 5
    begin = original.rindex(b"\0", 0, end - 1) + 1
    touched = time.monotonic()
    with open(library_file, "wb") as f:
        f.write(original[:begin] + original[end:])
    risen = cp.run_until(lambda: any(v > first for v in values), 10)
    c.check("SystemUpdateID rises after the library file changes", risen, values)
    if risen:
        print("figure: raised SystemUpdateID arrived %.2f s after the change"
              % (time.monotonic() - touched))
    time.sleep(1.5)
    cp.run_until(lambda: False, 0.5)
    with open(library_file, "wb") as f:
        f.write(original)
    cp.run_until(lambda: len(values) >= 3, 10)
    time.sleep(1.5)
    cp.run_until(lambda: False, 0.5)
    c.check("one event per change", len(values) == 3 and values[2] > values[1] > first, values)
    c.check("the rebuilt library is catalogued again",
            e2e.wait_for_library(cd, len(e2e.TRACKS), 1, 20))
    tree, by_title = e2e.check_library(c, cd, music, base, page=3)
    if tree is not None:
        e2e.check_fetches(c, music, tree, by_title)
    cds_proxy.set_subscribed(False)
    print("%d failure(s)" % c.failures)
    return 1 if c.failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--client":
        sys.exit(run_client(sys.argv[2], sys.argv[3], sys.argv[4]))
    if len(sys.argv) > 2 or sys.argv[1:] not in ([], ["native"], ["windows"]):
        sys.exit(__doc__.split("usage: ")[1])
    sys.exit(main(sys.argv[1] if len(sys.argv) == 2 else "native"))
