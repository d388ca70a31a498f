#!/usr/bin/python3
"""Discovery of the Windows build: kbhost.exe with the DLL under Wine in a server namespace,
seen from a client namespace as in test_ssdp_discovery: the first alive burst, search answers
(multicast and unicast, MX 0 ignored), GUPnP finding the device and reading both service
descriptions, and byebye on a click. Skips when no Windows build exists."""
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import test_ssdp_discovery as discovery  # noqa: E402

discovery.NS = "kbssdpw"


def lifetime(c, stage):
    listener = discovery.Listener(150, ["192.0.2.2"])
    host = discovery.Host(["timeout", "200", "xvfb-run", "-a", "wine",
                           os.path.join(stage, "kbhost.exe")])
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
    source = os.environ.get("KB_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
    build = os.environ.get("KB_WIN32_BUILD_DIR", os.path.join(source, "build-win32"))
    stage_in = os.path.join(build, "stage")
    if not (os.path.exists(os.path.join(stage_in, "kbhost.exe")) and
            os.path.exists(os.path.join(stage_in, "Plugins", "gen_kestrelbloom.dll"))):
        print("SKIP: no Windows build in %s (build it with cmake/mingw-w64-i686.cmake)" % build)
        return 0
    if shutil.which("wine") is None or shutil.which("xvfb-run") is None:
        print("FAIL - wine and xvfb-run are needed")
        return 1
    os.environ["WINEDEBUG"] = "-all"
    work = tempfile.mkdtemp(prefix="kb_ssdpw.")
    c = discovery.Checks()
    try:
        stage = os.path.join(work, "stage")
        shutil.copytree(stage_in, stage)
        if os.path.exists(os.path.join(stage, "winamp.ini")):
            os.remove(os.path.join(stage, "winamp.ini"))
        discovery.sh("kb_netns_up %s" % discovery.NS)
        lifetime(c, stage)
    finally:
        discovery.sh("kb_netns_down %s" % discovery.NS, check=False)
        shutil.rmtree(work, ignore_errors=True)
    print("%d failure(s)" % c.failures)
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
