#!/bin/sh
# Fails when a C or C++ source uses an unbounded or unchecked libc call,
# however it is reached (sprintf, std::sprintf, ::sprintf).
# Usage: check-banned.sh [source-dir]
# In a git checkout the tracked sources are read; elsewhere (an unpacked
# source tree) every source outside the build and .git directories.
set -u
tools=$(cd "$(dirname "$0")" && pwd)
top=${1:-$tools/..}
cd "$top" || exit 2
pattern='(^|[^_a-zA-Z0-9])(sprintf|vsprintf|strcpy|strcat|gets|atoi|atol|atoll|strtok|tmpnam|mktemp)[[:space:]]*\('
files=$("$tools/list-sources.sh")
if [ -z "$files" ]; then
	echo "no C or C++ sources found in $(pwd)" >&2
	exit 2
fi
# shellcheck disable=SC2086
hits=$(printf '%s\n' $files | xargs grep -HnE "$pattern" || true)
if [ -n "$hits" ]; then
	echo "banned calls (use snprintf, a bounded copy, strtol and friends):"
	echo "$hits"
	exit 1
fi
echo "no banned calls"
