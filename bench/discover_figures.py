#!/usr/bin/env python3
"""Prints how long each variant of the discover command takes against the
simulated modules, and where the time goes (not a test).

    bench/discover_figures.py [--build DIR] [--runs N] [--no-scan] [--baseline DIR]

The real binary runs in the host side of a private network namespace pair
and the simulator in the module side (root only: discovery multicasts).
USB goes through the umockdev emulation. For each run the frame log of the
simulator tells when the first frame arrived (the end of discovery) and,
for the router scan, when routing went on and off and the gap between two
addresses asked. The figures to expect: TCP/IP discovery collects replies
until none came for 2 s; the scan asks the 126 addresses with their
requests in flight at once, so the absent ones cost their 1000 ms side by
side. With --baseline, the router scan is also timed with another build's
binary, in turn with this one's against the same modules, the two lists
are compared, and the most threads each process had are counted.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))


def parse():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--no-scan", action="store_true", help="leave out the router scans")
    p.add_argument("--baseline", help="a build directory whose router scan to time side by side")
    return p.parse_args()


def tcp(ip):
    return {"tcp": {"bind": ip, "port": 0}}


def config(ip):
    modules = [{"name": "m%d" % i, "serial": "0000A0%02X" % i, "model": 5, "address": 2 + 2 * i,
                "transports": tcp(ip)} for i in range(4)]
    modules.append({"name": "router", "serial": "D272031D", "model": 15, "address": 4,
                    "transports": tcp(ip), "behind": [
                        {"name": "daq", "serial": "0000DA01", "model": 20, "address": 6,
                         "router": 4},
                        {"name": "relay", "serial": "0000DA02", "model": 18, "address": 8,
                         "router": 4}]})
    modules += [{"name": "u%d" % i, "serial": "0000B0%02X" % i, "model": 17, "address": 2,
                 "transports": {"usb": {}}} for i in range(3)]
    return {"discovery": {"interface": ip}, "modules": modules}


def frames_since(sim, start):
    return [e for e in sim.log_entries()
            if e["kind"] == "frame" and e["dir"] == "rx" and e["time"] >= start]


def scan_breakdown(frames, start):
    """Seconds to the first frame, of the scan, and the median gap between
    two absent addresses asked."""
    routes = [e["time"] for e in frames if bytes.fromhex(e["hex"])[2:5] == bytes([3, 0x94, 0x20])]
    asked = [e for e in frames if bytes.fromhex(e["hex"])[2:] == bytes([3, 0x49, 0x20])]
    gaps = [b["time"] - a["time"] for a, b in zip(asked, asked[1:])
            if a["address"] not in (4, 6, 8)]
    return (frames[0]["time"] - start, routes[-1] - routes[0] if len(routes) == 2 else 0.0,
            statistics.median(gaps) if gaps else 0.0, len(asked))


def threads_of(binary):
    """The thread count of each running process of `binary`."""
    counts = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/exe" % pid) == binary:
                counts.append(len(os.listdir("/proc/%s/task" % pid)))
        except OSError:
            continue
    return counts


def run_once(args, pair, env=None, binary=None):
    """(seconds, listed rows, wall-clock start, most threads seen) of one run
    of the binary."""
    import updater_test
    binary = os.path.realpath(binary or updater_test.UPDATER_BIN)
    with updater_test.temporary_home() as home:
        start_wall = time.time()
        start = time.monotonic()
        command = updater_test.isolated_command([binary] + args, home)
        proc = subprocess.Popen(pair.host_prefix() + command, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                env=dict(os.environ, **(env or {})))
        most = 0
        while proc.poll() is None and time.monotonic() - start < 600:
            most = max([most] + threads_of(binary))
            time.sleep(0.02)
        out, _ = proc.communicate(timeout=600)
        took = time.monotonic() - start
    rows = [ln for ln in out.decode().splitlines() if ln.startswith("    ")][1:]
    return took, rows, start_wall, most


def measure(name, args, runs, pair, sim, env=None, scan=False):
    times, details = [], []
    for _ in range(runs):
        took, rows, start_wall, _ = run_once(args, pair, env)
        times.append(took)
        frames = frames_since(sim, start_wall)
        if scan and frames:
            details.append(scan_breakdown(frames, start_wall))
        elif frames:
            details.append((frames[0]["time"] - start_wall,))
    line = "%-34s %2d modules  median %6.2f s  (min %.2f, max %.2f)" % (
        name, len(rows), statistics.median(times), min(times), max(times))
    if details and scan:
        first, routed, gap, asked = (statistics.median(d[i] for d in details) for i in range(4))
        line += "\n%36s discovery and connect %.2f s, scan %.2f s (%d addresses, %.3f s apart" \
                " where none answers)" % ("", first, routed, asked, gap)
    elif details:
        line += "  first frame after %.2f s" % statistics.median(d[0] for d in details)
    print(line)
    sys.stdout.flush()


def scan_against(baseline, runs, pair):
    """The router scan with both builds in turn: medians, ratio, same list."""
    import updater_test
    args = ["-D", "-r", "D272031D", "-t", "TCPIP"]
    other = os.path.join(os.path.abspath(baseline), "cli", "Updater")
    ours, theirs, same, threads = [], [], True, [0, 0]
    for _ in range(runs):
        took, rows, _, most = run_once(args, pair)
        ours.append(took)
        threads[0] = max(threads[0], most)
        took, base_rows, _, most = run_once(args, pair, binary=other)
        theirs.append(took)
        threads[1] = max(threads[1], most)
        same = same and rows == base_rows
    print("-D -r D272031D -t TCPIP, side by side: %s %.2f s, %s %.2f s: ratio %.3f, same list: %s"
          % (updater_test.UPDATER_BIN, statistics.median(ours), other, statistics.median(theirs),
             statistics.median(ours) / statistics.median(theirs), "yes" if same else "NO"))
    print("  most threads of the process (the link's reader and writer among them): %d and %d"
          % tuple(threads))


def main():
    args = parse()
    os.environ.setdefault("UPDATER_BUILD_DIR", os.path.abspath(args.build))
    import netns
    import simulator
    import usb_emulation
    if not netns.available():
        sys.exit("needs root and ip netns (discovery multicasts: private network namespaces only)")
    reason = usb_emulation.why_not_available()
    with netns.NetnsPair() as pair, \
            simulator.Simulator(config(netns.MODULE_ADDRESS), prefix=pair.module_prefix(),
                                usb=not reason) as sim:
        if reason:
            print("USB: skipped,", reason)
        else:
            with usb_emulation.UsbEmulation(sim.usb_socket) as usb:
                usb.wait_devices(3)
                measure("-D (USB)", ["-D"], args.runs, pair, sim, env=usb.env())
        measure("-D -t TCPIP", ["-D", "-t", "TCPIP"], args.runs, pair, sim)
        measure("-D -r (not found) -t TCPIP", ["-D", "-r", "DEADBEEF", "-t", "TCPIP"], args.runs,
                pair, sim)
        measure("-D -r (not found)", ["-D", "-r", "DEADBEEF"], args.runs, pair, sim)
        if not args.no_scan:
            measure("-D -r D272031D -t TCPIP", ["-D", "-r", "D272031D", "-t", "TCPIP"], 1, pair,
                    sim, scan=True)
            measure("-D -r D272031D", ["-D", "-r", "D272031D"], 1, pair, sim, scan=True)
        if args.baseline:
            scan_against(args.baseline, args.runs, pair)


if __name__ == "__main__":
    main()
