#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "common/memory.h"
#include "delta/match/compare.h"
#include "delta/search/diff.h"
#include "delta/search/monitor.h"
#include "delta/raw/patch.h"
#include "test_support.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

struct DiffRun {
    int code;
    Bytes delta;
    std::vector<EditCall> calls;
    DiffStatistics statistics;
};

DiffRun run_diff(const Bytes& old_bytes, const Bytes& new_bytes, int level = 0, std::int32_t effort_limit = 10000,
             std::int32_t store_limit = 2147483647) {
    const ByteVector a = view(old_bytes), b = view(new_bytes);
    DiffRun run;
    DiffObserver observer;
    observer.trace = &run.calls;
    observer.statistics = &run.statistics;
    DeltaWriter* writer = delta_writer_new(&a, &b);
    run.code = diff_ranges(&a, 0, static_cast<std::int32_t>(a.length), &b, 0, static_cast<std::int32_t>(b.length), writer,
                           store_limit, effort_limit, level, &observer);
    bool no_memory = false;
    ByteVector* result = select_diff_result(run.code, writer, &b, &no_memory);
    delta_writer_free(writer);
    if (result != nullptr) run.delta = take(result);
    return run;
}

Bytes diff(const Bytes& old_bytes, const Bytes& new_bytes) {
    const ByteVector a = view(old_bytes), b = view(new_bytes);
    return take(delta_diff(nullptr, &a, &b, 2147483647, 10000));
}

bool patch(const Bytes& old_bytes, const Bytes& delta, Bytes* out, PatchError* error = nullptr) {
    const ByteVector a = view(old_bytes), d = view(delta);
    ByteVector* result = apply_delta(&a, &d, error);
    if (result == nullptr) return false;
    *out = take(result);
    return true;
}

EditCall M(int pos, int len) { return {EditCall::MATCH, pos, len}; }
EditCall I(int pos, int len) { return {EditCall::INSERT, pos, len}; }
EditCall D() { return {EditCall::DELETE, 0, 0}; }

struct DiffCase {
    const char* name;
    std::string old_text, new_text;
    int level;
    std::vector<EditCall> calls;
    std::string delta;  // hex
};

void PrintTo(const DiffCase& c, std::ostream* out) {
    *out << c.name << ": \"" << c.old_text << "\" -> \"" << c.new_text << "\" at level " << c.level;
}

class DiffCases : public ::testing::TestWithParam<DiffCase> {};

TEST_P(DiffCases, EmitsTheExpectedEditsAndBytes) {
    const DiffCase& c = GetParam();
    const DiffRun run = run_diff(bytes_of(c.old_text), bytes_of(c.new_text), c.level);
    EXPECT_EQ(run.calls, c.calls);
    if (!c.delta.empty()) {
        EXPECT_EQ(run.delta, hex(c.delta));
    }
    Bytes rebuilt;
    ASSERT_TRUE(patch(bytes_of(c.old_text), run.delta, &rebuilt));
    EXPECT_EQ(rebuilt, bytes_of(c.new_text));
}

INSTANTIATE_TEST_SUITE_P(Edits, DiffCases, ::testing::Values(
    DiffCase{"drop_front", "xyzabcdefghij", "abcdefghij", 0, {D(), M(3, 10)}, "03 0a "},
    DiffCase{"append", "abcdefghij", "abcdefghijxyz", 0, {M(0, 10), I(10, 3)}, "00 0a 43 78 79 7a "},
    DiffCase{"two_inserts", "abcdefghijklmnopqrstuvwxyz", "abcdefgXXXXhijklmnopqrYYYYstuvwxyz", 0,
             {M(0, 7), I(7, 4), M(7, 11), I(22, 4), M(18, 8)}, "00 07 44 58 58 58 58 07 0b 44 59 59 59 59 12 08 "},
    DiffCase{"level_four", "abcdefghijklmnopqrstuvwxyz", "abcdefgXXXXhijklmnopqrYYYYstuvwxyz", 4,
             {M(0, 7), I(7, 19), D(), M(18, 8)}, ""},
    DiffCase{"rotate", "0123456789abcdefghij", "abcdefghij0123456789", 0, {D(), M(10, 10), I(10, 10)},
             "0a 0a 4a 30 31 32 33 34 35 36 37 38 39 "},
    DiffCase{"one_inserted_byte", "0123456789", "01234X56789", 0, {M(0, 5), I(5, 1), M(5, 5)}, "00 05 41 58 05 05 "},
    DiffCase{"identical", "abcdefgh", "abcdefgh", 0, {M(0, 8)}, "f6 "},
    DiffCase{"identical_one_byte", "a", "a", 0, {M(0, 1)}, "41 61 "},
    DiffCase{"both_empty", "", "", 0, {}, "40 "},
    DiffCase{"empty_old", "", "hello", 0, {I(0, 5)}, "45 68 65 6c 6c 6f "},
    DiffCase{"budget_refuses_equal_length", "abc", "abcxyz", 0, {M(0, 3), I(3, 3)}, "46 61 62 63 78 79 7a "}),
    [](const ::testing::TestParamInfo<DiffCase>& param) { return std::string(param.param.name); });

