"""Pseudo-terminal links, the USB harness socket and a router with the
modules behind it."""

import json
import os
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import updater_test  # noqa: E402
from vantorsim_client import Link, simulator  # noqa: E402


class FakeHarness:
    """The emulated-USB harness's end of the simulator's USB socket."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(10)
        self.sock.connect(path)
        self.buffer = b""
        self.held = []

    def close(self):
        self.sock.close()

    def send(self, **message):
        self.sock.sendall(json.dumps(message).encode() + b"\n")

    def next(self, op=None, timeout=10.0):
        for i, m in enumerate(self.held):
            if op is None or m["op"] == op:
                return self.held.pop(i)
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in self.buffer:
                line, self.buffer = self.buffer.split(b"\n", 1)
                message = json.loads(line)
                if op is None or message["op"] == op:
                    return message
                self.held.append(message)
            if time.monotonic() > deadline:
                raise TimeoutError("no %s message; held %r" % (op, self.held))
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("simulator closed the USB socket")
            self.buffer += chunk

    def out(self, ident, data):
        self.send(op="out", id=ident, data=bytes(data).hex())

    def read_in(self, ident, count):
        got = b""
        while len(got) < count:
            m = self.next("in")
            assert m["id"] == ident, m
            got += bytes.fromhex(m["data"])
        return got


USB_CONFIG = {"modules": [
    {"name": "usbhub", "serial": "00C0FFEE", "model": 17, "address": 2,
     "upgrade": {"loader_serial": "DEADDEAD", "restart_ms": 100},
     "transports": {"usb": {}, "serial": {}, "node": {}}},
    {"name": "oddity", "serial": "00000777", "model": 4, "address": 2,
     "transports": {"usb": {"vendor": "0xF055", "product": "0x8004", "serial_string": "1234567",
                            "interfaces": [{"number": 1, "endpoints": [
                                {"address": 130, "attributes": 2, "max_packet": 512}]}]}}},
]}


class UsbAndPtyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = simulator.Simulator(USB_CONFIG, usb=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def setUp(self):
        self.harness = FakeHarness(self.sim.usb_socket)

    def tearDown(self):
        self.harness.close()

    def attaches(self):
        found = {}
        while len(found) < 2:
            m = self.harness.next("attach")
            found[m["serial"]] = m
        return found

    def test_attach_reports_the_configured_identities(self):
        found = self.attaches()
        good = found["00C0FFEE"]
        self.assertEqual((good["vendor"], good["product"], good["busnum"]), (0xF055, 17, 1))
        self.assertEqual(good["interfaces"], [{
            "number": 0, "alt": 0, "class": 255, "subclass": 136, "protocol": 16,
            "endpoints": [{"address": 129, "attributes": 2, "max_packet": 64},
                          {"address": 1, "attributes": 2, "max_packet": 64}]}])
        odd = found["1234567"]
        self.assertEqual(odd["product"], 0x8004)
        self.assertEqual(odd["interfaces"][0]["endpoints"],
                         [{"address": 130, "attributes": 2, "max_packet": 512}])
        self.assertNotEqual(good["id"], odd["id"])

    def test_bulk_exchange_stall_and_restart(self):
        ident = self.attaches()["00C0FFEE"]["id"]
        self.harness.send(op="claim", id=ident)
        self.harness.out(ident, bytes([0xAD, 0]) * 6)
        self.assertEqual(self.harness.read_in(ident, 12), bytes([2, 0]) * 6)
        self.sim.control("usb_stall", module="usbhub", endpoint=129)
        self.assertEqual(self.harness.next("stall"), {"op": "stall", "id": ident, "endpoint": 129})
        self.harness.out(ident, bytes([2, 3, 3, 0x49, 0x20]))
        self.sim.wait_for(lambda: any(e.get("decode") == "uei get class 3 option 9 index 0"
                                      for e in self.sim.log_entries()), what="the request")
        self.assertEqual(self.harness.held, [])
        self.harness.send(op="clear_halt", id=ident, endpoint=129)
        self.assertEqual(self.harness.read_in(ident, 9), bytes([2, 7, 3, 9, 0, 0, 0xC0, 0xFF, 0xEE]))
        self.harness.out(ident, bytes([2, 2, 95, 2]))
        self.assertEqual(self.harness.read_in(ident, 4), bytes([2, 2, 95, 2]))
        self.assertEqual(self.harness.next("detach"), {"op": "detach", "id": ident})
        back = self.harness.next("attach")
        self.assertEqual((back["id"], back["serial"]), (ident, "DEADDEAD"))
        self.harness.send(op="claim", id=ident)
        self.harness.out(ident, bytes([2, 2, 95, 6]))
        self.assertEqual(self.harness.next("detach"), {"op": "detach", "id": ident})
        self.assertEqual(self.harness.next("attach")["serial"], "00C0FFEE")
        self.harness.send(op="release", id=ident)

    def test_the_harness_notes_are_taken_silently(self):
        ident = self.attaches()["00C0FFEE"]["id"]
        before = len(self.sim.log_entries())
        self.harness.send(op="attached", id=ident)
        self.harness.send(op="in_urb", id=ident, endpoint=129, length=1024)
        self.harness.send(op="claim", id=ident)
        self.harness.out(ident, bytes([0xAD, 0]))
        self.assertEqual(self.harness.read_in(ident, 2), bytes([2, 0]))
        self.harness.send(op="release", id=ident)
        noted = [e for e in self.sim.log_entries()[before:] if e["kind"] == "event" and
                 ("unknown op" in e["decode"] or "not attached" in e["decode"])]
        self.assertEqual(noted, [])

    def test_serial_and_node_ptys_carry_the_link(self):
        entry = self.sim.module("usbhub")
        self.assertEqual(entry["node"]["name"], "vantor.00C0FFEE")
        for key in ("serial_port", "node"):
            with self.subTest(transport=key):
                link = Link.pty(entry[key]["path"])
                try:
                    link.send_raw(bytes([0xAD, 0]) * 6)
                    self.assertEqual(link.read_raw(12), bytes([2, 0]) * 6)
                    self.assertEqual(link.get_u8(2, 8), 17)
                    self.assertEqual(link.barrier(2), [])
                finally:
                    link.close()
        transports = {e.get("transport") for e in self.sim.log_entries() if e["kind"] == "frame"}
        self.assertTrue({"serial", "node"} <= transports)


POWERED_OFF_CONFIG = {"modules": [
    {"name": "liveloader", "serial": "DEADDEAD", "mode": "loader", "powered": False,
     "fingerprint": ["0x0A0B0C0D", "0x1A1B1C1D", "0x2A2B2C2D", "0x3A3B3C3D"],
     "transports": {"usb": {}, "tcp": {}}}]}


class PowerTest(unittest.TestCase):
    """A module that starts switched off comes up on USB and TCP only when
    powered on, in the mode it was configured with."""

    def test_power_on_attaches_and_power_off_detaches(self):
        with simulator.Simulator(POWERED_OFF_CONFIG, usb=True) as sim:
            harness = FakeHarness(sim.usb_socket)
            try:
                self.power_cycle(sim, harness)
            finally:
                harness.close()

    def power_cycle(self, sim, harness):
        port = sim.module("liveloader")["tcp"]["port"]
        self.assertTrue(sim.state("liveloader")["down"])
        # The simulator attaches its devices as the harness connects: by the
        # time the control channel answers, an attach would be on its way.
        sim.control("ping")
        harness.sock.settimeout(0.3)
        with self.assertRaises(TimeoutError):
            harness.next("attach")
        harness.sock.settimeout(10)
        with self.assertRaises(ConnectionRefusedError):
            Link.tcp("127.0.0.1", port).close()
        sim.control("power", module="liveloader", on=True)
        attached = harness.next("attach")
        self.assertEqual(attached["serial"], "DEADDEAD")
        harness.send(op="claim", id=attached["id"])
        harness.out(attached["id"], bytes([2, 4, 3, 0x67, 0x20, 0]))
        self.assertEqual(harness.read_in(attached["id"], 9),
                         bytes([2, 7, 3, 39, 0, 0x3A, 0x3B, 0x3C, 0x3D]), "subindex 0: word 3")
        state = sim.state("liveloader")
        self.assertEqual((state["down"], state["mode"]), (False, "loader"))
        sim.wait_for(lambda: _accepts(port), what="the TCP listener back")
        sim.control("power", module="liveloader", on=False)
        self.assertEqual(harness.next("detach"), {"op": "detach", "id": attached["id"]})
        self.assertTrue(sim.state("liveloader")["down"])
        self.assertFalse(sim.request({"cmd": "power", "module": "liveloader", "on": "yes"})["ok"])


def _accepts(port):
    try:
        Link.tcp("127.0.0.1", port).close()
        return True
    except ConnectionRefusedError:
        return False


ROUTER_CONFIG = {"modules": [{
    "name": "router", "serial": "00C0FFEE", "model": 15, "address": 4,
    "transports": {"tcp": {}},
    "behind": [{"name": "daq", "serial": "0000DA01", "model": 20, "address": 6, "router": 4},
               {"name": "mute", "serial": "0000DA02", "model": 18, "address": 8, "router": 4,
                "faults": {"no_serial": True}}]}]}


class RouterTest(unittest.TestCase):
    def test_modules_behind_answer_only_while_routed(self):
        with simulator.Simulator(ROUTER_CONFIG) as sim:
            link = Link.tcp("127.0.0.1", sim.module("router")["tcp"]["port"])
            try:
                self.scan(sim, link)
            finally:
                link.close()

    def scan(self, sim, link):
        link.send(6, bytes([3, 0x49, 0x20]))
        self.assertEqual(link.barrier(4), [])
        self.assertEqual(link.set(4, 20, [1]), bytes([3, 0xD4, 0]))
        serials = {}
        for address in range(2, 254, 2):
            link.send(address, bytes([3, 0x49, 0x20]))
            for a, d in link.barrier(4):
                serials[a] = struct.unpack(">I", d[3:7])[0]
        self.assertEqual(serials, {4: 0x00C0FFEE, 6: 0x0000DA01})
        self.assertEqual(link.get_u8(8, 8), 18)
        link.send(6, bytes([23, 1]))
        self.assertEqual(link.recv(), (6, bytes([23, 1])))
        self.assertEqual(link.get_u8(6, 2), 4)
        link.set(4, 20, [0])
        link.send(6, bytes([3, 0x48, 0x20]))
        self.assertEqual(link.barrier(4), [])
        self.assertEqual(sim.state("router")["behind"], ["0000DA01", "0000DA02"])


if __name__ == "__main__":
    updater_test.main()
