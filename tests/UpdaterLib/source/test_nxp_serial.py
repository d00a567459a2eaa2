"""The LPC ISP client against the boot ROM simulator over pseudo-terminals.

The client runs in tests/nxp_isp_driver (one result line per operation);
the simulator's control channel shows the ROM's side: the rate it saw, its
commands and block answers, its RAM and flash. Where the bytes themselves
matter, a tap between the two ptys records them (and can spoil some on the
way, as a bad line would)."""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))

import updater_test  # noqa: E402
from pty_tap import PtyTap  # noqa: E402
from rom_sims import RomSim  # noqa: E402

DRIVER = os.path.join(updater_test.BUILD_DIR, "tests", "nxp_isp_driver")
# Only bounds how long a hanging client can stall the suite.
DRIVER_TIMEOUT = 300
STAGING = 0x10001000
DEFAULT_SERIAL = ["0x1E0F3C5A", "0x52D1A7B3", "0x4C3B2A19", "0x0F00BA11"]
RATE_INDEX = {2400: 0, 4800: 1, 9600: 2, 19200: 3, 38400: 4, 57600: 5, 115200: 6, 230400: 7}


def pattern(count, seed=1):
    return bytes((i * 7 + seed) % 251 + 1 for i in range(count))


def lines_after(tap, command):
    """The lines sent after the command line `command`, up to the next
    command (a capital letter and a blank)."""
    lines = tap.lines()
    start = lines.index(command.encode()) + 1
    end = start
    while end < len(lines) and not (lines[end][:1].isupper() and lines[end][1:2] == b" "):
        end += 1
    return lines[start:end]


