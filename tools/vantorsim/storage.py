"""Store slots (command 4) and factory data (command 94) of a module."""

from . import wire
from .wire import be16, get_be

_CAPACITY, _SIZE, _OPEN_READ, _OPEN_WRITE, _READ, _WRITE, _CLOSE = 1, 2, 3, 4, 6, 7, 8
_READ_CHUNK = 25


class StoreSlots:
    """Numbered byte areas in numbered stores, opened by handle.

    A slot opened for writing collects the chunks and replaces its
    content when it is closed; a slot opened for reading hands its
    content out in chunks of 25 bytes and then empty replies. A refused
    close still gives the handle back, but drops what was written.
    """

    def __init__(self, stores):
        self.stores = {n: {"slots": s["slots"], "capacity": s["capacity"],
                           "contents": dict(s["contents"])} for n, s in stores.items()}
        self.handles = {}
        self.next_handle = 1
        self.faults = {}

    def content(self, store, slot):
        return self.stores[store]["contents"].get(slot, b"")

    def set_content(self, store, slot, data):
        self.stores[store]["contents"][slot] = bytes(data)

    def handle(self, data):
        if len(data) < 3 or self._muted(data[1]):
            return []
        sub = data[1]
        refused = self.faults.get("slot_errors", {}).get(str(sub))
        if refused is not None and sub in (_CAPACITY, _SIZE, _OPEN_READ, _OPEN_WRITE):
            return [bytes([wire.CMD_SLOT, sub | 0x80, data[2], data[3] if len(data) > 3 else 0,
                           refused & 0xFF])]
        if sub in (_CAPACITY, _SIZE, _OPEN_READ, _OPEN_WRITE):
            return [self._slot_request(data)]
        if sub in (_READ, _WRITE, _CLOSE):
            return [self._handle_request(data, refused)]
        return [bytes([wire.CMD_SLOT, sub | 0x80, data[2], wire.ERR_INVALID_OPTION])]

    def _muted(self, sub):
        """The slot_mute_after fault: the count of read and write chunks
        still answered; at 0 no slot request is answered at all."""
        left = self.faults.get("slot_mute_after")
        if left is None:
            return False
        if left <= 0:
            return True
        if sub in (_READ, _WRITE):
            self.faults["slot_mute_after"] = left - 1
        return False

    def _slot_request(self, data):
        sub = data[1]
        if len(data) != 4:
            return bytes([wire.CMD_SLOT, sub | 0x80, data[2], 0, wire.ERR_SHORT_COMMAND])
        store, slot = data[2], data[3]
        head = bytes(data[:4])
        spec = self.stores.get(store)
        if spec is None or slot >= spec["slots"]:
            code = wire.ERR_NOT_FOUND if spec is None else wire.ERR_INDEX_RANGE
            return bytes([wire.CMD_SLOT, sub | 0x80, store, slot, code])
        if sub == _CAPACITY:
            return head + be16(spec["capacity"])
        if sub == _SIZE:
            return head + be16(len(self.content(store, slot)))
        if len(self.handles) >= 254:
            return bytes([wire.CMD_SLOT, sub | 0x80, store, slot, wire.ERR_MEMORY])
        handle = self._new_handle()
        self.handles[handle] = {"store": store, "slot": slot, "writing": sub == _OPEN_WRITE,
                                "data": bytearray(), "position": 0}
        return head + bytes([handle])

    def _new_handle(self):
        while self.next_handle in self.handles or self.next_handle in (0, 255):
            self.next_handle = (self.next_handle + 1) % 256
        handle = self.next_handle
        self.next_handle = (self.next_handle + 1) % 256
        return handle

    def _handle_request(self, data, refused):
        sub, handle = data[1], data[2]
        entry = self.handles.get(handle)

        def error(code):
            return bytes([wire.CMD_SLOT, sub | 0x80, handle, code & 0xFF])

        if entry is None:
            return error(wire.ERR_PARAM)
        if sub == _CLOSE:
            del self.handles[handle]
            if refused is not None:
                return error(refused)
            if entry["writing"]:
                self.set_content(entry["store"], entry["slot"], entry["data"])
            return bytes([wire.CMD_SLOT, _CLOSE, handle, 0])
        if refused is not None:
            return error(refused)
        if sub == _READ:
            if entry["writing"]:
                return error(wire.ERR_MODE)
            content = self.content(entry["store"], entry["slot"])
            chunk = content[entry["position"]:entry["position"] + _READ_CHUNK]
            entry["position"] += len(chunk)
            return bytes([wire.CMD_SLOT, _READ, handle]) + chunk
        if not entry["writing"]:
            return error(wire.ERR_MODE)
        chunk = data[3:]
        if not chunk:
            return error(wire.ERR_SHORT_COMMAND)
        capacity = self.stores[entry["store"]]["capacity"]
        if len(entry["data"]) + len(chunk) > capacity:
            return error(wire.ERR_OVERRUN)
        entry["data"] += chunk
        total = sum(chunk) & 0xFF
        if self.faults.get("slot_sum_off"):
            total = (total + 1) & 0xFF
        return bytes([wire.CMD_SLOT, _WRITE, handle, total])

    def summary(self):
        return {str(n): {"slots": s["slots"], "capacity": s["capacity"],
                         "contents": {str(k): v.hex() for k, v in s["contents"].items()}}
                for n, s in self.stores.items()}


