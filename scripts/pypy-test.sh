#!/usr/bin/env bash
# Builds the module for PyPy (Debian's pypy3) and runs the Python tests under it:
#   scripts/pypy-test.sh [TEST FILE...]     (all of tests/python when none are named)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/packages.sh
install_debs pypy3 pypy3-dev pypy3-venv g++
[ -x build/pypy-venv/bin/python ] || pypy3 -m venv build/pypy-venv
py=build/pypy-venv/bin/python
$py -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=2.13,<2.14" cmake ninja \
    pytest hypothesis cbor2
$py -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
# The tests named (all of tests/python when none are).
if [ $# -eq 0 ]; then set -- tests/python; fi
$py -m pytest -q -p no:cacheprovider "$@"
