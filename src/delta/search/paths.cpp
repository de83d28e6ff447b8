// The list of implementations of the diff search's wave passes, and the choice among them:
// every question about a path (is it available, what is it called, which kernels does it
// run, which one is the default) is answered from this one table.
#include "delta/search/paths.h"

#include "common/cpu.h"

#include "delta/search/wave.h"

namespace quorvane {
namespace {

struct Implementation {
    DiffPath path;
    const char* name;
    // Whether this build has the path and this processor can run it (builds without the x86
    // kernels, MSVC's among them, answer false for every vector path).
    bool (*supported)();
    // The path's kernels; null for the reference path, which runs the reference search of
    // diff.cpp over its own store.
    const wave::WaveKernels* (*kernels)();
};

bool always() { return true; }
const wave::WaveKernels* reference_search() { return nullptr; }
const wave::WaveKernels* portable_kernels() { return &wave::PORTABLE_KERNELS; }
bool avx2_supported() { return wave::avx2_kernels() != nullptr && cpu_has_avx2(); }
bool avx512_supported() { return wave::avx512_kernels() != nullptr && cpu_has_avx512(); }

// Fastest first: the default path is the first supported one, the portable one at the latest.
// The reference, last, is never the default; every other path gives its bytes.
const Implementation IMPLEMENTATIONS[] = {
    {DIFF_PATH_AVX512, "avx512", avx512_supported, wave::avx512_kernels},
    {DIFF_PATH_AVX2, "avx2", avx2_supported, wave::avx2_kernels},
    {DIFF_PATH_PORTABLE, "portable", always, portable_kernels},
    {DIFF_PATH_REFERENCE, "reference", always, reference_search},
};

const Implementation* find(DiffPath path) {
    for (const Implementation& implementation : IMPLEMENTATIONS) {
        if (implementation.path == path) return &implementation;
    }
    return nullptr;
}

ChosenPath chosen_path;

}  // namespace

bool diff_path_available(DiffPath path) {
    const Implementation* implementation = find(path);
    return implementation != nullptr && implementation->supported();
}

bool diff_set_path(DiffPath path) { return chosen_path.set(path, diff_path_available(path)); }

DiffPath diff_path() {
    return static_cast<DiffPath>(chosen_path.get([] {
        for (const Implementation& implementation : IMPLEMENTATIONS) {
            if (implementation.supported()) return static_cast<int>(implementation.path);
        }
        return static_cast<int>(DIFF_PATH_PORTABLE);
    }));
}

const char* diff_path_name(DiffPath path) {
    const Implementation* implementation = find(path);
    return implementation != nullptr ? implementation->name : "?";
}

namespace wave {

const WaveKernels* path_kernels(DiffPath path) {
    const Implementation* implementation = find(path);
    return implementation != nullptr ? implementation->kernels() : nullptr;
}

}  // namespace wave
}  // namespace quorvane
