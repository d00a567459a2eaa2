#!/bin/sh
# Prints the C and C++ sources of the tree at the current directory, one a
# line: in a git checkout the tracked ones, elsewhere (an unpacked or copied
# tree) every one outside the build and .git directories. With directory
# names, only the .cpp files under them.
# Usage: list-sources.sh [dir...]
set -u
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
	if [ $# -eq 0 ]; then
		git ls-files '*.c' '*.cpp' '*.h'
	else
		for dir in "$@"; do
			git ls-files "$dir/*.cpp"
		done
	fi
elif [ $# -eq 0 ]; then
	find . \( -name '.git' -o -name 'build*' \) -prune -o \
		\( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -type f -print | sed 's|^\./||'
else
	find "$@" -name '*.cpp' -type f
fi
