"""The serial download loader over USB HID: the real hidapi (hidraw back
end) in a separate process under umockdev's preload library, an emulated
1FC9:0130 device (tests/support/hid_harness) and the ROM simulator behind
it (tools/imx_sdp_sim.py)."""

import os
import random
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))

import hid_emulation  # noqa: E402
import sdp_support  # noqa: E402
import updater_test  # noqa: E402
import usb_emulation  # noqa: E402

REASON = sdp_support.unavailable_reason() or hid_emulation.unavailable_reason()
USB_REASON = REASON or usb_emulation.why_not_available()

CFG0, CFG1 = 0x401F4410, 0x401F4420
LOAD = 0x20000000
ERROR_STATUS = bytes.fromhex("010505") + bytes(14)


def command(kind, address=0, fmt=0, count=0, data=0):
    return (bytes([1]) + kind.to_bytes(2, "big") + address.to_bytes(4, "big") + bytes([fmt]) +
            count.to_bytes(4, "big") + data.to_bytes(4, "big") + bytes(1))


def image(size, seed=1):
    return random.Random(seed).randbytes(size)


@unittest.skipIf(REASON, REASON)
class HidCase(unittest.TestCase):
    sim_options = ()
    attached = True

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sdp-hid-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.sim = sdp_support.SdpRom(*self.sim_options).__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.hid = hid_emulation.HidEmulation(self.sim.hid_socket).start()
        self.addCleanup(self.hid.stop)
        if self.attached:
            self.hid.wait_attached()

    def probe(self, *steps, log=False, status=0):
        r = sdp_support.run_probe(["--hid"], steps, env=self.hid.client_env(), log=log)
        self.assertEqual(r.status, status, r.stdout + r.log)
        return r

    def image_file(self, data):
        path = os.path.join(self.dir, "image-%d.bin" % len(data))
        with open(path, "wb") as f:
            f.write(data)
        return path


class Commands(HidCase):
    sim_options = ("--fuse", "0x401F4410=0x13579BDF", "--fuse", "0x401F4420=0x2468ACE0")

    def test_fingerprint_puts_cfg0_low_and_cfg1_high(self):
        r = self.probe("fingerprint")
        self.assertEqual(r.step("init"), ["0"])
        self.assertEqual(r.step("fingerprint"), ["0", "0x2468ACE013579BDF"])
        self.assertEqual(self.sim.received("hid"), [
            ERROR_STATUS,
            bytes.fromhex("010101401f441020000000040000000000"),
            command(0x0101, CFG1, 0x20, 4)])

    def test_write_register_sets_the_word(self):
        r = self.probe("write-register", "0x20001000", "0xA1B2C3D4")
        written, got, _, word = r.step("send")
        self.assertEqual((written, got, word), ("17", "70", "0x128A8A12"))
        cmd = self.sim.events_of("command")[-1]
        self.assertEqual((cmd["name"], cmd["address"], cmd["format"], cmd["data"]),
                         ("write_register", 0x20001000, 0x20, 0xA1B2C3D4))
        self.assertEqual(self.sim.ram(0x20001000, 4), bytes.fromhex("d4c3b2a1"))

    def test_a_read_ends_with_one_whole_answer(self):
        one_report = command(0x0101, CFG0, 0x20, 4).hex()
        two_reports = command(0x0101, CFG0, 0x20, 0x80).hex()
        r = self.probe("send", one_report, "100", "send", two_reports, "100", "send", "", "100")
        self.assertEqual(r.step("send", 0)[1], "70")
        self.assertEqual(r.step("send", 0)[3], "0x13579BDF")
        self.assertEqual(r.step("send", 1)[1], "70")
        # The report beyond the answer waits for the next read, and alone it
        # holds no word.
        self.assertEqual(r.step("send", 2)[1::2], ["65", "-"])

    def test_a_rom_that_never_stops_talking_ends_every_answer(self):
        self.sim.control("fault", name="chatter", text="ab")
        r = self.probe("send", ERROR_STATUS.hex(), "100")
        self.assertEqual(r.step("send")[1::2], ["130", "-"], "two reports of its talk")


class ShortAnswers(HidCase):
    sim_options = ("--short-report", "33")

    def test_short_answers_are_no_answers(self):
        r = self.probe("fingerprint")
        self.assertEqual(r.step("fingerprint")[0], "2")
        self.assertEqual(self.sim.received("hid"), [ERROR_STATUS] * 5)


