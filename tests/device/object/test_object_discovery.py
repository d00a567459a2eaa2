"""The connect operations of the object layer that start discovery, inside
private network namespaces: the probe (tests/support/object_probe.cpp)
runs in the host namespace, the simulated modules answer discovery and
links in the module namespace (root only)."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "support"))
import netns  # noqa: E402
import simulator  # noqa: E402
import updater_test  # noqa: E402

PROBE = os.path.join(updater_test.BUILD_DIR, "tests", "object_probe")
NO_NAMESPACES = "needs root and ip netns (discovery multicasts: private network namespaces only)"


def module(serial, address, model):
    return {"name": serial, "serial": serial, "address": address, "model": model,
            "transports": {"tcp": {"bind": netns.MODULE_ADDRESS, "port": 0}}}


@unittest.skipUnless(netns.available(), NO_NAMESPACES)
@unittest.skipUnless(os.path.exists(PROBE), "the object probe was not built")
class DiscoveryConnects(unittest.TestCase):
    MODULES = [module("0000A001", 4, 17), module("0000B002", 6, 40), module("0000C003", 8, 40)]

    @classmethod
    def setUpClass(cls):
        cls.pair = netns.NetnsPair().create()
        config = {"discovery": {"interface": netns.MODULE_ADDRESS}, "modules": cls.MODULES}
        try:
            cls.sim = simulator.Simulator(config, prefix=cls.pair.module_prefix()).start()
        except BaseException:
            cls.pair.destroy()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()
        cls.pair.destroy()

    def probe(self, *args):
        result = self.pair.run_host([PROBE] + list(args), capture_output=True, text=True,
                                    timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        m = re.match(r"= (\w+) address=(\d+) serial=([0-9A-F]{8}) port=(\d+)$",
                     result.stdout.strip())
        self.assertIsNotNone(m, result.stdout)
        return m.group(1), int(m.group(2)), m.group(3), int(m.group(4))

    def port(self, serial):
        return self.sim.module(serial)["tcp"]["port"]

    def test_a_link_finds_a_module_by_serial_number_or_model(self):
        self.assertEqual(self.probe("link", "TCPIP", "0000B002", "0"),
                         ("kErrNone", 6, "0000B002", self.port("0000B002")))
        err, address, serial, _ = self.probe("link", "TCPIP", "0", "40")
        self.assertEqual(err, "kErrNone")
        self.assertIn(serial, ("0000B002", "0000C003"), "a module of model 40")
        self.assertEqual(address, {"0000B002": 6, "0000C003": 8}[serial])
        err, _, serial, _ = self.probe("link", "TCPIP", "0", "0")
        self.assertEqual(err, "kErrNone", "model 0: the first module discovery reports")
        self.assertIn(serial, ("0000A001", "0000B002", "0000C003"))
        self.assertEqual(self.probe("link", "TCPIP", "0", "99")[0], "kErrNotFound")
        self.assertEqual(self.probe("link", "TCPIP", "DEADBEEF", "0")[0], "kErrNotFound")

    def test_while_connected_the_old_specifier_stays(self):
        self.assertEqual(self.probe("link-twice", "TCPIP", "0000A001", "0000C003"),
                         ("kErrNone", 4, "0000A001", self.port("0000A001")))

    def test_a_module_connects_by_serial_number_and_learns_its_address(self):
        self.assertEqual(self.probe("module", "TCPIP", "0000C003", "2"),
                         ("kErrNone", 8, "0000C003", self.port("0000C003")))
        self.assertEqual(self.probe("module", "TCPIP", "0", "2")[0], "kErrParam")
        err, address, serial, _ = self.probe("module-model", "TCPIP", "17", "2")
        self.assertEqual((err, address, serial), ("kErrNone", 4, "0000A001"))


if __name__ == "__main__":
    updater_test.main()
