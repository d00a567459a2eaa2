"""Command line: python3 -m vantorsim --config FILE [options] (see README.md)."""

import argparse
import asyncio
import json
import os
import signal
import sys

from . import config as config_mod
from .control import Control
from .simulator import Simulator


def parse_args(argv):
    p = argparse.ArgumentParser(prog="vantor-sim",
                                description="Simulates Vantor modules on their packet links.")
    p.add_argument("--config", required=True, help="JSON configuration file")
    p.add_argument("--ready-file", help="written (JSON) once every transport is up")
    p.add_argument("--control", help="Unix socket path of the JSON-lines control channel")
    p.add_argument("--usb-socket", help="Unix socket path for the emulated-USB harness")
    p.add_argument("--log", help="JSON-lines record of every frame")
    p.add_argument("--state-dir", help="directory for memory dumps, rewritten as they change")
    p.add_argument("--verbose", action="store_true", help="also print the record on stderr")
    return p.parse_args(argv)


def write_ready(path, info):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(info, f, indent=1, sort_keys=True)
    os.replace(tmp, path)


async def run(args, cfg):
    sim = Simulator(cfg, log_path=args.log, usb_socket=args.usb_socket,
                    state_dir=args.state_dir, echo=args.verbose)
    control = Control(sim, args.control) if args.control else None
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    try:
        await sim.start()
        if control is not None:
            await control.start()
        info = sim.ready_info(args.control)
        if args.ready_file:
            write_ready(args.ready_file, info)
        else:
            print(json.dumps(info, indent=1, sort_keys=True), flush=True)
        await stop.wait()
    finally:
        if control is not None:
            control.close()
        sim.close()
        if args.ready_file and os.path.exists(args.ready_file):
            os.unlink(args.ready_file)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        cfg = config_mod.load(args.config)
    except config_mod.ConfigError as e:
        print("vantor-sim: %s" % e, file=sys.stderr)
        return 2
    try:
        asyncio.run(run(args, cfg))
    except OSError as e:
        print("vantor-sim: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