class LoaderWrite(HidCase):
    def test_image_goes_out_in_1024_byte_reports_and_starts(self):
        data = image(2 * 1024 + 452)
        r = self.probe("write", self.image_file(data), "0x20000000", "start", "0x20000400",
                       log=True)
        self.assertEqual(r.step("write"), ["0"])
        self.assertIn("Loader Transfer Successful\n", r.log)
        reports = self.sim.received("hid")
        self.assertEqual(reports[0], ERROR_STATUS)
        self.assertEqual(reports[1], bytes.fromhex("0104042000000020000009c40000000000"))
        self.assertEqual([len(p) for p in reports[2:5]], [1025, 1025, 453])
        self.assertEqual({p[0] for p in reports[2:5]}, {2})
        self.assertEqual(b"".join(p[1:] for p in reports[2:5]), data)
        self.assertEqual(reports[5:], [command(0x0B0B, 0x20000400)])
        self.assertEqual(self.sim.ram(LOAD, len(data)), data)
        self.assertEqual([e["address"] for e in self.sim.events_of("jump")], [0x20000400])
        # The ROM hands the processor over and leaves the bus; after a reset
        # it is back, under a new node.
        self.assertTrue(self.hid.wait_event("DETACHED"))
        self.sim.control("reset")
        self.assertTrue(self.hid.wait_event("ATTACHED", 2))
        self.assertEqual(self.probe("fingerprint").step("fingerprint")[0], "0")

    def test_other_completion_word_is_four(self):
        self.sim.control("fault", name="write_status", value=0x12345678)
        data = image(1500)
        r = self.probe("write", self.image_file(data), "0x20000000")
        self.assertEqual(r.step("write"), ["4"])
        self.assertEqual(len(self.sim.received("hid")), 4)

    def test_answer_in_data_phase_aborts_before_data(self):
        self.sim.control("fault", name="answer_in_data")
        r = self.probe("write", self.image_file(image(5000)), "0x20000000")
        self.assertEqual(r.step("write"), ["3"])
        self.assertEqual([p[0] for p in self.sim.received("hid")], [1, 1])


class SilentRom(HidCase):
    sim_options = ("--silent",)

    def test_five_probes_then_two_with_nothing_else_sent(self):
        r = self.probe("fingerprint", "write", self.image_file(image(3000)), "0x20000000")
        self.assertEqual(r.step("fingerprint")[0], "2")
        self.assertEqual(r.step("write"), ["2"])
        self.assertEqual(self.sim.received("hid"), [ERROR_STATUS] * 10)


class Unplugged(HidCase):
    sim_options = ("--disconnect-after", "4")

    def test_unplug_during_the_image_ends_the_write(self):
        r = self.probe("write", self.image_file(image(20 * 1024)), "0x20000000", log=True)
        self.assertEqual(r.step("write"), ["4"])
        self.assertIn("Error while writing loader. Aborting\n", r.log)
        self.assertTrue(self.hid.wait_event("DETACHED"))
        self.assertEqual(len(self.sim.received("hid")), 4)
        self.assertEqual(self.probe("fingerprint", status=1).step("init"), ["6"])


class NotPlugged(HidCase):
    sim_options = ("--hid-detached",)
    attached = False

    def test_no_device_is_six_until_it_appears(self):
        self.assertEqual(self.probe("fingerprint", status=1).step("init"), ["6"])
        self.sim.control("attach")
        self.hid.wait_attached()
        self.assertEqual(self.probe("fingerprint").step("fingerprint")[0], "0")


@unittest.skipIf(USB_REASON, USB_REASON)
class NextToModules(unittest.TestCase):
    """The ROM's HID device and emulated modules in one testbed (the USB
    harness with --hid-socket): a client sees both under one UMOCKDEV_DIR,
    as the recovery of an i.MX board needs, and the ROM leaving after its
    jump leaves the modules alone."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sdp-usb-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.sim = sdp_support.SdpRom().__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.peer = usb_emulation.UsbPeer()
        self.addCleanup(self.peer.close)
        self.usb = usb_emulation.UsbEmulation(self.peer.path, hid_socket=self.sim.hid_socket)
        self.usb.start()
        self.addCleanup(self.usb.stop)
        self.peer.wait_harness()
        self.usb.wait_hid("ATTACHED")

    def modules(self):
        with usb_emulation.Probe(self.usb.env()) as probe:
            answer, modules = probe.ask("enumerate USB")
        self.assertEqual(answer, [str(len(modules))])
        return sorted(m["serial"] for m in modules)

    def test_hid_and_usb_clients_share_the_testbed(self):
        self.peer.attach(1, "DEADDEAD")
        self.assertEqual(self.modules(), ["DEADDEAD"], "the ROM is no module")
        path = os.path.join(self.dir, "loader.bin")
        data = image(3000, seed=7)
        with open(path, "wb") as f:
            f.write(data)
        r = sdp_support.run_probe(["--hid"], ["write", path, "0x20000000", "start",
                                              "0x20000400"], env=self.usb.env())
        self.assertEqual((r.status, r.step("write")), (0, ["0"]), r.stdout)
        self.assertEqual(self.sim.ram(LOAD, len(data)), data)
        self.usb.wait_hid("DETACHED")
        self.peer.attach(2, "40F5849A")
        self.assertEqual(self.modules(), ["40F5849A", "DEADDEAD"])
        self.sim.control("reset")
        self.usb.wait_hid("ATTACHED", 2)
        r = sdp_support.run_probe(["--hid"], ["fingerprint"], env=self.usb.env())
        self.assertEqual(r.step("fingerprint")[0], "0")


if __name__ == "__main__":
    updater_test.main()
