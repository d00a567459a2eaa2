#!/bin/sh
# Sets up, builds and shows the tool at work on this machine, without
# touching the real home directory: the program runs in a private mount
# namespace with a temporary home. As root, simulated modules answer it
# from private network namespaces; nothing it sends leaves them.
set -eu
cd "$(dirname "$0")/.."

if [ "${SKIP_DEPS:-0}" != 1 ]; then
	tools/install-deps.sh
fi
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target Updater >/dev/null

home=$(mktemp -d /tmp/updater-demo-home.XXXXXX)
trap 'rm -rf "$home"' EXIT
run() {
	echo
	echo "\$ Updater $*"
	python3 -c 'import sys; sys.path.insert(0, "tests/support"); import updater_test, subprocess
cmd = updater_test.isolated_command([updater_test.UPDATER_BIN] + sys.argv[2:], sys.argv[1])
sys.exit(subprocess.run(cmd).returncode)' "$home" "$@" || true
}

run --help
run -I

# --- Step: discovery -------------------------------------------------------
# Simulated modules (over emulated USB, over TCP/IP, and behind a router) in
# private network namespaces, the discover command against them, and all of
# it torn down (tools/demo_discover.py). The USB emulation needs the test
# harness; without it the step goes on without USB.
echo
echo "=== Discovery"
cmake --build build -j "$(nproc)" --target usb_harness >/dev/null 2>&1 ||
	echo "(the USB harness could not be built: no emulated USB)"
python3 tools/demo_discover.py "$home"
# --- End of step: discovery ------------------------------------------------
echo
echo "The store it made in the (temporary) home:"
find "$home" -mindepth 1 | sed "s|$home|~|"
