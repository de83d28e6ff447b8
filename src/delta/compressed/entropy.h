// The entropy stage of compressed deltas: the zstd library (and liblzma at the top levels),
// one frame or stream per section, in slices so that a long call can be stopped. Both
// libraries are linked statically into the module. The decoding side: sections.h.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/compressed/format.h"

struct ZSTD_CCtx_s;  // zstd.h's ZSTD_CCtx

namespace quorvane {
namespace compressed {

struct ZstdSettings {
    int level;                  // zstd's compression level (up to 22)
    int window_log = 0;         // 0: the level's own
    bool long_distance = false; // long-distance matching
    int search_log = 0;         // not 0: hash chains of chain_log and a hash table of hash_log
    int chain_log = 0;          // (not the row match finder), searched 2^search_log deep
    int hash_log = 0;
};

// The largest chain and hash tables that zstd_prefix_settings asks for with a search depth:
// 2^24 and 2^23 entries of 4 bytes (64 and 32 MiB), for windows of 16 MiB and more.
constexpr int PREFIX_CHAIN_LOG_MAX = 24;
constexpr int PREFIX_HASH_LOG_MAX = 23;

// A zstd compression context kept for the frames that one thread makes in one call: creating
// one costs about 10 us, as zstd asks the processor for its features each time (an
// instruction that traps to the hypervisor in a virtual machine), which was a fifth of the
// default level's time on a 10 KB value. Reused, it gives the same bytes (every parameter is
// set again for each frame).
class ZstdContext {
public:
    ZstdContext() = default;
    ~ZstdContext();
    ZstdContext(const ZstdContext&) = delete;
    ZstdContext& operator=(const ZstdContext&) = delete;
    // The context, created at the first call and reset to zstd's defaults at every call;
    // throws std::bad_alloc when memory runs out.
    ::ZSTD_CCtx_s* fresh();

private:
    ::ZSTD_CCtx_s* context_ = nullptr;
};

// zstd's frame of source[0, length) without its magic number (single-threaded; no content
// size, dictionary ID or checksum of its own), matched against `prefix` when prefix_length is
// not 0, in `context`. Throws std::bad_alloc when memory runs out and Cancelled when the ticker says so;
// false when the library fails.
bool zstd_compress(const std::uint8_t* source, std::uint64_t length, const ZstdSettings& settings,
                   const std::uint8_t* prefix, std::uint64_t prefix_length, ZstdContext* context, Ticker* ticker,
                   HeapBytes* out);

// The smallest window log covering `bytes` (at least zstd's minimum).
int window_log_for(std::uint64_t bytes);

// zstd at `level` for `length` bytes after a prefix of `prefix_length` bytes, set up as the
// zstd command line's patch mode does: the window covers prefix and content, the tables are
// sized for both (zstd's parameters for the content with the prefix as dictionary), and
// long-distance matching is on when the window is longer than the match finder's chain
// table reaches (where the regular finder alone loses the far matches into the prefix).
// With a `search_log` (0: none), the match finder keeps hash chains that reach over the whole
// window (up to PREFIX_CHAIN_LOG_MAX) and searches them 2^search_log deep, instead of the
// level's tables and its row match finder, whose rows hold only the latest few positions of
// each hash: documents with many similar stanzas keep their best matches further back.
ZstdSettings zstd_prefix_settings(int level, int search_log, std::uint64_t prefix_length, std::uint64_t length);

// LZMA2 (liblzma), raw: no container, its parameters fixed by the format. The dictionary
// size is the smallest power of two covering prefix and content, at least 4 KiB and at most
// 1 GiB; the prefix (when prefix_length is not 0) is LZMA2's preset dictionary.
std::uint32_t lzma_dictionary_size(std::uint64_t prefix_length, std::uint64_t length);

// LZMA2 of source[0, length) at `preset` (0-9; `extreme` for liblzma's slower search).
// Throws std::bad_alloc and Cancelled as zstd_compress; false when the library fails.
bool lzma_compress(const std::uint8_t* source, std::uint64_t length, int preset, bool extreme,
                   const std::uint8_t* prefix, std::uint64_t prefix_length, Ticker* ticker,
                   HeapBytes* out);

}  // namespace compressed
}  // namespace quorvane
