"""The upgrade exchange (command 95) with its memory, restarts and faults."""

import os
import socket
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import updater_test  # noqa: E402
from vantorsim_client import Link, simulator  # noqa: E402

A = 2
BASE = 0x20200000
CONFIG = {"modules": [{
    "name": "hub", "serial": "00A1B2C3", "address": A, "version": "1.2.3", "build": 100,
    "upgrade": {"load_base": BASE, "block_size": 64, "loader_serial": "DEADDEAD",
                "restart_ms": 150, "new_version": "1.2.4", "new_build": 101},
    "transports": {"tcp": {}}}]}

LOADER = bytes((i * 13 + 5) & 0xFF for i in range(60))
FIRMWARE = bytes((i * 31 + 7) & 0xFF for i in range(150))
LOADER_ADDRESS = 0x20000400
FIRMWARE_ADDRESS = 0x60002000


def be32(v):
    return struct.pack(">I", v)


class Exchange:
    """The host's side of the upgrade exchange, from the wire format."""

    def __init__(self, link):
        self.link = link

    def op(self, data, reply_prefix):
        self.link.send(A, bytes([95]) + bytes(data))
        return self.link.reply(A, [95] + list(reply_prefix))

    def prepare(self, flags, address):
        return self.op([3, flags] + list(be32(address)), [7])

    def data(self, chunk):
        return self.op([1] + list(chunk), [1])

    def send_all(self, image):
        acks = []
        for start in range(0, len(image), 26):
            chunk = image[start:start + 26]
            ack = self.data(chunk)
            acks.append(ack)
            self.link_assert(ack == bytes([95, 1, len(chunk)]), ack)
        return acks

    @staticmethod
    def link_assert(condition, what):
        if not condition:
            raise AssertionError("unexpected reply %s" % what.hex())

    def sum(self):
        return self.op([4], [7])

    def write(self, count):
        return self.op([5] + list(struct.pack(">H", count)), [7])


def expect_drop(link):
    """Reads until the module closes the link; returns what came before."""
    frames = []
    while True:
        try:
            frames.append(link.recv(timeout=10))
        except (EOFError, ConnectionResetError):
            return frames


