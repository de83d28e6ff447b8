#include "delta/raw/patch.h"

#include <cstring>

#include "cbor/reader.h"

namespace quorvane {

const char* patch_failure_text(PatchFailure failure) {
    switch (failure) {
        case PATCH_FAILURE_NONE: return "no failure";
        case PATCH_FAILURE_BROKEN_MATCH: return "match offset is not followed by a length";
        case PATCH_FAILURE_MATCH_OUT_OF_RANGE: return "match reaches past the end of the old value";
        case PATCH_FAILURE_INDEFINITE_STRING: return "indefinite-length string";
        case PATCH_FAILURE_TRUNCATED: return "item cut short by the end of the delta";
        case PATCH_FAILURE_TOO_LARGE: return "result would be 2 GiB (2147483648 bytes) or more";
        case PATCH_FAILURE_NO_MEMORY: return "out of memory";
        case PATCH_FAILURE_CANCELLED: return "stopped";
    }
    return "unknown failure";
}

namespace {

ByteVector* reject(ByteVector* result, PatchError* error, PatchFailure failure, std::uint64_t offset) {
    byte_vector_free(result);
    if (error != nullptr) *error = PatchError{failure, offset};
    return nullptr;
}

// Bytes copied between two ticks of a long copy (a few milliseconds of memcpy at most).
constexpr std::uint64_t COPY_SLICE = std::uint64_t{1} << 24;

// Copies count bytes to destination a slice at a time, booking them with the ticker; false
// when it says stop.
bool copy_bytes(std::uint8_t* destination, const std::uint8_t* source, std::uint64_t count, WorkTicker* ticker) {
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t slice = count - done < COPY_SLICE ? count - done : COPY_SLICE;
        std::memcpy(destination + done, source + done, static_cast<std::size_t>(slice));
        done += slice;
        if (!ticker->tick(slice)) return false;
    }
    return true;
}

// Walks the delta entry by entry, calling copy(source, count) for every run of bytes the
// new value gets (old bytes of a match, content of an insert). Stops at the first bad entry
// and when the ticker (which books a unit per byte of the delta) says stop.
template <typename Copy>
PatchError walk_delta(const ByteVector* old_value, const ByteVector* delta, WorkTicker* ticker, Copy copy) {
    CborCursor cursor{delta->data, delta->length, delta->data};
    for (;;) {
        const std::uint64_t entry = static_cast<std::uint64_t>(cursor.position - cursor.start);
        if (!ticker->tick(8)) return PatchError{PATCH_FAILURE_CANCELLED, entry};
        CborView item;
        const CborReadStatus status = cbor_read_view(&cursor, &item);
        if (status == CBOR_READ_END) return PatchError{PATCH_FAILURE_NONE, 0};
        if (status != CBOR_READ_OK) return PatchError{PATCH_FAILURE_TRUNCATED, entry};
        if (item.major_type == 0) {
            const std::uint64_t offset = item.value;
            CborView length;
            if (cbor_read_view(&cursor, &length) != CBOR_READ_OK || length.major_type != 0) {
                return PatchError{PATCH_FAILURE_BROKEN_MATCH, entry};
            }
            if (offset > old_value->length || length.value > old_value->length - offset) {
                return PatchError{PATCH_FAILURE_MATCH_OUT_OF_RANGE, entry};
            }
            if (length.value != 0 && !copy(old_value->data + offset, length.value)) {
                return PatchError{ticker->stopped() ? PATCH_FAILURE_CANCELLED : PATCH_FAILURE_TOO_LARGE, entry};
            }
        } else if (item.major_type == 2 || item.major_type == 3) {
            if (item.length < 0) return PatchError{PATCH_FAILURE_INDEFINITE_STRING, entry};
            if (item.length != 0 && !copy(item.content, static_cast<std::uint64_t>(item.length))) {
                return PatchError{ticker->stopped() ? PATCH_FAILURE_CANCELLED : PATCH_FAILURE_TOO_LARGE, entry};
            }
        }
        // Every other item contributes nothing.
    }
}

}  // namespace

ByteVector* apply_delta(const ByteVector* old_value, const ByteVector* delta, PatchError* error,
                        const StopCheck* stop) {
    if (error != nullptr) *error = PatchError{PATCH_FAILURE_NONE, 0};
    if (old_value->length > PATCH_MAX_LENGTH || delta->length > PATCH_MAX_LENGTH) {
        return reject(nullptr, error, PATCH_FAILURE_TOO_LARGE, 0);
    }
    WorkTicker ticker(stop);
    if (delta->length == 1 && delta->data[0] == CBOR_UNCHANGED_MARKER) {
        ByteVector* copy = byte_vector_new();
        if (copy == nullptr || !byte_vector_reserve(copy, old_value->length)) {
            return reject(copy, error, PATCH_FAILURE_NO_MEMORY, 0);
        }
        if (!copy_bytes(copy->data, old_value->data, old_value->length, &ticker)) {
            return reject(copy, error, PATCH_FAILURE_CANCELLED, 0);
        }
        copy->length = old_value->length;
        return copy;
    }
    // First pass: check every entry and add up the result's size, so that a bad or
    // oversized delta is refused before anything is built and the result is allocated once.
    std::uint64_t total = 0;
    const PatchError checked = walk_delta(old_value, delta, &ticker, [&](const std::uint8_t*, std::uint64_t count) {
        if (count > PATCH_MAX_LENGTH - total) return false;
        total += count;
        return true;
    });
    if (checked.failure != PATCH_FAILURE_NONE) return reject(nullptr, error, checked.failure, checked.offset);

    ByteVector* result = byte_vector_new();
    if (result == nullptr || !byte_vector_reserve(result, total)) {
        return reject(result, error, PATCH_FAILURE_NO_MEMORY, 0);
    }
    const PatchError built = walk_delta(old_value, delta, &ticker, [&](const std::uint8_t* source, std::uint64_t count) {
        if (!copy_bytes(result->data + result->length, source, count, &ticker)) return false;
        result->length += count;
        return true;
    });
    if (built.failure != PATCH_FAILURE_NONE) return reject(result, error, built.failure, built.offset);
    return result;
}

}  // namespace quorvane
