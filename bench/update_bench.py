#!/usr/bin/env python3
"""Times a firmware update of 256 KiB with the real binary against the
simulated module over TCP/IP in a private namespace pair, and prints where
the time goes, from the simulator's frame log (microsecond stamps of each
request as it arrived and each reply as it left).

The bound: the link's writer pauses 1 ms after every packet, and the
exchange is stop and wait, so the firmware stage needs at least 1 ms per
packet it sends (DATA chunks of 26 bytes, one SUM and one WRITE per
block). The ratio is that bound over the time the stage took.

    sudo bench/update_bench.py [--block-size N ...] [--size BYTES]

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
OPS = {0: "INIT", 1: "DATA", 2: "LOAD", 3: "PREPARE", 4: "SUM", 5: "WRITE", 6: "REBOOT", 7: "STATUS"}


def upgrade_frames(sim):
    """(time, direction, operation) of every upgrade frame, in log order."""
    frames = []
    for entry in sim.log_entries():
        hex_ = entry.get("hex", "")
        if entry.get("kind") == "frame" and len(hex_) >= 8 and hex_[4:6] == "5f":
            frames.append((entry["time"], entry["dir"], OPS.get(int(hex_[6:8], 16), "?")))
    return frames


def firmware_stage(frames):
    """The frames from the firmware's PREPARE to the last WRITE reply."""
    prepares = [i for i, f in enumerate(frames) if f[1] == "rx" and f[2] == "PREPARE"]
    start = prepares[1]  # the first one is the loader's
    end = max(i for i, f in enumerate(frames) if f[1] == "tx" and f[2] == "STATUS")
    return frames[start:end + 1]


def exchanges(stage):
    """(operation, request time, reply time) of each request and its reply."""
    out = []
    for i, (t, direction, op) in enumerate(stage):
        if direction == "rx" and i + 1 < len(stage) and stage[i + 1][1] == "tx":
            out.append((op, t, stage[i + 1][0]))
    return out


def ms(seconds):
    return "%.3f ms" % (seconds * 1000.0)


