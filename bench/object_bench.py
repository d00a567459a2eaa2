#!/usr/bin/env python3
"""Runs object_bench (bench/object_bench.cpp) against a simulated module on
loopback TCP and prints its figures: the round trip of a system entity get
and the time to read a 3072-byte bytes value.

    bench/object_bench.py [BUILD_DIR]     (default: build)
"""

import sys

import simbench

NAME = bytes((i * 7) & 0xFF for i in range(3072))

if __name__ == "__main__":
    sys.exit(simbench.run("object_bench", {"device_name": {"hex": NAME.hex()}}))
