"""tools/update_server.py: every operation's exact answer, the failure
answers, the request log and each fault switch, over real HTTP."""

import base64
import json
import os
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

FP = "0A0B0C0D%201A1B1C1D%202A2B2C2D%203A3B3C3D"
PING = "/cgi/u?op=hi&rv=2&"
QUERY = "/cgi/u?op=qu&sn=0000002B&"
BUILDS = "/cgi/u?op=builds&sn=0000002B&"
BIRD12 = "/cgi/u?bld=12&fw=main&no_cal=false&op=bird&sn=0000002B&"
FIX = "/cgi/u?brief=true&fp=%s&op=fix&" % FP
ALL = (PING, QUERY, BUILDS, BIRD12, FIX)
B64 = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=")


def unit_file(build, serial=0x2B):
    return birdtool.bird_file([
        birdtool.identity_block(build, "%d.0" % build, serial, "PodUsb"),
        birdtool.firmware_block(0, birdtool.pattern("random", 3000, build))])


INLINE = {"blocks": [{"type": "identity", "build": 13, "version": "2.0", "serial": "0000002B",
                      "model": "PodUsb"},
                     {"type": "firmware", "address": 0, "pattern": "counter", "size": 100}]}


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_catalog(directory, extra_units=None):
    write(os.path.join(directory, "0000002B", "12.bird"), unit_file(12))
    units = {"0000002B": {"firmware": "main", "latest": 13, "builds": [
        {"build": 12, "version": "1.0", "file": "0000002B/12.bird"},
        {"build": 13, "version": "2.0", "bird": INLINE}]},
        "DEADDEAD": {"firmware": "liveloader", "builds": []}}
    units.update(extra_units or {})
    catalog = {"units": units, "fingerprints": {
        "0A0B0C0D 1A1B1C1D 2A2B2C2D 3A3B3C3D": {"serial": "0000002B"},
        "00000001 00000002 00000003 00000004": {"serial": "DEADDEAD", "build": 7}}}
    path = os.path.join(directory, "catalog.json")
    with open(path, "w") as f:
        json.dump(catalog, f)
    return path


class ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="update-server-test-")
        cls.catalog = make_catalog(cls.dir)
        cls.server = UpdateServerProcess(catalog=cls.catalog)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.server.clear()

    def get(self, path, **kwargs):
        return self.server.request(path, **kwargs)

    def body(self, path):
        status, _, body = self.get(path)
        self.assertEqual(status, 200)
        return body


