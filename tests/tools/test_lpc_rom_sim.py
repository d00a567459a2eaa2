"""The LPC17xx ISP ROM simulator, driven over its pseudo-terminal by a small
client of the test's own, with the control channel to look inside."""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import rom_sims  # noqa: E402
import updater_test  # noqa: E402
from rom_sims import RomSim, open_raw_pty, pending, read_exactly, read_until  # noqa: E402

RAM = 0x10000000
STAGING = 0x10001000


def uu_line(data):
    """The test's own encoder: length character, then 4 characters per 3
    bytes, 0 written as the grave accent."""
    def char(v):
        return 0x60 if v == 0 else v + 0x20
    out = bytearray([char(len(data))])
    padded = bytes(data) + bytes(-len(data) % 3)
    for i in range(0, len(padded), 3):
        v = int.from_bytes(padded[i:i + 3], "big")
        out += bytes(char((v >> s) & 0x3F) for s in (18, 12, 6, 0))
    return bytes(out)


def uu_unline(line):
    n = (line[0] - 0x20) & 0x3F
    bits = "".join("{:06b}".format((c - 0x20) & 0x3F) for c in line[1:])
    return bytes(int(bits[i:i + 8], 2) for i in range(0, n * 8, 8))


def pattern(count, seed=1):
    return bytes((i * 7 + seed) % 251 + 1 for i in range(count))


class LpcCase(unittest.TestCase):
    sim_args = ()

    def setUp(self):
        self.sim = RomSim("lpc_rom_sim.py", *self.sim_args)
        self.sim.__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.fd = open_raw_pty(self.sim.ready["pty"])
        self.addCleanup(os.close, self.fd)
        self.echo = True

    def send(self, text):
        os.write(self.fd, text if isinstance(text, bytes) else text.encode())

    def line(self):
        return read_until(self.fd, b"\r\n")[:-2].decode()

    def command(self, text, lines=1):
        """Sends a command line; checks the echo when echo is on; returns the
        answer lines."""
        self.send(text + "\r\n")
        if self.echo:
            self.assertEqual(read_exactly(self.fd, len(text) + 2), (text + "\r\n").encode())
        return [self.line() for _ in range(lines)]

    def sync(self):
        self.send("?")
        self.assertEqual(self.line(), "Synchronized")
        self.send("Synchronized\r\n")
        if self.echo:
            self.assertEqual(self.line(), "Synchronized")
        self.assertEqual(self.line(), "OK")
        self.send("14746\r\n")
        if self.echo:
            self.assertEqual(self.line(), "14746")
        self.assertEqual(self.line(), "OK")

    def echo_off(self):
        self.assertEqual(self.command("A 0"), ["0"])
        self.echo = False

    def send_block(self, data, checksum=None):
        """UU lines of up to 45 bytes, then the checksum; returns the answer."""
        for pos in range(0, len(data), 45):
            line = uu_line(data[pos:pos + 45]) + b"\r\n"
            self.send(line)
            if self.echo:
                self.assertEqual(read_exactly(self.fd, len(line)), line)
        text = "%d\r\n" % (sum(data) if checksum is None else checksum)
        self.send(text)
        if self.echo:
            self.assertEqual(read_exactly(self.fd, len(text)), text.encode())
        return self.line()

    def write_ram(self, address, data):
        self.assertEqual(self.command("W %d %d" % (address, len(data))), ["0"])
        for pos in range(0, len(data), 900):
            self.assertEqual(self.send_block(data[pos:pos + 900]), "OK")

    def ram(self, address, count):
        return bytes.fromhex(self.sim.control("read", space="ram", address=address,
                                              count=count)["hex"])

    def flash(self, address, count):
        return bytes.fromhex(self.sim.control("read", space="flash", address=address,
                                              count=count)["hex"])

    def assert_silent(self, since):
        """Nothing came back for what the simulator has taken in: it writes
        any answer before it records the event."""
        self.sim.wait_event(lambda e: e["event"] in ("ignored", "baud_mismatch"), since)
        self.assertEqual(pending(self.fd), b"")


