"""Emulated USB modules for the end-to-end tests.

`UsbEmulation` starts the harness (`usb_harness`, built in tests/), which
owns a umockdev testbed and connects to the module side over a Unix
socket: the device simulator started with `--usb-socket PATH`, or a
`UsbPeer` that a test plays itself. A client under test is an ordinary
program run with `emulation.env()` (LD_PRELOAD of the umockdev preload
library and UMOCKDEV_DIR of the testbed). The protocol between harness
and module side is described at the top of tests/support/usb_harness.c.

    with UsbPeer() as peer, UsbEmulation(peer.path) as usb:
        peer.wait_harness()
        peer.attach(1, "40F5849A")
        with Probe(usb.env()) as probe:
            probe.ask("enumerate USB")
"""

import glob
import json
import os
import queue
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import updater_test

HARNESS = os.path.join(updater_test.BUILD_DIR, "tests", "usb_harness")
PROBE = os.path.join(updater_test.BUILD_DIR, "tests", "usb_probe")
PRELOAD = "libumockdev-preload.so.0"

# Transport states as the probe prints them.
CREATED, CLOSED, OPEN, FAILED = "1", "2", "4", "5"

# The vendor interface of a module: class 0xFF, subclass 0x88, protocol 0x10,
# a bulk IN and a bulk OUT endpoint.
MODULE_INTERFACES = [{"number": 0, "alt": 0, "class": 255, "subclass": 136, "protocol": 16,
                      "endpoints": [{"address": 0x81, "attributes": 2, "max_packet": 64},
                                    {"address": 0x01, "attributes": 2, "max_packet": 64}]}]


def vendor_id():
    """The modules' vendor ID, as the build was configured."""
    path = os.path.join(updater_test.BUILD_DIR, "generated", "updater_config.h")
    with open(path, encoding="utf-8") as f:
        m = re.search(r"#define UPDATER_VANTOR_VENDOR_ID\s+(\S+)", f.read())
    return int(m.group(1), 0)


def why_not_available():
    """None when the emulation can run here, else the reason."""
    if not os.path.exists(HARNESS):
        return "the USB harness was not built (umockdev-1.0 or json-glib-1.0 missing)"
    if not os.path.exists(PROBE):
        return "the USB probe was not built"
    return None


class UsbEmulation:
    """The harness process and its testbed. With `hid_socket` (the
    --hid-socket of tools/imx_sdp_sim.py) the same testbed also holds the
    i.MX serial download ROM's HID device: a recovery that starts a
    liveloader through the ROM and then finds it on USB sees both."""

    def __init__(self, socket_path, trace=False, exclusive_claims=False, hid_socket=None):
        self.socket_path = socket_path
        self.trace = trace
        self.exclusive_claims = exclusive_claims
        self.hid_socket = hid_socket
        self.process = None
        self.root = None
        self.events = []
        self._cond = threading.Condition()
        self._reader = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self, timeout=15):
        env = dict(os.environ)
        env.pop("LD_PRELOAD", None)
        if self.trace:
            env["USB_HARNESS_TRACE"] = "1"
        cmd = [HARNESS, "--socket", self.socket_path]
        if self.exclusive_claims:
            # A claim of an interface another client holds fails (EBUSY).
            cmd.append("--exclusive-claims")
        if self.hid_socket:
            cmd += ["--hid-socket", self.hid_socket]
        self.process = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline().decode() if ready else ""
        if not line.startswith("READY "):
            self.stop()
            raise RuntimeError("the USB harness did not start")
        self.root = line.split(" ", 1)[1].strip()
        self._reader = threading.Thread(target=self._read_events, daemon=True)
        self._reader.start()

    def _read_events(self):
        for raw in self.process.stdout:
            with self._cond:
                self.events.append(raw.decode(errors="replace").strip())
                self._cond.notify_all()

    def wait_hid(self, event="ATTACHED", occurrence=1, timeout=10):
        """Waits until the ROM's HID device has been reported `event`
        ("ATTACHED", "DETACHED") `occurrence` times."""
        with self._cond:
            if not self._cond.wait_for(lambda: self.events.count(event) >= occurrence, timeout):
                raise AssertionError("the emulated HID device was not %s (%r)"
                                     % (event.lower(), self.events))

    def env(self, base=None):
        """The environment a client runs in to see the emulated devices."""
        env = dict(os.environ if base is None else base)
        env["LD_PRELOAD"] = PRELOAD
        env["UMOCKDEV_DIR"] = self.root
        return env

    def device_count(self):
        return len(glob.glob(os.path.join(self.root, "sys", "bus", "usb", "devices", "*")))

    def wait_devices(self, count, timeout=10):
        end = time.monotonic() + timeout
        while self.device_count() != count:
            if time.monotonic() > end:
                raise AssertionError("%d emulated devices, not %d" % (self.device_count(), count))
            time.sleep(0.02)

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self._reader is not None:
            self._reader.join(timeout=5)
            self._reader = None
        self.process.stdout.close()
        self.process = None


