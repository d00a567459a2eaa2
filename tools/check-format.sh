#!/bin/sh
# Fails when a tracked C or C++ file is not formatted with the root .clang-format.
set -u
top=${1:-$(dirname "$0")/..}
cd "$top" || exit 2
files=$(git ls-files '*.c' '*.cpp' '*.h')
[ -n "$files" ] || exit 0
# shellcheck disable=SC2086
clang-format --dry-run -Werror $files
