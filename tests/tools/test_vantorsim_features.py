"""Streams and their sample packets, store slots and factory data."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import updater_test  # noqa: E402
from vantorsim_client import Link, simulator  # noqa: E402

A = 2
CONFIG = {"modules": [{
    "name": "hub", "serial": "0000BEEF", "address": A,
    "stores": {"0": {"slots": 2, "capacity": 100, "contents": {"1": "41" * 60}},
               "3": {"slots": 1, "capacity": 20}},
    "factory": {"0": bytes(range(34)).hex(), "2": ""},
    "factory_capacity": 60,
    "streams": [{"command": 18, "option": 1, "index": 0, "type": 3, "period_ms": 10,
                 "values": [100, 200]}],
    "transports": {"tcp": {}}}]}


def stamp(t):
    return struct.pack(">II", t >> 32, t & 0xFFFFFFFF)


class StreamTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = simulator.Simulator(CONFIG).start()
        cls.link = Link.tcp("127.0.0.1", cls.sim.module("hub")["tcp"]["port"])
        cls.sim.wait_for(lambda: cls.sim.state("hub")["sessions"], what="a session")

    @classmethod
    def tearDownClass(cls):
        cls.link.close()
        cls.sim.stop()

    def stream(self, option, key):
        self.link.send(A, bytes([93, option, 0x20]) + bytes(key))
        return self.link.reply(A, [93])

    def test_enable_and_disable_with_exact_replies(self):
        self.assertEqual(self.stream(0x81, [A, 18, 5, 0]), bytes([93, 0xC1, 0x00]))
        self.assertEqual(self.sim.control("streams", module="hub")["streams"], [[A, 18, 5, 0]])
        self.link.send(A, bytes([93, 0x41, 0x20]))
        self.assertEqual(self.link.reply(A, [93]), bytes([93, 0x01, 0x00, 1]))
        self.assertEqual(self.stream(0x82, [A, 18, 5, 0]), bytes([93, 0xC2, 0x00]))
        self.assertEqual(self.sim.control("streams", module="hub")["streams"], [])
        self.link.send(A, bytes([93, 0x41, 0x20]))
        self.assertEqual(self.link.reply(A, [93]), bytes([93, 0x01, 0x00, 0]))
        self.link.send(A, bytes([93, 0x81, 0x20, 1]))
        self.assertEqual(self.link.reply(A, [93]), bytes([93, 0xC1, 0x80, 14]))

    def test_samples_of_each_type_have_their_layout_and_length(self):
        t = 0x0102030405060708
        expected = {
            1: (bytes([1]) + stamp(t) + bytes([0xAB]), 14),
            2: (bytes([2]) + stamp(t) + bytes([0x12, 0x34]), 15),
            3: (bytes([3]) + stamp(t) + bytes([0xDE, 0xAD, 0xBE, 0xEF]), 17),
            5: (bytes([5, 3]) + stamp(t) + bytes([0xAB]), 15),
            6: (bytes([6, 3]) + stamp(t) + bytes([0x12, 0x34]), 16),
            7: (bytes([7, 3]) + stamp(t) + bytes([0xDE, 0xAD, 0xBE, 0xEF]), 18),
        }
        values = {1: 0xAB, 2: 0x1234, 3: 0xDEADBEEF, 5: 0xAB, 6: 0x1234, 7: 0xDEADBEEF}
        for kind, (body, length) in expected.items():
            with self.subTest(type=kind):
                self.sim.control("sample", module="hub", command=18, option=4, index=2, type=kind,
                                 value=values[kind], subindex=3, timestamp=t)
                address, data = self.link.recv()
                self.assertEqual(address, A)
                self.assertEqual(len(data), length)
                self.assertEqual(data, bytes([18, 4, 0x42]) + body + b"\x00")

    def test_bytes_stream_packets_carry_sequence_bytes(self):
        self.sim.control("sample", module="hub", command=18, option=4, index=2, type=4,
                         hex=bytes(range(30)).hex())
        first, second = self.link.recv()[1], self.link.recv()[1]
        self.assertEqual(first, bytes([18, 4, 0x42]) + bytes(range(24)) + b"\x80")
        self.assertEqual(second, bytes([18, 4, 0x42]) + bytes(range(24, 30)) + b"\x01")

    def test_periodic_samples_only_while_enabled(self):
        self.assertEqual(self.link.barrier(A), [])
        self.stream(0x81, [A, 18, 255, 0])
        samples = []
        while len(samples) < 3:
            samples.append(self.link.recv(match=lambda a, d: d[:3] == bytes([18, 1, 0x40]))[1])
        for data in samples:
            self.assertEqual(len(data), 17)
            self.assertIn(struct.unpack(">I", data[12:16])[0], (100, 200))
        self.stream(0x82, [A, 18, 255, 0])
        self.link.barrier(A)
        self.link.held.clear()
        self.assertEqual([f for f in self.link.barrier(A) if f[1][0] == 18], [])


class SlotTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = simulator.Simulator(CONFIG).start()
        cls.link = Link.tcp("127.0.0.1", cls.sim.module("hub")["tcp"]["port"])

    @classmethod
    def tearDownClass(cls):
        cls.link.close()
        cls.sim.stop()

    def slot(self, data, prefix=2):
        return self.link.command(A, [4] + list(data), prefix_len=1)

    def test_capacity_size_and_errors(self):
        self.assertEqual(self.slot([1, 0, 1]), bytes([4, 1, 0, 1, 0, 100]))
        self.assertEqual(self.slot([2, 0, 1]), bytes([4, 2, 0, 1, 0, 60]))
        self.assertEqual(self.slot([2, 0, 5]), bytes([4, 0x82, 0, 5, 26]))
        self.assertEqual(self.slot([3, 9, 0]), bytes([4, 0x83, 9, 0, 3]))
        self.assertEqual(self.slot([6, 200]), bytes([4, 0x86, 200, 2]))

    def test_write_with_sums_then_read_back(self):
        data = bytes((i * 7) & 0xFF for i in range(60))
        reply = self.slot([4, 0, 0])
        self.assertEqual(reply[:4], bytes([4, 4, 0, 0]))
        handle = reply[4]
        for start in range(0, 60, 25):
            chunk = data[start:start + 25]
            self.assertEqual(self.slot([7, handle] + list(chunk)),
                             bytes([4, 7, handle, sum(chunk) & 0xFF]))
        self.assertEqual(self.slot([8, handle]), bytes([4, 8, handle, 0]))
        self.assertEqual(self.sim.control("slot", module="hub", store=0, slot=0)["hex"], data.hex())
        handle = self.slot([3, 0, 0])[4]
        got = b""
        while True:
            reply = self.slot([6, handle])
            self.assertEqual(reply[:3], bytes([4, 6, handle]))
            if len(reply) == 3:
                break
            self.assertLessEqual(len(reply), 28)
            got += reply[3:]
        self.assertEqual(got, data)
        self.assertEqual(self.slot([7, handle, 1]), bytes([4, 0x87, handle, 7]))
        self.assertEqual(self.slot([8, handle]), bytes([4, 8, handle, 0]))

    def test_overrun_and_sum_fault(self):
        handle = self.slot([4, 3, 0])[4]
        self.assertEqual(self.slot([7, handle] + [1] * 20), bytes([4, 7, handle, 20]))
        self.assertEqual(self.slot([7, handle, 1]), bytes([4, 0x87, handle, 15]))
        self.sim.control("fault", module="hub", name="slot_sum_off", value=True)
        self.assertEqual(self.slot([7, handle]), bytes([4, 0x87, handle, 27]))
        self.slot([8, handle])
        handle = self.slot([4, 0, 1])[4]
        self.assertEqual(self.slot([7, handle, 5, 5]), bytes([4, 7, handle, 11]))
        self.sim.control("clear_faults", module="hub")
        self.slot([8, handle])

    def test_refused_sub_commands_and_a_refused_close_drops_the_write(self):
        before = self.sim.control("slot", module="hub", store=3, slot=0)["hex"]
        try:
            self.sim.control("fault", module="hub", name="slot_errors", value={"4": 9, "8": 12})
            self.assertEqual(self.slot([4, 3, 0]), bytes([4, 0x84, 3, 0, 9]))
            handle = self.slot([3, 3, 0])[4]
            self.assertEqual(self.slot([8, handle]), bytes([4, 0x88, handle, 12]))
            self.assertEqual(self.slot([6, handle]), bytes([4, 0x86, handle, 2]), "given back")
            self.sim.control("fault", module="hub", name="slot_errors", value={"8": 12})
            handle = self.slot([4, 3, 0])[4]
            self.assertEqual(self.slot([7, handle, 1, 2]), bytes([4, 7, handle, 3]))
            self.assertEqual(self.slot([8, handle]), bytes([4, 0x88, handle, 12]))
            self.sim.control("fault", module="hub", name="slot_errors", value={"7": 13})
            handle = self.slot([4, 3, 0])[4]
            self.assertEqual(self.slot([7, handle, 1, 2]), bytes([4, 0x87, handle, 13]))
        finally:
            self.sim.control("clear_faults", module="hub")
        self.assertEqual(self.slot([8, handle]), bytes([4, 8, handle, 0]))
        self.assertEqual(self.sim.control("slot", module="hub", store=3, slot=0)["hex"], "",
                         "the refused chunk was not taken")
        self.sim.control("set_slot", module="hub", store=3, slot=0, hex=before)

    def test_a_module_that_stops_answering_after_some_chunks(self):
        try:
            self.sim.control("fault", module="hub", name="slot_mute_after", value=2)
            handle = self.slot([4, 3, 0])[4]
            for n in (1, 2):
                self.assertEqual(self.slot([7, handle, n]), bytes([4, 7, handle, n]))
            for request in ([7, handle, 3], [8, handle], [2, 3, 0], [3, 3, 0]):
                self.link.send(A, bytes([4] + request))
            self.assertEqual(self.link.barrier(A), [], "no slot request answered any more")
            self.assertEqual(self.sim.state("hub")["faults"]["slot_mute_after"], 0)
        finally:
            self.sim.control("clear_faults", module="hub")
        self.assertEqual(self.slot([8, handle]), bytes([4, 8, handle, 0]), "answers again")
        self.assertEqual(self.sim.control("slot", module="hub", store=3, slot=0)["hex"], "0102")

class FactoryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = simulator.Simulator(CONFIG).start()
        cls.link = Link.tcp("127.0.0.1", cls.sim.module("hub")["tcp"]["port"])

    @classmethod
    def tearDownClass(cls):
        cls.link.close()
        cls.sim.stop()

    def factory(self, data):
        self.link.send(A, bytes([94]) + bytes(data))
        return self.link.reply(A, [94])

    def test_read_in_full_chunks_then_close_with_the_count(self):
        self.assertEqual(self.factory([0x40]), bytes([94, 0]) + bytes(range(26)))
        self.assertEqual(self.factory([0x00]), bytes([94, 0]) + bytes(range(26, 34)))
        self.assertEqual(self.factory([0x20, 0, 34]), bytes([94, 0]))
        self.factory([0x40])
        self.assertEqual(self.factory([0x20, 0, 3]), bytes([94, 0x80, 14]))
        self.assertEqual(self.factory([0x45]), bytes([94, 0x85, 3]))

    def test_write_takes_effect_at_a_good_close(self):
        data = bytes(range(100, 140))
        self.assertEqual(self.factory([0x52] + list(data[:26])), bytes([94, 2]))
        self.assertEqual(self.factory([0x12] + list(data[26:])), bytes([94, 2]))
        self.assertEqual(self.sim.control("factory", module="hub", block=2)["hex"], "")
        self.assertEqual(self.factory([0x20, 0, 40]), bytes([94, 0]))
        self.assertEqual(self.sim.control("factory", module="hub", block=2)["hex"], data.hex())
        self.assertEqual(self.factory([0x42]), bytes([94, 2]) + data[:26])
        self.assertEqual(self.factory([0x02]), bytes([94, 2]) + data[26:])
        self.factory([0x20, 0, 40])
        self.assertEqual(self.factory([0x12, 1]), bytes([94, 0x82, 24]))
        self.factory([0x53] + [0] * 26)
        self.factory([0x13] + [0] * 26)
        self.assertEqual(self.factory([0x13] + [0] * 26), bytes([94, 0x83, 15]))


if __name__ == "__main__":
    updater_test.main()
