#!/usr/bin/env python3
"""Runs link_bench (bench/link_bench.cpp) against a simulated module on
loopback TCP and prints its figures.

    bench/link_bench.py [BUILD_DIR]     (default: build)
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

from simulator import Simulator  # noqa: E402

ADDRESS = 2
CONFIG = {"modules": [{"name": "bench", "serial": "0000BE7C", "address": ADDRESS,
                       "transports": {"tcp": {"bind": "127.0.0.1", "port": 0}}}]}


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    program = os.path.join(build, "bench", "link_bench")
    if not os.path.exists(program):
        print("no %s: build the bench target first" % program, file=sys.stderr)
        return 2
    with Simulator(CONFIG) as sim:
        port = sim.module("bench")["tcp"]["port"]
        result = subprocess.run([program, str(port), str(ADDRESS)], check=False)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