class NxpCase(unittest.TestCase):
    sim_args = ()

    def setUp(self):
        self.sim = RomSim("lpc_rom_sim.py", *self.sim_args)
        # Registered first: a simulator that starts but never gets ready is
        # stopped all the same.
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.sim.__enter__()
        self.port = self.sim.ready["pty"]
        self.dir = tempfile.mkdtemp(prefix="nxp-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.log = ""

    def file(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def tap(self, rate=115200, rule=None):
        tap = PtyTap(self.port, rate, rule)
        self.addCleanup(tap.close)
        return tap

    def drive(self, *ops, rate=115200, port=None, mask=None):
        """Runs the operations; returns (operation, error name, values)
        for each. subprocess.run kills the driver if it overruns."""
        cmd = [DRIVER] + (["-X", hex(mask)] if mask else [])
        cmd += [port or self.port, str(rate)] + list(ops)
        done = subprocess.run(cmd, capture_output=True, timeout=DRIVER_TIMEOUT)
        self.log = done.stderr.decode("latin-1")
        results = []
        for line in done.stdout.decode().splitlines():
            parts = line.split(" ", 2)
            results.append((parts[0], parts[1], parts[2] if len(parts) > 2 else ""))
        self.assertEqual(len(results), len(ops) + 1, done.stdout)
        return results[1:]

    def errors(self, results):
        return [err for _, err, _ in results]

    def commands(self, since=0, prefix=""):
        return [e for e in self.sim.events(since)
                if e["event"] == "command" and e.get("line", "").startswith(prefix)]

    def blocks(self, since=0):
        return [(e["lines"], e["bytes"], e["answer"]) for e in self.sim.events(since)
                if e["event"] == "block"]

    def ram(self, address, count):
        return bytes.fromhex(self.sim.control("read", space="ram", address=address,
                                              count=count)["hex"])


class SyncTest(NxpCase):
    def test_syncs_at_several_rates(self):
        for rate in (9600, 57600, 115200, 230400):
            self.sim.control("reset")
            since = self.sim.next_seq()
            results = self.drive("sync", "id", rate=rate)
            self.assertEqual(self.errors(results), ["kErrNone", "kErrNone"], rate)
            self.assertEqual(results[1][2].split(), DEFAULT_SERIAL)
            self.assertEqual(self.commands(since, "?")[0]["speed"], rate)

    def test_connect_takes_the_first_table_rate_not_below_the_request(self):
        for asked, chosen in ((57601, 115200), (2400, 2400), (230401, 9600)):
            self.sim.control("reset")
            since = self.sim.next_seq()
            results = self.drive("sync", rate=asked, mask=0x1000)
            self.assertEqual(results, [("sync", "kErrNone", "")])
            self.assertEqual(self.commands(since, "?")[0]["speed"], chosen, asked)
            self.assertIn("Creating serial connection: [%s] stream baud:%d(%d)\n"
                          % (self.port, RATE_INDEX[chosen], chosen), self.log)

    def test_echo_is_switched_off_and_on_again(self):
        results = self.drive("sync", "id", "echo=0", "id", "part", "echo=1", "id", "version")
        self.assertEqual(set(self.errors(results)), {"kErrNone"}, results)
        self.assertEqual(results[7][2], "4.1")
        self.assertEqual([e["answer"] for e in self.commands(prefix="A ")], [["0"], ["0"]])
        self.assertTrue(self.sim.control("status")["echo"])

    def test_an_unsynchronised_or_foreign_chip_fails_sync(self):
        self.sim.control("fault", name="not_lpc")
        self.assertEqual(self.errors(self.drive("sync", "id")), ["kErrNotReady", "kErrNotReady"])
        self.sim.control("fault", name="not_lpc", on=False)
        self.assertEqual(self.errors(self.drive("sync")), ["kErrNone"])

    def test_a_refused_crystal_frequency_fails_sync(self):
        def spoil_crystal(line, byte):
            return ord("x") if line == b"1474" and byte == ord("6") else byte
        tap = self.tap(rule=spoil_crystal)
        self.assertEqual(self.errors(self.drive("sync", port=tap.path)), ["kErrIO"])
        self.assertIn(b"1474x\r\n", tap.to_far)


class SilentRomTest(NxpCase):
    sim_args = ("--silent",)

    def test_sync_fails_and_nothing_hangs(self):
        results = self.drive("sync", "id", "unlock", mask=0x1000)
        self.assertEqual(self.errors(results), ["kErrNotReady"] * 3)
        self.assertIn("Did not receive correct response to opening sync command: "
                      "[kErrNotReady]. Response: []\n", self.log)


class CommandTest(NxpCase):
    def test_every_command_succeeds(self):
        data = pattern(256)
        back = os.path.join(self.dir, "back.bin")
        results = self.drive("sync", "unlock", "part", "version", "id", "prepare=0,29",
                             "erase=0,29", "write=%d,%s" % (STAGING, self.file("d", data)),
                             "prepare=0,0", "copy=0,%d,256" % STAGING, "read=0,256,%s" % back,
                             "baud=115200", "go=0")
        self.assertEqual(set(self.errors(results)), {"kErrNone"}, results)
        self.assertEqual(results[2][2], str(0x26013F37))
        with open(back, "rb") as f:
            self.assertEqual(f.read(), data)
        status = self.sim.control("status")
        self.assertEqual((status["go_address"], status["isp_baud"]), (0, 115200))

    # Each command twice, refused once (code 10) and then done; "prepare"
    # before the copy stands in for the one that the erase used up.
    REFUSABLE = [("U", "unlock"), ("J", "part"), ("K", "version"), ("N", "id"),
                 ("P", "prepare=0,29"), ("E", "erase=0,29"),
                 ("W", "write=%d,{data}" % STAGING), ("R", "read=%d,8,{back}" % STAGING),
                 ("", "prepare=0,0"), ("C", "copy=0,%d,256" % STAGING), ("B", "baud=115200")]

    def refused_then_done(self):
        data, back = self.file("d", pattern(8)), os.path.join(self.dir, "back.bin")
        ops, expected = [], []
        for letter, op in self.REFUSABLE:
            op = op.format(data=data, back=back)
            if letter:
                self.sim.control("fault", name="refuse", command=letter, code=10, times=1)
                ops += [op, op]
                expected += ["kErrParam", "kErrNone"]
            else:
                ops.append(op)
                expected.append("kErrNone")
        return ops, expected

    def test_refusals_with_echo_on_and_off(self):
        # "10" is an error although its last digit is 0.
        for echo_ops in ([], ["echo=0"]):
            self.sim.control("reset")
            ops, expected = self.refused_then_done()
            results = self.drive("sync", *echo_ops, *ops, mask=0x5000)
            expected = ["kErrNone"] * (1 + len(echo_ops)) + expected
            self.assertEqual(self.errors(results), expected, echo_ops)
            # Prepare, erase, read, copy, and write's own line.
            self.assertEqual(self.log.count("Error response ==>[COMPARE_ERROR]\n"), 5)
        self.sim.control("reset")
        self.sim.control("fault", name="refuse", command="A", code=10, times=1)
        self.assertEqual(self.errors(self.drive("sync", "echo=0", "id", "echo=0", "id")),
                         ["kErrNone", "kErrParam", "kErrNone", "kErrNone", "kErrNone"])

    def test_identification_without_its_numbers(self):
        # Code 0 alone: a success code, but none of the numbers after it.
        for letter, op in (("N", "id"), ("J", "part"), ("K", "version")):
            self.sim.control("fault", name="refuse", command=letter, code=0, times=1)
        results = self.drive("sync", "id", "part", "version", "id")
        self.assertEqual(self.errors(results), ["kErrNone"] + ["kErrNotReady"] * 3 + ["kErrNone"])

    def test_copy_checks_refuse_before_sending(self):
        results = self.drive("sync", "unlock", "prepare=0,1",
                             "copy=%d,%d,256" % (0x1080, STAGING),
                             "copy=%d,%d,2048" % (0x1000, STAGING),
                             "copy=%d,%d,1000" % (0x1000, STAGING))
        self.assertEqual(self.errors(results), ["kErrNone"] * 3 + ["kErrParam"] * 3)
        self.assertEqual(self.commands(prefix="C"), [])


class TransferTest(NxpCase):
    def test_lines_and_checksums_on_the_wire(self):
        tap = self.tap()
        zeros = pattern(45) + bytes(3)
        ones = pattern(135) + b"\xff"
        files = [self.file(n, d) for n, d in (("z", zeros), ("o", ones), ("a", pattern(900)),
                                              ("b", pattern(904, 3)))]
        results = self.drive("sync", "echo=0", *["write=%d,%s" % (STAGING, f) for f in files],
                             port=tap.path)
        self.assertEqual(set(self.errors(results)), {"kErrNone"})

        lines = lines_after(tap, "W 268439552 48")
        self.assertEqual(len(lines[0]), 61)
        self.assertEqual(lines[0][:1], b"\x4d")
        self.assertEqual(lines[1], b"\x23\x60\x60\x60\x60")
        self.assertEqual(lines[2], str(sum(zeros)).encode())
        self.assertEqual(lines_after(tap, "W 268439552 136")[3], b"\x21\x5f\x50\x60\x60")

        lines = lines_after(tap, "W 268439552 900")
        self.assertEqual([len(x) for x in lines[:20]], [61] * 20)
        self.assertEqual(lines[20:], [str(sum(pattern(900))).encode()])
        data = pattern(904, 3)
        lines = lines_after(tap, "W 268439552 904")
        self.assertEqual(lines[20], str(sum(data[:900])).encode())
        self.assertEqual(lines[21][:1], b"\x24", "one more line of 4 bytes")
        self.assertEqual(lines[22:], [str(sum(data[900:])).encode()])
        self.assertEqual(self.blocks()[-3:], [(20, 900, "OK"), (20, 900, "OK"), (1, 4, "OK")])
        self.assertEqual(self.ram(STAGING, 904), data)

    def test_a_refused_block_is_sent_again(self):
        data = pattern(1800)
        path = self.file("d", data)
        for fault in ("resend_once", "lose_line"):
            since = self.sim.next_seq()
            self.sim.control("poke", space="ram", address=STAGING, hex="00" * 1800)
            self.sim.control("fault", name=fault)
            results = self.drive("sync", "echo=0", "write=%d,%s" % (STAGING, path))
            self.assertEqual(self.errors(results), ["kErrNone"] * 3, fault)
            self.assertEqual(self.blocks(since), [(20, 900, "RESEND"), (20, 900, "OK"),
                                                  (20, 900, "OK")], fault)
            self.assertEqual(self.ram(STAGING, 1800), data)
            self.sim.control("reset")

    def test_the_third_refusal_ends_the_transfer(self):
        def spoil_full_lines(line, byte):
            return byte ^ 1 if line == b"M" else byte
        tap = self.tap(rule=spoil_full_lines)
        results = self.drive("sync", "echo=0", "write=%d,%s" % (STAGING, self.file("d", pattern(900))),
                             port=tap.path, mask=0x1000)
        self.assertEqual(self.errors(results), ["kErrNone", "kErrNone", "kErrTimeout"])
        self.assertEqual([b[2] for b in self.blocks()], ["RESEND"] * 3)
        self.assertIn("Write() exceeded retries\n", self.log)

    def test_write_and_read_back_with_echo_on_and_off(self):
        data = pattern(1804, 5)
        back = [os.path.join(self.dir, n) for n in ("on", "off")]
        results = self.drive("sync", "write=%d,%s" % (STAGING, self.file("d", data)),
                             "read=%d,1804,%s" % (STAGING, back[0]), "echo=0",
                             "read=%d,1804,%s" % (STAGING, back[1]), "id")
        self.assertEqual(set(self.errors(results)), {"kErrNone"}, results)
        for path in back:
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data, path)
        self.assertEqual(self.ram(STAGING, 1804), data)


class ProgrammingTest(NxpCase):
    def test_an_image_lands_in_flash_byte_for_byte(self):
        # Seventeen chunks: the last lies in the first 32 KiB sector.
        image = random.Random(17).randbytes(17 * 4096)
        results = self.drive("sync", "program=%s" % self.file("image", image))
        self.assertEqual(results[1][:2], ("program", "kErrNone"), results)
        self.assertIn("bytes=%d" % len(image), results[1][2])
        dump = os.path.join(self.dir, "flash.bin")
        self.sim.control("dump", flash=dump)
        with open(dump, "rb") as f:
            flash = f.read()
        self.assertEqual(flash[:len(image)], image)
        self.assertEqual(flash[len(image):], b"\xff" * (len(flash) - len(image)))
        copies = self.commands(prefix="C ")
        self.assertEqual(len(copies), 17)
        self.assertTrue(all(c["answer"] == ["0"] and c["stuck_bytes"] == 0 for c in copies))
        self.assertEqual([c["line"] for c in self.commands(prefix="P ")][-1], "P 16 16")
        self.assertEqual(self.sim.control("status")["go_address"], 0)


if __name__ == "__main__":
    updater_test.main()
