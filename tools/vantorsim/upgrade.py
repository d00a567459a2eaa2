"""The module side of the upgrade exchange (command 95) with its memory.

Running firmware takes loader blocks (PREPARE, DATA, SUM) and starts the
loader on LOAD; the loader takes firmware blocks (PREPARE, then per piece
DATA, SUM and WRITE) and restarts into the new firmware on REBOOT. Every
loader image started and every block written is kept with its load
address, in the layout of a firmware file's block payload (four address
bytes, most significant first, then the image), so a test can compare
them byte for byte.
"""

from . import wire
from .wire import be16, be32, get_be

INIT, DATA, LOAD, PREPARE, SUM, WRITE, REBOOT, STATUS = range(8)

STATUS_OK = 0
STATUS_NO_SUM = 1
STATUS_COUNT = 2
STATUS_NOT_LOADER = 3


def payload(block):
    return be32(block["address"]) + bytes(block["data"])


class Upgrade:
    def __init__(self, module):
        self.module = module
        self.loader_blocks = []
        self.started_loaders = []
        self.firmware_blocks = []
        self.current = None
        self.piece = bytearray()
        self.sum_good = False
        self.firmware_sums = 0
        self.counts = {"init": 0, "data": 0, "prepare": 0, "sum": 0, "write": 0, "load": 0,
                       "reboot": 0, "data_wrong": 0}

    def handle(self, data):
        if len(data) < 2:
            return []
        op = data[1]
        handler = {INIT: self._init, DATA: self._data, LOAD: self._load, PREPARE: self._prepare,
                   SUM: self._sum, WRITE: self._write, REBOOT: self._reboot}.get(op)
        if handler is None:
            return [bytes([wire.CMD_UPGRADE, STATUS, STATUS_NOT_LOADER])]
        replies = handler(data)
        lengths = self.module.fault("upgrade_reply_length") or {}
        cut = lengths.get(str(op), lengths.get(op))
        if cut is not None:
            replies = [(r + bytes(28))[:int(cut)] for r in replies]
        return replies

    @property
    def in_loader(self):
        return self.module.mode == "loader"

    def _init(self, data):
        self.counts["init"] += 1
        if not self.in_loader:
            self.loader_blocks = []
            self.current = None
            self.piece = bytearray()
        return [bytes([wire.CMD_UPGRADE, INIT]) + be32(self.module.cfg["upgrade"]["load_base"])]

    def _prepare(self, data):
        self.counts["prepare"] += 1
        m = self.module
        status = int(m.fault("prepare_status", 0))
        size = m.fault("prepare_block_size")
        size = m.cfg["upgrade"]["block_size"] if size is None else int(size)
        if len(data) != 7:
            status = status or STATUS_COUNT
        if status:
            return [bytes([wire.CMD_UPGRADE, STATUS, status & 0xFF]) + be16(size)]
        self.current = {"address": get_be(data[3:7]), "flags": data[2], "data": bytearray()}
        (self.firmware_blocks if self.in_loader else self.loader_blocks).append(self.current)
        self.piece = bytearray()
        self.sum_good = False
        return [bytes([wire.CMD_UPGRADE, STATUS, STATUS_OK]) + be16(size)]

    def _data(self, data):
        self.counts["data"] += 1
        chunk = data[2:]
        wrong = self.module.fault("data_count_wrong")
        if wrong:
            if wrong != "always":
                self.module.faults.pop("data_count_wrong", None)
            # The bytes of a refused chunk are not kept: the host sends it again.
            self.counts["data_wrong"] += 1
            return [bytes([wire.CMD_UPGRADE, DATA, (len(chunk) - 1) & 0xFF])]
        if self.current is None:
            self.current = {"address": 0, "flags": 0, "data": bytearray(), "implicit": True}
            (self.firmware_blocks if self.in_loader else self.loader_blocks).append(self.current)
        self.piece += chunk
        if not self.in_loader:
            self.current["data"] += chunk
        self.sum_good = False
        return [bytes([wire.CMD_UPGRADE, DATA, len(chunk)])]

    def _sum(self, data):
        self.counts["sum"] += 1
        total = sum(self.piece) & 0xFFFFFFFF
        stage = "firmware" if self.in_loader else "loader"
        good = True
        off = self.module.fault("sum_off")
        if off and off.get("stage", "loader") == stage:
            if stage == "loader" or int(off.get("block", 0)) == self.firmware_sums:
                if self.module.fire_fault("sum_off"):
                    total = (total + 1) & 0xFFFFFFFF
                    good = False
        if stage == "firmware":
            self.firmware_sums += 1
        self.sum_good = good
        return [bytes([wire.CMD_UPGRADE, STATUS, STATUS_OK]) + be32(total)]

    def _write(self, data):
        self.counts["write"] += 1
        status = STATUS_OK
        if not self.in_loader or self.current is None:
            status = STATUS_NOT_LOADER
        elif not self.sum_good:
            status = STATUS_NO_SUM
        elif len(data) != 4 or get_be(data[2:4]) != len(self.piece):
            status = STATUS_COUNT
        if status == STATUS_OK:
            self.current["data"] += self.piece
            self.piece = bytearray()
            self.sum_good = False
            self.module.sim.memory_changed(self.module)
        if self.module.fault("write_no_status"):
            return [bytes([wire.CMD_UPGRADE, STATUS])]
        return [bytes([wire.CMD_UPGRADE, STATUS, status])]

    def _load(self, data):
        self.counts["load"] += 1
        if self.in_loader:
            return [bytes([wire.CMD_UPGRADE, LOAD])]
        self.started_loaders.append([dict(b, data=bytes(b["data"])) for b in self.loader_blocks])
        self.firmware_blocks = []
        self.module.sim.memory_changed(self.module)
        self.module.sim.schedule_restart(self.module, "load")
        if self.module.fault("no_load_reply"):
            return []
        return [bytes([wire.CMD_UPGRADE, LOAD])]

    def _reboot(self, data):
        self.counts["reboot"] += 1
        if not self.module.fault("no_drop_after_reboot"):
            self.module.sim.schedule_restart(self.module, "reboot")
        return []

    def reset_transfer(self):
        """A restart loses what was not written."""
        self.current = None
        self.piece = bytearray()
        self.sum_good = False
        self.firmware_sums = 0

    def summary(self, with_data=False):
        out = {"mode": self.module.mode, "counts": dict(self.counts),
               "loader_blocks": len(self.loader_blocks), "loaders_started": len(self.started_loaders),
               "firmware_blocks": [{"address": b["address"], "flags": b["flags"],
                                    "length": len(b["data"])} for b in self.firmware_blocks],
               "pending_bytes": len(self.piece)}
        if with_data:
            out["loaders"] = [[payload(b).hex() for b in started] for started in self.started_loaders]
            out["firmware"] = [payload(b).hex() for b in self.firmware_blocks]
        return out
