#!/usr/bin/env python3
"""Serial download ROM of an i.MX RT1050, on a pseudo-terminal and/or
behind an emulated HID device.

Over the serial line a command is 16 bytes, file data follows as plain
bytes, and every answer is the 4 security-status bytes followed by the data.
Over HID the same exchange travels in reports (host to device: 1 command,
2 data; device to host: 3 status, 4 data) through a harness that connects to
--hid-socket and trades JSON lines with the simulator:

  harness -> sim  {"op": "report", "data": HEX}   one output report the host
                                                   wrote, report ID first
  sim -> harness  {"op": "attach", "vid": 8137, "pid": 304, "serial": S,
                   "product": P}                   on connect and on re-plug
  sim -> harness  {"op": "report", "data": HEX}   one input report
  sim -> harness  {"op": "ack", "reports": N}     after each host report, once
                                                   the N input reports it
                                                   caused have been sent
  sim -> harness  {"op": "detach", "reason": R}   unplug (fault, or the ROM
                                                   handing over after a jump)

Run `imx_sdp_sim.py --help` for the options; the README shows a session.
"""

import argparse
import codecs
import os
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import romsim_common as common  # noqa: E402

VID, PID = 0x1FC9, 0x0130
READ_REGISTER, WRITE_REGISTER, WRITE_FILE = 0x0101, 0x0202, 0x0404
ERROR_STATUS, JUMP_ADDRESS = 0x0505, 0x0B0B
COMMAND_NAMES = {READ_REGISTER: "read_register", WRITE_REGISTER: "write_register",
                 WRITE_FILE: "write_file", ERROR_STATUS: "error_status",
                 JUMP_ADDRESS: "jump_address"}

# Security status words: both read the same in either byte order.
HAB_CLOSED, HAB_OPEN = 0x12343412, 0x56787856
ACK = 0xF0F0F0F0
WRITE_COMPLETE = 0x128A8A12
FILE_COMPLETE = 0x88888888
# Chosen here: the word a jump that the ROM refuses answers with, and the
# word of an answer given in the middle of a file's data.
JUMP_REFUSED = 0x0BADBADB
DATA_PHASE_ERROR = 0x0BAD0404

COMMAND_SIZE = 16
DATA_PACKET = 1024
HID_DATA_REPORT = 64
# How often a chattering ROM sends an input report over HID.
CHATTER_INTERVAL = 0.002
OCOTP_CFG0, OCOTP_CFG1 = 0x401F4410, 0x401F4420
DEFAULT_FUSES = {OCOTP_CFG0: 0x5A3C0F1E, OCOTP_CFG1: 0x0B16212C}


class SparseMemory:
    """Bytes written at arbitrary 32-bit addresses, kept as sorted,
    non-touching extents; unwritten bytes read as 0."""

    def __init__(self):
        self.extents = []  # [start, bytearray]

    def write(self, address, data):
        if not data:
            return
        end = address + len(data)
        for extent in self.extents:
            start, buf = extent
            if start + len(buf) == address and not self._touches_other(extent, address, end):
                buf += data  # the common case: a file arriving packet by packet
                return
        touching = [e for e in self.extents if e[0] <= end and address <= e[0] + len(e[1])]
        lo = min([address] + [e[0] for e in touching])
        hi = max([end] + [e[0] + len(e[1]) for e in touching])
        merged = bytearray(hi - lo)
        for start, buf in touching:
            merged[start - lo:start - lo + len(buf)] = buf
        merged[address - lo:end - lo] = data
        kept = [e for e in self.extents if not any(e is t for t in touching)]
        self.extents = sorted(kept + [[lo, merged]], key=lambda e: e[0])

    def _touches_other(self, extent, address, end):
        return any(e is not extent and e[0] <= end and address <= e[0] + len(e[1])
                   for e in self.extents)

    def read(self, address, count):
        out = bytearray(count)
        for start, buf in self.extents:
            lo, hi = max(address, start), min(address + count, start + len(buf))
            if lo < hi:
                out[lo - address:hi - address] = buf[lo - start:hi - start]
        return bytes(out)

    def contains(self, address):
        return any(start <= address < start + len(buf) for start, buf in self.extents)

    def as_json(self):
        return [{"address": start, "length": len(buf), "hex": bytes(buf).hex()}
                for start, buf in self.extents]


