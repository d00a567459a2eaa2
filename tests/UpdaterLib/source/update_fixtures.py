"""What the end-to-end tests of the update command share: the unit's BIRD
files, a store laid out in a temporary home, the simulated module, and
runs of the binary against it over TCP/IP (a private namespace pair) or
emulated USB (the binary in a network namespace of its own).

Every run of -U can start discovery, so the binary only ever runs inside
a private network namespace."""

import os
import re
import struct
import sys
import tempfile
import shutil
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support"))
import netns  # noqa: E402
import simulator  # noqa: E402
import updater_test  # noqa: E402
import usb_emulation  # noqa: E402

sys.path.insert(0, updater_test.TOOLS_DIR)
import birdtool  # noqa: E402

SERIAL = "40F5849A"
SERIAL_NUMBER = int(SERIAL, 16)
OTHER_SERIAL = "0BADCAFE"
ROUTER = "D272031D"
MODEL = 17
MODEL_NAME = "HubQuad"
DATE = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}$")
NO_NAMESPACES = "needs root and ip netns: every -U runs in a private network namespace"

# Where the template puts the unit's serial number (a little-endian word)
# and its USB descriptor text (UTF-16LE digits) in the first firmware block.
SERIAL_ADDRESS = 0x0100
DESCRIPTOR_ADDRESS = 0x0200


class Unit:
    """One build of the unit: its blocks, its file, and what the module
    must hold once the file went in."""

    def __init__(self, build, version, serial=SERIAL, model=MODEL_NAME, template=False,
                 firmware=(3000, 1000), loaders=(700,), seed=0):
        self.build = build
        self.version = version
        self.loaders = [birdtool.loader_block(0x10000000 + 0x1000 * i,
                                              birdtool.pattern("random", size, seed + i))
                        for i, size in enumerate(loaders)]
        self.firmware = [birdtool.firmware_block(0x10000 * i, birdtool.pattern(
            "random", size, seed + 10 + i), flags=i % 8) for i, size in enumerate(firmware)]
        blocks = [birdtool.identity_block(build, version, serial, model)] + self.loaders
        if template:
            blocks.append(birdtool.serial_template_block(SERIAL_ADDRESS, DESCRIPTOR_ADDRESS))
        self.template = template
        self.blocks = blocks + self.firmware
        self.data = birdtool.bird_file(self.blocks)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(self.data)
        return path

    def loader_payloads(self):
        return [b.payload.hex() for b in self.loaders]

    def firmware_payloads(self, serial=SERIAL_NUMBER):
        """The firmware payloads after the serial number went into a template."""
        payloads = []
        for b in self.firmware:
            payload = bytearray(b.payload)
            address = struct.unpack(">I", payload[:4])[0]
            if self.template:
                _put(payload, address, SERIAL_ADDRESS, struct.pack("<I", serial))
                for i, digit in enumerate("%08X" % serial):
                    _put(payload, address, DESCRIPTOR_ADDRESS + 2 * i, digit.encode())
            payloads.append(bytes(payload).hex())
        return payloads


def _put(payload, block_address, address, data):
    offset = 4 + address - block_address
    if block_address <= address and offset + len(data) <= len(payload):
        payload[offset:offset + len(data)] = data


# What a simulated module does on its upgrade.
UPGRADE = {"new_version": "1.1.0", "new_build": 1002, "block_size": 512, "restart_ms": 300}

# A second board waiting in its loader under the default serial number.
SPARE_LOADER = {"name": "spare", "serial": "DEADDEAD", "model": MODEL, "address": 2,
                "mode": "loader"}


def module_config(transport, upgrade=None, faults=None, version="1.0.0", build=1001,
                  routed=False, extra=()):
    """The module "hub" and the `extra` ones on the same kind of link;
    `routed` puts the hub at address 6 behind the router ROUTER, whose link
    is the one given."""
    up = dict(UPGRADE)
    up.update(upgrade or {})
    module = {"name": "hub", "serial": SERIAL, "model": MODEL, "address": 2,
              "version": version, "build": build, "upgrade": up, "faults": faults or {}}
    linked = module
    if routed:
        module.update(address=6, router=2)
        linked = {"name": "router", "serial": ROUTER, "model": MODEL, "address": 2,
                  "behind": [module]}
    config = {"modules": [linked] + [dict(m) for m in extra]}
    for m in config["modules"]:
        if transport == "tcp":
            m["transports"] = {"tcp": {"bind": netns.MODULE_ADDRESS, "port": 0}}
            config["discovery"] = {"interface": netns.MODULE_ADDRESS}
        else:
            m["transports"] = {"usb": {}}
    return config


def unit_dir(home, serial=SERIAL):
    return os.path.join(home, ".kelvane", "updater", serial)


def seed_store(home, units=(), settings=None, serial=SERIAL):
    """Lays the builds and the settings into the home's store."""
    directory = unit_dir(home, serial)
    os.makedirs(directory, exist_ok=True)
    for unit in units:
        unit.write(os.path.join(directory, "%d.bird" % unit.build))
    if settings is not None:
        with open(os.path.join(directory, ".settings"), "w", encoding="utf-8") as f:
            for key in sorted(settings):
                f.write("%s=%s\n" % (key, settings[key]))


