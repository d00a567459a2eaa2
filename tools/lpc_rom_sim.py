#!/usr/bin/env python3
"""Boot ROM of an LPC17xx in ISP mode, on a pseudo-terminal.

Plays the processor for the recovery tests and for trying the recovery by
hand: auto-baud, the ISP command set with its return codes, UU-encoded data
with block checksums, and a flash and RAM model whose programming rules are
the ROM's (prepare before erase or copy, unlock first, flash bits only
cleared by programming). Faults are switched on from the command line or at
run time over the control channel.

Run `lpc_rom_sim.py --help` for the options; the README shows a session.
"""

import argparse
import codecs
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import romsim_common as common  # noqa: E402

RETURN_CODES = {
    "CMD_SUCCESS": 0, "INVALID_COMMAND": 1, "SRC_ADDR_ERROR": 2, "DST_ADDR_ERROR": 3,
    "SRC_ADDR_NOT_MAPPED": 4, "DST_ADDR_NOT_MAPPED": 5, "COUNT_ERROR": 6,
    "INVALID_SECTOR": 7, "SECTOR_NOT_BLANK": 8,
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION": 9, "COMPARE_ERROR": 10, "BUSY": 11,
    "PARAM_ERROR": 12, "ADDR_ERROR": 13, "ADDR_NOT_MAPPED": 14, "CMD_LOCKED": 15,
    "INVALID_CODE": 16, "INVALID_BAUD_RATE": 17, "INVALID_STOP_BIT": 18,
    "CODE_READ_PROTECTION_ENABLED": 19,
}
OK, INVALID_COMMAND, SRC_ADDR_ERROR, DST_ADDR_ERROR = 0, 1, 2, 3
SRC_ADDR_NOT_MAPPED, DST_ADDR_NOT_MAPPED, COUNT_ERROR, INVALID_SECTOR = 4, 5, 6, 7
NOT_PREPARED, PARAM_ERROR, ADDR_ERROR, ADDR_NOT_MAPPED = 9, 12, 13, 14
CMD_LOCKED, INVALID_CODE, INVALID_BAUD_RATE, INVALID_STOP_BIT = 15, 16, 17, 18

UNLOCK_CODE = 23130
LINES_PER_BLOCK = 20
BYTES_PER_LINE = 45
COPY_SIZES = (256, 512, 1024, 4096)
ISP_BAUD_RATES = (9600, 19200, 38400, 57600, 115200, 230400)

DEFAULT_SECTORS = "16x4K,14x32K"
DEFAULT_SERIAL = (0x1E0F3C5A, 0x52D1A7B3, 0x4C3B2A19, 0x0F00BA11)
DEFAULT_PART_ID = 0x26013F37  # an LPC1768


def uu_char(v):
    v &= 0x3F
    return 0x60 if v == 0 else v + 0x20


def uu_encode(data):
    """One line (without CR LF) for up to 45 bytes."""
    out = bytearray([uu_char(len(data))])
    for i in range(0, len(data), 3):
        b = data[i:i + 3] + bytes(3 - len(data[i:i + 3]))
        v = (b[0] << 16) | (b[1] << 8) | b[2]
        out += bytes(uu_char(v >> s) for s in (18, 12, 6, 0))
    return bytes(out)


def uu_decode(line):
    """Bytes of one line; a line cut short decodes its missing characters as 0
    (the checksum then tells the host). Returns (data, complete)."""
    if not line:
        return b"", True
    n = (line[0] - 0x20) & 0x3F
    chars = [(c - 0x20) & 0x3F for c in line[1:]]
    groups = (n + 2) // 3
    complete = len(chars) >= groups * 4
    chars += [0] * max(0, groups * 4 - len(chars))
    out = bytearray()
    for g in range(groups):
        c0, c1, c2, c3 = chars[g * 4:g * 4 + 4]
        out += bytes([((c0 << 2) | (c1 >> 4)) & 0xFF, ((c1 << 4) | (c2 >> 2)) & 0xFF,
                      ((c2 << 6) | c3) & 0xFF])
    return bytes(out[:n]), complete


