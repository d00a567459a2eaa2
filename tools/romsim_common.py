"""Plumbing shared by the boot ROM simulators.

Both simulators are single-threaded: one selector loop owns the
pseudo-terminal, the control channel and (for the i.MX ROM) the HID harness
socket, so the ROM state needs no locks and a test sees every answer in the
order the ROM produced it.
"""

import json
import os
import selectors
import signal
import socket
import termios
import time
import tty

# Numeric rate for every speed constant this Python knows, so that the rate a
# client set on the slave with cfsetispeed can be reported as bit/s.
_SPEEDS = {getattr(termios, name): int(name[1:])
           for name in dir(termios) if name[:1] == "B" and name[1:].isdigit()}


def parse_int(text):
    """Integer from decimal, 0x hexadecimal or a K/M size suffix."""
    text = str(text).strip()
    scale = 1
    if text[-1:] in ("K", "k"):
        scale, text = 1024, text[:-1]
    elif text[-1:] in ("M", "m"):
        scale, text = 1024 * 1024, text[:-1]
    return int(text, 0) * scale


def write_json_atomic(path, value):
    """Readers polling for the file never see it half written."""
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(value, f)
        f.write("\n")
    os.replace(tmp, path)


def write_file_atomic(path, data):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


class EventLog:
    """Every event goes to the JSON-lines file at once (a test may read it
    while the simulator runs) and stays in memory for the control channel."""

    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8") if path else None
        self.events = []

    def record(self, event_name, /, **fields):
        event = {"seq": len(self.events), "time": round(time.time(), 6), "event": event_name}
        event.update(fields)
        self.events.append(event)
        if self._file:
            self._file.write(json.dumps(event) + "\n")
            self._file.flush()
        return event

    def since(self, seq):
        return self.events[max(0, seq):]

    def close(self):
        if self._file:
            self._file.close()
            self._file = None


class Loop:
    """Selector loop with per-descriptor read and write callbacks. SIGINT and
    SIGTERM end it through a wake-up pipe, so the exit path (dumps, removal
    of sockets) runs on the loop's own thread."""

    def __init__(self):
        self._sel = selectors.DefaultSelector()
        self._handlers = {}
        self._timers = []  # [due, interval, callback]
        self.running = True
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        signal.set_wakeup_fd(self._wake_w)
        for sig in (signal.SIGINT, signal.SIGTERM):
            signal.signal(sig, lambda *_: None)
        self.add_reader(self._wake_r, self._on_wake)

    def _on_wake(self):
        try:
            os.read(self._wake_r, 64)
        except BlockingIOError:
            return
        self.stop()

    def _update(self, fd):
        reader, writer = self._handlers[fd]
        mask = (selectors.EVENT_READ if reader else 0) | (selectors.EVENT_WRITE if writer else 0)
        registered = fd in self._sel.get_map()
        if not mask:
            del self._handlers[fd]
            if registered:
                self._sel.unregister(fd)
        elif registered:
            self._sel.modify(fd, mask)
        else:
            self._sel.register(fd, mask)

    def add_reader(self, fd, callback):
        self._handlers.setdefault(fd, [None, None])[0] = callback
        self._update(fd)

    def set_writer(self, fd, callback):
        if fd not in self._handlers and callback is None:
            return
        self._handlers.setdefault(fd, [None, None])[1] = callback
        self._update(fd)

    def remove(self, fd):
        if fd in self._handlers:
            self._handlers[fd] = [None, None]
            self._update(fd)

    def call_every(self, interval, callback):
        """Calls `callback` every `interval` seconds until it returns False."""
        self._timers.append([time.monotonic() + interval, interval, callback])

    def _run_timers(self):
        now = time.monotonic()
        for timer in [t for t in self._timers if t[0] <= now]:
            timer[0] = now + timer[1]
            if timer[2]() is False:
                self._timers.remove(timer)

    def stop(self):
        self.running = False

    def run(self):
        while self.running:
            wait = 1.0
            if self._timers:
                wait = max(0.0, min(wait, min(t[0] for t in self._timers) - time.monotonic()))
            events = self._sel.select(wait)
            self._run_timers()
            for key, mask in events:
                handlers = self._handlers.get(key.fd)
                if handlers and mask & selectors.EVENT_READ and handlers[0]:
                    handlers[0]()
                handlers = self._handlers.get(key.fd)
                if handlers and mask & selectors.EVENT_WRITE and handlers[1]:
                    handlers[1]()


