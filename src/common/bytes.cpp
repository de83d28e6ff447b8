#include "common/bytes.h"

#include <cstring>
#include <limits>

#include "common/memory.h"

namespace quorvane {

ByteVector* byte_vector_new() { return static_cast<ByteVector*>(heap_calloc(1, sizeof(ByteVector))); }

void byte_vector_free(ByteVector* vector) {
    if (vector == nullptr) return;
    heap_free(vector->data);
    heap_free(vector);
}

namespace {

bool resize_storage(ByteVector* vector, std::uint64_t capacity) {
    if (capacity > std::numeric_limits<std::size_t>::max()) return false;
    void* grown = heap_realloc(vector->data, static_cast<std::size_t>(capacity));
    if (grown == nullptr) return false;
    vector->data = static_cast<std::uint8_t*>(grown);
    vector->capacity = capacity;
    return true;
}

}  // namespace

bool byte_vector_reserve(ByteVector* vector, std::uint64_t count) {
    const std::uint64_t needed = vector->length + count;
    if (needed < vector->length) return false;
    return needed <= vector->capacity || resize_storage(vector, needed);
}

bool byte_vector_append(ByteVector* vector, const void* source, std::uint64_t count) {
    const std::uint64_t needed = vector->length + count;
    if (needed < vector->length || needed > std::numeric_limits<std::uint64_t>::max() / 2) return false;
    if (needed > vector->capacity && !resize_storage(vector, 2 * needed)) return false;
    if (count != 0) std::memcpy(vector->data + vector->length, source, static_cast<std::size_t>(count));
    vector->length = needed;
    return true;
}

ByteVector* byte_vector_copy(const ByteVector* source) {
    ByteVector* copy = byte_vector_new();
    if (copy == nullptr) return nullptr;
    if (source->length != 0) {
        if (!resize_storage(copy, source->length)) {
            byte_vector_free(copy);
            return nullptr;
        }
        std::memcpy(copy->data, source->data, static_cast<std::size_t>(source->length));
        copy->length = source->length;
    }
    return copy;
}

}  // namespace quorvane