def parse_sectors(text):
    """"16x4K,14x32K" -> list of (start, size), contiguous from address 0."""
    sectors, start = [], 0
    for part in text.split(","):
        count, _, size = part.strip().partition("x")
        for _ in range(int(count)):
            sectors.append((start, common.parse_int(size)))
            start += common.parse_int(size)
    if not sectors:
        raise ValueError("no sectors in %r" % text)
    return sectors


class Faults:
    def __init__(self):
        self.silent = False
        self.not_lpc = False
        self.resend_once = False
        self.lose_line = False
        self.chatter = None  # bytes sent over and over, whatever comes in
        self.refuse = {}  # command letter or line -> [code, times left or None for always]
        self.corrupt_flash = None  # flash address whose programmed byte is flipped

    def as_dict(self):
        return {"silent": self.silent, "not_lpc": self.not_lpc,
                "resend_once": self.resend_once, "lose_line": self.lose_line,
                "chatter": self.chatter.decode("latin-1") if self.chatter else None,
                "refuse": {k: {"code": v[0], "times": v[1]} for k, v in self.refuse.items()},
                "corrupt_flash": self.corrupt_flash}

    def take_refusal(self, line, letter):
        """The code to refuse the command with: a refusal of the whole line
        ("A 1") before one of its letter."""
        key = line if line in self.refuse else letter
        entry = self.refuse.get(key)
        if entry is None:
            return None
        code, times = entry
        if times is not None:
            if times <= 1:
                del self.refuse[key]
            else:
                entry[1] = times - 1
        return code


