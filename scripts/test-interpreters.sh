#!/usr/bin/env bash
# The wheel on every supported interpreter: for each CPython from 3.8 to 3.13 found here
# (pyenv's versions, else pythonX.Y on the PATH), builds the wheel, installs it into a clean
# virtual environment and runs the Python tests against that install, from a folder where the
# source tree cannot shadow it; then the tests under PyPy (scripts/pypy-test.sh).
#   scripts/test-interpreters.sh                 every supported interpreter found, then PyPy
#   scripts/test-interpreters.sh 3.8 3.13        only these CPython versions (no PyPy)
#   scripts/test-interpreters.sh pypy            only PyPy
# Fails when no CPython besides the one running the main tests is found. The build trees and
# wheels stay in build/interpreters/ (a second run rebuilds only what changed); the test
# environments are made afresh each time.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

. scripts/interpreters.sh
if [ $# -gt 0 ]; then
    wanted=("$@")
else
    wanted=("${supported[@]}" pypy)
fi

main_version=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')

# The whole suite on the oldest and the newest supported CPython; on the versions between
# them and on PyPy, whose interpreters differ from those only in ways the extension's surface
# shows, the tests of that surface (encoders, decoder, deltas, buffers, pickling, bad input);
# on the main one, which the main run has just tested whole, the installation check alone; so
# that the test command stays well inside CI's time.
surface_tests() {
    local name
    for name in test_cbor test_encode test_loads test_loads_types test_delta test_blocks test_compress \
                test_frames test_buffers test_outbuf_sequence test_pickling test_bad_input test_call_errors; do
        echo "$repo/tests/python/$name.py"
    done
}
tests_for() {
    if [ "$1" = "${supported[0]}" ] || [ "$1" = "${supported[-1]}" ]; then
        echo "$repo/tests/python"
    elif [ "$1" != "$main_version" ]; then
        surface_tests
    fi
}
timings=()
others=0
ran_pypy=0
for version in "${wanted[@]}"; do
    if [ "$version" = pypy ]; then
        ran_pypy=1
        continue
    fi
    py=$(find_python "$version")
    if [ -z "$py" ]; then
        echo "== CPython $version: not found, skipped"
        continue
    fi
    [ "$version" = "$main_version" ] || others=$((others + 1))
    start=$SECONDS
    here=build/interpreters/$version
    echo "== CPython $version ($py): wheel"
    # The build tools live in an environment of their own, kept between runs, so that the
    # wheel's build tree (build/<wheel tag>, see pyproject.toml) is reused.
    [ -x "$here/tools/bin/python" ] || "$py" -m venv "$here/tools"
    "$here/tools/bin/python" -m pip install -q --disable-pip-version-check \
        "scikit-build-core>=0.10" "pybind11>=2.13,<2.14" cmake ninja
    rm -rf "$here/dist"
    "$here/tools/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
        -w "$here/dist" .
    wheel=$(ls "$here"/dist/*.whl)

    echo "== CPython $version: tests against $(basename "$wheel") in a clean environment"
    rm -rf "$here/test"
    "$py" -m venv "$here/test"
    "$here/test/bin/python" -m pip install -q --disable-pip-version-check "$wheel" pytest hypothesis cbor2 mypy
    work=$(mktemp -d)
    (
        cd "$work"
        "$repo/$here/test/bin/python" - <<'EOF'
import pathlib, sysconfig
import quorvane, quorvane_core
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
for module in (quorvane_core, quorvane):
    where = pathlib.Path(module.__file__).resolve()
    assert site in where.parents, f"{module.__name__} comes from {where}, not from {site}"
for installed in (site / "quorvane_core-stubs" / "__init__.pyi", pathlib.Path(sysconfig.get_paths()["scripts"]) / "quorvane"):
    assert installed.is_file(), f"the wheel did not install {installed}"
EOF
        tests=$(tests_for "$version")
        [ -z "$tests" ] || "$repo/$here/test/bin/python" -m pytest -q -p no:cacheprovider \
            -c "$repo/pyproject.toml" --rootdir "$repo" $tests
    )
    rm -rf "$work"
    timings+=("CPython $version: $((SECONDS - start)) s")
done

if [ $# -eq 0 ] && [ "$others" -eq 0 ]; then
    echo "no CPython other than $main_version found (looked for ${supported[*]} under pyenv and on the PATH)" >&2
    exit 1
fi

if [ "$ran_pypy" = 1 ]; then
    start=$SECONDS
    echo "== PyPy"
    bash scripts/pypy-test.sh $(surface_tests)
    timings+=("PyPy: $((SECONDS - start)) s")
fi

echo "== interpreters, wall-clock time each:"
printf '   %s\n' "${timings[@]}"
