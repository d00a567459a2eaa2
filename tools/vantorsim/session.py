"""One link session: the module's end of one open packet link.

A session exists per accepted TCP connection, per pseudo-terminal and per
claimed USB interface. It frames the host's bytes, answers the address
query and the synchronisation request, records the start and stop
notices, sends heartbeats and checks their answers, and hands every other
frame to the module it is addressed to (a router hands frames for the
modules behind it on once `routeToMe` is set).
"""

import asyncio
import itertools
import time

from . import wire

_ids = itertools.count(1)
_TICK = 0.02


class LinkSession:
    def __init__(self, sim, module, transport, write, drop):
        self.sim = sim
        self.module = module
        self.transport = transport
        self.ident = next(_ids)
        self._write = write
        self._drop = drop
        self.framer = wire.Framer(sim.frame_timeout)
        self.frames_in = 0
        self.closed = False
        self.pending_heartbeat = None
        self.next_heartbeat_value = 0
        self.next_heartbeat_at = None
        self.unsolicited_sent = 0
        self.unsolicited_due = None
        self._task = asyncio.get_running_loop().create_task(self._ticker())
        sim.sessions.append(self)
        sim.log.event("session open", self)

    # Input.

    def feed(self, data):
        if self.closed:
            return
        if self.module.down:
            self.sim.log.bytes_dropped(self, data)
            return
        frames, garbage = self.framer.feed(data, time.monotonic())
        if garbage:
            self.sim.log.garbage(self, garbage)
        for address, body in frames:
            if self.closed:
                return
            self.sim.log.frame(self, "rx", address, body)
            self.frames_in += 1
            self._dispatch(address, body)
            limit = self.module.fault("drop_after_frames")
            if limit is not None and self.frames_in >= int(limit):
                self.module.faults.pop("drop_after_frames", None)
                self.sim.log.event("fault: dropping the link after %d frames" % self.frames_in, self)
                self.drop()
                return

    def _dispatch(self, address, data):
        link = self.module
        if address in link.fault("ignore_addresses", []):
            self.sim.log.event("fault: address %d ignored" % address, self)
            return
        if address == wire.MAGIC_ADDRESS and not data:
            self.send(link.address, b"")
            return
        if address == wire.NOTICE_ADDRESS and len(data) == 1:
            link.record_notice(data, self)
            return
        if len(data) == 2 and data[0] == 0 and address == link.address:
            self._heartbeat_answer(data[1])
            return
        target = link if address == link.address else link.routed(address)
        for impostor in link.answering_for(address):
            for reply in impostor.handle(data, self):
                self.send(impostor.address, reply)
        if target is None:
            link.unanswered += 1
            return
        for reply in target.handle(data, self):
            self.send(target.address, reply)

    # Output.

    def send(self, address, data):
        if self.closed:
            return
        raw = bytearray(wire.frame(address, data))
        corrupt = self.module.fault("corrupt_byte")
        if corrupt:
            spec = corrupt if isinstance(corrupt, dict) else {}
            offset = min(int(spec.get("offset", 0)), len(raw) - 1)
            raw[offset] = int(spec.get("value", 0x01)) & 0xFF
            self.module.faults.pop("corrupt_byte", None)
            self.sim.log.event("fault: byte %d of the next frame corrupted" % offset, self)
        self.sim.log.frame(self, "tx", address, data, raw=bytes(raw))
        self._write(bytes(raw))

    def send_raw(self, data):
        if not self.closed:
            self.sim.log.raw(self, "tx", data)
            self._write(bytes(data))

    # Heartbeats.

    def heartbeat(self, value=None):
        """Sends one heartbeat now (a control request or the period)."""
        stats = self.module.heartbeats
        if self.pending_heartbeat is not None:
            self._missing("no answer before the next heartbeat")
        if value is None:
            value = self.next_heartbeat_value
            self.next_heartbeat_value ^= 1
        self.pending_heartbeat = (value & 0xFF, time.monotonic())
        stats["sent"] += 1
        self.send(self.module.address, bytes([0, value & 0xFF]))

    def _heartbeat_answer(self, got):
        stats = self.module.heartbeats
        if self.pending_heartbeat is None:
            stats["unexpected"] += 1
            self._event("unexpected answer", got=got)
            return
        value, _ = self.pending_heartbeat
        self.pending_heartbeat = None
        if got == (value + 2) & 0xFF:
            stats["answered"] += 1
        else:
            stats["wrong"] += 1
            self._event("wrong answer", sent=value, got=got)

    def _missing(self, why):
        value, _ = self.pending_heartbeat
        self.pending_heartbeat = None
        self.module.heartbeats["missing"] += 1
        self._event(why, sent=value)

    def _event(self, what, **extra):
        events = self.module.heartbeats["events"]
        events.append(dict(extra, what=what, session=self.ident, time=time.time()))
        del events[:-100]

    async def _ticker(self):
        """Heartbeat period, answer time-out and stale partial frames."""
        try:
            while not self.closed:
                await asyncio.sleep(_TICK)
                self._tick(time.monotonic())
        except asyncio.CancelledError:
            pass

    def _tick(self, now):
        stale = self.framer.expire(now)
        if stale:
            self.sim.log.garbage(self, stale, why="stale partial frame")
        if self.module.down:
            return
        self._send_unsolicited(now)
        timeout = self.module.cfg["heartbeat"]["answer_timeout_ms"] / 1000.0
        if self.pending_heartbeat is not None and now - self.pending_heartbeat[1] >= timeout:
            self._missing("no answer in time")
        period = self.module.heartbeat_period()
        if period <= 0:
            self.next_heartbeat_at = None
            return
        if self.next_heartbeat_at is None:
            self.next_heartbeat_at = now + period
        elif now >= self.next_heartbeat_at:
            self.next_heartbeat_at = now + period
            self.heartbeat()

    # Unsolicited packets (the `unsolicited` fault).

    def _send_unsolicited(self, now):
        """Catches up with the fault's rate: packets of a command nobody asks
        for, from this module and, while it routes, from those behind it."""
        rate = self.module.fault("unsolicited")
        if not rate:
            self.unsolicited_due = None
            return
        if self.unsolicited_due is None:
            self.unsolicited_due = now
        senders = [self.module] + [m for m in self.module.behind if self.module.route_to_me]
        while self.unsolicited_due <= now and not self.closed:
            count = self.unsolicited_sent
            sender = senders[count % len(senders)]
            self.send(sender.address, bytes([wire.CMD_UNSOLICITED, (count >> 8) & 0xFF, count & 0xFF]))
            self.unsolicited_sent += 1
            self.unsolicited_due += 1.0 / float(rate)

    # End.

    def drop(self):
        """Ends the link from the module's side (the transport decides how)."""
        if not self.closed:
            self._drop()
            self.close()

    def close(self):
        if self.closed:
            return
        self.closed = True
        self._task.cancel()
        if self in self.sim.sessions:
            self.sim.sessions.remove(self)
        self.sim.log.event("session closed", self)

    def describe(self):
        return {"id": self.ident, "transport": self.transport, "module": "%08X" % self.module.serial,
                "frames_in": self.frames_in}