class SynchronisationAndEcho(LpcCase):
    def test_auto_baud_records_crystal_and_line_rate(self):
        self.sync()
        status = self.sim.control("status")
        self.assertEqual(status["state"], "command")
        self.assertEqual(status["crystal_khz"], 14746)
        self.assertEqual(status["line_speed"], 115200)

    def test_bytes_before_the_question_mark_are_ignored(self):
        seq = self.sim.next_seq()
        self.send("J\r\n")
        self.assert_silent(seq)
        self.sync()

    def test_repeated_question_mark_is_not_taken_into_the_line(self):
        self.send("?")
        self.assertEqual(self.line(), "Synchronized")
        self.send("??Synchronized\r\n")
        self.assertEqual(self.line(), "Synchronized")
        self.assertEqual(self.line(), "OK")

    def test_wrong_sync_string_starts_auto_baud_again(self):
        self.send("?")
        self.assertEqual(self.line(), "Synchronized")
        self.send("Synchronised\r\n")
        self.assertEqual(self.line(), "Synchronised")
        self.assertEqual(self.sim.control("status")["state"], "unsync")
        self.sync()

    def test_echo_on_after_reset_then_off_and_on(self):
        self.sync()
        self.assertEqual(self.command("J", 2), ["0", str(0x26013F37)])
        self.echo_off()
        self.assertEqual(self.command("J", 2), ["0", str(0x26013F37)])
        self.assertEqual(self.command("A 1"), ["0"])
        self.echo = True
        self.assertEqual(self.command("K", 3), ["0", "4", "1"])
        self.assertEqual(self.command("A 2"), ["12"])

    def test_reset_restores_echo_and_lock(self):
        self.sync()
        self.echo_off()
        self.assertEqual(self.command("U 23130"), ["0"])
        status = self.sim.control("reset")
        self.assertEqual((status["state"], status["echo"], status["unlocked"]),
                         ("unsync", True, False))


class InitialEchoOff(LpcCase):
    sim_args = ("--echo-off", "--part-id", "0x26113F37", "--boot-version", "8.2")

    def test_nothing_is_echoed_from_the_start(self):
        self.echo = False
        self.sync()
        self.assertEqual(self.command("J", 2), ["0", str(0x26113F37)])
        self.assertEqual(self.command("K", 3), ["0", "8", "2"])


class IdentityCommands(LpcCase):
    sim_args = ("--serial-number", "0x01020304,5,0xFFFFFFFF,0")

    def test_serial_number_words_in_order_and_reconfigurable(self):
        self.sync()
        self.assertEqual(self.command("N", 5), ["0", str(0x01020304), "5", "4294967295", "0"])
        self.sim.control("configure", serial_number=[10, 20, 30, 40])
        self.assertEqual(self.command("N", 5), ["0", "10", "20", "30", "40"])

    def test_unknown_and_malformed_commands(self):
        self.sync()
        self.assertEqual(self.command("X"), ["1"])
        self.assertEqual(self.command("U"), ["12"])
        self.assertEqual(self.command("U 0x5A5A"), ["12"])
        self.assertEqual(self.command("N 1"), ["12"])
        self.assertEqual(self.command("U 23131"), ["16"])
        self.assertEqual(self.command("U 23130"), ["0"])

    def test_baud_rate_command(self):
        self.sync()
        self.echo_off()
        self.assertEqual(self.command("B 1234 1"), ["17"])
        self.assertEqual(self.command("B 57600 3"), ["18"])
        self.assertEqual(self.command("B 57600 1"), ["0"])
        # The ROM now listens at 57600: at the old rate it hears only noise.
        seq = self.sim.next_seq()
        self.send("J\r\n")
        self.assert_silent(seq)
        rom_sims.set_rate(self.fd, 57600)
        self.assertEqual(self.command("J", 2)[0], "0")
        self.assertEqual(self.sim.control("status")["isp_baud"], 57600)


class AutoBaudLock(LpcCase):
    def test_rate_is_kept_from_auto_baud_across_reopen(self):
        self.sync()
        os.close(self.fd)
        self.fd = open_raw_pty(self.sim.ready["pty"], 57600)
        seq = self.sim.next_seq()
        self.send("N\r\n")
        event = self.sim.wait_event(lambda e: e["event"] == "baud_mismatch", seq)
        self.assertEqual((event["speed"], event["expected"]), (57600, 115200))
        self.assertEqual(pending(self.fd), b"")
        rom_sims.set_rate(self.fd, 115200)
        self.assertEqual(self.command("N", 5)[0], "0")


