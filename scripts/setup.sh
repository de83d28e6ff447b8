#!/usr/bin/env bash
# Prepares this checkout on a fresh machine: system packages, a virtual environment in
# .venv with the build and test tools, and the module built and installed into it.
#   scripts/setup.sh           what the demo needs
#   scripts/setup.sh --tests   also GoogleTest and the Python test tools
set -euo pipefail
cd "$(dirname "$0")/.."

with_tests=0
[ "${1:-}" = "--tests" ] && with_tests=1

. scripts/packages.sh
missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
if [ "$with_tests" = 1 ] && [ ! -f /usr/include/gtest/gtest.h ]; then missing+=(libgtest-dev); fi
install_debs "${missing[@]}"

if [ ! -x .venv/bin/python ]; then
    python3 -m venv .venv
fi
py=.venv/bin/python
$py -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=2.13,<2.14" cmake ninja
if [ "$with_tests" = 1 ]; then
    $py -m pip install -q --disable-pip-version-check pytest hypothesis cbor2 mypy
fi
# Build without isolation so that the build tree in build/ is reused between runs.
$py -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