def parse_command(packet):
    kind, address, fmt, count, data, _ = struct.unpack(">HIBIIB", packet)
    return {"type": kind, "name": COMMAND_NAMES.get(kind, "unknown"), "address": address,
            "format": fmt, "count": count, "data": data}


class Faults:
    def __init__(self, args=None):
        self.silent = bool(args and args.silent)
        self.write_status = args.write_status if args else FILE_COMPLETE
        self.short_report = args.short_report if args else None
        self.answer_in_data = bool(args and args.answer_in_data)
        self.disconnect_after = args.disconnect_after if args else None
        self.chatter = args.chatter if args else None

    def as_dict(self):
        out = dict(vars(self))
        out["chatter"] = self.chatter.decode("latin-1") if self.chatter else None
        return out


class SdpRom:
    """The ROM's command handling, independent of the transport. Answers are
    handed to `send(kind, payload)` with kind "status" (4 bytes) or "data";
    the transport frames them."""

    def __init__(self, args, log):
        self.log = log
        self.hab = HAB_CLOSED if args.hab == "closed" else HAB_OPEN
        self.error_status = args.error_status
        self.fuses = dict(DEFAULT_FUSES)
        for address, value in args.fuse:
            self.fuses[address] = value
        self.check_jump = not args.no_jump_check
        self.faults = Faults(args)
        self.ram = SparseMemory()
        self.on_jump = None
        self.packets = 0
        self.reset()

    def reset(self):
        self.state = "idle"  # idle, data (a file is arriving), jumped
        self.transfer = None
        self.jump_address = None

    def _answer(self, send, value=None, data=None):
        send("status", struct.pack("<I", self.hab))
        if value is not None:
            send("data", struct.pack("<I", value))
        elif data is not None:
            send("data", data)

    def command(self, packet, send):
        cmd = parse_command(packet)
        if self.state == "jumped":
            self.log.record("ignored", reason="jumped", **cmd)
            return
        if self.state == "data":
            self.log.record("abandoned", reason="command in data phase", **self.transfer_info())
            self.state, self.transfer = "idle", None
        self.log.record("command", **cmd)
        if self.faults.silent or self.faults.chatter:
            return
        if cmd["type"] == ERROR_STATUS:
            self._answer(send, self.error_status)
        elif cmd["type"] == READ_REGISTER:
            self._answer(send, data=self._read(cmd["address"], cmd["count"]))
        elif cmd["type"] == WRITE_REGISTER:
            self._write_register(cmd)
            self._answer(send, WRITE_COMPLETE)
        elif cmd["type"] == WRITE_FILE:
            self._start_file(cmd, send)
        elif cmd["type"] == JUMP_ADDRESS:
            self._jump(cmd["address"], send)

    def _read(self, address, count):
        out = bytearray(self.ram.read(address, count))
        for reg, value in self.fuses.items():
            for i, byte in enumerate(struct.pack("<I", value)):
                if address <= reg + i < address + count:
                    out[reg + i - address] = byte
        return bytes(out)

    def _write_register(self, cmd):
        width = {0x08: 1, 0x10: 2}.get(cmd["format"], 4)
        value = cmd["data"] & ((1 << (8 * width)) - 1)
        if cmd["address"] in self.fuses or width != 4:
            old = self.fuses.get(cmd["address"], 0)
            mask = (1 << (8 * width)) - 1
            self.fuses[cmd["address"]] = (old & ~mask) | value
        else:
            self.ram.write(cmd["address"], struct.pack("<I", value))

    def _start_file(self, cmd, send):
        self.transfer = {"address": cmd["address"], "count": cmd["count"], "received": 0}
        self.state = "data"
        if self.faults.answer_in_data:
            self.log.record("fault", name="answer_in_data")
            self._answer(send, DATA_PHASE_ERROR)
        if cmd["count"] == 0:
            self._finish_file(send)

    def transfer_info(self):
        return dict(self.transfer or {})

    def data(self, payload, send):
        """File bytes; returns how many of them the ROM took."""
        if self.state != "data":
            self.log.record("ignored", reason="data outside a file write", length=len(payload))
            return 0
        t = self.transfer
        take = payload[:t["count"] - t["received"]]
        self.ram.write(t["address"] + t["received"], take)
        t["received"] += len(take)
        if t["received"] >= t["count"]:
            self._finish_file(send)
        return len(take)

    def _finish_file(self, send):
        self.log.record("file", **self.transfer)
        self.state, self.transfer = "idle", None
        if not self.faults.silent:
            self._answer(send, self.faults.write_status)

    def _jump(self, address, send):
        if self.check_jump and not self.ram.contains(address):
            self.log.record("jump_refused", address=address)
            self._answer(send, JUMP_REFUSED)
            return
        self._answer(send)
        self.state = "jumped"
        self.jump_address = address
        self.log.record("jump", address=address)
        if self.on_jump:
            self.on_jump(address)

    def status(self):
        return {"state": self.state, "jump_address": self.jump_address,
                "hab": self.hab, "error_status": self.error_status,
                "transfer": self.transfer, "fuses": {"0x%08X" % k: v for k, v in self.fuses.items()},
                "faults": self.faults.as_dict(), "packets": self.packets,
                "ram": [{"address": e["address"], "length": e["length"]}
                        for e in self.ram.as_json()]}