class IspRom:
    """The ISP state machine. States: "unsync" (waiting for "?"), "sync"
    (waiting for "Synchronized"), "crystal", "command", "write" (the data
    phase of W), "read" (the data phase of R) and "running" (after G)."""

    def __init__(self, args, port_write, speed, log):
        self._write = port_write
        self._speed = speed
        self.log = log
        self.sectors = parse_sectors(args.sectors)
        self.flash = bytearray(b"\xff" * sum(size for _, size in self.sectors))
        if args.load_flash:
            with open(args.load_flash, "rb") as f:
                image = f.read(len(self.flash))
            self.flash[:len(image)] = image
        self.ram_base = common.parse_int(args.ram_base)
        self.ram = bytearray(common.parse_int(args.ram_size))
        self.serial_words = list(args.serial_number)
        self.part_id = args.part_id
        self.boot_version = args.boot_version
        self.initial_echo = not args.echo_off
        self.autobaud_lock = not args.any_baud
        self.exit_on_go = args.exit_on_go
        self.on_go = None
        self.faults = Faults()
        self.faults.silent = args.silent
        self.faults.not_lpc = args.not_lpc
        self.faults.resend_once = args.resend_once
        self.faults.lose_line = args.lose_line
        self.faults.chatter = args.chatter
        for letter, code, times in args.refuse:
            self.faults.refuse[letter] = [code, times]
        self.faults.corrupt_flash = args.corrupt_flash
        self.reset()

    def reset(self):
        """Processor reset: memory stays, every ISP state starts over."""
        self.state = "unsync"
        self.echo = self.initial_echo
        self.unlocked = False
        self.prepared = set()
        self.crystal_khz = None
        self.line_speed = None
        self.isp_baud = None
        self.go_address = None
        self._line = bytearray()
        self._transfer = None

    # --- byte input -------------------------------------------------------

    def feed(self, data):
        speed = self._speed()
        if self.faults.silent or self.faults.chatter or self.state == "running":
            reason = ("silent" if self.faults.silent else
                      "chatter" if self.faults.chatter else "running")
            self.log.record("ignored", reason=reason, hex=data.hex())
            return
        if (self.autobaud_lock and self.line_speed and speed
                and speed != self.line_speed and self.state != "unsync"):
            # A UART at another rate sees noise: nothing it could act on.
            self.log.record("baud_mismatch", speed=speed, expected=self.line_speed,
                            hex=data.hex())
            return
        pos = 0
        while pos < len(data) and self.state != "running":
            if self.state == "unsync":
                pos = self._feed_unsync(data, pos, speed)
                continue
            if self.state == "sync" and not self._line and data[pos:pos + 1] == b"?":
                pos += 1  # a host repeating its auto-baud question
                continue
            end = data.find(b"\n", pos)
            chunk = data[pos:] if end < 0 else data[pos:end + 1]
            pos += len(chunk)
            if self.echo:
                self._write(chunk)
            self._line += chunk
            if end >= 0:
                line = bytes(self._line)
                self._line.clear()
                self._on_line(line)

    def _feed_unsync(self, data, pos, speed):
        mark = data.find(b"?", pos)
        if mark < 0 or self.faults.not_lpc:
            self.log.record("ignored", reason="not synchronised", hex=data[pos:].hex())
            return len(data)
        self.line_speed = speed
        self._answer_raw("?", ["Synchronized"], speed=speed)
        self.state = "sync"
        return mark + 1

    def _answer_raw(self, received, lines, **fields):
        for line in lines:
            self._write(line.encode() + b"\r\n")
        self.log.record("command", state=self.state, line=received, answer=lines, **fields)

    def _on_line(self, raw):
        line = raw.rstrip(b"\r\n").decode("latin-1")
        if self.state == "sync":
            self._on_sync_line(line)
        elif self.state == "crystal":
            self._on_crystal_line(line)
        elif self.state == "command":
            self._on_command_line(line)
        elif self.state == "write":
            self._on_write_line(raw.rstrip(b"\r\n"))
        elif self.state == "read":
            self._on_read_answer(line)

    def _on_sync_line(self, line):
        if line == "Synchronized":
            self._answer_raw(line, ["OK"])
            self.state = "crystal"
        else:
            self._answer_raw(line, [], error="sync string expected")
            self.state = "unsync"

    def _on_crystal_line(self, line):
        if line.isdigit() and int(line) > 0:
            self.crystal_khz = int(line)
            self._answer_raw(line, ["OK"])
            self.state = "command"
        else:
            self._answer_raw(line, [], error="crystal frequency expected")
            self.state = "unsync"

    # --- commands ---------------------------------------------------------

    def _on_command_line(self, line):
        words = line.split()
        if not words:
            self.log.record("command", state="command", line=line, answer=[])
            return
        letter, params = words[0], words[1:]
        refused = self.faults.take_refusal(" ".join(words), letter)
        if refused is not None:
            self._answer(line, [str(refused)], fault="refuse")
            return
        handler = self._COMMANDS.get(letter)
        if handler is None:
            self._answer(line, [str(INVALID_COMMAND)])
            return
        numbers = self._numbers(params, handler[1])
        if numbers is None:
            self._answer(line, [str(PARAM_ERROR)])
            return
        result = handler[0](self, *numbers)
        answer, fields = (result if isinstance(result, tuple) else (result, {}))
        self._answer(line, [str(a) for a in answer], **fields)
        if self.state == "read" and answer == [OK]:
            self._send_read_block()

    @staticmethod
    def _numbers(params, spec):
        """Decimal parameters as the command wants them ("n" a number, "s" a
        word); None when the count or a number is wrong."""
        if len(params) != len(spec):
            return None
        out = []
        for text, kind in zip(params, spec):
            if kind == "n":
                if not text.isdigit() or int(text) > 0xFFFFFFFF:
                    return None
                out.append(int(text))
            else:
                out.append(text)
        return out

    def _answer(self, line, answer, **fields):
        for text in answer:
            self._write(text.encode() + b"\r\n")
        self.log.record("command", state="command", line=line, answer=answer,
                        speed=self._speed(), **fields)

    def _sector_of(self, address):
        for number, (start, size) in enumerate(self.sectors):
            if start <= address < start + size:
                return number
        return None

    def _in_ram(self, address, count):
        return self.ram_base <= address and address + count <= self.ram_base + len(self.ram)

    def _in_flash(self, address, count):
        return address + count <= len(self.flash)

    def _bad_range(self, first, last):
        if last < first:
            return PARAM_ERROR
        if last >= len(self.sectors):
            return INVALID_SECTOR
        return None

    def cmd_unlock(self, code):
        if code != UNLOCK_CODE:
            return [INVALID_CODE]
        self.unlocked = True
        return [OK]

    def cmd_echo(self, setting):
        if setting not in (0, 1):
            return [PARAM_ERROR]
        # The echo of this very line went out before the command ran.
        self.echo = setting == 1
        return [OK]

    def cmd_baud(self, rate, stop):
        if rate not in ISP_BAUD_RATES:
            return [INVALID_BAUD_RATE]
        if stop not in (1, 2):
            return [INVALID_STOP_BIT]
        self.isp_baud = rate
        # The ROM's UART runs at the new rate from the next character on.
        self.line_speed = rate
        return [OK]

    def cmd_part_id(self):
        return [OK, self.part_id]

    def cmd_boot_version(self):
        return [OK, self.boot_version[0], self.boot_version[1]]

    def cmd_serial(self):
        return [OK] + list(self.serial_words)

    def cmd_prepare(self, first, last):
        bad = self._bad_range(first, last)
        if bad is not None:
            return [bad]
        self.prepared.update(range(first, last + 1))
        return [OK]

    def cmd_erase(self, first, last):
        bad = self._bad_range(first, last)
        if bad is not None:
            return [bad]
        if not self.unlocked:
            return [CMD_LOCKED]
        wanted = set(range(first, last + 1))
        if not wanted <= self.prepared:
            return [NOT_PREPARED]
        for number in wanted:
            start, size = self.sectors[number]
            self.flash[start:start + size] = b"\xff" * size
        self.prepared -= wanted
        return [OK]

    def cmd_copy(self, flash_address, ram_address, count):
        if not self.unlocked:
            return [CMD_LOCKED]
        if flash_address % 256:
            return [DST_ADDR_ERROR]
        if ram_address % 4:
            return [SRC_ADDR_ERROR]
        if count not in COPY_SIZES:
            return [COUNT_ERROR]
        if not self._in_flash(flash_address, count):
            return [DST_ADDR_NOT_MAPPED]
        if not self._in_ram(ram_address, count):
            return [SRC_ADDR_NOT_MAPPED]
        wanted = set(range(self._sector_of(flash_address),
                           self._sector_of(flash_address + count - 1) + 1))
        if not wanted <= self.prepared:
            return [NOT_PREPARED]
        offset = ram_address - self.ram_base
        source = self.ram[offset:offset + count]
        stuck = 0
        for i, new in enumerate(source):
            old = self.flash[flash_address + i]
            if old & new != new:
                stuck += 1
            self.flash[flash_address + i] = old & new
        bad = self.faults.corrupt_flash
        if bad is not None and flash_address <= bad < flash_address + count:
            self.flash[bad] ^= 0x01
        self.prepared -= wanted
        # Flash cells only go from 1 to 0: bytes that needed an erase first
        # keep stray zero bits, which a test sees as "stuck".
        return [OK], {"stuck_bytes": stuck}

    def cmd_go(self, address, mode):
        if not self.unlocked:
            return [CMD_LOCKED]
        if mode != "T":
            return [PARAM_ERROR]
        if not (self._in_flash(address, 1) or self._in_ram(address, 1)):
            return [ADDR_NOT_MAPPED]
        self.go_address = address
        self.state = "running"
        if self.on_go:
            self.on_go()
        return [OK], {"go_address": address}

    def cmd_write(self, address, count):
        if address % 4:
            return [ADDR_ERROR]
        if count % 4:
            return [COUNT_ERROR]
        if not self._in_ram(address, count):
            return [ADDR_NOT_MAPPED]
        if count:
            self._transfer = {"kind": "write", "address": address, "count": count,
                              "done": 0, "block": bytearray(), "lines": 0, "lost": False}
            self.state = "write"
        return [OK]

    def cmd_read(self, address, count):
        if address % 4:
            return [ADDR_ERROR]
        if count % 4:
            return [COUNT_ERROR]
        if self._in_ram(address, count):
            source = self.ram[address - self.ram_base:address - self.ram_base + count]
        elif self._in_flash(address, count):
            source = self.flash[address:address + count]
        else:
            return [ADDR_NOT_MAPPED]
        if count:
            self._transfer = {"kind": "read", "data": bytes(source), "done": 0, "block_end": 0}
            self.state = "read"
        return [OK]

    _COMMANDS = {
        "U": (cmd_unlock, "n"), "A": (cmd_echo, "n"), "B": (cmd_baud, "nn"),
        "J": (cmd_part_id, ""), "K": (cmd_boot_version, ""), "N": (cmd_serial, ""),
        "P": (cmd_prepare, "nn"), "E": (cmd_erase, "nn"), "C": (cmd_copy, "nnn"),
        "G": (cmd_go, "ns"), "W": (cmd_write, "nn"), "R": (cmd_read, "nn"),
    }

    # --- data phase of W ----------------------------------------------------

    def _on_write_line(self, line):
        t = self._transfer
        if t["lines"] == LINES_PER_BLOCK or t["done"] + len(t["block"]) >= t["count"]:
            self._on_write_checksum(line.decode("latin-1"))
            return
        data, complete = uu_decode(line)
        data = data[:t["count"] - t["done"] - len(t["block"])]
        if self.faults.lose_line:
            self.faults.lose_line = False
            t["lost"] = True
            data = bytes(len(data))
        t["block"] += data
        t["lines"] += 1
        if not complete:
            self.log.record("short_line", line=line.decode("latin-1"))

    def _on_write_checksum(self, text):
        t = self._transfer
        block = t["block"]
        expected = sum(block)
        good = text.strip().isdigit() and int(text) == expected and not t["lost"]
        forced = good and self.faults.resend_once
        if forced:
            self.faults.resend_once = False
            good = False
        address = t["address"] + t["done"]
        if good:
            offset = address - self.ram_base
            self.ram[offset:offset + len(block)] = block
            t["done"] += len(block)
        answer = "OK" if good else "RESEND"
        self._write(answer.encode() + b"\r\n")
        self.log.record("block", address=address, lines=t["lines"], bytes=len(block),
                        checksum=text, expected=expected, answer=answer,
                        fault="resend_once" if forced else ("lose_line" if t["lost"] else None))
        t["block"], t["lines"], t["lost"] = bytearray(), 0, False
        if t["done"] >= t["count"]:
            self._transfer = None
            self.state = "command"

    # --- data phase of R ----------------------------------------------------

    def _send_read_block(self):
        t = self._transfer
        start = t["done"]
        end = min(len(t["data"]), start + LINES_PER_BLOCK * BYTES_PER_LINE)
        for pos in range(start, end, BYTES_PER_LINE):
            self._write(uu_encode(t["data"][pos:min(end, pos + BYTES_PER_LINE)]) + b"\r\n")
        self._write(b"%d\r\n" % sum(t["data"][start:end]))
        t["block_end"] = end

    def _on_read_answer(self, line):
        t = self._transfer
        self.log.record("read_answer", line=line, offset=t["done"])
        if line == "OK":
            t["done"] = t["block_end"]
        elif line != "RESEND":
            self._transfer = None
            self.state = "command"
            return
        if t["done"] >= len(t["data"]):
            self._transfer = None
            self.state = "command"
        else:
            self._send_read_block()

    # --- inspection -------------------------------------------------------

    def status(self):
        return {"state": self.state, "echo": self.echo, "unlocked": self.unlocked,
                "prepared": sorted(self.prepared), "crystal_khz": self.crystal_khz,
                "line_speed": self.line_speed, "speed": self._speed(),
                "isp_baud": self.isp_baud, "go_address": self.go_address,
                "running": self.state == "running", "faults": self.faults.as_dict(),
                "flash_size": len(self.flash), "ram_base": self.ram_base,
                "ram_size": len(self.ram), "sectors": len(self.sectors)}

    def region(self, space):
        if space == "flash":
            return self.flash, 0
        if space == "ram":
            return self.ram, self.ram_base
        raise ValueError("space must be flash or ram")


