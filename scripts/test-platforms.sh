#!/usr/bin/env bash
# The other processors and systems, emulated on this x86-64 Linux machine:
#   aarch64   the engine tests (ctest) built with Debian's aarch64 cross compiler and run under
#             qemu; the aarch64 wheel for CPython 3.11 (scripts/build-wheels.sh) installed for
#             Debian's arm64 CPython 3.11 and the Python tests run under qemu
#   windows   the engine tests built with mingw-w64 (64-bit Windows) and run under Wine
#   macos     the engine library and the engine tests cross-compiled and linked with zig, for
#             x86-64 and arm64 macOS (nothing runs them); only when asked for
#   scripts/test-platforms.sh                aarch64 and windows
#   scripts/test-platforms.sh aarch64 ...    only these parts (aarch64-engine, aarch64-python,
#                                            windows, macos; aarch64 is both of its parts)
# Build trees under build/platforms/; the tools and libraries are built once and kept.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
. scripts/packages.sh
install_debs dpkg-dev libxxhash-dev googletest qemu-user g++-aarch64-linux-gnu g++-mingw-w64-x86-64 wine64
. scripts/cross.sh
cross_tools

if [ $# -gt 0 ]; then parts=("$@"); else parts=(aarch64 windows); fi
[[ " ${parts[*]} " == *" aarch64 "* ]] && parts+=(aarch64-engine aarch64-python)
wants() { [[ " ${parts[*]} " == *" $1 "* ]]; }
timings=()

# GoogleTest from Debian's sources (/usr/src/googletest), built with toolchain $2 into the
# prefix $1.
gtest_for() {
    local prefix=$1 toolchain=$2 work="$platforms/deps-build/gtest-$(basename "$1")"
    [ -f "$prefix/.gtest-ready" ] && return 0
    cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF \
        -DINSTALL_GTEST=ON >/dev/null
    cmake --build "$work" >/dev/null
    cmake --install "$work" >/dev/null
    rm -rf "$work"
    touch "$prefix/.gtest-ready"
}

# The engine tests of build tree $1 for toolchain $2 with the libraries in prefix $3, run by
# the emulator $4 (a CMake list); further arguments go to CMake. CTEST_ARGS: more for ctest.
engine_tests() {
    local tree=$1 toolchain=$2 deps=$3 emulator=$4
    shift 4
    cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_FIND_ROOT_PATH="$deps" -DCMAKE_PREFIX_PATH="$deps" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" "$@" >/dev/null
    cmake --build "$tree"
    [ -z "$emulator" ] || ctest --test-dir "$tree" --output-on-failure -j2 --timeout 1200 ${CTEST_ARGS:-}
}

if wants aarch64-engine; then
    start=$SECONDS
    echo "== aarch64: engine tests under qemu"
    # zstd and liblzma as the aarch64 wheels link them (built by zig for glibc 2.17, which
    # the cross compiler's newer glibc also links).
    deps=$(static_deps zig-aarch64-linux-gnu.2.17 "$(zig_toolchain aarch64-linux-gnu.2.17)")
    toolchain=$(gcc_toolchain gcc-aarch64 Linux aarch64 aarch64-linux-gnu)
    gtest_for "$platforms/deps/gtest-aarch64" "$toolchain"
    engine_tests "$platforms/engine-aarch64" "$toolchain" "$deps;$platforms/deps/gtest-aarch64" \
        "qemu-aarch64;-L;/usr/aarch64-linux-gnu"
    timings+=("aarch64 engine tests (build and run): $((SECONDS - start)) s")
fi

if wants windows; then
    start=$SECONDS
    echo "== 64-bit Windows: engine tests under Wine"
    # (The compilers of the POSIX thread model: those of the win32 model have no std::mutex,
    # which GoogleTest uses.)
    toolchain=$(gcc_toolchain mingw-x86_64 Windows AMD64 x86_64-w64-mingw32 -posix)
    deps=$(static_deps mingw-x86_64 "$toolchain")
    gtest_for "$deps" "$toolchain"
    export WINEPREFIX="$platforms/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    [ -d "$WINEPREFIX" ] || wineboot --init >/dev/null 2>&1 || true
    # One wine server for the whole run: test programs started while a server of their own
    # was still starting or stopping were seen to die with "wine client error ... Connection
    # reset by peer". A test that dies so is run once more (a real failure fails twice).
    # (A server left by a run that failed half-way is stopped first: waiting for it would wait
    # for ever, as it is persistent.) Wine's own services are started here too, by a program
    # run outside CMake: started by the first test program instead, under the listing of the
    # tests, they hold its output pipe open, and the listing waits for them until it times out.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    wineserver -p 2>/dev/null || true
    trap 'wineserver -k 2>/dev/null || true' EXIT
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
    # Linked statically (the C++ runtime too), so that the programs need no DLL beside them.
    CTEST_ARGS="--repeat until-pass:2" engine_tests "$platforms/engine-windows" "$toolchain" "$deps" "wine" \
        -DCMAKE_EXE_LINKER_FLAGS="-static"
    wineserver -k 2>/dev/null || true
    timings+=("Windows engine tests (build and run): $((SECONDS - start)) s")
fi

if wants macos; then
    for target in x86_64-macos aarch64-macos; do
        start=$SECONDS
        echo "== $target: the engine library and its tests, linked (not run)"
        toolchain=$(zig_toolchain "$target")
        deps=$(static_deps "zig-$target" "$toolchain")
        gtest_for "$deps" "$toolchain"
        engine_tests "$platforms/engine-$target" "$toolchain" "$deps" ""
        file "$platforms/engine-$target/tests/cpp/engine_tests"
        timings+=("$target engine tests (linked only): $((SECONDS - start)) s")
    done
fi

if wants aarch64-python; then
    start=$SECONDS
    version=3.11
    echo "== aarch64: the CPython $version wheel's Python tests under qemu"
    ARCHS=aarch64 SDIST=0 bash scripts/build-wheels.sh "$version"
    wheel=$(ls dist/quorvane_core-*-cp311-*manylinux*aarch64*.whl)
    root=$(debian_arm64 python3.11 libpython3.11-dev)  # as build-wheels.sh asks, one unpacking
    here="$platforms/python-aarch64"
    rm -rf "$here" && mkdir -p "$here"
    # The wheel and the test tools for the aarch64 interpreter, installed by this machine's pip.
    python3 -m pip install -q --disable-pip-version-check --target "$here/site" \
        --platform manylinux2014_aarch64 --python-version "$version" --only-binary=:all: \
        "$wheel" pytest hypothesis cbor2
    # sys.executable of the emulated interpreter: a script that runs it under qemu, so that
    # the tests that start a Python subprocess start this one.
    cat > "$here/python" <<EOF
#!/bin/sh
QUORVANE_EMULATED=qemu PYTHONHOME="$root/usr" PYTHONPATH="$here/site" exec qemu-aarch64 -L "$root" -0 "$here/python" "$root/usr/bin/python$version" "\$@"
EOF
    chmod +x "$here/python"
    work=$(mktemp -d)
    # The tests of the native code's surface; left out under emulation, to keep the part
    # bounded: the command line and the demo (subprocesses, each a new emulated interpreter),
    # threads and the dask cluster, the leak loops, the hostile values (deep nesting), the
    # type checks (mypy reads no native code), the README and help texts.
    tests=(test_cbor test_encode test_loads test_buffers test_bad_input test_delta test_blocks
           test_compress test_pickling)
    (cd "$work" && "$here/python" -m pytest -q -p no:cacheprovider -c "$repo/pyproject.toml" \
        --rootdir "$repo" $(printf "$repo/tests/python/%s.py " "${tests[@]}") --hypothesis-profile=emulated)
    # (QUORVANE_EMULATED skips the tests that limit the address space with setrlimit, which
    # qemu does not pass on to the emulated program.)
    rm -rf "$work"
    timings+=("aarch64 Python tests (CPython $version under qemu, with its wheel): $((SECONDS - start)) s")
fi

echo "== platforms, wall-clock time each:"
printf '   %s\n' "${timings[@]}"