def _packets(count):
    """File bytes counted as the host's 1024-byte data packets."""
    return (count + DATA_PACKET - 1) // DATA_PACKET


class SerialTransport:
    """Commands and data as plain bytes on a pseudo-terminal."""

    name = "serial"

    def __init__(self, sim, link, command_gap_ms):
        self.sim = sim
        self.port = common.PtyPort(sim.loop, self._on_bytes, link=link)
        self._command = bytearray()
        self._gap = command_gap_ms / 1000.0
        self._last_byte = 0.0

    def _send(self, kind, payload):
        self.port.write(payload)
        self.sim.log.record("out", transport="serial", kind=kind, hex=payload.hex())

    def _on_bytes(self, data):
        rom = self.sim.rom
        self.sim.log.record("in", transport="serial", hex=data.hex(), speed=self.port.speed())
        now = time.monotonic()
        if self._command and self._gap and now - self._last_byte > self._gap:
            # A host that probes the line with another protocol first (the
            # recovery flow asks for an LPC boot ROM) leaves a stray partial
            # command; a pause drops it, so the next command lines up again.
            self.sim.log.record("discarded", transport="serial", hex=self._command.hex())
            self._command.clear()
        self._last_byte = now
        pos = 0
        while pos < len(data) and not self.port.closed:
            if rom.state == "data":
                before = rom.transfer["received"]
                taken = rom.data(data[pos:], self._send)
                pos += taken
                self.sim.count_packets(_packets(before + taken) - _packets(before), self)
                continue
            need = COMMAND_SIZE - len(self._command)
            self._command += data[pos:pos + need]
            pos += need
            if len(self._command) == COMMAND_SIZE:
                packet, self._command = bytes(self._command), bytearray()
                rom.command(packet, self._send)
                self.sim.count_packets(1, self)

    def chatter(self, pattern):
        self.port.chatter(pattern)

    def disconnect(self, reason):
        self.sim.log.record("disconnect", transport="serial", reason=reason)
        self.port.close()

    def ready_info(self):
        return {"pty": self.port.path, "link": self.port.link}

    def close(self):
        self.port.close()


