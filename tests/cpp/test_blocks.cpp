#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/memory.h"
#include "delta/blocks/blocks.h"
#include "delta/match/hash_index.h"
#include "delta/raw/patch.h"
#include "test_support.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

// Scattered edits: replaced, inserted and deleted bytes and blocks copied from elsewhere.
Bytes edited(const Bytes& old, unsigned edits, std::uint32_t seed) {
    Bytes out = old;
    Random g(seed);
    for (unsigned i = 0; i < edits; ++i) {
        const std::size_t pos = g() % (out.size() + 1);
        const std::uint32_t longest = g() % 2 ? 100 : 8;
        const std::size_t length = 1 + g() % longest;
        switch (g() % 4) {
            case 0:
                for (std::size_t k = pos; k < std::min(out.size(), pos + length); ++k) out[k] = static_cast<std::uint8_t>(g());
                break;
            case 1: {
                const Bytes fresh = random_bytes(length, g());
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), fresh.begin(), fresh.end());
                break;
            }
            case 2:
                out.erase(out.begin() + static_cast<std::ptrdiff_t>(pos),
                          out.begin() + static_cast<std::ptrdiff_t>(std::min(out.size(), pos + length)));
                break;
            default: {
                if (out.empty()) break;
                const std::size_t from = g() % out.size();
                const Bytes block = slice(out, from, std::min(out.size(), from + length));
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), block.begin(), block.end());
            }
        }
    }
    return out;
}

Bytes whole_value(const Bytes& value) {
    const ByteVector v = view(value);
    return take(whole_value_delta(&v));
}

struct BlocksRun {
    int code;
    Bytes delta;
    std::vector<EditCall> calls;
};

BlocksRun run_blocks(const Bytes& old_bytes, const Bytes& new_bytes, const BlocksOptions& options) {
    const ByteVector a = view(old_bytes), b = view(new_bytes);
    BlocksRun run;
    DeltaWriter* writer = delta_writer_new(&a, &b);
    run.code = diff_blocks_edits(&a, &b, options, writer, &run.calls);
    bool no_memory = false;
    ByteVector* result = select_diff_result(run.code, writer, &b, &no_memory);
    delta_writer_free(writer);
    if (result != nullptr) run.delta = take(result);
    return run;
}

Bytes diff_blocks(const Bytes& old_bytes, const Bytes& new_bytes, const BlocksOptions& options) {
    const ByteVector a = view(old_bytes), b = view(new_bytes);
    return take(delta_diff_blocks(&a, &b, options));
}

// One decoded entry of a delta as the writer writes them (shortest heads, definite strings).
struct Entry {
    bool match;
    std::uint64_t offset;  // match: offset in the old value; insert: position in the delta
    std::uint64_t length;
};

bool read_argument(const Bytes& d, std::size_t* pos, unsigned* major, std::uint64_t* value) {
    if (*pos >= d.size()) return false;
    const unsigned ib = d[*pos];
    *major = ib >> 5;
    const unsigned info = ib & 31;
    ++*pos;
    if (info < 24) {
        *value = info;
        return true;
    }
    if (info > 27) return false;
    const std::size_t width = std::size_t{1} << (info - 24);
    if (d.size() - *pos < width) return false;
    *value = 0;
    for (std::size_t i = 0; i < width; ++i) *value = (*value << 8) | d[(*pos)++];
    return true;
}

std::vector<Entry> entries_of(const Bytes& d) {
    std::vector<Entry> out;
    std::size_t pos = 0;
    while (pos < d.size()) {
        unsigned major = 0;
        std::uint64_t value = 0;
        EXPECT_TRUE(read_argument(d, &pos, &major, &value));
        if (major == 0) {
            std::uint64_t length = 0;
            EXPECT_TRUE(read_argument(d, &pos, &major, &length));
            EXPECT_EQ(major, 0u);
            out.push_back({true, value, length});
        } else {
            EXPECT_EQ(major, 2u);
            out.push_back({false, pos, value});
            pos += value;
        }
    }
    EXPECT_EQ(pos, d.size());
    return out;
}

