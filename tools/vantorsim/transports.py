"""The ways a host reaches a simulated module.

TCP link service, pseudo-terminals (a serial port, and the stand-in for
the module's kernel device node), the USB side for an emulated-USB
harness, and the UDP discovery responder. Each one turns the bytes of its
medium into link sessions (session.py).
"""

import asyncio
import errno
import json
import os
import socket
import struct
import tty

from .session import LinkSession


class TcpService:
    """One listening socket per module, one session per connection. While
    the module restarts the socket is closed, so connections are refused."""

    def __init__(self, sim, module, cfg):
        self.sim = sim
        self.module = module
        self.bind = cfg["bind"]
        self.port = cfg["port"]
        self.discovery = cfg["discovery"]
        self.server = None
        self.sessions = []

    async def start(self):
        loop = asyncio.get_running_loop()
        self.server = await loop.create_server(lambda: _TcpProtocol(self), self.bind, self.port,
                                               reuse_address=True)
        self.port = self.server.sockets[0].getsockname()[1]

    def down(self):
        if self.server is not None:
            self.server.close()
            self.server = None
        for session in list(self.sessions):
            session.drop()

    async def up(self):
        if self.server is None:
            await self.start()

    def close(self):
        self.down()


class _TcpProtocol(asyncio.Protocol):
    def __init__(self, service):
        self.service = service
        self.session = None

    def connection_made(self, transport):
        transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.session = LinkSession(self.service.sim, self.service.module, "tcp",
                                   transport.write, transport.close)
        self.service.sessions.append(self.session)

    def data_received(self, data):
        self.session.feed(data)

    def connection_lost(self, exc):
        self.session.close()
        if self.session in self.service.sessions:
            self.service.sessions.remove(self.session)