class PtyPort:
    """The ROM's end of a serial line: the master side of a pseudo-terminal.

    The simulator keeps a slave descriptor open for the whole run: the
    terminal then keeps the settings a client made (its rate in particular)
    across the client's close and reopen, and reading the master never fails
    with EIO while no client has the port open."""

    def __init__(self, loop, on_bytes, link=None):
        self._loop = loop
        self._on_bytes = on_bytes
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        self.link = link
        if link:
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(self.path, link)
        self._out = bytearray()
        self._chatter = None
        self.closed = False
        loop.add_reader(self.master, self._on_readable)

    def speed(self):
        """The rate the client set on the line, in bit/s (None if unknown)."""
        if self.closed:
            return None
        try:
            attrs = termios.tcgetattr(self.slave)
        except termios.error:
            return None
        return _SPEEDS.get(attrs[5], _SPEEDS.get(attrs[4]))

    def _on_readable(self):
        try:
            data = os.read(self.master, 65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if data:
            self._on_bytes(data)

    def write(self, data):
        if self.closed or not data:
            return
        self._out += data
        self._flush()

    def chatter(self, pattern):
        """Keeps the line full of `pattern` over and over (None ends it): a
        device that never stops talking."""
        self._chatter = pattern or None
        self._flush()

    def _flush(self):
        while (self._out or self._chatter) and not self.closed:
            if not self._out:
                self._out += self._chatter * max(1, 4096 // len(self._chatter))
            try:
                n = os.write(self.master, self._out)
            except BlockingIOError:
                break
            except OSError:
                # Nobody will read what is left; a ROM does not care either.
                self._out.clear()
                break
            del self._out[:n]
        self._loop.set_writer(self.master, self._flush if self._out and not self.closed else None)

    def close(self):
        """Hangs the line up: the client's descriptor sees end of file or EIO."""
        if self.closed:
            return
        self.closed = True
        self._loop.remove(self.master)
        os.close(self.master)
        os.close(self.slave)
        if self.link and os.path.islink(self.link):
            os.unlink(self.link)


class LineConnection:
    """A non-blocking stream socket that carries JSON objects, one a line."""

    def __init__(self, loop, sock, on_message, on_close):
        self._loop = loop
        self.sock = sock
        self._on_message = on_message
        self._on_close = on_close
        self._in = bytearray()
        self._out = bytearray()
        self.closed = False
        sock.setblocking(False)
        loop.add_reader(sock.fileno(), self._on_readable)

    def send(self, obj):
        if self.closed:
            return
        self._out += (json.dumps(obj) + "\n").encode()
        self._flush()

    def _flush(self):
        while self._out and not self.closed:
            try:
                n = self.sock.send(self._out)
            except BlockingIOError:
                break
            except OSError:
                self.close()
                return
            del self._out[:n]
        if not self.closed:
            self._loop.set_writer(self.sock.fileno(), self._flush if self._out else None)

    def _on_readable(self):
        try:
            data = self.sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            self.close()
            return
        self._in += data
        while not self.closed:
            end = self._in.find(b"\n")
            if end < 0:
                break
            line = bytes(self._in[:end]).strip()
            del self._in[:end + 1]
            if not line:
                continue
            try:
                message = json.loads(line)
            except ValueError:
                message = None
            self._on_message(self, message)

    def close(self):
        if self.closed:
            return
        self.closed = True
        self._loop.remove(self.sock.fileno())
        self.sock.close()
        self._on_close(self)


class UnixServer:
    """Listening Unix stream socket; each client becomes a LineConnection."""

    def __init__(self, loop, path, on_connect, on_message, on_close=None):
        self._loop = loop
        self.path = path
        self._on_connect = on_connect
        self._on_message = on_message
        self._on_close = on_close or (lambda conn: None)
        if os.path.exists(path):
            os.unlink(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(path)
        self.sock.listen(8)
        self.sock.setblocking(False)
        self.connections = []
        loop.add_reader(self.sock.fileno(), self._on_accept)

    def _on_accept(self):
        try:
            sock, _ = self.sock.accept()
        except BlockingIOError:
            return
        conn = LineConnection(self._loop, sock, self._on_message, self._closed)
        self.connections.append(conn)
        self._on_connect(conn)

    def _closed(self, conn):
        if conn in self.connections:
            self.connections.remove(conn)
        self._on_close(conn)

    def close(self):
        for conn in list(self.connections):
            conn.close()
        self._loop.remove(self.sock.fileno())
        self.sock.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


class ControlChannel:
    """JSON-lines request and answer: {"op": NAME, ...} gets {"ok": true, ...}
    or {"ok": false, "error": TEXT}. `handlers` maps op names to functions
    that take the request and return the fields of the answer."""

    def __init__(self, loop, path, handlers):
        self._handlers = handlers
        self.server = UnixServer(loop, path, lambda conn: None, self._on_message)

    def _on_message(self, conn, request):
        if not isinstance(request, dict) or not isinstance(request.get("op"), str):
            conn.send({"ok": False, "error": "request must be a JSON object with an op"})
            return
        handler = self._handlers.get(request["op"])
        if handler is None:
            conn.send({"ok": False, "error": "unknown op %s" % request["op"]})
            return
        try:
            answer = handler(request) or {}
        except (KeyError, ValueError, TypeError, OSError) as e:
            conn.send({"ok": False, "error": "%s: %s" % (type(e).__name__, e)})
            return
        reply = {"ok": True}
        reply.update(answer)
        conn.send(reply)

    def close(self):
        self.server.close()