// Every property a delta of diff_blocks must have, and the emissions behind it.
void check_case(const std::string& name, const Bytes& old_bytes, const Bytes& new_bytes, const BlocksOptions& options) {
    SCOPED_TRACE(name);
    const BlocksRun run = run_blocks(old_bytes, new_bytes, options);
    ASSERT_TRUE(run.code == DIFF_DELTA || run.code == DIFF_WHOLE_VALUE || run.code == DIFF_UNCHANGED) << run.code;
    const Bytes& d = run.delta;
    EXPECT_EQ(d, diff_blocks(old_bytes, new_bytes, options)) << "the driver chooses the result differently";

    // Round trip through patch.
    const ByteVector a = view(old_bytes), dv = view(d);
    ByteVector* patched = apply_delta(&a, &dv);
    ASSERT_NE(patched, nullptr);
    EXPECT_EQ(take(patched), new_bytes);

    // Never longer than the whole-value delta; the marker exactly for equal values of 2 bytes or more.
    const Bytes whole = whole_value(new_bytes);
    EXPECT_LE(d.size(), whole.size());
    const bool marker = d == Bytes{0xF6};
    EXPECT_EQ(marker, old_bytes == new_bytes && new_bytes.size() >= 2);
    if (!marker && d != whole) {
        EXPECT_LT(d.size(), new_bytes.size());
        // Format: entries cover a byte or more, matches lie within the old value, no two inserts adjacent.
        bool previous_insert = false;
        for (const Entry& e : entries_of(d)) {
            EXPECT_GE(e.length, 1u);
            if (e.match) {
                EXPECT_LE(e.offset + e.length, old_bytes.size());
            }
            EXPECT_FALSE(previous_insert && !e.match) << "adjacent inserts";
            previous_insert = !e.match;
        }
    }

    // Emissions: in the order of the new value, within both values, and consecutive matches
    // with nothing between them continue each other in the old value.
    std::uint64_t covered = 0;
    const EditCall* last = nullptr;
    for (const EditCall& call : run.calls) {
        if (call.kind == EditCall::DELETE) {
            EXPECT_TRUE(last != nullptr && last->kind == EditCall::MATCH) << "a delete that closes no match";
        } else {
            EXPECT_GE(call.length, 1);
            EXPECT_GE(call.position, 0);
            if (call.kind == EditCall::MATCH) {
                EXPECT_LE(static_cast<std::uint64_t>(call.position) + call.length, old_bytes.size());
                EXPECT_EQ(std::memcmp(old_bytes.data() + call.position, new_bytes.data() + covered,
                                      static_cast<std::size_t>(call.length)), 0);
                if (last != nullptr && last->kind == EditCall::MATCH) {
                    EXPECT_EQ(last->position + last->length, call.position) << "a match that does not continue the last";
                }
            } else {
                EXPECT_EQ(static_cast<std::uint64_t>(call.position), covered);
            }
            covered += static_cast<std::uint64_t>(call.length);
        }
        last = &call;
    }
    if (run.code != DIFF_WHOLE_VALUE || run.calls.empty() || covered != 0) {
        EXPECT_EQ(covered, new_bytes.size());
    }
}

struct NamedPair {
    std::string name;
    Bytes old_bytes, new_bytes;
};

