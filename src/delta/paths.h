// The implementations of the diff search's wave passes and the run-time choice among them
// (the list itself is in paths.cpp).
#pragma once

namespace quorvane {

// The implementations of the search's wave passes. The portable one is the reference and the
// only one on processors other than x86-64; the others give exactly its bytes, faster.
enum DiffPath : int {
    DIFF_PATH_PORTABLE = 0,
    DIFF_PATH_AVX2 = 1,    // 8 diagonals per vector step
    DIFF_PATH_AVX512 = 2,  // 16 diagonals per vector step
};

// Whether this build and processor can take a path.
bool diff_path_available(DiffPath path);
// The path every diff takes: the fastest available one unless a test or the benchmark chose
// another with diff_set_path (false, and nothing changed, for an unavailable path). Not a
// user setting: the bytes are the same on every path.
DiffPath diff_path();
bool diff_set_path(DiffPath path);
const char* diff_path_name(DiffPath path);

}  // namespace quorvane