// Emissions fed straight to the coalescer, for the writer's own cases.
Bytes coalesce(const std::string& old_text, const std::string& new_text,
               const std::vector<EditCall>& calls, int* code) {
    const Bytes o = bytes_of(old_text), n = bytes_of(new_text);
    const ByteVector a = view(o), b = view(n);
    DeltaWriter* writer = delta_writer_new(&a, &b);
    EditCoalescer coalescer;
    edit_coalescer_init(&coalescer, writer, 0, 0);
    for (const EditCall& call : calls) {
        if (call.kind == EditCall::MATCH) emit_match(&coalescer, call.position, call.length);
        else if (call.kind == EditCall::INSERT) emit_insert(&coalescer, call.position, call.length);
        else emit_delete(&coalescer);
    }
    *code = finish_edits(&coalescer, static_cast<std::int32_t>(o.size()), static_cast<std::int32_t>(n.size()));
    Bytes out(writer->output->data, writer->output->data + writer->output->length);
    delta_writer_free(writer);
    return out;
}

TEST(DeltaWriter, CoalescesAbsorbsAndKeepsSeparateMatches) {
    int code = -1;
    EXPECT_EQ(coalesce("abcdef", "abcXYdef", {M(0, 3), I(3, 2), M(3, 3)}, &code), hex("00 03 42 58 59 03 03 "));
    EXPECT_EQ(code, DIFF_DELTA);
    EXPECT_EQ(coalesce("abcdef", "aXbcdef", {M(0, 1), I(1, 1), M(1, 5)}, &code), hex("42 61 58 01 05 "));
    EXPECT_EQ(coalesce("abcdefgh", "abcdefgh", {M(0, 4), D(), M(4, 4)}, &code), hex("00 04 04 04 "));
    EXPECT_EQ(code, DIFF_DELTA);
    coalesce("abcdefgh", "abcdefgh", {M(0, 8)}, &code);
    EXPECT_EQ(code, DIFF_UNCHANGED);
    EXPECT_EQ(coalesce("abcdef", "abcdef", {M(0, 0), I(0, -1), M(0, 6)}, &code), Bytes{});
    EXPECT_EQ(code, DIFF_UNCHANGED);
}

TEST(DeltaWriter, AbsorbingIsChosenByHeadSizes) {
    EXPECT_TRUE(absorb_is_cheaper(0, 2, 1));
    EXPECT_TRUE(absorb_is_cheaper(24, 3, 1));
    EXPECT_FALSE(absorb_is_cheaper(0, 3, 1));
    EXPECT_FALSE(absorb_is_cheaper(24, 4, 1));
}

TEST(DeltaWriter, SpentBudgetStaysSpent) {
    const Bytes o = bytes_of("abcdefghij"), n = bytes_of("XYZabcdefghijQ");
    const ByteVector a = view(o), b = view(n);
    DeltaWriter* writer = delta_writer_new(&a, &b);
    writer->budget = 3;
    EditCoalescer coalescer;
    edit_coalescer_init(&coalescer, writer, 0, 0);
    EXPECT_TRUE(emit_insert(&coalescer, 0, 3));
    EXPECT_TRUE(emit_match(&coalescer, 0, 10));
    EXPECT_TRUE(emit_insert(&coalescer, 13, 1));
    EXPECT_FALSE(emit_match(&coalescer, 0, 1));  // flushing the first insert overspends
    const std::int64_t spent = writer->budget;
    EXPECT_LE(spent, 0);
    EXPECT_EQ(finish_edits(&coalescer, 10, 14), DIFF_WHOLE_VALUE);
    EXPECT_LT(writer->budget, spent);
    EXPECT_EQ(writer->output->length, 0u);
    delta_writer_free(writer);
}