std::vector<NamedPair> cases() {
    std::vector<NamedPair> out;
    const Bytes text = bytes_of(
        "The quick brown fox jumps over the lazy dog. Pack my box with five dozen liquor jugs. "
        "How vexingly quick daft zebras jump! Sphinx of black quartz, judge my vow. ");
    const Bytes r = random_bytes(4000, 1);
    const Bytes s = random_bytes(4000, 2);
    const Bytes small = random_bytes(3000, 3, 4);
    out.push_back({"both empty", {}, {}});
    out.push_back({"empty old", {}, bytes_of("abcdefghijkl")});
    out.push_back({"empty new", r, {}});
    out.push_back({"one byte each, equal", bytes_of("a"), bytes_of("a")});
    out.push_back({"one byte each, different", bytes_of("a"), bytes_of("b")});
    out.push_back({"one byte old", bytes_of("a"), text});
    out.push_back({"one byte new", text, bytes_of("q")});
    out.push_back({"short equal", bytes_of("abc"), bytes_of("abc")});
    out.push_back({"identical", r, r});
    out.push_back({"identical text", text, text});
    out.push_back({"insert in the middle", bytes_of("0123456789"), bytes_of("01234X56789")});
    out.push_back({"rotated", r, concat({slice(r, 1234, 4000), slice(r, 0, 1234)})});
    out.push_back({"halves swapped", text, concat({slice(text, 80, text.size()), slice(text, 0, 80)})});
    out.push_back({"duplicated", r, concat({r, r, slice(r, 100, 900)})});
    out.push_back({"repeated block", slice(r, 0, 64), concat({slice(r, 0, 64), slice(r, 0, 64), slice(r, 0, 64), slice(r, 0, 64)})});
    out.push_back({"reversed blocks", r, concat({slice(r, 3000, 4000), slice(r, 2000, 3000), slice(r, 1000, 2000), slice(r, 0, 1000)})});
    out.push_back({"unrelated", r, s});
    out.push_back({"unrelated with a shared block", r, concat({slice(s, 0, 2000), slice(r, 500, 1500), slice(s, 2000, 4000)})});
    out.push_back({"run of one byte", Bytes(5000, 0), Bytes(7000, 0)});
    out.push_back({"runs of one byte, different", Bytes(5000, 'a'), Bytes(5000, 'b')});
    out.push_back({"runs around a block", concat({Bytes(300, 0), slice(r, 0, 100), Bytes(300, 0)}),
                   concat({Bytes(500, 0), slice(r, 0, 100), Bytes(100, 0), slice(r, 0, 100)})});
    out.push_back({"small alphabet, edited", small, edited(small, 20, 4)});
    out.push_back({"random, edited", r, edited(r, 12, 5)});
    out.push_back({"text, edited", concat({text, text, text}), edited(concat({text, text, text}), 6, 6)});
    out.push_back({"old is a prefix", r, concat({r, s})});
    out.push_back({"new is a prefix", r, slice(r, 0, 3000)});
    out.push_back({"new is a middle part", r, slice(r, 1000, 3000)});
    for (unsigned k = 0; k < 24; ++k) {
        const std::size_t n = k % 3 == 0 ? k : 50 * k;
        const Bytes base = random_bytes(n, 100 + k, k % 2 ? 3 : 256);
        out.push_back({"generated " + std::to_string(k), base, edited(base, k % 7, 200 + k)});
    }
    return out;
}

const BlocksOptions settings[] = {blocks_options_default(), blocks_options_compact(), BlocksOptions{2, 1, 0, 1},
                                  BlocksOptions{8, 16, 2, 3}};

TEST(DiffBlocks, EveryCaseRoundTripsAndKeepsTheFormat) {
    for (const BlocksOptions& options : settings) {
        for (const NamedPair& c : cases()) check_case(c.name + " / stride " + std::to_string(options.stride), c.old_bytes, c.new_bytes, options);
    }
}

TEST(DiffBlocks, ExactDeltas) {
    struct Exact {
        const char* name;
        std::string old_text, new_text, delta;  // delta as hex pairs
    };
    const Exact exact[] = {
        {"insert", "0123456789", "01234X56789", "00 05 41 58 05 05"},
        {"identical", "abcdefghij", "abcdefghij", "f6"},
        {"identical, 1 byte", "a", "a", "41 61"},
        {"empty new", "abcdefghij", "", "40"},
        {"swapped blocks", "AAAAAAAAAAbcdefghijk0123456789", "0123456789AAAAAAAAAAbcdefghijk", "14 0a 00 14"},
        {"repeat", "abcdefghijklmnop", "abcdefghijklmnopabcdefghijklmnop", "00 10 00 10"},
    };
    for (const Exact& e : exact) {
        SCOPED_TRACE(e.name);
        const Bytes expected = hex(e.delta);
        // (Every setting but the last indexes the block at 20.)
        for (const BlocksOptions& options : {settings[0], settings[1], settings[2]}) {
            EXPECT_EQ(diff_blocks(bytes_of(e.old_text), bytes_of(e.new_text), options), expected);
        }
    }
}

// Deltas are a stored format: the same pair and setting must always give the same bytes.
// The digest covers a fixed corpus under the default and the compact setting: small
// alphabets (full buckets), blocks moved, repeated and cut short around small edits (recent
// alignments, short matches, look-ahead), long unrelated stretches (the faster scan) and
// values of every size up to a few hundred kilobytes. Any change to the index, the scan
// or their constants changes it.

