"""The get (-G) and list-builds (-B) commands through the real binary,
against tools/update_server.py on 127.0.0.1: what is asked (the server's
request log, byte for byte), what is printed, what lands in the store and
its settings, and the exit status."""

import json
import os
import pty
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import updater_test  # noqa: E402
from update_server_support import UpdateServerProcess  # noqa: E402

sys.path.insert(0, updater_test.TOOLS_DIR)
import birdtool  # noqa: E402

SERIAL = "40F5849A"
EMPTY_UNIT = "0000002B"
PING = b"GET /cgi/u?op=hi&rv=2& HTTP/1.1"
QUERY = b"GET /cgi/u?op=qu&sn=40F5849A& HTTP/1.1"
BUILDS = b"GET /cgi/u?op=builds&sn=40F5849A& HTTP/1.1"
BANNER = "Updater (Version: 1.1 Apr 26 2023)\n"
DATE = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}$")


def bird_request(build, serial=SERIAL, firmware="main"):
    return ("GET /cgi/u?bld=%d&fw=%s&no_cal=false&op=bird&sn=%s& HTTP/1.1"
            % (build, firmware, serial)).encode()


def unit_file(build, version):
    return birdtool.bird_file([
        birdtool.identity_block(build, version, int(SERIAL, 16), "PodUsb"),
        birdtool.loader_block(0x10000000, birdtool.pattern("random", 512, build)),
        birdtool.firmware_block(0, birdtool.pattern("random", 5000, build + 1))])


# Builds listed in an order that differs from both the build and the
# version order; versions compare as text, so 2.10 comes before 2.9.
BUILD_VERSIONS = {1001: "2.9", 1002: "2.10", 999: "1.0"}


def make_catalog(directory):
    files = {}
    builds = []
    for build, version in BUILD_VERSIONS.items():
        files[build] = unit_file(build, version)
        name = "%d.bird" % build
        with open(os.path.join(directory, name), "wb") as f:
            f.write(files[build])
        builds.append({"build": build, "version": version, "file": name})
    catalog = {
        "units": {SERIAL: {"firmware": "main", "latest": 1002, "builds": builds},
                  EMPTY_UNIT: {"firmware": "main", "builds": []}},
        "fingerprints": {}}
    path = os.path.join(directory, "catalog.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(catalog, f)
    return path, files


def unit_dir(home, serial=SERIAL):
    return os.path.join(home, ".kelvane", "updater", serial)


def read_settings(home, serial=SERIAL):
    settings = {}
    with open(os.path.join(unit_dir(home, serial), ".settings"), encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            settings[key] = value
    return settings


def refused_port():
    """A port on 127.0.0.1 that nobody listens on, held bound meanwhile."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    return sock


@updater_test.require_isolation
class ServerCommandTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="server-commands-")
        catalog, cls.files = make_catalog(cls.dir)
        cls.server = UpdateServerProcess(catalog=catalog)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.server.clear()
        self.home = tempfile.mkdtemp(prefix="updater-home-")
        self.addCleanup(shutil.rmtree, self.home, True)

    def run_updater(self, *args, url=None):
        """(status, stdout, stderr) as text; the requests it made, as bytes."""
        before = len(self.server.log_lines())
        result = updater_test.run_updater(list(args) + ["-u", url or self.server.url],
                                          self.home, timeout=60)
        self.requests = self.server.log_lines()[before:]
        return (result.returncode, result.stdout.decode("utf-8", "replace"),
                result.stderr.decode("utf-8", "replace"))

    def stored(self, build, serial=SERIAL):
        path = os.path.join(unit_dir(self.home, serial), "%d.bird" % build)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()


class ListBuilds(ServerCommandTest):
    def test_lists_every_build_sorted_by_version_text(self):
        status, out, err = self.run_updater("-B", "-d", SERIAL)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, BANNER + "Build List for device [40F5849A]:\n\n"
                         "Build          \tVersion        \n"
                         "999            \t1.0            \n"
                         "1002           \t2.10           \n"
                         "1001           \t2.9            \n")
        self.assertEqual(err, "")
        self.assertEqual(self.requests, [PING, BUILDS])

    def test_a_unit_without_builds_is_no_failure(self):
        status, out, err = self.run_updater("-B", "-d", EMPTY_UNIT)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, BANNER + "No builds found for device [0000002B]\n")
        self.assertEqual(self.requests, [PING, b"GET /cgi/u?op=builds&sn=0000002B& HTTP/1.1"])

    def test_a_refused_build_list_exits_1(self):
        status, out, err = self.run_updater("-B", "-d", "12345678")
        self.assertEqual(status, 1)
        self.assertEqual(out, BANNER + "No builds found for device [12345678]\n")
        self.assertEqual(err, "Failed to retrieve builds for 12345678\n")

    def test_a_failed_ping_asks_nothing_more_and_exits_1(self):
        self.server.fault("status=500@hi")
        status, out, err = self.run_updater("-B", "-d", SERIAL, "-X", "0x20")
        self.assertEqual(status, 1)
        self.assertIn("No builds found for device [40F5849A]\n", out)
        self.assertIn("PING ==> [500] [error\n]\n", err)
        self.assertIn("Server request failed for %s\n" % self.server.url, err)
        self.assertEqual(self.requests, [PING])

    def test_status_404_and_500_of_the_list_exit_1(self):
        wrong_path = self.server.url.replace("/cgi/u", "/cgi/x")
        status, _, err = self.run_updater("-B", "-d", SERIAL, "-X", "0x20", url=wrong_path)
        self.assertEqual(status, 1)
        self.assertIn("PING ==> [404] [not found\n]\n", err)
        self.server.fault("status=500@builds")
        status, _, err = self.run_updater("-B", "-d", SERIAL, "-X", "0x20")
        self.assertEqual(status, 1)
        self.assertIn("GetBuildList ==> [500] [error\n]\n", err)
        self.assertIn("Failed to retrieve builds for 40F5849A\n", err)

    def test_an_unreachable_server_is_reported_with_libcurls_message(self):
        with refused_port() as sock:
            url = "http://127.0.0.1:%d/cgi/u" % sock.getsockname()[1]
            status, out, err = self.run_updater("-B", "-d", SERIAL, "-X", "0x20", url=url)
        self.assertEqual(status, 1)
        self.assertIn("ping ==> [Couldn't connect to server]\n", err)
        self.assertIn("Server request failed for %s\n" % url, err)
        self.assertIn("No builds found for device [40F5849A]\n", out)

    def test_a_messy_list_keeps_the_first_of_a_duplicate(self):
        self.server.fault("messy_builds")
        status, out, err = self.run_updater("-B", "-d", SERIAL)
        self.assertEqual(status, 0, err)
        lines = out.splitlines()[4:]
        self.assertEqual(lines, ["1003           \t               ",
                                 "999            \t1.0            ",
                                 "1002           \t2.10           ",
                                 "1001           \t2.9            "])


if __name__ == "__main__":
    updater_test.main()
