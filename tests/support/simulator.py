"""Starts the module simulator (tools/vantor-sim) for a test and talks to
its control channel.

    with Simulator({"modules": [...]}) as sim:
        port = sim.module("hub")["tcp"]["port"]
        sim.control("fault", module="hub", name="no_load_reply", value=True)

The simulator runs until the context ends; its ready file, control socket,
frame log and state directory live in a temporary directory that is
removed afterwards. `prefix` (for example `ip netns exec NAME`) runs it
inside a network namespace; Unix sockets are reached from outside it.
"""

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.environ.get(
    "UPDATER_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
SIMULATOR = os.path.join(SOURCE_DIR, "tools", "vantor-sim")


class SimulatorError(Exception):
    pass


class Simulator:
    def __init__(self, config, prefix=None, usb=False, state_dir=False, ready_timeout=20.0):
        self.config = config
        self.prefix = list(prefix or [])
        self.usb = usb
        self.with_state_dir = state_dir
        self.ready_timeout = ready_timeout
        self.dir = None
        self.proc = None
        self.ready = None
        self._sock = None
        self._buffer = b""

    def path(self, name):
        return os.path.join(self.dir, name)

    @property
    def state_dir(self):
        return self.path("state") if self.with_state_dir else None

    @property
    def usb_socket(self):
        return self.path("usb.sock") if self.usb else None

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="vantorsim-")
        with open(self.path("config.json"), "w", encoding="utf-8") as f:
            json.dump(self.config, f)
        cmd = self.prefix + [sys.executable, SIMULATOR, "--config", self.path("config.json"),
                             "--ready-file", self.path("ready.json"),
                             "--control", self.path("control.sock"), "--log", self.path("frames.log")]
        if self.usb:
            cmd += ["--usb-socket", self.usb_socket]
        if self.with_state_dir:
            os.mkdir(self.state_dir)
            cmd += ["--state-dir", self.state_dir]
        with open(self.path("stderr.txt"), "wb") as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=err)
        self._await_ready()
        return self

    def _await_ready(self):
        deadline = time.monotonic() + self.ready_timeout
        while not os.path.exists(self.path("ready.json")):
            if self.proc.poll() is not None:
                raise SimulatorError("simulator ended with %d: %s" % (self.proc.returncode,
                                                                      self.stderr()))
            if time.monotonic() > deadline:
                raise SimulatorError("simulator not ready: %s" % self.stderr())
            time.sleep(0.02)
        with open(self.path("ready.json"), encoding="utf-8") as f:
            self.ready = json.load(f)

    def stderr(self):
        try:
            with open(self.path("stderr.txt"), "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def module(self, name):
        for m in self.ready["modules"]:
            if name in (m["name"], m["serial"]):
                return m
        raise KeyError(name)

    def control(self, cmd, **fields):
        """Sends one request; returns the answer, raising when it failed."""
        answer = self.request(dict(fields, cmd=cmd))
        if not answer.get("ok"):
            raise SimulatorError("control %s: %s" % (cmd, answer.get("error")))
        return answer

    def request(self, message):
        if self._sock is None:
            self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self._sock.settimeout(10)
            self._sock.connect(self.path("control.sock"))
        self._sock.sendall(json.dumps(message).encode() + b"\n")
        while b"\n" not in self._buffer:
            chunk = self._sock.recv(65536)
            if not chunk:
                raise SimulatorError("control channel closed")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return json.loads(line)

    def state(self, module):
        return self.control("state", module=module)["state"]

    def wait_for(self, predicate, timeout=10.0, what="condition"):
        """Polls `predicate` until it holds; a deadline only guards a hang."""
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() > deadline:
                raise SimulatorError("timed out waiting for %s" % what)
            time.sleep(0.01)

    def log_entries(self):
        with open(self.path("frames.log"), encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def stop(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()
        return False
