#!/usr/bin/python3
"""A real renderer plays from the server. kbhost serves a generated library in the server
namespace; gmediarender (GStreamer with a fake audio sink) runs in the client namespace. A GUPnP
control point there finds both devices, browses a track, hands its resource URL and DIDL-Lite
metadata to the renderer's AVTransport (SetAVTransportURI, Play) and checks that the renderer
reports PLAYING, that its playback position moves, and that the server sent at least the track's
bytes while it played. Then it seeks (REL_TIME) into the middle of the track: the renderer asks
the server for a byte range and must keep PLAYING from there, its position past the target and
advancing.

usage: test_e2e_renderer.py [native|windows]: the native build's kbhost, or kbhost.exe with the
DLL under Wine (the Windows build lib/wine.sh selects)."""
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
import e2e_support as e2e  # noqa: E402

NAMESPACES = {"native": "kbe2erdr", "windows": "kbe2ewrd"}
RENDERER = "urn:schemas-upnp-org:device:MediaRenderer:1"
AVT = "urn:schemas-upnp-org:service:AVTransport:1"
TRACK = "Long Road"
SEEK_TARGET_S = 32  # the middle of the 65 s track


def main(build):
    if build == "windows":
        win, status = e2e.open_windows()
        if win is None:
            return status
        return play_from(NAMESPACES[build], win.stage,
                         lambda scene: win.command(scene.stage, "--music",
                                                   "Z:" + scene.music.replace("/", "\\")),
                         win.prefix, win.env)
    stage = e2e.native_stage()
    if stage is None:
        print("SKIP: no kbhost in the build's stage")
        return 0
    return play_from(NAMESPACES[build], stage,
                     lambda scene: [os.path.join(scene.stage, "kbhost"), "--music", scene.music])


def play_from(ns, stage, host_command, prepare=None, env=None):
    """Serves the library with host_command(scene) in the server namespace of ns (after
    prepare(ns), which tells whether the host can start), starts gmediarender in the client
    namespace and runs the client side there."""
    if shutil.which("gmediarender") is None:
        print("FAIL - gmediarender is not installed")
        return 1
    scene = e2e.Scene(ns, stage, "kb_e2e_renderer.")
    host = renderer = None
    started = time.monotonic()
    try:
        if prepare is not None and not prepare(ns):
            print("FAIL - the host's surroundings could not be prepared")
            return 1
        host = e2e.Host(ns, host_command(scene), env)
        if host.wait_line("kbhost: started", 120) is None:
            print("FAIL - the host did not start")
            return 1
        log = open(os.path.join(scene.work, "renderer.log"), "w")
        renderer = subprocess.Popen(scene.in_client(
            "timeout", "120", "gmediarender", "-I", scene.iface, "-f", "KB Test Renderer",
            "-u", "kb-e2e-renderer-0001", "--gstout-audiopipe=fakesink sync=true",
            "--gstout-videosink=fakesink", "--logfile", "stdout"),
            stdout=log, stderr=subprocess.STDOUT, env=dict(os.environ, HOME=scene.work))
        # gmediarender answers actions as soon as it is registered, but finishes setting up its
        # state variables after that; an action in between trips its own assertion. Wait until
        # it says it is ready.
        if not wait_for_text(os.path.join(scene.work, "renderer.log"), "Ready for rendering",
                             60, renderer):
            print("FAIL - gmediarender did not get ready")
            return 1
        size = os.path.getsize(os.path.join(scene.music, e2e.FIXTURE_BY_TITLE[TRACK]["file"]))
        client = subprocess.run(scene.in_client(
            "timeout", "150", "/usr/bin/python3", os.path.abspath(__file__), "--client",
            scene.iface, ns + "-s", ns[:8] + "s1", str(size)))
        if client.returncode != 0:
            log.flush()
            with open(os.path.join(scene.work, "renderer.log")) as f:
                print("--- gmediarender log (last lines):\n" + "".join(f.readlines()[-30:]))
        print("figure: whole run %.1f s" % (time.monotonic() - started))
        return client.returncode
    finally:
        if renderer is not None and renderer.poll() is None:
            renderer.terminate()
            try:
                renderer.wait(timeout=10)
            except subprocess.TimeoutExpired:
                renderer.kill()
        if host is not None:
            host.quit(30)
        scene.close()


