"""The fingerprint and recovery commands end to end against the LPC17xx
boot ROM simulator on a pseudo-terminal: the processor's serial number is
its fingerprint, the update server names the unit and build for it, and the
descrambled image goes into the simulated flash in copies of whole copy
lengths (a short chunk padded with 0xFF). The binary and the server run in
the host side of a private namespace pair."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from recovery_fixtures import (CLOSED_URL, Image, RecoveryTest, birdtool, firmware,  # noqa: E402
                               updater_test, words_text)
from rom_sims import RomSim  # noqa: E402

KEY = [0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00]
UNIT = "1A2B3C4D"
FLASH_SIZE = 16 * 4096 + 14 * 32768


def identity(build, serial=UNIT):
    return birdtool.identity_block(build, "2.0.%d" % (build % 10), serial, "HubQuad")


def unit_image(build, sizes, seed, key=KEY, extra=(), serial=UNIT, addresses=None):
    """An LPC recovery image: firmware blocks of `sizes` from 0, each at
    the next 32 KiB boundary (or at `addresses`), the first with a vector
    table the ROM would start, scrambled with `key`."""
    addresses = addresses or [0x8000 * i for i in range(len(sizes))]
    blocks = [identity(build, serial)] + [
        birdtool.firmware_block(addresses[i], birdtool.vector_checksummed(
            birdtool.pattern("random", size, seed + i)) if i == 0 else
            birdtool.pattern("random", size, seed + i)) for i, size in enumerate(sizes)]
    return Image(blocks + list(extra), scramble_key=key)


BUILD_2001 = unit_image(2001, [8300], 2001)
BUILD_2002 = unit_image(2002, [5000, 700], 2002)


def plain(image):
    """(address, content) of the firmware blocks before the 4-byte end mark,
    unscrambled."""
    out = []
    for block in image.of_type(birdtool.TYPE_FIRMWARE):
        if len(block.payload) - 4 == 4:
            break
        out.append((int.from_bytes(block.payload[:4], "big"), block.payload[4:]))
    return out


def expected_flash(blocks):
    """The flash after the blocks went in: each block's last chunk padded
    with 0xFF up to its copy length, which leaves erased flash as it was."""
    flash = bytearray(b"\xff" * FLASH_SIZE)
    for address, content in blocks:
        flash[address:address + len(content)] = content
    return bytes(flash)


class LpcRecoveryTest(RecoveryTest):
    units = {UNIT: {2001: ("2.0.1", BUILD_2001), 2002: ("2.0.2", BUILD_2002)}}
    fingerprints = {words_text(KEY): {"serial": UNIT, "build": 2001}}
    sim_args = ()

    def setUp(self):
        super().setUp()
        self.sim = RomSim("lpc_rom_sim.py", "--serial-number",
                          ",".join("0x%08X" % w for w in KEY), *self.sim_args)
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.sim.__enter__()
        self.port = self.sim.ready["pty"]

    def flash(self):
        path = os.path.join(self.files, "flash.bin")
        self.sim.control("dump", flash=path)
        with open(path, "rb") as f:
            return f.read()

    def commands(self, letter):
        return [e["line"] for e in self.sim.events()
                if e["event"] == "command" and e.get("line", "").startswith(letter + " ")]

    def recover(self, *args, **kwargs):
        return self.run_updater("-U", "-t", "RECOVER", "-s", self.port, *args, **kwargs)

    def assert_recovered(self, result, blocks):
        self.assertEqual(result.status, 0, result)
        self.assertEqual(self.flash(), expected_flash(blocks))
        status = self.sim.control("status")
        self.assertEqual((status["state"], status["go_address"]), ("running", 0))
        self.assertIn("Rebooting Device\n", result.out)
        self.assertRegex(result.out, r"Update time: \d+\.\d{4} sec\n")


class Fingerprint(LpcRecoveryTest):
    def test_the_fingerprint_is_the_serial_number_words(self):
        result = self.run_updater("-N", "-s", self.port, "-X", "0x10000", url=CLOSED_URL)
        self.assertEqual(result.status, 0, result)
        self.assertIn("[ 11223344 55667788 99AABBCC DDEEFF00 ]\n", result.out)
        self.assertIn("\n\tSync to Device:\n", result.err)
        self.assertIn("\n\tGet Info from Device:\n", result.err)
        self.assertEqual(self.commands("E"), [], "a fingerprint writes nothing")

    def test_the_fingerprint_as_a_json_document(self):
        result = self.run_updater("-N", "-s", self.port, "-j", url=CLOSED_URL)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(updater_test.json_document(result.out, "fingerprint"),
                         {"outcome": "ok", "fingerprint": words_text(KEY).split()})

    def test_a_rom_that_never_stops_talking_is_no_answer(self):
        self.sim.control("fault", name="chatter", text="\\n")
        result = self.run_updater("-N", "-s", self.port, "-X", "0x12000", url=CLOSED_URL)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Could not communicate with device over serial port\n", result.err)
        # Each of the five answers of the sync gives up within its tries.
        self.assertLess(result.err.count("Response ignoring leading \\n\n"), 5 * 1001)


class Recovery(LpcRecoveryTest):
    def test_the_server_names_the_unit_and_the_image_is_descrambled(self):
        result = self.recover()
        self.assert_recovered(result, plain(BUILD_2001))
        self.assertIn("Recovering firmware with build: 2001\n", result.out)
        self.assertEqual(self.stored(UNIT), [".settings", "2001.bird"])
        fix = [r for r in self.server_requests() if "op=fix" in r]
        self.assertEqual(len(fix), 1, self.server_requests())
        self.assertIn("fp=11223344%2055667788%2099AABBCC%20DDEEFF00", fix[0])
        # 8300 bytes: 4096, 4096 and 108, the last copied as 256 bytes.
        self.assertEqual(self.commands("W"), ["W 268439552 4096", "W 268439552 4096",
                                              "W 268439552 256"])
        self.assertEqual(self.commands("C"), ["C 0 268439552 4096", "C 4096 268439552 4096",
                                              "C 8192 268439552 256"])
        self.assertEqual(self.commands("E"), ["E 0 29"])
        self.assertIn("Transferring firmware block 1 of 0, 8300 bytes\n", result.out)
        self.assertIn("Transferred 0 blocks, 8300 total bytes\n", result.out)

    def test_a_user_build_overrides_the_servers(self):
        result = self.recover("-b", "2002")
        self.assert_recovered(result, plain(BUILD_2002))
        self.assertIn("Recovering firmware with build: 2002\n", result.out)
        self.assertEqual(self.stored(UNIT), [".settings", "2002.bird"])

    def test_the_servers_serial_number_replaces_the_users(self):
        result = self.recover("-d", "0BADCAFE")
        self.assert_recovered(result, plain(BUILD_2001))
        self.assertEqual(self.stored(UNIT), [".settings", "2001.bird"])
        self.assertIsNone(self.stored("0BADCAFE"))
        self.assertTrue(any("op=bird" in r and "sn=1A2B3C4D" in r for r in self.server_requests()))


    def test_without_a_unit_from_the_server_nothing_is_stored_or_written(self):
        result = self.recover(url=CLOSED_URL)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Could not get recovery information from the server [%s]\n"
                      % words_text(KEY), result.err)
        self.assertIsNone(self.stored("00000000"))
        self.assertEqual(self.commands("U"), [])


class ThreeBlocks(LpcRecoveryTest):
    """Two full chunks and 100 bytes, one chunk and 8 bytes, and a block of
    4 content bytes that ends the image."""

    IMAGE = unit_image(2003, [2 * 4096 + 100, 4096 + 8, 4], 2003)

    def test_chunks_padding_and_the_end_mark(self):
        path = self.file(self.IMAGE, "three.bird")
        result = self.recover("-f", path, "-X", "0x1")
        self.assert_recovered(result, plain(self.IMAGE))
        self.assertEqual(len(plain(self.IMAGE)), 2)
        self.assertEqual(self.commands("W"), ["W 268439552 %d" % n
                                              for n in (4096, 4096, 256, 4096, 256)])
        self.assertEqual(self.commands("C"), [
            "C 0 268439552 4096", "C 4096 268439552 4096", "C 8192 268439552 256",
            "C 32768 268439552 4096", "C 36864 268439552 256"])
        # The whole memory once, then the sectors of each copied range.
        self.assertEqual(self.commands("P"), ["P 0 29", "P 0 0", "P 1 1", "P 2 2", "P 8 8",
                                              "P 9 9"])
        for line in ("Transferring firmware 100 bytes to address 0x00002000\n",
                     "\t Write 256 bytes to address 0x10001000\n",
                     "\t Prepare to copy to sector(s) 2 to 2\n",
                     "\t Copy 256 bytes from 10001000 to 00002000\n",
                     "Transferring firmware 8 bytes to address 0x00009000\n"):
            self.assertIn(line, result.err)
        self.assertIn("Transferring firmware block 1 of 2, 8292 bytes\n", result.out)
        self.assertIn("Transferring firmware block 2 of 2, 4104 bytes\n", result.out)
        self.assertNotIn("block 3 of 2", result.out)
        self.assertIn("Transferred 2 blocks, 12396 total bytes\n", result.out)
        self.assertEqual(self.server_requests(), [], "a file named needs no server")


class WrongImages(LpcRecoveryTest):
    def assert_refused(self, result, error):
        self.assertEqual(result.status, 1, result)
        self.assertIn(error + "\n", result.err)
        for letter in ("U", "P", "E", "W", "C", "G"):
            self.assertEqual(self.commands(letter), [], letter)

    def test_a_wrong_key_or_unit_is_refused_before_the_unlock(self):
        other = [0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10]
        image = unit_image(2004, [3000], 2004, key=other)
        self.assert_refused(self.recover("-f", self.file(image, "other-key.bird")),
                            "Recovery image holds no valid vector table")
        self.sim.control("reset")
        image = unit_image(2004, [3000], 2004, serial="0BADCAFE")
        self.assert_refused(self.recover("-f", self.file(image, "other-unit.bird"), "-d", UNIT),
                            "Recovery image is for unit 0BADCAFE, not %s" % UNIT)

    def test_a_block_out_of_place_is_refused_before_the_unlock(self):
        for name, second, error in (
                ("misaligned", 0x8010, "is not on a 256-byte boundary"),
                ("past-the-end", FLASH_SIZE - 256, "does not fit in the flash"),
                ("overlapping", 0x800, "overlaps block 1")):
            with self.subTest(image=name):
                self.sim.control("reset")
                image = unit_image(2007, [3000, 600], 2007, addresses=[0, second])
                self.assert_refused(self.recover("-f", self.file(image, name + ".bird")),
                                    "Recovery image block 2 at 0x%08X %s" % (second, error))
                self.assertEqual(self.flash(), b"\xff" * FLASH_SIZE)

    def test_a_template_or_a_damaged_file_is_refused_before_anything_is_written(self):
        image = unit_image(2005, [3000], 2005,
                           extra=[birdtool.serial_template_block(0x100, 0x200)])
        self.assert_refused(self.recover("-f", self.file(image, "template.bird")),
                            "Updater does not support offline recovery")
        self.sim.control("reset")
        good = unit_image(2005, [3000], 2005)
        damaged = Image(good.blocks, scramble_key=KEY, block_count=len(good.blocks) + 1)
        self.assert_refused(self.recover("-f", self.file(damaged, "damaged.bird")),
                            "Birdfile failed validation")
        self.assertEqual(self.flash(), b"\xff" * FLASH_SIZE)

    def test_an_image_without_firmware_leaves_the_chip_alone(self):
        for name, extra in (("none", []), ("end-mark", [firmware(0, 4, 1)])):
            with self.subTest(image=name):
                # The earlier run left the ROM synchronised: a reset, as a
                # user would press it, gets it to answer the probe again.
                self.sim.control("reset")
                image = Image([identity(2006)] + extra, scramble_key=KEY)
                result = self.recover("-f", self.file(image, name + ".bird"))
                self.assertEqual(result.status, 1, result)
                self.assertIn("Recovery image holds no firmware\n", result.err)
                self.assertEqual(self.commands("E"), [])


class Interrupted(LpcRecoveryTest):
    def interrupted(self, ready, message, url=None):
        result = self.interrupt_updater(ready, "-U", "-t", "RECOVER", "-s", self.port, "--json",
                                        url=url)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(updater_test.json_document(result.out, "update")["outcome"],
                         "interrupted")
        self.assertIn(message + "\n", result.err)
        return result

    def test_before_the_unlock_the_chip_is_untouched(self):
        # Held in the server's question, after the fingerprint.
        serial_read = lambda: any(e.get("line") == "N" for e in self.sim.events())  # noqa: E731
        self.interrupted(serial_read, "Recovery interrupted; the chip was not changed",
                         url=self.silent_server_url())
        self.assertEqual(self.commands("U"), [])
        self.assertEqual(self.flash(), expected_flash([]))

    def test_after_the_erase_the_run_ends_between_chunks(self):
        self.interrupted(lambda: self.commands("E"),
                         "Recovery interrupted; the chip holds part of the image: repeat the "
                         "recovery to finish it")
        self.assertNotEqual(self.flash(), expected_flash(plain(BUILD_2001)))


class CorruptingRom(LpcRecoveryTest):
    sim_args = ("--corrupt-flash", "0x1234")

    def test_a_byte_that_did_not_take_fails_the_recovery(self):
        result = self.recover()
        self.assertEqual(result.status, 1, result)
        self.assertIn("Recovery verify failed at 0x00001234\n", result.err)
        self.assertNotIn("Rebooting Device", result.out)
        self.assertEqual(self.commands("R")[:2], ["R 0 4096", "R 4096 4096"])


class EchoRefused(LpcRecoveryTest):
    sim_args = ("--refuse", "A 1:PARAM_ERROR")

    def test_a_refused_echo_after_programming_fails_the_recovery(self):
        result = self.recover()
        self.assertEqual(result.status, 1, result)
        self.assertIn("Recovery Error transfering data to device ==> [", result.err)
        self.assertEqual(self.flash(), expected_flash(plain(BUILD_2001)), "written and verified")


class SilentRom(LpcRecoveryTest):
    sim_args = ("--silent",)

    def test_no_answer_fails_both_commands(self):
        result = self.run_updater("-N", "-s", self.port, url=CLOSED_URL)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Got no response from chip\n", result.err)
        self.assertNotIn("[ ", result.out)
        result = self.recover(url=CLOSED_URL)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Could not get Device Identifier\n", result.err)
        self.assertNotIn("Update time", result.out)


class ProgrammingRate(LpcRecoveryTest):
    def test_the_probe_synchronises_at_the_programming_rate(self):
        result = self.recover("-o", "57600")
        self.assert_recovered(result, plain(BUILD_2001))
        events = self.sim.events()
        sync = [e for e in events if e["event"] == "command" and e.get("line") == "?"]
        self.assertEqual([e["speed"] for e in sync], [57600])
        # A probe at another rate would leave every programming command
        # unheard: the ROM keeps the rate it synchronised at.
        self.assertEqual([e for e in events if e["event"] == "baud_mismatch"], [])


if __name__ == "__main__":
    updater_test.main()
