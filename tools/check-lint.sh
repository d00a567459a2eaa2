#!/bin/sh
# Fails on any finding of shellcheck in the shell scripts, or of pyflakes
# (through flake8, which honours "# noqa") in the Python of tools/, tests/
# and bench/. A linter that is missing fails under CI (CI=true) and is
# skipped with a message (status 77) elsewhere: a check that did not run
# never passes.
# Usage: check-lint.sh [source-dir]
set -u
top=${1:-$(dirname "$0")/..}
cd "$top" || exit 2
for tool in shellcheck flake8; do
	if ! command -v "$tool" >/dev/null 2>&1; then
		echo "check-lint: $tool not found: lint not run (tools/install-deps.sh installs it)" >&2
		[ "${CI:-}" = true ] && exit 1
		exit 77
	fi
done
status=0
shellcheck tools/*.sh .ci/run || status=1
flake8 --select=F tools tests bench tools/vantor-sim || status=1
[ $status -eq 0 ] && echo "no lint findings"
exit $status
