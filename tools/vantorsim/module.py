"""One simulated module: its identity, its system entity and its commands.

`Module.handle` takes the data bytes of one frame addressed to the module
and returns the data bytes of its replies (each goes out under the
module's address). What happens after the replies (a restart) is handed
to the simulator, which runs it once the replies are on their way.
"""

import time

from . import wire
from .storage import FactoryData, StoreSlots
from .upgrade import Upgrade
from .wire import be32, get_be

_WIDTH = {"u8": 1, "u16": 2, "u32": 4, "s32": 4}

# Options every module's system entity has; "dynamic" ones are computed.
_SYSTEM_OPTIONS = {
    1: ("u8", False), 2: ("u8", True), 3: ("u8", True), 4: ("u8", True), 6: ("u8", True),
    7: ("u32", False), 8: ("u8", False), 9: ("u32", False), 10: ("call", True),
    11: ("call", True), 12: ("u32", False), 13: ("u8", False), 14: ("u8", False),
    15: ("u8", True), 16: ("u8", False), 20: ("u8", True), 21: ("u32", False),
    22: ("u32", False), 23: ("s32", False), 24: ("call", True), 25: ("s32", False),
    26: ("s32", False), 27: ("s32", False), 28: ("s32", False), 29: ("u8", False),
    31: ("u8", True), 32: ("bytes", True), 33: ("u32", False), 34: ("u32", True),
    35: ("u32", False), 36: ("call", True), 37: ("call", True), 38: ("u8", True),
    39: ("u32", False), 40: ("u32", False), 41: ("u32", False),
}


