#!/usr/bin/python3
"""The Windows build seen by a real control point: kbhost.exe loads gen_kestrelbloom.dll under
Wine (xvfb-run) in the server namespace with the generated library; from the client namespace
GUPnP finds the MediaServer, reads both services, browses every container in pages, checks
every object against the files and fetches every track and picture. Runs the Windows build
lib/wine.sh selects."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
import e2e_support as e2e  # noqa: E402

NS = "kbe2ewin"


def main():
    win, status = e2e.open_windows()
    if win is None:
        return status
    scene = e2e.Scene(NS, win.stage, "kb_e2e_wine.")
    host = None
    started = time.monotonic()
    try:
        if not win.prefix(NS):
            print("FAIL - the Wine prefix could not be made")
            return 1
        launched = time.monotonic()
        print("figure: Wine prefix ready in %.1f s" % (launched - started))
        host = e2e.Host(NS, win.command(scene.stage, "--music",
                                        "Z:" + scene.music.replace("/", "\\")), win.env)
        if not host.wait_line("kbhost: started", 120):
            print("FAIL - kbhost.exe did not start under Wine")
            return 1
        print("figure: kbhost.exe started %.1f s after launch" % (time.monotonic() - launched))
        client = subprocess.run(scene.in_client(
            "timeout", "150", "/usr/bin/python3", os.path.abspath(__file__), "--client",
            scene.iface, scene.music))
        quitting = time.monotonic()
        host.send("quit")
        stopped = host.wait_line("kbhost: stopped", 60, time.time() - 1)
        ok = stopped is not None
        print("%s - kbhost.exe stops on quit%s" % ("ok  " if ok else "FAIL",
                                                   " (%.1f s)" % (time.monotonic() - quitting)
                                                   if ok else ""))
        print("figure: whole run %.1f s" % (time.monotonic() - started))
        return client.returncode if ok else 1
    finally:
        if host is not None:
            host.quit(30)
        scene.close()


def run_client(iface, music):
    c = e2e.Checks()
    cp = e2e.ControlPoint(iface)
    device = cp.find_device(e2e.MEDIA_SERVER, 60)
    if not c.check("GUPnP finds the MediaServer of the DLL", device is not None):
        return 1
    services = [device.get_service(e2e.CDS), device.get_service(e2e.CMS)]
    infos = [cp.introspect(s) if s is not None else "missing" for s in services]
    c.check("both service descriptions read",
            not isinstance(infos[0], str) and infos[0].get_action("Browse") is not None and
            not isinstance(infos[1], str) and
            infos[1].get_action("GetProtocolInfo") is not None, infos)
    if services[0] is None:
        return 1
    cd = e2e.ContentDirectory(cp, services[0])
    c.check("the library is catalogued", e2e.wait_for_library(cd, len(e2e.TRACKS), 1, 60))
    tree, by_title = e2e.check_library(c, cd, music, "http://%s:8080/" % e2e.SERVER)
    if tree is not None:
        e2e.check_fetches(c, music, tree, by_title)
    print("%d failure(s)" % c.failures)
    return 1 if c.failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--client":
        sys.exit(run_client(sys.argv[2], sys.argv[3]))
    sys.exit(main())