// A new value made of pieces of the old one in a new order, with changed bytes, fresh bytes
// and pieces cut short between them.
Bytes rearranged(Random& rng, const Bytes& old, int alphabet) {
    Bytes out;
    const std::size_t pieces = 1 + rng() % 40;
    for (std::size_t k = 0; k < pieces; ++k) {
        switch (rng() % 5) {
            case 0: {  // fresh bytes, short or long
                const std::size_t fresh = rng() % 2 ? 1 + rng() % 12 : 50 + rng() % 400;
                const Bytes bytes = random_bytes(rng, fresh, alphabet);
                out.insert(out.end(), bytes.begin(), bytes.end());
                break;
            }
            case 1: {  // a piece whose start follows the previous piece's one in the old value
                if (old.empty()) break;
                const std::size_t from = rng() % old.size();
                const std::size_t length = std::min<std::size_t>(old.size() - from, 4 + rng() % 150);
                out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(from),
                           old.begin() + static_cast<std::ptrdiff_t>(from + length));
                const std::size_t at = rng() % out.size();
                out[at] = static_cast<std::uint8_t>(out[at] ^ (1 + rng() % 255));
                break;
            }
            default: {  // a piece of any length from anywhere
                if (old.empty()) break;
                const std::size_t from = rng() % old.size();
                const std::size_t length = std::min<std::size_t>(old.size() - from, 1 + rng() % 700);
                out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(from),
                           old.begin() + static_cast<std::ptrdiff_t>(from + length));
            }
        }
    }
    return out;
}

std::uint64_t blocks_corpus_digest() {
    Random rng(20261210);
    std::vector<std::pair<Bytes, Bytes>> pairs;
    for (int round = 0; round < 160; ++round) {
        const int alphabet = round % 4 == 0 ? 2 : round % 4 == 1 ? 4 : round % 4 == 2 ? 26 : 256;
        const Bytes old_bytes = random_bytes(rng, rng() % 6000, alphabet);
        const unsigned edits = 1 + rng() % 40;
        const std::uint32_t seed = rng();
        Bytes new_bytes;
        switch (round % 3) {
            case 0:
                new_bytes = edited(old_bytes, edits, seed);
                break;
            case 1:
                new_bytes = rearranged(rng, old_bytes, alphabet);
                break;
            default:
                new_bytes = edited(rearranged(rng, old_bytes, alphabet), edits % 10, seed);
        }
        pairs.emplace_back(old_bytes, new_bytes);
    }
    // Records of text: many equal windows in the old value, matches of every length.
    std::string records;
    for (int k = 0; k < 3000; ++k) records += "{\"id\": " + std::to_string(k * 7919 % 10007) + ", \"tag\": \"t" + std::to_string(k % 13) + "\"}\n";
    const Bytes text = bytes_of(records);
    pairs.emplace_back(text, edited(text, 300, 31));
    pairs.emplace_back(text, rearranged(rng, text, 26));
    // A match at the remembered alignment of medium length (64 to 127 bytes), and a much
    // longer one at another alignment whose indexed position the scan reaches a step or two
    // later (the look-ahead decides between them).
    for (const std::size_t copy_at : {801, 802, 803, 805}) {
        for (const std::size_t shared : {70, 100, 120}) {
            const Bytes p = random_bytes(rng, 200), q = random_bytes(rng, 200), r = random_bytes(rng, 600);
            const Bytes s = random_bytes(rng, 400);
            const Bytes old_bytes = concat({p, q, slice(r, 0, copy_at - 400), slice(q, 0, shared), s});
            Bytes cut = slice(q, 0, 4);
            for (auto& byte : cut) byte = static_cast<std::uint8_t>(~byte);
            pairs.emplace_back(old_bytes, concat({p, cut, slice(q, 4, shared), s}));
        }
    }
    // Long values: unrelated stretches    // Long values: unrelated stretches of many kilobytes between shared blocks.
    const Bytes big = random_bytes(rng, 300000);
    pairs.emplace_back(big, concat({random_bytes(rng, 20000), slice(big, 1000, 90000), random_bytes(rng, 50000),
                                    slice(big, 150000, 300000), random_bytes(rng, 5000, 4)}));
    pairs.emplace_back(big, edited(big, 500, 32));

    std::uint64_t hash = DIGEST_START;
    for (const BlocksOptions& options : {blocks_options_default(), blocks_options_compact()}) {
        for (const auto& [old_bytes, new_bytes] : pairs) {
            const BlocksRun run = run_blocks(old_bytes, new_bytes, options);
            hash = digest(hash, run.delta);
            hash = digest(hash, Bytes{static_cast<std::uint8_t>(run.code)});
        }
    }
    return hash;
}

constexpr std::uint64_t BLOCKS_CORPUS_DIGEST = 0x41B9CB04CC97B203ull;

TEST(DiffBlocks, DeltaBytesOfAFixedCorpusNeverChange) {
    const std::uint64_t hash = blocks_corpus_digest();
    EXPECT_EQ(hash, BLOCKS_CORPUS_DIGEST) << std::hex << hash;
}

