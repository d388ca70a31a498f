#!/usr/bin/python3
"""The Windows build's media path under Wine: kbhost.exe loads the DLL with a generated library
(Windows paths in main.dat, a playlist with a relative path line), and from a second namespace a
client browses, fetches tracks, a playlist entry and a picture, and compares them with the files;
then it leaves 20 subscriptions with dead callbacks, which quit must not wait for. Runs the
Windows build lib/wine.sh selects."""
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LOADER = importlib.util.spec_from_file_location(
    "media_events", os.path.join(HERE, "test_media_events_streaming.py"))
media = importlib.util.module_from_spec(LOADER)
LOADER.loader.exec_module(media)
sys.path.insert(0, os.path.join(HERE, "lib"))
import e2e_support as e2e  # noqa: E402

NS = "kbwmedia"


def main():
    win, status = e2e.open_windows()
    if win is None:
        return status
    work = tempfile.mkdtemp(prefix="kb_wmedia.")
    host = None
    try:
        stage = os.path.join(work, "stage")
        shutil.copytree(win.stage, stage)
        music = os.path.join(work, "music")
        os.mkdir(music)
        media.make_library(music)
        os.mkdir(os.path.join(music, "sub"))
        shutil.copy(os.path.join(music, "art.mp3"), os.path.join(music, "sub", "again.mp3"))
        with open(os.path.join(music, "Mix.m3u"), "w") as m3u:
            m3u.write("#EXTM3U\r\n#EXTINF:3,Plain\r\nplain.mp3\r\n#EXTINF:4,Again\r\nsub\\again.mp3\r\n")
        media.sh("kb_netns_up %s; kb_netns_client_addresses %s %d"
                 % (NS, NS, len(media.DEAD_SOURCES)))
        if not win.prefix(NS):
            print("FAIL - the Wine prefix could not be made")
            return 1
        host = e2e.Host(NS, win.command(stage, "--music", "Z:" + music.replace("/", "\\")),
                        win.env)
        if host.wait_line("kbhost: started", 120) is None:
            print("FAIL - kbhost.exe did not start under Wine")
            return 1
        client = subprocess.run(
            ["ip", "netns", "exec", NS + "-c", "timeout", "150", "/usr/bin/python3",
             os.path.abspath(__file__), "--client", music])
        host.quit(60)
        host.reader.join(5)
        output = "\n".join(line for _, line in host.lines)
        # The same one-second limit as natively (the prefix's virtual desktop spares the tray
        # icon's removal Wine's 2 s wait for a window manager; see lib/wine.sh).
        quit_ok = media.report_quit_time(output, limit_ms=1000)
        if not quit_ok:  # what the plug-in said at quit (threads left, pinning)
            print("\n".join("  " + line for line in output.splitlines() if "KestrelBloom" in line))
        host = None
        return client.returncode or (0 if quit_ok else 1)
    finally:
        if host is not None:
            host.quit(30)
        media.sh("kb_netns_down %s" % NS, check=False)
        shutil.rmtree(work, ignore_errors=True)


def run_client(music):
    c = media.Checks()
    answered = False
    for _ in range(150):  # the host has started; its listener may take a moment longer
        try:
            answered = media.http("GET", "/DeviceDescription.xml")[0] == 200
        except OSError:
            pass
        if answered:
            break
        time.sleep(0.2)
    if not c.check("the server under Wine answered", answered):
        return 1
    top = []
    for _ in range(50):  # the first library pass may still run
        top = media.browse(0)
        if len(top) == 5 and len(media.browse(top[0][0])) == 2:
            break
        time.sleep(0.2)
    tracks = {title: (oid, res, art) for oid, title, res, art in media.browse(top[0][0])}
    c.check("All Tracks holds both tracks", set(tracks) == {"With Art", "Plain"}, tracks)
    playlists = media.browse(top[4][0]) if len(top) == 5 else []
    entries = media.browse(playlists[0][0]) if playlists else []
    c.check("playlist Mix with both entries, the relative sub\\ line resolved",
            [p[1] for p in playlists] == ["Mix"] and [e[1] for e in entries] == ["Plain", "Again"],
            (playlists, entries))

    def same(url, name):
        status, _, body = media.http("GET", media.path_of(url))
        with open(os.path.join(music, name), "rb") as f:
            return status == 200 and body == f.read()

    for title, name in (("With Art", "art.mp3"), ("Plain", "plain.mp3")):
        if title in tracks:
            c.check("track %s streamed byte for byte" % name, same(tracks[title][1], name))
    if len(entries) == 2:
        c.check("playlist entry in sub\\ streamed byte for byte",
                same(entries[1][2], os.path.join("sub", "again.mp3")))
    art = tracks.get("With Art", (None, None, None))[2]
    if art:
        status, _, body = media.http("GET", media.path_of(art))
        c.check("album art is the JPEG", status == 200 and body == media.JPEG, status)
    else:
        c.check("album art advertised", False)
    c.check("ObjectID 0: 404", media.http("GET", "/disk/0.mp3")[0] == 404)
    media.leave_dead_subscriptions(c, [])
    return 1 if c.failures else 0


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "--client":
        sys.exit(run_client(sys.argv[2]))
    sys.exit(main())
