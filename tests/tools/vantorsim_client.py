"""A small host side of the packet link for the simulator's tests.

Written from the wire format alone and sharing nothing with the simulator,
so that a framing fault on one side is not mirrored on the other.
"""

import os
import select
import socket
import struct
import sys
import termios
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import simulator  # noqa: E402,F401  (re-exported for the tests)

MAGIC = 0xAD


def frame(address, data=b""):
    data = bytes(data)
    assert len(data) <= 28
    return bytes([address, len(data)]) + data


class Link:
    """Frames over a byte stream: a TCP socket or a pseudo-terminal."""

    def __init__(self, read, write, close, fileno):
        self._read, self._write, self._close, self._fileno = read, write, close, fileno
        self.buffer = bytearray()
        self.held = []

    @classmethod
    def tcp(cls, host, port):
        s = socket.create_connection((host, port), timeout=5)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return cls(lambda: s.recv(4096), s.sendall, s.close, s.fileno)

    @classmethod
    def pty(cls, path):
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        termios.tcflush(fd, termios.TCIOFLUSH)

        def write(data):
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
        return cls(lambda: os.read(fd, 4096), write, lambda: os.close(fd), lambda: fd)

    def close(self):
        self._close()

    def send(self, address, data=b""):
        self._write(frame(address, data))

    def send_raw(self, data):
        self._write(bytes(data))

    def _fill(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        ready, _, _ = select.select([self._fileno()], [], [], remaining)
        if not ready:
            return False
        chunk = self._read()
        if not chunk:
            raise EOFError("link closed by the module")
        self.buffer += chunk
        return True

    def read_raw(self, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        while len(self.buffer) < count:
            if not self._fill(deadline):
                raise TimeoutError("wanted %d raw bytes, have %s" % (count, self.buffer.hex()))
        out = bytes(self.buffer[:count])
        del self.buffer[:count]
        return out

    def _take_frame(self):
        if len(self.buffer) < 2 or len(self.buffer) < 2 + self.buffer[1]:
            return None
        address, length = self.buffer[0], self.buffer[1]
        if address == 0 or address % 2 or length > 28:
            raise AssertionError("bad frame from the module: %s" % self.buffer.hex())
        data = bytes(self.buffer[2:2 + length])
        del self.buffer[:2 + length]
        return address, data

    def recv(self, timeout=5.0, match=None):
        """The next frame (address, data) that `match` accepts; frames it
        rejects are held for later calls."""
        for i, f in enumerate(self.held):
            if match is None or match(*f):
                return self.held.pop(i)
        deadline = time.monotonic() + timeout
        while True:
            f = self._take_frame()
            if f is not None:
                if match is None or match(*f):
                    return f
                self.held.append(f)
                continue
            if not self._fill(deadline):
                raise TimeoutError("no matching frame; held %r" % self.held)

    def reply(self, address, prefix, timeout=5.0):
        """The next frame from `address` whose data begins with `prefix`."""
        prefix = bytes(prefix)
        return self.recv(timeout, lambda a, d: a == address and d[:len(prefix)] == prefix)[1]

    def barrier(self, address, token=b"\x5a\xa5"):
        """Sends a debug echo and returns every frame that came before its
        answer: proves that nothing else was sent in between."""
        self.send(address, bytes([23]) + token)
        before = list(self.held)
        self.held.clear()
        while True:
            a, d = self.recv()
            if a == address and d == bytes([23]) + token:
                return before
            before.append((a, d))

    def get(self, address, option, cls=3, index=0, subindex=None):
        request = bytes([cls, option | 0x40, index | 0x20])
        if subindex is not None:
            request += bytes([subindex])
        self.send(address, request)
        return self.recv(match=lambda a, d: a == address and len(d) >= 3 and d[0] == cls
                         and d[1] == option and d[2] & 0x1F == index)[1]

    def set(self, address, option, value_bytes, cls=3, index=0):
        self.send(address, bytes([cls, option | 0x80, index | 0x20]) + bytes(value_bytes))
        return self.recv(match=lambda a, d: a == address and len(d) >= 3 and d[0] == cls
                         and d[1] == option | 0xC0 and d[2] & 0x1F == index)[1]

    def get_u32(self, address, option, **kw):
        d = self.get(address, option, **kw)
        assert len(d) == 7 and not d[2] & 0x80, d.hex()
        return struct.unpack(">I", d[3:7])[0]

    def get_u8(self, address, option, **kw):
        d = self.get(address, option, **kw)
        assert len(d) == 4 and not d[2] & 0x80, d.hex()
        return d[3]

    def command(self, address, data, prefix_len=2, timeout=5.0):
        """Sends a plain command and returns the reply matching its first bytes."""
        data = bytes(data)
        self.send(address, data)
        return self.reply(address, data[:prefix_len], timeout)
