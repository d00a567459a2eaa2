#!/bin/sh
# Sets up, builds and shows the tool at work on this machine, without
# touching the real home directory: the program runs in a private mount
# namespace with a temporary home.
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
echo
echo "The store it made in the (temporary) home:"
find "$home" -mindepth 1 | sed "s|$home|~|"
