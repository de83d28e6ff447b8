// The compressed delta's frame: constants, the header record and the little pieces (varints,
// little-endian fields, checksums, the keep-going ticker) shared by the encoder and decoder.
// docs/compressed-format.md describes the same bytes for other implementations.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/memory.h"
#include "common/stop.h"
#include "delta/compressed/compress.h"

namespace quorvane {
namespace compressed {

constexpr std::uint8_t MAGIC[4] = {0x51, 0x56, 0x43, 0x44};  // "QVCD"
constexpr std::uint8_t FORMAT_VERSION = 1;

enum Mode : std::uint8_t {
    MODE_BLOCK = 0,
    MODE_PREFIX = 1,
};

// The streams of block mode, in the order of their sections.
enum Stream : int {
    STREAM_COMMANDS = 0,   // per instruction: literal length, copy length (varints)
    STREAM_OFFSETS = 1,    // per copy: source - end of the previous copy's source (zigzag varint)
    STREAM_GAPS = 2,       // per copy: 1 + equal bytes before each differing byte, then 0 (varints)
    STREAM_DIFFS = 3,      // per differing byte: new byte - source byte (mod 256), never 0
    STREAM_LITERALS = 4,   // the literal bytes
    BLOCK_STREAMS = 5,
};

enum Coding : std::uint8_t {
    CODING_STORED = 0,
    CODING_ZSTD = 1,
    CODING_LZMA = 2,  // raw LZMA2, see compress_entropy.h
};

// The header: magic (4), version (1), mode (1), section count (1), then varints of the old
// and new lengths, the checksums of the old and new values (8 each), and per section its
// coding (1) and the varints of its stored and decoded lengths. The sections' bytes follow,
// then a checksum (8) of every byte of the frame before it.
constexpr std::uint64_t AT_VERSION = 4;
constexpr std::uint64_t AT_MODE = 5;
constexpr std::uint64_t AT_SECTIONS = 6;
constexpr std::uint64_t AT_OLD_LENGTH = 7;
constexpr std::uint64_t FRAME_CHECKSUM = 8;
constexpr int MAX_SECTIONS = BLOCK_STREAMS;

// The decoded streams of block mode may hold at most this many bytes together, so that the
// decoder's memory stays proportional to the new value.
constexpr std::uint64_t block_streams_limit(std::uint64_t new_length) { return 3 * new_length + 64; }

struct Section {
    std::uint8_t coding;
    std::uint64_t stored;
    std::uint64_t decoded;
};

inline void put_u64(std::uint8_t* out, std::uint64_t value) {
    for (int k = 0; k < 8; ++k) out[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

inline std::uint64_t get_u64(const std::uint8_t* in) {
    std::uint64_t value = 0;
    for (int k = 7; k >= 0; --k) value = (value << 8) | in[k];
    return value;
}

// Bytes the encoder builds, on the engine heap (std::bad_alloc when it runs out).
using HeapBytes = HeapVector<std::uint8_t>;

inline void put_u64(HeapBytes* out, std::uint64_t value) {
    for (int k = 0; k < 8; ++k) out->push_back(static_cast<std::uint8_t>(value >> (8 * k)));
}

inline void put_varint(HeapBytes* out, std::uint64_t value) {
    while (value >= 0x80) {
        out->push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out->push_back(static_cast<std::uint8_t>(value));
}

inline std::uint64_t varint_size(std::uint64_t value) {
    std::uint64_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

inline std::uint64_t zigzag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

inline std::int64_t unzigzag(std::uint64_t value) {
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

// Reads a varint of at most 10 bytes whose value fits 64 bits; false at the end of the
// stream or for an overlong or overflowing one.
inline bool get_varint(const std::uint8_t* data, std::uint64_t length, std::uint64_t* at, std::uint64_t* value) {
    std::uint64_t result = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (*at >= length) return false;
        const std::uint8_t byte = data[(*at)++];
        if (shift == 63 && byte > 1) return false;
        result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            if (byte == 0 && shift != 0) return false;  // not the shortest form
            *value = result;
            return true;
        }
    }
    return false;
}

// Thrown inside the engine when the keep-going callback asks to stop; caught at the entries.
struct Cancelled {};

// The engine's WorkTicker (common/stop.h) for code that stops by throwing Cancelled.
class Ticker {
public:
    explicit Ticker(const CompressObserver* observer) : work_(observer) {}
    // Counts `work` units (about a byte each).
    void tick(std::uint64_t work) {
        if (!work_.tick(work)) throw Cancelled{};
    }
    // After a piece of library work: asks if the interval has passed.
    void poll() {
        if (!work_.poll()) throw Cancelled{};
    }
    // Asks at once.
    void check() {
        if (!work_.check()) throw Cancelled{};
    }
    WorkTicker* work() { return &work_; }

private:
    WorkTicker work_;
};

// XXH3 (64 bits, seed 0) of the bytes, hashed in slices so that the ticker runs.
std::uint64_t checksum(const std::uint8_t* data, std::uint64_t length, Ticker* ticker);

// The implementations of checksum: the same value on each. The fastest available one is taken
// unless a test or the benchmark chose another with checksum_set_path (false, and nothing
// changed, for one this build or processor cannot run).
enum ChecksumPath : int {
    CHECKSUM_PORTABLE = 0,  // what the compiler makes for any processor of its target (SSE2 on x86-64)
    CHECKSUM_AVX2 = 1,      // x86-64 with AVX2 (not in Windows builds)
};
bool checksum_path_available(ChecksumPath path);
ChecksumPath checksum_path();
bool checksum_set_path(ChecksumPath path);

}  // namespace compressed
}  // namespace quorvane
