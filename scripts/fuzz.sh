#!/bin/bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer +
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs each one for
# KUVET_FUZZ_SECONDS seconds (default 5; CI sets 60), as many at once as there
# are processors, on a working copy of its seed corpus under build-fuzz/corpus/
# (nothing is written into fuzz/).
# Exits non-zero when any target finds a crash, leak, UB, hang or broken
# property, naming the target and the input that shows it. Optional
# arguments name the targets to run (e.g. "json xml"); default: all.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${KUVET_FUZZ_SECONDS:-5}
build=build-fuzz

# The compiler and libFuzzer's runtime (Debian 12 packages).
need=()
command -v clang++ >/dev/null 2>&1 || need+=(clang)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*_fuzz.cc; do
    name=$(basename "$source" _fuzz.cc)
    targets+=("$name")
  done
fi

# Only the targets to run are built, each from the parts of src/ it reads.
echo "== Fuzz build (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer)"
CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKUVET_FUZZ=ON \
  -DKUVET_TESTS=OFF -DKUVET_UNITY=ON >/dev/null
for name in "${targets[@]}"; do
  [ -f fuzz/"$name"_fuzz.cc ] || { echo "No fuzz target named $name"; exit 2; }
done
cmake --build "$build" -j2 --target "${targets[@]/%/_fuzz}"

# Per-input limits: a hang is an input that takes longer than 10 s; the
# inputs are kept small enough for the properties the targets check.
max_len() {
  case $1 in
    json | xml) echo 65536 ;;
    *) echo 4096 ;;
  esac
}

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

fuzz_one() {  # name; exit status is the fuzzer's
  local name=$1
  local binary=$build/fuzz/${name}_fuzz corpus=$build/corpus/$name
  local artifacts=$build/artifacts/$name/ log=$build/logs/$name.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  cp -n fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
  local args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
              -max_len="$(max_len "$name")" -print_final_stats=1 -close_fd_mask=1
              -artifact_prefix="$artifacts")
  [ -f fuzz/"$name".dict ] && args+=(-dict=fuzz/"$name".dict)
  "$binary" "${args[@]}" "$corpus" >"$log" 2>&1
}

# A fuzzer keeps one processor busy: one target per processor at a time.
at_once=$(nproc)
echo "== Fuzzing ${targets[*]} for ${seconds} s each, $at_once at a time"
for name in "${targets[@]}"; do
  rm -f "$build/logs/$name.status"
  while [ "$(jobs -rp | wc -l)" -ge "$at_once" ]; do wait -n || true; done
  (status=0; fuzz_one "$name" || status=$?; echo $status >"$build/logs/$name.status") &
done
wait

failed=()
report=()
for name in "${targets[@]}"; do
  log=$build/logs/$name.log
  status=$(cat "$build/logs/$name.status" 2>/dev/null || echo 1)
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  report+=("$(printf '%-10s %12s executions' "$name" "${executed:-?}")")
  if [ $status -ne 0 ]; then
    failed+=("$name")
    echo "!! $name found a problem (exit status $status); log: $log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|Property failed|.*runtime error)' "$log" | head -n 5 || true
    grep -E 'Test unit written to' "$log" | sed 's/^/!! /' || true
  fi
done

echo "== Fuzzing: executions per target (${seconds} s each)"
printf '%s\n' "${report[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "== Fuzzing found problems in: ${failed[*]}"
  echo "   Reproduce with: $build/fuzz/<target>_fuzz <input file>"
  exit 1
fi
echo "== Fuzzing found nothing"
