"""The JSON-lines record of everything that crossed a link.

One object per line: "time" (seconds since the epoch), "kind" ("frame",
"garbage", "raw", "dropped" or "event"), "dir" ("rx" from the host, "tx"
to it), "transport", "session", "module" (the link module's serial
number as eight hexadecimal digits), "hex" (the bytes) and for frames
"address", "length" and "decode" (a short decoding).
"""

import json
import sys
import time

from . import wire


class FrameLog:
    def __init__(self, path=None, echo=False):
        self.file = open(path, "a", encoding="utf-8") if path else None
        self.echo = echo

    def _put(self, entry):
        entry["time"] = round(time.time(), 6)
        line = json.dumps(entry, sort_keys=True)
        if self.file:
            self.file.write(line + "\n")
            self.file.flush()
        if self.echo:
            print(line, file=sys.stderr, flush=True)

    @staticmethod
    def _where(session):
        if session is None:
            return {}
        return {"transport": session.transport, "session": session.ident,
                "module": "%08X" % session.module.serial}

    def frame(self, session, direction, address, data, raw=None):
        raw = raw if raw is not None else wire.frame(address, data)
        entry = self._where(session)
        entry.update(kind="frame", dir=direction, hex=raw.hex(), address=address,
                     length=len(data), decode=wire.describe(address, data, direction == "rx"))
        self._put(entry)

    def garbage(self, session, data, why="no frame"):
        entry = self._where(session)
        entry.update(kind="garbage", dir="rx", hex=bytes(data).hex(), decode=why)
        self._put(entry)

    def raw(self, session, direction, data):
        entry = self._where(session)
        entry.update(kind="raw", dir=direction, hex=bytes(data).hex())
        self._put(entry)

    def bytes_dropped(self, session, data):
        entry = self._where(session)
        entry.update(kind="dropped", dir="rx", hex=bytes(data).hex(), decode="module restarting")
        self._put(entry)

    def event(self, text, session=None, **extra):
        entry = self._where(session)
        entry.update(extra, kind="event", decode=text)
        self._put(entry)

    def close(self):
        if self.file:
            self.file.close()
            self.file = None
