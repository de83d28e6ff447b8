// Compressed deltas: round trips at every level, the frame's integrity (every bit flip and
// truncation refused), hostile headers and streams, cancellation, and a golden digest.
#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/memory.h"
#include "delta/compressed/compress.h"
#include "delta/compressed/levels.h"

#define XXH_INLINE_ALL
#include <xxhash.h>
#include <lzma.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams
#include <zstd.h>

#include "test_support.h"

using namespace quorvane;

namespace {

using test::StopAt;

using Bytes = std::vector<std::uint8_t>;

ByteVector view(const Bytes& b) { return byte_vector_view(b.data(), b.size()); }
Bytes take(ByteVector* v) {
    Bytes out(v->data, v->data + v->length);
    byte_vector_free(v);
    return out;
}

struct Lcg {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    }
    std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : next() % n; }
};

Bytes random_bytes(std::size_t n, std::uint64_t seed, std::uint32_t alphabet = 256) {
    Lcg g{seed};
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(g.below(alphabet));
    return out;
}

// Words from a small vocabulary: text-like, with repeats at many distances.
Bytes text(std::size_t n, std::uint64_t seed) {
    static const char* words[] = {"delta ", "value ", "old ", "new ", "copy ", "the ", "of ", "bytes\n", "frame ", "zstd "};
    Lcg g{seed};
    Bytes out;
    while (out.size() < n) {
        const char* w = words[g.below(10)];
        out.insert(out.end(), w, w + std::strlen(w));
    }
    out.resize(n);
    return out;
}

// Scattered edits: replaced, inserted and deleted runs and blocks copied from elsewhere.
Bytes edited(const Bytes& old, unsigned edits, std::uint64_t seed) {
    Bytes out = old;
    Lcg g{seed};
    for (unsigned i = 0; i < edits; ++i) {
        const std::size_t pos = g.below(static_cast<std::uint32_t>(out.size() + 1));
        const std::size_t length = 1 + g.below(g.below(2) ? 100 : 8);
        switch (g.below(4)) {
            case 0:
                for (std::size_t k = pos; k < out.size() && k < pos + length; ++k) out[k] = static_cast<std::uint8_t>(g.next());
                break;
            case 1: {
                const Bytes inserted = random_bytes(length, g.next());
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), inserted.begin(), inserted.end());
                break;
            }
            case 2:
                out.erase(out.begin() + static_cast<std::ptrdiff_t>(pos),
                          out.begin() + static_cast<std::ptrdiff_t>(std::min(out.size(), pos + length)));
                break;
            default: {
                if (out.empty()) break;
                const std::size_t from = g.below(static_cast<std::uint32_t>(out.size()));
                const Bytes block(out.begin() + static_cast<std::ptrdiff_t>(from),
                                  out.begin() + static_cast<std::ptrdiff_t>(std::min(out.size(), from + length * 4)));
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), block.begin(), block.end());
            }
        }
    }
    return out;
}

// A "rebuilt binary": blocks moved around, and 4-byte numbers inside them changed by a constant.
Bytes relinked(const Bytes& old, std::uint64_t seed) {
    Lcg g{seed};
    Bytes out;
    std::size_t at = 0;
    while (at < old.size()) {
        const std::size_t length = std::min(old.size() - at, std::size_t{200} + g.below(3000));
        Bytes block(old.begin() + static_cast<std::ptrdiff_t>(at), old.begin() + static_cast<std::ptrdiff_t>(at + length));
        for (std::size_t k = g.below(64); k + 4 <= block.size(); k += 40 + g.below(80)) block[k] = static_cast<std::uint8_t>(block[k] + 0x30);
        if (g.below(3) == 0) out.insert(out.begin() + static_cast<std::ptrdiff_t>(g.below(static_cast<std::uint32_t>(out.size() + 1))), block.begin(), block.end());
        else out.insert(out.end(), block.begin(), block.end());
        at += length;
    }
    return out;
}

Bytes compress(const Bytes& old, const Bytes& now, int level) {
    const ByteVector o = view(old), n = view(now);
    CompressFailure failure = COMPRESS_FAILURE_NONE;
    ByteVector* delta = delta_compress(&o, &n, level, &failure);
    EXPECT_NE(delta, nullptr) << failure;
    return delta == nullptr ? Bytes() : take(delta);
}

// The rebuilt value, or the failure's offset and reason in `error`.
bool decompress(const Bytes& old, const Bytes& data, Bytes* out, DecompressError* error,
                std::uint64_t max_size = DECOMPRESS_DEFAULT_MAX_SIZE) {
    const ByteVector o = view(old), d = view(data);
    ByteVector* result = delta_decompress(&o, &d, max_size, error);
    if (result == nullptr) return false;
    *out = take(result);
    return true;
}

struct Pair {
    const char* name;
    Bytes old_value, new_value;
};

std::vector<Pair> pairs() {
    const Bytes base = random_bytes(20000, 1, 40);
    const Bytes words = text(30000, 2);
    const Bytes binary = random_bytes(50000, 3);
    Bytes repeated;
    for (int k = 0; k < 50; ++k) repeated.insert(repeated.end(), words.begin(), words.begin() + 300);
    return {
        {"both_empty", {}, {}},
        {"old_empty", {}, random_bytes(500, 4)},
        {"new_empty", random_bytes(500, 5), {}},
        {"tiny", {1, 2, 3}, {1, 2, 4, 3}},
        {"equal", base, base},
        {"edited", base, edited(base, 40, 6)},
        {"text_edited", words, edited(words, 25, 7)},
        {"moved", binary, relinked(binary, 8)},
        {"repeated", words, repeated},
        {"unrelated", random_bytes(5000, 9), random_bytes(7000, 10)},
        {"zeros", Bytes(40000, 0), Bytes(50000, 0)},
        {"short_windows", random_bytes(7, 11, 2), random_bytes(9, 12, 2)},
    };
}

class RoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(RoundTrip, EveryKindOfPair) {
    const int level = GetParam();
    for (const Pair& pair : pairs()) {
        SCOPED_TRACE(pair.name);
        const Bytes delta = compress(pair.old_value, pair.new_value, level);
        Bytes rebuilt;
        DecompressError error;
        ASSERT_TRUE(decompress(pair.old_value, delta, &rebuilt, &error)) << error.offset << ": " << error.reason;
        EXPECT_EQ(rebuilt, pair.new_value);
        EXPECT_EQ(compress(pair.old_value, pair.new_value, level), delta);  // the same bytes again
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, RoundTrip, ::testing::Range(COMPRESS_MIN_LEVEL, COMPRESS_MAX_LEVEL + 1));

TEST(Compress, RefusesLevelsOutsideTheRange) {
    const Bytes a = {1}, b = {2};
    const ByteVector o = view(a), n = view(b);
    for (int level : {COMPRESS_MIN_LEVEL - 1, COMPRESS_MAX_LEVEL + 1}) {
        CompressFailure failure = COMPRESS_FAILURE_NONE;
        EXPECT_EQ(delta_compress(&o, &n, level, &failure), nullptr);
        EXPECT_EQ(failure, COMPRESS_FAILURE_INVALID_LEVEL);
    }
}

// Approximate copies pay: relinked binaries compress far below their literal size.
TEST(Compress, ApproximateCopiesOfARelinkedBinary) {
    const Bytes old = random_bytes(200000, 13);
    const Bytes now = relinked(old, 14);
    EXPECT_LT(compress(old, now, COMPRESS_DEFAULT_LEVEL).size(), now.size() / 20);
}

// ---- The frame, written independently of the encoder from raw streams (stored sections).

void put64(Bytes* out, std::uint64_t v) {
    for (int k = 0; k < 8; ++k) out->push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}
void varint(Bytes* out, std::uint64_t v) {
    while (v >= 0x80) {
        out->push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out->push_back(static_cast<std::uint8_t>(v));
}
std::uint64_t zz(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }
std::uint64_t xxh(const Bytes& b, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    if (to == SIZE_MAX) to = b.size();
    return XXH3_64bits(b.data() + from, to - from);
}

// The fields of a frame's header, written by hand (stored sections only).
struct Sections {
    std::uint8_t mode = 0;
    std::vector<Bytes> streams;
};

struct Header {
    std::uint8_t version = 1, mode = 0, count = 0;
    std::uint64_t old_length = 0, new_length = 0, old_sum = 0, new_sum = 0;
    std::vector<std::array<std::uint64_t, 3>> entries;  // coding, stored, decoded
};

// A frame over the given stored sections with a correct checksum; `edit` may change the
// header's fields first.
Bytes frame(const Bytes& old, const Bytes& now, const Sections& s,
            const std::function<void(Header*)>& edit = [](Header*) {}) {
    Header h;
    h.mode = s.mode;
    h.count = static_cast<std::uint8_t>(s.streams.size());
    h.old_length = old.size();
    h.new_length = now.size();
    h.old_sum = xxh(old);
    h.new_sum = xxh(now);
    for (const Bytes& stream : s.streams) h.entries.push_back({0, stream.size(), stream.size()});
    edit(&h);
    Bytes out = {0x51, 0x56, 0x43, 0x44, h.version, h.mode, h.count};
    varint(&out, h.old_length);
    varint(&out, h.new_length);
    put64(&out, h.old_sum);
    put64(&out, h.new_sum);
    for (const auto& e : h.entries) {
        out.push_back(static_cast<std::uint8_t>(e[0]));
        varint(&out, e[1]);
        varint(&out, e[2]);
    }
    for (const Bytes& stream : s.streams) out.insert(out.end(), stream.begin(), stream.end());
    put64(&out, xxh(out));
    return out;
}

// Block streams from instructions (literal, copy length, relative offset, differing bytes).
struct Instruction {
    std::uint64_t literal;
    std::uint64_t copy;
    std::int64_t offset;
    std::vector<std::pair<std::uint64_t, std::uint8_t>> differences;  // (gap + 1, difference)
};

Sections streams(const std::vector<Instruction>& instructions, const Bytes& literals) {
    Sections s;
    s.streams.assign(5, Bytes());
    for (const Instruction& i : instructions) {
        varint(&s.streams[0], i.literal);
        varint(&s.streams[0], i.copy);
        if (i.copy == 0) continue;
        varint(&s.streams[1], zz(i.offset));
        for (const auto& d : i.differences) {
            varint(&s.streams[2], d.first);
            s.streams[3].push_back(d.second);
        }
        s.streams[2].push_back(0);
    }
    s.streams[4] = literals;
    return s;
}

const Bytes OLD = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};

TEST(Decompress, ReadsAFrameWrittenByHand) {
    // "xy", then abcd with c -> e, then a copy of the new value's own first 4 bytes
    // (overlapping: source 8 = new byte 0), then a literal "z".
    const Bytes now = {'x', 'y', 'a', 'b', 'e', 'd', 'x', 'y', 'a', 'b', 'z'};
    const Sections s = streams({{2, 4, 0, {{3, 2}}}, {0, 4, 4, {}}, {1, 0, 0, {}}}, {'x', 'y', 'z'});
    Bytes rebuilt;
    DecompressError error;
    ASSERT_TRUE(decompress(OLD, frame(OLD, now, s), &rebuilt, &error)) << error.offset << ": " << error.reason;
    EXPECT_EQ(rebuilt, now);
}

TEST(Decompress, RefusesFaultyInstructions) {
    const Bytes now = {'a', 'b', 'c', 'd'};
    struct Case {
        const char* name;
        std::vector<Instruction> instructions;
        Bytes literals;
    };
    const std::vector<Case> cases = {
        {"empty instruction", {{0, 0, 0, {}}, {0, 4, 0, {}}}, {}},
        {"source past old end", {{0, 4, 6, {}}}, {}},
        {"source before start", {{0, 4, -1, {}}}, {}},
        {"source at own bytes not yet made", {{0, 4, 8, {}}}, {}},
        {"copy beyond new length", {{0, 5, 0, {}}}, {}},
        {"literal beyond new length", {{5, 0, 0, {}}}, {'a', 'b', 'c', 'd', 'e'}},
        {"literal stream too short", {{4, 0, 0, {}}}, {'a'}},
        {"literal stream too long", {{0, 4, 0, {}}}, {'a'}},
        {"differing byte beyond copy", {{0, 4, 0, {{5, 1}}}}, {}},
        {"difference of zero", {{0, 4, 0, {{1, 0}}}}, {}},
        {"instructions end early", {{0, 3, 0, {}}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes rebuilt;
        DecompressError error;
        EXPECT_FALSE(decompress(OLD, frame(OLD, now, streams(c.instructions, c.literals)), &rebuilt, &error));
        EXPECT_EQ(error.failure, DECOMPRESS_FAILURE_INVALID);
        EXPECT_GT(std::strlen(error.reason), 0u);
    }
}

TEST(Decompress, RefusesHostileHeaders) {
    const Bytes now = {'a', 'b', 'c', 'd'};
    const Sections s = streams({{0, 4, 0, {}}}, {});
    struct Case {
        const char* name;
        std::function<void(Header*)> edit;
        DecompressFailure failure;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"huge new size", [](Header* h) { h->new_length = ~std::uint64_t{0}; }, DECOMPRESS_FAILURE_TOO_LARGE, "max_size"},
        {"new size above max", [](Header* h) { h->new_length = DECOMPRESS_DEFAULT_MAX_SIZE + 1; }, DECOMPRESS_FAILURE_TOO_LARGE, "max_size"},
        {"section beyond data", [](Header* h) { h->entries[1][1] = h->entries[1][2] = 1000; }, DECOMPRESS_FAILURE_INVALID, "cut short"},
        {"huge section", [](Header* h) { h->entries[0][1] = h->entries[0][2] = ~std::uint64_t{0}; }, DECOMPRESS_FAILURE_INVALID, "cut short"},
        {"stored lengths differ", [](Header* h) { h->entries[0][2] = 3; }, DECOMPRESS_FAILURE_INVALID, "two lengths differ"},
        {"unknown coding", [](Header* h) { h->entries[0][0] = 7; }, DECOMPRESS_FAILURE_INVALID, "unknown section coding"},
        {"bad zstd section", [](Header* h) { h->entries[0][0] = 1; }, DECOMPRESS_FAILURE_INVALID, "zstd"},
        {"bad lzma section", [](Header* h) { h->entries[0][0] = 2; }, DECOMPRESS_FAILURE_INVALID, "lzma"},
        {"unknown mode", [](Header* h) { h->mode = 2; }, DECOMPRESS_FAILURE_INVALID, "unknown mode"},
        {"prefix mode with five sections", [](Header* h) { h->mode = 1; }, DECOMPRESS_FAILURE_INVALID, "number of sections"},
        {"later version", [](Header* h) { h->version = 2; }, DECOMPRESS_FAILURE_INVALID, "version"},
        {"old length", [](Header* h) { h->old_length = 9; }, DECOMPRESS_FAILURE_WRONG_OLD, "length"},
        {"old checksum", [](Header* h) { h->old_sum = 1; }, DECOMPRESS_FAILURE_WRONG_OLD, "differs"},
        {"new checksum", [](Header* h) { h->new_sum = 1; }, DECOMPRESS_FAILURE_INVALID, "rebuilt value's checksum"},
        {"literal section longer than new", [](Header* h) { h->entries[4] = {1, 0, 5}; }, DECOMPRESS_FAILURE_INVALID, "allows"},
        {"streams beyond their bound", [](Header* h) { h->entries[2] = {1, h->entries[2][1], 1000}; },
         DECOMPRESS_FAILURE_INVALID, "allows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes rebuilt;
        DecompressError error;
        EXPECT_FALSE(decompress(OLD, frame(OLD, now, s, c.edit), &rebuilt, &error));
        EXPECT_EQ(error.failure, c.failure) << error.reason;
        EXPECT_NE(std::strstr(error.reason, c.reason), nullptr) << error.reason;
    }
}

// Every single-bit flip, every truncation and one appended byte of a sample's delta (in
// both modes) is refused; so is the right delta with a wrong old value.
TEST(Decompress, EveryBitFlipAndTruncationIsRefused) {
    const Bytes old = text(3000, 15);
    const Bytes now = edited(relinked(old, 16), 6, 17);
    for (int level : {1, COMPRESS_MAX_LEVEL}) {
        const Bytes delta = compress(old, now, level);
        SCOPED_TRACE(level);
        SCOPED_TRACE(delta[5] == 0 ? "block mode" : "prefix mode");
        EXPECT_LT(delta.size(), 2000u);
        Bytes rebuilt;
        DecompressError error;
        ASSERT_TRUE(decompress(old, delta, &rebuilt, &error));
        std::size_t accepted = 0;
        for (std::size_t bit = 0; bit < delta.size() * 8; ++bit) {
            Bytes damaged = delta;
            damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            if (decompress(old, damaged, &rebuilt, &error) || error.failure != DECOMPRESS_FAILURE_INVALID) ++accepted;
        }
        EXPECT_EQ(accepted, 0u);
        for (std::size_t length = 0; length < delta.size(); ++length) {
            const Bytes cut(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(length));
            EXPECT_FALSE(decompress(old, cut, &rebuilt, &error));
            EXPECT_EQ(error.failure, DECOMPRESS_FAILURE_INVALID);
            EXPECT_LE(error.offset, length);
        }
        Bytes longer = delta;
        longer.push_back(0);
        EXPECT_FALSE(decompress(old, longer, &rebuilt, &error));
        EXPECT_EQ(error.offset, delta.size());
        Bytes wrong_old = old;
        wrong_old[1000] ^= 1;
        EXPECT_FALSE(decompress(wrong_old, delta, &rebuilt, &error));
        EXPECT_EQ(error.failure, DECOMPRESS_FAILURE_WRONG_OLD);
    }
}

TEST(Decompress, MaxSizeIsInclusive) {
    const Bytes old = text(1000, 18), now = text(1200, 19);
    const Bytes delta = compress(old, now, 3);
    Bytes rebuilt;
    DecompressError error;
    EXPECT_TRUE(decompress(old, delta, &rebuilt, &error, now.size()));
    EXPECT_FALSE(decompress(old, delta, &rebuilt, &error, now.size() - 1));
    EXPECT_EQ(error.failure, DECOMPRESS_FAILURE_TOO_LARGE);
    EXPECT_EQ(error.value, now.size());
}

// The keep-going callback stops both directions; nothing is returned.
TEST(Compress, StopsWhenAskedTo) {
    const Bytes old = random_bytes(6 << 20, 20, 4);
    const Bytes now = edited(old, 100, 21);
    const ByteVector o = view(old), n = view(now);
    int calls = 0;
    CompressObserver observer;
    observer.context = &calls;
    observer.keep_going = [](void* context) { return ++*static_cast<int*>(context) < 2; };
    CompressFailure failure = COMPRESS_FAILURE_NONE;
    EXPECT_EQ(delta_compress(&o, &n, 1, &failure, &observer), nullptr);
    EXPECT_EQ(failure, COMPRESS_FAILURE_CANCELLED);
    // A block-mode frame (level 1 may keep a prefix-mode one, whose decoding checks less often).
    ByteVector* block = compressed::compress_with(&o, &n, compressed::level_settings(1), compressed::BLOCK_MODE_ONLY);
    ASSERT_NE(block, nullptr);
    const Bytes delta = take(block);
    const ByteVector d = view(delta);
    calls = 0;
    DecompressError error;
    EXPECT_EQ(delta_decompress(&o, &d, DECOMPRESS_DEFAULT_MAX_SIZE, &error, &observer), nullptr);
    EXPECT_EQ(error.failure, DECOMPRESS_FAILURE_CANCELLED);
}

// A JSON-like document: one stanza per region in each of many services.
std::string stanza(int service, int region) {
    return "      \"r" + std::to_string(region) + "\" : {\n        \"hostname\" : \"svc" + std::to_string(service) +
           ".r" + std::to_string(region) + ".example.com\",\n        \"tags\" : [ \"fips\" ]\n      },\n";
}

Bytes document(int services, int regions, int new_region) {
    std::string out = "{\n";
    for (int s = 0; s < services; ++s) {
        out += "  \"svc" + std::to_string(s) + "\" : {\n";
        for (int r = 0; r < regions; ++r) out += stanza(s, r);
        if (new_region >= 0 && s % 3 != 1) out += stanza(s, new_region);
        out += "  },\n";
    }
    out += "}\n";
    return Bytes(out.begin(), out.end());
}

// Pieces of `old` of every length from 8 to a few hundred bytes, from anywhere in it, some
// overlapping the one before (alignments that win by a few bytes), between runs of new text
// (a literal stream that the entropy stage's settings code differently) and, now and then,
// long runs of random bytes with a short piece inside (what the matcher's faster steps skip).
Bytes mosaic(const Bytes& old, std::size_t n, std::uint64_t seed) {
    Lcg g{seed};
    Bytes out;
    std::size_t from = 0;
    while (out.size() < n) {
        const std::size_t length = 8 + g.below(g.below(2) ? 24 : 400);
        from = g.below(3) == 0 ? from + g.below(16) : g.below(static_cast<std::uint32_t>(old.size() - length));
        if (from + length > old.size()) from = 0;
        out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(from), old.begin() + static_cast<std::ptrdiff_t>(from + length));
        from += length;
        const std::uint32_t kind = g.below(8);
        // (One draw a statement: the order in which a call's arguments are evaluated is the
        // compiler's, and differs between x86-64 and aarch64.)
        const std::size_t between_length = kind == 0 ? 300 + g.below(1200) : g.below(kind < 4 ? 200 : 12);
        const std::uint64_t between_seed = g.next();
        const Bytes between = kind == 0 ? random_bytes(between_length, between_seed) : text(between_length, between_seed);
        out.insert(out.end(), between.begin(), between.end());
    }
    return out;
}

// The levels' corpus: a pair of every kind the levels are tuned for.
std::vector<Pair> level_corpus() {
    const Bytes words = text(24000, 31);
    // Two letters: every 5 bytes recur thousands of times, 16 hardly by chance, so that how deep
    // prefix mode's zstd searches its chains for the source of a copy changes what it finds.
    const Bytes letters = random_bytes(60000, 42, 2);
    const Bytes binary = random_bytes(30000, 32);
    const Bytes base = random_bytes(40000, 33, 40);
    Bytes appended = random_bytes(20000, 34);
    const Bytes tail = random_bytes(6000, 35);
    Bytes grown = appended;
    grown.insert(grown.begin() + 9000, tail.begin(), tail.end());
    return {
        {"text", words, edited(words, 20, 36)},
        {"document", document(40, 6, -1), edited(document(40, 6, 9), 6, 37)},
        {"binary", binary, edited(relinked(binary, 38), 10, 39)},
        {"sparse", base, edited(base, 30, 40)},
        {"inserted", appended, grown},
        {"mosaic", words, mosaic(words, 60000, 41)},
        {"two letters", letters, mosaic(letters, 60000, 43)},
    };
}

// A digest of the corpus's deltas at `level`, and of one row of settings: its block-mode and
// prefix-mode frames of every pair.
std::uint64_t level_digest(const std::vector<Pair>& corpus, int level) {
    Bytes all;
    for (const Pair& pair : corpus) {
        const Bytes delta = compress(pair.old_value, pair.new_value, level);
        all.insert(all.end(), delta.begin(), delta.end());
    }
    return xxh(all);
}

std::uint64_t row_digest(const std::vector<Pair>& corpus, const compressed::LevelSettings& settings) {
    Bytes all;
    for (const Pair& pair : corpus) {
        const ByteVector o = view(pair.old_value), n = view(pair.new_value);
        for (compressed::Modes modes : {compressed::BLOCK_MODE_ONLY, compressed::PREFIX_MODE_ONLY}) {
            ByteVector* delta = compressed::compress_with(&o, &n, settings, modes);
            EXPECT_NE(delta, nullptr);
            if (delta == nullptr) continue;
            const Bytes bytes = take(delta);
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
    }
    return xxh(all);
}

// The format's bytes must not drift: a digest of each level's deltas of the corpus, and of
// each row of the level table's frames in either mode (so that a change to a row that no
// level's delta of the corpus shows still fails). Output changes on purpose only; say in the
// commit which bytes changed and why.
TEST(Compress, GoldenDigestPerLevel) {
    constexpr std::uint64_t LEVEL[COMPRESS_MAX_LEVEL] = {
        0xe2624bd0444a882c, 0x467a9bff37f9699d, 0xfbad8d495a5fac80, 0xc35323830fd461e5, 0x7a90121ae262b6df,
        0x7a90121ae262b6df, 0x7a90121ae262b6df, 0x02e2b5123c27b77a, 0x02e2b5123c27b77a,
    };
    constexpr std::uint64_t ROW[COMPRESS_MAX_LEVEL] = {
        0x2d39891f2fdc8335, 0x96caeecfc97f23e4, 0xe2910a31714c6f56, 0x4bfad53a2e83e27e, 0x0f2655d66438fa15,
        0x2432c0337fa680b1, 0xf66b1deb30dd9999, 0x0cf4997358d4a23a, 0x0a678545a287622d,
    };
    const std::vector<Pair> corpus = level_corpus();
    for (int level = COMPRESS_MIN_LEVEL; level <= COMPRESS_MAX_LEVEL; ++level) {
        const std::uint64_t digest = level_digest(corpus, level);
        EXPECT_EQ(digest, LEVEL[level - 1]) << "level " << level << ": 0x" << std::hex << digest;
        const std::uint64_t row = row_digest(corpus, compressed::level_settings(level));
        EXPECT_EQ(row, ROW[level - 1]) << "row " << level << ": 0x" << std::hex << row;
    }
}

// Each level's delta is at most 1% larger than the level below's, on every pair of the corpus.
TEST(Compress, LevelsOnlyGetSmaller) {
    for (const Pair& pair : level_corpus()) {
        std::uint64_t below = 0;
        for (int level = COMPRESS_MIN_LEVEL; level <= COMPRESS_MAX_LEVEL; ++level) {
            const std::uint64_t size = compress(pair.old_value, pair.new_value, level).size();
            if (level > COMPRESS_MIN_LEVEL) {
                EXPECT_LE(size * 100, below * 101) << pair.name << " level " << level << ": " << size << " after " << below;
            }
            below = size;
        }
    }
}

// The corpus exercises every field of every row of the level table: a row with any one field
// one step away makes other bytes in block or prefix mode (so that the golden digests catch
// any change to the table), but for the steps listed here, which no input this small can tell
// apart: zstd's levels from 19 on differ in how large their tables and window are and how deep
// they search, which on inputs under 128 KiB finds nothing more, zstd's level 12 with a set
// search depth differs from 11 only in the match length that ends a search early (32 bytes
// against 16 on large inputs; small ones get 8 from both), a search deeper than 2^9 found
// nothing more on inputs this small, and LZMA2's extreme presets 5 and 6 differ in how long
// a match they follow. The test checks that each listed step asks the
// library for other parameters (zstd's on a large input), and a listed step that starts
// to change the bytes fails too, so that the list stays exact. LZMA2's presets stop at 6:
// liblzma's 7 to 9 differ from 6 only in the dictionary size, which the format sets.
// Why the level table's LZMA2 presets stop at 6: liblzma's 7 to 9 set nothing else.
TEST(Compress, LzmaPresetsAboveSixDifferOnlyInTheDictionary) {
    for (std::uint32_t extreme : {0u, static_cast<std::uint32_t>(LZMA_PRESET_EXTREME)}) {
        lzma_options_lzma six{};
        ASSERT_FALSE(lzma_lzma_preset(&six, 6 | extreme));
        for (std::uint32_t preset = 7; preset <= 9; ++preset) {
            lzma_options_lzma other{};
            ASSERT_FALSE(lzma_lzma_preset(&other, preset | extreme));
            other.dict_size = six.dict_size;
            EXPECT_EQ(std::memcmp(&six, &other, sizeof six), 0) << preset << " " << extreme;
        }
    }
}

TEST(Compress, EveryFieldOfTheLevelTableCounts) {
    using compressed::LevelSettings;
    const std::set<std::string> same_bytes = {
        "level 5 block_zstd +1", "level 6 block_zstd +1", "level 7 block_zstd +1", "level 8 block_zstd +1", "level 9 block_zstd -1",
        "level 8 prefix_zstd -1", "level 9 lzma_preset -1", "level 3 prefix_zstd +1", "level 3 prefix_search +1",
    };
    // What zstd is asked for on a large input: its level's parameters, but for those that a
    // prefix search depth sets (compressed::zstd_prefix_settings), and that depth.
    const auto zstd_asks = [](int level, int search) {
        const std::uint64_t large = std::uint64_t{1} << 30;
        ZSTD_compressionParameters p = ZSTD_getCParams(level, large, 0);
        const compressed::ZstdSettings prefix = compressed::zstd_prefix_settings(level, search, large, large);
        if (search != 0) p.chainLog = p.hashLog = p.searchLog = 0;
        return std::array<unsigned, 8>{p.windowLog, p.chainLog, p.hashLog, p.searchLog, p.minMatch, p.targetLength,
                                       static_cast<unsigned>(p.strategy), static_cast<unsigned>(prefix.search_log)};
    };
    const auto lzma_asks = [](const LevelSettings& row) {
        lzma_options_lzma options{};
        EXPECT_FALSE(lzma_lzma_preset(&options, static_cast<std::uint32_t>(row.lzma_preset) | (row.lzma_extreme ? LZMA_PRESET_EXTREME : 0)));
        return std::array<std::uint32_t, 4>{options.nice_len, options.depth, static_cast<std::uint32_t>(options.mf),
                                            static_cast<std::uint32_t>(options.mode)};
    };
    const std::vector<Pair> corpus = level_corpus();
    const std::vector<std::pair<const char*, std::function<bool(LevelSettings*, int)>>> fields = {
        {"stride_log", [](LevelSettings* s, int d) { s->matcher.stride_log += d; return s->matcher.stride_log >= 0; }},
        {"bucket_size", [](LevelSettings* s, int d) { s->matcher.bucket_size = d > 0 ? s->matcher.bucket_size * 2 : s->matcher.bucket_size / 2; return s->matcher.bucket_size >= 1; }},
        {"min_gain", [](LevelSettings* s, int d) { s->matcher.min_gain += static_cast<std::uint32_t>(d); return true; }},
        {"skip_shift", [](LevelSettings* s, int d) { s->matcher.skip_shift += static_cast<std::uint32_t>(d); return s->matcher.skip_shift <= 31; }},
        {"block_zstd", [](LevelSettings* s, int d) { s->block_zstd += d; return s->block_zstd >= 1 && s->block_zstd <= 22; }},
        {"prefix_zstd", [](LevelSettings* s, int d) { s->prefix_zstd += d; return s->prefix_zstd >= 1 && s->prefix_zstd <= 22; }},
        {"prefix_search", [](LevelSettings* s, int d) { s->prefix_search += d; return s->prefix_search >= 0 && s->prefix_search <= 30; }},
        {"lzma_preset", [](LevelSettings* s, int d) { s->lzma_preset += d; return s->lzma_preset >= -1 && s->lzma_preset <= 6; }},
        {"lzma_extreme", [](LevelSettings* s, int d) { s->lzma_extreme = !s->lzma_extreme; return d > 0; }},
    };
    for (int level = COMPRESS_MIN_LEVEL; level <= COMPRESS_MAX_LEVEL; ++level) {
        const LevelSettings& row = compressed::level_settings(level);
        EXPECT_LE(row.lzma_preset, 6) << "level " << level;
        const std::uint64_t digest = row_digest(corpus, row);
        for (const auto& field : fields) {
            for (int step : {-1, 1}) {
                LevelSettings changed = row;
                if (!field.second(&changed, step)) continue;
                if (field.first == std::string("lzma_extreme") && row.lzma_preset < 0) continue;  // unused without LZMA2
                const std::string name = "level " + std::to_string(level) + " " + field.first + (step > 0 ? " +1" : " -1");
                EXPECT_EQ(row_digest(corpus, changed) == digest, same_bytes.count(name) == 1) << name;
                if (same_bytes.count(name) == 1 && field.first == std::string("lzma_preset")) {
                    EXPECT_NE(lzma_asks(row), lzma_asks(changed)) << name;
                } else if (same_bytes.count(name) == 1) {
                    const bool block = field.first == std::string("block_zstd");
                    EXPECT_NE(block ? zstd_asks(row.block_zstd, 0) : zstd_asks(row.prefix_zstd, row.prefix_search),
                              block ? zstd_asks(changed.block_zstd, 0)
                                    : zstd_asks(changed.prefix_zstd, changed.prefix_search)) << name;
                }
            }
        }
    }
}

}  // namespace

namespace {

// Digests of every level's delta of two pairs: a rebuilt binary with a long text appended
// (block mode, a long literal stream) and an edited text (prefix mode, LZMA2's too at the top
// levels: old and new together stay within 2 MiB). The values are longer than the pieces in
// which the entropy stage feeds its libraries and than the matchers' stop-check periods, so
// that the way the work is cut up cannot change a byte.
void expect_golden_digests(std::size_t unit, const std::uint64_t (&expected)[COMPRESS_MAX_LEVEL][2]) {
    const Bytes binary = random_bytes(unit, 30, 64);
    Bytes rebuilt = relinked(binary, 31);
    const Bytes appended = text(unit + unit / 4, 32);
    rebuilt.insert(rebuilt.end(), appended.begin(), appended.end());
    const Bytes words = text(unit - unit / 8, 33);
    const Bytes words_edited = edited(text(unit + unit / 8, 33), 200, 34);
    for (int level = COMPRESS_MIN_LEVEL; level <= COMPRESS_MAX_LEVEL; ++level) {
        const std::uint64_t block = xxh(compress(binary, rebuilt, level));
        const std::uint64_t prefix = xxh(compress(words, words_edited, level));
        EXPECT_EQ(block, expected[level - 1][0]) << "level " << level << std::hex << " 0x" << block;
        EXPECT_EQ(prefix, expected[level - 1][1]) << "level " << level << std::hex << " 0x" << prefix;
    }
}

TEST(Compress, GoldenDigestsOfEveryLevel) {
    const std::uint64_t expected[COMPRESS_MAX_LEVEL][2] = {
        {0x8e10be57ea3a1f7full, 0xa96b70d5cd413159ull},
        {0x8a170f0f00a673faull, 0xd39bd1c48efe0414ull},
        {0x2ea5634202e83b53ull, 0xd39bd1c48efe0414ull},
        {0x2ea5634202e83b53ull, 0xbfc7ba0934429653ull},
        {0x573c0133c3f3f534ull, 0xd3ce75915daf2d0dull},
        {0x573c0133c3f3f534ull, 0xd3ce75915daf2d0dull},
        {0x4613e6578065247aull, 0x28d08337e80929e4ull},
        {0x4613e6578065247aull, 0x28d08337e80929e4ull},
        {0x4613e6578065247aull, 0x28d08337e80929e4ull},
    };
    expect_golden_digests(std::size_t{320} << 10, expected);
}

// The same on values over a mebibyte (a few minutes on a loaded machine; run it with
// --gtest_also_run_disabled_tests after changing how the entropy stage or the matcher cut
// up their work).
TEST(Compress, DISABLED_GoldenDigestsOfEveryLevelOverAMebibyte) {
    const std::uint64_t expected[COMPRESS_MAX_LEVEL][2] = {
        {0x321e72424bf63a3full, 0x89f7f4fecd9bb1aaull},
        {0xeb645b01b053e443ull, 0xa631747d1a21de22ull},
        {0x3fec3812d21c3f9full, 0xa631747d1a21de22ull},
        {0x3fec3812d21c3f9full, 0xa4c430cc56c5ba52ull},
        {0xd8d730667d8f78b8ull, 0x52736d0aebd8c2f9ull},
        {0xd8d730667d8f78b8ull, 0x52736d0aebd8c2f9ull},
        {0x52c8f69cd3b4e7f2ull, 0x52736d0aebd8c2f9ull},
        {0x52c8f69cd3b4e7f2ull, 0xd95a80487737cdd4ull},
        {0x52c8f69cd3b4e7f2ull, 0xd95a80487737cdd4ull},
    };
    expect_golden_digests(std::size_t{1} << 20, expected);
}

// Every allocation of compress (matcher, encoder, zstd's and liblzma's own, the result) made
// to fail in turn, in both modes: each failure is COMPRESS_FAILURE_NO_MEMORY with nothing
// returned (and, under AddressSanitizer, nothing leaked); never a different delta. The top
// level makes the frames of every row, so it reaches every allocation of every level; levels
// 1 and the default are checked on their own too, as the levels most called. (Every level in
// turn made each lower row's allocations fail again at every level above it, and took five
// minutes under AddressSanitizer.)
TEST(Compress, RunningOutOfMemoryAtEveryAllocationOfEveryLevel) {
    const Bytes binary = random_bytes(3000, 40, 16);
    const Bytes words = text(2500, 41);
    const std::pair<Bytes, Bytes> pairs[] = {{binary, edited(relinked(binary, 42), 10, 43)},
                                             {words, edited(words, 10, 44)}};
    for (const auto& [old_bytes, new_bytes] : pairs) {
        const ByteVector o = view(old_bytes), n = view(new_bytes);
        for (int level : {COMPRESS_MIN_LEVEL, COMPRESS_DEFAULT_LEVEL, COMPRESS_MAX_LEVEL}) {
            SCOPED_TRACE(level);
            const Bytes expected = compress(old_bytes, new_bytes, level);
            long long failed_at = 0;
            for (;; ++failed_at) {
                heap_fail_after(failed_at);
                CompressFailure failure = COMPRESS_FAILURE_NONE;
                ByteVector* delta = delta_compress(&o, &n, level, &failure);
                heap_fail_after(-1);
                if (delta != nullptr) {
                    EXPECT_EQ(take(delta), expected) << failed_at;
                    break;
                }
                ASSERT_EQ(failure, COMPRESS_FAILURE_NO_MEMORY) << failed_at;
            }
            EXPECT_GE(failed_at, 5);  // the index, the streams, zstd's context and tables, the result
        }
    }
}

// Every level asks at the start, and the top one (seconds of work here) again and again while
// it works; when the check says stop, nothing is returned and it is not asked again.
TEST(Compress, EveryLevelStopsWhenAskedTo) {
    const Bytes old = text(300000, 50);
    const Bytes now = edited(old, 50, 51);
    const ByteVector o = view(old), n = view(now);
    for (int level = COMPRESS_MIN_LEVEL; level <= COMPRESS_MAX_LEVEL; ++level) {
        for (const int stop_at : {1, level == COMPRESS_MAX_LEVEL ? 4 : 1}) {
            StopAt stop{0, stop_at};
            const StopCheck check{StopAt::keep_going, &stop};
            CompressFailure failure = COMPRESS_FAILURE_NONE;
            EXPECT_EQ(delta_compress(&o, &n, level, &failure, &check), nullptr) << level;
            EXPECT_EQ(failure, COMPRESS_FAILURE_CANCELLED) << level;
            EXPECT_EQ(stop.questions, stop_at) << level;  // not asked again once it said stop
        }
    }
}

// With a helper thread making each row's prefix frame while the calling thread makes its
// block frame, every level gives the same bytes as on one thread.
TEST(Compress, TwoThreadsMakeTheSameBytes) {
    for (const Pair& pair : level_corpus()) {
        const ByteVector o = view(pair.old_value), n = view(pair.new_value);
        for (int level = COMPRESS_MIN_LEVEL; level <= COMPRESS_MAX_LEVEL; ++level) {
            ByteVector* two = delta_compress(&o, &n, level, nullptr, nullptr, 2);
            ASSERT_NE(two, nullptr);
            EXPECT_EQ(take(two), compress(pair.old_value, pair.new_value, level)) << pair.name << " level " << level;
        }
    }
}

// Stopped at any of its first `questions` questions, a default-level call with `threads` gives
// nothing, stops its helpers, and leaves no block of the engine's heap behind; so does running
// out of memory at any allocation of the calling thread; once it finishes, it gives the bytes
// of one thread.
void expect_stops_and_fails_cleanly(const Bytes& old_bytes, const Bytes& new_bytes, int threads, int questions) {
    const ByteVector o = view(old_bytes), n = view(new_bytes);
    const long long before = heap_blocks_live();
    for (int stop_at = 1; stop_at <= questions; ++stop_at) {
        StopAt stop{0, stop_at};
        const StopCheck check{StopAt::keep_going, &stop};
        CompressFailure failure = COMPRESS_FAILURE_NONE;
        ByteVector* delta = delta_compress(&o, &n, COMPRESS_DEFAULT_LEVEL, &failure, &check, threads);
        if (delta != nullptr) {  // finished before its stop_at-th question
            byte_vector_free(delta);
            break;
        }
        EXPECT_EQ(failure, COMPRESS_FAILURE_CANCELLED) << stop_at;
        EXPECT_EQ(stop.questions, stop_at);
        EXPECT_EQ(heap_blocks_live(), before) << stop_at;
    }
    const Bytes expected = compress(old_bytes, new_bytes, COMPRESS_DEFAULT_LEVEL);
    for (long long failed_at = 0;; ++failed_at) {
        heap_fail_after(failed_at);
        CompressFailure failure = COMPRESS_FAILURE_NONE;
        ByteVector* delta = delta_compress(&o, &n, COMPRESS_DEFAULT_LEVEL, &failure, nullptr, threads);
        heap_fail_after(-1);
        if (delta != nullptr) {
            EXPECT_EQ(take(delta), expected);
            EXPECT_EQ(heap_blocks_live(), before);
            break;
        }
        ASSERT_EQ(failure, COMPRESS_FAILURE_NO_MEMORY) << failed_at;
        EXPECT_EQ(heap_blocks_live(), before) << failed_at;
    }
}

// A call with a helper thread for the prefix frame.
TEST(Compress, TwoThreadsStopAndFailCleanly) {
    const Bytes old = text(200000, 52);
    expect_stops_and_fails_cleanly(old, edited(old, 40, 53), 2, 12);
}

// Streams made with one skip_shift are the ones another would make wherever same_scan says
// so (neither then steps faster over the longest unmatched run met), on pairs with short
// unmatched runs, one of a few KB, and nothing matching; and it says so across different
// skip_shifts on some of them and not on others.
TEST(Compress, SameScanMeansTheSameStreams) {
    using compressed::BlockStreams;
    using compressed::MatcherSettings;
    const Bytes words = text(200000, 60);
    Bytes inserted = edited(words, 40, 62);
    const Bytes noise = random_bytes(3000, 61);
    inserted.insert(inserted.begin() + 100000, noise.begin(), noise.end());
    const std::pair<Bytes, Bytes> pairs[] = {{words, edited(words, 40, 62)},
                                             {words, inserted},
                                             {random_bytes(100000, 63), random_bytes(100000, 64)}};
    const auto same_streams = [](const BlockStreams& a, const BlockStreams& b) {
        for (int k = 0; k < compressed::BLOCK_STREAMS; ++k) {
            if (!std::equal(a.stream[k].begin(), a.stream[k].end(), b.stream[k].begin(), b.stream[k].end())) return false;
        }
        return true;
    };
    int alike = 0, unlike = 0;
    for (const auto& [old_bytes, new_bytes] : pairs) {
        compressed::Ticker ticker(nullptr);
        match::HashIndex index;
        const MatcherSettings shape{1, 8, 8, 0};
        compressed::build_block_index(old_bytes.data(), old_bytes.size(), shape, 1, &ticker, &index);
        const auto scan = [&](std::uint32_t skip_shift) {
            BlockStreams streams;
            MatcherSettings settings = shape;
            settings.skip_shift = skip_shift;
            compressed::find_blocks(old_bytes.data(), old_bytes.size(), new_bytes.data(), new_bytes.size(), settings,
                                    index, &ticker, &streams);
            return streams;
        };
        for (const std::uint32_t made : {0u, 4u, 7u, 8u, 13u}) {
            const BlockStreams streams = scan(made);
            for (const std::uint32_t wanted : {0u, 4u, 7u, 8u, 13u}) {
                if (made == wanted) continue;
                MatcherSettings made_settings = shape, wanted_settings = shape;
                made_settings.skip_shift = made;
                wanted_settings.skip_shift = wanted;
                if (compressed::same_scan(made_settings, streams, wanted_settings)) {
                    ++alike;
                    EXPECT_TRUE(same_streams(streams, scan(wanted))) << made << " " << wanted;
                } else {
                    ++unlike;
                }
            }
        }
    }
    EXPECT_GE(alike, 8);
    EXPECT_GE(unlike, 8);
}

// Every checksum path this processor has gives XXH3's value on every length and alignment,
// across the slices of a long value too (the frames' checksums are XXH3 of the values).
TEST(Compress, EveryChecksumPathGivesXxh3) {
    const Bytes data = random_bytes((std::size_t{1} << 25) + 1024, 90);
    const compressed::ChecksumPath chosen = compressed::checksum_path();
    std::vector<std::uint64_t> lengths;
    for (std::uint64_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (std::uint64_t n : {1023u, 1024u, 1025u, 4095u, 65536u, 100001u, 1u << 24, (1u << 24) + 1, (1u << 25) + 999})
        lengths.push_back(n);
    int paths = 0;
    for (const compressed::ChecksumPath path : {compressed::CHECKSUM_PORTABLE, compressed::CHECKSUM_AVX2}) {
        if (!compressed::checksum_set_path(path)) continue;
        ++paths;
        for (const std::uint64_t length : lengths) {
            for (const std::size_t offset : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
                const std::uint8_t* at = data.data() + offset;
                EXPECT_EQ(compressed::checksum(at, length, nullptr), XXH3_64bits(at, static_cast<std::size_t>(length)))
                    << "path " << path << ", length " << length << ", offset " << offset;
            }
        }
    }
    EXPECT_TRUE(compressed::checksum_set_path(chosen));
    EXPECT_GE(paths, 1);
}

// A call with a lease (common/leave.h) and a stop check works on a worker: stopped, it returns
// at once and leaves the worker, which later releases the lease, once, after the last read of
// the inputs (they are freed at the release: AddressSanitizer sees any read after it) and with
// every block of the engine's heap freed. Not stopped, it gives the bytes of a call without a
// lease and keeps the lease; under its size, it runs on the calling thread.
TEST(Compress, ALeftCallReleasesItsInputsOnceItsWorkerHasEnded) {
    struct Lease {
        std::mutex mutex;
        std::condition_variable released;
        int releases = 0;
        std::unique_ptr<Bytes> old_value, new_value;
        static void release(void* context) {
            auto* self = static_cast<Lease*>(context);
            std::lock_guard<std::mutex> hold(self->mutex);
            self->old_value.reset();
            self->new_value.reset();
            ++self->releases;
            self->released.notify_all();
        }
    };
    const long long before = heap_blocks_live();
    for (const int stop_at : {1, 2, 5}) {
        SCOPED_TRACE(stop_at);
        Lease held;
        held.old_value = std::make_unique<Bytes>(text(700000, 54));
        held.new_value = std::make_unique<Bytes>(edited(*held.old_value, 60, 55));
        const ByteVector o = view(*held.old_value), n = view(*held.new_value);
        InputLease lease{Lease::release, &held};
        StopAt stop{0, stop_at};
        const StopCheck check{StopAt::keep_going, &stop};
        CompressFailure failure = COMPRESS_FAILURE_NONE;
        EXPECT_EQ(delta_compress(&o, &n, COMPRESS_MAX_LEVEL, &failure, &check, 1, &lease), nullptr);
        EXPECT_EQ(failure, COMPRESS_FAILURE_CANCELLED);
        EXPECT_EQ(stop.questions, stop_at);
        std::unique_lock<std::mutex> hold(held.mutex);
        if (lease.taken) {
            EXPECT_TRUE(held.released.wait_for(hold, std::chrono::minutes(2), [&] { return held.releases > 0; }));
        }
        EXPECT_EQ(held.releases, lease.taken ? 1 : 0);
        EXPECT_EQ(heap_blocks_live(), before);
    }
    const Bytes old = text(300000, 56);
    const Bytes now = edited(old, 30, 57);
    const ByteVector o = view(old), n = view(now);
    StopAt never{0, -1};
    const StopCheck check{StopAt::keep_going, &never};
    InputLease lease{Lease::release, nullptr};
    ByteVector* delta = delta_compress(&o, &n, COMPRESS_DEFAULT_LEVEL, nullptr, &check, 1, &lease);
    ASSERT_NE(delta, nullptr);
    EXPECT_EQ(take(delta), compress(old, now, COMPRESS_DEFAULT_LEVEL));
    EXPECT_FALSE(lease.taken);
    const Bytes small_old = text(100000, 58), small_new = edited(small_old, 10, 59);
    const ByteVector so = view(small_old), sn = view(small_new);
    StopAt first{0, 1};
    const StopCheck stop_first{StopAt::keep_going, &first};
    CompressFailure failure = COMPRESS_FAILURE_NONE;
    EXPECT_EQ(delta_compress(&so, &sn, COMPRESS_MAX_LEVEL, &failure, &stop_first, 1, &lease), nullptr);
    EXPECT_EQ(failure, COMPRESS_FAILURE_CANCELLED);
    EXPECT_FALSE(lease.taken);  // on the calling thread: nothing left behind
    EXPECT_EQ(heap_blocks_live(), before);
}

// With streams past the size where they are coded by several threads (a rebuilt binary with
// a long literal run), every thread count gives the bytes of one thread, and a call with
// helpers for the streams stops and fails cleanly.
TEST(Compress, StreamsCodedByManyThreadsAreTheSameAndStopCleanly) {
    const Bytes binary = random_bytes(200000, 70, 64);
    Bytes rebuilt = relinked(binary, 71);
    const Bytes appended = random_bytes(300000, 72);  // literals alone past the size
    rebuilt.insert(rebuilt.end(), appended.begin(), appended.end());
    const ByteVector o = view(binary), n = view(rebuilt);
    for (int level : {COMPRESS_DEFAULT_LEVEL, 6}) {
        const Bytes expected = compress(binary, rebuilt, level);
        for (int threads : {2, 3, 6}) {
            ByteVector* delta = delta_compress(&o, &n, level, nullptr, nullptr, threads);
            ASSERT_NE(delta, nullptr);
            EXPECT_EQ(take(delta), expected) << "level " << level << ", " << threads << " threads";
        }
    }
    expect_stops_and_fails_cleanly(binary, rebuilt, 3, 8);
}

}  // namespace

// A large old value is indexed in at most a quarter byte per old byte at every row (the bound on
// memory that levels.h states for large values).
TEST(Compress, EveryRowIndexesALargeOldValueInAQuarterByteAByte) {
    for (int level = COMPRESS_MIN_LEVEL; level <= COMPRESS_MAX_LEVEL; ++level) {
        const compressed::MatcherSettings& matcher = compressed::level_settings(level).matcher;
        for (std::uint64_t size : {compressed::LARGE_OLD_BYTES, std::uint64_t{1} << 31, std::uint64_t{3} << 32}) {
            EXPECT_LE(compressed::matcher_index_bytes(size, matcher), size / 4) << "level " << level << ", " << size;
        }
    }
}

// A pair past the size where the index is sparser and the prefix mode is left out once behind:
// the default level is no larger than the level below it, makes the same bytes with two
// threads (which also build the index together), and decompresses.
TEST(Compress, LargeValuesKeepTheLevelsOrderAndTheBytes) {
    Lcg rng{81};
    const std::size_t size = static_cast<std::size_t>(std::max(compressed::LARGE_OLD_BYTES, compressed::LARGE_VALUE_BYTES));
    Bytes old = random_bytes(size / 2, 80);
    const Bytes words = text(size / 2, 82);
    old.insert(old.end(), words.begin(), words.end());
    Bytes now = old;
    for (int k = 0; k < 300; ++k) {
        const std::size_t at = rng.below(static_cast<std::uint32_t>(size - 64));
        for (std::size_t j = 0; j < 40; ++j) {
            now[at + j] = static_cast<std::uint8_t>(rng.below(256));
        }
    }
    const ByteVector o = view(old), n = view(now);
    const Bytes level3 = compress(old, now, COMPRESS_DEFAULT_LEVEL);
    EXPECT_LE(level3.size(), compress(old, now, COMPRESS_DEFAULT_LEVEL - 1).size());
    ByteVector* two = delta_compress(&o, &n, COMPRESS_DEFAULT_LEVEL, nullptr, nullptr, 2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(take(two), level3);
    Bytes rebuilt;
    DecompressError error;
    ASSERT_TRUE(decompress(old, level3, &rebuilt, &error)) << error.reason;
    EXPECT_TRUE(rebuilt == now);
}
