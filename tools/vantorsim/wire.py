"""Packet frames as they cross a module's link, seen from the module.

A frame is an address byte, a length byte (0 to 28) and that many data
bytes. The host also sends two frames with odd addresses that carry no
command: 0xAD with length 0 (the module-address query; six of them in a
row are the synchronisation request) and 0xAF with length 1 (the start
and stop notices).
"""

import struct

MAX_DATA = 28
MAGIC_ADDRESS = 0xAD
NOTICE_ADDRESS = 0xAF

CMD_SLOT = 4
CMD_DEBUG = 23
CMD_DESCRIPTOR = 73
CMD_STREAM = 93
CMD_FACTORY = 94
CMD_UPGRADE = 95
# Sent unasked under the `unsolicited` fault; no request has this command.
CMD_UNSOLICITED = 0x7E
CLASS_SYSTEM = 3

OPT_GET = 0x40
OPT_SET = 0x80
SPEC_REQUEST = 0x20
SPEC_STREAM = 0x40
SPEC_ERROR = 0x80

# Error codes the module reports in its error replies.
ERR_MEMORY = 1
ERR_PARAM = 2
ERR_NOT_FOUND = 3
ERR_MODE = 7
ERR_OVERRUN = 15
ERR_SIZE = 14
ERR_PACKET = 24
ERR_INDEX_RANGE = 26
ERR_SHORT_COMMAND = 27
ERR_INVALID_ENTITY = 28
ERR_INVALID_OPTION = 29


def be16(value):
    return struct.pack(">H", value & 0xFFFF)


def be32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


def get_be(data):
    value = 0
    for b in data:
        value = (value << 8) | b
    return value


def frame(address, data):
    """The bytes of one frame; refuses what no frame can carry."""
    data = bytes(data)
    if not 0 <= address <= 0xFF or len(data) > MAX_DATA:
        raise ValueError("frame out of range: address %r, %d data bytes" % (address, len(data)))
    return bytes([address, len(data)]) + data


def address_ok(byte):
    """Whether a byte can begin a frame sent by the host."""
    return byte in (MAGIC_ADDRESS, NOTICE_ADDRESS) or (byte != 0 and byte % 2 == 0)


class Framer:
    """Cuts a byte stream into frames and skips what cannot be one.

    A byte that cannot begin a frame, or a header with a length above 28,
    is dropped one byte at a time so that the next plausible header is
    found again. A partial frame that sees no further byte for
    `stale_after` seconds is dropped as a whole by `expire`, so a lost
    byte does not swallow the next good frame for ever.
    """

    def __init__(self, stale_after=0.25):
        self.buffer = bytearray()
        self.stale_after = stale_after
        self.last_byte_at = 0.0

    def feed(self, data, now):
        """Returns (frames, garbage) where frames are (address, data)."""
        self.buffer += data
        if data:
            self.last_byte_at = now
        frames = []
        garbage = bytearray()
        while self.buffer:
            if not address_ok(self.buffer[0]):
                garbage.append(self.buffer.pop(0))
                continue
            if len(self.buffer) < 2:
                break
            length = self.buffer[1]
            if length > MAX_DATA:
                garbage.append(self.buffer.pop(0))
                continue
            if len(self.buffer) < 2 + length:
                break
            frames.append((self.buffer[0], bytes(self.buffer[2:2 + length])))
            del self.buffer[:2 + length]
        return frames, bytes(garbage)

    def expire(self, now):
        """Drops a partial frame that has gone stale; returns its bytes."""
        if self.buffer and now - self.last_byte_at >= self.stale_after:
            stale = bytes(self.buffer)
            self.buffer.clear()
            return stale
        return b""

    def reset(self):
        self.buffer.clear()


_UPGRADE_OPS = {0: "INIT", 1: "DATA", 2: "LOAD", 3: "PREPARE", 4: "SUM", 5: "WRITE",
                6: "REBOOT", 7: "STATUS"}


def describe(address, data, towards_module):
    """A short decoding of one frame for the frame log."""
    if address == MAGIC_ADDRESS and not data:
        return "address query"
    if address == NOTICE_ADDRESS and len(data) == 1:
        return "start notice" if data[0] == 1 else "stop notice" if data[0] == 0 else "notice"
    if not data:
        return "address answer %d" % address if not towards_module else "empty"
    cmd = data[0]
    if len(data) == 2 and cmd == 0:
        return ("heartbeat answer %d" if towards_module else "heartbeat %d") % data[1]
    if cmd == CMD_UPGRADE and len(data) >= 2:
        return "upgrade %s (%d bytes)" % (_UPGRADE_OPS.get(data[1], "?%d" % data[1]), len(data) - 2)
    if cmd == CMD_DESCRIPTOR and len(data) >= 2:
        return "descriptor %d" % data[1]
    if cmd == CMD_DEBUG:
        return "debug echo (%d bytes)" % (len(data) - 1)
    if cmd == CMD_SLOT and len(data) >= 2:
        return "slot %d%s" % (data[1] & 0x7F, " error" if data[1] & 0x80 else "")
    if cmd == CMD_FACTORY and len(data) >= 2:
        return "factory 0x%02X" % data[1]
    if len(data) >= 3:
        opt, spec = data[1], data[2]
        kind = "set" if opt & OPT_SET else "get" if opt & OPT_GET else "value"
        if spec & SPEC_STREAM and not opt & 0xC0:
            kind = "stream"
        flags = " error" if spec & SPEC_ERROR else ""
        return "uei %s class %d option %d index %d%s" % (kind, cmd, opt & 0x3F, spec & 0x1F, flags)
    return "command %d" % cmd
