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
import signal
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


def unit_file(build, version, serial=SERIAL):
    return birdtool.bird_file([
        birdtool.identity_block(build, version, int(serial, 16), "PodUsb"),
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

    def interrupt(self, args, op):
        """Runs the binary with `args` and sends SIGINT half a second after
        the server saw request `op`; (status, stdout, stderr) as bytes."""
        command = updater_test.isolated_command(
            [updater_test.UPDATER_BIN] + list(args) + ["-u", self.server.url], self.home)
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not any(b"op=" + op in line for line in self.server.log_lines()):
            self.assertLess(time.monotonic(), deadline, "the request never came")
            time.sleep(0.05)
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)  # a hang, not a speed check
        return proc.returncode, out, err

    def stored(self, build, serial=SERIAL):
        path = os.path.join(unit_dir(self.home, serial), "%d.bird" % build)
        if not os.path.isfile(path):
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


class Get(ServerCommandTest):
    def test_latest_build_is_stored_byte_for_byte_and_recorded(self):
        status, out, err = self.run_updater("-G", "-d", SERIAL)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, BANNER + "Retrieving firmware for device with serial number 40F5849A\n"
                         "No build specified\nUsing Latest build\nRetrieving build 1002\n"
                         "Validating build 1002 with server\nBuild 1002 is valid\n")
        self.assertEqual(err, "")
        self.assertEqual(self.requests, [PING, QUERY, BUILDS, bird_request(1002)])
        self.assertEqual(self.stored(1002), self.files[1002])
        settings = read_settings(self.home)
        self.assertEqual(sorted(settings), ["CREATED_TIME", "LAST_DOWNLOAD_DATE",
                                            "LATEST_DOWNLOAD", "UPDATED_TIME"])
        self.assertEqual(settings["LATEST_DOWNLOAD"], "1002.bird")
        self.assertRegex(settings["LAST_DOWNLOAD_DATE"], DATE)

    def test_a_second_get_replaces_the_latest_download(self):
        status, out, err = self.run_updater("-G", "-d", SERIAL, "-b", "1001")
        self.assertEqual(status, 0, err)
        self.assertIn("Retrieving firmware build 1001\nRetrieving build 1001\n", out)
        self.assertEqual(self.requests[-1], bird_request(1001))
        self.assertEqual(read_settings(self.home)["LATEST_DOWNLOAD"], "1001.bird")
        created = read_settings(self.home)["CREATED_TIME"]
        status, _, err = self.run_updater("-G", "-d", SERIAL)
        self.assertEqual(status, 0, err)
        self.assertEqual(self.stored(1001), self.files[1001])
        self.assertEqual(self.stored(1002), self.files[1002])
        settings = read_settings(self.home)
        self.assertEqual(settings["LATEST_DOWNLOAD"], "1002.bird")
        self.assertEqual(settings["CREATED_TIME"], created)

    def test_a_build_the_server_does_not_list_is_refused(self):
        status, out, err = self.run_updater("-G", "-d", SERIAL, "-b", "1003")
        self.assertEqual(status, 1)
        self.assertIn("Validating build 1003 with server\n", out)
        self.assertEqual(err, "No valid build 1003\n")
        self.assertEqual(self.requests, [PING, QUERY, BUILDS])
        self.assertFalse(os.path.exists(os.path.join(unit_dir(self.home), "1003.bird")))
        self.assertNotIn("LATEST_DOWNLOAD", read_settings(self.home))

    def test_the_override_skips_the_validation(self):
        status, out, err = self.run_updater("-G", "-d", SERIAL, "-b", "1001", "-OVERRIDE")
        self.assertEqual(status, 0, err)
        self.assertIn("Retrieving build 1001\n"
                      "Override specified, skipping validation of build 1001\n", out)
        self.assertNotIn("Validating", out)
        self.assertEqual(self.requests, [PING, QUERY, bird_request(1001)])
        self.assertEqual(self.stored(1001), self.files[1001])

    def test_an_overridden_build_the_server_cannot_deliver_fails(self):
        status, out, err = self.run_updater("-G", "-d", SERIAL, "-b", "1003", "-OVERRIDE")
        self.assertEqual(status, 1)
        self.assertIn("Override specified, skipping validation of build 1003\n", out)
        self.assertEqual(err, "Download failed\n")
        self.assertEqual(self.requests, [PING, QUERY, bird_request(1003)])
        self.assertNotIn("LATEST_DOWNLOAD", read_settings(self.home))

    def test_an_unreachable_server_fails_before_anything_is_stored(self):
        with refused_port() as sock:
            url = "http://127.0.0.1:%d/cgi/u" % sock.getsockname()[1]
            status, _, err = self.run_updater("-G", "-d", SERIAL, url=url)
        self.assertEqual(status, 1)
        self.assertEqual(err, "Server request failed for %s\n" % url)
        self.assertFalse(os.path.exists(unit_dir(self.home)))