TEST(DiffBlocks, MovedBlocksCostAFewBytesEach) {
    // 16 blocks of 1000 random bytes in a shuffled order: one match entry per block.
    const Bytes r = random_bytes(16000, 7);
    Bytes shuffled;
    for (unsigned k = 0; k < 16; ++k) {
        const std::size_t from = ((k * 7) % 16) * 1000;
        shuffled.insert(shuffled.end(), r.begin() + static_cast<std::ptrdiff_t>(from), r.begin() + static_cast<std::ptrdiff_t>(from + 1000));
    }
    for (const BlocksOptions& options : settings) {
        const Bytes d = diff_blocks(r, shuffled, options);
        EXPECT_LE(d.size(), 16u * 6u);
    }
}

TEST(DiffBlocks, Deterministic) {
    const Bytes r = random_bytes(20000, 9, 16);
    const Bytes e = edited(concat({r, slice(r, 5000, 9000)}), 40, 10);
    for (const BlocksOptions& options : settings) {
        const Bytes first = diff_blocks(r, e, options);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(diff_blocks(r, e, options), first);
    }
}

TEST(DiffBlocks, RunningOutOfMemoryAtEveryAllocation) {
    const Bytes r = random_bytes(3000, 11, 8);
    const Bytes e = edited(r, 30, 12);
    const ByteVector a = view(r), b = view(e);
    for (const BlocksOptions& options : settings) {
        const Bytes expected = diff_blocks(r, e, options);
        long long n = 0;
        for (;; ++n) {
            heap_fail_after(n);
            DiffFailure failure = DIFF_FAILURE_NONE;
            ByteVector* result = delta_diff_blocks(&a, &b, options, &failure);
            heap_fail_after(-1);
            if (result != nullptr) {
                EXPECT_EQ(take(result), expected);
                break;
            }
            ASSERT_EQ(failure, DIFF_FAILURE_NO_MEMORY) << n;
        }
        EXPECT_GE(n, 3);  // the writer, its output, the index and the output's growth
    }
}

// The stop check: asked at the start and during the index build and the scan; when it says
// stop, nothing is returned and it is not asked again. A check that never says stop changes
// no byte.
TEST(DiffBlocks, StopsWhenAskedTo) {
    Random rng(77);
    const Bytes old_bytes = random_bytes(rng, 12 << 20), new_bytes = random_bytes(rng, 12 << 20);
    const ByteVector a = view(old_bytes), b = view(new_bytes);
    struct Counter {
        int questions = 0;
        int stop_at = -1;
    };
    const auto keep_going = [](void* context) {
        auto* counter = static_cast<Counter*>(context);
        return ++counter->questions != counter->stop_at;
    };
    for (const int stop_at : {1, 2}) {
        Counter counter{0, stop_at};
        const StopCheck stop{keep_going, &counter};
        DiffFailure failure = DIFF_FAILURE_NONE;
        EXPECT_EQ(delta_diff_blocks(&a, &b, blocks_options_default(), &failure, &stop), nullptr);
        EXPECT_EQ(failure, DIFF_FAILURE_CANCELLED);
        EXPECT_EQ(counter.questions, stop_at);
    }
    Counter never;
    const StopCheck stop{keep_going, &never};
    DiffFailure failure = DIFF_FAILURE_NONE;
    ByteVector* result = delta_diff_blocks(&a, &b, blocks_options_default(), &failure, &stop);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(take(result), diff_blocks(old_bytes, new_bytes, blocks_options_default()));
    EXPECT_GE(never.questions, 1);
}

// patch asks the same stop check: at its first question it stops with nothing returned, and
// a check that never says stop changes nothing.
TEST(Patch, StopsWhenAskedTo) {
    Random rng(78);
    const Bytes old_bytes = random_bytes(rng, 40 << 20);
    const Bytes new_bytes = edited(old_bytes, 20, 79);
    const Bytes delta = diff_blocks(old_bytes, new_bytes, blocks_options_default());
    const ByteVector a = view(old_bytes), d = view(delta);
    int questions = 0;
    const StopCheck stop_at_once{[](void* context) { return ++*static_cast<int*>(context) != 1; }, &questions};
    PatchError error{PATCH_FAILURE_NONE, 0};
    EXPECT_EQ(apply_delta(&a, &d, &error, &stop_at_once), nullptr);
    EXPECT_EQ(error.failure, PATCH_FAILURE_CANCELLED);
    EXPECT_EQ(questions, 1);
    const StopCheck never{[](void* context) { return ++*static_cast<int*>(context) != 0; }, &questions};
    ByteVector* result = apply_delta(&a, &d, &error, &never);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(take(result), new_bytes);
    EXPECT_GT(questions, 1);
}

