"""The i.MX RT1050 serial download ROM simulator, over its pseudo-terminal
(16-byte commands, plain data) and over the HID harness socket (reports as
JSON lines), driven by the test's own client and fake harness."""

import errno
import json
import os
import select
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import rom_sims  # noqa: E402
import updater_test  # noqa: E402
from rom_sims import RomSim, open_raw_pty, pending, read_exactly  # noqa: E402

HAB_OPEN = bytes.fromhex("56787856")
HAB_CLOSED = bytes.fromhex("12343412")
ACK = bytes.fromhex("f0f0f0f0")
FILE_DONE = bytes.fromhex("88888888")
REGISTER_DONE = bytes.fromhex("128a8a12")
LOAD = 0x20000000
IVT = 0x20000400


def sdp(kind, address=0, fmt=0, count=0, data=0):
    """The 16-byte command, fields big-endian."""
    return (kind.to_bytes(2, "big") + address.to_bytes(4, "big") + bytes([fmt])
            + count.to_bytes(4, "big") + data.to_bytes(4, "big") + b"\x00")


def image(size, seed=3):
    return bytes((i * 13 + seed) & 0xFF for i in range(size))


class FakeHarness:
    """The umockdev harness's side of the socket: forwards output reports and
    collects what the simulator sends back until its ack."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(rom_sims.REPLY_TIMEOUT)
        self.sock.connect(path)
        self.buf = b""

    def close(self):
        self.sock.close()

    def recv(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("simulator closed the harness socket")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def write(self, report):
        """Sends one output report; returns (input reports, other messages)."""
        self.sock.sendall((json.dumps({"op": "report", "data": report.hex()}) + "\n").encode())
        reports, others = [], []
        while True:
            message = self.recv()
            if message["op"] == "ack":
                self.last_ack = message
                return reports, others
            if message["op"] == "report":
                reports.append(bytes.fromhex(message["data"]))
            else:
                others.append(message)


class SerialCase(unittest.TestCase):
    sim_args = ()

    def setUp(self):
        self.sim = RomSim("imx_sdp_sim.py", "--pty", *self.sim_args)
        self.sim.__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.fd = open_raw_pty(self.sim.ready["pty"])
        self.addCleanup(self.close_fd)

    def close_fd(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def ask(self, command, answer_length=8):
        os.write(self.fd, command)
        return read_exactly(self.fd, answer_length)

    def write_file(self, data, address=LOAD):
        os.write(self.fd, sdp(0x0404, address, 0x20, len(data)))
        for pos in range(0, len(data), 1024):
            os.write(self.fd, data[pos:pos + 1024])
        return read_exactly(self.fd, 8)

    def assert_no_answer(self, since, event="command"):
        self.sim.wait_event(lambda e: e["event"] == event, since)
        self.assertEqual(pending(self.fd), b"")


class SerialProtocol(SerialCase):
    sim_args = ("--fuse", "0x401F4420=0xCAFEF00D")

    def test_error_status(self):
        self.assertEqual(self.ask(sdp(0x0505)), HAB_OPEN + ACK)

    def test_unique_id_fuses(self):
        command = sdp(0x0101, 0x401F4410, 0x20, 4)
        self.assertEqual(command, bytes.fromhex("0101401f44102000000004") + bytes(5))
        word0 = self.ask(command)
        self.assertEqual(word0[:4], HAB_OPEN)
        self.assertEqual(word0[4:], struct.pack("<I", 0x5A3C0F1E))
        self.assertEqual(self.ask(sdp(0x0101, 0x401F4420, 0x20, 4)),
                         HAB_OPEN + struct.pack("<I", 0xCAFEF00D))
        self.sim.control("set_fuse", address=0x401F4410, value=7)
        self.assertEqual(self.ask(sdp(0x0101, 0x401F4410, 0x20, 4))[4:], b"\x07\x00\x00\x00")

    def test_write_register_then_read_it_back(self):
        self.assertEqual(self.ask(sdp(0x0202, 0x20200000, 0x20, 4, 0x11223344)),
                         HAB_OPEN + REGISTER_DONE)
        self.assertEqual(self.ask(sdp(0x0101, 0x20200000, 0x20, 4))[4:],
                         struct.pack("<I", 0x11223344))

    def test_file_of_two_full_packets_and_452_bytes_then_jump(self):
        data = image(2 * 1024 + 452)
        self.assertEqual(self.write_file(data), HAB_OPEN + FILE_DONE)
        ram = bytes.fromhex(self.sim.control("read", address=LOAD, count=len(data))["hex"])
        self.assertEqual(ram, data)
        files = [e for e in self.sim.events() if e["event"] == "file"]
        self.assertEqual([(f["address"], f["count"], f["received"]) for f in files],
                         [(LOAD, 2500, 2500)])
        os.write(self.fd, sdp(0x0B0B, IVT))
        self.assertEqual(read_exactly(self.fd, 4), HAB_OPEN)
        status = self.sim.control("status")
        self.assertEqual((status["state"], status["jump_address"]), ("jumped", IVT))
        seq = self.sim.next_seq()
        os.write(self.fd, sdp(0x0505))
        self.assert_no_answer(seq, "ignored")

    def test_jump_outside_written_ram_is_refused(self):
        self.assertEqual(self.write_file(image(64)), HAB_OPEN + FILE_DONE)
        answer = self.ask(sdp(0x0B0B, IVT))
        self.assertEqual(answer[:4], HAB_OPEN)
        self.assertNotEqual(answer[4:], FILE_DONE)
        self.assertEqual(self.sim.control("status")["state"], "idle")
        self.assertEqual(self.ask(sdp(0x0B0B, LOAD + 8), 4), HAB_OPEN)

    def test_ram_dump_has_the_written_segments(self):
        self.write_file(image(100, 1), LOAD)
        self.write_file(image(40, 2), LOAD + 0x1000)
        self.write_file(image(20, 3), LOAD + 90)
        path = self.sim.path("ram.json")
        self.sim.control("dump", path=path)
        with open(path, encoding="utf-8") as f:
            segments = json.load(f)["segments"]
        first = bytearray(image(100, 1))
        first[90:110] = image(20, 3)
        self.assertEqual([(s["address"], bytes.fromhex(s["hex"])) for s in segments],
                         [(LOAD, bytes(first)), (LOAD + 0x1000, image(40, 2))])

    def test_unknown_command_gets_no_answer(self):
        seq = self.sim.next_seq()
        os.write(self.fd, sdp(0x0A0B))
        self.assert_no_answer(seq)
        self.assertEqual(self.ask(sdp(0x0505)), HAB_OPEN + ACK)


class SerialStrayBytes(SerialCase):
    sim_args = ("--command-gap", "50")

    def test_a_pause_drops_a_partial_command(self):
        # What an LPC probe leaves on the line before the SDP client starts.
        os.write(self.fd, b"?")
        self.sim.wait_event(lambda e: e["event"] == "in")
        time.sleep(0.2)
        self.assertEqual(self.ask(sdp(0x0505)), HAB_OPEN + ACK)
        self.assertEqual(self.sim.wait_event(lambda e: e["event"] == "discarded")["hex"], "3f")


class SerialClosed(SerialCase):
    sim_args = ("--hab", "closed", "--error-status", "0x12345678")

    def test_closed_part_and_chosen_error_status(self):
        self.assertEqual(self.ask(sdp(0x0505)), HAB_CLOSED + bytes.fromhex("78563412"))


class SerialFaults(SerialCase):
    def test_silent(self):
        self.sim.control("fault", name="silent")
        for _ in range(5):
            seq = self.sim.next_seq()
            os.write(self.fd, sdp(0x0505))
            self.assert_no_answer(seq)
        self.sim.control("fault", name="silent", on=False)
        self.assertEqual(self.ask(sdp(0x0505)), HAB_OPEN + ACK)

    def test_wrong_write_status(self):
        self.sim.control("fault", name="write_status", value=0x12345678)
        self.assertEqual(self.write_file(image(8)), HAB_OPEN + bytes.fromhex("78563412"))
        self.sim.control("fault", name="write_status", value=None)
        self.assertEqual(self.write_file(image(8)), HAB_OPEN + FILE_DONE)

    def test_answer_in_data_phase(self):
        self.sim.control("fault", name="answer_in_data")
        os.write(self.fd, sdp(0x0404, LOAD, 0x20, 4096))
        answer = read_exactly(self.fd, 8)
        self.assertEqual(answer[:4], HAB_OPEN)
        self.assertEqual(self.sim.control("status")["state"], "data")

    def test_disconnect_hangs_up_the_line(self):
        self.sim.control("disconnect")
        self.assertTrue(select.select([self.fd], [], [], rom_sims.REPLY_TIMEOUT)[0])
        try:
            self.assertEqual(os.read(self.fd, 64), b"")
        except OSError as e:
            self.assertEqual(e.errno, errno.EIO)


class SerialDisconnectAfter(SerialCase):
    sim_args = ("--disconnect-after", "3")

    def test_unplugged_after_the_second_data_packet(self):
        os.write(self.fd, sdp(0x0404, LOAD, 0x20, 3000))
        os.write(self.fd, image(1024))
        os.write(self.fd, image(1024))
        self.sim.wait_event(lambda e: e["event"] == "disconnect")
        self.assertEqual(self.sim.control("status")["transfer"]["received"], 2048)


class HidCase(unittest.TestCase):
    sim_args = ()

    def setUp(self):
        self.sim = RomSim("imx_sdp_sim.py", "--hid-socket", "{dir}/hid.sock", *self.sim_args)
        self.sim.__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.harness = FakeHarness(self.sim.ready["hid_socket"])
        self.addCleanup(self.harness.close)
        self.attach = self.harness.recv()

    def command(self, *fields):
        return self.harness.write(b"\x01" + sdp(*fields))

    def write_file(self, data, address=LOAD):
        reports, _ = self.command(0x0404, address, 0x20, len(data))
        self.assertEqual(reports, [])
        for pos in range(0, len(data), 1024):
            reports, _ = self.harness.write(b"\x02" + data[pos:pos + 1024])
        return reports


class HidProtocol(HidCase):
    sim_args = ("--hid-serial", "ABC123")

    def test_attach_names_the_rom_device(self):
        self.assertEqual((self.attach["op"], self.attach["vid"], self.attach["pid"],
                          self.attach["serial"]), ("attach", 8137, 304, "ABC123"))
        self.assertIn("product", self.attach)

    def test_error_status_reports(self):
        reports, _ = self.command(0x0505)
        self.assertEqual(reports, [b"\x03" + HAB_OPEN, b"\x04" + ACK + bytes(60)])
        self.assertEqual(self.harness.last_ack["reports"], 2)

    def test_read_register_report_and_answer(self):
        report = b"\x01" + sdp(0x0101, 0x401F4410, 0x20, 4)
        self.assertEqual(report, bytes.fromhex("010101401f44102000000004") + bytes(5))
        reports, _ = self.harness.write(report)
        self.assertEqual([len(r) for r in reports], [5, 65])
        self.assertEqual(reports[1][1:5], struct.pack("<I", 0x5A3C0F1E))

    def test_long_register_read_spans_reports(self):
        self.write_file(image(100))
        reports, _ = self.command(0x0101, LOAD, 0x20, 100)
        self.assertEqual([r[0] for r in reports], [3, 4, 4])
        self.assertEqual(reports[1][1:] + reports[2][1:37], image(100))

    def test_file_in_three_data_reports_then_jump_detaches(self):
        data = image(2 * 1024 + 452)
        reports, _ = self.command(0x0404, LOAD, 0x20, len(data))
        self.assertEqual(reports, [])
        answers = [self.harness.write(b"\x02" + data[pos:pos + 1024])[0]
                   for pos in (0, 1024, 2048)]
        self.assertEqual(answers[:2], [[], []])
        self.assertEqual(answers[2], [b"\x03" + HAB_OPEN, b"\x04" + FILE_DONE + bytes(60)])
        ram = bytes.fromhex(self.sim.control("read", address=LOAD, count=len(data))["hex"])
        self.assertEqual(ram, data)
        reports, others = self.command(0x0B0B, IVT)
        self.assertEqual(reports, [b"\x03" + HAB_OPEN])
        self.assertEqual([(m["op"], m["reason"]) for m in others], [("detach", "jump")])
        status = self.sim.control("status")
        self.assertEqual((status["jump_address"], status["attached"]), (IVT, False))
        self.assertEqual(self.command(0x0505), ([], []))

    def test_malformed_reports_are_not_answered(self):
        self.assertEqual(self.harness.write(b"\x01" + sdp(0x0505)[:15]), ([], []))
        self.assertEqual(self.harness.write(b"\x02" + b"stray data"), ([], []))
        self.assertEqual(self.harness.write(b"\x05" + bytes(16)), ([], []))
        kinds = [e["event"] for e in self.sim.events()]
        self.assertIn("malformed", kinds)
        self.assertIn("ignored", kinds)

    def test_event_log_has_every_packet_in_hex(self):
        self.command(0x0505)
        with open(self.sim.log_path, encoding="utf-8") as f:
            events = [json.loads(line) for line in f]
        packets = [(e["event"], e["hex"]) for e in events if e["event"] in ("in", "out")]
        self.assertEqual(packets, [("in", "01" + sdp(0x0505).hex()),
                                   ("out", "03" + HAB_OPEN.hex()),
                                   ("out", "04" + ACK.hex() + "00" * 60)])

    def test_reset_after_jump_plugs_the_rom_back_in(self):
        self.write_file(image(1024 + 8))
        self.command(0x0B0B, LOAD)
        self.sim.control("reset")
        self.assertEqual(self.harness.recv()["op"], "attach")
        self.assertEqual(len(self.command(0x0505)[0]), 2)


class HidFaults(HidCase):
    def test_silent_rom_for_five_probes(self):
        self.sim.control("fault", name="silent")
        for _ in range(5):
            self.assertEqual(self.command(0x0505), ([], []))

    def test_short_input_report(self):
        self.sim.control("fault", name="short_report", value=20)
        reports, _ = self.command(0x0505)
        self.assertEqual([len(r) for r in reports], [5, 20])

    def test_wrong_write_status(self):
        self.sim.control("fault", name="write_status", value=0)
        self.assertEqual(self.write_file(image(1500))[1][:5], b"\x04" + bytes(4))

    def test_answer_arrives_before_the_first_data_report(self):
        self.sim.control("fault", name="answer_in_data")
        reports, _ = self.command(0x0404, LOAD, 0x20, 2048)
        self.assertEqual([r[0] for r in reports], [3, 4])

    def test_disconnect_and_reattach(self):
        self.sim.control("disconnect")
        self.assertEqual(self.harness.recv(), {"op": "detach", "reason": "fault"})
        self.assertEqual(self.command(0x0505), ([], []))
        self.sim.control("attach")
        self.assertEqual(self.harness.recv()["op"], "attach")
        self.assertEqual(len(self.command(0x0505)[0]), 2)


class HidFaultOptions(HidCase):
    sim_args = ("--short-report", "20", "--write-status", "0x11111111",
                "--disconnect-after", "3", "--stay-attached")

    def test_options_switch_the_faults_on(self):
        self.assertEqual([len(r) for r in self.command(0x0505)[0]], [5, 20])
        reports, _ = self.command(0x0404, LOAD, 0x20, 1024)
        self.assertEqual(reports, [])
        reports, others = self.harness.write(b"\x02" + image(1024))
        self.assertEqual(reports[1][1:5], b"\x11\x11\x11\x11")
        self.assertEqual(others, [{"op": "detach", "reason": "fault"}])


class BothTransportsAndDumpOnExit(unittest.TestCase):
    def test_one_rom_behind_both_and_dump_written_on_quit(self):
        sim = RomSim("imx_sdp_sim.py", "--pty", "--hid-socket", "{dir}/hid.sock",
                     "--dump-ram", "{dir}/ram.json", "--exit-on-jump")
        dump = sim.path("ram.json")
        with sim:
            harness = FakeHarness(sim.ready["hid_socket"])
            fd = open_raw_pty(sim.ready["pty"])
            try:
                harness.recv()
                harness.write(b"\x01" + sdp(0x0404, LOAD, 0x20, 4))
                harness.write(b"\x02" + b"\xde\xad\xbe\xef")
                os.write(fd, sdp(0x0505))
                self.assertEqual(read_exactly(fd, 8), HAB_OPEN + ACK)
                os.write(fd, sdp(0x0B0B, LOAD))
                self.assertEqual(sim.proc.wait(timeout=rom_sims.REPLY_TIMEOUT), 0)
            finally:
                os.close(fd)
                harness.close()
            with open(dump, encoding="utf-8") as f:
                segments = json.load(f)["segments"]
        self.assertEqual(segments, [{"address": LOAD, "length": 4, "hex": "deadbeef"}])


if __name__ == "__main__":
    updater_test.main()
