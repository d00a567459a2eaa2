"""A tap on a serial line that is a pseudo-terminal.

`PtyTap` puts a second pty in front of a simulator's: the client opens
`tap.path`, and a thread passes the bytes both ways and records them.
`rule(line, byte)` may replace each byte going to the simulator, `line`
being what its current line holds so far: a test spoils bytes as a bad line
would. Close the tap (it joins its thread) before the simulator goes.
"""

import os
import select
import sys
import threading
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import rom_sims  # noqa: E402


class PtyTap:
    def __init__(self, far_pty, rate, rule=None):
        self.master, self.slave = os.openpty()
        # Holding the slave open keeps the master readable between clients.
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.far = rom_sims.open_raw_pty(far_pty, rate)
        self.rule = rule
        self.to_far = bytearray()
        self.to_client = bytearray()
        self._line = bytearray()
        self._stop_r, self._stop_w = os.pipe()
        self._thread = threading.Thread(target=self._run)
        self._thread.start()

    @staticmethod
    def _write_all(fd, data):
        while data:
            data = data[os.write(fd, data):]

    def _filter(self, data):
        out = bytearray()
        for byte in data:
            if self.rule:
                byte = self.rule(bytes(self._line), byte)
            out.append(byte)
            if byte == 0x0A:
                self._line.clear()
            else:
                self._line.append(byte)
        self.to_far += out
        return bytes(out)

    def _run(self):
        while True:
            ready = select.select([self.master, self.far, self._stop_r], [], [])[0]
            if self._stop_r in ready:
                return
            if self.master in ready:
                self._write_all(self.far, self._filter(os.read(self.master, 4096)))
            if self.far in ready:
                data = os.read(self.far, 4096)
                self.to_client += data
                self._write_all(self.master, data)

    def close(self):
        if self._thread is None:
            return
        os.write(self._stop_w, b"x")
        self._thread.join()
        self._thread = None
        for fd in (self.master, self.slave, self.far, self._stop_r, self._stop_w):
            os.close(fd)

    def lines(self):
        """What went to the far end, split at CR LF."""
        lines = bytes(self.to_far).split(b"\r\n")
        if lines[-1] == b"":
            lines.pop()
        return lines
