// delta_compress: the block and prefix modes of a compressed delta, both made in full and the
// smaller frame kept, in a checked frame.
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
    std::vector<std::uint8_t> payload[MAX_SECTIONS];

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
void add_section(Body* body, std::vector<std::uint8_t>* raw, const LevelSettings& settings, Ticker* ticker) {
    const int k = body->count++;
    std::vector<std::uint8_t>& stored = body->payload[k];
    Coding coding = CODING_STORED;
    if (!raw->empty() && zstd_compress(raw->data(), raw->size(), ZstdSettings{settings.block_zstd}, nullptr, 0, ticker,
                                       &stored) && stored.size() < raw->size()) {
        coding = CODING_ZSTD;
    }
    if (!raw->empty() && settings.lzma_preset >= 0 && raw->size() <= LZMA_STREAM_MAX_BYTES) {
        std::vector<std::uint8_t> other;
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
    const ZstdSettings zstd = zstd_prefix_settings(settings.prefix_zstd, old_value->length, new_value->length);
    body->mode = MODE_PREFIX;
    body->count = 1;
    if (!zstd_compress(new_value->data, new_value->length, zstd, old_value->data, old_value->length, ticker,
                       &body->payload[0])) {
        return false;
    }
    body->sections[0] = {CODING_ZSTD, body->payload[0].size(), new_value->length};
    const std::uint64_t both = old_value->length + new_value->length;
    if (settings.lzma_preset >= 0 && both <= LZMA_PREFIX_MAX_BYTES && new_value->length != 0) {
        std::vector<std::uint8_t> other;
        if (lzma_compress(new_value->data, new_value->length, settings.lzma_preset, settings.lzma_extreme,
                          old_value->data, old_value->length, ticker, &other) &&
            other.size() < body->payload[0].size()) {
            body->payload[0].swap(other);
            body->sections[0] = {CODING_LZMA, body->payload[0].size(), new_value->length};
        }
    }
    return true;
}

ByteVector* write_frame(const Body& body, const ByteVector* old_value, const ByteVector* new_value,
                        std::uint64_t old_sum, std::uint64_t new_sum, Ticker* ticker) {
    std::vector<std::uint8_t> head(MAGIC, MAGIC + 4);
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

namespace compressed {

ByteVector* compress_with(const ByteVector* old_value, const ByteVector* new_value, const LevelSettings& settings,
                          CompressFailure* failure, const CompressObserver* observer) {
    CompressFailure ignored;
    if (failure == nullptr) failure = &ignored;
    *failure = COMPRESS_FAILURE_NONE;
    try {
        Ticker ticker(observer);
        ticker.check();
        const std::uint64_t old_sum = checksum(old_value->data, old_value->length, &ticker);
        const std::uint64_t new_sum = checksum(new_value->data, new_value->length, &ticker);
        // Both modes in full; the smaller frame is kept (block mode on a tie, and when zstd
        // could not make the prefix mode).
        BlockStreams streams;
        find_streams(old_value, new_value, settings, &ticker, &streams);
        Body best;
        block_body(streams, settings, &ticker, &best);
        if (old_value->length + new_value->length <= PREFIX_WINDOW_BYTES) {
            Body prefix;
            if (prefix_body(old_value, new_value, settings, &ticker, &prefix) && prefix.size() < best.size()) {
                best = std::move(prefix);
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

}  // namespace compressed

ByteVector* delta_compress(const ByteVector* old_value, const ByteVector* new_value, int level,
                           CompressFailure* failure, const CompressObserver* observer) {
    if (level < COMPRESS_MIN_LEVEL || level > COMPRESS_MAX_LEVEL) {
        if (failure != nullptr) *failure = COMPRESS_FAILURE_INVALID_LEVEL;
        return nullptr;
    }
    return compress_with(old_value, new_value, level_settings(level), failure, observer);
}

}  // namespace quorvane
