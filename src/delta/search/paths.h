// The implementations of the diff search's wave passes and the run-time choice among them
// (the list itself is in paths.cpp).
#pragma once

namespace quorvane {

// The implementations of the search's wave passes. Every one gives exactly the reference's
// bytes. The portable one is the only one on processors other than x86-64; the reference (the
// search written out literally, bytes compared where they lie) is never chosen by default and
// is there for the tests and the fuzz targets to check the others against.
enum DiffPath : int {
    DIFF_PATH_PORTABLE = 0,   // one diagonal at a time, first bytes from the store's windows
    DIFF_PATH_AVX2 = 1,       // 8 diagonals per vector step
    DIFF_PATH_AVX512 = 2,     // 16 diagonals per vector step
    DIFF_PATH_REFERENCE = 3,
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
