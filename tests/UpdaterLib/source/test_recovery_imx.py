"""The fingerprint and recovery commands end to end on a simulated i.MX
RT1050 board: the serial download ROM (tools/imx_sdp_sim.py) behind the
emulated HID device or on a pseudo-terminal takes the liveloader into its
RAM and jumps into it; the liveloader then comes up as a module on
emulated USB (tools/vantor-sim, switched on by the test at the moment of
the jump), tells the fingerprint through option 39 and takes the firmware
with the upgrade exchange.

One harness serves the ROM's HID device and the module's USB device in one
umockdev testbed, since the binary sees one testbed only. The binary runs
under umockdev's preload library in the host side of a private namespace
pair, next to the update server."""

import json
import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from recovery_fixtures import (CLOSED_URL, Image, RecoveryTest, birdtool, firmware,  # noqa: E402
                               seed_store, updater_test, words_text)
import hid_emulation  # noqa: E402
import sdp_support  # noqa: E402
import simulator  # noqa: E402
import usb_emulation  # noqa: E402

FINGERPRINT = [0x0A0B0C0D, 0x1A1B1C1D, 0x2A2B2C2D, 0x3A3B3C3D]
UNIT = "40F5849A"
DEFAULT = "DEADDEAD"
REASON = (sdp_support.unavailable_reason() or hid_emulation.unavailable_reason() or
          usb_emulation.why_not_available())


def loader(address, size, seed):
    return birdtool.loader_block(address, birdtool.pattern("random", size, seed))


# The default liveloader, started at the IVT its loader-start block names.
LIVELOADER = Image([birdtool.identity_block(500, "0.5.0", DEFAULT, "PodUsb"),
                    loader(0x20000000, 4096, 500), loader(0x20001000, 512, 501),
                    birdtool.loader_start_block(0x20001000)])
# The unit's build: its loader is the unit's own liveloader (no loader-start
# block: it starts at 0x20000400), its firmware follows.
UNIT_BUILD = Image([birdtool.identity_block(1002, "1.1.0", UNIT, "PodUsb"),
                    loader(0x20000000, 2048, 1002), firmware(0x00000000, 3000, 1003),
                    firmware(0x00010000, 600, 1004)])


