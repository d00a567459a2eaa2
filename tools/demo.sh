#!/bin/sh
# Sets up, builds and shows the tool at work on simulated hardware, without
# touching the real home directory or any real network: the program runs in
# a private mount namespace with a temporary home and, as root, beside a
# local update server and simulated modules in private network namespaces.
set -eu
cd "$(dirname "$0")/.."

if [ "${SKIP_DEPS:-0}" != 1 ]; then
	tools/install-deps.sh
fi
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target Updater >/dev/null

home=$(mktemp -d /tmp/updater-demo-home.XXXXXX)
trap 'rm -rf "$home"' EXIT

# --- Step: update -----------------------------------------------------------
# Discover, list builds, get, update and discover again (tools/demo_story.py).
echo "=== Updating a simulated module"
python3 tools/demo_story.py --updater build/cli/Updater
# --- End of step: update ----------------------------------------------------

# --- Step: discovery -------------------------------------------------------
# Simulated modules (over emulated USB, over TCP/IP, and behind a router) in
# private network namespaces, the discover command against them, and all of
# it torn down (tools/demo_discover.py). The USB emulation needs the test
# harness, and the check that it can run here the USB probe too; without
# them the step goes on without USB.
echo
echo "=== Discovery"
cmake --build build -j "$(nproc)" --target usb_harness usb_probe >/dev/null 2>&1 ||
	echo "(the USB harness could not be built: no emulated USB)"
python3 tools/demo_discover.py "$home"
# --- End of step: discovery ------------------------------------------------