// The snake comparisons (words, then memcmp blocks on long runs) against a byte loop, for
// runs ending on every side of the word and block boundaries.
TEST(ByteComparisons, CountTheEqualBytesAsAByteLoopDoes) {
    Random rng(7);
    Bytes a(3000), b(3000);
    for (auto& byte : a) byte = static_cast<std::uint8_t>(rng());
    for (int trial = 0; trial < 4000; ++trial) {
        const int limit = 1 + static_cast<int>(rng() % 2000);
        const int run = static_cast<int>(rng() % static_cast<unsigned>(limit + 1));  // equal bytes before a difference
        const int start = 500 + static_cast<int>(rng() % 400);
        b = a;
        if (start + run < 3000) b[start + run] ^= 0x5A;  // forward: differs after `run` bytes
        const auto* pa = a.data() + start;
        const auto* pb = b.data() + start;
        int expected = 0;
        while (expected < limit && pa[expected] == pb[expected]) ++expected;
        ASSERT_EQ(compare::equal_forward(pa, pb, limit), expected) << limit << " " << run;

        b = a;
        const int end = 2500 - static_cast<int>(rng() % 400);
        if (end - run - 1 >= 0) b[end - run - 1] ^= 0x5A;  // backward: differs `run` bytes before the end
        expected = 0;
        while (expected < limit && a[end - expected - 1] == b[end - expected - 1]) ++expected;
        ASSERT_EQ(compare::equal_backward(a.data() + end, b.data() + end, limit), expected) << limit << " " << run;
    }
}

TEST(DiffRanges, InvalidRangesEmitNothing) {
    const Bytes o = bytes_of("abcdef"), n = bytes_of("abcxef");
    const ByteVector a = view(o), b = view(n);
    const std::int32_t ranges[][4] = {{-1, 3, 0, 6}, {0, -1, 0, 6}, {0, 7, 0, 6}, {4, 3, 0, 6},
                                      {0, 6, -2, 2}, {0, 6, 0, 7}, {2147483647, 1, 0, 6}};
    for (const auto& r : ranges) {
        std::vector<EditCall> calls;
        DiffObserver observer;
        observer.trace = &calls;
        DeltaWriter* writer = delta_writer_new(&a, &b);
        EXPECT_EQ(diff_ranges(&a, r[0], r[1], &b, r[2], r[3], writer, 2147483647, 10000, 0, &observer), -1);
        EXPECT_TRUE(calls.empty());
        EXPECT_EQ(writer->output->length, 0u);
        delta_writer_free(writer);
    }
}

Bytes mutate(Random& rng, Bytes value, int edits, int alphabet = 256) {
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = value.empty() ? 0 : rng() % (value.size() + 1);
        switch (rng() % 4) {
            case 0: {  // insert
                const Bytes piece = random_bytes(rng, 1 + rng() % 40, alphabet);
                value.insert(value.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
                break;
            }
            case 1: {  // delete
                const std::size_t n = std::min<std::size_t>(value.size() - std::min(at, value.size()), 1 + rng() % 40);
                value.erase(value.begin() + static_cast<std::ptrdiff_t>(std::min(at, value.size())),
                            value.begin() + static_cast<std::ptrdiff_t>(std::min(at, value.size()) + n));
                break;
            }
            case 2: {  // move a block to the front
                if (value.size() < 8) break;
                const std::size_t start = rng() % (value.size() / 2), n = 1 + rng() % (value.size() / 2);
                Bytes block(value.begin() + static_cast<std::ptrdiff_t>(start), value.begin() + static_cast<std::ptrdiff_t>(start + n));
                value.erase(value.begin() + static_cast<std::ptrdiff_t>(start), value.begin() + static_cast<std::ptrdiff_t>(start + n));
                value.insert(value.begin(), block.begin(), block.end());
                break;
            }
            default: {  // repeat a block
                if (value.empty()) break;
                const std::size_t start = rng() % value.size(), n = 1 + rng() % std::min<std::size_t>(value.size() - start, 64);
                Bytes block(value.begin() + static_cast<std::ptrdiff_t>(start), value.begin() + static_cast<std::ptrdiff_t>(start + n));
                value.insert(value.end(), block.begin(), block.end());
            }
        }
    }
    return value;
}

