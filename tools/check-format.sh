#!/bin/sh
# Fails when a C or C++ source is not formatted with the root .clang-format
# (the tracked sources in a checkout, every source in a copied tree). A
# missing clang-format fails under CI (CI=true) and is skipped with a
# message (status 77) elsewhere.
set -u
tools=$(cd "$(dirname "$0")" && pwd)
top=${1:-$tools/..}
cd "$top" || exit 2
if ! command -v clang-format >/dev/null 2>&1; then
	echo "check-format: clang-format not found: formatting not checked (tools/install-deps.sh installs it)" >&2
	[ "${CI:-}" = true ] && exit 1
	exit 77
fi
files=$("$tools/list-sources.sh")
if [ -z "$files" ]; then
	echo "check-format: no C or C++ sources found in $(pwd)" >&2
	exit 2
fi
# shellcheck disable=SC2086
clang-format --dry-run -Werror $files
