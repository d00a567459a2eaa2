"""The discover command end to end: the real binary lists the modules that
the simulator plays over emulated USB and over TCP/IP, directly and
behind a router. Every run happens in the host side of a private network
namespace pair (the simulator answers discovery in the module side), as
discovery multicasts; root only."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "support"))
import netns  # noqa: E402
import simulator  # noqa: E402
import updater_test  # noqa: E402
import usb_emulation  # noqa: E402

NO_NAMESPACES = "needs root and ip netns (discovery multicasts: private network namespaces only)"
PROBE = os.path.join(updater_test.BUILD_DIR, "tests", "discover_probe")
IP = netns.MODULE_ADDRESS
USB_HEADING = "    Device    Module   Router  Model          Firmware Version (Build)"
TCPIP_HEADING = USB_HEADING + "   [IP address]"
ERR_TIMEOUT, ERR_CONNECTION, ERR_INVALID_OPTION = 18, 25, 29


def line(serial, module, router, model, version, build, ip=None):
    major, minor, patch = (int(p) for p in version.split("."))
    text = "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)" % (
        int(serial, 16), module, router, model, major, minor, patch, build)
    return text + " [%s]" % ip if ip else text


def error_line(serial, code):
    return "    %s  [Error (%d): Is someone else connected to this device?]" % (serial, code)


def tcp_module(name, serial, model, address, version, build, **extra):
    m = {"name": name, "serial": serial, "model": model, "address": address, "version": version,
         "build": build, "transports": {"tcp": {"bind": IP, "port": 0}}}
    m.update(extra)
    return m


def usb_module(name, serial, model, address, version, build, **extra):
    m = {"name": name, "serial": serial, "model": model, "address": address, "version": version,
         "build": build, "transports": {"usb": {}}}
    m.update(extra)
    return m


def behind(name, serial, model, address, version="1.0.0", build=1, **extra):
    m = {"name": name, "serial": serial, "model": model, "address": address, "router": 4,
         "version": version, "build": build}
    m.update(extra)
    return m


def start_updater(args, home, prefix, env=None):
    """The binary, running in an isolated home behind `prefix`."""
    cmd = list(prefix) + updater_test.isolated_command([updater_test.UPDATER_BIN] + list(args),
                                                       home)
    return subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, text=True)


def finish(proc, timeout=400):
    """(status, standard output lines, standard error) of a started run."""
    out, err = proc.communicate(timeout=timeout)
    return proc.returncode, out.splitlines(), err


class DiscoverTest(unittest.TestCase):
    pair = None

    def run_updater(self, *args, env=None):
        home = self.enterContext(updater_test.temporary_home())
        status, out, err = finish(start_updater(args, home, self.pair.host_prefix(), env))
        self.assertEqual(status, 0, err)
        self.assertEqual(out[0], "Updater (Version: 1.1 Apr 26 2023)")
        return out[1:], err

    def assertListed(self, out, title, heading, rows, ordered=False):
        """The search line, the list's title and heading, and its rows."""
        self.assertEqual(out[1:3], ["Discovered Devices: (%s)" % title, heading])
        self.assertEqual(out[3:] if ordered else sorted(out[3:]),
                         rows if ordered else sorted(rows))


def setUpModule():
    if not netns.available():
        raise unittest.SkipTest(NO_NAMESPACES)
    reason = usb_emulation.why_not_available()
    if reason:
        raise unittest.SkipTest(reason)


