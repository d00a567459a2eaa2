"""The slow cases of the update command, grouped: a module that restarts
into its loader without answering LOAD and comes back on USB only under
the default serial number, one that comes back in its loader only after
the 15 attempts a second apart, and one whose link never drops after
REBOOT (30 s); and over TCP/IP a module that restarts without answering
LOAD and takes a while to listen again, and one that never comes back
after REBOOT (30 s). None of the failures is taken for a success."""

from update_fixtures import (OTHER_SERIAL, SERIAL, SPARE_LOADER, UPGRADE, TcpUpdateTest, Unit,
                             UsbUpdateTest, read_settings, start_usb, updater_test,
                             usb_emulation)

BUSY = ("More than one module waits in its loader; leave only the one being updated "
        "attached\n")


class ReconnectsOverUsb(UsbUpdateTest):
    def run_with(self, faults=None, upgrade=None, *args, extra=()):
        self.start_module(upgrade, faults, extra=extra)
        self.unit = Unit(1002, "1.1.0", seed=9)
        self.path = self.file(self.unit)
        return self.update("-f", self.path, *args)

    def test_no_load_reply_and_the_loader_under_the_default_serial_number(self):
        result = self.run_with({"no_load_reply": True}, {"loader_serial": "DEADDEAD"},
                               "-X", "0x101")
        self.assert_updated(result, self.unit, self.path)
        self.assertIn("NETWORK: Attempting to reconnect. Attempt: 5 of 5\n", result.err)
        self.assertIn("NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 1 of 5\n"
                      "NETWORK: Reconnected to device\n", result.err)
        self.assertIn("Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n",
                      result.err)

    def test_two_loaders_under_the_default_serial_number_get_nothing(self):
        result = self.run_with({"no_load_reply": True}, {"loader_serial": "DEADDEAD"},
                               extra=[SPARE_LOADER])
        self.assertIn(BUSY, result.err)
        self.assert_failed(result, loads=1)
        for name in ("hub", "spare"):
            self.assertEqual(self.sim.state(name)["upgrade"]["firmware_blocks"], [], name)

    def test_two_usb_modules_at_once_take_their_turn_in_the_loader(self):
        # Both loaders come up under the default serial number and can only be
        # found there: in the loader together, each would see two and refuse.
        lost_reply = ({"loader_serial": "DEADDEAD"}, {"no_load_reply": True})
        pod = {"name": "pod", "serial": OTHER_SERIAL, "model": 17, "address": 2, "build": 1001,
               "upgrade": dict(UPGRADE, loader_serial="DEADDEAD"), "faults": lost_reply[1]}
        self.start_module(*lost_reply, extra=[pod])
        path = self.file(Unit(1002, "1.1.0", serial="FFFFFFFF", template=True))
        result = self.update("-f", path, serial="%s,%s" % (SERIAL, OTHER_SERIAL))
        self.assertEqual(result.status, 0, result)
        self.assertIn("Updated 2 of 2 modules\n", result.out)

    def test_a_module_back_in_its_loader_too_late_takes_the_update_again(self):
        result = self.run_with({"restart_delay_ms": {"load": 30000}}, None, "-X", "0x1")
        self.assert_failed(result, loads=1)
        self.assertEqual(result.err.count("Looking for the device in its loader"), 15)
        self.assertIn("Module did not come back in its loader [%s]; repeat the update to finish "
                      "it\n" % SERIAL, result.err)
        self.assertNotIn("Firmware update failed", result.err)
        self.assertEqual(self.upgrade()["counts"]["prepare"], 1, "no PREPARE sent to nothing")

        self.sim.wait_for(lambda: not self.sim.state("hub")["down"], timeout=40,
                          what="the module back in its loader")
        again = self.update("-f", self.path)
        self.assertEqual(again.status, 0, again)
        self.assertIn("Update verified: module %s runs build 1002\n" % SERIAL, again.out)
        expected = self.unit.firmware_payloads()
        memory = self.sim.control("memory", module="hub")
        self.assertEqual(memory["firmware"][-len(expected):], expected)
        self.assertEqual(read_settings(self.home)["LATEST_TRANSFER"], self.path)

    def test_a_module_whose_link_never_drops_after_reboot(self):
        result = self.run_with({"no_drop_after_reboot": True})
        self.assert_failed(result, loads=1, reboots=1, mode="loader")
        memory = self.sim.control("memory", module="hub")
        self.assertEqual(memory["firmware"], self.unit.firmware_payloads(), "all written")
        self.assertIn("Firmware update failed [18, kErrTimeout]\n", result.err)
        self.assertNotIn("LATEST_TRANSFER", read_settings(self.home))


class ReconnectsOverTcp(TcpUpdateTest):
    def test_no_load_reply_and_a_slow_restart(self):
        self.start_module({"restart_ms": 2500}, {"no_load_reply": True})
        unit = Unit(1002, "1.1.0", seed=4)
        path = self.file(unit)
        result = self.update("-f", path, "-X", "0x100")
        self.assert_updated(result, unit, path)
        self.assertIn("NETWORK: Couldn't reconnect to device delaying: 500 ms\n"
                      "NETWORK: Attempting to reconnect. Attempt: 2 of 5\n", result.err)
        self.assertNotIn("DEFAULT sn", result.err, "found again where it was")

    def test_a_lost_load_reply_never_reaches_a_default_serial_usb_board(self):
        reason = usb_emulation.why_not_available()
        if reason:
            self.skipTest(reason)
        usb_sim, usb = start_usb(self, {"modules": [dict(SPARE_LOADER, transports={"usb": {}})]})
        self.start_module(faults={"no_load_reply": True, "no_return_after_load": True})
        result = self.update("-f", self.file(Unit(1002, "1.1.0", seed=8)), env=usb.env())
        self.assertIn("Module did not come back in its loader [%s]" % SERIAL, result.err)
        self.assertEqual(result.status, 1, result)
        counts = usb_sim.state("spare")["upgrade"]["counts"]
        self.assertEqual(sum(counts.values()), 0, "the USB board got nothing")

    def test_a_module_that_never_comes_back_after_reboot_is_not_verified(self):
        self.start_module(faults={"no_return_after_reboot": True})
        result = self.update("-f", self.file(Unit(1002, "1.1.0", seed=6)))
        self.assert_failed(result, loads=1, reboots=1)
        self.assertIn("Firmware update not verified [%s did not come back]\n" % SERIAL,
                      result.err)
        self.assertNotIn("LATEST_TRANSFER", read_settings(self.home))


if __name__ == "__main__":
    updater_test.main()