class HidTransport:
    """Reports exchanged with the umockdev harness over a Unix socket."""

    name = "hid"

    def __init__(self, sim, path, attached, serial, product):
        self.sim = sim
        self.attached = attached
        self.serial = serial
        self.product = product
        self.conn = None
        self.server = common.UnixServer(sim.loop, path, self._on_connect, self._on_message,
                                        self._on_close)
        self._sent = 0
        self._chatter = None

    def _on_connect(self, conn):
        if self.conn:
            self.conn.close()
        self.conn = conn
        self.sim.log.record("harness", action="connect")
        if self.attached:
            self._send_attach()

    def _on_close(self, conn):
        if conn is self.conn:
            self.conn = None
            self.sim.log.record("harness", action="close")

    def chatter(self, pattern):
        """Input reports of `pattern`, one every CHATTER_INTERVAL, whether
        asked or not (None ends them)."""
        start = pattern and not self._chatter
        self._chatter = pattern
        if start:
            self.sim.loop.call_every(CHATTER_INTERVAL, self._chatter_report)

    def _chatter_report(self):
        if not self._chatter:
            return False
        if self.attached and self.conn:
            data = (self._chatter * HID_DATA_REPORT)[:HID_DATA_REPORT]
            self.conn.send({"op": "report", "data": (b"\x04" + data).hex()})
        return True

    def _send_attach(self):
        if self.conn:
            self.conn.send({"op": "attach", "vid": VID, "pid": PID, "serial": self.serial,
                            "product": self.product})

    def attach(self):
        self.attached = True
        self.sim.log.record("attach", transport="hid")
        self._send_attach()

    def disconnect(self, reason):
        if not self.attached:
            return
        self.attached = False
        self.sim.log.record("disconnect", transport="hid", reason=reason)
        if self.conn:
            self.conn.send({"op": "detach", "reason": reason})

    def _send(self, kind, payload):
        if kind == "status":
            self._report(b"\x03" + payload)
            return
        short = self.sim.rom.faults.short_report
        for pos in range(0, max(1, len(payload)), HID_DATA_REPORT):
            chunk = payload[pos:pos + HID_DATA_REPORT]
            report = b"\x04" + chunk + bytes(HID_DATA_REPORT - len(chunk))
            self._report(report[:short] if short else report)

    def _report(self, report):
        self._sent += 1
        self.sim.log.record("out", transport="hid", report=report[0], hex=report.hex())
        if self.conn:
            self.conn.send({"op": "report", "data": report.hex()})

    def _on_message(self, conn, message):
        if not isinstance(message, dict) or message.get("op") != "report":
            self.sim.log.record("harness", action="unknown message", message=message)
            conn.send({"op": "ack", "reports": 0})
            return
        try:
            report = bytes.fromhex(message.get("data", ""))
        except ValueError:
            report = b""
        self._sent = 0
        self._on_report(report)
        conn.send({"op": "ack", "reports": self._sent})

    def _on_report(self, report):
        self.sim.log.record("in", transport="hid", report=report[0] if report else None,
                            hex=report.hex(), attached=self.attached)
        if not self.attached or not report:
            return
        if report[0] == 1 and len(report) == 1 + COMMAND_SIZE:
            self.sim.rom.command(report[1:], self._send)
        elif report[0] == 2 and 1 < len(report) <= 1 + DATA_PACKET:
            self.sim.rom.data(report[1:], self._send)
        else:
            self.sim.log.record("malformed", transport="hid", length=len(report))
        self.sim.count_packets(1, self)

    def ready_info(self):
        return {"hid_socket": self.server.path}

    def close(self):
        self.server.close()


