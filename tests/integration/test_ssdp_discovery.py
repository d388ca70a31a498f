#!/usr/bin/python3
"""Discovery as a control point on the network sees it. kbhost serves from a server namespace;
from a client namespace this script (run again there in client mode) records every SSDP
datagram with the interface it arrived on and sends M-SEARCH requests. One life of the host:
the first alive burst, search answers with their timing and MX cases, byebye on a click, an
address appearing while off (only the NIC change line) and while on (byebye, then alive on the
new set: several addresses, one UDN, each its own LOCATION), and GUPnP finding the device and
reading both service descriptions.

usage: test_ssdp_discovery.py [native|windows]: the native build's kbhost, or kbhost.exe with
the DLL under Wine (the Windows build lib/wine.sh selects). Wine tells a program of no address
change, so under Wine the life ends after the first byebye with quit."""
import json
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

NS = "kbssdp"
NAMESPACES = {"native": "kbssdp", "windows": "kbssdpw"}
HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.environ.get("KB_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
NETNS = os.path.join(SRC, "tests", "integration", "lib", "netns.sh")
sys.path.insert(0, os.path.join(HERE, "lib"))
import e2e_support as e2e  # noqa: E402
GROUP = "239.255.255.250"
IP_PKTINFO = 8
IP_MULTICAST_ALL = 49
SERVER = "192.0.2.1"
TYPES = [None, "upnp:rootdevice", "urn:schemas-upnp-org:device:MediaServer:1",
         "urn:schemas-upnp-org:service:ContentDirectory:1",
         "urn:schemas-upnp-org:service:ConnectionManager:1"]
SERVER_TOKEN = "Windows NT/5.0, UPnP/1.0, KestrelBloom SDK/1.0"


# ------------------------------------------------------------------------------------------
# Client side (runs inside the client namespace)
# ------------------------------------------------------------------------------------------

def local_addresses():
    """Interface index -> IPv4 address of this namespace."""
    out = subprocess.run(["ip", "-j", "-4", "addr"], capture_output=True, text=True).stdout
    found = {}
    for link in json.loads(out):
        for info in link.get("addr_info", []):
            found[link["ifindex"]] = info["local"]
    return found


def client_listen(seconds, addresses):
    """Prints one JSON line per datagram to the group: time, sender, arrival address, text."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    # Only the memberships of this socket, not those of every listener in the namespace.
    sock.setsockopt(socket.IPPROTO_IP, IP_MULTICAST_ALL, 0)
    sock.bind(("", 1900))
    for address in addresses:
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                        socket.inet_aton(GROUP) + socket.inet_aton(address))
    by_index = local_addresses()
    print(json.dumps({"ready": True}), flush=True)
    end = time.time() + seconds
    while time.time() < end:
        if not select.select([sock], [], [], 0.2)[0]:
            continue
        data, ancillary, _flags, sender = sock.recvmsg(2048, 256)
        arrival = None
        for level, kind, value in ancillary:
            if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
                arrival = by_index.get(struct.unpack("=I4s4s", value[:12])[0])
        print(json.dumps({"t": time.time(), "from": list(sender), "via": arrival,
                          "text": data.decode("latin-1")}), flush=True)


def search_text(st, mx, lower=False, version="HTTP/1.1"):
    names = ("host", "man", "mx", "st") if lower else ("HOST", "MAN", "MX", "ST")
    return ("M-SEARCH * %s\r\n%s: 239.255.255.250:1900\r\n%s: \"ssdp:discover\"\r\n"
            "%s: %s\r\n%s: %s\r\n\r\n" % (version, names[0], names[1], names[2], mx, names[3], st))


def client_search(spec_json, seconds):
    """Sends each search of the plan from its own socket; prints the answers per search."""
    shape = json.loads(spec_json)
    sockets = {}
    sent_at = {}
    for name, (source, destination, text, *port) in shape.items():
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((source, port[0] if port else 0))
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(source))
        sock.sendto(text.encode("latin-1"), (destination, 1900))
        sent_at[name] = time.time()
        sockets[sock] = name
    answers = {name: [] for name in shape}
    end = time.time() + seconds
    while time.time() < end:
        for sock in select.select(list(sockets), [], [], 0.2)[0]:
            data, sender = sock.recvfrom(2048)
            name = sockets[sock]
            answers[name].append({"after": time.time() - sent_at[name], "from": list(sender),
                                  "text": data.decode("latin-1")})
    print(json.dumps(answers))


def client_gupnp(interface):
    """Finds the MediaServer with GUPnP and introspects every service it lists (fetching the
    SCPDs)."""
    import warnings
    warnings.filterwarnings("ignore", category=DeprecationWarning)
    import gi
    gi.require_version("GUPnP", "1.6")
    from gi.repository import GLib, GUPnP
    context = GUPnP.Context.new(interface, 0)
    control = GUPnP.ControlPoint.new(context, "urn:schemas-upnp-org:device:MediaServer:1")
    loop = GLib.MainLoop()
    result = {"devices": [], "actions": {}}
    listed = []

    def introspected(service, outcome):
        try:
            names = service.introspect_finish(outcome).list_action_names()
            result["actions"][service.get_service_type()] = sorted(names)
        except GLib.Error as error:
            result["actions"][service.get_service_type()] = "error: %s" % error.message
        if len(result["actions"]) == len(listed):
            loop.quit()

    def available(_control, proxy):
        result["devices"].append([proxy.get_udn(), proxy.get_location()])
        if len(result["devices"]) == 1:
            listed.extend(proxy.list_services())
            for service in listed:
                service.introspect_async(None, introspected)

    control.connect("device-proxy-available", available)
    control.set_active(True)
    GLib.timeout_add_seconds(8, loop.quit)
    loop.run()
    print(json.dumps(result))


# ------------------------------------------------------------------------------------------
# Test driver (runs in the machine's namespace, starts everything inside the test namespaces)
# ------------------------------------------------------------------------------------------

def sh(command, check=True):
    return subprocess.run(["bash", "-c", 'source "%s"; %s' % (NETNS, command)], check=check)


def in_client(*args):
    return ["ip", "netns", "exec", NS + "-c", *args]


class Listener:
    """A client-mode listener and the datagrams it reported."""

    def __init__(self, seconds, addresses):
        self.process = subprocess.Popen(
            in_client("/usr/bin/python3", __file__, "listen", str(seconds), *addresses),
            stdout=subprocess.PIPE, text=True)
        self.datagrams = []
        assert json.loads(self.process.stdout.readline()).get("ready"), "listener not ready"
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.datagrams.append(json.loads(line))

    def between(self, start, end, piece=""):
        return [d for d in self.datagrams if start <= d["t"] < end and piece in d["text"]]

    def finish(self):
        self.process.wait(timeout=60)
        self.reader.join(timeout=5)


class Host(e2e.Host):
    """kbhost in the server namespace of this test (see e2e_support.Host)."""

    def __init__(self, command, env=None):
        super().__init__(NS, command, env)


Checks = e2e.Checks


def header(text, name):
    for line in text.split("\r\n"):
        if line.startswith(name + ": "):
            return line[len(name) + 2:]
        if line == name + ":":
            return ""
    return None


def expected_alive(udn, row, location_address):
    nt = udn if TYPES[row] is None else TYPES[row]
    usn = udn if TYPES[row] is None else "%s::%s" % (udn, TYPES[row])
    return ("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=1810\r\n"
            "LOCATION: http://%s:8080/DeviceDescription.xml\r\nNT: %s\r\nNTS: ssdp:alive\r\n"
            "SERVER: %s\r\nUSN: %s\r\n\r\n" % (location_address, nt, SERVER_TOKEN, usn))


def expected_byebye(udn, row):
    nt = udn if TYPES[row] is None else TYPES[row]
    usn = udn if TYPES[row] is None else "%s::%s" % (udn, TYPES[row])
    return ("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: %s\r\nNTS: ssdp:byebye\r\n"
            "USN: %s\r\n\r\n" % (nt, usn))


def check_first_burst(c, listener, started):
    burst = listener.between(started, started + 3.0, "NTS: ssdp:alive")
    c.check("first alive burst is 15 datagrams", len(burst) == 15, "%d" % len(burst))
    if not burst:
        return None
    udn = header(burst[0]["text"], "USN")
    wanted = [expected_alive(udn, row, SERVER) for row in range(5) for _copy in range(3)]
    c.check("alive texts exact, rows in order, three copies each",
            [d["text"] for d in burst] == wanted)
    delay = burst[0]["t"] - started
    print("figure: first alive %.2f s after kbhost started" % delay)
    c.check("first burst about one second after start", 0.5 <= delay <= 2.5, "%.2f s" % delay)
    c.check("alive sent from the served address", all(d["from"][0] == SERVER for d in burst))
    return udn


def run_searches(c, udn):
    shape = {
        "all_mx3": ["192.0.2.2", GROUP, search_text("ssdp:all", 3)],
        "root_mx1": ["192.0.2.2", GROUP, search_text("upnp:rootdevice", 1)],
        "udn_mx2": ["192.0.2.2", GROUP, search_text(udn, 2)],
        "unicast": ["192.0.2.2", SERVER, search_text("upnp:rootdevice", 1)],
        "lower_case_names": ["192.0.2.2", GROUP, search_text("upnp:rootdevice", 1, lower=True)],
        "mx0": ["192.0.2.2", GROUP, search_text("ssdp:all", 0)],
        "mx256": ["192.0.2.2", GROUP, search_text("ssdp:all", 256)],
        "http10": ["192.0.2.2", GROUP, search_text("ssdp:all", 1, version="HTTP/1.0")],
        "device_v2": ["192.0.2.2", GROUP,
                      search_text("urn:schemas-upnp-org:device:MediaServer:2", 1)],
        # Another agent's SSDP port and a system port: reflection attempts.
        "from_1900": ["192.0.2.2", GROUP, search_text("ssdp:all", 1), 1900],
        "from_999": ["192.0.2.2", GROUP, search_text("ssdp:all", 1), 999],
    }
    out = subprocess.run(in_client("/usr/bin/python3", __file__, "search", json.dumps(shape), "5"),
                         capture_output=True, text=True, timeout=60).stdout
    answers = json.loads(out)
    everything = [a for name in answers for a in answers[name]]
    c.check("every answer comes from the answer socket %s:9080" % SERVER,
            all(a["from"] == [SERVER, 9080] for a in everything))
    c.check("every answer carries the LOCATION of the address",
            all(header(a["text"], "LOCATION") == "http://%s:8080/DeviceDescription.xml" % SERVER
                for a in everything))
    all3 = answers["all_mx3"]
    c.check("ssdp:all with MX 3: 5 answers, one per row", len(all3) == 5, "%d" % len(all3))
    c.check("ssdp:all answers in row order",
            [header(a["text"], "ST") for a in all3] == [udn if t is None else t for t in TYPES])
    latest = max([a["after"] for a in all3] or [0])
    for name in ("all_mx3", "root_mx1", "udn_mx2", "unicast"):
        times = [a["after"] for a in answers[name]]
        if times:
            print("figure: %s answered after %.2f to %.2f s" % (name, min(times), max(times)))
    c.check("ssdp:all with MX 3 answered within MX plus one pass", latest <= 4.2,
            "%.2f s" % latest)
    for name, limit in (("root_mx1", 2.2), ("unicast", 2.2), ("lower_case_names", 2.2),
                        ("udn_mx2", 3.2)):
        got = answers[name]
        c.check("%s: one answer" % name, len(got) == 1, "%d" % len(got))
        c.check("%s: in time" % name, all(a["after"] <= limit for a in got),
                ",".join("%.2f" % a["after"] for a in got))
    udn_answer = answers["udn_mx2"][0]["text"] if answers["udn_mx2"] else ""
    c.check("UDN search: ST and USN both the UDN",
            header(udn_answer, "ST") == udn and header(udn_answer, "USN") == udn)
    c.check("answer has an empty EXT and a DATE without zone",
            header(udn_answer, "EXT") == "" and
            len(header(udn_answer, "DATE") or "") == 25)
    for name in ("mx0", "mx256", "http10", "device_v2", "from_1900", "from_999"):
        c.check("%s: no answer" % name, answers[name] == [], "%d" % len(answers[name]))

    # Seven searches at once from one address: five are answered, MX 120 within 5 s and a pass.
    shape = {"mx120": ["192.0.2.2", GROUP, search_text("upnp:rootdevice", 120)]}
    for i in range(6):
        shape["again%d" % i] = ["192.0.2.2", GROUP, search_text("upnp:rootdevice", 1)]
    out = subprocess.run(in_client("/usr/bin/python3", __file__, "search", json.dumps(shape), "7"),
                         capture_output=True, text=True, timeout=60).stdout
    answers = json.loads(out)
    c.check("one sender: 5 of 7 searches in a second answered",
            sum(len(got) for got in answers.values()) == 5,
            ",".join("%s:%d" % (name, len(got)) for name, got in answers.items()))
    c.check("MX 120 answered within 5 s plus one pass",
            len(answers["mx120"]) == 1 and answers["mx120"][0]["after"] <= 6.2,
            ",".join("%.2f" % a["after"] for a in answers["mx120"]))


def check_farewell(c, listener, clicked, udn, addresses):
    window = listener.between(clicked, clicked + 2.0)
    if window:
        print("figure: byebye %.2f s after the click" % (min(d["t"] for d in window) - clicked))
    for address in addresses:
        byebyes = [d["text"] for d in window if d["from"][0] == address and
                   "ssdp:byebye" in d["text"]]
        c.check("byebye from %s: the five types once each" % address,
                byebyes == [expected_byebye(udn, row) for row in range(5)], "%d" % len(byebyes))


def gupnp_check(c, udn):
    out = subprocess.run(in_client("/usr/bin/python3", __file__, "gupnp", NS[:8] + "c1"),
                         capture_output=True, text=True, timeout=60).stdout
    result = json.loads(out or "{}")
    devices = result.get("devices", [])
    c.check("GUPnP finds the MediaServer with the UDN",
            any(d[0] == udn for d in devices), str(devices))
    actions = result.get("actions", {})
    cds = actions.get("urn:schemas-upnp-org:service:ContentDirectory:1", [])
    cms = actions.get("urn:schemas-upnp-org:service:ConnectionManager:1", [])
    c.check("ContentDirectory SCPD read (Browse, Search)",
            isinstance(cds, list) and "Browse" in cds and "Search" in cds, str(cds))
    c.check("ConnectionManager SCPD read (GetProtocolInfo)",
            isinstance(cms, list) and "GetProtocolInfo" in cms, str(cms))


def gssdp_check(c, udn):
    out = subprocess.run(in_client("timeout", "10", "gssdp-discover", "-i", NS[:8] + "c1",
                                   "--timeout=4", "-m", "available"),
                         capture_output=True, text=True).stdout
    c.check("gssdp-discover lists the root device", ("USN:      %s::upnp:rootdevice" % udn) in out)


def lifetime(c, stage, win=None):
    """One life of the native kbhost, or with win of kbhost.exe under Wine."""
    if win is None:
        listener = Listener(40, ["192.0.2.2"])
        host = Host([os.path.join(stage, "kbhost")])
        started = host.wait_line("kbhost: started", 15)
    else:
        listener = Listener(150, ["192.0.2.2"])
        host = Host(win.command(stage), win.env)
        started = host.wait_line("kbhost: started", 120)
    c.check("kbhost started", started is not None)
    if started is None:
        return
    time.sleep(3.0)
    udn = check_first_burst(c, listener, started)
    if udn is None:
        return
    run_searches(c, udn)
    gssdp_check(c, udn)
    gupnp_check(c, udn)

    # Switched off: farewell, nothing more.
    clicked = host.send("click")
    time.sleep(2.0)
    check_farewell(c, listener, clicked, udn, [SERVER])
    if win is not None:
        print("skip - address changes: Wine sends a program no address-change notification")
        host.send("quit")
        c.check("kbhost stops", host.wait_line("kbhost: stopped", 60) is not None)
        host.process.wait(timeout=60)
        listener.process.kill()
        return
    # An address appears while off: only the line.
    changed = time.time()
    sh("kb_netns_add_link %s 3" % NS)
    c.check("NIC change printed while off", host.wait_line("### NIC change!", 5, changed))
    time.sleep(2.5)
    c.check("no alive while off", listener.between(clicked, time.time(), "ssdp:alive") == [])

    # On again: both addresses announce, one UDN, each its own LOCATION and interface.
    second = Listener(25, ["192.0.2.2", "203.0.113.2"])
    clicked = host.send("click")
    time.sleep(3.0)
    burst = second.between(clicked, clicked + 3.0, "ssdp:alive")
    for server, client in (("192.0.2.1", "192.0.2.2"), ("203.0.113.1", "203.0.113.2")):
        mine = [d for d in burst if d["from"][0] == server]
        c.check("alive burst of %s arrives on the client's %s side" % (server, client),
                len(mine) == 15 and all(d["via"] == client for d in mine),
                "%d %s" % (len(mine), sorted(set(str(d["via"]) for d in mine))))
        c.check("alive texts of %s exact" % server,
                [d["text"] for d in mine] ==
                [expected_alive(udn, row, server) for row in range(5) for _copy in range(3)])

    # An address appears while on: byebye on the old set, then alive on the new one.
    changed = time.time()
    sh("kb_netns_add_link %s 2" % NS)
    third = Listener(12, ["198.51.100.2"])
    noticed = host.wait_line("### NIC change!", 5, changed)
    c.check("NIC change printed while on", noticed is not None)
    time.sleep(4.5)
    window = second.datagrams + third.datagrams
    window = [d for d in window if d["t"] >= changed]
    bye = [d for d in window if "ssdp:byebye" in d["text"]]
    alive = [d for d in window if "ssdp:alive" in d["text"]]
    if bye and alive:
        print("figure: restart: byebye %.2f s after the change, alive %.2f s after the byebye" %
              (min(d["t"] for d in bye) - changed,
               min(d["t"] for d in alive) - max(d["t"] for d in bye)))
    c.check("byebye for the old set (5 per address)",
            sorted(d["from"][0] for d in bye) == ["192.0.2.1"] * 5 + ["203.0.113.1"] * 5)
    c.check("alive for the new set after the byebye, 15 per address",
            sorted(set(d["from"][0] for d in alive)) ==
            ["192.0.2.1", "198.51.100.1", "203.0.113.1"] and len(alive) == 45 and
            min(d["t"] for d in alive) >= max(d["t"] for d in bye) + 0.9,
            "%d alive" % len(alive))
    c.check("one UDN on every address",
            set(header(d["text"], "USN").split("::")[0] for d in alive) == {udn})

    # Searches on the new link are answered with its own LOCATION.
    shape = {"second": ["198.51.100.2", GROUP, search_text("upnp:rootdevice", 1)]}
    out = subprocess.run(in_client("/usr/bin/python3", __file__, "search", json.dumps(shape), "3"),
                         capture_output=True, text=True, timeout=30).stdout
    got = json.loads(out)["second"]
    c.check("search on the new link answered from 198.51.100.1:9080 with its LOCATION",
            len(got) == 1 and all(a["from"] == ["198.51.100.1", 9080] and
                                  "http://198.51.100.1:8080/" in a["text"] for a in got),
            "%d" % len(got))

    quitted = host.send("quit")
    c.check("kbhost stops", host.wait_line("kbhost: stopped", 15) is not None)
    time.sleep(0.5)
    farewell = [d for d in second.datagrams + third.datagrams
                if d["t"] >= quitted and "ssdp:byebye" in d["text"]]
    c.check("quit says byebye on all three addresses",
            sorted(set(d["from"][0] for d in farewell)) ==
            ["192.0.2.1", "198.51.100.1", "203.0.113.1"] and len(farewell) == 15)
    host.process.wait(timeout=15)
    for each in (listener, second, third):
        each.process.kill()


def main(build):
    global NS
    NS = NAMESPACES[build]
    win = None
    if build == "windows":
        win, status = e2e.open_windows()
        if win is None:
            return status
        stage_in = win.stage
    else:
        stage_in = os.path.join(os.environ.get("KB_BUILD_DIR", os.path.join(SRC, "build")),
                                "stage")
        if not os.path.exists(os.path.join(stage_in, "kbhost")):
            print("SKIP: no kbhost in %s" % stage_in)
            return 0
    work = tempfile.mkdtemp(prefix="kb_ssdp.")
    c = Checks()
    try:
        stage = os.path.join(work, "stage")
        shutil.copytree(stage_in, stage)
        if os.path.exists(os.path.join(stage, "winamp.ini")):
            os.remove(os.path.join(stage, "winamp.ini"))
        sh("kb_netns_up %s" % NS)
        if win is None or c.check("Wine prefix ready", win.prefix(NS)):
            lifetime(c, stage, win)
    finally:
        sh("kb_netns_down %s" % NS, check=False)
        shutil.rmtree(work, ignore_errors=True)
    print("%d failure(s)" % c.failures)
    return 1 if c.failures else 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "listen":
        client_listen(float(sys.argv[2]), sys.argv[3:])
    elif len(sys.argv) > 1 and sys.argv[1] == "search":
        client_search(sys.argv[2], float(sys.argv[3]))
    elif len(sys.argv) > 1 and sys.argv[1] == "gupnp":
        client_gupnp(sys.argv[2])
    elif sys.argv[1:] in ([], ["native"], ["windows"]):
        sys.exit(main(sys.argv[1] if len(sys.argv) == 2 else "native"))
    else:
        sys.exit(__doc__.split("usage: ")[1])
