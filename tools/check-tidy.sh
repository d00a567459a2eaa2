#!/bin/sh
# Fails on any finding of the fixed clang-tidy checks (.clang-tidy at the
# root, and the naming rules in each layer's directory) over the sources of
# cli/, UpdaterLib/ and device/.
# Usage: check-tidy.sh [build-dir]     a configured build (default: build)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -f "$build/compile_commands.json" ]; then
	echo "no $build/compile_commands.json: configure a build first" >&2
	exit 2
fi
files=$(git ls-files 'cli/*.cpp' 'UpdaterLib/*.cpp' 'device/*.cpp')
# shellcheck disable=SC2086
out=$(run-clang-tidy -p "$build" -quiet $files 2>&1) || true
findings=$(printf '%s\n' "$out" | grep -E '(warning|error):' || true)
if [ -n "$findings" ]; then
	printf '%s\n' "$findings"
	exit 1
fi
echo "no clang-tidy findings"
