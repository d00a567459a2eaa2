"""The serial download loader over a UART: the library's serial transport
on the pseudo-terminal of the ROM simulator (tools/imx_sdp_sim.py). Over the
line no report ID is ever sent: commands are 16 bytes, file data plain."""

import os
import random
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))

import sdp_support  # noqa: E402
import updater_test  # noqa: E402

REASON = sdp_support.unavailable_reason()

CFG0, CFG1 = 0x401F4410, 0x401F4420
LOAD = 0x20000000


def command(kind, address=0, fmt=0, count=0, data=0):
    return (kind.to_bytes(2, "big") + address.to_bytes(4, "big") + bytes([fmt]) +
            count.to_bytes(4, "big") + data.to_bytes(4, "big") + bytes(1))


ERROR_STATUS = command(0x0505)


def image(size, seed=2):
    return random.Random(seed).randbytes(size)


@unittest.skipIf(REASON, REASON)
class SerialCase(unittest.TestCase):
    sim_options = ()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sdp-serial-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.sim = sdp_support.SdpRom(*self.sim_options).__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)

    def probe(self, *steps, log=False, status=0):
        r = sdp_support.run_probe(["--serial", self.sim.tty], steps, log=log)
        self.assertEqual(r.status, status, r.stdout + r.log)
        return r

    def after_status_probes(self):
        """What the host sent after its status probes. A probe is repeated
        when the ROM's answer came later than 100 ms, which a loaded
        machine can do to the simulator."""
        stream = self.sim.received("serial")
        probes = 0
        while stream.startswith(ERROR_STATUS) and probes < 5:
            stream, probes = stream[len(ERROR_STATUS):], probes + 1
        self.assertGreaterEqual(probes, 1)
        return stream

    def image_file(self, data):
        path = os.path.join(self.dir, "image-%d.bin" % len(data))
        with open(path, "wb") as f:
            f.write(data)
        return path


class Commands(SerialCase):
    sim_options = ("--fuse", "0x401F4410=0x89ABCDEF", "--fuse", "0x401F4420=0x01234567")

    def test_commands_are_sixteen_bytes_at_115200(self):
        r = self.probe("fingerprint")
        self.assertEqual(r.step("init"), ["0"])
        self.assertEqual(r.step("fingerprint"), ["0", "0x0123456789ABCDEF"])
        self.assertEqual(self.after_status_probes(),
                         bytes.fromhex("0101401f44102000000004") + bytes(5) +
                         command(0x0101, CFG1, 0x20, 4))
        self.assertEqual({e["speed"] for e in self.sim.events_of("in") if e["transport"] == "serial"},
                         {115200})

    def test_write_register_goes_without_report_id(self):
        r = self.probe("write-register", "0x20002000", "0x0BADF00D")
        self.assertEqual(r.step("send"), ["16", "8", "56787856128a8a12", "0x128A8A12"])
        self.assertEqual(self.sim.received("serial"), command(0x0202, 0x20002000, 0x20, 4,
                                                              0x0BADF00D))
        self.assertEqual(self.sim.ram(0x20002000, 4), bytes.fromhex("0df0ad0b"))


class LoaderWrite(SerialCase):
    def test_image_follows_its_command_and_starts(self):
        data = image(2 * 1024 + 452)
        r = self.probe("write", self.image_file(data), "0x20000000", "start", "0x20000400")
        self.assertEqual(r.step("write"), ["0"])
        self.assertEqual(self.after_status_probes(),
                         command(0x0404, LOAD, 0x20, len(data)) + data +
                         command(0x0B0B, 0x20000400))
        self.assertEqual(self.sim.ram(LOAD, len(data)), data)
        self.assertEqual([e["address"] for e in self.sim.events_of("jump")], [0x20000400])

    def test_other_completion_word_is_four(self):
        self.sim.control("fault", name="write_status", value=0x0BAD0BAD)
        r = self.probe("write", self.image_file(image(100)), "0x20000000")
        self.assertEqual(r.step("write"), ["4"])

    def test_answer_in_data_phase_stops_the_image(self):
        # Far more than the line buffers: the ROM's early answer must be
        # waiting before the host could have written everything.
        data = image(512 * 1024)
        self.sim.control("fault", name="answer_in_data")
        r = self.probe("write", self.image_file(data), "0x20000000")
        self.assertEqual(r.step("write"), ["3"])
        self.assertLess(len(self.sim.received("serial")), len(data) // 2)


class SilentRom(SerialCase):
    sim_options = ("--silent",)

    def test_five_probes_then_two_with_nothing_else_sent(self):
        r = self.probe("fingerprint", "write", self.image_file(image(3000)), "0x20000000")
        self.assertEqual(r.step("fingerprint")[0], "2")
        self.assertEqual(r.step("write"), ["2"])
        self.assertEqual(self.sim.received("serial"), ERROR_STATUS * 10)


class BrokenLine(SerialCase):
    def test_a_rom_that_never_stops_talking_ends_every_answer(self):
        self.sim.control("fault", name="chatter", text="ab")
        r = self.probe("send", "01" + ERROR_STATUS.hex(), "100", "write", self.image_file(image(100)),
                       "0x20000000")
        self.assertEqual(r.step("send"), ["16", "8", "6162616261626162", "0x62616261"])
        self.assertEqual(r.step("write"), ["3"], "the talk is an answer in the data phase")

    def test_removed_adapter_ends_the_write(self):
        # Two commands and two data packets' worth, then the line is gone.
        self.sim.control("fault", name="disconnect_after", value=4)
        data = image(64 * 1024)
        r = self.probe("write", self.image_file(data), "0x20000000", log=True)
        self.assertEqual(r.step("write"), ["4"])
        self.assertIn("Error while writing loader. Aborting\n", r.log)
        self.assertEqual(len(self.sim.events_of("disconnect")), 1)

    def test_stalled_line_gives_up(self):
        big = self.image_file(image(1024 * 1024))
        self.sim.pause()
        try:
            r = self.probe("send-file", big, "0", log=True)
        finally:
            self.sim.resume()
        self.assertEqual(r.step("send"), ["-1", "0", "-", "-"])
        self.assertIn("Serial write stalled", r.log)


if __name__ == "__main__":
    updater_test.main()
