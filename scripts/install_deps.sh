#!/usr/bin/env bash
# Installs everything a fresh Debian or Ubuntu machine needs to build, use and
# test Quorvane, then installs the package itself:
#   - compiler, CMake, Ninja and the libraries, through apt-get (as root, or
#     through sudo when run by another user);
#   - a Python virtual environment in .venv at the top of this checkout with
#     NumPy, pytest and the quorvane_db package. Debian's system Python
#     refuses pip installs (PEP 668), so nothing goes there; tests/run_all.sh
#     picks .venv up by itself.
# Extra apt packages may be named as arguments (CI adds the clang toolchain).
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" != "0" ]; then
  command -v sudo >/dev/null || { echo "run as root or install sudo" >&2; exit 1; }
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config \
  libeigen3-dev libarchive-dev libssl-dev libgtest-dev libgmock-dev \
  python3 python3-dev python3-venv "$@" >/dev/null

python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q numpy pytest
.venv/bin/python -m pip install -q .
