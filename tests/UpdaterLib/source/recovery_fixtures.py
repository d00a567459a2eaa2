"""What the end-to-end tests of the recovery and fingerprint commands
share: the units' BIRD files, a catalog for the local update server, the
store laid out in a temporary home, and runs of the binary.

Every run of -U can start discovery, and -N may connect over USB, so the
binary only ever runs inside the host side of a private namespace pair,
where the update server runs too (on that namespace's loopback)."""

import json
import os
import shutil
import time
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support"))
import netns  # noqa: E402
import updater_test  # noqa: E402
from update_server_support import UpdateServerProcess  # noqa: E402

sys.path.insert(0, updater_test.TOOLS_DIR)
import birdtool  # noqa: E402

NO_NAMESPACES = "needs root and ip netns: every -U and -N runs in a private network namespace"
CLOSED_URL = "http://127.0.0.1:9/cgi/u"
PRELOAD = "libumockdev-preload.so.0"


def words_text(words):
    return " ".join("%08X" % w for w in words)


class Image:
    """One BIRD file made of birdtool blocks, with what it should put where."""

    def __init__(self, blocks, scramble_key=None, **malformed):
        self.blocks = list(blocks)
        self.data = birdtool.bird_file(self.blocks, scramble_key=scramble_key, **malformed)

    def of_type(self, kind):
        return [b for b in self.blocks if b.type == kind]

    def loaders(self):
        """(address, image) of each loader block."""
        return [(struct.unpack(">I", b.payload[:4])[0], b.payload[4:])
                for b in self.of_type(birdtool.TYPE_LOADER)]

    def firmware_payloads(self):
        return [b.payload.hex() for b in self.of_type(birdtool.TYPE_FIRMWARE)]

    def write(self, path):
        with open(path, "wb") as f:
            f.write(self.data)
        return path


def firmware(address, size, seed):
    return birdtool.firmware_block(address, birdtool.pattern("random", size, seed))


def write_catalog(directory, units, fingerprints):
    """Lays the units' files under `directory` and writes its catalog.
    `units`: {serial text: {build: (version, Image)}}; `fingerprints`:
    {words text: {"serial": .., "build": ..}}."""
    catalog = {"units": {}, "fingerprints": fingerprints}
    for serial, builds in units.items():
        entries = []
        for build, (version, image) in sorted(builds.items()):
            name = "%s-%d.bird" % (serial, build)
            image.write(os.path.join(directory, name))
            entries.append({"build": build, "version": version, "file": name})
        catalog["units"][serial] = {"firmware": "main", "builds": entries}
    path = os.path.join(directory, "catalog.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(catalog, f)
    return path


def unit_dir(home, serial):
    return os.path.join(home, ".kelvane", "updater", serial)


def seed_store(home, serial, builds, latest):
    """Puts the units' files into the store with LATEST_DOWNLOAD naming
    `latest`."""
    directory = unit_dir(home, serial)
    os.makedirs(directory, exist_ok=True)
    for build, image in builds.items():
        image.write(os.path.join(directory, "%d.bird" % build))
    with open(os.path.join(directory, ".settings"), "w", encoding="utf-8") as f:
        f.write("LATEST_DOWNLOAD=%d.bird\n" % latest)


# Listens without ever answering: a request to it waits until it is cut.
SILENT = r"""
import socket, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
print(s.getsockname()[1], flush=True)
time.sleep(600)
"""


class RecoveryTest(unittest.TestCase):
    """A namespace pair per class with the update server of `units` and
    `fingerprints` in its host side; a temporary home per test."""

    units = {}
    fingerprints = {}
    pair = None
    server = None

    @classmethod
    def setUpClass(cls):
        if not netns.available():
            raise unittest.SkipTest(NO_NAMESPACES)
        cls.pair = netns.NetnsPair().create()
        cls.catalog_dir = tempfile.mkdtemp(prefix="recovery-catalog-")
        try:
            catalog = write_catalog(cls.catalog_dir, cls.units, cls.fingerprints)
            cls.server = UpdateServerProcess(catalog=catalog, prefix=cls.pair.host_prefix())
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.server is not None:
            cls.server.stop()
            cls.server = None
        shutil.rmtree(cls.catalog_dir, ignore_errors=True)
        if cls.pair is not None:
            cls.pair.destroy()
            cls.pair = None

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="updater-home-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.files = tempfile.mkdtemp(prefix="recovery-files-")
        self.addCleanup(shutil.rmtree, self.files, True)
        self.log_start = len(self.server.log_lines())

    def file(self, image, name):
        return image.write(os.path.join(self.files, name))

    def command(self, args, url=None, umockdev=None):
        binary = [updater_test.UPDATER_BIN]
        if umockdev:
            binary = ["env", "LD_PRELOAD=" + PRELOAD, "UMOCKDEV_DIR=" + umockdev] + binary
        return binary + list(args) + ["-u", url or self.server.url]

    def run_updater(self, *args, url=None, umockdev=None, timeout=240):
        """One run of the binary in the host namespace, against the class's
        server unless `url` says otherwise; with `umockdev` (a testbed
        directory) it runs under umockdev's preload library. Only the
        binary itself does: the namespace and mount tools stay outside."""
        command = self.command(args, url, umockdev)
        completed = subprocess.run(
            self.pair.host_prefix() + updater_test.isolated_command(command, self.home),
            capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
        return updater_test.Result(completed)

    def silent_server_url(self):
        """The URL of a server in the host side that takes connections and
        never answers (until the test ends)."""
        listener = subprocess.Popen(self.pair.host_prefix() + [sys.executable, "-c", SILENT],
                                    stdout=subprocess.PIPE, text=True)
        self.addCleanup(listener.communicate)
        self.addCleanup(listener.kill)
        port = int(listener.stdout.readline())
        return "http://127.0.0.1:%d/cgi/u" % port

    def interrupt_updater(self, ready, *args, url=None, umockdev=None):
        """Runs the binary as run_updater does, sends it SIGINT half a second
        after `ready()` first holds, and gives its Result."""
        command = self.command(args, url, umockdev)
        proc = subprocess.Popen(
            self.pair.host_prefix() + updater_test.isolated_command(command, self.home),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(proc.kill)
        deadline = time.monotonic() + 60
        while not ready():
            self.assertIsNone(proc.poll(), "the run ended before the point to interrupt")
            self.assertLess(time.monotonic(), deadline, "the run never got there")
            time.sleep(0.02)
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=5)  # a hang, not a speed check
        return updater_test.Result(subprocess.CompletedProcess(command, proc.returncode, out, err))

    def server_requests(self):
        """The request lines the server got during this test."""
        return [line.decode("latin-1") for line in self.server.log_lines()[self.log_start:]]

    def stored(self, serial):
        directory = unit_dir(self.home, serial)
        return sorted(os.listdir(directory)) if os.path.isdir(directory) else None