class AnyBaud(LpcCase):
    sim_args = ("--any-baud",)

    def test_any_rate_accepted_after_auto_baud(self):
        self.sync()
        rom_sims.set_rate(self.fd, 9600)
        self.assertEqual(self.command("J", 2)[0], "0")


class SectorCommands(LpcCase):
    def setUp(self):
        super().setUp()
        self.sync()
        self.echo_off()

    def test_prepare_checks_range(self):
        self.assertEqual(self.command("P 0 29"), ["0"])
        self.assertEqual(self.command("P 5 3"), ["12"])
        self.assertEqual(self.command("P 0 30"), ["7"])
        self.assertEqual(self.command("P 30 30"), ["7"])
        self.assertEqual(self.command("P 0"), ["12"])
        self.assertEqual(self.sim.control("status")["prepared"], list(range(30)))

    def test_erase_needs_unlock_and_prepare_and_unprepares(self):
        self.sim.control("poke", space="flash", address=0x1000, hex="00112233")
        self.sim.control("poke", space="flash", address=0x10000, hex="44556677")
        self.assertEqual(self.command("P 1 16"), ["0"])
        self.assertEqual(self.command("E 1 16"), ["15"])
        self.assertEqual(self.command("U 23130"), ["0"])
        self.assertEqual(self.command("E 1 17"), ["9"])
        self.assertEqual(self.command("E 3 1"), ["12"])
        self.assertEqual(self.command("E 1 16"), ["0"])
        self.assertEqual(self.flash(0x1000, 4), b"\xff" * 4)
        self.assertEqual(self.flash(0x10000, 4), b"\xff" * 4)
        self.assertEqual(self.command("E 1 1"), ["9"])
        self.assertEqual(self.sim.control("status")["prepared"], [])


class WriteToRam(LpcCase):
    def setUp(self):
        super().setUp()
        self.sync()

    def test_parameter_checks(self):
        self.assertEqual(self.command("W %d 4" % (STAGING + 2)), ["13"])
        self.assertEqual(self.command("W %d 6" % STAGING), ["6"])
        self.assertEqual(self.command("W 4096 4"), ["14"])
        self.assertEqual(self.command("W %d 8" % (RAM + 0x8000 - 4)), ["14"])
        self.assertEqual(self.command("W %d" % STAGING), ["12"])

    def test_encoding_edge_cases_decode_exactly(self):
        self.assertEqual(uu_line(b"\x00\x00\x00"), b"\x23\x60\x60\x60\x60")
        self.assertEqual(uu_line(b"\xff"), b"\x21\x5f\x50\x60\x60")
        self.assertEqual(self.command("W %d 4" % STAGING), ["0"])
        for line in (b"\x23\x60\x60\x60\x60", b"\x21\x5f\x50\x60\x60"):
            self.send(line + b"\r\n")
            self.assertEqual(read_exactly(self.fd, 7), line + b"\r\n")
        self.send("255\r\n")
        self.assertEqual(self.line(), "255")
        self.assertEqual(self.line(), "OK")
        self.assertEqual(self.ram(STAGING, 4), b"\x00\x00\x00\xff")

    def test_900_bytes_one_block_with_echo(self):
        data = pattern(900)
        self.assertEqual(len(uu_line(data[:45])), 61)
        self.assertEqual(uu_line(data[:45])[0], 0x4D)
        self.write_ram(STAGING, data)
        self.assertEqual(self.ram(STAGING, 900), data)
        blocks = [e for e in self.sim.events() if e["event"] == "block"]
        self.assertEqual([(b["lines"], b["bytes"], b["answer"]) for b in blocks],
                         [(20, 900, "OK")])

    def test_904_bytes_two_blocks_without_echo(self):
        self.echo_off()
        data = pattern(904, 3)
        self.write_ram(STAGING, data)
        self.assertEqual(self.ram(STAGING, 904), data)
        blocks = [e for e in self.sim.events() if e["event"] == "block"]
        self.assertEqual([(b["lines"], b["bytes"]) for b in blocks], [(20, 900), (1, 4)])
        self.assertEqual(self.sim.control("status")["state"], "command")

    def test_wrong_checksum_discards_the_block_until_resent(self):
        self.echo_off()
        data = pattern(904, 5)
        self.assertEqual(self.command("W %d 904" % STAGING), ["0"])
        self.assertEqual(self.send_block(data[:900], sum(data[:900]) + 1), "RESEND")
        self.assertEqual(self.ram(STAGING, 4), b"\x00" * 4)
        self.assertEqual(self.send_block(data[:900]), "OK")
        self.assertEqual(self.send_block(data[900:], 0), "RESEND")
        self.assertEqual(self.send_block(data[900:]), "OK")
        self.assertEqual(self.ram(STAGING, 904), data)

    def test_resend_once_fault_refuses_a_good_block(self):
        self.echo_off()
        self.sim.control("fault", name="resend_once")
        data = pattern(8)
        self.assertEqual(self.command("W %d 8" % STAGING), ["0"])
        self.assertEqual(self.send_block(data), "RESEND")
        self.assertEqual(self.send_block(data), "OK")
        self.assertEqual(self.ram(STAGING, 8), data)

    def test_lost_line_fails_its_block(self):
        self.echo_off()
        self.sim.control("fault", name="lose_line")
        data = pattern(92, 9)
        self.assertEqual(self.command("W %d 92" % STAGING), ["0"])
        self.assertEqual(self.send_block(data), "RESEND")
        self.assertEqual(self.ram(STAGING, 92), bytes(92))
        self.assertEqual(self.send_block(data), "OK")
        self.assertEqual(self.ram(STAGING, 92), data)