class OperationTest(ServerTest):
    def test_ping_answers_ok_over_http_1_1(self):
        sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        with sock:
            sock.sendall(b"GET /cgi/u?op=hi&rv=2& HTTP/1.1\r\nHost: x\r\n\r\n")
            answer = b""
            while chunk := sock.recv(4096):
                answer += chunk
        head, _, body = answer.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        self.assertEqual(lines[0], b"HTTP/1.1 200 OK")
        self.assertIn(b"Content-Length: 3", lines)
        self.assertIn(b"Connection: close", lines)
        self.assertEqual(body, b"ok\n")

    def test_query_build(self):
        self.assertEqual(self.body(QUERY), b"ok\n13\nmain\n")

    def test_build_list(self):
        self.assertEqual(self.body(BUILDS), b"ok\n12;1.0\n13;2.0\n")
        self.assertEqual(self.body("/cgi/u?op=builds&sn=DEADDEAD&"), b"ok\n")

    def test_bird_from_a_file_and_from_a_description(self):
        for path, expected in ((BIRD12, unit_file(12)),
                               (BIRD12.replace("bld=12", "bld=13"),
                                birdtool.build_description(INLINE))):
            with self.subTest(path=path):
                lines = self.body(path).split(b"\n")
                self.assertEqual(lines[0], b"ok")
                self.assertEqual(lines[2:], [b""])
                self.assertEqual(base64.b64decode(lines[1], validate=True), expected)

    def test_bird_file_is_read_at_each_request(self):
        path = os.path.join(self.dir, "0000002B", "12.bird")
        self.addCleanup(write, path, unit_file(12))
        write(path, b"bird\x01\x01replaced")
        lines = self.body(BIRD12).split(b"\n")
        self.assertEqual(base64.b64decode(lines[1]), b"bird\x01\x01replaced")

    def test_recovery_info(self):
        self.assertEqual(self.body(FIX), b"ok\n0000002B\n13\n")
        fp = "00000001%2000000002%2000000003%2000000004"
        self.assertEqual(self.body("/cgi/u?brief=true&fp=%s&op=fix&" % fp),
                         b"ok\nDEADDEAD\n7\n")

    def test_unanswerable_requests_fail_with_status_200(self):
        cases = {
            "/cgi/u?op=qu&sn=12345678&": b"error\nunknown serial number 12345678\n",
            "/cgi/u?op=builds&sn=xyz&": b"error\nbad serial number xyz\n",
            "/cgi/u?op=qu&": b"error\nmissing parameter sn\n",
            BIRD12.replace("bld=12", "bld=14"): b"error\nunknown build 14 for 0000002B\n",
            BIRD12.replace("bld=12", "bld=abc"): b"error\nunknown build abc for 0000002B\n",
            BIRD12.replace("bld=12", "bld=0"): b"error\nunknown build 0 for 0000002B\n",
            FIX.replace("0A0B0C0D", "FFFFFFFF"):
                b"error\nunknown fingerprint FFFFFFFF%201A1B1C1D%202A2B2C2D%203A3B3C3D\n",
            "/cgi/u?brief=true&fp=1%202&op=fix&": b"error\nbad fingerprint 1%202\n",
            "/cgi/u?op=zz&": b"error\nunknown operation zz\n",
            "/cgi/u": b"error\nunknown operation \n",
        }
        for path, expected in cases.items():
            with self.subTest(path=path):
                self.assertEqual(self.body(path), expected)

    def test_other_paths_are_not_found(self):
        for path in ("/", "/cgi/u/x?op=hi&rv=2&", "/cgi?op=hi"):
            with self.subTest(path=path):
                self.assertEqual(self.get(path)[0], 404)

    def test_libcurl_client_reads_the_answer(self):
        curl = shutil.which("curl")
        if not curl:
            self.skipTest("no curl command")
        r = subprocess.run([curl, "-sS", "-w", "%{http_code}", self.server.url + "?op=qu&sn="
                            "0000002B&"], capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"ok\n13\nmain\n200")


class RequestLogTest(ServerTest):
    def test_request_lines_are_logged_exactly(self):
        before = len(self.server.log_lines())
        for path in ALL:
            self.get(path)
        self.server.control()
        sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        with sock:
            sock.sendall(b"GET /cgi/u?op=hi&rv=2&&x=%2f  HTTP/1.0\r\n\r\n")
            while sock.recv(4096):
                pass
        expected = [b"GET %s HTTP/1.1" % p.encode() for p in ALL]
        expected.append(b"GET /cgi/u?op=hi&rv=2&&x=%2f  HTTP/1.0")
        self.assertEqual(self.server.log_lines()[before:], expected)


