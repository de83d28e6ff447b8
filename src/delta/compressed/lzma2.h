// An LZMA2 decoder whose dictionary is the destination itself (and the prefix before it):
// a raw LZMA2 stream decoded in place, with no buffer as large as its dictionary, so that
// rebuilding a value takes the value's memory and a fixed 32 KiB of probabilities.
// liblzma's decoder keeps a dictionary of its own besides the output; this one reads matches
// back from the output (and from the prefix's last bytes, LZMA2's preset dictionary).
#pragma once

#include <cstdint>

#include "common/memory.h"

namespace quorvane {
namespace compressed {

class Lzma2InPlace {
public:
    // The stream in[0, in_length), decoding into out[0, out_length) (exactly that many bytes
    // when the stream is whole), with a dictionary of dictionary_size bytes whose first
    // contents are the prefix's last bytes (none when prefix_length is 0). Throws
    // OutOfMemory when its probabilities cannot be allocated.
    Lzma2InPlace(const std::uint8_t* in, std::uint64_t in_length, std::uint8_t* out, std::uint64_t out_length,
                 const std::uint8_t* prefix, std::uint64_t prefix_length, std::uint32_t dictionary_size);

    // Decodes whole chunks until at least `count` bytes are out; throws SectionFault when the
    // stream is damaged, ends before (or would pass) out_length.
    void fill(std::uint64_t count);
    // After out_length bytes: the end marker must follow, and nothing after it.
    void finish();
    std::uint64_t produced() const { return produced_; }

private:
    // One LZMA chunk of `unpacked` bytes from in_[at, at + packed).
    void lzma_chunk(std::uint64_t unpacked, std::uint64_t packed);
    // Reads the next chunk's header and its contents; false at the end marker.
    bool chunk();
    void reset_state();
    std::uint8_t history(std::uint64_t distance) const;  // the byte `distance` + 1 back

    // Range decoder.
    unsigned bit(std::uint16_t* probability);
    unsigned tree(std::uint16_t* probabilities, int bits);
    unsigned reverse_tree(std::uint16_t* probabilities, int bits);
    std::uint32_t direct(int bits);
    unsigned length(std::uint16_t* coder, unsigned pos_state);
    void normalize();
    std::uint8_t next_byte();

    const std::uint8_t* in_;
    std::uint64_t in_length_, at_ = 0, chunk_end_ = 0;
    std::uint8_t* out_;
    std::uint64_t out_length_, produced_ = 0;
    const std::uint8_t* prefix_end_;  // the preset dictionary's bytes end here
    std::uint64_t preset_;            // how many of them are in the dictionary
    std::uint64_t dictionary_;
    std::uint64_t reset_at_ = 0;      // output position of the last dictionary reset
    bool need_reset_, need_properties_ = true, ended_ = false;
    unsigned lc_ = 0, lp_ = 0, pb_ = 0;
    unsigned state_ = 0;
    std::uint32_t reps_[4] = {0, 0, 0, 0};
    std::uint32_t range_ = 0, code_ = 0;
    HeapArray<std::uint16_t> probabilities_;
};

}  // namespace compressed
}  // namespace quorvane
