#!/usr/bin/env bash
# The Python tests against a module built with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/asan-pytest.sh                 build the module into build/harden-venv and run
#                                          every Python test under the sanitizers
#   scripts/asan-pytest.sh ARGS...         the same, with ARGS passed to pytest instead of
#                                          the default test selection (e.g. a single file)
#
# The module is built with -DQUORVANE_SANITIZE=address,undefined in its own build tree
# (build/harden-module) and installed into its own virtual environment (build/harden-venv),
# so the regular .venv and build trees are left alone. The interpreter itself is not
# instrumented: the ASan runtime is preloaded, Python's small-object allocator is switched
# off (PYTHONMALLOC=malloc) so that overruns of Python objects are caught too, and leak
# detection is off because the interpreter keeps memory until exit by design (the leak
# tests in tests/python/test_leaks.py cover the module's own leaks).
set -euo pipefail
cd "$(dirname "$0")/.."

venv=build/harden-venv
if [ ! -x "$venv/bin/python" ]; then
    python3 -m venv "$venv"
fi
py=$venv/bin/python
$py -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=2.13,<2.14" \
    cmake ninja pytest hypothesis cbor2

$py -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps --force-reinstall \
    -C build-dir=build/harden-module \
    -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.QUORVANE_SANITIZE=address,undefined \
    .

asan_runtime=$(gcc -print-file-name=libasan.so)
if [ ! -e "$asan_runtime" ]; then
    echo "the ASan runtime was not found (gcc -print-file-name=libasan.so gave $asan_runtime)" >&2
    exit 1
fi

# The C++ runtime is preloaded as well: the interpreter does not link it, and the sanitizer's
# interception of exception throwing needs it present from the start.
cxx_runtime=$(g++ -print-file-name=libstdc++.so.6)

if [ $# -eq 0 ]; then
    set -- tests/python -q
fi
export LD_PRELOAD="$asan_runtime $cxx_runtime"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
# Instrumented frames are several times larger; the deep-nesting tests need the room that
# an uninstrumented build has in the default 8 MiB.
ulimit -s 65536 2>/dev/null || true
exec "$py" -m pytest -p no:cacheprovider --rootdir "$PWD" -c "$PWD/pyproject.toml" "$@"