void expect_round_trip(const Bytes& old_bytes, const Bytes& new_bytes, const Bytes& delta) {
    Bytes rebuilt;
    ASSERT_TRUE(patch(old_bytes, delta, &rebuilt));
    ASSERT_EQ(rebuilt, new_bytes);
    if (delta.size() >= new_bytes.size()) {  // only the whole-value delta may be this long
        Bytes whole = take(whole_value_delta([&] { static ByteVector v; v = view(new_bytes); return &v; }()));
        ASSERT_EQ(delta, whole);
    }
}

TEST(DiffProperties, RandomAndStructuredPairsRoundTripAtEveryLevel) {
    Random rng(20261209);
    for (int round = 0; round < 400; ++round) {
        const int alphabet = round % 3 == 0 ? 2 : round % 3 == 1 ? 4 : 256;
        const Bytes old_bytes = random_bytes(rng, rng() % 600, alphabet);
        const Bytes new_bytes = round % 10 == 9 ? random_bytes(rng, rng() % 600, alphabet)
                                                : mutate(rng, old_bytes, 1 + static_cast<int>(rng() % 8), alphabet);
        const int level = round % 5;
        const std::int32_t effort = round % 2 ? 10000 : 1 + static_cast<std::int32_t>(rng() % 40);
        const DiffRun run = run_diff(old_bytes, new_bytes, level, effort);
        expect_round_trip(old_bytes, new_bytes, run.delta);
        if (old_bytes.size() >= 2) {
            ASSERT_EQ(diff(old_bytes, old_bytes), Bytes{0xF6});
        }
    }
}

TEST(DiffProperties, EveryWayOutOfAnExhaustedSearchIsTaken) {
    Random rng(7);
    DiffStatistics total;
    for (int round = 0; round < 300; ++round) {
        const Bytes old_bytes = random_bytes(rng, 200 + rng() % 3000, round % 2 ? 4 : 256);
        const Bytes new_bytes = mutate(rng, old_bytes, 20 + static_cast<int>(rng() % 60), round % 2 ? 4 : 256);
        const int level = static_cast<int>(round % 4);
        const std::int32_t effort = round % 3 == 0 ? 1 : 2 + static_cast<std::int32_t>(rng() % 30);
        const DiffRun run = run_diff(old_bytes, new_bytes, level, effort);
        expect_round_trip(old_bytes, new_bytes, run.delta);
        total.met_forward += run.statistics.met_forward;
        total.met_backward += run.statistics.met_backward;
        total.box_searched += run.statistics.box_searched;
        total.box_halved += run.statistics.box_halved;
        total.box_given_up += run.statistics.box_given_up;
        total.snake_splits += run.statistics.snake_splits;
    }
    // Large boxes that the fronts barely entered: halved while effort is left, else given up.
    for (std::int32_t effort : {0, 1, 2}) {
        const Bytes old_bytes = random_bytes(rng, 9000, 4);
        const Bytes new_bytes = random_bytes(rng, 9000, 4);
        const DiffRun run = run_diff(old_bytes, new_bytes, 0, effort);
        expect_round_trip(old_bytes, new_bytes, run.delta);
        total.box_halved += run.statistics.box_halved;
        total.box_given_up += run.statistics.box_given_up;
    }
    EXPECT_GT(total.snake_splits, 0u);
    EXPECT_GT(total.met_forward, 0u);
    EXPECT_GT(total.met_backward, 0u);
    EXPECT_GT(total.box_searched, 0u);
    EXPECT_GT(total.box_halved, 0u);
    EXPECT_GT(total.box_given_up, 0u);
}

// Deltas are a stored format: the same pair, level and limits must always give the same bytes.
// The digest covers a fixed corpus (every level, small and large effort limits, small
// alphabets, moved and repeated blocks, unrelated values, boxes halved and given up); it
// changes only if some delta byte does.
std::uint64_t corpus_digest() {
    Random rng(20261209);
    std::uint64_t hash = DIGEST_START;
    for (int round = 0; round < 240; ++round) {
        const int alphabet = round % 4 == 0 ? 2 : round % 4 == 1 ? 4 : round % 4 == 2 ? 26 : 256;
        const Bytes old_bytes = random_bytes(rng, rng() % 2500, alphabet);
        const Bytes new_bytes = round % 8 == 7 ? random_bytes(rng, rng() % 2500, alphabet)
                                               : mutate(rng, old_bytes, 1 + static_cast<int>(rng() % 30), alphabet);
        const std::int32_t effort = round % 3 == 0 ? 10000 : round % 3 == 1 ? 1 + static_cast<std::int32_t>(rng() % 40) : 0;
        const DiffRun run = run_diff(old_bytes, new_bytes, round % 5, effort);
        hash = digest(hash, run.delta);
        hash = digest(hash, Bytes{static_cast<std::uint8_t>(run.code)});
    }
    for (const std::int32_t effort : {0, 1, 2, 10000}) {  // large boxes: halved, given up, searched
        const Bytes old_bytes = random_bytes(rng, 9000, 4);
        const Bytes new_bytes = effort == 10000 ? mutate(rng, old_bytes, 200, 4) : random_bytes(rng, 9000, 4);
        hash = digest(hash, run_diff(old_bytes, new_bytes, 0, effort).delta);
    }
    const Bytes big = random_bytes(rng, 200000);
    hash = digest(hash, run_diff(big, mutate(rng, big, 40)).delta);
    return hash;
}

