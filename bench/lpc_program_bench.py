#!/usr/bin/env python3
"""Programming throughput of the LPC ISP client against the boot ROM
simulator, compared with what the serial line itself allows.

    bench/lpc_program_bench.py [--size BYTES] [--rate BAUD] [--runs N]

Needs a build with the tests (build/tests/nxp_isp_driver; UPDATER_BUILD_DIR
names another build). The image is written the way the recovery writes it
(unlock, prepare and erase, then per 4096-byte chunk a RAM write, prepare
and copy). A pseudo-terminal does not pace bytes, so the time measured is
the client's own: its computed waits (9 bits a character) and the ROM's
answers. The line ceiling counts what the data exchange puts on a real
line (UU lines of 61 characters and CR LF per 45 bytes, a checksum line
per 20 lines) at 10 bits a character (8N1: start, 8 data, stop), and, for
comparison, at the client's 9. A second run through a tap counts the bytes
on the wire.
"""

import argparse
import os
import random
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import updater_test  # noqa: E402
from pty_tap import PtyTap  # noqa: E402
from rom_sims import RomSim  # noqa: E402

DRIVER = os.path.join(updater_test.BUILD_DIR, "tests", "nxp_isp_driver")
CHUNK = 4096
LINE_BYTES = 45
LINES_PER_CHECKSUM = 20


def data_characters(image):
    """Characters of the W data exchange for the image, CR LF included."""
    total = 0
    for start in range(0, len(image), CHUNK):
        chunk = image[start:start + CHUNK]
        for block in range(0, len(chunk), LINE_BYTES * LINES_PER_CHECKSUM):
            data = chunk[block:block + LINE_BYTES * LINES_PER_CHECKSUM]
            for line in range(0, len(data), LINE_BYTES):
                n = len(data[line:line + LINE_BYTES])
                total += 1 + 4 * ((n + 2) // 3) + 2
            total += len(str(sum(data))) + 2
    return total


def program(port, rate, image_path, mask=None):
    cmd = [DRIVER] + (["-X", hex(mask)] if mask else []) + [port, str(rate), "sync",
                                                            "program=" + image_path]
    done = subprocess.run(cmd, capture_output=True, timeout=600)
    last = done.stdout.decode().splitlines()[-1].split()
    if last[:2] != ["program", "kErrNone"]:
        raise SystemExit("programming failed: %s" % " ".join(last))
    return int(last[3].split("=")[1]), done.stderr.decode("latin-1")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", type=int, default=64 * 1024)
    p.add_argument("--rate", type=int, default=115200)
    p.add_argument("--runs", type=int, default=3)
    args = p.parse_args()
    if not os.path.exists(DRIVER):
        raise SystemExit("no %s: build the tests first" % DRIVER)
    image = random.Random(64).randbytes(args.size)
    with tempfile.TemporaryDirectory(prefix="lpc-bench-") as tmp:
        path = os.path.join(tmp, "image.bin")
        with open(path, "wb") as f:
            f.write(image)
        times = []
        for _ in range(args.runs):
            with RomSim("lpc_rom_sim.py") as sim:
                times.append(program(sim.ready["pty"], args.rate, path)[0])
        with RomSim("lpc_rom_sim.py") as sim:
            tap = PtyTap(sim.ready["pty"], args.rate)
            try:
                tapped_ms, log = program(tap.path, args.rate, path, mask=0x4000)
            finally:
                tap.close()
            to_rom, to_client = len(tap.to_far), len(tap.to_client)
    report(args, image, sorted(times)[len(times) // 2], times, tapped_ms, log, to_rom, to_client)


def report(args, image, median_ms, times, tapped_ms, log, to_rom, to_client):
    size, rate = len(image), args.rate
    chars = data_characters(image)
    sleeps = sum(int(m) for m in re.findall(r"Send\(\) wait (\d+)ms", log))
    print("image %d bytes at %d bit/s, %d runs: %s ms" % (size, rate, len(times),
                                                          " ".join(map(str, times))))
    print("measured: %d ms (median), %.0f bytes/s" % (median_ms, size * 1000.0 / median_ms))
    for bits in (10, 9):
        ceiling_ms = chars * bits * 1000.0 / rate
        print("line ceiling at %2d bits/char: %d characters, %.0f ms, %.0f bytes/s; "
              "measured/ceiling throughput %.2f" % (bits, chars, ceiling_ms,
                                                    size * 1000.0 / ceiling_ms,
                                                    ceiling_ms / median_ms))
    print("wire: data exchange %d characters = %.3f per data byte; whole run %d to the ROM "
          "(%.3f per data byte) and %d back" % (chars, chars / size, to_rom, to_rom / size,
                                                to_client))
    print("tapped run %d ms, of which the client's computed send waits %d ms" % (tapped_ms,
                                                                                 sleeps))


if __name__ == "__main__":
    main()
