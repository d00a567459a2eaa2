"""tools/birdtool.py: files it builds, checked byte by byte with a reader
of this test's own, its listing and extraction, and the scrambling."""

import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import updater_test  # noqa: E402

sys.path.insert(0, updater_test.TOOLS_DIR)
import birdtool  # noqa: E402

BIRDTOOL = os.path.join(updater_test.TOOLS_DIR, "birdtool.py")


def read_bird(data):
    """A reader independent of the tool: the header, the image and its
    blocks [(type byte, declared length, payload)], and the bytes after the
    last whole block (the checksum and whatever follows it)."""
    out = {"header": data[:6], "stream": data[6:]}
    out["image"] = image = zlib.decompress(data[6:])
    (out["count"],) = struct.unpack(">I", image[:4])
    pos, blocks = 4, []
    while len(image) - pos > 4:
        type_byte, length = struct.unpack(">BI", image[pos:pos + 5].ljust(5, b"\0"))
        if len(image) - pos < 5 or length > len(image) - pos - 5:
            break
        blocks.append((type_byte, length, image[pos + 5:pos + 5 + length]))
        pos += 5 + length
    out["blocks"], out["tail"], out["end"] = blocks, image[pos:], pos
    return out


def spec_decode(content, words):
    """The readers' descrambling, written from its description."""
    key = b"".join(w.to_bytes(4, "big") for w in words)
    out, prev = bytearray(), 0
    for k, b in enumerate(content):
        b = b ^ key[k % 16] ^ prev
        prev = b
        out.append(b)
    return bytes(out)


def identity(build, version, serial, model):
    return b"".join(str(f).encode().ljust(16, b" ") for f in (build, version, serial, model))


def run_tool(*args, input_bytes=None):
    return subprocess.run([sys.executable, BIRDTOOL] + list(args), capture_output=True,
                          input=input_bytes, timeout=60)


