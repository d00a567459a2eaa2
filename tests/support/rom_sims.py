"""Starting the boot ROM simulators of tools/ and talking to them.

`RomSim` runs one simulator in a temporary directory with its ready file,
control socket and event log there ("{dir}" in an argument names that
directory), and stops it (and removes the directory) on exit. `open_raw_pty` opens the simulator's serial port the way a client
does: raw, at a chosen rate.
"""

import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import termios
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import updater_test  # noqa: E402

# Generous: these only bound how long a broken simulator can hang a test.
START_TIMEOUT = 20.0
REPLY_TIMEOUT = 10.0


class RomSim:
    def __init__(self, tool, *args):
        self.dir = tempfile.mkdtemp(prefix="romsim-")
        self.ready_file = os.path.join(self.dir, "ready.json")
        self.control_path = os.path.join(self.dir, "control.sock")
        self.log_path = os.path.join(self.dir, "events.jsonl")
        self.tool = os.path.join(updater_test.TOOLS_DIR, tool)
        # "{dir}" in an argument stands for the simulator's own directory.
        self.args = [str(a).replace("{dir}", self.dir) for a in args]
        self.proc = None
        self.ready = None
        self._control = None
        self._control_buf = b""

    def path(self, name):
        return os.path.join(self.dir, name)

    def __enter__(self):
        self.proc = subprocess.Popen(
            [sys.executable, self.tool, "--ready-file", self.ready_file,
             "--control", self.control_path, "--log", self.log_path] + self.args,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + START_TIMEOUT
        while not os.path.exists(self.ready_file):
            if self.proc.poll() is not None:
                raise RuntimeError("%s exited: %s" % (self.tool, self.proc.stderr.read().decode()))
            if time.monotonic() > deadline:
                raise RuntimeError("%s did not get ready" % self.tool)
            time.sleep(0.01)
        with open(self.ready_file, encoding="utf-8") as f:
            self.ready = json.load(f)
        return self

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def stop(self):
        """Asks the simulator to quit (it writes its dumps) and waits."""
        if self.proc is None:
            return None
        if self.proc.poll() is not None:
            # It ended on its own: show why next to the failing test.
            sys.stderr.write(self.proc.stderr.read().decode(errors="replace"))
        else:
            try:
                self.control("quit")
            except (OSError, RuntimeError):
                self.proc.terminate()
            try:
                self.proc.wait(timeout=REPLY_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self._control:
            self._control.close()
            self._control = None
        self.proc.stderr.close()
        code, self.proc = self.proc.returncode, None
        return code

    def control(self, op, **fields):
        """One control request; returns the answer, raises on {"ok": false}."""
        if self._control is None:
            self._control = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self._control.settimeout(REPLY_TIMEOUT)
            self._control.connect(self.control_path)
        request = dict(fields, op=op)
        self._control.sendall((json.dumps(request) + "\n").encode())
        while b"\n" not in self._control_buf:
            chunk = self._control.recv(65536)
            if not chunk:
                raise RuntimeError("control channel closed")
            self._control_buf += chunk
        line, self._control_buf = self._control_buf.split(b"\n", 1)
        answer = json.loads(line)
        if not answer.get("ok"):
            raise RuntimeError("control %s failed: %s" % (op, answer.get("error")))
        return answer

    def events(self, since=0):
        return self.control("events", since=since)["events"]

    def wait_event(self, predicate, since=0):
        """The first event from `since` on that satisfies `predicate`."""
        deadline = time.monotonic() + REPLY_TIMEOUT
        while True:
            for event in self.events(since):
                if predicate(event):
                    return event
            if time.monotonic() > deadline:
                raise AssertionError("expected event never came")
            time.sleep(0.005)

    def wait_state(self, state):
        """Waits until the simulator has taken in what was sent and is in
        `state` (its status is read as soon as the bytes are written)."""
        deadline = time.monotonic() + REPLY_TIMEOUT
        while self.control("status")["state"] != state:
            if time.monotonic() > deadline:
                raise AssertionError("simulator never reached state %s" % state)
            time.sleep(0.005)

    def next_seq(self):
        events = self.events()
        return events[-1]["seq"] + 1 if events else 0


SPEEDS = {rate: getattr(termios, "B%d" % rate)
          for rate in (2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)}


def open_raw_pty(path, rate=115200):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    set_rate(fd, rate)
    return fd


def set_rate(fd, rate):
    attrs = termios.tcgetattr(fd)
    attrs[4] = attrs[5] = SPEEDS[rate]
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def read_exactly(fd, count, timeout=REPLY_TIMEOUT):
    out = b""
    deadline = time.monotonic() + timeout
    while len(out) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError("wanted %d bytes, got %r" % (count, out))
        out += os.read(fd, count - len(out))
    return out


def read_until(fd, terminator, timeout=REPLY_TIMEOUT):
    out = b""
    deadline = time.monotonic() + timeout
    while not out.endswith(terminator):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError("wanted %r, got %r" % (terminator, out))
        out += os.read(fd, 1)
    return out


def pending(fd):
    """Whatever is already waiting, without waiting for more."""
    out = b""
    while select.select([fd], [], [], 0)[0]:
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        out += chunk
    return out
