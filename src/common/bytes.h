// ByteVector: the engine's byte record. Results of diff and patch are heap records owned
// by the caller; the same record, with borrowed data, carries their inputs (input views).
#pragma once

#include <cstdint>

namespace quorvane {

struct ByteVector {
    std::uint8_t* data;
    std::uint64_t length;    // bytes in use
    std::uint64_t capacity;  // bytes allocated (equal to length for a borrowed input view)
};

// A new, empty record; null when memory runs out.
ByteVector* byte_vector_new();
// Frees the storage and then the record; a null record is ignored. Never call it on an input view.
void byte_vector_free(ByteVector* vector);
// Appends `count` bytes; when length + count exceeds the capacity the storage grows to
// twice the needed size. False (content unchanged) when memory runs out.
bool byte_vector_append(ByteVector* vector, const void* source, std::uint64_t count);
// Makes sure at least `count` more bytes fit without another allocation.
bool byte_vector_reserve(ByteVector* vector, std::uint64_t count);
// A new record with exactly the source's bytes; null when memory runs out.
ByteVector* byte_vector_copy(const ByteVector* source);
// A borrowed read-only view of existing bytes (nothing to free).
inline ByteVector byte_vector_view(const std::uint8_t* data, std::uint64_t length) {
    return ByteVector{const_cast<std::uint8_t*>(data), length, length};
}

}  // namespace quorvane