class ToolTest(unittest.TestCase):
    LOADER = bytes(range(200, 256)) * 3

    def sample_description(self):
        with open(self.path("loader.bin"), "wb") as f:
            f.write(self.LOADER)
        return {"blocks": [
            {"type": "identity", "build": 1002, "version": "1.1.0", "serial": "40F5849A",
             "model": "PodUsb"},
            {"type": "loader", "address": "0x10000000", "file": "loader.bin"},
            {"type": "firmware", "address": 0, "flags": 5, "pattern": "counter", "size": 300},
            {"type": "firmware", "address": "0x400", "flags": 7, "hex": "de ad be ef"},
            {"type": "serial", "serial_address": "0x100", "descriptor_address": 0x2000},
            {"type": "loader_start", "address": "0x20000400"},
            {"type": 3, "text": "ignored"},
            {"type": 31, "flags": 6},
        ]}

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="birdtool-")
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def build(self, *args, description=None):
        """Builds a file with the tool's command line and returns its bytes."""
        out = self.path("out.bird")
        if description is not None:
            with open(self.path("desc.json"), "w") as f:
                json.dump(description, f)
            args = (self.path("desc.json"),) + args
        r = run_tool("build", "-o", out, *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(out, "rb") as f:
            return f.read()

    def list_json(self, data):
        with open(self.path("list.bird"), "wb") as f:
            f.write(data)
        r = run_tool("list", "--json", self.path("list.bird"))
        return r.returncode, json.loads(r.stdout)


class BuildTest(ToolTest):
    def test_description_gives_exact_blocks_and_byte_sum_checksum(self):
        f = read_bird(self.build(description=self.sample_description()))
        self.assertEqual(f["header"], b"bird\x01\x01")
        self.assertEqual(f["count"], 8)
        self.assertEqual(f["blocks"], [
            (0x04, 64, identity(1002, "1.1.0", "40F5849A", "PodUsb")),
            (0x00, 4 + len(self.LOADER), b"\x10\0\0\0" + self.LOADER),
            (0x01 | 5 << 5, 304, b"\0\0\0\0" + bytes(i & 0xFF for i in range(300))),
            (0x01 | 7 << 5, 8, b"\0\0\x04\0\xde\xad\xbe\xef"),
            (0x02, 8, b"\0\0\x01\0\0\0\x20\0"),
            (0x05, 4, b"\x20\0\x04\0"),
            (0x03, 7, b"ignored"),
            (0x1F | 6 << 5, 0, b""),
        ])
        image = f["image"]
        self.assertEqual(f["tail"], struct.pack(">I", sum(image[:-4]) & 0xFFFFFFFF))

    def test_options_build_the_same_file_as_the_description(self):
        with open(self.path("loader.bin"), "wb") as f:
            f.write(self.LOADER)
        from_json = self.build(description=self.sample_description())
        from_options = self.build(
            "--identity", "build=1002,version=1.1.0,serial=40F5849A,model=PodUsb",
            "--loader", "address=0x10000000,file=" + self.path("loader.bin"),
            "--firmware", "address=0,flags=5,pattern=counter,size=300",
            "--firmware", "address=0x400,flags=7,hex=deadbeef",
            "--serial-template", "serial_address=0x100,descriptor_address=0x2000",
            "--loader-start", "0x20000400", "--block", "type=3,text=ignored",
            "--block", "type=31,flags=6")
        self.assertEqual(from_options, from_json)

    def test_random_pattern_is_repeatable_and_seeded(self):
        make = lambda seed: birdtool.pattern("random", 64, seed)  # noqa: E731
        self.assertEqual(make(1), make(1))
        self.assertNotEqual(make(1), make(2))

    def test_module_builds_files_in_code(self):
        data = birdtool.bird_file([
            birdtool.identity_block(7, "0.7", 0x2B, "HubQuad"),
            birdtool.firmware_block(0x100, b"\x01\x02", flags=2)])
        f = read_bird(data)
        self.assertEqual(f["blocks"][0][2], identity(7, "0.7", "0000002B", "HubQuad"))
        self.assertEqual(f["blocks"][1], (0x41, 6, b"\0\0\x01\0\x01\x02"))
        info, _ = birdtool.parse(data)
        self.assertEqual(info["identity"], {"build": "7", "version": "0.7",
                                            "serial": "0000002B", "model": "HubQuad",
                                            "length": 64})
        self.assertEqual(info["problems"], [])

    def test_unbuildable_descriptions_are_refused(self):
        cases = [
            {"blocks": [{"type": "firmware", "flags": 8}]},
            {"blocks": [{"type": "firmware", "adress": 0}]},
            {"blocks": [{"type": 32}]},
            {"blocks": [{"type": "identity", "model": "A" * 17}]},
            {"blocks": [{"type": "loader", "hex": "00", "text": "x"}]},
            {"blocks": [], "scramble_key": "1 2 3"},
            {"blocks": [], "unknown": 1},
        ]
        for desc in cases:
            with self.subTest(desc=desc):
                with open(self.path("bad.json"), "w") as f:
                    json.dump(desc, f)
                r = run_tool("build", self.path("bad.json"), "-o", self.path("bad.bird"))
                self.assertEqual(r.returncode, 2)
                self.assertIn(b"birdtool: ", r.stderr)


class ListTest(ToolTest):
    def test_json_listing_names_blocks_identity_and_addresses(self):
        data = self.build(description=self.sample_description())
        status, info = self.list_json(data)
        self.assertEqual(status, 0)
        self.assertEqual(info["problems"], [])
        self.assertTrue(info["header_ok"])
        self.assertEqual(info["block_count"], 8)
        self.assertEqual([(b["type"], b["flags"], b["length"], b["address"])
                          for b in info["blocks"]],
                         [(4, 0, 64, None), (0, 0, 172, 0x10000000), (1, 5, 304, 0),
                          (1, 7, 8, 0x400), (2, 0, 8, None), (5, 0, 4, None), (3, 0, 7, None),
                          (31, 6, 0, None)])
        self.assertEqual(info["identity"]["serial"], "40F5849A")
        self.assertEqual(info["serial_template"], {"serial_address": 0x100,
                                                   "descriptor_address": 0x2000})
        self.assertEqual(info["loader_start"], 0x20000400)
        self.assertEqual(info["checksum"], info["computed_checksum"])

    def test_text_listing(self):
        self.build(description=self.sample_description())
        r = run_tool("inspect", self.path("out.bird"))
        self.assertEqual(r.returncode, 0, r.stderr)
        text = r.stdout.decode()
        self.assertIn("signature: 'bird'  version: 01 01  header: ok", text)
        self.assertIn("identity: build [1002] version [1.1.0] serial [40F5849A] model [PodUsb]",
                      text)
        self.assertIn("0x10000000", text)
        self.assertIn("DE AD BE EF", text)
        self.assertIn("problems: none", text)

    def test_extract_writes_payload_or_content(self):
        self.build(description=self.sample_description())
        cases = [(["--index", "1"], b"\x10\0\0\0" + self.LOADER),
                 (["--type", "loader", "--content"], self.LOADER),
                 (["--type", "firmware", "--nth", "1", "--content"], b"\xde\xad\xbe\xef"),
                 (["--type", "2"], b"\0\0\x01\0\0\0\x20\0")]
        for args, expected in cases:
            with self.subTest(args=args):
                r = run_tool("extract", self.path("out.bird"), "-o", "-", *args)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout, expected)
        r = run_tool("extract", self.path("out.bird"), "-o", "-", "--type", "firmware",
                     "--nth", "2")
        self.assertEqual(r.returncode, 2)


