#!/bin/sh
# Fails when a C or C++ source uses an unbounded or unchecked libc call.
# Usage: check-banned.sh [source-dir]
set -u
top=${1:-$(dirname "$0")/..}
cd "$top" || exit 2
pattern='(^|[^_a-zA-Z0-9.>:])(sprintf|vsprintf|strcpy|strcat|gets|atoi|atol|atoll|strtok|tmpnam|mktemp)[[:space:]]*\('
hits=$(git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null | xargs -r grep -nE "$pattern" || true)
if [ -n "$hits" ]; then
	echo "banned calls (use snprintf, a bounded copy, strtol and friends):"
	echo "$hits"
	exit 1
fi
echo "no banned calls"
