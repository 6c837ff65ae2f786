#!/bin/bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a normal build, and one under AddressSanitizer + UndefinedBehaviorSanitizer;
# runs the tests that transfer in parallel under ThreadSanitizer; then fuzzes
# the parsers for a bounded time (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_suite() {  # build-dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

echo "== Normal build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKUVET_SANITIZE=ON
echo "== ThreadSanitizer build: the tests that run transfers side by side"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKUVET_TSAN=ON -DKUVET_TESTS=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target kuvet
tsan_kuvet="$PWD/build-tsan/kuvet"
(cd tests/integration && KUVET="$tsan_kuvet" TSAN_OPTIONS=halt_on_error=1 \
   python3 -m unittest test_sync test_multipart)
# The parsers under libFuzzer, KUVET_FUZZ_SECONDS (default 10) each.
scripts/fuzz.sh
echo "== All tests passed"
