"""Discovery of the modules and the link specifiers it makes.

USB: through the real libusb against modules emulated by the umockdev
harness, the test playing the modules' side. TCP/IP: inside private
network namespaces against the simulated modules (root only)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "support"))
import updater_test  # noqa: E402
import usb_emulation  # noqa: E402
from usb_emulation import EmulatedUsbTest  # noqa: E402


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


if __name__ == "__main__":
    updater_test.main()