class ResendOnceOption(LpcCase):
    sim_args = ("--resend-once", "--echo-off")

    def test_first_block_refused(self):
        self.echo = False
        self.sync()
        self.assertEqual(self.command("W %d 4" % STAGING), ["0"])
        self.assertEqual(self.send_block(b"abcd"), "RESEND")
        self.assertEqual(self.send_block(b"abcd"), "OK")


class ReadMemory(LpcCase):
    def setUp(self):
        super().setUp()
        self.sync()
        self.echo_off()

    def receive_block(self, lines, data=b""):
        for _ in range(lines):
            data += uu_unline(read_until(self.fd, b"\r\n")[:-2])
        self.assertEqual(int(self.line()), sum(data))
        return data

    def test_known_bytes_encode_exactly(self):
        self.sim.control("poke", space="flash", address=0x100, hex="000000ff")
        self.assertEqual(self.command("R 256 4"), ["0"])
        self.assertEqual(read_until(self.fd, b"\r\n"), b"\x24````_P``\r\n")
        self.assertEqual(self.line(), "255")
        self.send("OK\r\n")
        self.assertEqual(self.command("J", 2)[0], "0")

    def test_904_bytes_of_ram_with_a_resend(self):
        data = pattern(904, 11)
        self.sim.control("poke", space="ram", address=STAGING, hex=data.hex())
        self.assertEqual(self.command("R %d 904" % STAGING), ["0"])
        first = read_until(self.fd, b"\r\n")
        self.assertEqual((len(first), first[0]), (63, 0x4D))
        got = self.receive_block(19, uu_unline(first[:-2]))
        self.send("RESEND\r\n")
        self.assertEqual(self.receive_block(20), got)
        self.send("OK\r\n")
        got += self.receive_block(1)
        self.send("OK\r\n")
        self.assertEqual(got, data)
        self.sim.wait_state("command")

    def test_parameter_checks(self):
        self.assertEqual(self.command("R 2 4"), ["13"])
        self.assertEqual(self.command("R 0 5"), ["6"])
        self.assertEqual(self.command("R %d 4" % 0x80000), ["14"])


