#!/usr/bin/env python3
"""Times whole updates of a small file (a 512-byte loader and 4 KiB of
firmware) with the real binary against the simulated module over TCP/IP in
a private namespace pair. The module is away 300 ms after LOAD and again
after REBOOT, so the figure is mostly how soon the binary finds it again.
Each case runs in turn with each binary given, so both see the same load.

    sudo bench/update_time_bench.py [--runs N] [--baseline OTHER_BINARY]

Cases: a module reached directly, the same module behind a router (-r),
and four such modules updated in one run (-d A,B,C,D, each its own
simulated module over TCP/IP); a binary that cannot run a case shows
"failed".
Needs root (network namespaces); prints figures, asserts nothing.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import birdtool  # noqa: E402
import netns  # noqa: E402
import simulator  # noqa: E402
import updater_test  # noqa: E402

SERIAL = "40F5849A"
ROUTER = "D272031D"
UPGRADE = {"restart_ms": 300, "new_version": "1.1.0", "new_build": 1002}


FLEET = [SERIAL, "0000F001", "0000F002", "0000F003"]


def config(case):
    module = {"name": "hub", "serial": SERIAL, "model": 17, "address": 2, "upgrade": UPGRADE}
    tcp = {"tcp": {"bind": netns.MODULE_ADDRESS, "port": 0}}
    if case == "fleet":
        modules = [dict(module, name=serial, serial=serial, transports=tcp) for serial in FLEET]
    elif case == "routed":
        module["address"] = 6
        modules = [{"name": "router", "serial": ROUTER, "model": 17, "address": 2,
                    "transports": tcp, "behind": [module]}]
    else:
        module["transports"] = tcp
        modules = [module]
    return {"discovery": {"interface": netns.MODULE_ADDRESS}, "modules": modules}


def run_once(pair, binary, path, case):
    args = {"direct": ["-d", SERIAL], "routed": ["-d", SERIAL, "-r", ROUTER],
            "fleet": ["-d", ",".join(FLEET), "-OVERRIDE"]}[case]
    args = ["-U", "-f", path] + args
    with simulator.Simulator(config(case), prefix=pair.module_prefix()), \
            updater_test.temporary_home() as home:
        updater_test.UPDATER_BIN = binary
        start = time.monotonic()
        result = updater_test.run_updater(args, home, timeout=300, prefix=pair.host_prefix())
        wall = time.monotonic() - start
    return wall if result.returncode == 0 else None


def figures(walls):
    if None in walls:
        return "failed"
    return "min %.2f s, median %.2f s, max %.2f s" % (min(walls), statistics.median(walls),
                                                       max(walls))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--baseline", help="another build's Updater binary, timed in turn")
    args = parser.parse_args()
    if not netns.available():
        print("needs root and ip netns: the binary's -U runs in a private namespace pair",
              file=sys.stderr)
        return 2
    binaries = [("this", updater_test.UPDATER_BIN)]
    if args.baseline:
        binaries.append(("baseline", args.baseline))
    blocks = [birdtool.identity_block(1002, "1.1.0", int(SERIAL, 16), "HubQuad"),
              birdtool.loader_block(0x10000000, birdtool.pattern("random", 512, 1)),
              birdtool.firmware_block(0, birdtool.pattern("random", 4096, 2))]
    with tempfile.TemporaryDirectory(prefix="update-time-") as work:
        path = os.path.join(work, "small.bird")
        with open(path, "wb") as f:
            f.write(birdtool.bird_file(blocks))
        print("Update of a 4 KiB file over TCP/IP, module away 300 ms after LOAD and REBOOT,"
              " %d runs each" % args.runs)
        with netns.NetnsPair() as pair:
            medians = {}
            for case in ("direct", "routed", "fleet"):
                walls = {name: [] for name, _ in binaries}
                for _ in range(args.runs):
                    for name, binary in binaries:
                        walls[name].append(run_once(pair, binary, path, case))
                for name, _ in binaries:
                    print("  %-8s %-10s %s" % (case, name, figures(walls[name])))
                    if None not in walls[name]:
                        medians[(case, name)] = statistics.median(walls[name])
            for name, _ in binaries:
                if ("fleet", name) in medians and ("direct", name) in medians:
                    print("  %s: 4 modules in one run / one module = %.2f"
                          % (name, medians[("fleet", name)] / medians[("direct", name)]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
