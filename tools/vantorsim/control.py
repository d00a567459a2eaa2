"""The control channel: JSON requests and answers, one a line, on a Unix
stream socket. Every request is an object with "cmd" and, for the
commands about one module, "module" (name, serial number text or index).
Every answer has "ok"; a failed request has "error" instead of a result.
"""

import asyncio
import os

from .config import ConfigError, parse_int, parse_serial, parse_version
from .module import sample_data
from .transports import JsonLines
from .upgrade import payload


class ControlError(Exception):
    pass


class Control:
    def __init__(self, sim, path):
        self.sim = sim
        self.path = path
        self.server = None

    async def start(self):
        if os.path.exists(self.path):
            os.unlink(self.path)
        loop = asyncio.get_running_loop()
        self.server = await loop.create_unix_server(lambda: _ControlProtocol(self), self.path)

    def close(self):
        if self.server is not None:
            self.server.close()
        if os.path.exists(self.path):
            os.unlink(self.path)

    def answer(self, request):
        if not isinstance(request, dict) or not isinstance(request.get("cmd"), str):
            return {"ok": False, "error": "a request is an object with \"cmd\""}
        handler = getattr(self, "cmd_" + request["cmd"], None)
        if handler is None:
            return {"ok": False, "error": "unknown command %r" % request["cmd"]}
        try:
            result = handler(request) or {}
        except (ControlError, ConfigError) as e:
            return {"ok": False, "error": str(e)}
        except (KeyError, ValueError, TypeError) as e:
            return {"ok": False, "error": "bad request: %s: %s" % (type(e).__name__, e)}
        result["ok"] = True
        return result

    def _module(self, request):
        if "module" not in request:
            raise ControlError("\"module\" is required")
        m = self.sim.find(request["module"])
        if m is None:
            raise ControlError("no module %r" % (request["module"],))
        return m

    # Requests.

    def cmd_ping(self, request):
        return {}

    def cmd_modules(self, request):
        return {"modules": [m.state() for m in self.sim.modules]}

    def cmd_state(self, request):
        m = self._module(request)
        state = m.state()
        state["slots"] = m.slots.summary()
        state["factory"] = m.factory.summary()
        state["sessions"] = [s.describe() for s in self.sim.sessions_of(m)]
        return {"state": state}

    def cmd_sessions(self, request):
        return {"sessions": [s.describe() for s in self.sim.sessions]}

    def cmd_fault(self, request):
        m = self._module(request)
        name = request["name"]
        value = request.get("value")
        if value is None:
            m.faults.pop(name, None)
        else:
            m.faults[name] = value
        return {"faults": m.faults}

    def cmd_clear_faults(self, request):
        m = self._module(request)
        m.faults.clear()
        return {"faults": m.faults}

    def cmd_sample(self, request):
        m = self._module(request)
        kind = parse_int(request.get("type", 3), "type", 1, 7)
        datas = sample_data(parse_int(request["command"], "command", 0, 255),
                            parse_int(request.get("option", 0), "option", 0, 63),
                            parse_int(request.get("index", 0), "index", 0, 31), kind,
                            parse_int(request.get("value", 0), "value", -0x80000000, 0xFFFFFFFF),
                            parse_int(request.get("subindex", 0), "subindex", 0, 255),
                            parse_int(request.get("timestamp", 0), "timestamp", 0, 2 ** 64 - 1),
                            bytes.fromhex(request.get("hex", "")))
        return {"sessions": self.sim.send_from(m, datas), "packets": [d.hex() for d in datas]}

    def cmd_heartbeat(self, request):
        m = self._module(request)
        value = request.get("value")
        sessions = self.sim.sessions_of(m)
        for s in sessions:
            s.heartbeat(None if value is None else parse_int(value, "value", 0, 255))
        return {"sessions": len(sessions)}

    def cmd_streams(self, request):
        return {"streams": [list(k) for k in self._module(request).streams]}

    def cmd_slot(self, request):
        m = self._module(request)
        store, slot = int(request["store"]), int(request["slot"])
        if store not in m.slots.stores:
            raise ControlError("no store %d" % store)
        return {"hex": m.slots.content(store, slot).hex()}

    def cmd_set_slot(self, request):
        m = self._module(request)
        store, slot = int(request["store"]), int(request["slot"])
        if store not in m.slots.stores or slot >= m.slots.stores[store]["slots"]:
            raise ControlError("no slot %d in store %d" % (slot, store))
        m.slots.set_content(store, slot, bytes.fromhex(request.get("hex", "")))
        return {}

    def cmd_factory(self, request):
        m = self._module(request)
        if "block" in request:
            block = int(request["block"])
            if block not in m.factory.blocks:
                raise ControlError("no factory block %d" % block)
            return {"hex": m.factory.blocks[block].hex()}
        return {"blocks": m.factory.summary()}

    def cmd_set_factory(self, request):
        m = self._module(request)
        m.factory.blocks[parse_int(request["block"], "block", 0, 15)] = bytes.fromhex(request["hex"])
        return {}

    def cmd_upgrade(self, request):
        return {"upgrade": self._module(request).upgrade.summary(with_data=True)}

    def cmd_memory(self, request):
        """The firmware blocks written since the loader started, and the
        loader images, as block payloads (address then image)."""
        up = self._module(request).upgrade
        return {"firmware": [payload(b).hex() for b in up.firmware_blocks],
                "loaders": [[payload(b).hex() for b in s] for s in up.started_loaders]}

    def cmd_dump(self, request):
        m = self._module(request)
        directory = request.get("dir") or self.sim.state_dir
        if not directory:
            raise ControlError("no \"dir\" given and no state directory")
        return {"files": self.sim.dump(m, directory)}

    def cmd_restart(self, request):
        m = self._module(request)
        why = request.get("why", "reset")
        if why not in ("reset", "load", "reboot"):
            raise ControlError("why: reset, load or reboot")
        self.sim.schedule_restart(m, why)
        return {}

    def cmd_power(self, request):
        m = self._module(request)
        on = request.get("on", True)
        if not isinstance(on, bool):
            raise ControlError("on: true or false")
        try:
            self.sim.power(m, on)
        except ValueError as e:
            raise ControlError(str(e)) from None
        return {}

    def cmd_set(self, request):
        m = self._module(request)
        field, value = request["field"], request["value"]
        if field == "version":
            m.version = parse_version(value)
        elif field == "build":
            m.build = parse_int(value, "build")
        elif field == "serial":
            m.serial = parse_serial(value)
        elif field == "model":
            m.model = parse_int(value, "model", 0, 255)
        elif field == "route_to_me":
            m.route_to_me = parse_int(value, "route_to_me", 0, 255)
        elif field == "mode" and value in ("firmware", "loader"):
            m.mode = value
        elif field == "option":
            entry = m.options[parse_int(request["option"], "option", 0, 63)]
            entry["value"] = bytes.fromhex(value) if entry["type"] == "bytes" else parse_int(value, "value")
        else:
            raise ControlError("cannot set %r" % field)
        return {}

    def cmd_send_raw(self, request):
        m = self._module(request)
        sessions = self.sim.sessions_of(m)
        for s in sessions:
            s.send_raw(bytes.fromhex(request["hex"]))
        return {"sessions": len(sessions)}

    def cmd_drop(self, request):
        sessions = self.sim.sessions_of(self._module(request))
        for s in sessions:
            s.drop()
        return {"sessions": len(sessions)}

    def cmd_usb_stall(self, request):
        m = self._module(request)
        if self.sim.usb is None or m not in self.sim.usb.attached:
            raise ControlError("module has no attached USB device")
        self.sim.usb.stall(m, parse_int(request["endpoint"], "endpoint", 0, 255))
        return {}

    def cmd_discovery(self, request):
        return {"responders": [dict(r.cfg, requests=r.requests) for r in self.sim.discovery]}


class _ControlProtocol(JsonLines):
    def __init__(self, control):
        self.control = control

    def received(self, msg):
        answer = self.control.answer(msg)
        if isinstance(msg, dict) and "id" in msg:
            answer["id"] = msg["id"]
        self.send(answer)

    def bad_line(self, line):
        self.send({"ok": False, "error": "not JSON"})
