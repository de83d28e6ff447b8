#!/usr/bin/env bash
# Prepares this checkout on a fresh machine: system packages, a virtual environment in
# .venv with the build and test tools, and the module built and installed into it.
#   scripts/setup.sh           what the demo needs
#   scripts/setup.sh --tests   also GoogleTest and the Python test tools
# When the module in .venv was built from the sources as they are now, nothing is redone.
# The build tree is build/venv, apart from the one a plain `pip install .` uses, so that
# neither rebuilds the other.
set -euo pipefail
cd "$(dirname "$0")/.."

with_tests=0
[ "${1:-}" = "--tests" ] && with_tests=1

# What the installed module was built from: every file that goes into the build.
sources_digest() {
    find CMakeLists.txt pyproject.toml cmake src stubs python -type f -not -name "*.pyc" -print0 | LC_ALL=C sort -z |
        xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}
stamp=.venv/.quorvane-build
wanted="$(sources_digest) tests=$with_tests"
if [ -f "$stamp" ] && [ -x .venv/bin/python ] && .venv/bin/python -c "import quorvane_core" 2>/dev/null; then
    built="$(cat "$stamp")"
    # A build made for the tests also serves the demo.
    if [ "$built" = "$wanted" ] || [ "$built" = "${wanted% tests=0} tests=1" ]; then
        { [ "$with_tests" = 0 ] || { [ -f /usr/include/gtest/gtest.h ] && dpkg -s postgresql >/dev/null 2>&1; }; } && exit 0
    fi
fi

. scripts/packages.sh
missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
# zstd and liblzma (linked statically into the module) and xxHash (used from its header) for
# compressed deltas.
[ -f /usr/include/zstd.h ] && [ -n "$(ls /usr/lib/*/libzstd.a 2>/dev/null)" ] || missing+=(libzstd-dev)
[ -f /usr/include/xxhash.h ] || missing+=(libxxhash-dev)
[ -f /usr/include/lzma.h ] && [ -n "$(ls /usr/lib/*/liblzma.a 2>/dev/null)" ] || missing+=(liblzma-dev)
if [ "$with_tests" = 1 ] && [ ! -f /usr/include/gtest/gtest.h ]; then missing+=(libgtest-dev); fi
# The version store's tests run on a PostgreSQL server too (scripts/postgres.sh starts it).
if [ "$with_tests" = 1 ]; then missing+=(postgresql); fi
install_debs "${missing[@]}"

if [ ! -x .venv/bin/python ]; then
    python3 -m venv .venv
fi
py=.venv/bin/python
$py -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=2.13,<2.14" cmake ninja
if [ "$with_tests" = 1 ]; then
    $py -m pip install -q --disable-pip-version-check pytest hypothesis cbor2 mypy "dask[distributed]" numpy \
        "psycopg[binary]>=3.1"
fi
# Build without isolation so that the build tree is reused between runs.
rm -f "$stamp"
$py -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir=build/venv .
echo "$wanted" > "$stamp"