class PtyLink:
    """A pseudo-terminal in raw mode whose slave side the host opens.

    The simulator keeps a descriptor of the slave open itself, so the
    master never sees a hang-up while no host has the port open.
    """

    def __init__(self, sim, module, kind, cfg):
        self.sim = sim
        self.module = module
        self.kind = kind
        self.symlink = cfg.get("symlink")
        self.master = self.slave = -1
        self.path = None
        self.session = None
        self.out = bytearray()

    def start(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        tty.setraw(self.master)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        if self.symlink:
            if os.path.lexists(self.symlink):
                os.unlink(self.symlink)
            os.symlink(self.path, self.symlink)
        asyncio.get_running_loop().add_reader(self.master, self._readable)
        self._new_session()

    def _new_session(self):
        if self.master >= 0:
            self.session = LinkSession(self.sim, self.module, self.kind, self._write, self._dropped)

    def _dropped(self):
        asyncio.get_running_loop().call_soon(self._new_session)

    def _readable(self):
        try:
            data = os.read(self.master, 4096)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            if e.errno != errno.EIO:
                raise
            return
        if data and self.session is not None:
            self.session.feed(data)

    def _write(self, data):
        self.out += data
        self._flush()

    def _flush(self):
        loop = asyncio.get_running_loop()
        while self.out:
            try:
                n = os.write(self.master, self.out)
            except BlockingIOError:
                loop.add_writer(self.master, self._flush)
                return
            del self.out[:n]
        loop.remove_writer(self.master)

    def down(self):
        """A restart starts a fresh session; bytes meanwhile are dropped."""
        if self.session is not None:
            self.session.close()
        self.out.clear()
        self._new_session()

    async def up(self):
        pass

    def close(self):
        if self.session is not None:
            self.session.close()
            self.session = None
        if self.master >= 0:
            loop = asyncio.get_running_loop()
            loop.remove_reader(self.master)
            loop.remove_writer(self.master)
            os.close(self.master)
            os.close(self.slave)
            self.master = self.slave = -1
        if self.symlink and os.path.islink(self.symlink):
            os.unlink(self.symlink)


# What the harness reports of its own doing, of no concern to a module: a
# device node in place, a bulk IN transfer submitted by the host.
HARNESS_NOTES = ("attached", "in_urb")


class UsbHub:
    """The simulator's end of the emulated-USB harness: JSON lines on a
    Unix stream socket (protocol in README.md)."""

    def __init__(self, sim, path, modules):
        self.sim = sim
        self.path = path
        self.ids = {m: i + 1 for i, m in enumerate(modules)}
        self.by_id = {i: m for m, i in self.ids.items()}
        self.attached = {}
        self.sessions = {}
        self.halted = {}
        self.held = {}
        self.devnum = 1
        self.harness = None
        self.server = None

    async def start(self):
        if os.path.exists(self.path):
            os.unlink(self.path)
        loop = asyncio.get_running_loop()
        self.server = await loop.create_unix_server(lambda: _UsbProtocol(self), self.path)

    def identity(self, module):
        usb = module.cfg["transports"]["usb"]
        serial = usb["serial_string"] if usb["serial_string"] is not None else "%08X" % module.serial
        return usb, serial

    def send(self, message):
        if self.harness is not None:
            self.harness.send(message)

    def connected(self, harness):
        if self.harness is not None and self.harness is not harness:
            self.harness.transport.close()
        self.harness = harness
        for module in self.ids:
            if not module.down:
                self.attach(module)

    def disconnected(self, harness):
        if self.harness is harness:
            self.harness = None
            for module in list(self.sessions):
                self._end_session(module)
            self.attached.clear()

    def attach(self, module):
        usb, serial = self.identity(module)
        self.devnum += 1
        self.attached[module] = self.devnum
        self.halted[module] = set()
        self.send({"op": "attach", "id": self.ids[module], "serial": serial,
                   "vendor": usb["vendor"], "product": usb["product"], "busnum": 1,
                   "devnum": self.devnum, "interfaces": usb["interfaces"]})

    def detach(self, module):
        self._end_session(module)
        if self.attached.pop(module, None) is not None:
            self.send({"op": "detach", "id": self.ids[module]})

    def stall(self, module, endpoint):
        self.halted.setdefault(module, set()).add(endpoint)
        self.send({"op": "stall", "id": self.ids[module], "endpoint": endpoint})

    def _session(self, module):
        session = self.sessions.get(module)
        if session is None or session.closed:
            session = LinkSession(self.sim, module, "usb", lambda d: self._in(module, d),
                                  lambda: self._dropped(module))
            self.sessions[module] = session
        return session

    def _end_session(self, module):
        session = self.sessions.pop(module, None)
        if session is not None:
            session.close()
        self.held.pop(module, None)

    def _dropped(self, module):
        """A dropped USB link is an unplug and a plug-in again."""
        self.sessions.pop(module, None)
        asyncio.get_running_loop().call_soon(self._replug, module)

    def _replug(self, module):
        self.detach(module)
        if not module.down:
            self.attach(module)

    def _in_endpoint(self, module):
        usb, _ = self.identity(module)
        for itf in usb["interfaces"]:
            for ep in itf["endpoints"]:
                if ep["address"] & 0x80:
                    return ep["address"]
        return 0x81

    def _in(self, module, data):
        if self._in_endpoint(module) in self.halted.get(module, ()):
            self.held.setdefault(module, bytearray()).extend(data)
            return
        self.send({"op": "in", "id": self.ids[module], "data": data.hex()})

    def message(self, msg):
        module = self.by_id.get(msg.get("id"))
        op = msg.get("op")
        if op in HARNESS_NOTES:
            return
        if module is None or module not in self.attached:
            self.sim.log.event("usb: %s for a device that is not attached" % op, id=msg.get("id"))
            return
        if op == "claim":
            self._session(module)
        elif op == "release":
            self._end_session(module)
        elif op == "out":
            out_halted = [e for e in self.halted.get(module, ()) if not e & 0x80]
            if out_halted:
                self.sim.log.event("usb: bulk OUT while halted, dropped", id=msg["id"])
                return
            self._session(module).feed(bytes.fromhex(msg.get("data", "")))
        elif op == "clear_halt":
            self.halted.get(module, set()).discard(msg.get("endpoint"))
            held = self.held.pop(module, None)
            if held:
                self._in(module, bytes(held))
        else:
            self.sim.log.event("usb: unknown op %r" % op)

    def close(self):
        if self.server is not None:
            self.server.close()
        if self.harness is not None:
            self.harness.transport.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


class JsonLines(asyncio.Protocol):
    """A stream of JSON objects, one a line, in both directions."""

    def connection_made(self, transport):
        self.transport = transport
        self.buffer = bytearray()

    def data_received(self, data):
        self.buffer += data
        while b"\n" in self.buffer:
            line, _, rest = self.buffer.partition(b"\n")
            self.buffer = bytearray(rest)
            if not line.strip():
                continue
            try:
                msg = json.loads(line)
            except ValueError:
                self.bad_line(line)
                continue
            self.received(msg)

    def send(self, message):
        if not self.transport.is_closing():
            self.transport.write(json.dumps(message).encode() + b"\n")

    def bad_line(self, line):
        pass

    def received(self, msg):
        raise NotImplementedError


class _UsbProtocol(JsonLines):
    def __init__(self, hub):
        self.hub = hub

    def connection_made(self, transport):
        super().connection_made(transport)
        self.hub.connected(self)

    def received(self, msg):
        if isinstance(msg, dict):
            self.hub.message(msg)

    def connection_lost(self, exc):
        self.hub.disconnected(self)


def discovery_record(module, port):
    """The 16-byte reply: address, TCP port and serial number
    little-endian, model in byte 12."""
    return struct.pack("<BBHIIB3x", 0x02, module.address, port, module.serial, 0, module.model)


class DiscoveryResponder:
    """Answers the multicast discovery request for the modules it serves:
    those whose link service is bound to its interface (or to any)."""

    def __init__(self, sim, cfg, services):
        self.sim = sim
        self.cfg = cfg
        self.services = [s for s in services if s.discovery and s.bind in ("0.0.0.0", "", cfg["interface"])]
        self.sock = None
        self.requests = 0

    def start(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((self.cfg["group"], self.cfg["port"]))
        mreq = socket.inet_aton(self.cfg["group"]) + socket.inet_aton(self.cfg["interface"])
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
        sock.setblocking(False)
        self.sock = sock
        asyncio.get_running_loop().add_reader(sock, self._readable)

    def _readable(self):
        try:
            data, (host, port) = self.sock.recvfrom(2048)
        except (BlockingIOError, InterruptedError):
            return
        if len(data) != 16 or data[0] != 0x01:
            self.sim.log.event("discovery: ignored datagram", hex=data.hex(), peer=host)
            return
        self.requests += 1
        self.sim.log.event("discovery request", peer="%s:%d" % (host, port), hex=data.hex())
        for service in self.services:
            if service.module.down or service.server is None:
                continue
            record = discovery_record(service.module, service.port)
            length = service.module.fault("discovery_record_length")
            if length is not None:
                record = (record + bytes(64))[:int(length)]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as out:
                out.bind((self.cfg["interface"], 0))
                out.sendto(record, (host, self.cfg["reply_port"]))
            self.sim.log.event("discovery reply", hex=record.hex(), peer=host,
                               module="%08X" % service.module.serial)

    def close(self):
        if self.sock is not None:
            asyncio.get_running_loop().remove_reader(self.sock)
            self.sock.close()
            self.sock = None
