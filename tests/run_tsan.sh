#!/usr/bin/env bash
# Builds the library and the multi-threaded engine test with ThreadSanitizer
# and runs it; any reported race fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVN_TSAN=ON >/dev/null
cmake --build build/tsan -j "$(nproc 2>/dev/null || echo 2)" --target concurrency_test
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  build/tsan/tests/cpp/concurrency_test
