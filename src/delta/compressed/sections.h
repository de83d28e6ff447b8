// The decoding side of the entropy stage: one section of a compressed delta read in pieces,
// its stored bytes as they are or its zstd frame / LZMA2 stream decoded as far as the caller
// asks, never further. The libraries allocate through the engine heap (common/memory.h).
#pragma once

#include <cstdint>

#include "delta/compressed/format.h"

namespace quorvane {
namespace compressed {

class Lzma2InPlace;

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

// zstd decoders kept for the sections of one call: creating one costs about 10 us, as zstd asks
// the processor for its features (an instruction that traps to the hypervisor in a virtual
// machine), and a block-mode frame reads four streams twice and decodes its literals: nine
// decoders, most of a small frame's decoding time. A section takes a free one, reset to
// zstd's defaults, or makes one; the decoders are freed with the pool. A caller that
// decompresses many small deltas on one thread keeps a pool between calls (compress.h:
// KeptDecoders), trimmed after each call to one decoder of small size.
class ZstdDecoders {
public:
    struct Decoder;
    ZstdDecoders() = default;
    ~ZstdDecoders();
    ZstdDecoders(const ZstdDecoders&) = delete;
    ZstdDecoders& operator=(const ZstdDecoders&) = delete;
    // A free decoder (throws OutOfMemory when none can be made), and giving it back.
    Decoder* take();
    void give_back(Decoder* decoder);
    // Frees every free decoder but one, and that one too when its memory has grown past
    // KEPT_DECODER_MAX_BYTES (a window for a large stream), so that what stays between calls
    // is one decoder's tables.
    void trim();

    static constexpr std::uint64_t KEPT_DECODER_MAX_BYTES = std::uint64_t{1} << 20;

private:
    static constexpr int KEPT = 8;
    Decoder* decoders_[KEPT] = {};
    int count_ = 0;
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
    // `decoders` lends it a zstd decoder.
    SectionStream(const Section& s, const std::uint8_t* stored, const std::uint8_t* prefix,
                  std::uint64_t prefix_length, std::uint8_t* destination, Ticker* ticker,
                  ZstdDecoders& decoders);
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
    void open(const std::uint8_t* prefix, std::uint64_t prefix_length, ZstdDecoders& decoders);
    std::uint64_t decode(std::uint8_t* out, std::uint64_t room);

    Section section_;
    const std::uint8_t* stored_;
    std::uint8_t* destination_;
    Ticker* ticker_;
    std::uint64_t produced_ = 0;
    Zstd* zstd_ = nullptr;
    Lzma* lzma_ = nullptr;               // LZMA2 read in pieces: liblzma, its dictionary its own
    Lzma2InPlace* in_place_ = nullptr;   // LZMA2 in place: the destination is the dictionary
};

}  // namespace compressed
}  // namespace quorvane
