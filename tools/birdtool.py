#!/usr/bin/env python3
"""Builds, inspects and takes apart BIRD firmware files.

A BIRD file is the signature "bird", two version bytes (01 01; both must be
non-zero) and a zlib stream (RFC 1950) of the block image:

    block count N        4 bytes, big-endian
    N blocks             1 byte type | flags << 5, 4-byte big-endian length L,
                         L payload bytes
    checksum             4 bytes, big-endian

The readers store the checksum and never verify it. This tool writes the sum
of every byte of the block image in front of it (the count field and all the
blocks), modulo 2**32, so that a file's checksum at least depends on its
content.

Block types: 0 loader and 1 firmware (4-byte load address, then the image),
2 serial-number template (address of the serial-number word, address of the
descriptor text), 4 identity (four 16-byte space-padded ASCII fields: build,
version, serial number, model), 5 loader start (address of the IVT); every
other type carries no meaning.

Commands:

    birdtool.py build [DESCRIPTION.json] -o OUT [options]
    birdtool.py list FILE [--json]
    birdtool.py inspect FILE [--json]
    birdtool.py extract FILE (--index N | --type T [--nth K]) [--content]
                        [--key W0,W1,W2,W3] -o OUT

The description format and every option are in `birdtool.py build --help`
and in the README. A reader that follows the block loop (blocks while more
than 4 bytes remain, then the checksum) takes bytes after the checksum for
the header of one more block, so `list` reports a file built with --trailing
as a block that runs past the end, as such a reader would find it. The module can also be imported: `bird_file()` and the
block constructors make files in code, `parse()` reads them back.
"""

import argparse
import dataclasses
import json
import os
import random
import struct
import sys
import zlib

SIGNATURE = b"bird"
VERSION = b"\x01\x01"

TYPE_LOADER = 0
TYPE_FIRMWARE = 1
TYPE_SERIAL_OFFSETS = 2
TYPE_INFO = 4
TYPE_LOADER_START = 5

TYPE_NAMES = {
    TYPE_LOADER: "loader",
    TYPE_FIRMWARE: "firmware",
    TYPE_SERIAL_OFFSETS: "serial",
    TYPE_INFO: "identity",
    TYPE_LOADER_START: "loader_start",
}
TYPE_BY_NAME = {name: value for value, name in TYPE_NAMES.items()}

INFO_FIELD = 16
INFO_LENGTH = 4 * INFO_FIELD
INFLATE_RATIO = 8
# The inspector inflates past the readers' 8x limit to show what is there,
# but not without bound.
INSPECT_LIMIT = 256 * 1024 * 1024
PATTERNS = ("zeros", "ones", "counter", "random")
CORRUPTIONS = ("adler", "header", "truncate")


class BirdError(Exception):
    """A description or an argument that cannot be built."""


@dataclasses.dataclass
class Block:
    type: int
    payload: bytes = b""
    flags: int = 0

    def encode(self, declared_length=None):
        if not 0 <= self.type <= 0x1F:
            raise BirdError("block type %r is not 0-31" % self.type)
        if not 0 <= self.flags <= 7:
            raise BirdError("block flags %r are not 0-7" % self.flags)
        length = len(self.payload) if declared_length is None else declared_length
        return struct.pack(">BI", self.type | self.flags << 5, length) + self.payload


def _u32(value, what):
    if not 0 <= value <= 0xFFFFFFFF:
        raise BirdError("%s %r does not fit in 32 bits" % (what, value))
    return struct.pack(">I", value)


def image_block(type_, address, content, flags=0):
    return Block(type_, _u32(address, "load address") + bytes(content), flags)


def loader_block(address, content, flags=0):
    return image_block(TYPE_LOADER, address, content, flags)


def firmware_block(address, content, flags=0):
    return image_block(TYPE_FIRMWARE, address, content, flags)


def serial_template_block(serial_address, descriptor_address=0, flags=0):
    payload = _u32(serial_address, "serial address") + _u32(descriptor_address,
                                                            "descriptor address")
    return Block(TYPE_SERIAL_OFFSETS, payload, flags)


