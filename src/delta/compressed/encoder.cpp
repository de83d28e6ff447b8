// delta_compress: the block and prefix modes of a compressed delta, the smaller of them kept,
// in a checked frame.
#include <new>
#include <vector>

#include "delta/compressed/compress.h"
#include "delta/compressed/entropy.h"
#include "delta/compressed/format.h"
#include "delta/compressed/levels.h"
#include "delta/compressed/matcher.h"

namespace quorvane {

using namespace compressed;

namespace {

// A frame body: its mode and sections, the stored bytes of each.
struct Body {
    Mode mode = MODE_BLOCK;
    int count = 0;
    Section sections[MAX_SECTIONS] = {};
    HeapBytes payload[MAX_SECTIONS];

    // The frame's size but for the parts that are the same for every body.
    std::uint64_t size() const {
        std::uint64_t total = 0;
        for (int k = 0; k < count; ++k) {
            total += 1 + varint_size(sections[k].stored) + varint_size(sections[k].decoded) + sections[k].stored;
        }
        return total;
    }
};

// Section k of `body`: `raw` compressed by zstd (and LZMA2 where the level says), or stored,
// whichever is smallest.
void add_section(Body* body, HeapBytes* raw, const LevelSettings& settings, Ticker* ticker) {
    const int k = body->count++;
    HeapBytes& stored = body->payload[k];
    Coding coding = CODING_STORED;
    if (!raw->empty() && zstd_compress(raw->data(), raw->size(), ZstdSettings{settings.block_zstd}, nullptr, 0, ticker,
                                       &stored) && stored.size() < raw->size()) {
        coding = CODING_ZSTD;
    }
    if (!raw->empty() && settings.lzma_preset >= 0 && raw->size() <= LZMA_STREAM_MAX_BYTES) {
        HeapBytes other;
        const std::uint64_t best = coding == CODING_STORED ? raw->size() : stored.size();
        if (lzma_compress(raw->data(), raw->size(), settings.lzma_preset, settings.lzma_extreme, nullptr, 0, ticker,
                          &other) && other.size() < best) {
            stored.swap(other);
            coding = CODING_LZMA;
        }
    }
    if (coding == CODING_STORED) stored.swap(*raw);
    body->sections[k] = {static_cast<std::uint8_t>(coding), stored.size(), coding == CODING_STORED ? stored.size() : raw->size()};
}

// Block mode with every byte literal: the fallback when the streams would be too large.
void all_literal(const ByteVector* new_value, BlockStreams* streams) {
    for (auto& s : streams->stream) s.clear();
    if (new_value->length == 0) return;
    put_varint(&streams->stream[STREAM_COMMANDS], new_value->length);
    put_varint(&streams->stream[STREAM_COMMANDS], 0);
    streams->stream[STREAM_LITERALS].assign(new_value->data, new_value->data + new_value->length);
}

void find_streams(const ByteVector* old_value, const ByteVector* new_value, const LevelSettings& settings,
                  Ticker* ticker, BlockStreams* streams) {
    find_blocks(old_value->data, old_value->length, new_value->data, new_value->length, settings.matcher, ticker,
                streams);
    if (streams->total() > block_streams_limit(new_value->length)) all_literal(new_value, streams);
}

void block_body(BlockStreams& streams, const LevelSettings& settings, Ticker* ticker, Body* body) {
    body->mode = MODE_BLOCK;
    body->count = 0;
    for (int k = 0; k < BLOCK_STREAMS; ++k) add_section(body, &streams.stream[k], settings, ticker);
}

// Prefix mode; false when zstd could not make it.
bool prefix_body(const ByteVector* old_value, const ByteVector* new_value, const LevelSettings& settings,
                 Ticker* ticker, Body* body) {
    ZstdSettings zstd{settings.prefix_zstd};
    zstd.window_log = window_log_for(old_value->length + new_value->length);
    // Long-distance matching finds the far repeats of large pairs; on small ones it only costs.
    zstd.long_distance = settings.prefix_long && old_value->length + new_value->length >= 8 * MiB;
    body->mode = MODE_PREFIX;
    body->count = 1;
    if (!zstd_compress(new_value->data, new_value->length, zstd, old_value->data, old_value->length, ticker,
                       &body->payload[0])) {
        return false;
    }
    body->sections[0] = {CODING_ZSTD, body->payload[0].size(), new_value->length};
    const std::uint64_t both = old_value->length + new_value->length;
    if (settings.lzma_preset >= 0 && both <= LZMA_PREFIX_MAX_BYTES && new_value->length != 0) {
        HeapBytes other;
        if (lzma_compress(new_value->data, new_value->length, settings.lzma_preset, settings.lzma_extreme,
                          old_value->data, old_value->length, ticker, &other) &&
            other.size() < body->payload[0].size()) {
            body->payload[0].swap(other);
            body->sections[0] = {CODING_LZMA, body->payload[0].size(), new_value->length};
        }
    }
    return true;
}

// Whether the value reads as text: at most 1 in 128 of the sampled bytes (up to 64 KiB, in
// 16 slices across the value) is a control byte other than tab, line feed, form feed,
// carriage return and escape.
bool looks_like_text(const ByteVector* value) {
    constexpr std::uint64_t SLICES = 16, SLICE_BYTES = 4096;
    const std::uint64_t n = value->length;
    std::uint64_t sampled = 0, control = 0;
    for (std::uint64_t k = 0; k < SLICES; ++k) {
        const std::uint64_t start = n <= SLICES * SLICE_BYTES ? k * SLICE_BYTES : n / SLICES * k;
        if (start >= n) break;
        const std::uint64_t end = n - start < SLICE_BYTES ? n : start + SLICE_BYTES;
        for (std::uint64_t i = start; i < end; ++i) {
            const std::uint8_t b = value->data[i];
            control += (b < 0x20 && b != '\t' && b != '\n' && b != '\f' && b != '\r' && b != 0x1B) || b == 0x7F;
        }
        sampled += end - start;
    }
    return control * 128 <= sampled;
}

// The block streams' size at zstd's level 3 (a quick estimate of block mode).
std::uint64_t quick_block_size(const BlockStreams& streams, Ticker* ticker) {
    std::uint64_t total = 0;
    HeapBytes out;
    for (const auto& s : streams.stream) {
        if (s.empty()) continue;
        const bool ok = zstd_compress(s.data(), s.size(), ZstdSettings{3}, nullptr, 0, ticker, &out);
        total += ok && out.size() < s.size() ? out.size() : s.size();
    }
    return total;
}

ByteVector* write_frame(const Body& body, const ByteVector* old_value, const ByteVector* new_value,
                        std::uint64_t old_sum, std::uint64_t new_sum, Ticker* ticker) {
    HeapBytes head(MAGIC, MAGIC + 4);
    head.push_back(FORMAT_VERSION);
    head.push_back(body.mode);
    head.push_back(static_cast<std::uint8_t>(body.count));
    put_varint(&head, old_value->length);
    put_varint(&head, new_value->length);
    put_u64(&head, old_sum);
    put_u64(&head, new_sum);
    std::uint64_t total = 0;
    for (int k = 0; k < body.count; ++k) {
        head.push_back(body.sections[k].coding);
        put_varint(&head, body.sections[k].stored);
        put_varint(&head, body.sections[k].decoded);
        total += body.sections[k].stored;
    }
    total += head.size() + FRAME_CHECKSUM;
    ByteVector* out = byte_vector_new();
    if (out == nullptr || !byte_vector_reserve(out, total)) {
        byte_vector_free(out);
        throw std::bad_alloc();
    }
    std::uint8_t* p = out->data;
    std::memcpy(p, head.data(), head.size());
    std::uint64_t where = head.size();
    for (int k = 0; k < body.count; ++k) {
        if (!body.payload[k].empty()) std::memcpy(p + where, body.payload[k].data(), body.payload[k].size());
        where += body.payload[k].size();
    }
    put_u64(p + where, checksum(p, where, ticker));
    out->length = total;
    return out;
}

}  // namespace

ByteVector* delta_compress(const ByteVector* old_value, const ByteVector* new_value, int level,
                           CompressFailure* failure, const CompressObserver* observer) {
    CompressFailure ignored;
    if (failure == nullptr) failure = &ignored;
    *failure = COMPRESS_FAILURE_NONE;
    if (level < COMPRESS_MIN_LEVEL || level > COMPRESS_MAX_LEVEL) {
        *failure = COMPRESS_FAILURE_INVALID_LEVEL;
        return nullptr;
    }
    const LevelSettings settings = level_settings(level);
    try {
        Ticker ticker(observer);
        ticker.check();
        const std::uint64_t old_sum = checksum(old_value->data, old_value->length, &ticker);
        const std::uint64_t new_sum = checksum(new_value->data, new_value->length, &ticker);
        const std::uint64_t both = old_value->length + new_value->length;
        const bool prefix_allowed =
            settings.prefix_zstd != 0 && both <= settings.prefix_max_bytes && both <= PREFIX_WINDOW_BYTES;
        bool try_block = true, try_prefix = prefix_allowed;
        if (prefix_allowed && settings.choice == CHOOSE_BY_KIND) {
            try_prefix = looks_like_text(new_value);
            try_block = !try_prefix;
        }
        BlockStreams streams;
        if (try_block) find_streams(old_value, new_value, settings, &ticker, &streams);
        if (prefix_allowed && settings.choice == CHOOSE_BY_TRIAL) {
            // Both at zstd's level 3; a mode more than 1.5 times the other's size is dropped.
            LevelSettings quick = settings;
            quick.prefix_zstd = 3;
            quick.lzma_preset = -1;
            Body trial;
            if (prefix_body(old_value, new_value, quick, &ticker, &trial)) {
                const std::uint64_t block_size = quick_block_size(streams, &ticker);
                const std::uint64_t prefix_size = trial.size();
                try_block = 2 * block_size <= 3 * prefix_size;
                try_prefix = 2 * prefix_size <= 3 * block_size;
            }
        }
        Body best;
        if (try_block) block_body(streams, settings, &ticker, &best);
        if (try_prefix) {
            Body prefix;
            if (prefix_body(old_value, new_value, settings, &ticker, &prefix) && (!try_block || prefix.size() < best.size())) {
                best = std::move(prefix);
            } else if (!try_block) {
                find_streams(old_value, new_value, settings, &ticker, &streams);  // zstd failed: block mode after all
                block_body(streams, settings, &ticker, &best);
            }
        }
        return write_frame(best, old_value, new_value, old_sum, new_sum, &ticker);
    } catch (const std::bad_alloc&) {
        *failure = COMPRESS_FAILURE_NO_MEMORY;
    } catch (const Cancelled&) {
        *failure = COMPRESS_FAILURE_CANCELLED;
    }
    return nullptr;
}

}  // namespace quorvane
