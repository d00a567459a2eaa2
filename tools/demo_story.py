#!/usr/bin/env python3
"""The demo's story on simulated hardware: a local update server and a
simulated module, each in a private network namespace, and the real
binary beside the server in a temporary home: discover the module, list
its builds, get the latest, update the module, discover it again with its
new version (as the JSON document a script would read), then tear
everything down.

Without root (no network namespaces) it says so and shows what needs no
namespace: the builds and the download, against the server on 127.0.0.1.

    tools/demo_story.py [--updater PATH]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import netns  # noqa: E402
import simulator  # noqa: E402
import updater_test  # noqa: E402
from update_server_support import UpdateServerProcess  # noqa: E402

SERIAL = "40F5849A"
CATALOG = os.path.join(HERE, "update_server.example.json")
# The unit of the example catalog, running the catalog's older build.
MODULE = {"name": "demo", "serial": SERIAL, "model": 4, "address": 2, "version": "1.0.1",
          "build": 1001,
          "upgrade": {"new_version": "1.1.0", "new_build": 1002, "restart_ms": 500}}


def say(text):
    print("\n## " + text, flush=True)


def run(updater, home, args, prefix=None):
    """Runs the binary in the isolated home, its output straight to ours."""
    print("\n$ Updater " + " ".join(args), flush=True)
    cmd = updater_test.isolated_command([updater] + args, home)
    return subprocess.run(list(prefix or []) + cmd, stdin=subprocess.DEVNULL).returncode


def module_says(sim):
    state = sim.state("demo")
    version = state["version"]
    print("   (the simulated module itself reports version %d.%d.%d, build %d, in its %s)"
          % (version >> 28, (version >> 24) & 15, version & 0xFFFFFF, state["build"],
             state["mode"]), flush=True)


def show_store(home):
    say("The store in the (temporary) home")
    for root, _, files in sorted(os.walk(home)):
        for name in sorted(files):
            path = os.path.join(root, name)
            print("~/" + os.path.relpath(path, home))
            if name == ".settings":
                with open(path, encoding="utf-8") as f:
                    print("".join("    " + line for line in f), end="")


def story(updater, home):
    with netns.NetnsPair() as pair:
        say("A simulated module %s (build 1001) in namespace %s, at %s"
            % (SERIAL, pair.module, netns.MODULE_ADDRESS))
        config = {"discovery": {"interface": netns.MODULE_ADDRESS},
                  "modules": [dict(MODULE, transports={
                      "tcp": {"bind": netns.MODULE_ADDRESS, "port": 0}})]}
        with simulator.Simulator(config, prefix=pair.module_prefix()) as sim:
            server = UpdateServerProcess(catalog=CATALOG, prefix=pair.host_prefix())
            try:
                say("The local update server at %s, in namespace %s with the tool"
                    % (server.url, pair.host))
                url = ["-u", server.url]
                host = pair.host_prefix()
                run(updater, home, ["-D", "-t", "TCPIP"], host)
                module_says(sim)
                run(updater, home, ["-B", "-d", SERIAL] + url, host)
                run(updater, home, ["-G", "-d", SERIAL] + url, host)
                status = run(updater, home, ["-U", "-d", SERIAL] + url, host)
                say("The update ended with status %d; the module restarts" % status)
                sim.wait_for(lambda: not sim.state("demo")["down"], timeout=30,
                             what="the module back")
                say("Discovered again, as JSON for scripts (messages on the standard error)")
                run(updater, home, ["-D", "-t", "TCPIP", "--json"], host)
                module_says(sim)
            finally:
                server.stop()
        say("Module, server and namespaces torn down")
    return status


def without_namespaces(updater, home):
    say("Not root: no private network namespaces here, so no discovery and no update "
        "(they multicast on every interface). What needs no namespace:")
    server = UpdateServerProcess(catalog=CATALOG)
    try:
        url = ["-u", server.url]
        run(updater, home, ["-B", "-d", SERIAL] + url)
        run(updater, home, ["-G", "-d", SERIAL] + url)
    finally:
        server.stop()
    say("Run as root (sudo tools/demo.sh) for the whole story on a simulated module")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--updater", default=updater_test.UPDATER_BIN)
    args = parser.parse_args()
    args.updater = os.path.abspath(args.updater)
    if not updater_test.can_isolate():
        print("demo: cannot make a private mount namespace here, so the tool cannot run "
              "without touching the real home", file=sys.stderr)
        return 1
    home = tempfile.mkdtemp(prefix="updater-demo-home-")
    try:
        if netns.available():
            status = story(args.updater, home)
        else:
            without_namespaces(args.updater, home)
            status = 0
        show_store(home)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
