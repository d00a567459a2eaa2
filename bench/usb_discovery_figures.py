#!/usr/bin/env python3
"""Prints figures for the USB path and TCP/IP discovery (not a test).

    bench/usb_discovery_figures.py [--build DIR] [--round-trips N] [--runs N]

USB: a USB stream to a simulated module through the umockdev harness; each
round trip writes 50 bytes (two echo frames, 30 and 20 bytes) and reads
the 50 bytes of the module's two answers. Each emulated ioctl costs a
socket round trip to the harness, so the figure is the emulation's, an
upper bound for real hardware.

TCP/IP: one discovery (`kDiscovery_EnumerateModules`) from a host network
namespace against 1 and 20 simulated modules in a module namespace (root
only): the collection lasts until 2 s after the last reply, so it should
not grow with the number of modules.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))


def parse():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--round-trips", type=int, default=1000)
    p.add_argument("--runs", type=int, default=3)
    return p.parse_args()


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


# Command 23 echoes its packet: frames of 30 and 20 bytes, 50 in all.
ECHO = bytes([2, 28, 23] + list(range(27)) + [2, 18, 23] + list(range(17)))


def usb_figures(count):
    import simulator
    import usb_emulation
    reason = usb_emulation.why_not_available()
    if reason:
        print("USB round trip: skipped,", reason)
        return
    config = {"modules": [{"name": "hub", "serial": "00C0FFEE", "address": 2,
                           "transports": {"usb": {}}}]}
    with simulator.Simulator(config, usb=True) as sim, \
            usb_emulation.UsbEmulation(sim.usb_socket) as usb:
        usb.wait_devices(1)
        with usb_emulation.Probe(usb.env()) as probe:
            answer, _ = probe.ask("stream C0FFEE")
            if answer != ["kErrNone"]:
                print("USB round trip: cannot open the stream:", answer)
                return
            answer, _ = probe.ask("roundtrip %d %s 2000" % (count, ECHO.hex()), timeout=600)
    if answer[0] != "kErrNone":
        print("USB round trip: failed with", answer[0])
        return
    times = [int(t) / 1000.0 for t in answer[1].split(",") if t]
    print("USB round trip, 50-byte write + 50-byte read, %d times (ms): median %.2f, p90 %.2f, "
          "p99 %.2f, min %.2f, max %.2f" % (len(times), statistics.median(times),
                                            percentile(times, 0.9), percentile(times, 0.99),
                                            min(times), max(times)))


def discovery_once(count, runs):
    import netns
    import simulator
    import usb_emulation
    modules = [{"serial": "%08X" % (0x10000000 + i), "address": 2 + 2 * i,
                "transports": {"tcp": {"bind": netns.MODULE_ADDRESS, "port": 0}}}
               for i in range(count)]
    config = {"discovery": {"interface": netns.MODULE_ADDRESS}, "modules": modules}
    times, found = [], []
    with netns.NetnsPair() as pair, simulator.Simulator(config, prefix=pair.module_prefix()):
        with usb_emulation.Probe(dict(os.environ), prefix=pair.host_prefix()) as probe:
            for _ in range(runs):
                start = time.monotonic()
                answer, _ = probe.ask("enumerate TCPIP", timeout=60)
                times.append(time.monotonic() - start)
                found.append(int(answer[0]))
    print("TCP/IP discovery, %2d modules, %d runs: found %s, median %.3f s (min %.3f, max %.3f)"
          % (count, runs, found, statistics.median(times), min(times), max(times)))


def main():
    args = parse()
    os.environ["UPDATER_BUILD_DIR"] = os.path.abspath(args.build)
    usb_figures(args.round_trips)
    import netns
    if not netns.available():
        print("TCP/IP discovery: skipped, needs root and ip netns")
        return
    for count in (1, 20):
        discovery_once(count, args.runs)


if __name__ == "__main__":
    main()