class UsbPeer:
    """The module side of the harness's socket, played by a test: it
    attaches devices, sends IN bytes and stalls, and records what the
    harness reports (OUT bytes, claims, cleared halts, IN URBs)."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="usb-peer-")
        self.path = os.path.join(self.dir, "usb.sock")
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(self.path)
        self.server.listen(1)
        self.conn = None
        self.tokens = 0
        self.inbox = queue.Queue()
        self.log = []
        self.reader = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def wait_harness(self, timeout=15):
        self.server.settimeout(timeout)
        self.conn, _ = self.server.accept()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        buf = b""
        while True:
            try:
                data = self.conn.recv(65536)
            except OSError:
                break
            if not data:
                break
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                if line.strip():
                    msg = json.loads(line)
                    self.log.append(msg)
                    self.inbox.put(msg)

    def send(self, message):
        self.conn.sendall(json.dumps(message).encode() + b"\n")

    def attach(self, ident, serial, vendor=None, product=0x0011, interfaces=None, devnum=None,
               wait=True):
        self.send({"op": "attach", "id": ident, "serial": serial,
                   "vendor": vendor_id() if vendor is None else vendor, "product": product,
                   "busnum": 1, "devnum": devnum if devnum is not None else ident + 1,
                   "interfaces": MODULE_INTERFACES if interfaces is None else interfaces})
        if wait:
            self.expect("attached", ident)

    def detach(self, ident):
        self.send({"op": "detach", "id": ident})
        self.sync()

    def send_in(self, ident, data, complete=True):
        msg = {"op": "in", "id": ident, "data": bytes(data).hex()}
        if not complete:
            msg["complete"] = False
        self.send(msg)
        self.sync()

    def stall(self, ident, endpoint):
        self.send({"op": "stall", "id": ident, "endpoint": endpoint})
        self.sync()

    def sync(self):
        """Returns once the harness has acted on every message sent."""
        self.tokens += 1
        self.send({"op": "sync", "token": self.tokens})
        while self.expect("synced")["token"] != self.tokens:
            pass

    def expect(self, op, ident=None, timeout=5):
        """The next message of that op (and device), skipping others."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r from the harness" % op)
            try:
                msg = self.inbox.get(timeout=left)
            except queue.Empty:
                continue
            if msg.get("op") == op and (ident is None or msg.get("id") == ident):
                return msg

    def drain(self):
        """Forgets the messages not yet expected."""
        while not self.inbox.empty():
            self.inbox.get_nowait()

    def seen(self, op, ident=None):
        """Every message of that op so far. Syncs first, so whatever the
        harness sent before the client's last answer is in."""
        self.sync()
        return [m for m in self.log if m.get("op") == op and (ident is None or m.get("id") == ident)]

    def close(self):
        for s in (self.conn, self.server):
            if s is not None:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()
        if self.reader is not None:
            self.reader.join(timeout=5)
        shutil.rmtree(self.dir, ignore_errors=True)


class Probe:
    """The test client (`usb_probe`): one command a line, one answer each.
    Lines other than answers and module lines (say, a message the library
    printed) are kept in `other`."""

    def __init__(self, env, prefix=None):
        self.process = subprocess.Popen(list(prefix or []) + [PROBE], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1)
        self.lines = queue.Queue()
        self.other = []
        self.last = None
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def ask(self, command, timeout=30):
        """Sends a command; returns (answer words, module lines before it)."""
        self.send(command)
        return self.answer(timeout)

    def send(self, command):
        """Sends a command without waiting for its answer."""
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        self.last = command

    def answer(self, timeout=30):
        """The answer to the command sent last."""
        modules = []
        end = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                raise AssertionError("no answer to %r" % self.last) from None
            if line is None:
                raise AssertionError("the probe ended during %r" % self.last)
            if line.startswith("= "):
                return line[2:].split(" "), modules
            if line.startswith("module "):
                modules.append(parse_module(line))
            else:
                self.other.append(line)

    def kill(self):
        self.process.kill()
        self.process.wait()

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.close()
            except OSError:
                pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.reader.join(timeout=5)
        for f in (self.process.stdin, self.process.stdout):
            try:
                f.close()
            except OSError:
                pass
        return self.process.returncode


def parse_module(line):
    """A "module k=v ..." line of the probe as a dict."""
    fields = dict(word.split("=", 1) for word in line.split()[1:])
    return fields


class EmulatedUsbTest(unittest.TestCase):
    """A test case with its own harness and module side (`self.peer`);
    `probe()` starts a client that sees the emulated devices."""

    EXCLUSIVE_CLAIMS = False

    def setUp(self):
        reason = why_not_available()
        if reason:
            self.skipTest(reason)
        self.peer = UsbPeer()
        self.addCleanup(self.peer.close)
        self.usb = UsbEmulation(self.peer.path, exclusive_claims=self.EXCLUSIVE_CLAIMS)
        self.usb.start()
        self.addCleanup(self.usb.stop)
        self.peer.wait_harness()

    def probe(self):
        p = Probe(self.usb.env())
        self.addCleanup(p.close)
        return p

    def opened(self, serial="40F5849A", ident=1, **attach):
        self.peer.attach(ident, serial, **attach)
        p = self.probe()
        self.assertEqual(p.ask("create usblib")[0], ["kErrNone", CREATED])
        self.assertEqual(p.ask("open " + serial)[0], ["kErrNone", OPEN])
        return p