class CopyToFlash(LpcCase):
    def setUp(self):
        super().setUp()
        self.sync()
        self.echo_off()

    def test_rules(self):
        self.assertEqual(self.command("C 0 %d 256" % STAGING), ["15"])
        self.assertEqual(self.command("U 23130"), ["0"])
        self.assertEqual(self.command("C %d %d 256" % (0x1080, STAGING)), ["3"])
        self.assertEqual(self.command("C 0 %d 256" % (STAGING + 2)), ["2"])
        self.assertEqual(self.command("C 0 %d 2048" % STAGING), ["6"])
        self.assertEqual(self.command("C 0 %d 100" % STAGING), ["6"])
        self.assertEqual(self.command("C %d %d 4096" % (0x7F100, STAGING)), ["5"])
        self.assertEqual(self.command("C 0 %d 4096" % (RAM + 0x7F00)), ["4"])
        self.assertEqual(self.command("C 0 %d 256" % STAGING), ["9"])
        self.assertEqual(self.command("C 0 %d" % STAGING), ["12"])

    def test_copy_needs_every_sector_it_touches_prepared(self):
        self.assertEqual(self.command("U 23130"), ["0"])
        self.assertEqual(self.command("P 15 15"), ["0"])
        self.assertEqual(self.command("C %d %d 4096" % (0xF800, STAGING)), ["9"])
        self.assertEqual(self.command("P 15 16"), ["0"])
        self.assertEqual(self.command("C %d %d 4096" % (0xF800, STAGING)), ["0"])
        self.assertEqual(self.sim.control("status")["prepared"], [])

    def test_programming_only_clears_bits(self):
        self.assertEqual(self.command("U 23130"), ["0"])
        self.write_ram(STAGING, b"\x0f" * 256)
        self.assertEqual(self.command("P 0 0"), ["0"])
        self.assertEqual(self.command("C 0 %d 256" % STAGING), ["0"])
        self.write_ram(STAGING, b"\xf1" * 256)
        self.assertEqual(self.command("P 0 0"), ["0"])
        self.assertEqual(self.command("C 0 %d 256" % STAGING), ["0"])
        self.assertEqual(self.flash(0, 256), b"\x01" * 256)
        copies = [e for e in self.sim.events() if e.get("line", "").startswith("C 0 ")]
        self.assertEqual([c["stuck_bytes"] for c in copies], [0, 256])


class ProgrammingSession(LpcCase):
    def test_the_recovery_sequence_then_go(self):
        dump = self.sim.path("flash.bin")
        self.sync()
        self.assertEqual(self.command("U 23130"), ["0"])
        self.assertEqual(self.command("P 0 29"), ["0"])
        self.assertEqual(self.command("E 0 29"), ["0"])
        self.echo_off()
        image = pattern(4096 + 1024, 13)
        for offset in (0, 4096):
            chunk = image[offset:offset + 4096]
            chunk += b"\xff" * (-len(chunk) % 1024)
            self.write_ram(STAGING, chunk)
            sector = offset // 4096
            self.assertEqual(self.command("P %d %d" % (sector, sector)), ["0"])
            self.assertEqual(self.command("C %d %d %d" % (offset, STAGING, len(chunk))), ["0"])
        self.assertEqual(self.command("A 1"), ["0"])
        self.echo = True
        self.assertEqual(self.command("G 0 A"), ["12"])
        self.assertEqual(self.command("G %d T" % 0x90000), ["14"])
        self.assertEqual(self.command("G 0 T"), ["0"])
        status = self.sim.control("status")
        self.assertEqual((status["running"], status["go_address"]), (True, 0))
        seq = self.sim.next_seq()
        self.send("?")
        self.assert_silent(seq)
        self.sim.control("dump", flash=dump)
        with open(dump, "rb") as f:
            flash = f.read()
        self.assertEqual(len(flash), 512 * 1024)
        self.assertEqual(flash[:len(image)], image)
        self.assertEqual(flash[len(image):], b"\xff" * (len(flash) - len(image)))