class UpgradeTest(unittest.TestCase):
    def setUp(self):
        self.sim = simulator.Simulator(CONFIG, state_dir=True).start()
        self.port = self.sim.module("hub")["tcp"]["port"]
        self.link = Link.tcp("127.0.0.1", self.port)
        self.x = Exchange(self.link)

    def tearDown(self):
        self.link.close()
        self.sim.stop()

    def reconnect(self):
        self.link.close()

        def attempt():
            try:
                return Link.tcp("127.0.0.1", self.port)
            except OSError:
                return None
        self.link = self.sim.wait_for(attempt, what="the module to come back")
        self.x = Exchange(self.link)

    def load_loader(self):
        self.assertEqual(self.x.op([0], [0]), bytes([95, 0]) + be32(BASE))
        self.assertEqual(self.x.prepare(2, LOADER_ADDRESS), bytes([95, 7, 0, 0, 64]))
        self.x.send_all(LOADER)
        self.assertEqual(self.x.sum(), bytes([95, 7, 0]) + be32(sum(LOADER)))
        self.link.send(A, bytes([95, 2]))
        self.assertEqual(expect_drop(self.link), [(A, bytes([95, 2]))])
        self.reconnect()

    def send_block(self, image, size=64):
        for start in range(0, len(image), size):
            piece = image[start:start + size]
            self.x.send_all(piece)
            self.assertEqual(self.x.sum(), bytes([95, 7, 0]) + be32(sum(piece)))
            self.assertEqual(self.x.write(len(piece)), bytes([95, 7, 0]))

    def test_whole_update_with_memory_and_restarts(self):
        self.load_loader()
        self.assertEqual(self.link.get_u32(A, 9), 0xDEADDEAD)
        self.assertEqual(self.sim.state("hub")["mode"], "loader")
        self.assertEqual(self.x.prepare(1, FIRMWARE_ADDRESS), bytes([95, 7, 0, 0, 64]))
        self.send_block(FIRMWARE)
        memory = self.sim.control("memory", module="hub")
        self.assertEqual(memory["firmware"], [(be32(FIRMWARE_ADDRESS) + FIRMWARE).hex()])
        self.assertEqual(memory["loaders"], [[(be32(LOADER_ADDRESS) + LOADER).hex()]])
        directory = os.path.join(self.sim.state_dir, "00A1B2C3")
        with open(os.path.join(directory, "firmware-0.bin"), "rb") as f:
            self.assertEqual(f.read(), be32(FIRMWARE_ADDRESS) + FIRMWARE)
        with open(os.path.join(directory, "loader-0-0.bin"), "rb") as f:
            self.assertEqual(f.read(), be32(LOADER_ADDRESS) + LOADER)
        self.link.send(A, bytes([95, 6]))
        self.assertEqual(expect_drop(self.link), [])
        self.reconnect()
        self.assertEqual(self.link.get_u32(A, 9), 0x00A1B2C3)
        self.assertEqual(self.link.get_u32(A, 7), (1 << 28) | (2 << 24) | 4)
        self.assertEqual(self.link.command(A, [73, 255]), bytes([73, 255]) + be32(101))
        self.assertEqual(self.sim.state("hub")["mode"], "firmware")

    def test_wrong_data_count_once_and_always(self):
        self.sim.control("fault", module="hub", name="data_count_wrong", value="once")
        self.x.prepare(0, LOADER_ADDRESS)
        self.assertEqual(self.x.data(LOADER[:26]), bytes([95, 1, 25]))
        self.assertEqual(self.x.data(LOADER[:26]), bytes([95, 1, 26]))
        self.assertEqual(self.x.sum(), bytes([95, 7, 0]) + be32(sum(LOADER[:26])))
        self.sim.control("fault", module="hub", name="data_count_wrong", value="always")
        for _ in range(3):
            self.assertEqual(self.x.data(LOADER[:5]), bytes([95, 1, 4]))

    def test_sum_one_off_on_the_loader_then_on_firmware_block(self):
        self.sim.control("fault", module="hub", name="sum_off", value={"stage": "loader"})
        self.x.prepare(0, LOADER_ADDRESS)
        self.x.send_all(LOADER[:10])
        self.assertEqual(self.x.sum(), bytes([95, 7, 0]) + be32(sum(LOADER[:10]) + 1))
        self.assertEqual(self.x.sum(), bytes([95, 7, 0]) + be32(sum(LOADER[:10])))
        self.sim.control("set", module="hub", field="mode", value="loader")
        self.sim.control("fault", module="hub", name="sum_off", value={"stage": "firmware", "block": 1})
        self.x.prepare(1, FIRMWARE_ADDRESS)
        self.send_block(FIRMWARE[:64])
        self.x.send_all(FIRMWARE[64:128])
        self.assertEqual(self.x.sum(), bytes([95, 7, 0]) + be32(sum(FIRMWARE[64:128]) + 1))
        self.assertEqual(self.x.write(64), bytes([95, 7, 1]))

    def test_write_needs_a_sum_and_the_right_count(self):
        self.sim.control("set", module="hub", field="mode", value="loader")
        self.x.prepare(1, FIRMWARE_ADDRESS)
        self.x.send_all(FIRMWARE[:30])
        self.assertEqual(self.x.write(30), bytes([95, 7, 1]))
        self.x.sum()
        self.assertEqual(self.x.write(29), bytes([95, 7, 2]))
        self.assertEqual(self.x.write(30), bytes([95, 7, 0]))
        self.sim.control("fault", module="hub", name="write_no_status", value=True)
        self.x.send_all(FIRMWARE[30:40])
        self.x.sum()
        self.assertEqual(self.x.write(10), bytes([95, 7]))
        self.assertEqual(self.sim.control("memory", module="hub")["firmware"],
                         [(be32(FIRMWARE_ADDRESS) + FIRMWARE[:40]).hex()])

    def test_prepare_refused_or_with_block_size_zero(self):
        self.sim.control("fault", module="hub", name="prepare_status", value=3)
        self.assertEqual(self.x.prepare(0, LOADER_ADDRESS), bytes([95, 7, 3, 0, 64]))
        self.sim.control("clear_faults", module="hub")
        self.sim.control("fault", module="hub", name="prepare_block_size", value=0)
        self.assertEqual(self.x.prepare(0, LOADER_ADDRESS), bytes([95, 7, 0, 0, 0]))
        self.sim.control("fault", module="hub", name="upgrade_reply_length", value={"3": 4, "4": 6})
        self.assertEqual(self.x.prepare(0, LOADER_ADDRESS), bytes([95, 7, 0, 0]))
        self.assertEqual(self.x.sum(), bytes([95, 7, 0, 0, 0, 0]))

    def test_no_load_reply_still_restarts_into_the_loader(self):
        self.sim.control("fault", module="hub", name="no_load_reply", value=True)
        self.x.prepare(0, LOADER_ADDRESS)
        self.link.send(A, bytes([95, 2]))
        self.assertEqual(expect_drop(self.link), [])
        self.reconnect()
        self.assertEqual(self.sim.state("hub")["mode"], "loader")

    def test_never_back_after_load(self):
        self.sim.control("fault", module="hub", name="no_return_after_load", value=True)
        self.link.send(A, bytes([95, 2]))
        self.assertEqual(expect_drop(self.link), [(A, bytes([95, 2]))])
        self.assertTrue(self.sim.state("hub")["gone"])
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", self.port), timeout=5)

    def test_reboot_without_drop_keeps_the_loader_running(self):
        self.sim.control("set", module="hub", field="mode", value="loader")
        self.sim.control("fault", module="hub", name="no_drop_after_reboot", value=True)
        self.link.send(A, bytes([95, 6]))
        self.assertEqual(self.link.barrier(A), [])
        self.assertEqual(self.sim.state("hub")["mode"], "loader")

    def test_system_reset_restarts_the_module_afresh(self):
        self.link.send(A, bytes([93, 0x81, 0x20, A, 18, 1, 0]))
        self.assertEqual(self.link.reply(A, [93]), bytes([93, 0xC1, 0]))
        self.link.set(A, 20, [1])
        self.assertEqual(self.link.set(A, 11, []), bytes([3, 0xCB, 0]))
        expect_drop(self.link)
        self.reconnect()
        self.assertEqual(self.link.get_u32(A, 9), 0x00A1B2C3)
        state = self.sim.state("hub")
        self.assertEqual((state["streams"], state["route_to_me"]), ([], 0))


if __name__ == "__main__":
    updater_test.main()