class Simulator:
    def __init__(self, args):
        self.args = args
        self.loop = common.Loop()
        self.log = common.EventLog(args.log)
        self.rom = SdpRom(args, self.log)
        self.rom.on_jump = self._on_jump
        self.transports = []
        if args.pty:
            self.transports.append(SerialTransport(self, args.link, args.command_gap))
        if args.hid_socket:
            self.transports.append(HidTransport(self, args.hid_socket, not args.hid_detached,
                                                args.hid_serial, args.hid_product))
        self._chatter(self.rom.faults.chatter)
        self.control = None
        if args.control:
            self.control = common.ControlChannel(self.loop, args.control, {
                "status": self._op_status, "dump": self._op_dump, "read": self._op_read,
                "fault": self._op_fault, "attach": self._op_attach,
                "disconnect": self._op_disconnect, "set_fuse": self._op_set_fuse,
                "reset": self._op_reset,
                "events": lambda r: {"events": self.log.since(int(r.get("since", 0)))},
                "quit": lambda r: self.loop.stop() or {},
            })

    def transport(self, name):
        for t in self.transports:
            if t.name == name:
                return t
        return None

    def _chatter(self, pattern):
        for t in self.transports:
            t.chatter(pattern)

    def count_packets(self, n, transport):
        self.rom.packets += n
        limit = self.rom.faults.disconnect_after
        if n and limit is not None and self.rom.packets >= limit:
            self.rom.faults.disconnect_after = None
            transport.disconnect("fault")

    def _on_jump(self, address):
        hid = self.transport("hid")
        if hid and not self.args.stay_attached:
            hid.disconnect("jump")
        if self.args.exit_on_jump:
            self.loop.stop()

    def _op_status(self, request):
        status = self.rom.status()
        hid = self.transport("hid")
        status["attached"] = hid.attached if hid else None
        status["harness_connected"] = bool(hid and hid.conn)
        return status

    def _op_dump(self, request):
        common.write_json_atomic(request["path"], {"segments": self.rom.ram.as_json()})
        return {"written": request["path"]}

    def _op_read(self, request):
        return {"hex": self.rom._read(int(request["address"]), int(request["count"])).hex()}

    def _op_fault(self, request):
        faults, name = self.rom.faults, request["name"]
        if name in ("silent", "answer_in_data"):
            setattr(faults, name, bool(request.get("on", True)))
        elif name in ("write_status", "short_report", "disconnect_after"):
            value = request.get("value")
            setattr(faults, name, None if value is None else int(value))
            if name == "write_status" and value is None:
                faults.write_status = FILE_COMPLETE
        elif name == "error_status":
            self.rom.error_status = int(request.get("value", ACK))
        elif name == "chatter":
            faults.chatter = chatter_text(request.get("text") or "")
            self._chatter(faults.chatter)
        elif name == "clear":
            self.rom.faults = Faults()
            self._chatter(None)
        else:
            raise ValueError("unknown fault %s" % name)
        self.log.record("control", op="fault", request=request)
        return {"faults": self.rom.faults.as_dict()}

    def _op_attach(self, request):
        hid = self.transport("hid")
        if not hid:
            raise ValueError("no HID transport")
        hid.attach()
        return {}

    def _op_disconnect(self, request):
        name = request.get("transport")
        for t in self.transports:
            if name in (None, t.name):
                t.disconnect("fault")
        return {}

    def _op_set_fuse(self, request):
        self.rom.fuses[int(request["address"])] = int(request["value"]) & 0xFFFFFFFF
        return {}

    def _op_reset(self, request):
        self.rom.reset()
        if request.get("clear_ram"):
            self.rom.ram = SparseMemory()
        hid = self.transport("hid")
        if hid and not hid.attached:
            hid.attach()
        self.log.record("control", op="reset")
        return self._op_status(request)

    def run(self):
        ready = {"control": self.args.control, "pid": os.getpid()}
        for t in self.transports:
            ready.update(t.ready_info())
        if "pty" in ready:
            print("PTY=%s" % ready["pty"], flush=True)
        if "hid_socket" in ready:
            print("HID_SOCKET=%s" % ready["hid_socket"], flush=True)
        if self.args.ready_file:
            common.write_json_atomic(self.args.ready_file, ready)
        try:
            self.loop.run()
        finally:
            self._finish()

    def _finish(self):
        if self.args.dump_ram:
            common.write_json_atomic(self.args.dump_ram, {"segments": self.rom.ram.as_json()})
        self.log.record("exit", status=self.rom.status())
        if self.control:
            self.control.close()
        for t in self.transports:
            t.close()
        self.log.close()