class DumpsOnExitAndEventLog(unittest.TestCase):
    def test_exit_on_go_writes_dumps_and_log(self):
        with RomSim("lpc_rom_sim.py", "--exit-on-go", "--echo-off") as sim:
            fd = open_raw_pty(sim.ready["pty"])
            try:
                os.write(fd, b"?")
                read_until(fd, b"Synchronized\r\n")
                os.write(fd, b"Synchronized\r\n")
                read_until(fd, b"OK\r\n")
                os.write(fd, b"12000\r\n")
                read_until(fd, b"OK\r\n")
                os.write(fd, b"U 23130\r\n")
                read_until(fd, b"0\r\n")
                os.write(fd, b"G 0 T\r\n")
                self.assertEqual(sim.proc.wait(timeout=rom_sims.REPLY_TIMEOUT), 0)
            finally:
                os.close(fd)
            with open(sim.log_path, encoding="utf-8") as f:
                events = [json.loads(line) for line in f]
        commands = [(e["line"], e["answer"]) for e in events if e["event"] == "command"]
        self.assertEqual(commands, [("?", ["Synchronized"]), ("Synchronized", ["OK"]),
                                    ("12000", ["OK"]), ("U 23130", ["0"]), ("G 0 T", ["0"])])
        self.assertEqual(events[-1]["event"], "exit")

    def test_dump_files_on_quit(self):
        sim = RomSim("lpc_rom_sim.py", "--dump-flash", "{dir}/f.bin", "--dump-ram",
                     "{dir}/r.bin", "--ram-size", "16K", "--sectors", "8x1K")
        flash, ram = sim.path("f.bin"), sim.path("r.bin")
        with sim:
            sim.control("poke", space="ram", address=RAM + 4, hex="abcd")
            self.assertEqual(sim.stop(), 0)
            with open(flash, "rb") as f:
                self.assertEqual(f.read(), b"\xff" * 8192)
            with open(ram, "rb") as f:
                data = f.read()
        self.assertEqual((len(data), data[4:6]), (16384, b"\xab\xcd"))


class Faults(LpcCase):
    def test_silent_rom(self):
        self.sim.control("fault", name="silent")
        seq = self.sim.next_seq()
        self.send("?")
        self.assert_silent(seq)
        self.sim.control("fault", name="silent", on=False)
        self.sync()

    def test_silent_after_sync(self):
        self.sync()
        self.sim.control("fault", name="silent")
        seq = self.sim.next_seq()
        self.send("J\r\n")
        self.assert_silent(seq)

    def test_not_an_lpc(self):
        self.sim.control("fault", name="not_lpc")
        seq = self.sim.next_seq()
        self.send("?")
        self.assert_silent(seq)
        self.assertEqual(self.sim.control("status")["state"], "unsync")

    def test_refused_command_with_chosen_code(self):
        self.sync()
        self.echo_off()
        self.sim.control("fault", name="refuse", command="U", code=19, times=1)
        self.assertEqual(self.command("U 23130"), ["19"])
        self.assertEqual(self.command("U 23130"), ["0"])
        self.sim.control("fault", name="refuse", command="W", code="ADDR_NOT_MAPPED")
        self.assertEqual(self.command("W %d 4" % STAGING), ["14"])
        self.assertEqual(self.command("W %d 4" % STAGING), ["14"])
        self.assertEqual(self.sim.control("status")["state"], "command")
        self.sim.control("fault", name="clear")
        self.assertEqual(self.command("W %d 4" % STAGING), ["0"])


class FaultOptions(LpcCase):
    sim_args = ("--refuse", "E:SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION:2", "--refuse", "N:11")

    def test_refusals_from_the_command_line(self):
        self.sync()
        self.echo_off()
        self.assertEqual(self.command("U 23130"), ["0"])
        self.assertEqual(self.command("P 0 0"), ["0"])
        self.assertEqual(self.command("E 0 0"), ["9"])
        self.assertEqual(self.command("E 0 0"), ["9"])
        self.assertEqual(self.command("E 0 0"), ["0"])
        self.assertEqual(self.command("N"), ["11"])


class SilentAndNotLpcOptions(unittest.TestCase):
    def test_options_switch_the_faults_on(self):
        for option in ("--silent", "--not-lpc"):
            with self.subTest(option=option), RomSim("lpc_rom_sim.py", option) as sim:
                fd = open_raw_pty(sim.ready["pty"])
                try:
                    os.write(fd, b"?")
                    sim.wait_event(lambda e: e["event"] == "ignored")
                    self.assertEqual(pending(fd), b"")
                finally:
                    os.close(fd)


if __name__ == "__main__":
    updater_test.main()
