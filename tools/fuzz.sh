#!/bin/sh
# Builds the libFuzzer targets (clang, AddressSanitizer and UBSan) and runs
# each for the given number of seconds from its seed corpus, as many at a
# time as there are cores.
#   tools/fuzz.sh [seconds [target...]]   default 60 seconds, every target
# SKIP_DEPS=1 skips the package installation (it needs root). Inputs the
# fuzzer finds go to a temporary copy of the corpus, never into the tree;
# an input that fails is kept in build-fuzz/artifacts/ (add it to
# tests/fuzz/corpus/<target>/ once the fault is mended).
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
dir=build-fuzz
targets="birdfile_fuzzer settings_fuzzer server_fuzzer module_fuzzer discovery_fuzzer isp_fuzzer
sdp_fuzzer"
if [ $# -gt 0 ]; then
	targets="$*"
fi

if [ "${SKIP_DEPS:-0}" != 1 ]; then
	tools/install-deps.sh
fi
# Fuzzers that cannot be built are not passed: under CI (CI=true) that
# fails, elsewhere it is skipped with a message (status 77).
if ! command -v clang++ >/dev/null 2>&1; then
	echo "fuzz: clang++ not found: no fuzzer run (tools/install-deps.sh installs it)" >&2
	[ "${CI:-}" = true ] && exit 1
	exit 77
fi

cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	-DUPDATER_BUILD_FUZZERS=ON -DUPDATER_BUILD_BENCH=OFF -DUPDATER_SANITIZE=address,undefined
# shellcheck disable=SC2086
cmake --build "$dir" -j "$(nproc)" --target $targets

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$dir/artifacts"
export ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# As many fuzzers at a time as there are cores; each one's report is shown
# whole once its batch has ended.
batch=$(nproc)
status=0
fuzz_one() {
	cp -R "tests/fuzz/corpus/$1" "$work/$1"
	"$dir/tests/fuzz/$1" -max_total_time="$seconds" -print_final_stats=1 \
		-artifact_prefix="$dir/artifacts/$1-" "$work/$1" >"$work/$1.log" 2>&1
}
# shellcheck disable=SC2086
set -- $targets
while [ $# -gt 0 ]; do
	running=""
	count=0
	while [ $# -gt 0 ] && [ "$count" -lt "$batch" ]; do
		fuzz_one "$1" &
		running="$running $1:$!"
		count=$((count + 1))
		shift
	done
	for job in $running; do
		target=${job%%:*}
		wait "${job#*:}" || status=1
		echo "== $target: $seconds s"
		cat "$work/$target.log"
	done
done
exit $status