def read_settings(home, serial=SERIAL):
    path = os.path.join(unit_dir(home, serial), ".settings")
    if not os.path.exists(path):
        return {}
    with open(path, encoding="utf-8") as f:
        return dict(line.rstrip("\n").partition("=")[::2] for line in f if "=" in line)


class UpdateTest(unittest.TestCase):
    """A temporary home per test and the assertions on what an update
    left in the module and in the store."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="updater-home-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.files = tempfile.mkdtemp(prefix="update-files-")
        self.addCleanup(shutil.rmtree, self.files, True)

    def file(self, unit, name="unit.bird"):
        return unit.write(os.path.join(self.files, name))

    def upgrade(self):
        return self.sim.state("hub")["upgrade"]

    def assert_updated(self, result, unit, transfer):
        """Success: the module holds the unit's loader and firmware byte for
        byte, was seen back running the unit's build, and the transfer is
        recorded."""
        self.assertEqual(result.status, 0, result)
        memory = self.sim.control("memory", module="hub")
        self.assertEqual(memory["loaders"][-1], unit.loader_payloads())
        self.assertEqual(memory["firmware"], unit.firmware_payloads())
        state = self.sim.state("hub")
        self.assertEqual((state["mode"], state["build"]), ("firmware", unit.build))
        self.assertIn("Update verified: module %s runs build %d\n" % (SERIAL, unit.build),
                      result.out)
        settings = read_settings(self.home)
        self.assertEqual(settings.get("LATEST_TRANSFER"), transfer)
        self.assertRegex(settings.get("LAST_TRANSFER_DATE", ""), DATE)
        self.assertRegex(result.out, r"Update time: \d+\.\d{4} sec\n")
        self.assertNotIn("Firmware update failed", result.err)

    def assert_failed(self, result, loads=None, reboots=0, mode=None):
        """Failure: status 1, no success recorded, and the upgrade went no
        further than it may."""
        self.assertEqual(result.status, 1, result)
        self.assertNotIn("Update verified", result.out)
        settings = read_settings(self.home)
        self.assertNotIn("LAST_TRANSFER_DATE", settings)
        counts = self.upgrade()["counts"]
        if loads is not None:
            self.assertEqual(counts["load"], loads, "LOAD only after a whole loader")
        self.assertEqual(counts["reboot"], reboots, "REBOOT only after the whole firmware")
        if mode is not None:
            self.assertEqual(self.sim.state("hub")["mode"], mode)


class TcpUpdateTest(UpdateTest):
    """The module over TCP/IP in one namespace of a pair, the binary (and
    an update server, when a class has one) in the other."""

    pair = None

    @classmethod
    def setUpClass(cls):
        if not netns.available():
            raise unittest.SkipTest(NO_NAMESPACES)
        cls.pair = netns.NetnsPair().create()

    @classmethod
    def tearDownClass(cls):
        if cls.pair is not None:
            cls.pair.destroy()

    def start_module(self, upgrade=None, faults=None, **fields):
        self.sim = simulator.Simulator(module_config("tcp", upgrade, faults, **fields),
                                       prefix=self.pair.module_prefix()).start()
        self.addCleanup(self.sim.stop)
        return self.sim

    def update(self, *args, url="http://127.0.0.1:9/cgi/u", command=("-U",), serial=SERIAL,
               env=None):
        """One run of the binary in the host namespace; the default server
        URL is a closed port there."""
        completed = updater_test.run_updater(list(command) + ["-d", serial] + list(args) +
                                             ["-u", url], self.home, timeout=180,
                                             prefix=self.pair.host_prefix(), env=env)
        return updater_test.Result(completed)


def start_usb(test, config):
    """The simulator on emulated USB with every module of `config` attached."""
    sim = simulator.Simulator(config, usb=True).start()
    test.addCleanup(sim.stop)
    usb = usb_emulation.UsbEmulation(sim.usb_socket)
    usb.start()
    test.addCleanup(usb.stop)
    usb.wait_devices(len(config["modules"]))
    return sim, usb


class UsbUpdateTest(UpdateTest):
    """The module on emulated USB; the binary in a network namespace of its
    own, where a TCP/IP discovery finds nothing and sends nothing out."""

    def setUp(self):
        super().setUp()
        if not updater_test.is_root():
            self.skipTest(NO_NAMESPACES)
        reason = usb_emulation.why_not_available()
        if reason:
            self.skipTest(reason)

    def start_module(self, upgrade=None, faults=None, **fields):
        self.sim, self.usb = start_usb(self, module_config("usb", upgrade, faults, **fields))
        return self.sim

    def command(self, *args, serial=SERIAL):
        """The command line that runs the binary with the emulation."""
        return ["unshare", "-n"] + updater_test.isolated_command(
            [updater_test.UPDATER_BIN, "-U", "-d", serial] + list(args), self.home)

    def update(self, *args, serial=SERIAL):
        completed = subprocess.run(self.command(*args, serial=serial), capture_output=True,
                                   timeout=180, env=self.usb.env(), stdin=subprocess.DEVNULL)
        return updater_test.Result(completed)
