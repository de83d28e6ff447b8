// The compressed format pinned: the frozen frames of tests/data/frames (made by hand by
// make_frames.py from docs/compressed-format.md, and by the encoder of version 1) decode to
// their new values or fail with their exact fault; decompress runs out of memory cleanly at
// every allocation.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "common/memory.h"
#include "delta/compressed/compress.h"
#include "test_support.h"

using namespace quorvane;
using quorvane::test::Bytes;
using quorvane::test::view;

namespace {

const std::string FRAMES = std::string(QUORVANE_TEST_DATA) + "/frames/";

Bytes read_file(const std::string& name) {
    std::ifstream in(FRAMES + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << FRAMES + name;
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Case {
    std::string name, old_file, kind, number, detail;
};

std::vector<Case> cases() {
    std::ifstream in(FRAMES + "cases.tsv");
    std::vector<Case> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        Case c;
        std::getline(fields, c.name, '\t');
        std::getline(fields, c.old_file, '\t');
        std::getline(fields, c.kind, '\t');
        std::getline(fields, c.number, '\t');
        std::getline(fields, c.detail);
        out.push_back(c);
    }
    return out;
}

Bytes old_of(const Case& c) { return c.old_file == "-" ? Bytes() : read_file(c.old_file); }

DecompressFailure failure_of(const std::string& kind) {
    if (kind == "invalid") return DECOMPRESS_FAILURE_INVALID;
    if (kind == "wrong-old") return DECOMPRESS_FAILURE_WRONG_OLD;
    if (kind == "too-large") return DECOMPRESS_FAILURE_TOO_LARGE;
    ADD_FAILURE() << "unknown expectation " << kind;
    return DECOMPRESS_FAILURE_NONE;
}

// Each frame alone, then all of them in turn through one set of kept decoders, which passes
// from frame to frame and from a fault to the next frame: the same values and faults.
TEST(FrozenFrames, DecodeToTheirValuesOrTheirExactFault) {
    const std::vector<Case> all = cases();
    ASSERT_GE(all.size(), 40u);
    const long long before = heap_blocks_live();
    KeptDecoders* kept = kept_decoders_new();
    ASSERT_NE(kept, nullptr);
    for (KeptDecoders* decoders : {static_cast<KeptDecoders*>(nullptr), kept, kept}) {
        for (const Case& c : all) {
            SCOPED_TRACE(c.name + (decoders != nullptr ? " (kept decoders)" : ""));
            const Bytes old = old_of(c), frame = read_file(c.name + ".frame");
            const ByteVector o = view(old), d = view(frame);
            DecompressError error;
            ByteVector* result = delta_decompress(&o, &d, DECOMPRESS_DEFAULT_MAX_SIZE, &error, nullptr, decoders);
            if (c.kind == "ok") {
                ASSERT_NE(result, nullptr) << error.offset << ": " << error.reason;
                EXPECT_EQ(result->length, std::stoull(c.number));
                if (c.detail != "-") {
                    const Bytes expected = read_file(c.detail);
                    EXPECT_TRUE(result->length == expected.size() &&
                                (expected.empty() || std::memcmp(result->data, expected.data(), expected.size()) == 0));
                }
                byte_vector_free(result);
                continue;
            }
            ASSERT_EQ(result, nullptr);
            EXPECT_EQ(error.failure, failure_of(c.kind));
            EXPECT_EQ(error.offset, std::stoull(c.number));
            EXPECT_STREQ(error.reason, c.detail.c_str());
        }
    }
    kept_decoders_free(kept);
    EXPECT_EQ(heap_blocks_live(), before);
}

// Out of memory at each allocation in turn: a clean failure naming what was being allocated
// and its size, nothing left allocated, then success once every allocation is allowed.
TEST(FrozenFrames, DecompressRunsOutOfMemoryCleanly) {
    for (const char* name : {"block_zstd", "block_lzma2", "block_mixed_codings", "prefix_zstd_raw_blocks",
                             "prefix_lzma2_no_old", "encoder_prefix_lzma2", "encoder_block_level9"}) {
        SCOPED_TRACE(name);
        Case c;
        for (const Case& each : cases()) {
            if (each.name == name) c = each;
        }
        ASSERT_EQ(c.name, name);
        const Bytes old = old_of(c), frame = read_file(c.name + ".frame");
        const ByteVector o = view(old), d = view(frame);
        const long long before = heap_blocks_live();
        long long failures = 0;
        for (long long allowed = 0;; ++allowed) {
            heap_fail_after(allowed);
            DecompressError error;
            ByteVector* result = delta_decompress(&o, &d, DECOMPRESS_DEFAULT_MAX_SIZE, &error);
            heap_fail_after(-1);
            if (result != nullptr) {
                EXPECT_EQ(result->length, std::stoull(c.number));
                byte_vector_free(result);
                break;
            }
            ++failures;
            ASSERT_EQ(error.failure, DECOMPRESS_FAILURE_NO_MEMORY) << allowed << ": " << error.reason;
            EXPECT_EQ(heap_blocks_live(), before);
            EXPECT_GT(std::strlen(error.reason), 0u);
            EXPECT_GT(error.value, 0u) << error.reason;
            ASSERT_LT(allowed, 1000);
        }
        EXPECT_GT(failures, 1);
        EXPECT_EQ(heap_blocks_live(), before);

        // The same through kept decoders, emptied before each call (so that every decoder is
        // made again and can fail) and reused after a failure.
        KeptDecoders* kept = kept_decoders_new();
        ASSERT_NE(kept, nullptr);
        for (long long allowed = 0;; ++allowed) {
            kept_decoders_free(kept);
            kept = kept_decoders_new();
            ASSERT_NE(kept, nullptr);
            heap_fail_after(allowed);
            DecompressError error;
            ByteVector* result = delta_decompress(&o, &d, DECOMPRESS_DEFAULT_MAX_SIZE, &error, nullptr, kept);
            heap_fail_after(-1);
            if (result != nullptr) {
                byte_vector_free(result);
                break;
            }
            ASSERT_EQ(error.failure, DECOMPRESS_FAILURE_NO_MEMORY) << allowed << ": " << error.reason;
            result = delta_decompress(&o, &d, DECOMPRESS_DEFAULT_MAX_SIZE, &error, nullptr, kept);
            ASSERT_NE(result, nullptr) << allowed << ": " << error.reason;
            EXPECT_EQ(result->length, std::stoull(c.number));
            byte_vector_free(result);
            ASSERT_LT(allowed, 1000);
        }
        kept_decoders_free(kept);
        EXPECT_EQ(heap_blocks_live(), before);
    }
}

}  // namespace