class FactoryData:
    """Factory blocks 0 to 15, read and written in chunks of 26 bytes.

    The closing packet carries the byte count of the transfer; a count
    that does not match what was read or written is refused, and a write
    only takes effect at a good close.
    """

    def __init__(self, blocks, capacity):
        self.blocks = {n: bytes(v) for n, v in blocks.items()}
        self.capacity = capacity
        self.transfer = None

    def handle(self, data):
        if len(data) < 2:
            return []
        flags = data[1]
        number = flags & 0x0F
        if flags & 0x20:
            return [self._close(data)]
        if flags & 0x10:
            return [self._write(number, flags, data[2:])]
        return [self._read(number, flags)]

    def _read(self, number, flags):
        if number not in self.blocks:
            return bytes([wire.CMD_FACTORY, number | 0x80, wire.ERR_NOT_FOUND])
        if flags & 0x40 or self.transfer is None or self.transfer["block"] != number \
                or self.transfer["writing"]:
            self.transfer = {"block": number, "writing": False, "count": 0, "data": bytearray()}
        start = self.transfer["count"]
        chunk = self.blocks[number][start:start + 26]
        self.transfer["count"] += len(chunk)
        return bytes([wire.CMD_FACTORY, number]) + chunk

    def _write(self, number, flags, chunk):
        fresh = flags & 0x40
        t = self.transfer
        if fresh or t is None or t["block"] != number or not t["writing"]:
            if not fresh:
                self.transfer = None
                return bytes([wire.CMD_FACTORY, number | 0x80, wire.ERR_PACKET])
            t = self.transfer = {"block": number, "writing": True, "count": 0, "data": bytearray()}
        if len(t["data"]) + len(chunk) > self.capacity:
            self.transfer = None
            return bytes([wire.CMD_FACTORY, number | 0x80, wire.ERR_OVERRUN])
        t["data"] += chunk
        t["count"] += len(chunk)
        return bytes([wire.CMD_FACTORY, number])

    def _close(self, data):
        t, self.transfer = self.transfer, None
        if len(data) != 4 or t is None:
            return bytes([wire.CMD_FACTORY, 0x80, wire.ERR_PARAM])
        if get_be(data[2:4]) != t["count"]:
            return bytes([wire.CMD_FACTORY, 0x80, wire.ERR_SIZE])
        if t["writing"]:
            self.blocks[t["block"]] = bytes(t["data"])
        return bytes([wire.CMD_FACTORY, 0])

    def summary(self):
        return {str(n): v.hex() for n, v in self.blocks.items()}
