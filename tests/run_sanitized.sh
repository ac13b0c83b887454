#!/usr/bin/env bash
# Builds the C++ tests with AddressSanitizer + UndefinedBehaviorSanitizer in
# build/asan and runs them through CTest. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVN_SANITIZE=ON \
  -DQVN_BUILD_TESTS=ON >/dev/null
cmake --build build/asan -j "$jobs"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
ctest --test-dir build/asan --output-on-failure -j "$jobs"
