#!/usr/bin/env bash
# Builds and runs every test: the C++ suites through CTest, then the Python
# package (installed from this tree) through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVN_BUILD_TESTS=ON >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

# The test-only _frame_probe extension lets pytest reach the binding frame.
python3 -m pip install -q . -C cmake.define.QVN_BUILD_FRAME_PROBE=ON
python3 -m pytest -q tests/python