TEST(DiffBlocks, ValuesOf2GiBAreRefused) {
    const std::uint8_t byte = 0;
    const ByteVector small = byte_vector_view(&byte, 1);
    const ByteVector huge = byte_vector_view(&byte, 0x80000000ull);  // never read: the length is checked first
    DiffFailure failure = DIFF_FAILURE_NONE;
    EXPECT_EQ(delta_diff_blocks(&huge, &small, blocks_options_default(), &failure), nullptr);
    EXPECT_EQ(failure, DIFF_FAILURE_TOO_LARGE);
    failure = DIFF_FAILURE_NONE;
    EXPECT_EQ(delta_diff_blocks(&small, &huge, blocks_options_default(), &failure), nullptr);
    EXPECT_EQ(failure, DIFF_FAILURE_TOO_LARGE);
}

TEST(DiffBlocks, IndexTakesAtMost8BytesPerIndexedPosition) {
    for (const BlocksOptions& options : settings) {
        EXPECT_EQ(blocks_index_bytes(7, options), 0u);
        for (std::uint64_t n = 8; n < (std::uint64_t{1} << 31); n = n * 3 + 1) {
            const std::uint64_t indexed = (n - 8) / options.stride + 1;
            const std::uint64_t bytes = blocks_index_bytes(n, options);
            EXPECT_GE(bytes, 4 * indexed);
            EXPECT_LE(bytes, 8 * indexed + 4 * (options.bucket_size - 1)) << n;
        }
    }
}

}  // namespace

// The index built by several threads is the one built by one, slot for slot: each bucket gets
// its positions in the same order (a value with many equal windows fills and overflows
// buckets, where the order decides which positions stay).
TEST(HashIndex, ThreadsFillTheSameTable) {
    Random rng(71);
    Bytes data = random_bytes(rng, std::size_t{3} << 20, 4);  // 4 letters: windows repeat
    const Bytes noise = random_bytes(rng, std::size_t{1} << 20);
    data.insert(data.end(), noise.begin(), noise.end());
    for (const match::IndexShape shape : {match::IndexShape{0, 8, 1, 64}, match::IndexShape{1, 4, 2, 8}}) {
        match::HashIndex one;
        ASSERT_EQ(one.build(data.data(), data.size(), shape, nullptr, 1), match::HashIndex::BUILT);
        for (int threads : {2, 3, 7}) {
            match::HashIndex many;
            ASSERT_EQ(many.build(data.data(), data.size(), shape, nullptr, threads), match::HashIndex::BUILT);
            ASSERT_EQ(many.table_slots(), one.table_slots());
            EXPECT_EQ(std::memcmp(many.table(), one.table(), one.table_slots() * sizeof(std::uint32_t)), 0)
                << "stride_log " << shape.stride_log << ", " << threads << " threads";
        }
    }
}

// Stopped at any of its questions, a build with helper threads stops them, leaves the index
// empty and holds no memory; so does a build whose table cannot be allocated.
TEST(HashIndex, ThreadedBuildStopsAndFailsCleanly) {
    const Bytes data = random_bytes(std::size_t{4} << 20, 72);
    const match::IndexShape shape{0, 8, 1, 64};
    const long long before = heap_blocks_live();
    for (int stop_at = 1; stop_at <= 4; ++stop_at) {
        StopAt stop{0, stop_at};
        const StopCheck check{StopAt::keep_going, &stop};
        WorkTicker ticker(&check, 1024, std::chrono::milliseconds(0));
        match::HashIndex index;
        const auto built = index.build(data.data(), data.size(), shape, &ticker, 2);
        if (built == match::HashIndex::BUILT) break;  // finished before its stop_at-th question
        EXPECT_EQ(built, match::HashIndex::STOPPED) << stop_at;
        EXPECT_TRUE(index.empty());
        EXPECT_EQ(heap_blocks_live(), before) << stop_at;
    }
    heap_fail_after(0);
    match::HashIndex index;
    EXPECT_EQ(index.build(data.data(), data.size(), shape, nullptr, 2), match::HashIndex::NO_MEMORY);
    heap_fail_after(-1);
    EXPECT_EQ(heap_blocks_live(), before);
}