class Module:
    def __init__(self, cfg, sim, router=None):
        self.cfg = cfg
        self.sim = sim
        self.router = router
        self.name = cfg["name"]
        self.home_serial = cfg["serial"]
        self.serial = cfg["serial"]
        self.address = cfg["address"]
        self.model = cfg["model"]
        self.version = cfg["version"]
        self.build = cfg["build"]
        self.mode = cfg["mode"]
        self.faults = dict(cfg["faults"])
        self.behind = [Module(sub, sim, router=self) for sub in cfg["behind"]]
        # Switched off until the host's side (a test) powers it on.
        self.down = not cfg["powered"]
        self.gone = False
        self.started_at = time.monotonic()
        self.route_to_me = 0
        self.options = self._build_options(cfg)
        self.bytes_in = {}
        self.streams = []
        self.notices = []
        self.heartbeats = {"sent": 0, "answered": 0, "missing": 0, "wrong": 0, "unexpected": 0,
                           "events": []}
        self.slots = StoreSlots(cfg["stores"])
        self.slots.faults = self.faults
        self.factory = FactoryData(cfg["factory"], cfg["factory_capacity"])
        self.upgrade = Upgrade(self)
        self.unanswered = 0

    def _build_options(self, cfg):
        options = {}
        for number, (kind, writable) in _SYSTEM_OPTIONS.items():
            options[number] = {"type": kind, "writable": writable, "value": 0}
        options[2]["value"] = cfg["router"]
        options[3]["value"] = cfg["heartbeat"]["interval"]
        options[12]["value"] = 5000
        options[16]["value"] = cfg["router"]
        options[32].update(value=cfg["device_name"], capacity=3072)
        options[39]["values"] = list(cfg["identifier"])
        options.update({k: dict(v) for k, v in cfg["options"].items()})
        return options

    # Identity and routing.

    @property
    def link_module(self):
        return self.router or self

    def routed(self, address):
        """The module behind this router that answers `address`, if any."""
        if not self.route_to_me:
            return None
        for sub in self.behind:
            if sub.address == address:
                return sub
        return None

    def answering_for(self, address):
        """The modules behind this router that answer frames for `address`
        too (the `answer_for` fault), under their own addresses."""
        if not self.route_to_me:
            return []
        return [sub for sub in self.behind
                if sub.address != address and address in sub.fault("answer_for", [])]

    def heartbeat_period(self):
        interval = self.options[3]["value"]
        return interval * self.cfg["heartbeat"]["unit_ms"] / 1000.0

    def uptime(self):
        return int(time.monotonic() - self.started_at)

    def fault(self, name, default=None):
        return self.faults.get(name, default)

    def fire_fault(self, name):
        """Whether a fault fires now. A fault given as an object fires once
        (or "times" times) and then clears itself, unless "always" is set."""
        value = self.faults.get(name)
        if not value:
            return False
        if isinstance(value, dict) and not value.get("always"):
            times = int(value.get("times", 1)) - 1
            if times <= 0:
                del self.faults[name]
            else:
                value["times"] = times
        return True

    def record_notice(self, data, session):
        kind = {1: "start", 0: "stop"}.get(data[0], "other")
        self.notices.append({"kind": kind, "value": data[0], "transport": session.transport,
                             "session": session.ident, "time": time.time()})

    # Dispatch.

    def handle(self, data, session):
        if self.down or self.fault("mute") or not data:
            return []
        cmd = data[0]
        if cmd in self.fault("mute_commands", []):
            return []
        handler = {
            wire.CMD_SLOT: self.slots.handle,
            wire.CMD_FACTORY: self.factory.handle,
            wire.CMD_UPGRADE: self.upgrade.handle,
            wire.CMD_DESCRIPTOR: self._descriptor,
            wire.CMD_DEBUG: lambda d: [bytes(d)],
            wire.CMD_STREAM: self._stream_command,
            wire.CLASS_SYSTEM: self._system,
        }.get(cmd)
        if handler is None:
            return self._unknown(data)
        return handler(data)

    def _unknown(self, data):
        if len(data) >= 3 and data[2] & wire.SPEC_REQUEST and data[1] & 0xC0:
            return [self._uei_error(data, wire.ERR_INVALID_ENTITY)]
        self.unanswered += 1
        return []

    @staticmethod
    def _uei_error(data, code):
        option = data[1] & 0x3F
        if data[1] & wire.OPT_SET:
            option |= 0xC0
        return bytes([data[0], option, (data[2] & 0x1F) | wire.SPEC_ERROR, code & 0xFF])

    # System entity (class 3).

    def _system(self, data):
        if len(data) < 3:
            return []
        opt_byte, spec = data[1], data[2]
        option, index = opt_byte & 0x3F, spec & 0x1F
        is_get, is_set = bool(opt_byte & wire.OPT_GET), bool(opt_byte & wire.OPT_SET)
        if is_get == is_set:
            self.unanswered += 1
            return []
        if option == 9 and is_get and self.fault("no_serial"):
            return []
        errors = self.fault("error_options", {})
        if str(option) in errors or option in errors:
            return [self._uei_error(data, int(errors.get(str(option), errors.get(option))))]
        entry = self.options.get(option)
        if entry is None:
            return [self._uei_error(data, wire.ERR_INVALID_OPTION)]
        if index != 0:
            return [self._uei_error(data, wire.ERR_INDEX_RANGE)]
        if is_get:
            return self._get(data, option, entry)
        return self._set(data, option, entry)

    def _value_of(self, option, entry, subindex):
        dynamic = {1: self.address, 7: self.version, 8: self.model, 9: self.serial,
                   20: self.route_to_me, 22: self.uptime()}
        if option in dynamic:
            return dynamic[option]
        if "values" in entry:
            values = entry["values"]
            return values[subindex] if subindex < len(values) else None
        return entry["value"]

    def _get(self, data, option, entry):
        kind = entry["type"]
        if kind == "call":
            return [self._uei_error(data, wire.ERR_INVALID_OPTION)]
        head = bytes([data[0], option, data[2] & 0x1F])
        if kind == "bytes":
            return bytes_chunks(head, entry["value"])
        subindex = data[3] if len(data) >= 4 else 0
        value = self._value_of(option, entry, subindex)
        if value is None:
            return [self._uei_error(data, wire.ERR_INDEX_RANGE)]
        return [head + (value & ((1 << (8 * _WIDTH[kind])) - 1)).to_bytes(_WIDTH[kind], "big")]

    def _set(self, data, option, entry):
        kind = entry["type"]
        if not entry["writable"]:
            return [self._uei_error(data, wire.ERR_INVALID_OPTION)]
        if kind == "bytes":
            return self._set_bytes(data, option, entry)
        ok = bytes([data[0], option | 0xC0, data[2] & 0x1F])
        if kind == "call":
            self._call(option)
            return [ok]
        raw = data[4:] if "values" in entry else data[3:]
        if len(raw) != _WIDTH[kind]:
            return [self._uei_error(data, wire.ERR_SIZE)]
        value = get_be(raw)
        if "values" in entry:
            if data[3] >= len(entry["values"]):
                return [self._uei_error(data, wire.ERR_INDEX_RANGE)]
            entry["values"][data[3]] = value
        elif option == 20:
            self.route_to_me = value
        else:
            entry["value"] = value
        return [ok]

    def _set_bytes(self, data, option, entry):
        if len(data) < 4:
            return [self._uei_error(data, wire.ERR_SHORT_COMMAND)]
        key = (data[0], option, data[2] & 0x1F)
        seq = data[-1]
        chunk = data[3:-1]
        if seq & 0x7F == 0:
            self.bytes_in[key] = bytearray()
        assembly = self.bytes_in.get(key)
        if assembly is None or len(assembly) != 24 * (seq & 0x7F):
            self.bytes_in.pop(key, None)
            return [self._uei_error(data, wire.ERR_PACKET)]
        assembly += chunk
        if seq & 0x80:
            return []
        del self.bytes_in[key]
        if len(assembly) > entry.get("capacity", 3072):
            return [self._uei_error(data, wire.ERR_OVERRUN)]
        entry["value"] = bytes(assembly)
        return [bytes([data[0], option | 0xC0, data[2] & 0x1F])]

    def _call(self, option):
        if option == 11:
            self.sim.schedule_restart(self, "reset")

    # Module descriptors (command 73).

    def _descriptor(self, data):
        sub = data[1] if len(data) >= 2 else None
        expected = {1: 6, 4: 3, 5: 4, 6: 4, 255: 2}
        if sub not in expected or len(data) != expected[sub]:
            return [bytes([wire.CMD_DESCRIPTOR, (sub or 0) | 0x80, wire.ERR_SHORT_COMMAND])]
        if sub == 255:
            reply = bytes([wire.CMD_DESCRIPTOR, 255]) + be32(self.build)
            length = self.fault("build_reply_length")
            if length is not None:
                reply = (reply + bytes(28))[:int(length)]
            return [reply]
        if sub == 1:
            return [bytes(data[:5]) + bytes([self._has_uei(data[2], data[3], data[5])])]
        if sub == 4:
            return [bytes(data) + bytes([self.cfg["class_quantities"].get((data[2],), 0)])]
        if sub == 5:
            return [bytes(data) + bytes([self.cfg["subclass_quantities"].get((data[2], data[3]), 0)])]
        return [bytes(data) + bytes([self.cfg["entity_groups"].get((data[2], data[3]), 0)])]

    def _has_uei(self, command, option, flags):
        if command != wire.CLASS_SYSTEM:
            return 0
        entry = self.options.get(option & 0x3F)
        if entry is None:
            return 0
        if flags & wire.OPT_SET and not entry["writable"]:
            return 0
        if flags & wire.OPT_GET and entry["type"] == "call":
            return 0
        return 1

    # Streams (command 93).

    def _stream_command(self, data):
        if len(data) < 3:
            return []
        option = data[1]
        if option == 0x41:
            return [bytes([wire.CMD_STREAM, 0x01, 0x00, 1 if self.streams else 0])]
        if option not in (0x81, 0x82):
            return [self._uei_error(data, wire.ERR_INVALID_OPTION)]
        if len(data) != 7:
            return [self._uei_error(data, wire.ERR_SIZE)]
        key = tuple(data[3:7])
        if option == 0x81:
            if key not in self.streams:
                self.streams.append(key)
        else:
            self.streams = [k for k in self.streams if not _key_match(key, k)]
        return [bytes([wire.CMD_STREAM, option | 0x40, 0x00])]

    def stream_enabled(self, command, option, index):
        return any(_key_match(k, (self.address, command, option, index)) for k in self.streams)

    def state(self):
        """What the control channel reports about this module."""
        return {
            "name": self.name, "serial": "%08X" % self.serial, "home_serial": "%08X" % self.home_serial,
            "address": self.address, "model": self.model, "version": self.version,
            "build": self.build, "mode": self.mode, "down": self.down, "gone": self.gone,
            "route_to_me": self.route_to_me, "router": self.options[2]["value"],
            "led": self.options[4]["value"], "heartbeat_interval": self.options[3]["value"],
            "device_name": self.options[32]["value"].hex(),
            "streams": [list(k) for k in self.streams], "notices": self.notices,
            "heartbeats": self.heartbeats, "faults": self.faults, "unanswered": self.unanswered,
            "behind": ["%08X" % m.serial for m in self.behind],
            "upgrade": self.upgrade.summary(),
        }