def loader_start_block(address, flags=0):
    return Block(TYPE_LOADER_START, _u32(address, "IVT address"), flags)


def _field(text, what):
    data = str(text).encode("ascii")
    if len(data) > INFO_FIELD:
        raise BirdError("%s %r is longer than %d characters" % (what, text, INFO_FIELD))
    return data.ljust(INFO_FIELD, b" ")


def serial_text(serial):
    """An int becomes its eight upper-case hex digits; text stays as given."""
    return "%08X" % serial if isinstance(serial, int) else str(serial)


def identity_block(build, version, serial, model, length=INFO_LENGTH, flags=0):
    payload = (_field(build, "build") + _field(version, "version") +
               _field(serial_text(serial), "serial number") + _field(model, "model"))
    if not 0 <= length <= INFO_LENGTH:
        raise BirdError("identity length %r is not 0-%d" % (length, INFO_LENGTH))
    return Block(TYPE_INFO, payload[:length], flags)


def pattern(name, size, seed=0):
    if size < 0:
        raise BirdError("pattern size %r is negative" % size)
    if name == "zeros":
        return bytes(size)
    if name == "ones":
        return b"\xff" * size
    if name == "counter":
        return bytes(i & 0xFF for i in range(size))
    if name == "random":
        return random.Random(seed).randbytes(size)
    raise BirdError("unknown pattern %r (one of %s)" % (name, ", ".join(PATTERNS)))


def vector_checksummed(content):
    """The content with the check word of the vector table at its start
    (word 7, little-endian) set as the readers check it: the two's
    complement of the sum of words 0 to 4 and 6. Shorter content is left as
    it is."""
    data = bytearray(content)
    if len(data) >= 32:
        words = struct.unpack_from("<8I", data)
        total = sum(words[k] for k in (0, 1, 2, 3, 4, 6))
        struct.pack_into("<I", data, 28, -total & 0xFFFFFFFF)
    return bytes(data)


def checksum(data):
    """The checksum this tool writes: the byte sum modulo 2**32."""
    return sum(data) & 0xFFFFFFFF


def key_bytes(words):
    """The 16 scrambling key bytes: each key word most significant byte first."""
    if len(words) != 4:
        raise BirdError("a key has four 32-bit words")
    return b"".join(_u32(w, "key word") for w in words)


def scramble(content, words):
    """The inverse of the readers' descrambling. That turns each byte s into
    b = s ^ key[k] ^ prev, where prev is the previous *decoded* byte, so the
    scrambled byte is s = b ^ key[k] ^ (previous plain byte)."""
    key = key_bytes(words)
    out = bytearray(len(content))
    prev = 0
    for i, plain in enumerate(content):
        out[i] = plain ^ key[i % 16] ^ prev
        prev = plain
    return bytes(out)


def descramble(content, words):
    key = key_bytes(words)
    out = bytearray(len(content))
    prev = 0
    for i, scrambled in enumerate(content):
        prev = scrambled ^ key[i % 16] ^ prev
        out[i] = prev
    return bytes(out)


def scramble_blocks(blocks, words):
    """Scrambles the content (payload after the address) of every firmware
    block; a firmware payload shorter than its address has no content."""
    out = []
    for blk in blocks:
        if blk.type == TYPE_FIRMWARE and len(blk.payload) >= 4:
            blk = Block(blk.type, blk.payload[:4] + scramble(blk.payload[4:], words), blk.flags)
        out.append(blk)
    return out


