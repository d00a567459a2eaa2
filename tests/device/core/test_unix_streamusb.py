"""The USB stream's kernel path: when the module's node "/dev/vantor.%08X"
exists, the stream reads and writes it instead of going through libusb.
A raw pseudo-terminal stands in for the node, inside a private mount
namespace (tests/support/device_node.py)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "support"))
import device_node  # noqa: E402
import updater_test  # noqa: E402
import usb_emulation  # noqa: E402
from usb_emulation import Probe  # noqa: E402

SERIAL = 0x001A2B3C

UNAVAILABLE = usb_emulation.why_not_available() or device_node.why_not_available()


@unittest.skipIf(UNAVAILABLE, UNAVAILABLE)
class KernelNodePath(unittest.TestCase):
    def setUp(self):
        self.node = device_node.NodePty(SERIAL)
        self.addCleanup(self.node.close)
        self.probe = Probe(dict(os.environ), prefix=self.node.prefix())
        self.addCleanup(self.probe.close)

    def test_the_stream_uses_the_node_when_it_exists(self):
        p = self.probe
        self.assertEqual(p.ask("stream %X" % SERIAL)[0], ["kErrNone"])
        self.assertEqual(p.ask("swrite 0202000a")[0], ["kErrNone"])
        self.assertEqual(self.node.read(4), bytes.fromhex("0202000a"))
        self.assertEqual(p.ask("sread 1 200")[0], ["kErrNotReady"], "no data reads 0 bytes")
        self.assertEqual(p.ask("swait 50")[0], ["kErrTimeout"], "a wait polls the node")
        os.write(self.node.master, bytes.fromhex("020400010203"))
        self.assertEqual(p.ask("swait 2000")[0], ["kErrNone"])
        self.assertEqual(p.ask("sread 6 2000")[0], ["kErrNone", "020400010203"])
        self.assertEqual(p.ask("sdestroy")[0], ["kErrNone"])

    def test_the_kernel_path_of_the_transport(self):
        p = self.probe
        self.assertEqual(p.ask("create kernel")[0], ["kErrNone", "1"])
        self.assertEqual(p.ask("open %08X" % SERIAL)[0], ["kErrNone", "1"],
                         "the kernel path leaves the state alone")
        for op in ("usblib-open", "usblib-write", "usblib-get", "usblib-close"):
            self.assertEqual(p.ask("call " + op)[0], ["kErrMode"], op)
        self.assertEqual(p.ask("get")[0], ["kErrNotReady"])
        data = bytes(range(256)) * 4
        self.assertEqual(p.ask("write " + data.hex())[0], ["kErrNone", "1"])
        self.assertEqual(self.node.read(len(data)), data)
        os.write(self.node.master, b"\x5a")
        self.assertEqual(p.ask("get")[0], ["kErrNone", "5a"])
        self.assertEqual(p.ask("close")[0], ["kErrNone", "2"])
        self.assertEqual(p.ask("close")[0], ["kErrNone", "2"], "closing again does nothing")
        self.assertEqual(p.ask("call kernel-get")[0], ["kErrMode"], "no descriptor")


if __name__ == "__main__":
    updater_test.main()
