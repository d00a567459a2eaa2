#!/usr/bin/env python3
"""Runs link_bench (bench/link_bench.cpp) against a simulated module on
loopback TCP and prints its figures.

    bench/link_bench.py [BUILD_DIR]     (default: build)
"""

import sys

import simbench

if __name__ == "__main__":
    sys.exit(simbench.run("link_bench"))