class GetFailures(ServerCommandTest):
    """Each way a download can store nothing usable: the error, status 1, no
    file, and the earlier download's record left as it was."""

    def setUp(self):
        super().setUp()
        status, _, err = self.run_updater("-G", "-d", SERIAL, "-b", "1001")
        self.assertEqual(status, 0, err)
        self.before = read_settings(self.home)
        self.server.clear()

    def assert_nothing_recorded(self, error, *faults, args=()):
        for spec in faults:
            self.server.fault(spec)
        status, out, err = self.run_updater("-G", "-d", SERIAL, *args)
        self.assertEqual(status, 1, out)
        self.assertRegex(err, "(^|\n)" + error + "\n")
        self.assertIsNone(self.stored(1002))
        after = read_settings(self.home)
        self.assertEqual(after["LATEST_DOWNLOAD"], "1001.bird")
        self.assertEqual(after["LAST_DOWNLOAD_DATE"], self.before["LAST_DOWNLOAD_DATE"])
        return out, err

    def test_server_error_on_the_file(self):
        self.assert_nothing_recorded("Download failed", "status=500@bird")

    def test_base64_ending_in_cr(self):
        self.assert_nothing_recorded("Failed to retreive a valid BIRD file", "base64_cr")

    def test_base64_with_a_character_outside_the_alphabet(self):
        self.assert_nothing_recorded("Failed to retreive a valid BIRD file", "base64_bad_char=*")

    def test_bytes_that_are_not_a_bird_file(self):
        self.assert_nothing_recorded("Failed to retreive a valid BIRD file", "not_bird")

    def test_a_file_that_does_not_load_whole(self):
        for faults in (("truncated_body@bird",), ("bird_corrupt=zlib@bird",),
                       ("bird_corrupt=count@bird",)):
            with self.subTest(faults=faults):
                self.server.clear()
                self.assert_nothing_recorded("Failed to retreive a valid BIRD file", *faults)

    def test_a_file_for_another_build_or_unit(self):
        def serve(data):
            with open(os.path.join(self.dir, "1002.bird"), "wb") as f:
                f.write(data)

        self.addCleanup(serve, self.files[1002])
        for data, error in ((self.files[1001], "Server sent build 1001 for build 1002"),
                            (unit_file(1002, "2.10", serial="0BADCAFE"),
                             "Server sent a file for unit 0BADCAFE, not %s" % SERIAL)):
            with self.subTest(error=error):
                serve(data)
                self.assert_nothing_recorded(error)

    def test_an_answer_without_the_file(self):
        self.assert_nothing_recorded("Failed to retreive a valid BIRD file", "body=ok\\n@bird")

    def test_a_latest_build_that_is_not_a_number(self):
        _, err = self.assert_nothing_recorded("No build information for device",
                                              "build_text=abc@qu", args=("-X", "1"))
        self.assertIn("Error: Could not convert abc to int.\n", err)
        self.assertNotIn(bird_request(1002), self.requests)

    def test_a_latest_build_of_zero(self):
        self.assert_nothing_recorded("No build information for device", "build_text=0@qu")
        self.assertEqual(self.requests, [PING, QUERY])

    def test_a_refused_query(self):
        self.assert_nothing_recorded("No build information for device", "first_line=error@qu")

    def test_an_interrupted_download_stores_nothing(self):
        self.server.fault("trickle=64@bird")
        status, _, err = self.interrupt(["-G", "-d", SERIAL], b"bird")
        self.assertEqual(status, 1)
        self.assertIn(b"Download interrupted\n", err)
        self.assertEqual(sorted(os.listdir(unit_dir(self.home))), [".settings", "1001.bird"],
                         "no partial or temporary file")
        self.assertEqual(read_settings(self.home), self.before)

    def test_a_file_that_cannot_be_written(self):
        os.mkdir(os.path.join(unit_dir(self.home), "1002.bird"))
        self.assert_nothing_recorded(r"Failed to write file with \d+")
        self.assertEqual(os.listdir(os.path.join(unit_dir(self.home), "1002.bird")), [])
        self.assertEqual(sorted(os.listdir(unit_dir(self.home))),
                         [".settings", "1001.bird", "1002.bird"], "no partial file left")

    def test_settings_that_cannot_be_read_fail_and_stay_as_they_were(self):
        settings = os.path.join(unit_dir(self.home), ".settings")
        with open(settings, "rb") as f:
            before = f.read()
        os.chmod(settings, 0)
        self.addCleanup(os.chmod, settings, 0o644)
        # Without these capabilities root too is refused a mode 000 file.
        no_dac = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
        for args in (["-G", "-d", SERIAL], ["-U", "-d", SERIAL, "-b", "1001"]):
            result = updater_test.run_updater(args + ["-u", self.server.url], self.home,
                                              timeout=60, prefix=no_dac)
            self.assertEqual(result.returncode, 1, result.stderr)
            seen = unit_dir(os.path.expanduser("~")) + "/.settings"  # the binary's view
            self.assertIn(b"Could not read settings file %s [Permission denied]\n" % seen.encode(),
                          result.stderr)
        self.assertEqual(sorted(os.listdir(unit_dir(self.home))), [".settings", "1001.bird"])
        os.chmod(settings, 0o644)
        with open(settings, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_a_plain_file_in_place_of_the_unit_directory(self):
        shutil.rmtree(unit_dir(self.home))
        with open(unit_dir(self.home), "w") as f:
            f.write("not a directory\n")
        status, _, err = self.run_updater("-G", "-d", SERIAL)
        self.assertEqual(status, 1)
        self.assertEqual(err, "Could not create directory for storing BIRD file\n")
        self.assertEqual(self.requests, [PING])


class ExitStatus(ServerCommandTest):
    def test_a_failed_get_fails_the_run_even_when_the_list_succeeds(self):
        self.server.fault("status=500@bird")
        status, out, _ = self.run_updater("-G", "-B", "-d", SERIAL)
        self.assertEqual(status, 1)
        self.assertIn("Build List for device [40F5849A]:", out)

    def test_a_failed_list_fails_the_run_after_a_good_get(self):
        self.server.fault("status=500@builds")
        status, out, err = self.run_updater("-G", "-B", "-d", SERIAL, "-b", "1001", "-OVERRIDE")
        self.assertEqual(status, 1)
        self.assertEqual(self.stored(1001), self.files[1001])
        self.assertIn("Failed to retrieve builds for 40F5849A\n", err)

    def test_get_and_list_both_succeeding_exit_0(self):
        status, out, err = self.run_updater("-G", "-B", "-d", SERIAL)
        self.assertEqual(status, 0, err)
        self.assertEqual(self.requests, [PING, QUERY, BUILDS, bird_request(1002), PING, BUILDS])


class JsonOutput(ServerCommandTest):
    def test_get_and_builds_documents_and_a_failed_list(self):
        status, out, err = self.run_updater("-G", "-B", "-d", SERIAL, "-j")
        self.assertEqual(status, 0, err)
        self.assertTrue(err.startswith(BANNER + "Retrieving firmware for device"), err)
        document = updater_test.json_document(out, "get", "builds")
        self.assertEqual(document["get"], {"serial": SERIAL, "outcome": "ok", "build": 1002,
                                           "file": "1002.bird"})
        self.assertEqual(document["builds"]["builds"], [
            {"build": 999, "version": "1.0"}, {"build": 1001, "version": "2.9"},
            {"build": 1002, "version": "2.10"}])
        status, out, err = self.run_updater("-B", "-d", "12345678", "--json")
        self.assertEqual(status, 1)
        document = updater_test.json_document(out, "builds")
        self.assertEqual(document, {"serial": "12345678", "outcome": "failed", "builds": [],
                                    "message": document["message"]})
        self.assertIn(document["message"] + "\n", err)

    def test_an_interrupted_build_list_says_so(self):
        self.server.fault("trickle=1@builds")
        status, out, err = self.interrupt(["-B", "-d", SERIAL, "-j"], b"builds")
        self.assertEqual(status, 1)
        self.assertIn(b"Server request interrupted\n", err)
        document = updater_test.json_document(out, "builds")
        self.assertEqual((document["outcome"], document["message"], document["builds"]),
                         ("interrupted", "Server request interrupted", []))

    def test_a_document_that_cannot_be_written_fails_the_run(self):
        with open("/dev/full", "wb") as full:
            result = subprocess.run(updater_test.isolated_command(
                [updater_test.UPDATER_BIN, "-B", "-d", SERIAL, "-j", "-u", self.server.url],
                self.home), stdout=full, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"Could not write the JSON document [No space left on device]", result.stderr)


class Spinner(ServerCommandTest):
    FRAME = re.compile(rb"\r \(Downloading\) \.{1,5}      \r")
    CLEAR = b"\r" + b" " * 88 + b"\r"

    def run_on_pty(self, *args):
        """Runs the binary with its standard output on a pseudo-terminal;
        (status, what the terminal received)."""
        master, slave = pty.openpty()
        cmd = updater_test.isolated_command(
            [updater_test.UPDATER_BIN] + list(args) + ["-u", self.server.url], self.home)
        process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=slave,
                                   stderr=subprocess.DEVNULL)
        os.close(slave)
        received = b""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.5)
            if ready:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                received += chunk
            elif process.poll() is not None:
                break
        os.close(master)
        return process.wait(timeout=30), received

    def test_the_spinner_turns_on_a_terminal_and_is_cleared(self):
        self.server.fault("delay=0.6@bird")
        status, received = self.run_on_pty("-G", "-d", SERIAL)
        self.assertEqual(status, 0, received)
        frames = self.FRAME.findall(received)
        self.assertGreaterEqual(len(frames), 3, received)
        self.assertIn(b"\r (Downloading) .      \r", received)
        self.assertIn(b"\r (Downloading) ..      \r", received)
        last_frame = received.rfind(frames[-1])
        clear = received.find(self.CLEAR, last_frame)
        self.assertGreater(clear, last_frame, "the line is cleared after the last frame")

    def test_no_spinner_in_redirected_output(self):
        self.server.fault("delay=0.6@bird")
        status, out, err = self.run_updater("-G", "-d", SERIAL)
        self.assertEqual(status, 0, err)
        self.assertNotIn("\r", out)
        self.assertNotIn("Downloading", out)
        self.assertIn("Build 1002 is valid\n", out)


if __name__ == "__main__":
    updater_test.main()
