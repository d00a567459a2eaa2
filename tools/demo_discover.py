#!/usr/bin/env python3
"""The discovery step of tools/demo.sh: simulated modules, and the real
Updater discovering them.

    tools/demo_discover.py HOME

As root, the simulator plays two modules over TCP/IP, a router with two
modules behind it and a module on emulated USB, inside a private pair of
network namespaces (discovery multicasts out of every interface: nothing
of it leaves the pair), and the binary runs in the host side of the pair.
Without root no namespace can be made: only discovery over USB, which
sends nothing on the network, is shown. Every run uses HOME (a temporary
directory) as its home; everything started here is stopped at the end.
"""

import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import netns  # noqa: E402
import simulator  # noqa: E402
import updater_test  # noqa: E402
import usb_emulation  # noqa: E402

sys.path.insert(0, HERE)
import birdtool  # noqa: E402

IP = netns.MODULE_ADDRESS
ROUTER = "D272031D"
TCP = {"tcp": {"bind": IP, "port": 0}}
NETWORK_MODULES = [
    {"name": "podnet", "serial": "0BADCAFE", "model": 5, "address": 2, "version": "3.0.12",
     "build": 321, "transports": TCP, "upgrade": {"new_version": "3.0.13", "new_build": 322}},
    {"name": "podnet2", "serial": "0BADCAFF", "model": 5, "address": 2, "version": "3.0.12",
     "build": 321, "transports": TCP, "upgrade": {"new_version": "3.0.13", "new_build": 322}},
    {"name": "router", "serial": ROUTER, "model": 15, "address": 4, "version": "1.3.7",
     "build": 90, "transports": TCP, "behind": [
         {"name": "daq", "serial": "0000DA01", "model": 20, "address": 6, "router": 4,
          "version": "4.5.6", "build": 1234,
          "upgrade": {"new_version": "4.5.7", "new_build": 1235}},
         {"name": "relay", "serial": "0000DA02", "model": 18, "address": 8, "router": 4,
          "version": "2.0.3", "build": 77}]},
]
USB_MODULES = [
    {"name": "hub", "serial": "40F5849A", "model": 17, "address": 2, "version": "2.1.40",
     "build": 4711, "transports": {"usb": {}}},
]


def run(home, args, prefix=(), env=None, note=None):
    print()
    print("$ Updater " + " ".join(args))
    if note:
        print("  (" + note + ")")
    sys.stdout.flush()
    if not updater_test.can_isolate():
        print("  not run: no private mount namespace here to keep it out of the real home")
        return
    start = time.monotonic()
    cmd = list(prefix) + updater_test.isolated_command([updater_test.UPDATER_BIN] + list(args),
                                                       home)
    subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, check=False)
    print("  [%.1f s]" % (time.monotonic() - start))


def where(module):
    """How a module of the simulator's ready file is reached."""
    if module.get("behind_router"):
        return "behind " + module["behind_router"]
    if "tcp" in module:
        return "TCP %s:%d" % (module["tcp"]["host"], module["tcp"]["port"])
    return "emulated USB"


def daq_build(directory):
    """Build 1235 of the module behind the router, as a BIRD file."""
    path = os.path.join(directory, "1235.bird")
    blocks = [birdtool.identity_block(1235, "4.5.7", 0x0000DA01, "RackDaq1"),
              birdtool.loader_block(0x10000000, birdtool.pattern("random", 512, 1)),
              birdtool.firmware_block(0, birdtool.pattern("random", 4096, 2))]
    with open(path, "wb") as f:
        f.write(birdtool.bird_file(blocks))
    return path


def podnet_build(directory):
    """Build 322 of both PodNet modules: a template that gets each unit's
    serial number."""
    path = os.path.join(directory, "322.bird")
    blocks = [birdtool.identity_block(322, "3.0.13", 0xFFFFFFFF, "PodNet"),
              birdtool.loader_block(0x10000000, birdtool.pattern("random", 512, 3)),
              birdtool.serial_template_block(0x100, 0x200),
              birdtool.firmware_block(0, birdtool.pattern("random", 4096, 4))]
    with open(path, "wb") as f:
        f.write(birdtool.bird_file(blocks))
    return path


def with_namespaces(home, usb_reason):
    config = {"discovery": {"interface": IP},
              "modules": NETWORK_MODULES + ([] if usb_reason else USB_MODULES)}
    with netns.NetnsPair() as pair, \
            simulator.Simulator(config, prefix=pair.module_prefix(), usb=not usb_reason) as sim:
        print("Simulated modules in network namespace %s (%s), the Updater in %s:"
              % (pair.module, IP, pair.host))
        for m in sim.ready["modules"]:
            print("  %s  %-7s %s" % (m["serial"], m["name"], where(m)))
        if usb_reason:
            print("No emulated USB here (%s):" % usb_reason)
            run(home, ["-D"], pair.host_prefix())
        else:
            with usb_emulation.UsbEmulation(sim.usb_socket) as usb:
                usb.wait_devices(len(USB_MODULES))
                run(home, ["-D"], pair.host_prefix(), env=usb.env())
        run(home, ["-D", "-t", "TCPIP"], pair.host_prefix(),
            note="replies are collected until none came for 2 s")
        run(home, ["-D", "-r", ROUTER, "-t", "TCPIP"], pair.host_prefix(),
            note="asks all 126 addresses behind the router at once: about a second")
        with tempfile.TemporaryDirectory(prefix="updater-demo-files-") as files:
            run(home, ["-U", "-d", "0000DA01", "-r", ROUTER, "-f", daq_build(files)],
                pair.host_prefix(), note="finds the module behind the router, updates it "
                "through the router and sees it run the new build")
            run(home, ["-U", "-d", "0BADCAFE,0BADCAFF", "-f", podnet_build(files)],
                pair.host_prefix(), note="both PodNet modules at once, then a line each")
    print("Namespaces and simulator stopped.")


def without_namespaces(home, usb_reason):
    print("Not root: no private network namespaces, so no discovery over TCP/IP or behind a"
          " router (it multicasts out of every interface). Discovery over USB only:")
    if usb_reason:
        print("No emulated USB here (%s): the machine's own USB." % usb_reason)
        run(home, ["-D"])
        return
    with simulator.Simulator({"modules": USB_MODULES}, usb=True) as sim, \
            usb_emulation.UsbEmulation(sim.usb_socket) as usb:
        usb.wait_devices(len(USB_MODULES))
        for m in sim.ready["modules"]:
            print("  %s  %-7s %s" % (m["serial"], m["name"], where(m)))
        run(home, ["-D"], env=usb.env())


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: demo_discover.py HOME")
    home = sys.argv[1]
    usb_reason = usb_emulation.why_not_available()
    if netns.available():
        with_namespaces(home, usb_reason)
    else:
        without_namespaces(home, usb_reason)


if __name__ == "__main__":
    main()
