// Compressed deltas: a framed, checked, entropy-coded delta format beside diff's.
//
// delta_compress writes a frame (magic number, format version, both lengths, checksums of
// both values, of the frame's own bytes and of its sections) whose body is one of two modes:
//   block  - copies from the old value (or from the new value's own earlier bytes) that may
//            differ from their source in some bytes, and literal bytes, kept in separate
//            streams (instructions, offsets, positions and values of the differing bytes,
//            literals), each compressed by zstd or stored when that is not smaller;
//   prefix - the whole new value compressed by zstd with the old value as its prefix.
// The higher levels try both and keep the smaller. delta_decompress checks everything it
// reads and refuses, with the byte offset and the reason, any frame that is damaged, cut
// short or made from another old value. docs/compressed-format.md describes the bytes.
//
// Sizes are 64-bit throughout. Memory (per byte of input, besides the inputs and result):
// see compress_levels.h.
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "common/leave.h"
#include "common/stop.h"

namespace quorvane {

constexpr int COMPRESS_MIN_LEVEL = 1;
constexpr int COMPRESS_MAX_LEVEL = 9;
constexpr int COMPRESS_DEFAULT_LEVEL = 3;

// Default limit on the new value's size that delta_decompress accepts: 4 GiB.
constexpr std::uint64_t DECOMPRESS_DEFAULT_MAX_SIZE = std::uint64_t{1} << 32;

// Optional stop check of a call (common/stop.h): asked every few milliseconds of work; when
// it says stop the call stops at once, frees what it holds and gives no result
// (COMPRESS_FAILURE_CANCELLED, DECOMPRESS_FAILURE_CANCELLED).
using CompressObserver = StopCheck;

enum CompressFailure : int {
    COMPRESS_FAILURE_NONE = 0,
    COMPRESS_FAILURE_NO_MEMORY = 1,
    COMPRESS_FAILURE_CANCELLED = 2,
    COMPRESS_FAILURE_INVALID_LEVEL = 3,
};

// A new vector with the compressed delta turning old_value into new_value (free it with
// byte_vector_free), or null with *failure set (failure may be null). The same inputs and
// level give the same bytes on every run, thread and platform, and whatever `threads` is:
// with 2 or more, each level's block and prefix frames are made at the same time (one helper
// thread, and the others for the old value's index), with 1 (or less) one at a time.
// With a `lease` (common/leave.h) and an observer, a call on values of 256 KiB or more
// together works on a worker thread and returns as soon as the observer says stop, leaving
// the worker to end after the library step it is in and release the lease; the caller keeps
// the values readable until then (lease->taken says whether it must wait for the release).
ByteVector* delta_compress(const ByteVector* old_value, const ByteVector* new_value, int level,
                           CompressFailure* failure = nullptr, const CompressObserver* observer = nullptr,
                           int threads = 1, InputLease* lease = nullptr);

enum DecompressFailure : int {
    DECOMPRESS_FAILURE_NONE = 0,
    DECOMPRESS_FAILURE_INVALID = 1,     // damaged, cut short or not a compressed delta
    DECOMPRESS_FAILURE_WRONG_OLD = 2,   // made from another old value
    DECOMPRESS_FAILURE_TOO_LARGE = 3,   // declares a new value larger than max_size
    DECOMPRESS_FAILURE_NO_MEMORY = 4,
    DECOMPRESS_FAILURE_CANCELLED = 5,
};

struct DecompressError {
    DecompressFailure failure = DECOMPRESS_FAILURE_NONE;
    std::uint64_t offset = 0;      // byte of the delta where the fault was found
    const char* reason = "";       // static text: what is wrong there (what was being allocated
                                   // for DECOMPRESS_FAILURE_NO_MEMORY)
    std::uint64_t value = 0;       // the declared size for DECOMPRESS_FAILURE_TOO_LARGE, the size
                                   // of the allocation that failed for DECOMPRESS_FAILURE_NO_MEMORY
};

// Reads and checks a compressed delta's header (not yet its sections' bytes): the length of
// the new value it rebuilds, or false with *error filled in (also when that length is above
// max_size).
bool delta_decompressed_length(const ByteVector* data, std::uint64_t max_size, std::uint64_t* new_length,
                               DecompressError* error);

// zstd decoders kept between the calls of one thread: making a decoder asks the processor
// its features, which traps to the hypervisor in a virtual machine (about 5 us a question
// there): 40% of decompress's time on a 300 KB text, 90% on a 2 KB one. A caller that
// decompresses many values keeps one set per thread and passes it to every call on that
// thread; after each call it holds at most one decoder of at most 1 MiB (about 130 KB for
// block mode's streams, 1 MiB for a prefix-mode window of 1 MiB). Null when memory runs out.
struct KeptDecoders;
KeptDecoders* kept_decoders_new();
void kept_decoders_free(KeptDecoders* kept);

// Rebuilds the new value from old_value and the compressed delta into destination, which
// holds exactly the length that delta_decompressed_length gave; false with *error filled in
// (error may be null). Never reads or writes outside its buffers. With `kept` (null: none),
// its decoders serve the call, and it keeps one for the next.
bool delta_decompress_into(const ByteVector* old_value, const ByteVector* data, std::uint8_t* destination,
                           std::uint64_t destination_length, DecompressError* error = nullptr,
                           const CompressObserver* observer = nullptr, KeptDecoders* kept = nullptr);

// Both steps: a new vector with the new value (free it with byte_vector_free), or null with
// *error filled in (error may be null). Refuses a declared new size above max_size before
// allocating for it.
ByteVector* delta_decompress(const ByteVector* old_value, const ByteVector* data, std::uint64_t max_size,
                             DecompressError* error = nullptr, const CompressObserver* observer = nullptr,
                             KeptDecoders* kept = nullptr);

}  // namespace quorvane
