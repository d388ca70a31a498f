#!/usr/bin/python3
"""Discovery of the Windows build: kbhost.exe with the DLL under Wine in a server namespace,
seen from a client namespace as in test_ssdp_discovery: the first alive burst, search answers
(multicast and unicast, MX 0 ignored), GUPnP finding the device and reading both service
descriptions, and byebye on a click. Runs the Windows build lib/wine.sh selects."""
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import test_ssdp_discovery as discovery  # noqa: E402
e2e = discovery.e2e

discovery.NS = "kbssdpw"


def lifetime(c, win, stage):
    listener = discovery.Listener(150, ["192.0.2.2"])
    host = discovery.Host(win.command(stage), win.env)
    started = host.wait_line("kbhost: started", 120)
    c.check("kbhost.exe started under Wine", started is not None)
    if started is None:
        return
    time.sleep(3.0)
    udn = discovery.check_first_burst(c, listener, started)
    if udn is None:
        return
    discovery.run_searches(c, udn)
    discovery.gupnp_check(c, udn)
    clicked = host.send("click")
    time.sleep(2.5)
    discovery.check_farewell(c, listener, clicked, udn, [discovery.SERVER])
    host.send("quit")
    c.check("kbhost.exe stops", host.wait_line("kbhost: stopped", 60) is not None)
    host.process.wait(timeout=60)
    listener.process.kill()


def main():
    win, status = e2e.open_windows()
    if win is None:
        return status
    work = tempfile.mkdtemp(prefix="kb_ssdpw.")
    c = discovery.Checks()
    try:
        stage = os.path.join(work, "stage")
        shutil.copytree(win.stage, stage)
        if os.path.exists(os.path.join(stage, "winamp.ini")):
            os.remove(os.path.join(stage, "winamp.ini"))
        discovery.sh("kb_netns_up %s" % discovery.NS)
        if c.check("Wine prefix ready", win.prefix(discovery.NS)):
            lifetime(c, win, stage)
    finally:
        discovery.sh("kb_netns_down %s" % discovery.NS, check=False)
        shutil.rmtree(work, ignore_errors=True)
    print("%d failure(s)" % c.failures)
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
