"""The update command end to end over emulated USB, against the simulated
module with each fault switch of its upgrade model: a failure ends the
update with status 1 and its message, no LOAD follows a loader that did
not arrive whole, no REBOOT follows firmware that did not, nothing is
recorded, and a module left in its loader takes the update again. Also the
progress bar and the spinner, which only a terminal gets."""

import os
import pty
import select
import signal
import subprocess

from update_fixtures import (SERIAL, SERIAL_NUMBER, Unit, UsbUpdateTest, read_settings,
                             updater_test)

FAILED = "Firmware update failed [%d, %s]\n"


def write_counts(sim):
    return sim.state("hub")["upgrade"]["counts"]["write"]


class UpdateOverUsb(UsbUpdateTest):
    def run_with(self, faults=None, upgrade=None, unit=None, *args):
        self.start_module(upgrade, faults)
        self.unit = unit or Unit(1002, "1.1.0", seed=5)
        self.path = self.file(self.unit)
        return self.update("-f", self.path, *args)

    def test_a_full_update_across_the_loader_restart(self):
        unit = Unit(1002, "1.1.0", serial="00000000", template=True, firmware=(2000, 600))
        result = self.run_with(unit=unit)
        self.assert_updated(result, unit, self.path)
        self.assertEqual(self.sim.state("hub")["upgrade"]["loaders_started"], 1)
        self.assertNotIn("\r", result.out, "no progress output into a pipe")
        self.assertNotIn("Verifying Update", result.out)
        self.assertNotIn("error release", result.out, "the module went away as it rebooted")
        self.assertEqual(result.err, "")

    def test_a_wrong_data_count_once_is_sent_again(self):
        result = self.run_with({"data_count_wrong": "once"})
        self.assert_updated(result, self.unit, self.path)
        self.assertEqual(self.upgrade()["counts"]["data_wrong"], 1)

    def test_a_data_count_that_stays_wrong_ends_the_loader(self):
        result = self.run_with({"data_count_wrong": "always"})
        self.assert_failed(result, loads=0, mode="firmware")
        self.assertIn(FAILED % (18, "kErrTimeout"), result.err)
        self.assertEqual(self.upgrade()["counts"]["data_wrong"], 4, "sent once and three more times")

    def test_a_bad_loader_sum_ends_the_loader(self):
        result = self.run_with({"sum_off": {"stage": "loader"}})
        self.assert_failed(result, loads=0, mode="firmware")
        self.assertIn("NETWORK: Unable to validate transfer [00] [", result.err, "at level 0")
        self.assertIn(FAILED % (29, "kErrInvalidOption"), result.err)

    def test_a_bad_firmware_sum_leaves_the_loader_for_another_try(self):
        result = self.run_with({"sum_off": {"stage": "firmware", "block": 1}})
        self.assert_failed(result, loads=1, mode="loader")
        self.assertIn("NETWORK: Failed to transfer firmware\n", result.err)
        self.assertEqual(write_counts(self.sim), 1, "the piece before it only")
        self.assertIn("Transferred 0 blocks, 0 total bytes\n", result.out.split("Starting Load")[1])

        self.sim.control("clear_faults", module="hub")
        again = self.update("-f", self.path)
        self.assertEqual(again.status, 0, again)
        memory = self.sim.control("memory", module="hub")
        expected = self.unit.firmware_payloads()
        self.assertEqual(memory["firmware"][-len(expected):], expected)
        self.assertEqual(self.upgrade()["counts"]["reboot"], 1)
        self.assertEqual(read_settings(self.home)["LATEST_TRANSFER"], self.path)

    def test_a_module_back_with_its_old_build_is_not_verified(self):
        result = self.run_with({"reboot_to_old_image": True})
        self.assert_failed(result, loads=1, reboots=1, mode="firmware")
        self.assertIn("Firmware update not verified [%s runs build 1001, not 1002]\n"
                      % SERIAL, result.err)
        self.assertNotIn("error release", result.out)

    def test_an_interrupt_ends_the_firmware_between_packets(self):
        self.start_module()
        unit = Unit(1002, "1.1.0", seed=8, firmware=(30000,))
        path = self.file(unit)
        proc = subprocess.Popen(self.command("-f", path), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=self.usb.env())
        self.sim.wait_for(lambda: write_counts(self.sim) >= 2, timeout=60, what="firmware going in")
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        result = updater_test.Result(subprocess.CompletedProcess(proc.args, proc.returncode, out, err))
        self.assert_failed(result, loads=1, mode="loader")
        self.assertIn("Firmware update interrupted\n", result.err)
        self.assertEqual(self.update("-f", path).status, 0, "the loader takes it again")

    def test_a_refused_prepare_ends_the_loader(self):
        result = self.run_with({"prepare_status": 3})
        self.assert_failed(result, loads=0, mode="firmware")
        self.assertIn(FAILED % (29, "kErrInvalidOption"), result.err)

    def test_a_block_size_of_zero_is_refused(self):
        result = self.run_with({"prepare_block_size": 0})
        self.assert_failed(result, loads=0, mode="firmware")
        self.assertIn(FAILED % (29, "kErrInvalidOption"), result.err)

    def test_a_short_sum_reply_is_refused(self):
        result = self.run_with({"upgrade_reply_length": {"4": 6}})
        self.assert_failed(result, loads=0, mode="firmware")
        self.assertIn(FAILED % (24, "kErrPacket"), result.err)

    def test_a_write_reply_without_status_ends_the_firmware(self):
        result = self.run_with({"write_no_status": True})
        self.assert_failed(result, loads=1, mode="loader")
        self.assertEqual(write_counts(self.sim), 1)
        self.assertIn(FAILED % (29, "kErrInvalidOption"), result.err)

    def test_a_module_whose_serial_number_cannot_be_read_is_refused(self):
        result = self.run_with({"error_options": {"9": 18}})
        self.assertIn("Birdfile failed validation\n", result.err)
        self.assert_failed(result, loads=0)
        self.assertEqual(self.upgrade()["counts"]["init"], 0)

    def test_a_module_that_does_not_answer_at_its_address(self):
        result = self.run_with({"ignore_addresses": [2]}, None, None, "-OVERRIDE")
        self.assert_failed(result, loads=0, mode="firmware")
        self.assertIn(FAILED % (18, "kErrTimeout"), result.err)

    def test_progress_and_spinner_on_a_terminal_only(self):
        self.start_module()
        path = self.file(Unit(1002, "1.1.0", serial=SERIAL_NUMBER, firmware=(4000,)))
        master, slave = pty.openpty()
        proc = subprocess.Popen(self.command("-f", path), stdout=slave, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, env=self.usb.env())
        os.close(slave)
        screen = b""
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            if not ready:
                break
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            screen += chunk
        os.close(master)
        proc.wait(timeout=60)
        proc.stderr.close()
        text = screen.decode("utf-8", "replace")
        self.assertEqual(proc.returncode, 0, text)
        self.assertIn("\r[=", text, "the progress bar")
        self.assertIn("(100% ) ", text)
        self.assertIn("\r (Verifying Update) .", text, "the spinner while the link stays up")
        self.assertIn("Update time: ", text)


if __name__ == "__main__":
    updater_test.main()
