"""The simulator: modules, their transports, restarts and the ready file."""

import asyncio
import json
import os
import time

from . import module as module_mod
from .framelog import FrameLog
from .module import Module
from .transports import DiscoveryResponder, PtyLink, TcpService, UsbHub
from .upgrade import payload


class Simulator:
    def __init__(self, config, log_path=None, usb_socket=None, state_dir=None, echo=False):
        self.config = config
        self.frame_timeout = config["frame_timeout_ms"] / 1000.0
        self.log = FrameLog(log_path, echo=echo)
        self.sessions = []
        self.state_dir = state_dir
        self.link_modules = [Module(m, self) for m in config["modules"]]
        self.modules = []
        for m in self.link_modules:
            self.modules.append(m)
            self.modules.extend(m.behind)
        self.tcp = {}
        self.ptys = {}
        usb_modules = [m for m in self.link_modules if "usb" in m.cfg["transports"]]
        self.usb = UsbHub(self, usb_socket, usb_modules) if usb_socket else None
        self.discovery = []
        self.tasks = []
        self.restarts = []

    async def start(self):
        for m in self.link_modules:
            transports = m.cfg["transports"]
            if "tcp" in transports:
                self.tcp[m] = TcpService(self, m, transports["tcp"])
                await self.tcp[m].start()
            for kind in ("serial", "node"):
                if kind in transports:
                    pty = PtyLink(self, m, kind, transports[kind])
                    pty.start()
                    self.ptys.setdefault(m, []).append(pty)
        if self.usb is not None:
            await self.usb.start()
        for m in self.link_modules:
            if m.down:
                self._transports_down(m)
        for cfg in self.config["discovery"]:
            responder = DiscoveryResponder(self, cfg, list(self.tcp.values()))
            responder.start()
            self.discovery.append(responder)
        loop = asyncio.get_running_loop()
        for m in self.modules:
            if m.cfg["streams"]:
                self.tasks.append(loop.create_task(self._periodic_samples(m)))
        self.log.event("simulator up")

    def find(self, key):
        """A module by name, serial number (as configured or current) or index."""
        for m in self.modules:
            if key in (m.name, "%08X" % m.home_serial, "%08X" % m.serial):
                return m
        if isinstance(key, int) and not isinstance(key, bool):
            for m in self.modules:
                if key in (m.home_serial, m.serial):
                    return m
            if 0 <= key < len(self.modules):
                return self.modules[key]
        if isinstance(key, str):
            for m in self.modules:
                if key.upper() in ("%08X" % m.home_serial, "%08X" % m.serial):
                    return m
        return None

    def sessions_of(self, module):
        return [s for s in self.sessions if s.module is module.link_module]

    def send_from(self, module, datas):
        """Sends packets from a module on every session that reaches it."""
        if module.down or (module.router is not None and not module.router.route_to_me):
            return 0
        sessions = self.sessions_of(module)
        for s in sessions:
            for d in datas:
                s.send(module.address, d)
        return len(sessions)

    async def _periodic_samples(self, m):
        """Configured streams send samples only while the host has them on."""
        due = [time.monotonic()] * len(m.cfg["streams"])
        counters = [0] * len(m.cfg["streams"])
        while True:
            now = time.monotonic()
            for i, s in enumerate(m.cfg["streams"]):
                if now < due[i]:
                    continue
                due[i] = now + s["period_ms"] / 1000.0
                if not m.stream_enabled(s["command"], s["option"], s["index"]):
                    continue
                value = s["values"][counters[i] % len(s["values"])]
                counters[i] += 1
                self.send_from(m, module_mod.sample_data(
                    s["command"], s["option"], s["index"], s["type"], value, s["subindex"],
                    int((now - m.started_at) * 1e6)))
            await asyncio.sleep(max(0.005, min(due) - time.monotonic()))

    # Restarts.

    def schedule_restart(self, module, why):
        """Runs after the replies of the current frame have been written."""
        asyncio.get_running_loop().call_soon(self._restart, module, why)

    def _restart(self, module, why):
        up = module.cfg["upgrade"]
        if why == "load" and not up["load_restart"]:
            self._enter(module, why)
            return
        self.log.event("module restarting (%s)" % why, module="%08X" % module.serial)
        module.down = True
        self._transports_down(module)
        if module.fault("no_return_after_" + why):
            module.gone = True
            return
        delay = (module.fault("restart_delay_ms") or {}).get(why, up["restart_ms"])
        handle = asyncio.get_running_loop().call_later(int(delay) / 1000.0,
                                                        self._come_back, module, why)
        self.restarts.append(handle)

    def _enter(self, module, why):
        up = module.cfg["upgrade"]
        if why == "load":
            module.mode = "loader"
            if up["loader_serial"] is not None:
                module.serial = up["loader_serial"]
        else:
            module.mode = "firmware"
            module.serial = module.home_serial
            if why == "reboot" and not module.fault("reboot_to_old_image"):
                if up["new_version"] is not None:
                    module.version = up["new_version"]
                if up["new_build"] is not None:
                    module.build = up["new_build"]
        module.upgrade.reset_transfer()

    def _come_back(self, module, why):
        self._enter(module, why)
        # A restarted module streams nothing and has its configured heartbeat.
        module.route_to_me = 0
        module.streams = []
        module.options[3]["value"] = module.cfg["heartbeat"]["interval"]
        module.started_at = time.monotonic()
        module.down = False
        self.log.event("module back (%s)" % why, module="%08X" % module.serial, mode=module.mode)
        asyncio.get_running_loop().create_task(self._transports_up(module))

    def _transports_down(self, module):
        if module.router is not None:
            return
        if module in self.tcp:
            self.tcp[module].down()
        for pty in self.ptys.get(module, []):
            pty.down()
        if self.usb is not None and module in self.usb.ids:
            self.usb.detach(module)

    async def _transports_up(self, module):
        if module.router is not None:
            return
        if module in self.tcp:
            await self.tcp[module].up()
        if self.usb is not None and module in self.usb.ids and self.usb.harness is not None:
            self.usb.attach(module)

    def power(self, module, on):
        """Switches a module off (as a restart begins) or on (as a restart
        ends, in the mode and with the serial number it has): a processor
        that starts a RAM-resident loader brings the module up this way."""
        if module.router is not None:
            raise ValueError("a module behind a router has no power of its own")
        if not on:
            if not module.down:
                self.log.event("module switched off", module="%08X" % module.serial)
                module.down = True
                self._transports_down(module)
            return
        if module.down and not module.gone:
            module.started_at = time.monotonic()
            module.down = False
            self.log.event("module switched on", module="%08X" % module.serial, mode=module.mode)
            asyncio.get_running_loop().create_task(self._transports_up(module))

    # Memory.

    def memory_changed(self, module):
        if self.state_dir:
            self.dump(module, self.state_dir)

    def dump(self, module, directory):
        """Writes the loader images and firmware blocks as block payloads."""
        target = os.path.join(directory, "%08X" % module.home_serial)
        os.makedirs(target, exist_ok=True)
        written = []
        up = module.upgrade
        files = {}
        for n, started in enumerate(up.started_loaders):
            for k, block in enumerate(started):
                files["loader-%d-%d.bin" % (n, k)] = payload(block)
        for k, block in enumerate(up.firmware_blocks):
            files["firmware-%d.bin" % k] = payload(block)
        for name, data in files.items():
            path = os.path.join(target, name)
            with open(path + ".tmp", "wb") as f:
                f.write(data)
            os.replace(path + ".tmp", path)
            written.append(path)
        summary = os.path.join(target, "upgrade.json")
        with open(summary + ".tmp", "w", encoding="utf-8") as f:
            json.dump(up.summary(), f, indent=1, sort_keys=True)
        os.replace(summary + ".tmp", summary)
        return written

    # Ready file and shutdown.

    def ready_info(self, control_path):
        modules = []
        for m in self.modules:
            entry = {"name": m.name, "serial": "%08X" % m.serial, "serial_number": m.serial,
                     "address": m.address, "router": m.cfg["router"], "model": m.model,
                     "version": m.version, "build": m.build,
                     "version_text": "%d.%d.%d" % (m.version >> 28, (m.version >> 24) & 15,
                                                   m.version & 0xFFFFFF),
                     "behind_router": "%08X" % m.router.serial if m.router else None,
                     "behind": ["%08X" % b.serial for b in m.behind]}
            if m in self.tcp:
                entry["tcp"] = {"host": self.tcp[m].bind, "port": self.tcp[m].port}
            for pty in self.ptys.get(m, []):
                key = "serial_port" if pty.kind == "serial" else "node"
                entry[key] = {"path": pty.path, "symlink": pty.symlink}
                if pty.kind == "node":
                    entry["node"]["name"] = "vantor.%08X" % m.serial
            if self.usb is not None and m in self.usb.ids:
                entry["usb"] = {"id": self.usb.ids[m], "serial": self.usb.identity(m)[1]}
            modules.append(entry)
        return {"pid": os.getpid(), "control": control_path,
                "usb_socket": self.usb.path if self.usb else None,
                "discovery": [r.cfg for r in self.discovery], "modules": modules}

    def close(self):
        for handle in self.restarts:
            handle.cancel()
        for task in self.tasks:
            task.cancel()
        for service in self.tcp.values():
            service.close()
        for ptys in self.ptys.values():
            for pty in ptys:
                pty.close()
        if self.usb is not None:
            self.usb.close()
        for responder in self.discovery:
            responder.close()
        for session in list(self.sessions):
            session.close()
        self.log.event("simulator down")
        self.log.close()
