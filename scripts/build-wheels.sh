#!/usr/bin/env bash
# Release wheels and the source distribution, into dist/.
#   scripts/build-wheels.sh                     every CPython 3.8-3.13 found, x86-64 and aarch64
#   scripts/build-wheels.sh 3.11                only these versions (both architectures)
#   ARCHS=aarch64 scripts/build-wheels.sh 3.11  only this architecture
#   SDIST=0 scripts/build-wheels.sh ...         no source distribution
# The wheels are manylinux_2_17 (glibc 2.17 and newer): zig compiles the module for that glibc,
# on x86-64 and across to aarch64, with zstd and liblzma built by the same compiler from
# Debian's sources and linked in statically; auditwheel checks each wheel and gives it its
# manylinux tag. For aarch64 the interpreter's headers come from Debian's arm64 package for
# 3.11; for the other versions they are the x86-64 build's headers with the two x86-only lines
# of pyconfig.h removed (the rest of pyconfig.h is the same on both 64-bit Linux targets).
# Each wheel is built by the CPython of its version found here (scripts/interpreters.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
. scripts/packages.sh
# dpkg-source unpacks Debian's sources; the xxHash header is used from the system.
install_debs dpkg-dev libxxhash-dev
. scripts/interpreters.sh
. scripts/cross.sh
cross_tools

glibc=2.17
read -r -a archs <<< "${ARCHS:-x86_64 aarch64}"
if [ $# -gt 0 ]; then versions=("$@"); else versions=("${supported[@]}"); fi

mkdir -p dist
timings=()
if [ "${SDIST:-1}" = 1 ]; then  # SDIST=0: the wheels alone
    start=$SECONDS
    echo "== source distribution"
    rm -f dist/quorvane_core-*.tar.gz
    "$cross_python" -m build --sdist --no-isolation --outdir dist . >/dev/null
    timings+=("source distribution: $((SECONDS - start)) s")
fi

# The interpreter headers for an aarch64 build of version $1 (prints the folder).
aarch64_headers() {
    local version=$1 py=$2 out="$platforms/headers/aarch64-$1"
    if [ ! -f "$out/pyconfig.h" ]; then
        rm -rf "$out" && mkdir -p "$out"
        if [ "$version" = 3.11 ]; then
            local root
            root=$(debian_arm64 python3.11 libpython3.11-dev)  # as test-platforms.sh asks
            cp -r "$root/usr/include/python3.11/." "$out/"
            cp "$root/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$out/pyconfig.h"
        else
            cp -r "$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/." "$out/"
            sed -i -E '/^#define HAVE_GCC_ASM_FOR_X(64|87) 1$/d' "$out/pyconfig.h"
        fi
    fi
    echo "$out"
}

for arch in "${archs[@]}"; do
    start=$SECONDS
    target="$arch-linux-gnu.$glibc"
    toolchain=$(zig_toolchain "$target")
    echo "== $arch: zstd and liblzma for glibc $glibc"
    deps=$(static_deps "zig-$target" "$toolchain")
    timings+=("$arch libraries: $((SECONDS - start)) s")
    for version in "${versions[@]}"; do
        start=$SECONDS
        py=$(find_python "$version")
        if [ -z "$py" ]; then
            echo "== CPython $version: not found, no wheels"
            continue
        fi
        here="$platforms/wheels/$version"
        [ -x "$here/tools/bin/python" ] || "$py" -m venv "$here/tools"
        "$here/tools/bin/python" -m pip install -q --disable-pip-version-check \
            "scikit-build-core>=0.10" "pybind11>=2.13,<2.14" cmake ninja
        settings=(--config-settings=build-dir="$platforms/wheels/$version/build-$arch"
                  --config-settings=cmake.define.CMAKE_FIND_ROOT_PATH="$deps"
                  --config-settings=cmake.define.CMAKE_PREFIX_PATH="$deps"
                  --config-settings=cmake.define.pybind11_DIR="$("$here/tools/bin/python" -m pybind11 --cmakedir)")
        cross_env=(CMAKE_TOOLCHAIN_FILE="$toolchain")
        tag=$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
        if [ "$arch" != "$(uname -m)" ]; then
            cross_env+=(_PYTHON_HOST_PLATFORM="linux-$arch"
                        SETUPTOOLS_EXT_SUFFIX=".cpython-$tag-$arch-linux-gnu.so")
            # (pybind11 would name the module by the running x86-64 interpreter.)
            settings+=(--config-settings=cmake.define.Python_INCLUDE_DIR="$(aarch64_headers "$version" "$py")"
                       --config-settings=cmake.define.PYTHON_MODULE_EXTENSION=".cpython-$tag-$arch-linux-gnu.so"
                       --config-settings=cmake.define.PYTHON_MODULE_DEBUG_POSTFIX=)
        fi
        echo "== CPython $version, $arch: wheel"
        rm -rf "$here/raw-$arch"
        env "${cross_env[@]}" "$here/tools/bin/python" -m pip wheel -q --disable-pip-version-check \
            --no-build-isolation --no-deps "${settings[@]}" -w "$here/raw-$arch" .
        wheel=$(ls "$here/raw-$arch"/*.whl)
        if ! "$cross_python" -m zipfile -l "$wheel" | grep -q "quorvane_core\.cpython-$tag-$arch-linux-gnu\.so"; then
            echo "$wheel: the module is not named for $arch" >&2
            exit 1
        fi
        rm -f dist/quorvane_core-*-cp"$tag"-*"$arch".whl
        # (auditwheel takes the tag from the wheel: its --plat names only this machine's
        # processor's tags.)
        "$cross_python" -m auditwheel repair -w dist "$wheel" 2>&1 | grep -v WARNING
        ls dist/quorvane_core-*-cp"$tag"-*manylinux_2_17_"$arch".whl >/dev/null
        timings+=("CPython $version $arch wheel: $((SECONDS - start)) s")
    done
done

echo "== dist/:"
ls -1 dist
for wheel in dist/*.whl; do
    "$cross_python" -m auditwheel show "$wheel" | tr '\n' ' ' | sed -E 's/ +/ /g'
    echo
done
echo "== wheels, wall-clock time each:"
printf '   %s\n' "${timings[@]}"
