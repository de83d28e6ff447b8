// Patch: rebuilds a new value from an old value and a delta.
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "common/stop.h"

namespace quorvane {

enum PatchFailure : int {
    PATCH_FAILURE_NONE = 0,
    PATCH_FAILURE_BROKEN_MATCH,         // a match offset not followed by a length
    PATCH_FAILURE_MATCH_OUT_OF_RANGE,   // a match reaching past the end of the old value
    PATCH_FAILURE_INDEFINITE_STRING,    // an indefinite-length string head
    PATCH_FAILURE_TRUNCATED,            // an item cut short by the end of the delta
    PATCH_FAILURE_TOO_LARGE,            // a value of 2^31 bytes or more
    PATCH_FAILURE_NO_MEMORY,
    PATCH_FAILURE_CANCELLED,            // the stop check said stop
};

struct PatchError {
    PatchFailure failure;
    std::uint64_t offset;  // byte of the delta where the bad entry starts
};

// Largest old value, delta and result that patch handles.
constexpr std::uint64_t PATCH_MAX_LENGTH = 0x7FFFFFFF;

// A new vector with the new value (free it with byte_vector_free), or null with *error set
// (error may be null). The delta that is exactly the byte F6 yields a copy of the old value.
// `stop`, when given, is asked every few milliseconds (PATCH_FAILURE_CANCELLED when it says stop).
ByteVector* apply_delta(const ByteVector* old_value, const ByteVector* delta, PatchError* error = nullptr,
                        const StopCheck* stop = nullptr);

// Short description of a failure.
const char* patch_failure_text(PatchFailure failure);

}  // namespace quorvane