class FaultTest(ServerTest):
    def answers(self):
        return {path: self.get(path)[::2] for path in ALL}

    def test_status_for_all_operations_or_one(self):
        self.server.fault("status=500")
        for path, answer in self.answers().items():
            self.assertEqual(answer, (500, b"error\n"), path)
        self.server.clear()
        self.server.fault("status=404@bird,builds")
        answers = self.answers()
        self.assertEqual(answers[PING], (200, b"ok\n"))
        self.assertEqual(answers[BIRD12][0], 404)
        self.assertEqual(answers[BUILDS][0], 404)
        self.assertEqual(answers[QUERY], (200, b"ok\n13\nmain\n"))

    def test_first_line(self):
        self.server.fault("first_line=OK@qu")
        self.assertEqual(self.body(QUERY), b"OK\n13\nmain\n")
        self.assertEqual(self.body(PING), b"ok\n")
        self.server.fault("first_line")
        self.assertEqual(self.body(PING), b"error\n")

    def test_delay(self):
        self.server.fault("delay=0.3@hi")
        start = time.monotonic()
        self.assertEqual(self.body(PING), b"ok\n")
        self.assertGreaterEqual(time.monotonic() - start, 0.3)

    def test_hang_holds_the_connection_without_an_answer(self):
        self.server.fault("hang@bird")
        sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        with sock:
            sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % BIRD12.encode())
            sock.settimeout(0.5)
            with self.assertRaises(socket.timeout):
                sock.recv(1)
            # Other operations and the control path still answer meanwhile.
            self.assertEqual(self.body(PING), b"ok\n")
            self.assertIn("hang", self.server.control()["faults"])

    def test_base64_ending_in_cr(self):
        self.server.fault("base64_cr")
        lines = self.body(BIRD12).split(b"\n")
        self.assertEqual(lines[1][-1:], b"\r")
        self.assertEqual(base64.b64decode(lines[1][:-1]), unit_file(12))

    def test_base64_with_a_character_outside_the_alphabet(self):
        for char, byte in (("*", b"*"), ("\xe9", b"\xe9")):
            with self.subTest(char=char):
                self.server.fault("base64_bad_char=" + char)
                text = self.body(BIRD12).split(b"\n")[1]
                good = base64.b64encode(unit_file(12))
                self.assertEqual(len(text), len(good))
                self.assertEqual([c for c in text if c not in B64], [byte[0]])
                self.assertEqual(sum(a != b for a, b in zip(text, good)), 1)

    def test_payload_that_is_not_a_bird_file(self):
        self.server.fault("not_bird")
        data = base64.b64decode(self.body(BIRD12).split(b"\n")[1], validate=True)
        self.assertNotEqual(data[:4], b"bird")

    def test_build_text_that_is_not_a_number(self):
        self.server.fault("build_text")
        self.assertEqual(self.body(QUERY), b"ok\nabc\nmain\n")
        self.assertEqual(self.body(FIX), b"ok\n0000002B\nabc\n")
        self.server.fault("build_text=0x10@fix")
        self.assertEqual(self.body(FIX), b"ok\n0000002B\n0x10\n")
        self.assertEqual(self.body(QUERY), b"ok\n13\nmain\n")

    def test_whole_body_overrides(self):
        self.server.fault(r"body=ok\n12;1.0\n\n13\n12;2.0\nx\n@builds")
        self.assertEqual(self.body(BUILDS), b"ok\n12;1.0\n\n13\n12;2.0\nx\n")
        self.server.fault("only_newlines@builds")
        self.assertEqual(self.body(BUILDS), b"\n\n\n")
        self.server.fault("empty_body")
        status, headers, body = self.get(PING)
        self.assertEqual((status, headers["Content-Length"], body), (200, "0", b""))

    def test_messy_build_list(self):
        self.server.fault("messy_builds")
        self.assertEqual(self.body(BUILDS),
                         b"ok\n\n12;1.0\n\n13;2.0\n\n12;duplicate\nx\n14\n")

    def test_clearing_one_fault_keeps_the_others(self):
        self.server.fault("status=500@qu", "first_line=OK@hi")
        self.server.clear("status")
        self.assertEqual(self.body(QUERY), b"ok\n13\nmain\n")
        self.assertEqual(self.body(PING), b"OK\n")

    def test_bad_control_requests_are_refused(self):
        for query in ("fault=nosuch", "fault=status", "fault=delay=soon", "clear=nosuch",
                      "fault=base64_bad_char=ab", "bogus=1"):
            with self.subTest(query=query):
                self.assertEqual(self.get("/control?" + query)[0], 400)
        self.assertEqual(self.server.control()["faults"], {})


class StartOptionsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="update-server-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_faults_given_at_start(self):
        with UpdateServerProcess(catalog=make_catalog(self.dir),
                                 faults=["status=500@qu", "first_line=okay"]) as server:
            self.assertEqual(server.request(QUERY)[0], 500)
            self.assertEqual(server.request(PING)[2], b"okay\n")

    def test_reload_reads_the_changed_catalog(self):
        catalog = make_catalog(self.dir)
        with UpdateServerProcess(catalog=catalog) as server:
            self.assertEqual(server.request("/cgi/u?op=qu&sn=00000099&")[2][:6], b"error\n")
            make_catalog(self.dir, {"00000099": {"latest": 3, "firmware": "x"}})
            server.control(reload=1)
            self.assertEqual(server.request("/cgi/u?op=qu&sn=00000099&")[2], b"ok\n3\nx\n")

    def test_store_tree_without_a_catalog(self):
        for build in (12, 9):
            write(os.path.join(self.dir, "0000002B", "%d.bird" % build), unit_file(build))
        os.makedirs(os.path.join(self.dir, "not-a-unit"))
        with UpdateServerProcess(bird_dir=self.dir) as server:
            self.assertEqual(server.request(BUILDS)[2], b"ok\n9;9.0\n12;12.0\n")
            self.assertEqual(server.request(QUERY)[2], b"ok\n12\nmain\n")
            body = server.request(BIRD12.replace("bld=12", "bld=9"))[2]
            self.assertEqual(base64.b64decode(body.split(b"\n")[1]), unit_file(9))

    def test_example_catalog_serves_its_units(self):
        example = os.path.join(updater_test.TOOLS_DIR, "update_server.example.json")
        with UpdateServerProcess(catalog=example) as server:
            self.assertEqual(server.request("/cgi/u?op=builds&sn=40F5849A&")[2],
                             b"ok\n1001;1.0.1\n1002;1.1.0\n")
            body = server.request("/cgi/u?bld=500&fw=liveloader&no_cal=false&op=bird&"
                                  "sn=DEADDEAD&")[2]
            info, _ = birdtool.parse(base64.b64decode(body.split(b"\n")[1]))
            self.assertEqual(info["problems"], [])
            self.assertEqual(info["identity"]["serial"], "DEADDEAD")
            self.assertEqual(info["loader_start"], 0x20000400)

    def test_bad_catalog_stops_the_start(self):
        path = os.path.join(self.dir, "bad.json")
        cases = [({"units": {"XYZ": {}}}, "serial number 'XYZ'"),
                 ({"units": {"0000002B": []}}, "unit 0000002B is not an object"),
                 ({"units": {"2B": {"builds": [{"build": "x", "file": "a"}]}}},
                  "build 'x' is not a build number"),
                 ({"units": {"2B": {"builds": [{"build": 1}]}}}, "exactly one of file"),
                 ({"fingerprints": {"1 2 3": {}}}, "not four words"),
                 ({"units": {}, "extra": 1}, "unknown keys")]
        for catalog, message in cases:
            with self.subTest(catalog=catalog):
                write(path, json.dumps(catalog).encode())
                with self.assertRaisesRegex(RuntimeError, message):
                    UpdateServerProcess(catalog=path)

    def test_terminate_ends_a_server_holding_a_connection(self):
        server = UpdateServerProcess(catalog=make_catalog(self.dir), faults=["hang"])
        sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        with sock:
            sock.sendall(b"GET %s HTTP/1.1\r\n\r\n" % PING.encode())
            server.process.send_signal(signal.SIGTERM)
            self.assertEqual(server.process.wait(timeout=10), 0)
            server.stop()


if __name__ == "__main__":
    updater_test.main()
