"""Discovery of the modules and the link specifiers it makes.

USB: through the real libusb against modules emulated by the umockdev
harness, the test playing the modules' side. TCP/IP: inside private
network namespaces against the simulated modules (root only)."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "support"))
import netns  # noqa: E402
import simulator  # noqa: E402
import updater_test  # noqa: E402
import usb_emulation  # noqa: E402
from usb_emulation import EmulatedUsbTest, Probe, UsbEmulation  # noqa: E402

NO_NAMESPACES = "needs root and ip netns (discovery multicasts: private network namespaces only)"


class Discovery(EmulatedUsbTest):
    def attach_family(self):
        vendor = usb_emulation.vendor_id()
        self.peer.attach(1, "40F5849A", product=0x0011)
        self.peer.attach(2, "0000ABCD", product=0x0123)
        self.peer.attach(3, "12345678", product=0x0040)
        self.peer.attach(4, "11111111", product=0x8011)  # bit 15: not a module
        self.peer.attach(5, "1234567")  # seven characters
        self.peer.attach(6, "ABCDEFGH")  # eight, but not hexadecimal
        self.peer.attach(7, "22222222", vendor=vendor ^ 0x0101)  # another vendor

    def test_lists_each_module_once_and_skips_the_rest(self):
        self.attach_family()
        answer, modules = self.probe().ask("enumerate USB")
        self.assertEqual(answer, ["3"])
        found = {m["serial"]: m for m in modules}
        self.assertEqual(sorted(found), ["0000ABCD", "12345678", "40F5849A"])
        self.assertEqual(found["0000ABCD"]["usbid"], "0000ABCD", "leading zeros are kept")
        self.assertEqual(found["0000ABCD"]["model"], str(0x23), "the low byte of idProduct")
        for m in modules:
            self.assertEqual((m["type"], m["module"], m["router"], m["rserial"]),
                             ("1", "0", "0", "00000000"))

    def test_a_callback_that_stops_ends_the_walk(self):
        self.attach_family()
        answer, modules = self.probe().ask("enumerate USB first")
        self.assertEqual((answer, len(modules)), (["1"], 1))

    def test_finders(self):
        self.peer.attach(1, "00000000")
        self.peer.attach(2, "12345678")
        p = self.probe()
        answer, _ = p.ask("find USB 12345678")
        self.assertEqual(answer[:2], ["found", "module"])
        self.assertIn("serial=12345678", answer)
        self.assertEqual(p.ask("find USB DEADBEEF")[0], ["none"])
        answer, _ = p.ask("findfirst USB")
        self.assertIn("serial=12345678", answer, "serial number 0 is skipped")
        self.assertEqual(p.ask("find SERIAL 12345678")[0], ["none"],
                         "other link types find nothing")

    def test_discovery_does_not_claim_and_sees_a_claimed_module(self):
        p = self.opened("40F5849A")
        answer, modules = self.probe().ask("enumerate USB")
        self.assertEqual(answer, ["1"])
        self.assertEqual(len(self.peer.seen("claim")), 1, "only the open claims")
        p.ask("close")



class UsbAgainstTheSimulator(unittest.TestCase):
    """The harness bridging the simulated modules' USB side."""

    CONFIG = {"modules": [
        {"name": "hub", "serial": "00C0FFEE", "model": 17, "address": 2, "transports": {"usb": {}}},
        {"name": "daq", "serial": "0000DA01", "model": 20, "address": 4, "transports": {"usb": {}}},
    ]}

    def setUp(self):
        reason = usb_emulation.why_not_available()
        if reason:
            self.skipTest(reason)
        self.sim = simulator.Simulator(self.CONFIG, usb=True).start()
        self.addCleanup(self.sim.stop)
        self.usb = UsbEmulation(self.sim.usb_socket)
        self.usb.start()
        self.addCleanup(self.usb.stop)
        self.usb.wait_devices(2)

    def test_finds_both_and_speaks_to_one(self):
        with Probe(self.usb.env()) as p:
            answer, modules = p.ask("enumerate USB")
            self.assertEqual(answer, ["2"])
            self.assertEqual(sorted((m["serial"], m["model"]) for m in modules),
                             [("0000DA01", "20"), ("00C0FFEE", "17")])
            self.assertEqual(p.ask("stream DA01")[0], ["kErrNone"])
            self.assertEqual(p.ask("swrite ad00")[0], ["kErrNone"])
            self.assertEqual(p.ask("sread 2 2000")[0], ["kErrNone", "0400"], "the address answer")
            self.assertEqual(p.ask("sdestroy")[0], ["kErrNone"])


