#!/usr/bin/env python3
"""Runs object_bench (bench/object_bench.cpp) against a simulated module on
loopback TCP and prints its figures: the round trip of a system entity get
and the time to read a 3072-byte bytes value.

    bench/object_bench.py [BUILD_DIR]     (default: build)
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

from simulator import Simulator  # noqa: E402

ADDRESS = 2
NAME = bytes((i * 7) & 0xFF for i in range(3072))
CONFIG = {"modules": [{"name": "bench", "serial": "0000BE7C", "address": ADDRESS,
                       "device_name": {"hex": NAME.hex()},
                       "transports": {"tcp": {"bind": "127.0.0.1", "port": 0}}}]}


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    program = os.path.join(build, "bench", "object_bench")
    if not os.path.exists(program):
        print("no %s: build the bench target first" % program, file=sys.stderr)
        return 2
    with Simulator(CONFIG) as sim:
        port = sim.module("bench")["tcp"]["port"]
        result = subprocess.run([program, str(port), str(ADDRESS)], check=False)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