constexpr std::uint64_t CORPUS_DIGEST = 0x7B9279922348F9A5ull;

TEST(DiffProperties, DeltaBytesOfAFixedCorpusNeverChange) {
    const std::uint64_t hash = corpus_digest();
    EXPECT_EQ(hash, CORPUS_DIGEST) << std::hex << hash;
}

// Every path of the wave passes this processor has gives the reference search's results (the
// search written out literally over its own store, bytes compared where they lie).
class DiffPaths : public ::testing::TestWithParam<DiffPath> {
protected:
    void SetUp() override {
        if (!diff_path_available(GetParam())) GTEST_SKIP() << diff_path_name(GetParam()) << " not available here";
        saved_ = diff_path();
    }
    void TearDown() override { diff_set_path(saved_); }
    DiffPath saved_ = DIFF_PATH_PORTABLE;
};

TEST_P(DiffPaths, CorpusDigest) {
    ASSERT_TRUE(diff_set_path(GetParam()));
    const std::uint64_t hash = corpus_digest();
    EXPECT_EQ(hash, CORPUS_DIGEST) << std::hex << hash;
}

TEST_P(DiffPaths, SameEditsAsTheReferenceOnRandomPairs) {
    if (GetParam() == DIFF_PATH_REFERENCE) GTEST_SKIP() << "the reference itself";
    Random rng(4242);
    for (int round = 0; round < 1500; ++round) {
        static const int alphabets[] = {1, 2, 3, 4, 16, 26, 256};
        const int alphabet = alphabets[rng() % 7];
        Bytes old_bytes = random_bytes(rng, round % 50 == 0 ? 0 : rng() % (round % 10 == 0 ? 6000 : 1200), alphabet);
        Bytes new_bytes;
        switch (round % 6) {
            case 0:  // unrelated (sometimes empty)
                new_bytes = random_bytes(rng, round % 60 == 0 ? 0 : rng() % 1500, alphabet);
                break;
            case 1:  // many edits
                new_bytes = mutate(rng, old_bytes, 20 + static_cast<int>(rng() % 80), alphabet);
                break;
            default:  // a few edits, moved and repeated blocks
                new_bytes = mutate(rng, old_bytes, 1 + static_cast<int>(rng() % 10), alphabet);
        }
        if (round % 2) std::swap(old_bytes, new_bytes);  // either side longer or empty
        const int level = round % 5;
        const std::int32_t effort = round % 4 == 0 ? 10000 : static_cast<std::int32_t>(rng() % 1001);
        const std::int32_t store = round % 3 == 0 ? 2147483647 : static_cast<std::int32_t>(rng() % 5001);
        ASSERT_TRUE(diff_set_path(DIFF_PATH_REFERENCE));
        const DiffRun expected = run_diff(old_bytes, new_bytes, level, effort, store);
        ASSERT_TRUE(diff_set_path(GetParam()));
        const DiffRun run = run_diff(old_bytes, new_bytes, level, effort, store);
        ASSERT_EQ(run.code, expected.code) << round;
        ASSERT_EQ(run.delta, expected.delta) << round;
        ASSERT_EQ(run.calls, expected.calls) << round;
        ASSERT_EQ(run.statistics.searches, expected.statistics.searches) << round;
        ASSERT_EQ(run.statistics.progress_cuts, expected.statistics.progress_cuts) << round;
        ASSERT_EQ(run.statistics.wave_bound_hits, expected.statistics.wave_bound_hits) << round;
    }
}

