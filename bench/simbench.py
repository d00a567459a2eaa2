"""Runs a bench program against one simulated module on loopback TCP: the
program gets the module's port and address and prints its own figures."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

from simulator import Simulator  # noqa: E402

ADDRESS = 2


def run(program_name, module_extra=None):
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    program = os.path.join(build, "bench", program_name)
    if not os.path.exists(program):
        print("no %s: build the bench target first" % program, file=sys.stderr)
        return 2
    module = {"name": "bench", "serial": "0000BE7C", "address": ADDRESS,
              "transports": {"tcp": {"bind": "127.0.0.1", "port": 0}}}
    module.update(module_extra or {})
    with Simulator({"modules": [module]}) as sim:
        port = sim.module("bench")["tcp"]["port"]
        result = subprocess.run([program, str(port), str(ADDRESS)], check=False)
    return result.returncode