def block_image(blocks, block_count=None, checksum_value=None, trailing=b"",
                truncate_block=None, checksum_bytes=4):
    """The uncompressed block image. `block_count` replaces the true count,
    `trailing` follows the checksum, `checksum_bytes` (0-3) cuts the checksum
    short, and `truncate_block` keeps only that many payload bytes of the last
    block, whose header still declares its full length, and ends the image
    there (no checksum)."""
    count = len(blocks) if block_count is None else block_count
    data = bytearray(_u32(count, "block count"))
    for blk in blocks[:-1] if truncate_block is not None else blocks:
        data += blk.encode()
    if truncate_block is not None:
        if not blocks:
            raise BirdError("truncate_block needs a block")
        last = blocks[-1]
        if not 0 <= truncate_block < len(last.payload):
            raise BirdError("truncate_block must be below the last block's length %d"
                            % len(last.payload))
        data += Block(last.type, last.payload[:truncate_block], last.flags).encode(
            len(last.payload))
        return bytes(data)
    value = checksum(data) if checksum_value is None else checksum_value
    if not 0 <= checksum_bytes <= 4:
        raise BirdError("checksum_bytes must be 0-4")
    data += _u32(value, "checksum")[:checksum_bytes]
    return bytes(data + bytes(trailing))


def corrupt_stream(stream, kind):
    """A zlib stream that no inflater accepts."""
    data = bytearray(stream)
    if kind == "adler":
        data[-1] ^= 0xFF
    elif kind == "header":
        # CMF and FLG together must be a multiple of 31; one more breaks that.
        data[1] = (data[1] + 1) & 0xFF
        if (data[0] << 8 | data[1]) % 31 == 0:
            data[1] = (data[1] + 1) & 0xFF
    elif kind == "truncate":
        del data[max(2, len(data) // 2):]
    else:
        raise BirdError("unknown corruption %r (one of %s)" % (kind, ", ".join(CORRUPTIONS)))
    return bytes(data)


def _overinflating(blocks, size, level):
    """Adds a block of zeros big enough that the image inflates to more than
    8 times its compressed size."""
    size = max(size, 1)
    while True:
        extended = list(blocks) + [Block(3, bytes(size))]
        image = block_image(extended)
        if len(image) > INFLATE_RATIO * len(zlib.compress(image, level)):
            return extended
        size *= 2


def bird_file(blocks, signature=SIGNATURE, version=VERSION, scramble_key=None, level=9,
              block_count=None, checksum_value=None, trailing=b"", truncate_block=None,
              checksum_bytes=4, overinflate=None, corrupt_zlib=None, header_only=False,
              truncate_file=None):
    """The bytes of a BIRD file made of `blocks` (a list of Block); the other
    arguments make deliberately malformed variants (see block_image)."""
    signature, version = bytes(signature), bytes(version)
    if len(signature) != 4 or len(version) != 2:
        raise BirdError("the signature has 4 bytes and the version 2")
    header = signature + version
    if header_only:
        return header
    blocks = list(blocks)
    if scramble_key is not None:
        blocks = scramble_blocks(blocks, scramble_key)
    if overinflate is not None:
        blocks = _overinflating(blocks, overinflate, level)
    image = block_image(blocks, block_count, checksum_value, trailing, truncate_block,
                        checksum_bytes)
    stream = zlib.compress(image, level)
    if corrupt_zlib:
        stream = corrupt_stream(stream, corrupt_zlib)
    data = header + stream
    return data if truncate_file is None else data[:truncate_file]


# --- descriptions -------------------------------------------------------------

_CONTENT_KEYS = ("file", "hex", "text", "pattern")
_BLOCK_KEYS = {
    "loader": {"address", "flags", "size", "seed"} | set(_CONTENT_KEYS),
    "firmware": {"address", "flags", "size", "seed"} | set(_CONTENT_KEYS),
    "serial": {"serial_address", "descriptor_address", "flags"},
    "identity": {"build", "version", "serial", "model", "length", "flags"},
    "loader_start": {"address", "flags"},
    "raw": {"flags", "size", "seed"} | set(_CONTENT_KEYS),
}
_FILE_KEYS = {"blocks", "signature", "version", "scramble_key", "level", "block_count",
              "checksum", "trailing", "truncate_block", "checksum_bytes", "overinflate",
              "corrupt_zlib", "header_only", "truncate_file"}


def _int(value, what):
    if isinstance(value, bool):
        raise BirdError("%s must be a number, not %r" % (what, value))
    if isinstance(value, int):
        return value
    try:
        return int(str(value), 0)
    except ValueError:
        raise BirdError("%s %r is not a number" % (what, value)) from None


def _hex_bytes(text, what):
    try:
        return bytes.fromhex(str(text))
    except ValueError:
        raise BirdError("%s %r is not hexadecimal bytes" % (what, text)) from None


def _content(spec, base_dir):
    given = [k for k in _CONTENT_KEYS if k in spec]
    if len(given) > 1:
        raise BirdError("a block takes one of %s, not %s" % ("/".join(_CONTENT_KEYS), given))
    if not given:
        return b""
    if "file" in spec:
        path = os.path.join(base_dir, spec["file"])
        try:
            with open(path, "rb") as f:
                return f.read()
        except OSError as e:
            raise BirdError("cannot read %s: %s" % (path, e.strerror)) from None
    if "hex" in spec:
        return _hex_bytes(spec["hex"], "hex")
    if "text" in spec:
        return str(spec["text"]).encode("utf-8")
    if "size" not in spec:
        raise BirdError("pattern %r needs a size" % spec["pattern"])
    return pattern(spec["pattern"], _int(spec["size"], "size"), _int(spec.get("seed", 0), "seed"))


def _block_kind(spec):
    kind = spec.get("type")
    if isinstance(kind, str) and kind in _BLOCK_KEYS and kind != "raw":
        return kind, TYPE_BY_NAME[kind]
    number = _int(kind, "block type")
    if not 0 <= number <= 0x1F:
        raise BirdError("block type %r is not 0-31" % kind)
    return "raw", number


def block_from_spec(spec, base_dir="."):
    """One Block from a description entry (see the README for the keys)."""
    if not isinstance(spec, dict) or "type" not in spec:
        raise BirdError("a block is an object with a type: %r" % (spec,))
    kind, number = _block_kind(spec)
    unknown = set(spec) - _BLOCK_KEYS[kind] - {"type"}
    if unknown:
        raise BirdError("%s block: unknown keys %s" % (kind, sorted(unknown)))
    flags = _int(spec.get("flags", 0), "flags")
    if kind in ("loader", "firmware"):
        return image_block(number, _int(spec.get("address", 0), "address"),
                           _content(spec, base_dir), flags)
    if kind == "serial":
        return serial_template_block(_int(spec.get("serial_address", 0), "serial_address"),
                                     _int(spec.get("descriptor_address", 0),
                                          "descriptor_address"), flags)
    if kind == "identity":
        serial = spec.get("serial", "")
        return identity_block(spec.get("build", ""), spec.get("version", ""),
                              serial, spec.get("model", ""),
                              _int(spec.get("length", INFO_LENGTH), "length"), flags)
    if kind == "loader_start":
        return loader_start_block(_int(spec.get("address", 0), "address"), flags)
    return Block(number, _content(spec, base_dir), flags)


def parse_key(value):
    """Four key words from "W0 W1 W2 W3", "W0,W1,W2,W3", "W0%20W1..." (hex)
    or a list of numbers or hex texts."""
    if isinstance(value, str):
        value = value.replace("%20", " ").replace(",", " ").split()
    try:
        words = [w if isinstance(w, int) else int(str(w), 16) for w in value]
    except (TypeError, ValueError):
        raise BirdError("key %r is not four hexadecimal words" % (value,)) from None
    key_bytes(words)
    return words


def file_options(desc):
    """The bird_file() keyword arguments of a description's top level."""
    unknown = set(desc) - _FILE_KEYS
    if unknown:
        raise BirdError("description: unknown keys %s" % sorted(unknown))
    opts = {}
    if "signature" in desc:
        opts["signature"] = str(desc["signature"]).encode("latin-1")
    if "version" in desc:
        opts["version"] = _hex_bytes(desc["version"], "version")
    if desc.get("scramble_key") is not None:
        opts["scramble_key"] = parse_key(desc["scramble_key"])
    for key, arg in (("level", "level"), ("block_count", "block_count"),
                     ("checksum", "checksum_value"), ("truncate_block", "truncate_block"),
                     ("checksum_bytes", "checksum_bytes"), ("truncate_file", "truncate_file")):
        if desc.get(key) is not None:
            opts[arg] = _int(desc[key], key)
    trailing = desc.get("trailing")
    if trailing is not None:
        opts["trailing"] = (b"\xee" * _int(trailing, "trailing") if isinstance(trailing, int)
                            else _hex_bytes(trailing, "trailing"))
    overinflate = desc.get("overinflate")
    if overinflate:
        opts["overinflate"] = 65536 if overinflate is True else _int(overinflate, "overinflate")
    if desc.get("corrupt_zlib"):
        opts["corrupt_zlib"] = str(desc["corrupt_zlib"])
    if desc.get("header_only"):
        opts["header_only"] = True
    return opts


def build_description(desc, base_dir="."):
    """The bytes of the file that a description (a parsed JSON object)
    describes; file names in it are relative to `base_dir`."""
    if not isinstance(desc, dict):
        raise BirdError("a description is a JSON object")
    blocks = [block_from_spec(spec, base_dir) for spec in desc.get("blocks", [])]
    return bird_file(blocks, **file_options(desc))


# --- reading ------------------------------------------------------------------

def _inflate(stream):
    inflater = zlib.decompressobj()
    try:
        image = inflater.decompress(stream, INSPECT_LIMIT)
    except zlib.error as e:
        return None, "zlib: %s" % e
    if inflater.unconsumed_tail:
        return None, "zlib: image inflates past %d bytes" % INSPECT_LIMIT
    if not inflater.eof:
        return None, "zlib: stream is incomplete"
    if inflater.unused_data:
        return image, "%d bytes follow the zlib stream" % len(inflater.unused_data)
    return image, None


def _scan(image, info):
    problems = info["problems"]
    if len(image) < 4:
        problems.append("image shorter than its 4-byte block count")
        return
    info["block_count"] = struct.unpack_from(">I", image, 0)[0]
    pos = 4
    while len(image) - pos > 4:
        if len(image) - pos < 5:
            problems.append("block %d: header runs past the end" % len(info["blocks"]))
            return
        tf, length = struct.unpack_from(">BI", image, pos)
        if length > len(image) - pos - 5:
            problems.append("block %d: payload of %d bytes runs past the end (%d left)"
                            % (len(info["blocks"]), length, len(image) - pos - 5))
            return
        start = pos + 5
        kind = tf & 0x1F
        info["blocks"].append({
            "index": len(info["blocks"]), "offset": pos, "type": kind,
            "type_name": TYPE_NAMES.get(kind, "-"), "flags": tf >> 5, "length": length,
            "address": (struct.unpack_from(">I", image, start)[0]
                        if kind in (TYPE_LOADER, TYPE_FIRMWARE) and length >= 4 else None),
            "payload_offset": start})
        pos = start + length
    left = len(image) - pos
    if left < 4:
        problems.append("checksum cut short (%d of 4 bytes)" % left)
        return
    info["checksum"] = struct.unpack_from(">I", image, pos)[0]
    info["computed_checksum"] = checksum(image[:pos])
    if left > 4:
        problems.append("%d bytes left after the checksum" % (left - 4))


def _payload(image, blk):
    return image[blk["payload_offset"]:blk["payload_offset"] + blk["length"]]


def _first(info, image, kind):
    for blk in info["blocks"]:
        if blk["type"] == kind:
            return _payload(image, blk)
    return None


def _describe(info, image):
    ident = _first(info, image, TYPE_INFO)
    if ident is not None:
        fields = [ident[i * INFO_FIELD:(i + 1) * INFO_FIELD].decode("ascii", "replace")
                  .rstrip(" ") for i in range(4)]
        info["identity"] = dict(zip(("build", "version", "serial", "model"), fields),
                                length=len(ident))
        if len(ident) < INFO_LENGTH:
            info["problems"].append("identity block is %d bytes, not %d"
                                    % (len(ident), INFO_LENGTH))
    template = _first(info, image, TYPE_SERIAL_OFFSETS)
    if template is not None:
        padded = template[:8].ljust(8, b"\0")
        info["serial_template"] = dict(zip(("serial_address", "descriptor_address"),
                                           struct.unpack(">II", padded)))
    start = _first(info, image, TYPE_LOADER_START)
    if start is not None and len(start) >= 4:
        info["loader_start"] = struct.unpack_from(">I", start, 0)[0]
    if info["block_count"] is not None and info["block_count"] != len(info["blocks"]):
        info["problems"].append("%d blocks reported, %d found"
                                % (info["block_count"], len(info["blocks"])))


def parse(data):
    """Reads a file's bytes as the readers would, without ever reading past
    the data, and returns (info, image): a dictionary of what was found (see
    `list --json`) and the inflated image (None when it did not inflate)."""
    info = {"size": len(data), "signature": data[:4].decode("latin-1"),
            "version": data[4:6].hex(), "header_ok": False, "compressed_size": 0,
            "inflated_size": None, "block_count": None, "blocks": [], "checksum": None,
            "computed_checksum": None, "identity": None, "serial_template": None,
            "loader_start": None, "problems": []}
    problems = info["problems"]
    info["header_ok"] = len(data) >= 6 and data[:4] == SIGNATURE and data[4] and data[5]
    info["header_ok"] = bool(info["header_ok"])
    if data[:4] != SIGNATURE:
        problems.append("signature is not \"bird\"")
    if len(data) >= 6 and not (data[4] and data[5]):
        problems.append("a version byte is zero")
    if len(data) < 7:
        problems.append("file shorter than 7 bytes")
        return info, None
    info["compressed_size"] = len(data) - 6
    image, problem = _inflate(data[6:])
    if problem:
        problems.append(problem)
    if image is None:
        return info, None
    info["inflated_size"] = len(image)
    if len(image) > INFLATE_RATIO * info["compressed_size"]:
        problems.append("image inflates to more than %d times its compressed size"
                        % INFLATE_RATIO)
    _scan(image, info)
    _describe(info, image)
    return info, image


def block_payload(image, info, index):
    if not 0 <= index < len(info["blocks"]):
        raise BirdError("no block %d (the file has %d)" % (index, len(info["blocks"])))
    return _payload(image, info["blocks"][index])


# --- command line -------------------------------------------------------------

def _kv(text):
    """Block options from the command line: key=value pairs, comma-separated."""
    spec = {}
    for item in filter(None, text.split(",")):
        key, sep, value = item.partition("=")
        if not sep:
            raise BirdError("%r is not key=value" % item)
        spec[key.strip()] = value
    return spec


def _cli_blocks(args):
    specs = []
    if args.identity:
        specs.append(dict(_kv(args.identity), type="identity"))
    specs += [dict(_kv(s), type="loader") for s in args.loader]
    specs += [dict(_kv(s), type="firmware") for s in args.firmware]
    if args.serial_template:
        specs.append(dict(_kv(args.serial_template), type="serial"))
    if args.loader_start is not None:
        specs.append({"type": "loader_start", "address": args.loader_start})
    specs += [_kv(s) for s in args.block]
    return specs


def _cli_file_options(args):
    desc = {}
    for key in ("signature", "version", "scramble_key", "level", "block_count", "checksum",
                "truncate_block", "checksum_bytes", "overinflate", "corrupt_zlib",
                "truncate_file"):
        value = getattr(args, key)
        if value is not None:
            desc[key] = value
    if args.trailing is not None:
        desc["trailing"] = _int(args.trailing, "trailing")
    if args.header_only:
        desc["header_only"] = True
    return desc


def _cmd_build(args):
    desc, base_dir = {}, "."
    if args.description:
        if args.description == "-":
            desc = json.load(sys.stdin)
        else:
            with open(args.description, encoding="utf-8") as f:
                desc = json.load(f)
            base_dir = os.path.dirname(os.path.abspath(args.description))
    desc = dict(desc)
    desc["blocks"] = list(desc.get("blocks", [])) + _cli_blocks(args)
    desc.update(_cli_file_options(args))
    data = build_description(desc, base_dir)
    if args.output == "-":
        sys.stdout.buffer.write(data)
    else:
        write_file(args.output, data)
    return 0


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _hex_preview(payload, limit=32):
    text = " ".join("%02X" % b for b in payload[:limit])
    return text + (" ..." if len(payload) > limit else "")


def _print_info(path, info, image, preview):
    print("file: %s (%d bytes)" % (path, info["size"]))
    print("signature: %r  version: %s  header: %s" % (
        info["signature"], " ".join(info["version"][i:i + 2] for i in (0, 2)),
        "ok" if info["header_ok"] else "bad"))
    if info["inflated_size"] is not None:
        print("zlib: %d bytes -> %d bytes" % (info["compressed_size"], info["inflated_size"]))
    if info["block_count"] is not None:
        print("blocks: %d reported, %d found" % (info["block_count"], len(info["blocks"])))
        print("  %3s %8s %-16s %5s %8s  %s" % ("#", "offset", "type", "flags", "length",
                                              "address"))
    for blk in info["blocks"]:
        address = "" if blk["address"] is None else "0x%08X" % blk["address"]
        kind = "%2d %s" % (blk["type"], blk["type_name"])
        print("  %3d %8d %-16s %5d %8d  %s" % (blk["index"], blk["offset"], kind, blk["flags"],
                                              blk["length"], address))
        if preview:
            print("        %s" % _hex_preview(_payload(image, blk)))
    if info["checksum"] is not None:
        print("checksum: 0x%08X (byte sum of the image: 0x%08X)" % (info["checksum"],
                                                                  info["computed_checksum"]))
    ident = info["identity"]
    if ident:
        print("identity: build [%s] version [%s] serial [%s] model [%s]" % (
            ident["build"], ident["version"], ident["serial"], ident["model"]))
    if info["serial_template"]:
        print("serial template: serial number at 0x%08X, descriptor at 0x%08X" % (
            info["serial_template"]["serial_address"],
            info["serial_template"]["descriptor_address"]))
    if info["loader_start"] is not None:
        print("loader start: 0x%08X" % info["loader_start"])
    print("problems: %s" % ("none" if not info["problems"] else ""))
    for problem in info["problems"]:
        print("  %s" % problem)


def _cmd_list(args):
    info, image = parse(_read(args.file))
    if args.json:
        shown = dict(info, blocks=[{k: v for k, v in b.items() if k != "payload_offset"}
                                   for b in info["blocks"]])
        json.dump(shown, sys.stdout, indent=2)
        print()
    else:
        _print_info(args.file, info, image, args.command == "inspect")
    return 1 if info["problems"] else 0


def _select(info, args):
    if args.index is not None:
        return args.index
    kind = TYPE_BY_NAME.get(args.type)
    kind = _int(args.type, "type") if kind is None else kind
    matches = [b["index"] for b in info["blocks"] if b["type"] == kind]
    if args.nth >= len(matches):
        raise BirdError("no block %d of type %s (the file has %d)" % (args.nth, args.type,
                                                                      len(matches)))
    return matches[args.nth]


def _cmd_extract(args):
    info, image = parse(_read(args.file))
    if image is None:
        raise BirdError("%s: %s" % (args.file, "; ".join(info["problems"])))
    index = _select(info, args)
    payload = block_payload(image, info, index)
    if args.content or args.key:
        payload = payload[4:]
        if args.key:
            if info["blocks"][index]["type"] != TYPE_FIRMWARE:
                raise BirdError("only firmware blocks are scrambled")
            payload = descramble(payload, parse_key(args.key))
    if args.output == "-":
        sys.stdout.buffer.write(payload)
    else:
        write_file(args.output, payload)
    return 0


def _build_parser(sub):
    p = sub.add_parser("build", help="write a BIRD file",
                       description="Writes a BIRD file from a JSON description and/or "
                       "block options. Block options take comma-separated key=value pairs "
                       "with the keys of the description (address, flags, file, hex, text, "
                       "pattern, size, seed, ...). Blocks come in the order: description, "
                       "identity, loaders, firmware, serial template, loader start, extra.")
    p.add_argument("description", nargs="?", help="JSON description ('-': standard input)")
    p.add_argument("-o", "--output", required=True, help="output file ('-': standard output)")
    p.add_argument("--identity", metavar="KV", help="build=,version=,serial=,model=[,length=]")
    p.add_argument("--loader", metavar="KV", action="append", default=[],
                   help="address=,flags=, and file= | hex= | text= | pattern=,size=[,seed=]")
    p.add_argument("--firmware", metavar="KV", action="append", default=[],
                   help="as --loader")
    p.add_argument("--serial-template", metavar="KV",
                   help="serial_address=,descriptor_address=")
    p.add_argument("--loader-start", metavar="ADDRESS", help="IVT address")
    p.add_argument("--block", metavar="KV", action="append", default=[],
                   help="type=0-31 with a raw payload: flags=, and a content key")
    p.add_argument("--scramble-key", metavar="W0,W1,W2,W3",
                   help="scramble the firmware blocks with this fingerprint (hex words)")
    p.add_argument("--level", type=int, help="zlib level (default 9)")
    g = p.add_argument_group("malformed variants")
    g.add_argument("--signature", help="four signature characters instead of 'bird'")
    g.add_argument("--version-bytes", dest="version", metavar="HEX",
                   help="the two version bytes in hex (default 0101)")
    g.add_argument("--block-count", type=int, help="reported block count")
    g.add_argument("--checksum", help="checksum value instead of the byte sum")
    g.add_argument("--trailing", metavar="N", help="N bytes after the checksum")
    g.add_argument("--truncate-block", type=int, metavar="N",
                   help="keep N payload bytes of the last block and end the image there")
    g.add_argument("--checksum-bytes", type=int, metavar="N",
                   help="write only N (0-3) bytes of the checksum")
    g.add_argument("--overinflate", type=int, nargs="?", const=65536, metavar="SIZE",
                   help="add a block of zeros so the image inflates past 8x")
    g.add_argument("--corrupt-zlib", choices=CORRUPTIONS, help="break the zlib stream")
    g.add_argument("--header-only", action="store_true", help="write only the 6-byte header")
    g.add_argument("--truncate-file", type=int, metavar="N", help="cut the file to N bytes")
    p.set_defaults(run=_cmd_build)


def _parser():
    parser = argparse.ArgumentParser(prog="birdtool.py", description="BIRD firmware files.")
    sub = parser.add_subparsers(dest="command", required=True)
    _build_parser(sub)
    for name, text in (("list", "print the header, the blocks and the identity"),
                       ("inspect", "as list, with the first payload bytes of each block")):
        p = sub.add_parser(name, help=text, description=text.capitalize() + "; exits 1 "
                           "when the file has problems.")
        p.add_argument("file")
        p.add_argument("--json", action="store_true", help="machine-readable output")
        p.set_defaults(run=_cmd_list)
    p = sub.add_parser("extract", help="write one block's payload to a file")
    p.add_argument("file")
    which = p.add_mutually_exclusive_group(required=True)
    which.add_argument("--index", type=int, help="block index in the file")
    which.add_argument("--type", help="block type (number or name)")
    p.add_argument("--nth", type=int, default=0, help="with --type: which one (from 0)")
    p.add_argument("--content", action="store_true",
                   help="leave out the 4 address bytes of a loader or firmware block")
    p.add_argument("--key", metavar="W0,W1,W2,W3",
                   help="descramble a firmware block's content with this fingerprint")
    p.add_argument("-o", "--output", required=True, help="output file ('-': standard output)")
    p.set_defaults(run=_cmd_extract)
    return parser


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        return args.run(args)
    except BrokenPipeError:
        return 1
    except (BirdError, OSError, ValueError) as e:
        print("birdtool: %s" % e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
