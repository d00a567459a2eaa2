"""Discovery over multicast between two private network namespaces."""

import json
import os
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import netns  # noqa: E402
import updater_test  # noqa: E402
from vantorsim_client import simulator  # noqa: E402

# Sends one request (out of the given interface, or the system's choice
# when it is "0.0.0.0") and prints the replies that reach port 9889.
ASK = r'''
import json, socket, sys
iface, first = sys.argv[1], int(sys.argv[2])
listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
listen.bind(("", 9889))
listen.settimeout(float(sys.argv[3]))
out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
if iface != "0.0.0.0":
    out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(iface))
out.sendto(bytes([first]) + bytes(15), ("232.2.2.2", 9888))
replies = []
try:
    while True:
        data, peer = listen.recvfrom(64)
        replies.append([peer[0], data.hex()])
except socket.timeout:
    pass
print(json.dumps(replies))
'''

CONFIG = {"discovery": {"interface": netns.MODULE_ADDRESS}, "modules": [
    {"name": "podnet", "serial": "0BADCAFE", "model": 5, "address": 2,
     "upgrade": {"restart_ms": 100},
     "transports": {"tcp": {"bind": netns.MODULE_ADDRESS, "port": 0}}},
    {"name": "hub", "serial": "01020304", "model": 17, "address": 6,
     "transports": {"tcp": {"bind": "0.0.0.0", "port": 0}}},
    {"name": "hidden", "serial": "0000AAAA", "model": 17, "address": 2,
     "transports": {"tcp": {"bind": netns.MODULE_ADDRESS, "port": 0, "discovery": False}}},
]}


@unittest.skipUnless(netns.available(), "needs root and ip netns for private network namespaces")
class DiscoveryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pair = netns.NetnsPair().create()
        try:
            cls.sim = simulator.Simulator(CONFIG, prefix=cls.pair.module_prefix()).start()
        except BaseException:
            cls.pair.destroy()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()
        cls.pair.destroy()

    def ask(self, iface=netns.HOST_ADDRESS, first=1, wait=1.0):
        r = self.pair.run_host([sys.executable, "-c", ASK, iface, str(first), str(wait)],
                               capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        return sorted(json.loads(r.stdout), key=lambda x: x[1])

    def records(self, replies):
        out = {}
        for source, hexdata in replies:
            data = bytes.fromhex(hexdata)
            self.assertEqual(len(data), 16)
            self.assertEqual(source, netns.MODULE_ADDRESS)
            address, port, serial = struct.unpack("<BHI", data[1:8])
            out[serial] = (address, port, data[12])
        return out

    def test_each_module_answers_with_its_record(self):
        ports = {s: self.sim.module(s)["tcp"]["port"] for s in ("0BADCAFE", "01020304")}
        expected = {0x0BADCAFE: (2, ports["0BADCAFE"], 5), 0x01020304: (6, ports["01020304"], 17)}
        for iface in (netns.HOST_ADDRESS, "0.0.0.0"):
            with self.subTest(interface=iface):
                self.assertEqual(self.records(self.ask(iface)), expected)

    def test_link_service_is_reachable_from_the_host_namespace(self):
        port = self.sim.module("podnet")["tcp"]["port"]
        probe = ("import socket,sys; s=socket.create_connection(('%s',%d),timeout=5);"
                 "s.sendall(bytes([2,2,23,9])); sys.stdout.write(s.recv(4).hex())"
                 % (netns.MODULE_ADDRESS, port))
        r = self.pair.run_host([sys.executable, "-c", probe], capture_output=True, text=True,
                               timeout=30)
        self.assertEqual(r.stdout, "02021709", r.stderr)

    def test_record_length_fault(self):
        self.sim.control("fault", module="hub", name="discovery_record_length", value=7)
        try:
            lengths = [len(bytes.fromhex(h)) for _, h in self.ask()]
        finally:
            self.sim.control("fault", module="hub", name="discovery_record_length", value=None)
        # Only the hub's record is cut (the other module may be down by now).
        self.assertEqual(lengths.count(7), 1)
        self.assertTrue(all(n == 16 for n in lengths if n != 7), lengths)

    def test_other_datagrams_and_restarting_modules_get_no_answer(self):
        self.assertEqual(self.ask(first=2, wait=0.5), [])
        self.sim.control("fault", module="podnet", name="no_return_after_load", value=True)
        self.sim.control("restart", module="podnet", why="load")
        self.sim.wait_for(lambda: self.sim.state("podnet")["down"], what="the restart")
        self.assertEqual(set(self.records(self.ask())), {0x01020304})
        self.assertGreaterEqual(self.sim.control("discovery")["responders"][0]["requests"], 3)


def _namespaces_left(pair):
    names = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return [n for n in (pair.host, pair.module) if n in names]


@unittest.skipUnless(netns.available(), "needs root and ip netns for private network namespaces")
class NetnsPairTest(unittest.TestCase):
    def test_pair_is_torn_down_also_after_a_failure(self):
        with self.assertRaises(RuntimeError):
            with netns.NetnsPair() as pair:
                self.assertEqual(len(_namespaces_left(pair)), 2)
                r = pair.run_host(["ip", "-o", "addr", "show"], capture_output=True, text=True)
                self.assertIn(netns.HOST_ADDRESS + "/24", r.stdout)
                r = pair.run_host(["ip", "route", "get", "8.8.8.8"], capture_output=True, text=True)
                self.assertNotEqual(r.returncode, 0)
                raise RuntimeError("test failure")
        self.assertEqual(_namespaces_left(pair), [])


if __name__ == "__main__":
    updater_test.main()