class Simulator:
    def __init__(self, args):
        self.args = args
        self.loop = common.Loop()
        self.log = common.EventLog(args.log)
        self.port = common.PtyPort(self.loop, self._on_bytes, link=args.link)
        self.rom = IspRom(args, self.port.write, self.port.speed, self.log)
        self.rom.on_go = self._on_go
        self.port.chatter(self.rom.faults.chatter)
        self.control = None
        if args.control:
            self.control = common.ControlChannel(self.loop, args.control, {
                "status": lambda r: self.rom.status(), "dump": self._op_dump,
                "read": self._op_read, "poke": self._op_poke, "fault": self._op_fault,
                "configure": self._op_configure, "reset": self._op_reset,
                "events": lambda r: {"events": self.log.since(int(r.get("since", 0)))},
                "quit": self._op_quit,
            })

    def _on_bytes(self, data):
        self.rom.feed(data)

    def _on_go(self):
        if self.rom.exit_on_go:
            self.loop.stop()

    def _op_dump(self, request):
        written = {}
        for space in ("flash", "ram"):
            if request.get(space):
                common.write_file_atomic(request[space], bytes(self.rom.region(space)[0]))
                written[space] = request[space]
        if not written:
            raise ValueError("name a flash and/or ram file")
        return {"written": written}

    def _op_read(self, request):
        memory, base = self.rom.region(request.get("space", "flash"))
        address, count = int(request["address"]), int(request["count"])
        if address < base or address + count > base + len(memory) or count < 0:
            raise ValueError("range outside %s" % request.get("space", "flash"))
        return {"hex": bytes(memory[address - base:address - base + count]).hex()}

    def _op_poke(self, request):
        memory, base = self.rom.region(request.get("space", "flash"))
        address, data = int(request["address"]), bytes.fromhex(request["hex"])
        if address < base or address + len(data) > base + len(memory):
            raise ValueError("range outside %s" % request.get("space", "flash"))
        memory[address - base:address - base + len(data)] = data
        return {}

    def _op_fault(self, request):
        faults = self.rom.faults
        name = request["name"]
        if name in ("silent", "not_lpc", "resend_once", "lose_line"):
            setattr(faults, name, bool(request.get("on", True)))
        elif name == "chatter":
            faults.chatter = chatter_text(request.get("text") or "")
            self.port.chatter(faults.chatter)
        elif name == "refuse":
            letter = request["command"]
            if request.get("code") is None:
                faults.refuse.pop(letter, None)
            else:
                faults.refuse[letter] = [return_code(request["code"]), request.get("times")]
        elif name == "clear":
            self.rom.faults = Faults()
            self.port.chatter(None)
        else:
            raise ValueError("unknown fault %s" % name)
        self.log.record("control", op="fault", request=request)
        return {"faults": self.rom.faults.as_dict()}

    def _op_configure(self, request):
        if "serial_number" in request:
            words = [int(w) & 0xFFFFFFFF for w in request["serial_number"]]
            if len(words) != 4:
                raise ValueError("four serial-number words")
            self.rom.serial_words = words
        if "part_id" in request:
            self.rom.part_id = int(request["part_id"])
        if "boot_version" in request:
            self.rom.boot_version = tuple(int(v) for v in request["boot_version"])
        return {}

    def _op_reset(self, request):
        self.rom.reset()
        self.log.record("control", op="reset")
        return self.rom.status()

    def _op_quit(self, request):
        self.loop.stop()
        return {}

    def run(self):
        ready = {"pty": self.port.path, "link": self.args.link, "control": self.args.control,
                 "pid": os.getpid()}
        print("PTY=%s" % self.port.path, flush=True)
        if self.args.ready_file:
            common.write_json_atomic(self.args.ready_file, ready)
        try:
            self.loop.run()
        finally:
            self._finish()

    def _finish(self):
        if self.args.dump_flash:
            common.write_file_atomic(self.args.dump_flash, bytes(self.rom.flash))
        if self.args.dump_ram:
            common.write_file_atomic(self.args.dump_ram, bytes(self.rom.ram))
        self.log.record("exit", status=self.rom.status())
        if self.control:
            self.control.close()
        self.port.close()
        self.log.close()


