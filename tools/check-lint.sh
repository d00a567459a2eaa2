#!/bin/sh
# Fails on any finding of shellcheck in the shell scripts, or of pyflakes
# (through flake8, which honours "# noqa") in the Python of tools/, tests/
# and bench/.
# Usage: check-lint.sh [source-dir]
set -u
top=${1:-$(dirname "$0")/..}
cd "$top" || exit 2
status=0
shellcheck tools/*.sh .ci/run || status=1
flake8 --select=F tools tests bench tools/vantor-sim || status=1
[ $status -eq 0 ] && echo "no lint findings"
exit $status