class DirectDiscovery(DiscoverTest):
    """Modules attached directly: three over TCP/IP, three over USB."""

    TCP = [tcp_module("podnet", "0BADCAFE", 5, 2, "3.0.12", 321),
           tcp_module("short-build", "0000AB01", 17, 6, "1.2.3", 77,
                      faults={"build_reply_length": 4}),
           tcp_module("bad-version", "0000AB02", 20, 8, "2.0.1", 78,
                      faults={"error_options": {"7": ERR_TIMEOUT}})]
    USB = [usb_module("hub", "1A2B3C4D", 17, 2, "2.1.40", 4711),
           usb_module("long-build", "0000DA01", 20, 4, "4.5.6", 99,
                      faults={"build_reply_length": 7}),
           usb_module("held", "00C0FFEE", 16, 6, "1.3.7", 90)]
    TCP_ROWS = [line("0BADCAFE", 2, 2, "PodNet", "3.0.12", 321, IP),
                line("0000AB01", 6, 6, "HubQuad", "1.2.3", 0, IP),
                line("0000AB02", 8, 8, "RackDaq1", "0.0.0", 78, IP)]
    USB_ROWS = [line("1A2B3C4D", 2, 2, "HubQuad", "2.1.40", 4711),
                line("0000DA01", 4, 4, "RackDaq1", "4.5.6", 0),
                line("00C0FFEE", 6, 6, "RackPodUsb", "1.3.7", 90)]

    @classmethod
    def setUpClass(cls):
        cls.pair = netns.NetnsPair().create()
        try:
            config = {"discovery": {"interface": IP}, "modules": cls.TCP + cls.USB}
            cls.sim = simulator.Simulator(config, prefix=cls.pair.module_prefix(), usb=True)
            cls.sim.start()
            # Another program's claim makes a module busy, as on real hardware.
            cls.usb = usb_emulation.UsbEmulation(cls.sim.usb_socket, exclusive_claims=True)
            cls.usb.start()
            cls.usb.wait_devices(len(cls.USB))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "usb", None):
            cls.usb.stop()
        if getattr(cls, "sim", None):
            cls.sim.stop()
        cls.pair.destroy()

    def test_tcpip_lists_each_module_with_its_address(self):
        for transport in ("TCPIP", "TCP"):
            out, _ = self.run_updater("-D", "-t", transport)
            self.assertEqual(out[0], "Searching for Vantor devices")
            self.assertListed(out, "TCPIP", TCPIP_HEADING, self.TCP_ROWS)

    def test_a_version_refused_ends_the_queries_of_that_module(self):
        self.run_updater("-D", "-t", "TCPIP")
        asked = [e["decode"] for e in self.sim.log_entries()
                 if e["kind"] == "frame" and e["dir"] == "rx" and e["module"] == "0000AB02"]
        self.assertIn("uei get class 3 option 7 index 0", asked)
        self.assertNotIn("uei get class 3 option 1 index 0", asked, "no address asked after it")

    def test_usb_is_the_default(self):
        for args in (("-D",), ("-D", "-t", "USB"), ("-D", "-t", "RECOVER")):
            out, _ = self.run_updater(*args, env=self.usb.env())
            self.assertEqual(out[0], "Searching for Vantor devices")
            self.assertListed(out, "USB", USB_HEADING, self.USB_ROWS)

    def test_a_module_held_by_another_program_shows_the_connect_error(self):
        with usb_emulation.Probe(self.usb.env()) as holder:
            self.assertEqual(holder.ask("create usblib")[0][0], "kErrNone")
            self.assertEqual(holder.ask("open 00C0FFEE")[0][0], "kErrNone")
            out, _ = self.run_updater("-D", env=self.usb.env())
            self.assertListed(out, "USB", USB_HEADING,
                              self.USB_ROWS[:2] + [error_line("00C0FFEE", ERR_CONNECTION)])
            holder.ask("close")
        out, _ = self.run_updater("-D", env=self.usb.env())
        self.assertListed(out, "USB", USB_HEADING, self.USB_ROWS)

    def test_json_documents_hold_the_whole_records(self):
        home = self.enterContext(updater_test.temporary_home())
        status, out, err = finish(start_updater(["-D", "-t", "TCPIP", "--json"], home,
                                                self.pair.host_prefix()))
        self.assertEqual(status, 0, err)
        self.assertTrue(err.startswith("Updater (Version: 1.1 Apr 26 2023)\n"), err)
        got = {m["serial"]: m for m in updater_test.json_document("\n".join(out), "discover")}
        self.assertEqual(got["0BADCAFE"], {
            "serial": "0BADCAFE", "moduleAddress": 2, "routerAddress": 2, "modelNumber": 5,
            "modelName": "PodNet", "version": "3.0.12", "build": 321, "linkType": "TCPIP",
            "ipAddress": IP})
        self.assertEqual((got["0000AB02"]["error"], got["0000AB01"]["build"]),
                         ({"code": ERR_TIMEOUT, "name": "kErrTimeout",
                           "text": "Timeout occurred"}, 0))
        status, out, err = finish(start_updater(["-D", "-j"], home, self.pair.host_prefix(),
                                                self.usb.env()))
        self.assertEqual(status, 0, err)
        usb = updater_test.json_document("\n".join(out), "discover")
        self.assertEqual(sorted((m["serial"], m["linkType"], m["version"]) for m in usb),
                         [("0000DA01", "USB", "4.5.6"), ("00C0FFEE", "USB", "1.3.7"),
                          ("1A2B3C4D", "USB", "2.1.40")])

    def records(self, link_type):
        result = self.pair.run_host([PROBE, str(link_type)], capture_output=True, text=True,
                                    timeout=60, env=self.usb.env())
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        records = [dict(w.split("=", 1) for w in ln.split()[1:]) for ln in lines[:-1]]
        self.assertEqual(lines[-1], "= %d" % len(records))
        return records

    def test_both_link_types_usb_first_and_the_records_keep_their_errors(self):
        records = self.records(0)
        self.assertEqual([r["type"] for r in records], ["1"] * 3 + ["2"] * 3)
        got = {r["serial"]: r for r in records}
        bad = got["0000AB02"]
        self.assertEqual((bad["error"], bad["version"], bad["build"], bad["name"]),
                         (str(ERR_TIMEOUT), "0.0.0", "78", "RackDaq1"))
        short = got["0000AB01"]
        self.assertEqual((short["error"], short["version"], short["build"]), ("0", "1.2.3", "0"))
        for serial in ("0BADCAFE", "0000AB01", "0000AB02"):
            self.assertEqual((got[serial]["ip"], got[serial]["port"]),
                             (IP, str(self.sim.module(serial)["tcp"]["port"])))
        for serial in ("1A2B3C4D", "0000DA01", "00C0FFEE"):
            self.assertEqual(got[serial]["error"], "0")

    def test_a_reply_port_held_by_another_program_fails_the_command(self):
        holder = subprocess.Popen(self.pair.host_prefix() + [sys.executable, "-c", PORT_HOLDER],
                                  stdout=subprocess.PIPE)
        self.addCleanup(holder.communicate)
        self.addCleanup(holder.kill)
        self.assertEqual(holder.stdout.readline(), b"bound\n")
        for json in ((), ("--json",)):
            home = self.enterContext(updater_test.temporary_home())
            status, out, err = finish(start_updater(("-D", "-t", "TCPIP") + json, home,
                                                    self.pair.host_prefix()))
            self.assertEqual(status, 1, err)
            self.assertIn("Discovery reply port 9889 is in use\n", err)
            if json:
                self.assertEqual(updater_test.json_document("\n".join(out), "discover"),
                                 {"outcome": "failed",
                                  "message": "Discovery reply port 9889 is in use"})
            else:
                self.assertEqual(out[1:], ["Searching for Vantor devices"], "no list")

    def test_an_interrupt_ends_the_reply_wait(self):
        home = self.enterContext(updater_test.temporary_home())
        proc = start_updater(("-D", "-t", "TCPIP", "--json"), home, self.pair.host_prefix())
        time.sleep(0.5)  # discovery waits 2 s past the last reply
        proc.send_signal(signal.SIGINT)
        status, out, err = finish(proc, timeout=5)  # a hang, not a speed check
        self.assertEqual(status, 1, err)
        self.assertEqual(updater_test.json_document("\n".join(out), "discover"),
                         {"outcome": "interrupted", "message": "Discovery interrupted"})

    def test_a_second_host_answering_for_a_serial_number_is_listed_once(self):
        twin_ip = "10.77.0.3"
        address = ["ip", "-n", self.pair.module, "addr", "%s", twin_ip + "/24", "dev",
                   self.pair.module_if]
        subprocess.run([w.replace("%s", "add") for w in address], check=True)
        self.addCleanup(subprocess.run, [w.replace("%s", "del") for w in address])
        twin = tcp_module("twin", "0BADCAFE", 5, 2, "9.9.9", 999)
        twin["transports"]["tcp"]["bind"] = twin_ip
        config = {"discovery": {"interface": twin_ip}, "modules": [twin]}
        self.addCleanup(simulator.Simulator(config, prefix=self.pair.module_prefix()).start().stop)
        out, err = self.run_updater("-D", "-t", "TCPIP", "-X", "0x100")
        rows = [row for row in out if row.startswith("    0BADCAFE")]
        hosts = re.search(r"Module \[0BADCAFE\] answered from (\S+) and again from (\S+); ", err)
        self.assertEqual(len(rows), 1, out)
        self.assertEqual(sorted(hosts.groups()), [IP, twin_ip])
        self.assertTrue(rows[0].endswith("[%s]" % hosts.group(1)), "from the first reply")

    def test_nothing_found(self):
        empty = netns.NetnsPair().create()
        self.addCleanup(empty.destroy)
        for args in (("-D", "-t", "TCPIP"), ("-D",)):
            home = self.enterContext(updater_test.temporary_home())
            status, out, err = finish(start_updater(args, home, empty.host_prefix()))
            self.assertEqual(status, 0, err)
            title = "TCPIP" if "TCPIP" in args else "USB"
            self.assertEqual(out[1:], ["Searching for Vantor devices",
                                       "Discovered Devices: (%s)" % title,
                                       "    No devices found."])