def control(path, request):
    """One request on a simulator's control socket of its own."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(path)
        s.sendall(json.dumps(request).encode() + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            answer += chunk
    return json.loads(answer)


class LiveloaderStarter(threading.Thread):
    """The moment the ROM hands the processor over: once the ROM's event log
    shows its jump, the simulated module is switched on."""

    def __init__(self, rom, sim):
        super().__init__(daemon=True)
        self.log_path = rom.log_path
        self.control_path = sim.path("control.sock")
        self.stopping = threading.Event()
        self.started_at = None

    def run(self):
        offset = 0
        while not self.stopping.wait(0.01):
            with open(self.log_path, encoding="utf-8") as f:
                f.seek(offset)
                lines = f.read()
            complete = lines[:lines.rfind("\n") + 1]
            offset += len(complete.encode())
            if any(json.loads(line)["event"] == "jump" for line in complete.splitlines()):
                control(self.control_path, {"cmd": "power", "module": "imx", "on": True})
                self.started_at = time.monotonic()
                return

    def stop(self):
        self.stopping.set()
        self.join(10)


def module_config():
    return {"modules": [{
        "name": "imx", "serial": UNIT, "model": 17, "mode": "loader", "powered": False,
        "fingerprint": ["0x%08X" % w for w in FINGERPRINT],
        "upgrade": {"block_size": 512, "restart_ms": 200, "new_version": "1.1.0",
                    "new_build": 1002},
        "transports": {"usb": {}}}]}


class ImxRecoveryTest(RecoveryTest):
    units = {DEFAULT: {500: ("0.5.0", LIVELOADER)}, UNIT: {1002: ("1.1.0", UNIT_BUILD)}}
    fingerprints = {words_text(FINGERPRINT): {"serial": UNIT}}
    rom_options = ()
    # The serial number the liveloader reports on USB.
    liveloader_serial = DEFAULT

    @classmethod
    def setUpClass(cls):
        if REASON:
            raise unittest.SkipTest(REASON)
        super().setUpClass()

    def setUp(self):
        super().setUp()
        self.rom = sdp_support.SdpRom(*self.rom_options)
        self.addCleanup(self.rom.__exit__, None, None, None)
        self.rom.__enter__()
        self.sim = simulator.Simulator(module_config(), usb=True).start()
        self.addCleanup(self.sim.stop)
        if self.liveloader_serial != UNIT:
            self.sim.control("set", module="imx", field="serial", value=self.liveloader_serial)
        self.usb = usb_emulation.UsbEmulation(self.sim.usb_socket, hid_socket=self.rom.hid_socket)
        self.usb.start()
        self.addCleanup(self.usb.stop)
        self.usb.wait_hid("ATTACHED")
        self.starter = LiveloaderStarter(self.rom, self.sim)
        self.starter.start()
        self.addCleanup(self.starter.stop)

    def run_imx(self, *args, url=None):
        return self.run_updater(*args, url=url, umockdev=self.usb.root)

    def assert_liveloader_started(self, image, jump):
        for address, content in image.loaders():
            self.assertEqual(self.rom.ram(address, len(content)), content, hex(address))
        self.assertEqual([e["address"] for e in self.rom.events_of("jump")], [jump])
        self.assertIsNotNone(self.starter.started_at)

    def assert_firmware_went_in(self, result, image):
        self.assertEqual(result.status, 0, result)
        memory = self.sim.control("memory", module="imx")
        self.assertEqual(memory["firmware"], image.firmware_payloads())
        state = self.sim.wait_for(lambda: (lambda s: s if not s["down"] else None)(
            self.sim.state("imx")), what="the module back")
        self.assertEqual((state["mode"], state["serial"]), ("firmware", UNIT))
        self.assertIn("Update verified: module %s runs build 1002\n" % UNIT, result.out)
        self.assertNotIn("error release", result.out, "the board went away as it rebooted")
        self.assertRegex(result.out, r"Update time: \d+\.\d{4} sec\n")

    def reports(self):
        return self.rom.received("hid")


class DefaultLiveloaderOverHid(ImxRecoveryTest):
    def test_downloaded_when_missing_and_the_firmware_follows(self):
        result = self.run_imx("-U", "-t", "RECOVER", "-s", "USB", "-X", "0x10000")
        self.assert_liveloader_started(LIVELOADER, 0x20001000)
        self.assertIn("Existing loader device not found. Downloading.\n", result.err)
        self.assert_firmware_went_in(result, UNIT_BUILD)
        self.assertEqual(self.stored(DEFAULT), [".settings", "500.bird"])
        self.assertEqual(self.stored(UNIT), [".settings", "1002.bird"])
        self.assertNotIn("Retrieving build 500", result.out, "the liveloader comes quietly")
        self.assertIn("Recovering firmware with build: 1002\n", result.out)
        self.assertIn("Transferring firmware block 2 of 2, 604 bytes\n", result.out)
        fix = [r for r in self.server_requests() if "op=fix" in r]
        self.assertEqual(len(fix), 1)
        self.assertIn("fp=0A0B0C0D%201A1B1C1D%202A2B2C2D%203A3B3C3D", fix[0])

    def test_the_fingerprint_command_takes_the_stored_default_and_resets(self):
        seed_store(self.home, DEFAULT, {500: LIVELOADER}, 500)
        result = self.run_imx("-N", "-s", "USB", url=CLOSED_URL)
        self.assertEqual(result.status, 0, result)
        self.assertIn("[ 0A0B0C0D 1A1B1C1D 2A2B2C2D 3A3B3C3D ]\n", result.out)
        self.assert_liveloader_started(LIVELOADER, 0x20001000)
        self.sim.wait_for(lambda: any("module restarting (reset)" in e.get("decode", "")
                                      for e in self.sim.log_entries()), what="the reset")
        self.assertEqual(self.sim.control("memory", module="imx")["firmware"], [])

    def test_an_image_for_another_unit_never_reaches_the_liveloader(self):
        other = Image([birdtool.identity_block(1002, "1.1.0", "0BADCAFE", "PodUsb")] +
                      UNIT_BUILD.blocks[1:])
        seed_store(self.home, DEFAULT, {500: LIVELOADER}, 500)
        seed_store(self.home, UNIT, {1002: other}, 1002)
        result = self.run_imx("-U", "-t", "RECOVER", "-s", "USB")
        self.assertEqual(result.status, 1, result)
        self.assertIn("Recovery image is for unit 0BADCAFE, not %s\n" % UNIT, result.err)
        self.assert_liveloader_started(LIVELOADER, 0x20001000)
        self.assertEqual(self.sim.state("imx")["mode"], "loader")
        self.assertEqual(self.sim.control("memory", module="imx")["firmware"], [])

    def test_a_named_file_needs_a_serial_number(self):
        path = self.file(UNIT_BUILD, "unit.bird")
        message = ("Add serial number or remove the bird filename to use a default recovery "
                   "image.\n")
        result = self.run_imx("-U", "-t", "RECOVER", "-s", "USB", "-f", path)
        self.assertEqual(result.status, 1, result)
        self.assertIn(message + "Could not get Device Identifier\n", result.err)
        result = self.run_imx("-N", "-s", "USB", "-f", path)
        self.assertEqual(result.status, 1, result)
        self.assertIn(message + "Got no response from chip\n", result.err)
        self.assertEqual(self.reports(), [], "nothing reached the ROM")

    def test_a_loader_block_without_its_address_fails_the_transfer(self):
        short = Image([birdtool.identity_block(501, "0.5.1", DEFAULT, "PodUsb"),
                       loader(0x20000000, 4096, 500), birdtool.Block(birdtool.TYPE_LOADER,
                                                                     b"\x20\x00")])
        seed_store(self.home, DEFAULT, {501: short}, 501)
        result = self.run_imx("-U", "-t", "RECOVER", "-s", "USB", "-X", "0x10000",
                              url=CLOSED_URL)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Error loading liveloader.\n", result.err)
        self.assertIn("Could not get Device Identifier\n", result.err)
        self.assertEqual(self.reports(), [], "no part of it was written")
        self.assertEqual(self.rom.events_of("jump"), [])


    def test_an_interrupt_ends_the_recovery(self):
        result = self.interrupt_updater(lambda: self.rom.events_of("jump"), "-U", "-t", "RECOVER",
                                        "-s", "USB", "--json", umockdev=self.usb.root)
        self.assertEqual(result.status, 1, result)
        document = updater_test.json_document(result.out, "update")
        self.assertEqual(document["outcome"], "interrupted", result)
        self.assertNotIn("Update verified", result.err)


class OwnSerialNumber(ImxRecoveryTest):
    liveloader_serial = UNIT

    def test_a_unit_file_named_with_its_serial_number(self):
        path = self.file(UNIT_BUILD, "unit.bird")
        result = self.run_imx("-U", "-t", "RECOVER", "-s", "USB", "-f", path, "-d", UNIT)
        self.assert_liveloader_started(UNIT_BUILD, 0x20000400)
        self.assert_firmware_went_in(result, UNIT_BUILD)
        self.assertIn("Recovering from Birdfile: %s\n" % path, result.out)
        self.assertEqual(self.server_requests(), [], "a file named needs no server")

    def test_the_document_carries_the_verified_build(self):
        path = self.file(UNIT_BUILD, "unit.bird")
        result = self.run_imx("-U", "-t", "RECOVER", "-s", "USB", "-f", path, "-d", UNIT, "-j")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(updater_test.json_document(result.out, "update"),
                         {"serial": UNIT, "outcome": "ok", "verifiedBuild": 1002})

    def test_a_file_without_firmware_leaves_the_liveloader_running(self):
        only_loader = Image(UNIT_BUILD.blocks[:2])
        result = self.run_imx("-U", "-t", "RECOVER", "-s", "USB", "-d", UNIT, "-f",
                              self.file(only_loader, "loader.bird"))
        self.assertEqual(result.status, 1, result)
        self.assertIn("Recovery image holds no firmware\n", result.err)
        self.assert_liveloader_started(only_loader, 0x20000400)
        state = self.sim.state("imx")
        self.assertEqual((state["mode"], state["upgrade"]["counts"]["reboot"]), ("loader", 0))


class OverTheSerialRom(ImxRecoveryTest):
    liveloader_serial = UNIT

    def test_the_lpc_probe_passes_and_the_stored_unit_file_starts(self):
        seed_store(self.home, UNIT, {1002: UNIT_BUILD}, 1002)
        result = self.run_imx("-U", "-t", "RECOVER", "-s", self.rom.tty, "-d", UNIT)
        self.assert_liveloader_started(UNIT_BUILD, 0x20000400)
        self.assert_firmware_went_in(result, UNIT_BUILD)
        # The LPC probe's "?" reached the ROM first and was dropped there.
        self.assertEqual(self.rom.events_of("discarded")[0]["hex"], "3f")
        self.assertEqual(self.reports(), [], "the ROM was reached over its serial line")
        self.assertNotIn("Downloading firmware build", result.out)


if __name__ == "__main__":
    updater_test.main()