def report(size, block_size, wall, stage):
    pairs = exchanges(stage)
    count = {op: sum(1 for p in pairs if p[0] == op) for op in ("DATA", "SUM", "WRITE")}
    packets = len(pairs)
    elapsed = stage[-1][0] - stage[0][0]
    bound = packets * 0.001
    module_time = sum(reply - request for _, request, reply in pairs)
    host_gaps = [pairs[i + 1][1] - pairs[i][2] for i in range(len(pairs) - 1)]
    intervals = [pairs[i + 1][1] - pairs[i][1] for i in range(len(pairs) - 1)]
    data_intervals = [pairs[i + 1][1] - pairs[i][1] for i in range(len(pairs) - 1)
                      if pairs[i][0] == "DATA" and pairs[i + 1][0] == "DATA"]
    after = {op: [pairs[i + 1][1] - pairs[i][1] for i in range(len(pairs) - 1)
                  if pairs[i][0] == op] for op in ("SUM", "WRITE")}
    print("\nblock size %d: %d bytes of firmware in %d DATA, %d SUM, %d WRITE (%d packets)"
          % (block_size, size, count["DATA"], count["SUM"], count["WRITE"], packets))
    print("  whole run of the binary            %.2f s" % wall)
    print("  firmware stage                     %.3f s" % elapsed)
    print("  DATA payload throughput            %.1f KiB/s" % (size / elapsed / 1024))
    print("  bound (1 ms per packet)            %.3f s = %.1f KiB/s"
          % (bound, size / bound / 1024))
    print("  ratio bound / actual               %.3f" % (bound / elapsed))
    print("  request to request, mean           %s (median %s, max %s)"
          % (ms(statistics.mean(intervals)), ms(statistics.median(intervals)),
             ms(max(intervals))))
    print("  DATA to DATA, mean                 %s" % ms(statistics.mean(data_intervals)))
    print("  SUM to WRITE, WRITE to next DATA   %s, %s"
          % (ms(statistics.mean(after["SUM"])), ms(statistics.mean(after["WRITE"]))))
    print("  module: request to reply           %s total, %s each"
          % (ms(module_time), ms(module_time / packets)))
    print("  host: reply to next request        %s total, %s each"
          % (ms(sum(host_gaps)), ms(statistics.mean(host_gaps))))
    print("  of which the 1 ms pacing           %s; beyond it %s per request"
          % (ms(bound), ms(statistics.mean(intervals) - 0.001)))
    ordered = sorted(intervals)
    slow = [i for i in intervals if i > 0.002]
    print("  request to request p90 / p99       %s / %s"
          % (ms(ordered[len(ordered) * 9 // 10]), ms(ordered[len(ordered) * 99 // 100])))
    print("  intervals above 2 ms               %d, %s beyond 1 ms in all"
          % (len(slow), ms(sum(i - 0.001 for i in slow))))
    print("  ratio at the median interval       %.3f" % (0.001 / statistics.median(intervals)))


def sleep_overshoot(count=500):
    """The mean length of a 1 ms sleep on this machine now."""
    start = time.monotonic()
    for _ in range(count):
        time.sleep(0.001)
    return (time.monotonic() - start) / count


def run_once(pair, path, size, block_size):
    config = {"discovery": {"interface": netns.MODULE_ADDRESS},
              "modules": [{"name": "hub", "serial": SERIAL, "model": 17, "address": 2,
                           "upgrade": {"block_size": block_size, "restart_ms": 300,
                                       "new_version": "1.1.0", "new_build": 1002},
                           "transports": {"tcp": {"bind": netns.MODULE_ADDRESS, "port": 0}}}]}
    with simulator.Simulator(config, prefix=pair.module_prefix()) as sim, \
            updater_test.temporary_home() as home:
        start = time.monotonic()
        result = updater_test.run_updater(["-U", "-d", SERIAL, "-f", path, "-OVERRIDE"], home,
                                          timeout=600, prefix=pair.host_prefix())
        wall = time.monotonic() - start
        if result.returncode != 0:
            print(result.stdout.decode(), result.stderr.decode()[-2000:], file=sys.stderr)
            raise SystemExit("the update failed")
        report(size, block_size, wall, firmware_stage(upgrade_frames(sim)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=256 * 1024)
    parser.add_argument("--block-size", type=int, nargs="+", default=[512, 4096])
    args = parser.parse_args()
    if not netns.available():
        print("needs root and ip netns: the binary's -U runs in a private namespace pair",
              file=sys.stderr)
        return 2
    if not os.path.exists(updater_test.UPDATER_BIN):
        print("no %s: build it first" % updater_test.UPDATER_BIN, file=sys.stderr)
        return 2
    blocks = [birdtool.identity_block(1002, "1.1.0", int(SERIAL, 16), "HubQuad"),
              birdtool.loader_block(0x10000000, birdtool.pattern("random", 2048, 1)),
              birdtool.firmware_block(0, birdtool.pattern("random", args.size, 2))]
    with tempfile.TemporaryDirectory(prefix="update-bench-") as work:
        path = os.path.join(work, "bench.bird")
        with open(path, "wb") as f:
            f.write(birdtool.bird_file(blocks))
        print("Firmware update of %d bytes over TCP/IP (namespace pair), %s"
              % (args.size, updater_test.UPDATER_BIN))
        with netns.NetnsPair() as pair:
            for block_size in args.block_size:
                run_once(pair, path, args.size, block_size)
        one = sleep_overshoot()
        print("\nA 1 ms sleep takes %s here (load average %.2f on %d cores): the pause alone"
              " allows a ratio of %.3f" % (ms(one), os.getloadavg()[0], os.cpu_count(),
                                           0.001 / one))
    return 0


if __name__ == "__main__":
    sys.exit(main())
