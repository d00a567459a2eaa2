#!/bin/sh
# Sets up, builds and runs every test.
#   tools/test.sh          install packages, build (g++) and run the whole suite
#   tools/test.sh asan     the same, built with clang, AddressSanitizer and UBSan
#   tools/test.sh tsan     the unit tests, built with clang and ThreadSanitizer
# SKIP_DEPS=1 skips the package installation (it needs root).
set -eu
cd "$(dirname "$0")/.."
mode=${1:-plain}
jobs=$(nproc)

if [ "${SKIP_DEPS:-0}" != 1 ]; then
	tools/install-deps.sh
fi

clang="-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++"
case "$mode" in
plain)
	dir=build
	flags=""
	select=""
	;;
asan)
	dir=build-asan
	flags="$clang -DUPDATER_SANITIZE=address,undefined -DUPDATER_BUILD_BENCH=OFF"
	select=""
	export ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0"
	export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
	;;
tsan)
	dir=build-tsan
	flags="$clang -DUPDATER_SANITIZE=thread -DUPDATER_BUILD_BENCH=OFF"
	select="-L unit"
	export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
	;;
*)
	echo "usage: $0 [plain|asan|tsan]" >&2
	exit 2
	;;
esac

# shellcheck disable=SC2086
cmake -S . -B "$dir" $flags
cmake --build "$dir" -j "$jobs"
# End-to-end tests spend most of their time waiting on peers, so run more
# of them than there are cores.
# shellcheck disable=SC2086
ctest --test-dir "$dir" --output-on-failure -j $((jobs * 2)) $select