# Holds the discovery reply port in the host namespace until it is killed.
PORT_HOLDER = r"""
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("", 9889))
print("bound", flush=True)
time.sleep(600)
"""

ROUTER = "00C0FFEE"


class RouterScan(DiscoverTest):
    """A router over TCP/IP and one over USB, each with modules behind it.
    A whole scan asks 126 addresses, most of them absent (a second each), so
    both scans run side by side from the start and the quicker cases run
    meanwhile, in a namespace pair of their own: replies to discovery come
    to one fixed port, and two searches at once in one namespace take each
    other's."""

    TCP_ROUTER = tcp_module("router", ROUTER, 15, 4, "1.3.7", 90, behind=[
        behind("daq", "0000DA01", 20, 6, "4.5.6", 1234),
        behind("relay", "0000DA02", 18, 8, faults={"no_serial": True}),
        behind("no-version", "0000DA04", 20, 10, "3.3.3", 7,
               faults={"error_options": {"7": ERR_TIMEOUT}}),
        # Answers for the daq too, and first: the daq's answers are its own.
        behind("mimic", "0000DA05", 18, 12, "9.9.9", 999, faults={"answer_for": [6]}),
        behind("last", "0000DA03", 18, 252, "2.2.2", 5)])
    STUBBORN = tcp_module("stubborn", "00BADBAD", 15, 4, "1.0.0", 1,
                          faults={"error_options": {"20": ERR_INVALID_OPTION}},
                          behind=[behind("never", "0000EE01", 20, 6)])
    USB_ROUTER = usb_module("usb-router", ROUTER, 16, 4, "1.3.8", 91, behind=[
        behind("both-fail", "0000DB01", 20, 6,
               faults={"error_options": {"7": ERR_TIMEOUT, "8": ERR_INVALID_OPTION}}),
        behind("usb-last", "0000DB03", 18, 252, "2.2.3", 6)])

    @classmethod
    def setUpClass(cls):
        cls.pair = netns.NetnsPair().create()
        cls.scans = {}
        try:
            cls.scan_pair = netns.NetnsPair().create()
            cls.scan_sim = cls.network_sim(cls.scan_pair, cls.TCP_ROUTER)
            cls.sim = cls.network_sim(cls.pair, cls.STUBBORN)
            cls.usb_sim = simulator.Simulator({"modules": [cls.USB_ROUTER]}, usb=True).start()
            cls.usb = usb_emulation.UsbEmulation(cls.usb_sim.usb_socket)
            cls.usb.start()
            cls.usb.wait_devices(1)
            cls.scans["tcpip"] = cls.start_scan("-D", "-r", ROUTER, "-t", "TCPIP")
            cls.scans["usb"] = cls.start_scan("-D", "-r", ROUTER, "-X", "0x100",
                                              env=cls.usb.env())
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def network_sim(cls, pair, module):
        config = {"discovery": {"interface": IP}, "modules": [module]}
        return simulator.Simulator(config, prefix=pair.module_prefix()).start()

    @classmethod
    def start_scan(cls, *args, env=None):
        home = cls.enterClassContext(updater_test.temporary_home())
        return start_updater(args, home, cls.scan_pair.host_prefix(), env)

    @classmethod
    def tearDownClass(cls):
        for proc in cls.scans.values():
            if proc.poll() is None:
                proc.kill()
            proc.communicate()
        for name in ("usb", "usb_sim", "scan_sim", "sim"):
            if getattr(cls, name, None):
                getattr(cls, name).stop()
        if getattr(cls, "scan_pair", None):
            cls.scan_pair.destroy()
        cls.pair.destroy()

    def scan(self, name):
        status, out, err = finish(self.scans[name])
        self.assertEqual(status, 0, err)
        self.assertEqual(out[1], "Searching for Vantor Network devices connected to " + ROUTER)
        return out[1:], err

    @staticmethod
    def frames(sim):
        """(address, data) of every frame the simulator's links received."""
        return [(e["address"], bytes.fromhex(e["hex"])[2:]) for e in sim.log_entries()
                if e["kind"] == "frame" and e["dir"] == "rx"]

    def test_tcpip_scan_lists_the_router_and_the_modules_behind_it(self):
        out, _ = self.scan("tcpip")
        self.assertListed(out, "TCPIP", TCPIP_HEADING, [
            line(ROUTER, 4, 4, "RackPodNet", "1.3.7", 90, IP),
            line("0000DA01", 6, 4, "RackDaq1", "4.5.6", 1234, IP),
            # Without its own answers, the address it answered at.
            line("0000DA04", 10, 4, "RackDaq1", "0.0.0", 7, IP),
            line("0000DA05", 12, 4, "RackRelay", "9.9.9", 999, IP),
            line("0000DA03", 0xFC, 4, "RackRelay", "2.2.2", 5, IP)], ordered=True)

    def test_tcpip_scan_asks_every_even_address_while_routing(self):
        self.scan("tcpip")
        frames = self.frames(self.scan_sim)
        serial_asked = [i for i, (_, d) in enumerate(frames) if d == bytes([3, 0x49, 0x20])]
        self.assertEqual(sorted(frames[i][0] for i in serial_asked), list(range(2, 253, 2)),
                         "each once, several in flight at a time")
        route = [(i, d[3]) for i, (a, d) in enumerate(frames)
                 if a == 4 and d[:3] == bytes([3, 0x94, 0x20])]
        self.assertEqual([v for _, v in route], [1, 0])
        self.assertLess(route[0][0], serial_asked[0], "routing on before the first address")
        self.assertGreater(route[1][0], serial_asked[-1], "and off after the last")
        after_relay = [d[:2] for a, d in frames if a == 8]
        self.assertEqual(after_relay, [bytes([3, 0x49])], "no further question to a silent module")

    def test_unsolicited_packets_leave_the_tcpip_scan_as_it_was(self):
        out, _ = self.scan("tcpip")
        self.scan_sim.control("fault", module="router", name="unsolicited", value=1000)
        self.addCleanup(self.scan_sim.control, "fault", module="router", name="unsolicited",
                        value=None)
        status, flooded, err = finish(self.start_scan("-D", "-r", ROUTER, "-t", "TCPIP", "-X",
                                                      "0x100"))
        self.assertEqual(status, 0, err)
        self.assertEqual(flooded[1:], out)
        self.assertRegex(err, r"\d+ late and [1-9]\d* unknown packets")

    def test_the_scan_ends_at_an_interrupt_with_routing_off(self):
        # Named to run after the case that reads the first scan's frames.
        self.scan("tcpip")

        def routing():
            return [d[3] for a, d in self.frames(self.scan_sim)
                    if a == 4 and d[:3] == bytes([3, 0x94, 0x20])]
        before = len(routing())
        proc = self.start_scan("-D", "-r", ROUTER, "-t", "TCPIP", "--json")
        deadline = time.monotonic() + 30
        while len(routing()) == before and time.monotonic() < deadline:
            time.sleep(0.02)
        time.sleep(0.3)  # the requests are out; the absent ones are awaited for a second
        proc.send_signal(signal.SIGINT)
        status, out, err = finish(proc, timeout=5)  # a hang, not a speed check
        self.assertEqual(status, 1, err)
        self.assertEqual(updater_test.json_document("\n".join(out), "discover"),
                         {"outcome": "interrupted", "message": "Discovery interrupted"})
        self.assertEqual(routing()[before:], [1, 0], "routing off again")

    def test_usb_scan_found_without_a_transport_keeps_the_first_error(self):
        out, err = self.scan("usb")
        self.assertListed(out, "USB", USB_HEADING, [
            line(ROUTER, 4, 4, "RackPodUsb", "1.3.8", 91),
            error_line("0000DB01", ERR_TIMEOUT),
            line("0000DB03", 0xFC, 4, "RackRelay", "2.2.3", 6)], ordered=True)
        self.assertIn("NETWORK: Found device [%s] via link type [1]\n" % ROUTER, err)

    def test_a_router_not_found_gives_an_empty_list(self):
        for args in (("-D", "-r", "DEADBEEF"), ("-D", "-r", "DEADBEEF", "-t", "TCPIP")):
            out, _ = self.run_updater(*args)
            title = "TCPIP" if "TCPIP" in args else "USB"
            self.assertEqual(out, ["Searching for Vantor Network devices connected to DEADBEEF",
                                   "Discovered Devices: (%s)" % title, "    No devices found."])

    def test_a_router_that_refuses_routing_is_not_scanned(self):
        out, err = self.run_updater("-D", "-r", "00BADBAD", "-X", "0x100")
        self.assertEqual(out[1:], ["Discovered Devices: (USB)", "    No devices found."])
        self.assertIn("NETWORK: Found device [00BADBAD] via link type [2]\n", err)
        asked = [d[:3] for a, d in self.frames(self.sim) if a == 4]
        self.assertEqual(asked[-1], bytes([3, 0x94, 0x20]), "routeToMe (1) was the last question")
        self.assertNotIn(bytes([3, 0x49, 0x20]), asked)


if __name__ == "__main__":
    updater_test.main()