@unittest.skipUnless(netns.available(), NO_NAMESPACES)
class TcpIpDiscovery(unittest.TestCase):
    """Multicast requests and UDP replies between a host namespace, where
    the probe runs, and a module namespace, where the simulator answers."""

    def start(self, modules, **sim):
        pair = netns.NetnsPair().create()
        self.addCleanup(pair.destroy)
        self.pair = pair
        config = {"discovery": {"interface": netns.MODULE_ADDRESS}, "modules": modules}
        self.sim = simulator.Simulator(config, prefix=pair.module_prefix(), **sim).start()
        self.addCleanup(self.sim.stop)
        self.probe = Probe(dict(os.environ), prefix=pair.host_prefix())
        self.addCleanup(self.probe.close)

    @staticmethod
    def module(serial, address=2, model=5, **extra):
        m = {"serial": serial, "address": address, "model": model,
             "transports": {"tcp": {"bind": netns.MODULE_ADDRESS, "port": 0}}}
        m.update(extra)
        return m

    def test_modules_sharing_an_address_are_told_by_their_ports(self):
        self.start([self.module("12345678", 4, 5), self.module("0000ABCD", 6, 0x1B),
                    self.module("89ABCDEF", 8, 200)])
        answer, modules = self.probe.ask("enumerate TCPIP")
        self.assertEqual(answer, ["3"])
        got = {m["serial"]: m for m in modules}
        self.assertEqual(sorted(got), ["0000ABCD", "12345678", "89ABCDEF"])
        for serial, address, model in (("12345678", 4, 5), ("0000ABCD", 6, 0x1B),
                                       ("89ABCDEF", 8, 200)):
            m = got[serial]
            port = self.sim.module(serial)["tcp"]["port"]
            self.assertEqual((m["type"], m["rserial"], m["module"], m["router"], m["model"]),
                             ("2", serial, str(address), str(address), str(model)))
            self.assertEqual((m["ip"], m["port"]), (netns.MODULE_ADDRESS, str(port)),
                             "port and serial number come low byte first")
        self.assertEqual(self.sim.control("discovery")["responders"][0]["requests"], 1,
                         "one request out of the one interface")

    def test_the_finders_and_a_callback_that_stops(self):
        self.start([self.module("00000000", 2), self.module("0BADCAFE", 4)])
        answer, _ = self.probe.ask("findfirst TCPIP")
        self.assertIn("serial=0BADCAFE", answer, "serial number 0 is skipped")
        answer, modules = self.probe.ask("enumerate TCPIP first")
        self.assertEqual((answer, len(modules)), (["1"], 1))
        answer, _ = self.probe.ask("find TCPIP 0BADCAFE")
        self.assertIn("port=%d" % self.sim.module("0BADCAFE")["tcp"]["port"], answer)
        start = time.monotonic()
        self.assertEqual(self.probe.ask("find TCPIP DEADBEEF")[0], ["none"])
        # The collection's 2 s are counted in whole milliseconds of the
        # program's clock, which may end a little short of this one's.
        self.assertGreaterEqual(time.monotonic() - start, 1.9, "after the whole collection")

    def test_short_replies(self):
        self.start([self.module("11111111", 2, faults={"discovery_record_length": 4}),
                    self.module("22222222", 4, 9, faults={"discovery_record_length": 10}),
                    self.module("33333333", 6, 7)])
        answer, modules = self.probe.ask("enumerate TCPIP")
        got = {m["serial"]: m for m in modules}
        self.assertEqual((answer, sorted(got)), (["2"], ["22222222", "33333333"]),
                         "a 4-byte datagram is ignored")
        self.assertEqual(got["22222222"]["model"], "255", "no model byte: 0xFF")
        self.assertEqual(got["22222222"]["port"], str(self.sim.module("22222222")["tcp"]["port"]))
        self.assertEqual(got["33333333"]["model"], "7")

    def test_a_sender_that_keeps_on_cannot_hold_the_collection_open(self):
        self.start([self.module("0BADCAFE", 4)])
        sender = subprocess.Popen(self.pair.module_prefix() + [sys.executable, "-c", STRAY_SENDER,
                                                              netns.HOST_ADDRESS])
        self.addCleanup(sender.wait)
        self.addCleanup(sender.kill)
        start = time.monotonic()
        answer, modules = self.probe.ask("enumerate TCPIP")
        elapsed = time.monotonic() - start
        self.assertLess(elapsed, 11.5, "the collection ends 10 s after the request")
        self.assertGreaterEqual(elapsed, 9.5, "stray replies each restart the quiet time")
        serials = [m["serial"] for m in modules]
        self.assertIn("0BADCAFE", serials)
        self.assertGreater(serials.count("5EED0001"), 10, "any datagram of 8 bytes is listed")


# A stray sender in the module namespace: a 16-byte reply every 500 ms,
# for longer than a collection lasts.
STRAY_SENDER = r"""
import socket, struct, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range(40):
    s.sendto(struct.pack("<BBHIIB3x", 2, 10, 4000, 0x5EED0001, 0, 3), (sys.argv[1], 9889))
    time.sleep(0.5)
"""


if __name__ == "__main__":
    updater_test.main()
