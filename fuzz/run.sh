#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build/fuzz and runs
# each for a fixed time on a scratch copy of its seed corpus in fuzz/corpus/.
# Fails on the first target that crashes, leaks, times out or breaks an
# invariant; the offending input is kept under build/fuzz/artifacts/.
# Usage: fuzz/run.sh [seconds per target, default 20] [target ...]
# With QVN_FUZZ_WITH_TESTS=1 the same instrumented build also compiles the C++
# test suites and runs them first, so one clang build gives both the
# sanitizer run of the tests and the fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-20}"
shift || true
jobs=$(( $(nproc 2>/dev/null || echo 2) < 4 ? $(nproc 2>/dev/null || echo 2) : 4 ))

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQVN_FUZZ=ON -DQVN_BUILD_TESTS="${QVN_FUZZ_WITH_TESTS:-OFF}" -DQVN_BUILD_BENCH=OFF -DQVN_BUILD_PYTHON=OFF >/dev/null
cmake --build build/fuzz -j "$jobs"

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in fuzz/fuzz_*.cc; do targets+=("$(basename "$src" .cc)"); done
fi

# Scratch files of the readers go to memory when the machine has it.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
if [ "${QVN_FUZZ_WITH_TESTS:-OFF}" = "1" ] || [ "${QVN_FUZZ_WITH_TESTS:-OFF}" = "ON" ]; then
  ctest --test-dir build/fuzz --output-on-failure -j "$jobs"
fi
mkdir -p build/fuzz/artifacts
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  cp -r "fuzz/corpus/$t/." "$work/$t/"
  log="build/fuzz/artifacts/$t.log"
  if ! "build/fuzz/fuzz/$t" "$work/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2560 \
       -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$t-" >"$log" 2>&1; then
    echo "FAIL $t (log: $log)"
    tail -n 40 "$log"
    exit 1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 || true)
  echo "ok   $t: ${execs:-?} executions in ${secs}s, ${cov:-cov: ?}"
done