// The windows of bytes kept beside each diagonal's x are loaded whole in the middle of a value
// and byte by byte within 8 bytes of either end: short values, and sub-ranges that start or
// end near the ends of their values or far from them.
TEST_P(DiffPaths, SameEditsAsTheReferenceNearTheEndsOfValues) {
    if (GetParam() == DIFF_PATH_REFERENCE) GTEST_SKIP() << "the reference itself";
    Random rng(777);
    const auto run = [](const Bytes& old_bytes, std::int32_t a, std::int32_t n, const Bytes& new_bytes, std::int32_t c,
                        std::int32_t m, int level) {
        const ByteVector old_view = view(old_bytes), new_view = view(new_bytes);
        DeltaWriter* writer = delta_writer_new(&old_view, &new_view);
        const int code = diff_ranges(&old_view, a, n, &new_view, c, m, writer, 2147483647, 10000, level, nullptr);
        Bytes delta(writer->output->data, writer->output->data + writer->output->length);
        delta.push_back(static_cast<std::uint8_t>(code));
        delta_writer_free(writer);
        return delta;
    };
    for (int round = 0; round < 3000; ++round) {
        const int alphabet = round % 3 == 0 ? 2 : round % 3 == 1 ? 3 : 256;
        const Bytes old_bytes = random_bytes(rng, rng() % (round % 4 == 0 ? 400 : 24), alphabet);
        const Bytes new_bytes = round % 5 == 0 ? random_bytes(rng, rng() % 24, alphabet)
                                               : mutate(rng, old_bytes, 1 + static_cast<int>(rng() % 6), alphabet);
        const auto n = static_cast<std::int32_t>(old_bytes.size()), m = static_cast<std::int32_t>(new_bytes.size());
        // A whole pair, or ranges whose starts and ends lie within 10 bytes of their values' ends.
        const std::int32_t a = round % 2 == 0 || n == 0 ? 0 : static_cast<std::int32_t>(rng() % std::min(n, 10) + 1) - 1;
        const std::int32_t c = round % 2 == 0 || m == 0 ? 0 : static_cast<std::int32_t>(rng() % std::min(m, 10) + 1) - 1;
        const std::int32_t n_cut = round % 2 == 0 ? 0 : static_cast<std::int32_t>(rng() % (std::min(n - a, 10) + 1));
        const std::int32_t m_cut = round % 2 == 0 ? 0 : static_cast<std::int32_t>(rng() % (std::min(m - c, 10) + 1));
        const int level = round % 3;
        ASSERT_TRUE(diff_set_path(DIFF_PATH_REFERENCE));
        const Bytes expected = run(old_bytes, a, n - a - n_cut, new_bytes, c, m - c - m_cut, level);
        ASSERT_TRUE(diff_set_path(GetParam()));
        ASSERT_EQ(run(old_bytes, a, n - a - n_cut, new_bytes, c, m - c - m_cut, level), expected) << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, DiffPaths,
                         ::testing::Values(DIFF_PATH_REFERENCE, DIFF_PATH_PORTABLE, DIFF_PATH_AVX2, DIFF_PATH_AVX512),
                         [](const ::testing::TestParamInfo<DiffPath>& param) {
                             return std::string(diff_path_name(param.param));
                         });

TEST(DiffProperties, ProgressTestAndEffortLimitOnAHopelessPair) {
    // AB against B, 30000 bytes sharing nothing with it, then A.
    Bytes old_bytes = bytes_of("AB"), new_bytes = bytes_of("B");
    for (int i = 0; i < 30000; ++i) new_bytes.push_back(static_cast<std::uint8_t>('a' + i % 26));
    new_bytes.push_back('A');
    const DiffRun run = run_diff(old_bytes, new_bytes);
    EXPECT_EQ(run.code, DIFF_WHOLE_VALUE);
    EXPECT_EQ(run.delta, take(whole_value_delta([&] { static ByteVector v; v = view(new_bytes); return &v; }())));
}

TEST(DiffProperties, StoreBoundEndsInTheWholeValueDelta) {
    Random rng(3);
    const Bytes old_bytes = random_bytes(rng, 400, 2);
    const Bytes new_bytes = mutate(rng, old_bytes, 30, 2);
    const DiffRun run = run_diff(old_bytes, new_bytes, 0, 10000, 11);
    EXPECT_GT(run.statistics.wave_bound_hits, 0u);
    EXPECT_EQ(run.code, DIFF_WHOLE_VALUE);
    expect_round_trip(old_bytes, new_bytes, run.delta);
}

struct PatchCase {
    const char* name;
    std::string delta;  // hex
    bool accepted;
    std::string result;
};

void PrintTo(const PatchCase& c, std::ostream* out) { *out << c.name << ": delta " << c.delta; }

class PatchCases : public ::testing::TestWithParam<PatchCase> {};

TEST_P(PatchCases, OverTheOldValueAbcdef) {
    const PatchCase& c = GetParam();
    Bytes out;
    PatchError error{};
    ASSERT_EQ(patch(bytes_of("abcdef"), hex(c.delta), &out, &error), c.accepted) << patch_failure_text(error.failure);
    if (c.accepted) {
        EXPECT_EQ(out, bytes_of(c.result));
    }
}

INSTANTIATE_TEST_SUITE_P(Deltas, PatchCases, ::testing::Values(
    PatchCase{"empty", "", true, ""},
    PatchCase{"empty_string", "40 ", true, ""},
    PatchCase{"insert_and_matches", "00 03 42 58 59 03 03 ", true, "abcXYdef"},
    PatchCase{"backwards", "03 03 00 03 ", true, "defabc"},
    PatchCase{"repeated", "00 02 00 02 ", true, "abab"},
    PatchCase{"whole_value", "43 78 79 7a ", true, "xyz"},
    PatchCase{"offset_alone", "05 ", false, ""},
    PatchCase{"offset_then_string", "00 41 61 ", false, ""},
    PatchCase{"text_string", "61 61 ", true, "a"},
    PatchCase{"true_skipped", "f5 41 61 ", true, "a"},
    PatchCase{"string_cut_short", "41 61 42 62 ", false, ""},
    PatchCase{"empty_match", "00 00 ", true, ""},
    PatchCase{"unchanged_marker", "f6 ", true, "abcdef"},
    PatchCase{"marker_among_entries", "f6 41 61 ", true, "a"},
    PatchCase{"reserved_heads_skipped", "5c 7d 41 61 ", true, "a"},
    PatchCase{"match_past_end", "04 03 ", false, ""},
    PatchCase{"match_offset_past_end", "1b ff ff ff ff ff ff ff ff 01 ", false, ""},
    PatchCase{"indefinite_string", "5f 41 61 ff ", false, ""},
    PatchCase{"argument_cut_short", "41 61 19 01 ", false, ""}),
    [](const ::testing::TestParamInfo<PatchCase>& param) { return std::string(param.param.name); });

TEST(AllocationFailure, DiffAndPatchFailCleanlyAtEveryAllocation) {
    Random rng(11);
    const Bytes old_bytes = random_bytes(rng, 3000, 4);
    const Bytes new_bytes = mutate(rng, old_bytes, 40, 4);
    const Bytes expected = diff(old_bytes, new_bytes);
    const ByteVector a = view(old_bytes), b = view(new_bytes), d = view(expected);
    for (long long n = 0;; ++n) {
        heap_fail_after(n);
        DiffFailure failure = DIFF_FAILURE_NONE;
        ByteVector* result = delta_diff(nullptr, &a, &b, 2147483647, 10000, &failure);
        heap_fail_after(-1);
        if (result != nullptr) {
            EXPECT_EQ(take(result), expected);
            break;
        }
        ASSERT_EQ(failure, DIFF_FAILURE_NO_MEMORY) << n;
    }
    for (long long n = 0;; ++n) {
        heap_fail_after(n);
        PatchError error{};
        ByteVector* result = apply_delta(&a, &d, &error);
        heap_fail_after(-1);
        if (result != nullptr) {
            EXPECT_EQ(take(result), new_bytes);
            break;
        }
        ASSERT_EQ(error.failure, PATCH_FAILURE_NO_MEMORY) << n;
    }
}

TEST(KeepGoing, CallbackLeavesTheBytesAloneAndStopsTheSearchWhenItSaysSo) {
    Random rng(12);
    const Bytes old_bytes = random_bytes(rng, 60000), new_bytes = random_bytes(rng, 60000);
    const ByteVector a = view(old_bytes), b = view(new_bytes);
    const Bytes expected = diff(old_bytes, new_bytes);
    struct Counter {
        int calls = 0;
        int stop_at = -1;  // never
    };
    const auto callback = [](void* context) {
        auto* counter = static_cast<Counter*>(context);
        return ++counter->calls != counter->stop_at;
    };
    for (const int stop_at : {-1, 1, 3}) {
        Counter counter;
        counter.stop_at = stop_at;
        DiffObserver observer;
        observer.stop.keep_going = callback;
        observer.stop.context = &counter;
        DiffFailure failure = DIFF_FAILURE_NONE;
        ByteVector* result = delta_diff(nullptr, &a, &b, 2147483647, 10000, &failure, &observer);
        if (stop_at < 0) {
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(take(result), expected);
            EXPECT_GT(counter.calls, 3);
        } else {
            EXPECT_EQ(result, nullptr);
            EXPECT_EQ(failure, DIFF_FAILURE_CANCELLED);
            EXPECT_EQ(counter.calls, stop_at);  // not called again once it said stop
        }
    }
}

// The load monitor with a clock the test sets.
std::uint64_t fake_now = 0;
std::uint64_t fake_clock() { return fake_now; }

struct MonitorFixture : ::testing::Test {
    std::uint64_t buckets[8] = {};
    LoadMonitor monitor{};
    void SetUp() override {
        monitor.buckets = buckets;
        monitor.window = 4;
        monitor.full = 100;
        monitor.shift = 10;  // 1024 ms buckets
        monitor.mask = 7;
        monitor.clock = fake_clock;
        fake_now = 1000 * 1024;
    }
};

TEST_F(MonitorFixture, ShortDiffIsBookedOnce) {
    load_monitor_begin(&monitor);
    fake_now += 30;
    load_monitor_end(&monitor);
    EXPECT_EQ(monitor.sum, 30u);
    EXPECT_EQ(buckets[1000 & 7], 30u);
    EXPECT_EQ(load_monitor_figure(&monitor), 0 - 30 + 30);
}

TEST_F(MonitorFixture, LongDiffSaturatesEveryBucketItSpans) {
    buckets[1000 & 7] = 10;
    monitor.sum = 10;
    monitor.last = 999;
    load_monitor_begin(&monitor);  // clears bucket 1000
    EXPECT_EQ(monitor.sum, 0u);
    fake_now += 3 * 1024;  // three buckets later
    load_monitor_end(&monitor);
    for (std::uint64_t i = 1000; i <= 1003; ++i) EXPECT_EQ(buckets[i & 7], 100u);
    EXPECT_EQ(monitor.sum, 400u);
    EXPECT_EQ(monitor.last, 1000u);
}

TEST_F(MonitorFixture, PauseLongerThanTheWindowClearsOnlyTheWindow) {
    for (auto& b : buckets) b = 5;
    monitor.sum = 40;
    monitor.last = 1000;
    fake_now = 2000 * 1024;
    load_monitor_begin(&monitor);
    EXPECT_EQ(monitor.sum, 40u - 4 * 5);
    for (std::uint64_t i = 1997; i <= 2000; ++i) EXPECT_EQ(buckets[i & 7], 0u);
    EXPECT_EQ(buckets[1996 & 7], 5u);
}

TEST(LoadMonitor, FigureThresholdsChooseTheLevel) {
    const std::pair<std::int32_t, int> table[] = {{0, 0}, {127, 0}, {128, 1}, {165, 1}, {166, 2},
                                                  {203, 2}, {204, 3}, {242, 3}, {243, 4}, {100000, 4}};
    for (const auto& [figure, level] : table) EXPECT_EQ(effort_level_for_figure(figure), level) << figure;
}

TEST(LoadMonitor, DriverStoresTheChosenLevel) {
    std::uint64_t buckets[4] = {};
    LoadMonitor monitor{};
    monitor.buckets = buckets;
    monitor.window = 2;
    monitor.full = 1000;
    monitor.shift = 0;
    monitor.mask = 3;
    monitor.clock = fake_clock;
    fake_now = 50;
    monitor.sum = 250;  // figure 250: level 4, prefix and suffix only
    monitor.level = 0;
    const Bytes o = bytes_of("abcdefghijklmnopqrstuvwxyz"), n = bytes_of("abcdefgXXXXhijklmnopqrYYYYstuvwxyz");
    const ByteVector a = view(o), b = view(n);
    const Bytes delta = take(delta_diff(&monitor, &a, &b, 2147483647, 10000));
    EXPECT_EQ(monitor.level, 4u);
    EXPECT_EQ(delta, hex("00 07 53 58 58 58 58 68 69 6a 6b 6c 6d 6e 6f 70 71 72 59 59 59 59 12 08 "));
}

}  // namespace