def wait_for_text(path, text, seconds, process):
    """Whether `text` appears in the file at `path` within `seconds` while `process` lives."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and process.poll() is None:
        with open(path, errors="replace") as f:
            if text in f.read():
                return True
        time.sleep(0.05)
    return False


def sent_bytes(server_ns, link):
    """Bytes the server namespace has sent on its link to the client namespace."""
    out = subprocess.run(["ip", "-n", server_ns, "-j", "-s", "link", "show", "dev", link],
                         capture_output=True, text=True).stdout
    return json.loads(out)[0]["stats64"]["tx"]["bytes"]


def seek_into_middle(c, cp, avt, playing):
    """Seeks to SEEK_TARGET_S and checks that playback goes on from there."""
    target = "0:%02d:%02d" % (SEEK_TARGET_S // 60, SEEK_TARGET_S % 60)
    asked = time.monotonic()
    cp.call(avt, "Seek", {"InstanceID": 0, "Unit": "REL_TIME", "Target": target}, [])

    def seconds():
        info = cp.call(avt, "GetPositionInfo", {"InstanceID": 0}, ["RelTime"])
        ms = e2e.duration_ms(info["RelTime"] + ".000")
        return None if ms is None else ms / 1000.0

    first = None
    for _ in range(100):
        first = seconds()
        if first is not None and first >= SEEK_TARGET_S:
            break
        time.sleep(0.1)
    reached = first is not None and first >= SEEK_TARGET_S
    c.check("after Seek to %s the position is past the target" % target, reached, first)
    if reached:
        print("figure: position past the seek target %.2f s after Seek" % (time.monotonic() - asked))
    time.sleep(2.5)
    later = seconds()
    c.check("and keeps advancing while the renderer reports PLAYING",
            reached and later is not None and later >= first + 1 and playing(), (first, later))


def run_client(iface, server_ns, link, size):
    c = e2e.Checks()
    cp = e2e.ControlPoint(iface)
    server = cp.find_device(e2e.MEDIA_SERVER, 60)
    renderer = cp.find_device(RENDERER, 30)
    c.check("GUPnP finds our MediaServer", server is not None)
    c.check("GUPnP finds gmediarender's MediaRenderer", renderer is not None)
    if server is None or renderer is None:
        return 1
    avt = renderer.get_service(AVT)
    if not c.check("the renderer has AVTransport", avt is not None):
        return 1
    cd = e2e.ContentDirectory(cp, server.get_service(e2e.CDS))
    c.check("the library is catalogued", e2e.wait_for_library(cd, len(e2e.TRACKS), 1, 60))
    all_tracks = cd.browse("0")[0][0]["id"]
    tracks = {o["title"]: o for o in cd.browse(all_tracks)[0]}
    track = tracks.get(TRACK)
    if not c.check("the track to play is listed with a resource", track and track["res"]):
        return 1
    url = track["res"][0]["uri"]
    metadata = cp.call(cd.proxy, "Browse", {
        "ObjectID": track["id"], "BrowseFlag": "BrowseMetadata", "Filter": "*",
        "StartingIndex": 0, "RequestedCount": 0, "SortCriteria": ""}, ["Result"])["Result"]

    before = sent_bytes(server_ns, link)
    cp.call(avt, "SetAVTransportURI",
            {"InstanceID": 0, "CurrentURI": url, "CurrentURIMetaData": metadata}, [])
    media = cp.call(avt, "GetMediaInfo", {"InstanceID": 0}, ["CurrentURI"])
    c.check("the renderer took the server's URL", media["CurrentURI"] == url, media)
    asked = time.monotonic()
    cp.call(avt, "Play", {"InstanceID": 0, "Speed": "1"}, [])

    states = []

    def playing():
        info = cp.call(avt, "GetTransportInfo", {"InstanceID": 0},
                       ["CurrentTransportState", "CurrentTransportStatus"])
        states.append(info["CurrentTransportState"])
        return info["CurrentTransportState"] == "PLAYING"

    reached = False
    for _ in range(100):
        if playing():
            reached = True
            break
        time.sleep(0.1)
    c.check("the renderer reports PLAYING", reached, states[-5:])
    if reached:
        print("figure: PLAYING %.2f s after Play" % (time.monotonic() - asked))
    position = {}
    for _ in range(60):
        position = cp.call(avt, "GetPositionInfo", {"InstanceID": 0},
                           ["TrackDuration", "RelTime", "TrackURI"])
        if e2e.duration_ms(position["RelTime"] + ".000") not in (None, 0):
            break
        time.sleep(0.1)
    c.check("the playback position moves", e2e.duration_ms(position.get("RelTime", "") + ".000")
            not in (None, 0), position)
    duration = e2e.duration_ms((position.get("TrackDuration") or "") + ".000")
    c.check("the renderer reports the track's length (about 65 s)",
            duration is not None and 60000 <= duration <= 70000, position)
    sent = sent_bytes(server_ns, link) - before
    c.check("the server sent the renderer at least the track's %d bytes" % size, sent >= size,
            sent)
    seek_into_middle(c, cp, avt, playing)
    cp.call(avt, "Stop", {"InstanceID": 0}, [])
    print("%d failure(s)" % c.failures)
    return 1 if c.failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--client":
        sys.exit(run_client(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])))
    if len(sys.argv) > 2 or sys.argv[1:] not in ([], ["native"], ["windows"]):
        sys.exit(__doc__.split("usage: ")[1])
    sys.exit(main(sys.argv[1] if len(sys.argv) == 2 else "native"))
