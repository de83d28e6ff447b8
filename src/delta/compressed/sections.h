// The decoding side of the entropy stage: one section of a compressed delta read in pieces,
// its stored bytes as they are or its zstd frame / LZMA2 stream decoded as far as the caller
// asks, never further. The libraries allocate through the engine heap (common/memory.h).
#pragma once

#include <cstdint>

#include "delta/compressed/format.h"

namespace quorvane {
namespace compressed {

// Thrown when a section's bytes are damaged: the section's byte at which decoding stopped.
struct SectionFault {
    std::uint64_t where;
    const char* reason;
};

// Thrown when memory runs out: what was being allocated (static text) and how many bytes.
struct OutOfMemory {
    const char* what;
    std::uint64_t bytes;
};

class SectionStream {
public:
    // Section `s` whose stored bytes are at `stored`, with `prefix` as the history before
    // its first byte (prefix mode) or none.
    //
    // With `destination` (room for all s.decoded bytes), the section is decoded in place
    // there by fill(): zstd then needs no window of its own (the destination is its
    // window). Without it, read() hands out the next bytes into any buffer, and zstd keeps
    // a window of at most the section's decoded length, filled as far as it is read (a
    // frame declaring a larger window than prefix and content need is refused).
    SectionStream(const Section& s, const std::uint8_t* stored, const std::uint8_t* prefix,
                  std::uint64_t prefix_length, std::uint8_t* destination, Ticker* ticker);
    ~SectionStream();
    SectionStream(const SectionStream&) = delete;
    SectionStream& operator=(const SectionStream&) = delete;

    // The next decoded bytes into out[0, room): min(room, what is left of s.decoded) of them.
    std::uint64_t read(std::uint8_t* out, std::uint64_t room);
    // Decodes into the destination until at least `count` (at most s.decoded) bytes are there.
    void fill(std::uint64_t count);
    // Once all s.decoded bytes were taken: the stream must end there, its bytes used up.
    void finish();
    std::uint64_t produced() const { return produced_; }

private:
    struct Zstd;
    struct Lzma;
    void open(const std::uint8_t* prefix, std::uint64_t prefix_length);
    std::uint64_t decode(std::uint8_t* out, std::uint64_t room);

    Section section_;
    const std::uint8_t* stored_;
    std::uint8_t* destination_;
    Ticker* ticker_;
    std::uint64_t produced_ = 0;
    Zstd* zstd_ = nullptr;
    Lzma* lzma_ = nullptr;
};

}  // namespace compressed
}  // namespace quorvane
