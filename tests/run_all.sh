#!/usr/bin/env bash
# Builds and runs every test from one build: the C++ suites through CTest,
# then the Python suites through pytest against the extension of the same
# build (staged as a package under build/tests/pkg). Python is $PYTHON if
# set, else the .venv that scripts/install_deps.sh makes, else python3.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
if [ -n "${PYTHON:-}" ]; then python=$PYTHON
elif [ -x .venv/bin/python ]; then python=$PWD/.venv/bin/python
else python=python3
fi

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVN_BUILD_TESTS=ON \
  -DQVN_BUILD_PYTHON=ON -DQVN_BUILD_FRAME_PROBE=ON \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

pkg=build/tests/pkg
rm -rf "$pkg" && mkdir -p "$pkg"
cp -r python/quorvane_db "$pkg/"
rm -rf "$pkg/quorvane_db/_native_src"
cp build/tests/_native*.so "$pkg/quorvane_db/"
# The test-only _frame_probe extension lets pytest reach the binding frame.
cp build/tests/_frame_probe*.so "$pkg/"
PYTHONPATH="$PWD/$pkg" "$python" -m pytest -q tests/python