def chatter_text(text):
    """Bytes from a text with backslash escapes ("\\n"); None when empty."""
    return codecs.decode(text, "unicode_escape").encode("latin-1") or None


def _fuse(text):
    address, _, value = text.partition("=")
    if not value:
        raise argparse.ArgumentTypeError("ADDRESS=VALUE")
    return common.parse_int(address), common.parse_int(value) & 0xFFFFFFFF


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--pty", action="store_true", help="serve the serial protocol on a pty")
    p.add_argument("--link", metavar="PATH", help="also reach the pty through this symlink")
    p.add_argument("--command-gap", type=int, default=250, metavar="MS",
                   help="drop a partial serial command after this pause (0: never)")
    p.add_argument("--hid-socket", metavar="SOCKET", help="Unix socket for the HID harness")
    p.add_argument("--hid-serial", default="", help="serial-number string of the HID device")
    p.add_argument("--hid-product", default="RT1050 serial download ROM")
    p.add_argument("--hid-detached", action="store_true", help="start unplugged")
    p.add_argument("--ready-file", help="write {pty, link, hid_socket, control, pid} as JSON")
    p.add_argument("--control", metavar="SOCKET", help="Unix socket for JSON-lines control")
    p.add_argument("--log", metavar="FILE", help="append the JSON-lines event log here")
    p.add_argument("--dump-ram", metavar="FILE", help="write the RAM model as JSON on exit")
    p.add_argument("--hab", choices=("open", "closed"), default="open",
                   help="security status: open 0x56787856, closed 0x12343412")
    p.add_argument("--fuse", type=_fuse, action="append", default=[],
                   metavar="ADDRESS=VALUE", help="a fuse shadow register (repeatable)")
    p.add_argument("--error-status", type=common.parse_int, default=ACK,
                   help="word answered to the error-status command (default 0xF0F0F0F0)")
    p.add_argument("--no-jump-check", action="store_true",
                   help="jump to any address, not only into written RAM")
    p.add_argument("--stay-attached", action="store_true",
                   help="stay on HID after a jump instead of detaching")
    p.add_argument("--exit-on-jump", action="store_true", help="exit after a jump")
    f = p.add_argument_group("faults")
    f.add_argument("--silent", action="store_true", help="never answer")
    f.add_argument("--write-status", type=common.parse_int, default=FILE_COMPLETE,
                   help="word that ends a file write (default 0x88888888)")
    f.add_argument("--short-report", type=int, metavar="BYTES",
                   help="cut every HID input report 4 to this many bytes, ID included")
    f.add_argument("--answer-in-data", action="store_true",
                   help="answer as soon as a file write's data phase begins")
    f.add_argument("--chatter", type=chatter_text, metavar="TEXT",
                   help="send TEXT over and over, never stopping (on the line, and as input "
                   "reports every 2 ms), and answer nothing")
    f.add_argument("--disconnect-after", type=int, metavar="PACKETS",
                   help="unplug once this many host packets have arrived")
    args = p.parse_args(argv)
    if not (args.pty or args.hid_socket):
        p.error("give --pty, --hid-socket or both")
    if args.short_report is not None and not 1 <= args.short_report <= HID_DATA_REPORT:
        p.error("--short-report takes 1 to 64")
    return args


def main(argv=None):
    Simulator(parse_args(argv)).run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
