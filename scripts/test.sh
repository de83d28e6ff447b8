#!/usr/bin/env bash
# Builds everything and runs every test: the C++ engine tests (ctest) and the Python tests of
# the module (pytest), then the wheel on every supported interpreter (scripts/test-interpreters.sh),
# then the other processors and systems (scripts/test-platforms.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

part_start=$SECONDS
part() {  # the time of each part, for CI's log
    echo "== $1: $((SECONDS - part_start)) s"
    part_start=$SECONDS
}

bash scripts/setup.sh --tests
export PATH="$PWD/.venv/bin:$PATH"
part "setup (the module into .venv)"

cmake -S . -B build/engine -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/engine
ctest --test-dir build/engine --output-on-failure -j2
part "engine tests"

# The engine tests again, built with address and undefined-behaviour sanitizers.
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=address,undefined \
      -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/asan
ctest --test-dir build/asan --output-on-failure -j2
part "engine tests under the sanitizers"

export QUORVANE_TEST_POSTGRES="$(bash scripts/postgres.sh)"  # the version store's tests use it
QUORVANE_REQUIRE_POSTGRES=1 python -m pytest -q
part "Python tests"

bash scripts/test-interpreters.sh
part "the wheel on every interpreter"

bash scripts/test-platforms.sh
part "aarch64 (qemu), Windows (Wine), macOS (linked only)"
