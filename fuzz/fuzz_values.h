// Input helpers shared by the delta fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/bytes.h"

using FuzzBytes = std::vector<std::uint8_t>;

// A heap block of exactly the value's size (a vector may keep spare capacity after its end,
// where AddressSanitizer would not notice a read).
struct Exact {
    explicit Exact(const FuzzBytes& bytes)
        : size(bytes.size()), data(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]) {
        if (size != 0) std::memcpy(data.get(), bytes.data(), size);
    }
    quorvane::ByteVector view() const { return quorvane::byte_vector_view(size == 0 ? nullptr : data.get(), size); }
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> data;
};

// A small deterministic generator for values derived from the fuzzer's input.
struct Generator {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    }
    std::size_t below(std::size_t n) { return n == 0 ? 0 : next() % n; }
};
