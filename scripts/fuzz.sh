#!/usr/bin/env bash
# Fuzzing and sanitizer runs of the engine.
#
#   scripts/fuzz.sh build                   build every libFuzzer target into build/fuzz
#   scripts/fuzz.sh run TARGET SECONDS      fuzz one target (extra arguments go to libFuzzer)
#   scripts/fuzz.sh run-all SECONDS         fuzz every target in turn, SECONDS each
#   scripts/fuzz.sh check                   run every target once over its seed corpus and
#                                           the saved regression inputs (a few seconds)
#   scripts/fuzz.sh sanitize                the C++ engine tests built with address and
#                                           undefined-behaviour checks (build/asan), via ctest
#   scripts/fuzz.sh list                    the names of the targets
#   scripts/fuzz.sh loads SECONDS           fuzz cbor.loads through the binding with atheris: the
#                                           module built with clang, coverage, address and
#                                           undefined-behaviour checks into build/fuzz-venv
#
# Targets: fuzz_cbor_reader, fuzz_cbor_writer, fuzz_apply_delta, fuzz_diff_patch,
# fuzz_blocks_patch, fuzz_decompress, fuzz_compress_roundtrip (each built with
# -fsanitize=fuzzer,address,undefined). Seeds live in
# fuzz/corpus/TARGET and inputs that once failed in fuzz/regressions/TARGET; the growing
# working corpus of a run is kept in build/fuzz/corpus/TARGET, crash files go to
# build/fuzz/artifacts/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/packages.sh
fuzz_build=$root/build/fuzz

tools() {
    command -v cmake >/dev/null 2>&1 || install_debs cmake
    command -v ninja >/dev/null 2>&1 || install_debs ninja-build
}

build() {
    tools
    install_debs clang libclang-rt-14-dev
    CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=OFF -DQUORVANE_BUILD_FUZZERS=ON \
        -DQUORVANE_SANITIZE=address,undefined >/dev/null
    cmake --build "$fuzz_build"
}

targets() {
    local t
    for t in fuzz_cbor_reader fuzz_cbor_writer fuzz_apply_delta fuzz_diff_patch fuzz_blocks_patch \
             fuzz_decompress fuzz_compress_roundtrip; do
        [ -x "$fuzz_build/fuzz/$t" ] && echo "$t"
    done
    return 0
}

binary() {
    local bin="$fuzz_build/fuzz/$1"
    if [ ! -x "$bin" ]; then
        echo "no such fuzz target: $1 (built: $(targets | tr '\n' ' '))" >&2
        exit 2
    fi
    echo "$bin"
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

run() {
    local target=$1 seconds=$2
    shift 2
    local bin
    bin=$(binary "$target")
    local corpus=$fuzz_build/corpus/$target artifacts=$fuzz_build/artifacts/$target
    mkdir -p "$corpus" "$artifacts"
    local seeds=()
    [ -d "fuzz/corpus/$target" ] && seeds+=("fuzz/corpus/$target")
    [ -d "fuzz/regressions/$target" ] && seeds+=("fuzz/regressions/$target")
    # The reader's diagnostics for unimplemented codes would flood the log: closing the
    # target's stderr (-close_fd_mask=2) keeps libFuzzer's own report and crash output.
    "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=65536 \
        -print_final_stats=1 -close_fd_mask=2 -artifact_prefix="$artifacts/" "$@" "$corpus" "${seeds[@]}"
}

check() {
    local t status=0
    for t in $(targets); do
        local inputs=()
        [ -d "fuzz/corpus/$t" ] && inputs+=("fuzz/corpus/$t")
        [ -d "fuzz/regressions/$t" ] && inputs+=("fuzz/regressions/$t")
        [ ${#inputs[@]} -eq 0 ] && continue
        echo "== $t"
        "$fuzz_build/fuzz/$t" -runs=0 -close_fd_mask=2 "${inputs[@]}" 2>&1 | grep -E 'INFO: .*(Loaded|seed)|Done|ERROR|SUMMARY' || true
        "$fuzz_build/fuzz/$t" -runs=0 -close_fd_mask=2 "${inputs[@]}" >/dev/null 2>&1 || { echo "FAILED: $t"; status=1; }
    done
    return $status
}

sanitize() {
    tools
    [ -f /usr/include/gtest/gtest.h ] || install_debs libgtest-dev
    cmake -S "$root" -B "$root/build/asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVANE_SANITIZE=address,undefined -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON >/dev/null
    cmake --build "$root/build/asan"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$root/build/asan" --output-on-failure -j2
}

# cbor.loads touches Python, so it is fuzzed through the binding: atheris drives libFuzzer
# from Python, and its preloaded sanitizer runtime serves the instrumented module. That
# runtime has no handlers for the checks of C++ dynamic types and of function pointer
# types, so those two checks are left out.
loads_venv=$root/build/fuzz-venv

loads_build() {
    tools
    install_debs clang libclang-rt-14-dev
    [ -x "$loads_venv/bin/python" ] || python3 -m venv "$loads_venv"
    local py=$loads_venv/bin/python
    $py -m pip install -q --disable-pip-version-check atheris "scikit-build-core>=0.10" "pybind11>=2.13,<2.14" \
        cmake ninja
    CC=clang CXX=clang++ $py -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
        --force-reinstall -C build-dir=build/fuzz-module -C cmake.build-type=RelWithDebInfo \
        -C cmake.define.QUORVANE_SANITIZE= \
        -C "cmake.define.CMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr,function $(
            )-fno-sanitize-recover=all -fno-omit-frame-pointer" .
}

loads_run() {
    local seconds=$1
    shift
    loads_build
    local py=$loads_venv/bin/python
    local runtime
    runtime=$($py -c "import atheris, os; print(os.path.join(atheris.path(), 'asan_with_fuzzer.so'))")
    local corpus=$fuzz_build/corpus/fuzz_loads artifacts=$fuzz_build/artifacts/fuzz_loads
    mkdir -p "$corpus" "$artifacts"
    local seeds=(fuzz/corpus/fuzz_loads)
    [ -d fuzz/regressions/fuzz_loads ] && seeds+=(fuzz/regressions/fuzz_loads)
    # Leak detection stays off: the interpreter keeps memory until exit by design (the leak
    # tests cover the decoder's own); PYTHONMALLOC=malloc lets ASan see every object.
    LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
        ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        $py fuzz/fuzz_loads.py -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$corpus" "${seeds[@]}"
}

case "${1:-}" in
    build) build ;;
    loads)
        [ $# -ge 2 ] || { echo "usage: $0 loads SECONDS [libFuzzer options]" >&2; exit 2; }
        seconds=$2
        shift 2
        loads_run "$seconds" "$@"
        ;;
    run)
        [ $# -ge 3 ] || { echo "usage: $0 run TARGET SECONDS [libFuzzer options]" >&2; exit 2; }
        target=$2 seconds=$3
        shift 3
        run "$target" "$seconds" "$@"
        ;;
    run-all)
        [ $# -ge 2 ] || { echo "usage: $0 run-all SECONDS" >&2; exit 2; }
        for t in $(targets); do run "$t" "$2"; done
        ;;
    check) check ;;
    sanitize) sanitize ;;
    list) targets ;;
    *)
        sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
        exit 2
        ;;
esac