class ScrambleTest(ToolTest):
    KEY = [0x0A0B0C0D, 0x1A1B1C1D, 0x2A2B2C2D, 0x3A3B3C3D]

    def test_readers_decoding_undoes_the_scrambling(self):
        rng = random.Random(5)
        for size in (0, 1, 15, 16, 17, 1000):
            plain = rng.randbytes(size)
            words = [rng.getrandbits(32) for _ in range(4)]
            with self.subTest(size=size):
                self.assertEqual(spec_decode(birdtool.scramble(plain, words), words), plain)
                self.assertEqual(birdtool.descramble(birdtool.scramble(plain, words), words),
                                 plain)

    def test_key_bytes_are_taken_most_significant_first(self):
        words = [0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10]
        # With all-zero content the chaining byte stays 0 and the key shows.
        self.assertEqual(birdtool.scramble(bytes(20), words), bytes(range(1, 17)) + b"\1\2\3\4")

    def test_zero_key_chains_with_the_previous_plain_byte(self):
        plain = bytes([0x10, 0x32, 0x54, 0x76])
        self.assertEqual(birdtool.scramble(plain, [0, 0, 0, 0]),
                         bytes([0x10, 0x10 ^ 0x32, 0x32 ^ 0x54, 0x54 ^ 0x76]))

    def test_file_scrambles_firmware_content_only(self):
        plain = birdtool.pattern("random", 5000, 9)
        data = self.build("--scramble-key", "0A0B0C0D,1A1B1C1D,2A2B2C2D,3A3B3C3D",
                          "--loader", "address=0x100,hex=00000000",
                          "--firmware", "address=0x2000,pattern=random,size=5000,seed=9",
                          "--firmware", "address=0x4000,pattern=random,size=5000,seed=9")
        blocks = read_bird(data)["blocks"]
        self.assertEqual(blocks[0][2], b"\0\0\x01\0\0\0\0\0")
        for blk, address in ((blocks[1], b"\0\0\x20\0"), (blocks[2], b"\0\0\x40\0")):
            self.assertEqual(blk[2][:4], address)
            self.assertNotEqual(blk[2][4:], plain)
            # Each block is chained from its own start.
            self.assertEqual(spec_decode(blk[2][4:], self.KEY), plain)
        r = run_tool("extract", self.path("out.bird"), "-o", "-", "--index", "2", "--key",
                     "0A0B0C0D%201A1B1C1D%202A2B2C2D%203A3B3C3D")
        self.assertEqual(r.stdout, plain)


