"""The simulator's link over TCP: framing, synchronisation, notices,
heartbeats, the system entity, descriptors, echo, the frame log and the
link-level fault switches."""

import os
import socket
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import updater_test  # noqa: E402
from vantorsim_client import Link, simulator  # noqa: E402

CONFIG = {"frame_timeout_ms": 100, "modules": [{
    "name": "hub", "serial": "1A2B3C4D", "model": 17, "address": 6, "router": 6,
    "version": "2.1.40", "build": 4711,
    "identifier": ["0x11111111", "0x22222222", "0x33333333", "0x44444444"],
    "device_name": {"text": "bench hub"},
    "heartbeat": {"interval": 0, "unit_ms": 20, "answer_timeout_ms": 60000},
    "descriptors": {"class_quantities": {"3": 1, "18": 4}, "subclass_quantities": {"18:2": 3},
                    "entity_groups": {"18:1": 9}},
    "options": {"12": {"type": "u32", "value": 12345}},
    "transports": {"tcp": {"bind": "127.0.0.1", "port": 0}}}]}

A = 6


class LinkTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = simulator.Simulator(CONFIG).start()
        cls.port = cls.sim.module("hub")["tcp"]["port"]

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def setUp(self):
        self.sim.control("clear_faults", module="hub")
        self.link = Link.tcp("127.0.0.1", self.port)
        self.sim.wait_for(lambda: len(self.sim.state("hub")["sessions"]) == 1, what="one session")

    def tearDown(self):
        self.link.close()

    def test_sync_request_is_answered_pair_by_pair(self):
        self.link.send_raw(bytes([0xAD, 0x00]) * 6)
        self.assertEqual(self.link.read_raw(12), bytes([A, 0x00]) * 6)
        self.link.send(0xAD)
        self.assertEqual(self.link.read_raw(2), bytes([A, 0]))

    def test_start_and_stop_notices_are_recorded(self):
        self.link.send(0xAF, b"\x01")
        self.link.send(0xAF, b"\x00")
        self.assertEqual(self.link.barrier(A), [])
        kinds = [n["kind"] for n in self.sim.state("hub")["notices"][-2:]]
        self.assertEqual(kinds, ["start", "stop"])

    def test_identity_options_have_the_exact_reply_layouts(self):
        cases = [(9, bytes([3, 9, 0]) + struct.pack(">I", 0x1A2B3C4D)),
                 (7, bytes([3, 7, 0]) + struct.pack(">I", (2 << 28) | (1 << 24) | 40)),
                 (8, bytes([3, 8, 0, 17])), (1, bytes([3, 1, 0, A])), (2, bytes([3, 2, 0, 6])),
                 (12, bytes([3, 12, 0]) + struct.pack(">I", 12345))]
        for option, expected in cases:
            with self.subTest(option=option):
                self.link.send(A, bytes([3, option | 0x40, 0x20]))
                self.assertEqual(self.link.recv(), (A, expected))
        self.assertEqual(len(self.link.get(A, 22)), 7)

    def test_identifier_words_by_subindex(self):
        for j, word in enumerate([0x11111111, 0x22222222, 0x33333333, 0x44444444]):
            self.link.send(A, bytes([3, 39 | 0x40, 0x20, j]))
            self.assertEqual(self.link.recv(), (A, bytes([3, 39, 0]) + struct.pack(">I", word)))
        self.assertEqual(self.link.get(A, 39, subindex=4), bytes([3, 39, 0x80, 26]))

    def test_set_and_get_byte_options(self):
        self.assertEqual(self.link.set(A, 4, [1]), bytes([3, 0xC4, 0]))
        self.assertEqual(self.link.get_u8(A, 4), 1)
        self.assertEqual(self.link.set(A, 2, [8]), bytes([3, 0xC2, 0]))
        self.assertEqual(self.link.get_u8(A, 2), 8)
        self.assertEqual(self.sim.state("hub")["led"], 1)
        self.link.set(A, 2, [6])
        self.assertEqual(self.link.set(A, 20, [1]), bytes([3, 0xD4, 0]))
        self.assertEqual(self.sim.state("hub")["route_to_me"], 1)
        self.link.set(A, 20, [0])

    def test_errors_carry_the_error_bit_and_code(self):
        self.assertEqual(self.link.get(A, 63), bytes([3, 63, 0x80, 29]))
        self.assertEqual(self.link.set(A, 9, [0, 0, 0, 1]), bytes([3, 0xC9, 0x80, 29]))
        self.assertEqual(self.link.get(A, 9, index=1), bytes([3, 9, 0x81, 26]))
        self.assertEqual(self.link.set(A, 4, [0, 1]), bytes([3, 0xC4, 0x80, 14]))
        self.link.send(A, bytes([50, 0x41, 0x20]))
        self.assertEqual(self.link.recv(), (A, bytes([50, 0x01, 0x80, 28])))

    def test_bytes_value_goes_both_ways_in_sequenced_packets(self):
        self.link.send(A, bytes([3, 32 | 0x40, 0x20]))
        self.assertEqual(self.link.recv(), (A, bytes([3, 32, 0]) + b"bench hub" + b"\x00"))
        name = bytes(range(50))
        chunks = [(name[0:24], 0x80), (name[24:48], 0x81), (name[48:], 0x02)]
        for chunk, seq in chunks[:2]:
            self.link.send(A, bytes([3, 0xA0, 0x20]) + chunk + bytes([seq]))
        self.assertEqual(self.link.barrier(A), [])
        self.link.send(A, bytes([3, 0xA0, 0x20]) + chunks[2][0] + bytes([chunks[2][1]]))
        self.assertEqual(self.link.recv(), (A, bytes([3, 0xE0, 0])))
        self.link.send(A, bytes([3, 32 | 0x40, 0x20]))
        replies = [self.link.recv()[1] for _ in range(3)]
        self.assertEqual(replies, [bytes([3, 32, 0]) + c + bytes([s]) for c, s in chunks])
        self.link.send(A, bytes([3, 0xA0, 0x20, 0x00]))
        self.assertEqual(self.link.recv(), (A, bytes([3, 0xE0, 0])))
        self.assertEqual(self.link.get(A, 32), bytes([3, 32, 0, 0]))
        self.link.send(A, bytes([3, 0xA0, 0x20, 0x41, 0x03]))
        self.assertEqual(self.link.recv(), (A, bytes([3, 0xE0, 0x80, 24])))
        self.link.send(A, bytes([3, 0xA0, 0x20]) + b"bench hub" + b"\x00")
        self.link.recv()

    def test_descriptor_exchanges(self):
        self.assertEqual(self.link.command(A, [73, 255]), bytes([73, 255, 0, 0, 0x12, 0x67]))
        self.assertEqual(self.link.command(A, [73, 4, 18]), bytes([73, 4, 18, 4]))
        self.assertEqual(self.link.command(A, [73, 4, 99]), bytes([73, 4, 99, 0]))
        self.assertEqual(self.link.command(A, [73, 5, 18, 2]), bytes([73, 5, 18, 2, 3]))
        self.assertEqual(self.link.command(A, [73, 6, 18, 1]), bytes([73, 6, 18, 1, 9]))
        self.assertEqual(self.link.command(A, [73, 1, 3, 9, 0, 0x40]), bytes([73, 1, 3, 9, 0, 1]))
        self.assertEqual(self.link.command(A, [73, 1, 3, 9, 0, 0x80]), bytes([73, 1, 3, 9, 0, 0]))
        self.assertEqual(self.link.command(A, [73, 1, 3, 60, 0, 0x40]), bytes([73, 1, 3, 60, 0, 0]))

    def test_debug_echo_returns_the_bytes(self):
        payload = bytes([23]) + bytes(range(1, 28))
        self.link.send(A, payload)
        self.assertEqual(self.link.recv(), (A, payload))

    def test_framing_skips_garbage_and_stale_partial_frames(self):
        self.link.send_raw(bytes([0x00, 0x03, 0x07, 0x02, 0x1D]))
        self.link.send(A, bytes([3, 0x49, 0x20]))
        self.assertEqual(self.link.reply(A, [3, 9])[3:], bytes.fromhex("1A2B3C4D"))
        self.link.send_raw(bytes([A, 5, 3]))
        self.sim.wait_for(lambda: any(e.get("decode") == "stale partial frame"
                                      for e in self.sim.log_entries()), what="stale frame")
        self.assertEqual(self.link.get_u8(A, 8), 17)
        kinds = {e["kind"] for e in self.sim.log_entries()}
        self.assertIn("garbage", kinds)

    def test_heartbeats_and_the_check_of_their_answers(self):
        before = dict(self.sim.state("hub")["heartbeats"])
        for value, answer in ((0, 2), (1, 9)):
            self.sim.control("heartbeat", module="hub", value=value)
            self.assertEqual(self.link.recv(), (A, bytes([0, value])))
            self.link.send(A, bytes([0, answer]))
            self.link.barrier(A)
        self.sim.control("heartbeat", module="hub", value=0)
        self.sim.control("heartbeat", module="hub", value=1)
        self.link.barrier(A)
        hb = self.sim.state("hub")["heartbeats"]
        self.assertEqual(hb["answered"] - before["answered"], 1)
        self.assertEqual(hb["wrong"] - before["wrong"], 1)
        self.assertEqual(hb["missing"] - before["missing"], 1)
        self.link.send(A, bytes([0, 3]))
        self.link.barrier(A)

    def test_heartbeat_interval_option_starts_periodic_heartbeats(self):
        self.link.set(A, 3, [2])
        try:
            for _ in range(2):
                _, data = self.link.recv(match=lambda a, d: len(d) == 2 and d[0] == 0)
                self.link.send(A, bytes([0, data[1] + 2]))
        finally:
            self.link.set(A, 3, [0])
        self.assertEqual(self.link.get_u8(A, 3), 0)

    def test_frame_log_records_both_directions(self):
        self.link.send(A, bytes([23, 0x77]))
        self.link.recv()
        frames = [e for e in self.sim.log_entries() if e["kind"] == "frame"]
        rx = [e for e in frames if e["dir"] == "rx" and e["hex"] == "06021777"]
        tx = [e for e in frames if e["dir"] == "tx" and e["hex"] == "06021777"]
        self.assertTrue(rx and tx)
        self.assertEqual(rx[-1]["transport"], "tcp")
        self.assertEqual(rx[-1]["module"], "1A2B3C4D")
        self.assertEqual(rx[-1]["decode"], "debug echo (1 bytes)")

    def test_fault_ignored_address_and_error_option(self):
        self.sim.control("fault", module="hub", name="ignore_addresses", value=[0xAD])
        self.link.send(0xAD)
        self.assertEqual(self.link.barrier(A), [])
        self.sim.control("fault", module="hub", name="error_options", value={"7": 18})
        self.assertEqual(self.link.get(A, 7), bytes([3, 7, 0x80, 18]))
        self.sim.control("fault", module="hub", name="no_serial", value=True)
        self.link.send(A, bytes([3, 0x49, 0x20]))
        self.assertEqual(self.link.barrier(A), [])
        self.sim.control("fault", module="hub", name="mute_commands", value=[73])
        self.link.send(A, bytes([73, 255]))
        self.assertEqual(self.link.barrier(A), [])
        self.sim.control("fault", module="hub", name="mute", value=True)

        def model_requests():
            return sum(1 for e in self.sim.log_entries()
                       if e.get("hex") == "0603034820" and e["dir"] == "rx")
        seen = model_requests()
        self.link.send(A, bytes([23, 1]))
        self.link.send(A, bytes([3, 0x48, 0x20]))
        self.sim.wait_for(lambda: model_requests() > seen, what="the request")
        self.sim.control("fault", module="hub", name="mute", value=None)
        self.assertEqual(self.link.barrier(A), [])

    def test_fault_build_reply_length(self):
        self.sim.control("fault", module="hub", name="build_reply_length", value=5)
        self.assertEqual(self.link.command(A, [73, 255]), bytes([73, 255, 0, 0, 0x12]))

    def test_fault_drop_after_frames(self):
        self.sim.control("fault", module="hub", name="drop_after_frames", value=2)
        self.link.send(A, bytes([23, 1]))
        self.link.send(A, bytes([23, 2]))
        self.link.recv()
        self.assertEqual(self.link.recv(), (A, bytes([23, 2])))
        with self.assertRaises((EOFError, ConnectionResetError)):
            self.link.recv()
        self.assertNotIn("drop_after_frames", self.sim.state("hub")["faults"])

    def test_fault_corrupt_byte_forces_a_resynchronisation(self):
        self.sim.control("fault", module="hub", name="corrupt_byte", value={"offset": 0, "value": 7})
        self.link.send(A, bytes([23, 0x42]))
        self.assertEqual(self.link.read_raw(4), bytes([7, 2, 23, 0x42]))
        self.link.send_raw(bytes([0xAD, 0]) * 6)
        self.assertEqual(self.link.read_raw(12), bytes([A, 0]) * 6)
        self.assertEqual(self.link.barrier(A), [])

    def test_control_refuses_bad_requests(self):
        self.assertFalse(self.sim.request({"cmd": "nonsense"})["ok"])
        self.assertFalse(self.sim.request({"cmd": "state", "module": "nobody"})["ok"])
        self.assertFalse(self.sim.request({"nothing": 1})["ok"])
        self.assertEqual(self.sim.request({"cmd": "ping", "id": 7}), {"ok": True, "id": 7})


class ConfigTest(unittest.TestCase):
    def test_a_bad_configuration_is_refused_with_its_reason(self):
        bad = {"modules": [{"serial": "XYZ", "transports": {}}]}
        with self.assertRaises(simulator.SimulatorError) as ctx:
            with simulator.Simulator(bad):
                pass
        self.assertIn("serial: not hexadecimal", str(ctx.exception))

    def test_ports_are_real_and_distinct(self):
        cfg = {"modules": [{"name": n, "serial": s, "transports": {"tcp": {}}}
                           for n, s in (("a", "1"), ("b", "2"))]}
        with simulator.Simulator(cfg) as sim:
            ports = {sim.module(n)["tcp"]["port"] for n in ("a", "b")}
            self.assertEqual(len(ports), 2)
            for port in ports:
                socket.create_connection(("127.0.0.1", port), timeout=5).close()


if __name__ == "__main__":
    updater_test.main()