def _key_match(pattern, key):
    """Whether a stream key matches a pattern with 255 for any element."""
    return all(p == 255 or p == k for p, k in zip(pattern, key))


def bytes_chunks(head, value):
    """A bytes value as its run of packets: 24 bytes each and a sequence byte."""
    chunks = [value[i:i + 24] for i in range(0, len(value), 24)] or [b""]
    out = []
    for number, chunk in enumerate(chunks):
        more = 0x80 if number + 1 < len(chunks) else 0
        out.append(bytes(head) + bytes(chunk) + bytes([number | more]))
    return out


def sample_data(command, option, index, kind, value=0, subindex=0, timestamp=0, raw=b""):
    """The data bytes of stream sample packets (a list: type 4 may need several)."""
    head = bytes([command, option & 0x3F, (index & 0x1F) | wire.SPEC_STREAM])
    if kind == 4:
        return bytes_chunks(head, raw)
    width = {1: 1, 2: 2, 3: 4, 5: 1, 6: 2, 7: 4}[kind]
    stamp = be32(timestamp >> 32) + be32(timestamp)
    sub = bytes([subindex]) if kind >= 5 else b""
    body = bytes([kind]) + sub + stamp + (value & ((1 << (8 * width)) - 1)).to_bytes(width, "big")
    return [head + body + b"\x00"]