class MalformedTest(ToolTest):
    """Each variant, read with the test's own reader, and the listing's verdict."""

    TWO = ["--identity", "build=5,version=0.5,serial=0000002B,model=PodUsb",
           "--firmware", "address=0x100,pattern=counter,size=40"]

    def assert_listed_problem(self, data, text):
        status, info = self.list_json(data)
        self.assertEqual(status, 1)
        self.assertTrue(any(text in p for p in info["problems"]), info["problems"])

    def test_wrong_block_count(self):
        data = self.build(*self.TWO, "--block-count", "3")
        f = read_bird(data)
        self.assertEqual((f["count"], len(f["blocks"])), (3, 2))
        self.assertEqual(len(f["tail"]), 4)
        self.assert_listed_problem(data, "3 blocks reported, 2 found")

    def test_bytes_after_the_checksum(self):
        data = self.build(*self.TWO, "--trailing", "3")
        f = read_bird(data)
        image = f["image"]
        self.assertEqual(len(f["blocks"]), 2)
        self.assertEqual(f["tail"], struct.pack(">I", sum(image[:-7]) & 0xFFFFFFFF) +
                         b"\xee\xee\xee")
        # With more than 4 bytes left the block loop reads the checksum as
        # the header of one more block, whose payload cannot fit.
        self.assert_listed_problem(data, "block 2: payload of")
        self.assert_listed_problem(self.build(*self.TWO, "--trailing", "1"), "block 2:")

    def test_truncated_block(self):
        data = self.build(*self.TWO, "--truncate-block", "10")
        image = read_bird(data)["image"]
        last = 4 + 5 + 64
        self.assertEqual(image[last:last + 5], b"\x01\0\0\0\x2c")
        self.assertEqual(len(image), last + 5 + 10)
        self.assertEqual(image[last + 5:], b"\0\0\x01\0" + bytes(range(6)))
        self.assert_listed_problem(data, "block 1: payload of 44 bytes runs past the end")

    def test_truncated_checksum(self):
        data = self.build(*self.TWO, "--checksum-bytes", "2")
        f = read_bird(data)
        self.assertEqual(len(f["blocks"]), 2)
        image = f["image"]
        self.assertEqual(f["tail"], struct.pack(">I", sum(image[:-2]) & 0xFFFFFFFF)[:2])
        self.assert_listed_problem(data, "checksum cut short (2 of 4 bytes)")

    def test_bad_signature_keeps_sound_blocks(self):
        data = self.build(*self.TWO, "--signature", "BIRD")
        self.assertEqual(data[:6], b"BIRD\x01\x01")
        self.assertEqual(len(read_bird(data)["blocks"]), 2)
        self.assert_listed_problem(data, "signature")

    def test_version_01_00(self):
        data = self.build(*self.TWO, "--version-bytes", "0100")
        self.assertEqual(data[:6], b"bird\x01\x00")
        self.assertEqual(len(read_bird(data)["blocks"]), 2)
        self.assert_listed_problem(data, "version byte is zero")

    def test_image_inflating_past_eight_times(self):
        data = self.build(*self.TWO, "--overinflate")
        f = read_bird(data)
        self.assertGreater(len(f["image"]), 8 * (len(data) - 6))
        self.assertEqual(len(f["tail"]), 4)
        self.assert_listed_problem(data, "more than 8 times")

    def test_corrupt_zlib_streams(self):
        sound = self.build(*self.TWO)
        for kind in ("adler", "header", "truncate"):
            with self.subTest(kind=kind):
                data = self.build(*self.TWO, "--corrupt-zlib", kind)
                self.assertEqual(data[:6], sound[:6])
                self.assertLessEqual(len(data), len(sound))
                with self.assertRaises(zlib.error):
                    zlib.decompress(data[6:])
                self.assert_listed_problem(data, "zlib")

    def test_header_only_file(self):
        data = self.build(*self.TWO, "--header-only")
        self.assertEqual(data, b"bird\x01\x01")
        self.assert_listed_problem(data, "shorter than 7 bytes")

    def test_short_identity_block(self):
        data = self.build("--identity", "build=5,version=0.5,serial=0000002B,model=PodUsb,"
                          "length=40")
        self.assertEqual(read_bird(data)["blocks"],
                         [(0x04, 40, identity(5, "0.5", "0000002B", "PodUsb")[:40])])
        self.assert_listed_problem(data, "identity block is 40 bytes")

    def test_truncated_file(self):
        sound = self.build(*self.TWO)
        data = self.build(*self.TWO, "--truncate-file", "20")
        self.assertEqual(data, sound[:20])


if __name__ == "__main__":
    updater_test.main()