def _serial_words(text):
    words = [common.parse_int(w) & 0xFFFFFFFF for w in text.split(",")]
    if len(words) != 4:
        raise argparse.ArgumentTypeError("four comma-separated words")
    return words


def chatter_text(text):
    """Bytes from a text with backslash escapes ("\\n"); None when empty."""
    return codecs.decode(text, "unicode_escape").encode("latin-1") or None


def return_code(value):
    """A return code given by number or by name ("CMD_LOCKED")."""
    text = str(value)
    return RETURN_CODES[text] if text in RETURN_CODES else int(text)


def _refusal(text):
    parts = text.split(":")
    if len(parts) not in (2, 3) or not parts[0][:1].isalpha():
        raise argparse.ArgumentTypeError("LETTER[ PARAMETERS]:CODE[:TIMES]")
    times = int(parts[2]) if len(parts) == 3 else None
    try:
        return parts[0], return_code(parts[1]), times
    except ValueError:
        raise argparse.ArgumentTypeError("unknown return code %s" % parts[1]) from None


def _version(text):
    major, _, minor = text.partition(".")
    return int(major), int(minor or 0)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--ready-file", help="write {pty, link, control, pid} as JSON when ready")
    p.add_argument("--control", metavar="SOCKET", help="Unix socket for JSON-lines control")
    p.add_argument("--log", metavar="FILE", help="append the JSON-lines event log here")
    p.add_argument("--link", metavar="PATH", help="also reach the pty through this symlink")
    p.add_argument("--serial-number", type=_serial_words, default=list(DEFAULT_SERIAL),
                   metavar="W0,W1,W2,W3", help="device serial number words (N command)")
    p.add_argument("--part-id", type=common.parse_int, default=DEFAULT_PART_ID)
    p.add_argument("--boot-version", type=_version, default=(4, 1), metavar="MAJOR.MINOR")
    p.add_argument("--sectors", default=DEFAULT_SECTORS, metavar="NxSIZE,...",
                   help="flash sector layout from address 0 (default %(default)s)")
    p.add_argument("--ram-base", default="0x10000000")
    p.add_argument("--ram-size", default="32K")
    p.add_argument("--load-flash", metavar="FILE", help="initial flash content")
    p.add_argument("--dump-flash", metavar="FILE", help="write the flash here on exit")
    p.add_argument("--dump-ram", metavar="FILE", help="write the RAM here on exit")
    p.add_argument("--echo-off", action="store_true", help="echo off after reset")
    p.add_argument("--any-baud", action="store_true",
                   help="accept bytes at any line rate after auto-baud")
    p.add_argument("--exit-on-go", action="store_true", help="exit after a successful G")
    f = p.add_argument_group("faults")
    f.add_argument("--silent", action="store_true", help="never answer anything")
    f.add_argument("--not-lpc", action="store_true", help="never answer the auto-baud '?'")
    f.add_argument("--resend-once", action="store_true",
                   help="answer RESEND to the next data block even when it matches")
    f.add_argument("--lose-line", action="store_true",
                   help="lose the next UU data line (its block is answered RESEND)")
    f.add_argument("--chatter", type=chatter_text, metavar="TEXT",
                   help="send TEXT (backslash escapes allowed) over and over, never stopping, "
                   "and answer nothing")
    f.add_argument("--refuse", type=_refusal, action="append", default=[],
                   metavar="LETTER[ PARAMETERS]:CODE[:TIMES]",
                   help="answer a command (every one of the letter, or only the one with "
                   "these parameters) with this return code, a number or a name "
                   "(always, or TIMES times)")
    f.add_argument("--corrupt-flash", type=common.parse_int, metavar="ADDRESS",
                   help="flip bit 0 of the byte at this flash address whenever a copy "
                   "programs it")
    args = p.parse_args(argv)
    parse_sectors(args.sectors)
    return args


def main(argv=None):
    Simulator(parse_args(argv)).run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
