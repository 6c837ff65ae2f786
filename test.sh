#!/bin/bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a normal build, and one under AddressSanitizer + UndefinedBehaviorSanitizer;
# runs the tests that transfer in parallel under ThreadSanitizer; then fuzzes
# the parsers for a bounded time (scripts/fuzz.sh). Prints how long each part
# took.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

jobs=$(nproc)
# Most tests wait on sockets and child processes rather than the processor.
test_jobs=$((jobs * 2))
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1
started=$SECONDS

part() {  # name, command...
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  echo "== $name: $((SECONDS - start)) s"
}

build() {  # build-dir, cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DKUVET_UNITY=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

suite() {  # build-dir, cmake arguments...
  build "$@"
  ctest --test-dir "$1" --output-on-failure -j"$test_jobs"
}

threads() {  # the classes of test_sync side by side
  build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKUVET_TSAN=ON -DKUVET_TESTS=OFF
  local kuvet=$PWD/build-tsan/kuvet
  (cd tests/integration && grep -oP '^class \K\w+(?=\(SyncCase\))' test_sync.py |
     xargs -P "$test_jobs" -I{} env KUVET="$kuvet" python3 -m unittest -q test_sync.{})
}

part "Normal build and tests" suite build -DCMAKE_BUILD_TYPE=Debug
part "AddressSanitizer + UndefinedBehaviorSanitizer build and tests" \
  suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKUVET_SANITIZE=ON
part "ThreadSanitizer: the syncs that transfer side by side" threads
part "Fuzzing the parsers (scripts/fuzz.sh)" scripts/fuzz.sh
echo "== All tests passed in $((SECONDS - started)) s"
