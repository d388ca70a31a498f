#!/usr/bin/python3
"""The newcomer's first run: ./demo.sh, started in the server namespace from a copy of the tree
with the build's stage, makes the demo library and serves it in the foreground. From the client
namespace a GUPnP control point sees what a user's control point would show: All Tracks,
Albums, Artists, Genres and Playlists, all filled, every track with a title, artist, album,
duration and a fetchable resource, every album with album art that is a JPEG. Then Ctrl-C
(SIGINT to the foreground process group) stops the demo cleanly, and the control point sees
the device leave (byebye). A wrong --music folder is reported before anything starts."""
import html.parser
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
import e2e_support as e2e  # noqa: E402

NS = "kbe2edem"


def main():
    stage = e2e.native_stage()
    if stage is None:
        print("SKIP: no kbhost in the build's stage")
        return 0
    c = e2e.Checks()
    work = tempfile.mkdtemp(prefix="kb_e2e_demo.")
    demo = None
    try:
        # A copy of what a newcomer has: demo.sh, the tools, and a built stage (no source
        # folders, so the script finds nothing newer to rebuild).
        root = os.path.join(work, "tree")
        os.makedirs(os.path.join(root, "build"))
        shutil.copy(os.path.join(e2e.SRC, "demo.sh"), root)
        shutil.copytree(os.path.join(e2e.SRC, "tools"), os.path.join(root, "tools"))
        shutil.copytree(stage, os.path.join(root, "build", "stage"))
        for leftover in ("winamp.ini",):
            if os.path.exists(os.path.join(root, "build", "stage", leftover)):
                os.remove(os.path.join(root, "build", "stage", leftover))
        e2e.sh("kb_netns_up %s" % NS)
        # A wrong folder is reported plainly, before anything starts.
        for wrong, message in ((os.path.join(work, "missing"), "does not exist"),
                               (os.path.join(root, "demo.sh"), "is a file, not a folder")):
            run = subprocess.run(["ip", "netns", "exec", NS + "-s", "timeout", "20",
                                  os.path.join(root, "demo.sh"), "--music", wrong],
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True)
            c.check("--music %s: exit status 2 and \"%s\"" % (os.path.basename(wrong), message),
                    run.returncode == 2 and message in run.stderr and
                    "kbhost" not in run.stdout + run.stderr, (run.returncode, run.stderr))
        started = time.monotonic()
        demo = subprocess.Popen(["ip", "netns", "exec", NS + "-s", "timeout", "120",
                                 os.path.join(root, "demo.sh")],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, start_new_session=True)
        output = []
        threading.Thread(target=lambda: output.extend(demo.stdout), daemon=True).start()
        client = subprocess.Popen(["ip", "netns", "exec", NS + "-c", "timeout", "90",
                                   "/usr/bin/python3", os.path.abspath(__file__), "--client",
                                   NS[:8] + "c1"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        interrupted = None
        for line in client.stdout:
            print(line, end="", flush=True)
            if line.startswith("READY FOR CTRL-C"):
                print("figure: demo served and checked %.1f s after starting demo.sh"
                      % (time.monotonic() - started))
                interrupted = time.monotonic()
                os.killpg(demo.pid, signal.SIGINT)
        client.wait(timeout=30)
        if interrupted is not None:
            try:
                code = demo.wait(timeout=15)
                c.check("Ctrl-C stops the demo (exit status %d) in %.1f s"
                        % (code, time.monotonic() - interrupted), code in (0, 130))
            except subprocess.TimeoutExpired:
                c.check("Ctrl-C stops the demo within 15 s", False)
        c.check("demo.sh names the library it serves",
                any(line.startswith("demo: serving %s" % os.path.join(root, "demo-library"))
                    for line in output), "".join(output[:12]))
        if client.returncode != 0 or c.failures:
            print("--- demo.sh printed:\n" + "".join(output[-30:]))
        return 1 if client.returncode != 0 or c.failures else 0
    finally:
        if demo is not None and demo.poll() is None:
            os.killpg(demo.pid, signal.SIGKILL)
        e2e.sh("kb_netns_down %s" % NS, check=False)
        shutil.rmtree(work, ignore_errors=True)


def run_client(iface):
    c = e2e.Checks()
    cp = e2e.ControlPoint(iface)
    gone = []
    control = cp.GUPnP.ControlPoint.new(cp.context, e2e.MEDIA_SERVER)
    control.connect("device-proxy-unavailable", lambda _c, proxy: gone.append(proxy.get_udn()))
    control.set_active(True)
    device = cp.find_device(e2e.MEDIA_SERVER, 60)
    if not c.check("GUPnP finds the demo's MediaServer", device is not None):
        return 1
    c.check("friendly name names the server", "KestrelBloom" in (device.get_friendly_name() or ""),
            device.get_friendly_name())
    cd = e2e.ContentDirectory(cp, device.get_service(e2e.CDS))
    # The demo library is made at start; wait (bounded) until the catalogue holds it.
    end = time.monotonic() + 60
    counts = {}
    while time.monotonic() < end:
        try:
            counts = {o["title"]: o["count"] for o in cd.browse("0")[0]}
        except Exception:  # still starting
            counts = {}
        if counts.get("All Tracks", 0) > 0 and counts.get("Playlists", 0) > 0:
            time.sleep(1.5)  # let a pass that is still adding tracks finish
            counts = {o["title"]: o["count"] for o in cd.browse("0")[0]}
            break
        time.sleep(0.3)
    c.check("the five top containers, none empty", list(counts) == e2e.TOP and
            all(n > 0 for n in counts.values()), counts)
    if list(counts) != e2e.TOP:
        return 1
    problems = []
    tree = cd.walk(10, problems)
    c.check("every container browses consistently", not problems, "; ".join(problems[:5]))
    top = {o["title"]: o["id"] for o in tree["0"]}
    tracks = tree[top["All Tracks"]]
    bad = [t["title"] for t in tracks
           if not (t["title"] and t["artist"] and t["album"] and t["genre"] and t["res"] and
                   (e2e.duration_ms(t["duration"]) or 0) > 0)]
    c.check("%d tracks, each with title, artist, album, genre, duration and resource"
            % len(tracks), tracks and not bad, bad)
    status, kind, body = e2e.fetch(tracks[0]["res"][0]["uri"]) if tracks else (0, None, b"")
    c.check("a track streams as audio/mpeg", status == 200 and kind == "audio/mpeg" and
            len(body) == tracks[0]["res"][0]["size"] and body[:3] == b"ID3", (status, kind))
    albums = tree[top["Albums"]]
    arts = [(a["title"], a["art"]) for a in albums]
    pictures = [e2e.fetch(art) if art else (0, None, b"") for _, art in arts]
    c.check("%d albums, each with album art that is a JPEG" % len(albums),
            albums and all(p[0] == 200 and p[2][:2] == b"\xff\xd8" for p in pictures),
            [(title, p[0]) for (title, _), p in zip(arts, pictures)])
    for group in ("Artists", "Genres"):
        c.check("%s hold references to tracks" % group,
                all(tree.get(x["id"]) and all(r["ref"] for r in tree[x["id"]])
                    for x in tree[top[group]]))
    lists = tree[top["Playlists"]]
    c.check("the playlist has playable entries",
            lists and all(tree.get(p["id"]) and all(e["res"] for e in tree[p["id"]])
                          for p in lists))

    check_default_order(c, cd, tree, top)
    check_face(c, device, counts, tree, top)

    udn = device.get_udn()
    print("READY FOR CTRL-C", flush=True)
    said = cp.run_until(lambda: udn in gone, 10)
    c.check("after Ctrl-C the control point sees the server leave (byebye)", said, gone)
    print("%d failure(s)" % c.failures)
    return 1 if c.failures else 0


def check_default_order(c, cd, tree, top):
    """Without SortCriteria an album lists by track number, All Tracks by title."""
    skies = [a["id"] for a in tree[top["Albums"]] if a["title"] == "Open Skies"]
    tracks = cd.browse(skies[0])[0] if skies else []
    numbers = [t["track"] for t in tracks]
    c.check("Open Skies lists its tracks 1, 2, 3 when no order is asked for",
            numbers == sorted(numbers) and numbers[:3] == [1, 2, 3], numbers)
    titles = [t["title"] for t in tree[top["All Tracks"]]]
    c.check("All Tracks lists by title", titles == sorted(titles, key=str.lower), titles)


class PageShape(html.parser.HTMLParser):
    """Collects what a browser would run or submit, and the page's visible text."""

    def __init__(self):
        super().__init__()
        self.active, self.text, self.open = [], [], []

    def handle_starttag(self, tag, attrs):
        if tag in ("script", "form", "iframe", "object", "embed") or \
                any(name.startswith("on") for name, _ in attrs):
            self.active.append(tag)
        if tag not in ("meta", "img", "br", "link"):
            self.open.append(tag)

    def handle_endtag(self, tag):
        if self.open and self.open[-1] == tag:
            self.open.pop()
        else:
            self.active.append("unbalanced </%s>" % tag)

    def handle_data(self, data):
        self.text.append(data)


def check_face(c, device, counts, tree, top):
    """The icons and the presentation page, as a control point and a browser see them."""
    icons = []
    for mime in ("image/png", "image/jpeg"):
        for side in (48, 120):
            url = device.get_icon_url(mime, -1, side, side, False)[0]
            status, kind, body = e2e.fetch(url) if url else (0, None, b"")
            icons.append((mime, side, status, kind, len(body), body[:4]))
    c.check("iconList: PNG and JPEG icons at 48 and 120 are served",
            all(i[2] == 200 and i[3] == i[0] and i[4] > 0 for i in icons) and
            [i[5][:4] for i in icons] == [b"\x89PNG"] * 2 + [b"\xff\xd8\xff\xe0"] * 2, icons)
    url = device.get_presentation_url()
    status, kind, body = e2e.fetch(url) if url else (0, None, b"")
    page = body.decode("ascii", "replace")
    shape = PageShape()
    shape.feed(page)
    text = " ".join(" ".join(shape.text).split())
    want = ["Tracks %d" % counts["All Tracks"], "Albums %d" % counts["Albums"],
            "Artists %d" % counts["Artists"], "Genres %d" % counts["Genres"],
            "Playlists %d" % counts["Playlists"], device.get_friendly_name(), "On"]
    c.check("presentation page: an HTML5 status document naming the server and its counts",
            status == 200 and (kind or "").startswith("text/html") and
            page.startswith("<!DOCTYPE html>") and all(w in text for w in want),
            (url, status, kind, [w for w in want if w not in text]))
    c.check("presentation page: no scripts, forms or handlers; tags balanced",
            not shape.active and not shape.open, (shape.active, shape.open))
    # A real browser renders it; the picture stays with the build as a test artefact.
    out = os.path.join(os.environ.get("KB_BUILD_DIR", tempfile.gettempdir()), "test-artefacts")
    os.makedirs(out, exist_ok=True)
    shot = os.path.join(out, "presentation-page.png")
    if os.path.exists(shot):
        os.remove(shot)
    profile = tempfile.mkdtemp(prefix="kb_chromium.")
    try:
        run = subprocess.run(
            ["timeout", "60", "/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-quic", "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile,
             "--window-size=412,915", "--screenshot=" + shot, url or "about:blank"],
            capture_output=True, text=True)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    with open(shot, "rb") if os.path.exists(shot) else open(os.devnull, "rb") as f:
        picture = f.read()
    c.check("headless Chromium renders the page on a phone-sized screen (%s)" % shot,
            run.returncode == 0 and picture[:4] == b"\x89PNG" and len(picture) > 5000,
            (run.returncode, len(picture), run.stderr[-300:]))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--client":
        sys.exit(run_client(sys.argv[2]))
    sys.exit(main())
