// Helpers shared by the engine tests: byte values, views and results, hex literals, the
// seeded generator of their random inputs and the digest of their golden corpora.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace quorvane {
namespace test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Bytes from hex pairs each followed by one separator: "00 0a " or "00 0a".
inline Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// A borrowed engine view of a test value.
inline ByteVector view(const Bytes& b) { return byte_vector_view(b.data(), b.size()); }

// An engine result as a test value (the result is freed).
inline Bytes take(ByteVector* v) {
    Bytes out(v->data, v->data + v->length);
    byte_vector_free(v);
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

// The seeded generator of the tests' random inputs. Its numbers are used directly (rng() % n,
// never a distribution, whose output differs between standard libraries), so that a seed
// gives the same inputs, and the golden digests the same values, everywhere.
using Random = std::mt19937;

inline Bytes random_bytes(Random& rng, std::size_t size, int alphabet = 256) {
    Bytes out(size);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng() % static_cast<unsigned>(alphabet));
    return out;
}

// A value of its own seed.
inline Bytes random_bytes(std::size_t size, std::uint32_t seed, int alphabet = 256) {
    Random rng(seed);
    return random_bytes(rng, size, alphabet);
}

// The golden digests: a 64-bit FNV-1a over the bytes, closed by their count.
constexpr std::uint64_t DIGEST_START = 0xCBF29CE484222325ull;

inline std::uint64_t digest(std::uint64_t hash, const Bytes& bytes) {
    for (const std::uint8_t b : bytes) hash = (hash ^ b) * 0x100000001B3ull;
    return (hash ^ bytes.size()) * 0x100000001B3ull;
}

// A stop check (common/stop.h) that says stop at its n-th question, and counts them.
struct StopAt {
    int questions = 0;
    int stop_at;
    static bool keep_going(void* context) {
        auto* self = static_cast<StopAt*>(context);
        return ++self->questions != self->stop_at;
    }
};

}  // namespace test
}  // namespace quorvane
