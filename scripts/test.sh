#!/usr/bin/env bash
# Builds everything and runs every test: the C++ engine tests (ctest) and the Python
# tests of the module (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --tests
export PATH="$PWD/.venv/bin:$PATH"

cmake -S . -B build/engine -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/engine
ctest --test-dir build/engine --output-on-failure -j2

# The engine tests again, built with address and undefined-behaviour sanitizers.
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=address,undefined \
      -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/asan
ctest --test-dir build/asan --output-on-failure -j2

python -m pytest -q
