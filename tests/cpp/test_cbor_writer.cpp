#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <limits>
#include <vector>

#include "cbor/format.h"
#include "cbor/reader.h"
#include "cbor/writer.h"
#include "common/memory.h"

using namespace quorvane;

namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename Write>
Bytes written(Write write) {
    CborWriter* writer = cbor_writer_new();
    EXPECT_GE(write(writer), 0);
    Bytes out(writer->storage, writer->storage + writer->length);
    cbor_writer_free(writer);
    return out;
}

// Readable test names and failure output: the value and the bytes it must give.
std::string hex_bytes(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// A test-name form of a float: letters, digits and underscores only.
std::string name_of(double value) {
    if (std::isnan(value)) return std::signbit(value) ? "minus_nan" : "nan";
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {  // the shortest text that reads back exactly
        std::snprintf(text, sizeof text, "%.*g", digits, std::fabs(value));
        if (std::strtod(text, nullptr) == std::fabs(value)) break;
    }
    std::string name = std::signbit(value) ? "minus_" : "";
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '.') name += 'p';
        else if (*c == '-') name += '_';
        else if (*c != '+') name += *c;
    }
    return name;
}


struct UintCase { std::uint64_t value; Bytes bytes; };

class UintHeads : public ::testing::TestWithParam<UintCase> {};

TEST_P(UintHeads, ShortestHeadAtEveryBoundary) {
    const UintCase& c = GetParam();
    EXPECT_EQ(written([&](CborWriter* w) { return cbor_write_uint(w, c.value); }), c.bytes);
}

void PrintTo(const UintCase& c, std::ostream* out) { *out << c.value << " -> " << hex_bytes(c.bytes); }

INSTANTIATE_TEST_SUITE_P(Boundaries, UintHeads, ::testing::Values(
    UintCase{0, {0x00}}, UintCase{23, {0x17}}, UintCase{24, {0x18, 0x18}}, UintCase{255, {0x18, 0xFF}},
    UintCase{256, {0x19, 0x01, 0x00}}, UintCase{65535, {0x19, 0xFF, 0xFF}},
    UintCase{65536, {0x1A, 0x00, 0x01, 0x00, 0x00}}, UintCase{4294967295u, {0x1A, 0xFF, 0xFF, 0xFF, 0xFF}},
    UintCase{4294967296ull, {0x1B, 0, 0, 0, 1, 0, 0, 0, 0}},
    UintCase{~0ull, {0x1B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}),
    [](const ::testing::TestParamInfo<UintCase>& param_info) {
        return std::to_string(param_info.param.value) + "_gives_" + hex_bytes(param_info.param.bytes);
    });

struct NegCase { std::int64_t value; Bytes bytes; };
class NegativeHeads : public ::testing::TestWithParam<NegCase> {};

TEST_P(NegativeHeads, ComplementArgument) {
    const NegCase& c = GetParam();
    EXPECT_EQ(written([&](CborWriter* w) { return cbor_write_negint(w, c.value); }), c.bytes);
}

void PrintTo(const NegCase& c, std::ostream* out) { *out << c.value << " -> " << hex_bytes(c.bytes); }

INSTANTIATE_TEST_SUITE_P(Boundaries, NegativeHeads, ::testing::Values(
    NegCase{-1, {0x20}}, NegCase{-24, {0x37}}, NegCase{-25, {0x38, 0x18}}, NegCase{-256, {0x38, 0xFF}},
    NegCase{-257, {0x39, 0x01, 0x00}},
    NegCase{std::numeric_limits<std::int64_t>::min(), {0x3B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}),
    [](const ::testing::TestParamInfo<NegCase>& param_info) {
        return "minus_" + std::to_string(~static_cast<std::uint64_t>(param_info.param.value) + 1) + "_gives_" +
               hex_bytes(param_info.param.bytes);
    });

struct FloatCase { double value; Bytes bytes; };
class Floats : public ::testing::TestWithParam<FloatCase> {};

TEST_P(Floats, NarrowestExactWidth) {
    const FloatCase& c = GetParam();
    EXPECT_EQ(written([&](CborWriter* w) { return cbor_write_float(w, c.value); }), c.bytes);
}

void PrintTo(const FloatCase& c, std::ostream* out) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", c.value);
    *out << text << " -> " << hex_bytes(c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Widths, Floats, ::testing::Values(
    FloatCase{0.0, {0xF9, 0x00, 0x00}}, FloatCase{-0.0, {0xF9, 0x80, 0x00}}, FloatCase{1.0, {0xF9, 0x3C, 0x00}},
    FloatCase{1.5, {0xF9, 0x3E, 0x00}}, FloatCase{5.5, {0xF9, 0x45, 0x80}}, FloatCase{-4.0, {0xF9, 0xC4, 0x00}},
    FloatCase{65504.0, {0xF9, 0x7B, 0xFF}}, FloatCase{6.103515625e-05, {0xF9, 0x04, 0x00}},
    FloatCase{65505.0, {0xFA, 0x47, 0x7F, 0xE1, 0x00}}, FloatCase{100000.0, {0xFA, 0x47, 0xC3, 0x50, 0x00}},
    FloatCase{5.960464477539063e-08, {0xFA, 0x33, 0x80, 0x00, 0x00}},
    FloatCase{std::ldexp(1.0, -149), {0xFA, 0x00, 0x00, 0x00, 0x01}},
    FloatCase{3.4028234663852886e+38, {0xFA, 0x7F, 0x7F, 0xFF, 0xFF}},
    FloatCase{0.1, {0xFB, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}},
    FloatCase{1.1, {0xFB, 0x3F, 0xF1, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}},
    FloatCase{1e300, {0xFB, 0x7E, 0x37, 0xE4, 0x3C, 0x88, 0x00, 0x75, 0x9C}},
    FloatCase{std::nan(""), {0xF9, 0x7E, 0x00}}, FloatCase{-std::nan("7"), {0xF9, 0x7E, 0x00}},
    FloatCase{INFINITY, {0xF9, 0x7C, 0x00}}, FloatCase{-INFINITY, {0xF9, 0xFC, 0x00}}),
    [](const ::testing::TestParamInfo<FloatCase>& param_info) {
        return name_of(param_info.param.value) + "_gives_" + hex_bytes(param_info.param.bytes);
    });

// The literal width rule: write the three fixed-width candidates, read them back and keep
// the narrowest whose value equals the wider one's.
Bytes float_by_trial(double value) {
    CborWriter* scratch = cbor_writer_new();
    cbor_write_float16(scratch, value);
    cbor_write_float32(scratch, value);
    cbor_write_float64(scratch, value);
    CborCursor* cursor = cbor_cursor_new(scratch->storage, scratch->length);
    double decoded[3];
    for (double& d : decoded) {
        CborItem* item = cbor_next_item(cursor);
        d = cbor_item_double(item);
        cbor_item_free(item);
    }
    cbor_cursor_free(cursor);
    cbor_writer_free(scratch);
    const double h = decoded[0], s = decoded[1], d = decoded[2];
    if (s != d) return written([&](CborWriter* w) { return cbor_write_float64(w, value); });
    if (h != s) return written([&](CborWriter* w) { return cbor_write_float32(w, value); });
    return written([&](CborWriter* w) { return cbor_write_float16(w, value); });
}

TEST(FloatWidth, EveryHalfPatternMatchesTheTrialRule) {
    for (unsigned pattern = 0; pattern < 65536; ++pattern) {
        const double value = cbor_decode_half(static_cast<std::uint16_t>(pattern));
        if (!std::isfinite(value)) continue;
        ASSERT_EQ(written([&](CborWriter* w) { return cbor_write_float(w, value); }), float_by_trial(value)) << pattern;
    }
}

TEST(FloatWidth, EverySingleExponentMatchesTheTrialRule) {
    const std::uint32_t mantissas[] = {0, 1, 0x1000, 0x1FFF, 0x2000, 0x3FE000, 0x400000, 0x7FE000, 0x7FFFFF, 0x12345};
    for (std::uint32_t sign = 0; sign < 2; ++sign)
        for (std::uint32_t exponent = 0; exponent < 255; ++exponent)
            for (std::uint32_t mantissa : mantissas) {
                const std::uint32_t bits = (sign << 31) | (exponent << 23) | mantissa;
                float single;
                std::memcpy(&single, &bits, sizeof single);
                // The single itself and its double neighbours, which no single holds.
                for (const double value : {static_cast<double>(single), std::nextafter(static_cast<double>(single), 1e300),
                                           std::nextafter(static_cast<double>(single), -1e300)}) {
                    ASSERT_EQ(written([&](CborWriter* w) { return cbor_write_float(w, value); }), float_by_trial(value))
                        << std::hex << bits << " " << value;
                }
            }
}

TEST(FloatWidth, NonFiniteValuesAndStatus) {
    const double nans[] = {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::signaling_NaN()};
    for (const double nan : nans) {
        EXPECT_EQ(written([&](CborWriter* w) { return cbor_write_float(w, nan); }), (Bytes{0xF9, 0x7E, 0x00}));
    }
    CborWriter* writer = cbor_writer_new();
    EXPECT_EQ(cbor_write_float(writer, std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(cbor_write_float(writer, nans[0]), 0);
    EXPECT_EQ(cbor_write_float(writer, 1.5), 1);
    EXPECT_EQ(cbor_write_float(writer, 0.1), 1);
    EXPECT_EQ(cbor_write_float(nullptr, 1.5), -1);
    EXPECT_EQ(Bytes(writer->storage, writer->storage + writer->length),
              (Bytes{0xF9, 0x7C, 0x00, 0xF9, 0x7E, 0x00, 0xF9, 0x3E, 0x00, 0xFB, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}));
    cbor_writer_free(writer);
}

TEST(FloatWidth, RandomDoublesMatchTheTrialRule) {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 200000; ++i) {
        state ^= state << 13; state ^= state >> 7; state ^= state << 17;
        double value;
        std::memcpy(&value, &state, sizeof value);
        if (!std::isfinite(value)) continue;
        ASSERT_EQ(written([&](CborWriter* w) { return cbor_write_float(w, value); }), float_by_trial(value));
    }
}

// The half decoder against the procedure of RFC 8949, Appendix D, for every pattern: the
// same double, sign of zero included; for a NaN, a NaN of the same sign that keeps the payload.
TEST(HalfFloat, EveryPatternMatchesTheAppendixProcedure) {
    for (unsigned pattern = 0; pattern < 65536; ++pattern) {
        const int exponent = (pattern >> 10) & 31;
        const int mantissa = pattern & 1023;
        double magnitude;
        if (exponent == 0) {
            magnitude = std::ldexp(mantissa, -24);
        } else if (exponent != 31) {
            magnitude = std::ldexp(mantissa + 1024, exponent - 25);
        } else {
            magnitude = mantissa == 0 ? INFINITY : NAN;
        }
        const double expected = (pattern & 0x8000) ? -magnitude : magnitude;
        const double got = cbor_decode_half(static_cast<std::uint16_t>(pattern));
        std::uint64_t got_bits, expected_bits;
        std::memcpy(&got_bits, &got, 8);
        std::memcpy(&expected_bits, &expected, 8);
        if (std::isnan(expected)) {
            ASSERT_TRUE(std::isnan(got)) << pattern;
            ASSERT_EQ(got_bits >> 63, pattern >> 15) << pattern;
            ASSERT_EQ((got_bits >> 42) & 0x3FF, static_cast<std::uint64_t>(mantissa)) << pattern;
        } else {
            ASSERT_EQ(got_bits, expected_bits) << pattern;
        }
        // The writer's single-to-half step gives back every normal half, zero and infinity.
        if ((exponent != 0 || mantissa == 0) && !(exponent == 31 && mantissa != 0)) {
            const float single = static_cast<float>(got);
            std::uint32_t single_bits;
            std::memcpy(&single_bits, &single, 4);
            ASSERT_EQ(cbor_half_from_single(single_bits), pattern) << pattern;
        }
    }
}

struct HeadCase {
    Bytes bytes;
    CborHeadStatus status;
    unsigned major;
    std::uint64_t argument;
    std::size_t size;
};

class Heads : public ::testing::TestWithParam<HeadCase> {};

TEST_P(Heads, DecodedWithinWhatRemains) {
    const HeadCase& c = GetParam();
    CborHead head;
    ASSERT_EQ(cbor_decode_head(c.bytes.data(), c.bytes.size(), head), c.status);
    EXPECT_EQ(head.major, c.major);
    EXPECT_EQ(head.info, c.bytes[0] & 0x1Fu);
    EXPECT_EQ(head.size, c.size);
    if (c.status == CBOR_HEAD_OK) {
        EXPECT_EQ(head.argument, c.argument);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Heads,
    ::testing::Values(HeadCase{{0x00}, CBOR_HEAD_OK, 0, 0, 1}, HeadCase{{0x37}, CBOR_HEAD_OK, 1, 23, 1},
                      HeadCase{{0x58, 0xFF}, CBOR_HEAD_OK, 2, 255, 2},
                      HeadCase{{0x79, 0x01, 0x00}, CBOR_HEAD_OK, 3, 256, 3},
                      HeadCase{{0x9A, 0x12, 0x34, 0x56, 0x78}, CBOR_HEAD_OK, 4, 0x12345678, 5},
                      HeadCase{{0xBB, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, CBOR_HEAD_OK, 5,
                               0x0102030405060708ull, 9},
                      HeadCase{{0xC1}, CBOR_HEAD_OK, 6, 1, 1}, HeadCase{{0xF9, 0x3C, 0x00}, CBOR_HEAD_OK, 7, 0x3C00, 3},
                      HeadCase{{0x9F}, CBOR_HEAD_OK, 4, UINT64_MAX, 1}, HeadCase{{0xFF}, CBOR_HEAD_OK, 7, UINT64_MAX, 1},
                      HeadCase{{0x1C}, CBOR_HEAD_RESERVED, 0, 0, 1}, HeadCase{{0xFE}, CBOR_HEAD_RESERVED, 7, 0, 1},
                      HeadCase{{0x18}, CBOR_HEAD_CUT_SHORT, 0, 0, 2},
                      HeadCase{{0x19, 0x01}, CBOR_HEAD_CUT_SHORT, 0, 0, 3},
                      HeadCase{{0x5A, 0x00, 0x00, 0x01}, CBOR_HEAD_CUT_SHORT, 2, 0, 5},
                      HeadCase{{0xFB, 0, 0, 0, 0, 0, 0, 0}, CBOR_HEAD_CUT_SHORT, 7, 0, 9}));

// Every head the writer makes decodes to its major type and argument, in the writer's size.
TEST(HeadRoundTrip, WrittenHeadsDecodeBack) {
    const std::uint64_t boundaries[] = {0, 23, 24, 255, 256, 65535, 65536, 0xFFFFFFFFull, 0x100000000ull, UINT64_MAX};
    for (unsigned major = 0; major < 8; ++major) {
        for (const std::uint64_t argument : boundaries) {
            const Bytes bytes = written([&](CborWriter* w) { return cbor_write_head(w, major, argument); });
            CborHead head;
            ASSERT_EQ(cbor_decode_head(bytes.data(), bytes.size(), head), CBOR_HEAD_OK);
            EXPECT_EQ(head.major, major);
            EXPECT_EQ(head.argument, argument);
            EXPECT_EQ(head.size, bytes.size());
            EXPECT_EQ(head.size, cbor_head_size(argument));
        }
    }
}

TEST(Writer, StringsContainersAndSimpleValues) {
    EXPECT_EQ(written([](CborWriter* w) { return cbor_write_bytes(w, "", 0); }), (Bytes{0x40}));
    EXPECT_EQ(written([](CborWriter* w) { return cbor_write_text(w, "", 0); }), (Bytes{0x60}));
    EXPECT_EQ(written([](CborWriter* w) { return cbor_write_bytes(w, nullptr, CBOR_INDEFINITE); }), (Bytes{0x5F}));
    EXPECT_EQ(written([](CborWriter* w) { return cbor_write_text(w, nullptr, CBOR_INDEFINITE); }), (Bytes{0x7F}));
    const Bytes text24 = written([](CborWriter* w) { return cbor_write_text(w, "abcdefghijklmnopqrstuvwx", 24); });
    EXPECT_EQ(Bytes(text24.begin(), text24.begin() + 2), (Bytes{0x78, 0x18}));
    EXPECT_EQ(text24.size(), 26u);
    EXPECT_EQ(written([](CborWriter* w) { return cbor_start_array(w, 0); }), (Bytes{0x80}));
    EXPECT_EQ(written([](CborWriter* w) { return cbor_start_map(w, 0); }), (Bytes{0xA0}));
    EXPECT_EQ(written([](CborWriter* w) { return cbor_start_array(w, 24); }), (Bytes{0x98, 0x18}));
    EXPECT_EQ(written([](CborWriter* w) { return cbor_start_array(w, CBOR_INDEFINITE); }), (Bytes{0x9F}));
    EXPECT_EQ(written([](CborWriter* w) { return cbor_start_map(w, CBOR_INDEFINITE); }), (Bytes{0xBF}));
    EXPECT_EQ(written([](CborWriter* w) {
                  return cbor_write_break(w) | cbor_write_false(w) | cbor_write_true(w) | cbor_write_null(w);
              }),
              (Bytes{0xFF, 0xF4, 0xF5, 0xF6}));
    EXPECT_EQ(cbor_write_uint(nullptr, 1), -1);
}

TEST(Writer, FailedGrowthKeepsEarlierBytes) {
    CborWriter* writer = cbor_writer_new();
    ASSERT_EQ(cbor_write_uint(writer, 7), 0);
    std::vector<std::uint8_t> big(1000, 0xAB);
    heap_fail_after(0);
    EXPECT_EQ(cbor_write_bytes(writer, big.data(), big.size()), -1);
    heap_fail_after(-1);
    ASSERT_GE(writer->length, 1u);
    EXPECT_EQ(writer->storage[0], 0x07);
    cbor_writer_free(writer);
}

// Storage owned by the writer's user: a vector that may refuse to grow past a limit.
struct OwnStorage {
    std::vector<std::uint8_t> bytes;
    std::size_t limit = ~std::size_t{0};
    int calls = 0;

    static std::uint8_t* resize(void* context, std::uint64_t capacity) {
        auto* self = static_cast<OwnStorage*>(context);
        ++self->calls;
        if (capacity > self->limit) return nullptr;
        self->bytes.resize(static_cast<std::size_t>(capacity));
        return self->bytes.data();
    }
};

TEST(Writer, OwnResizeFunctionGivesTheSameBytes) {
    const std::vector<std::uint8_t> big(5000, 0x5A);
    const auto write_all = [&](CborWriter* w) {
        int status = cbor_start_array(w, CBOR_INDEFINITE);
        for (int i = 0; i < 300; ++i) status |= cbor_write_uint(w, static_cast<std::uint64_t>(i) * 977);
        status |= cbor_write_bytes(w, big.data(), big.size());
        status |= cbor_write_float(w, 0.1);
        return status | cbor_write_break(w);
    };
    OwnStorage own;
    CborWriter* writer = cbor_writer_new();
    writer->resize = &OwnStorage::resize;
    writer->resize_context = &own;
    ASSERT_GE(write_all(writer), 0);
    const Bytes mine(writer->storage, writer->storage + writer->length);
    EXPECT_EQ(writer->storage, own.bytes.data());
    EXPECT_GT(own.calls, 1);
    cbor_writer_free(writer);  // leaves the vector's storage to its owner
    EXPECT_EQ(mine, written(write_all));
}

TEST(Writer, RefusedResizeFailsTheOperation) {
    OwnStorage own;
    own.limit = 256;
    CborWriter* writer = cbor_writer_new();
    writer->resize = &OwnStorage::resize;
    writer->resize_context = &own;
    ASSERT_EQ(cbor_write_uint(writer, 7), 0);
    const std::vector<std::uint8_t> big(1000, 0xAB);
    EXPECT_EQ(cbor_write_bytes(writer, big.data(), big.size()), -1);
    EXPECT_EQ(writer->storage[0], 0x07);  // this owner kept its storage
    cbor_writer_free(writer);
}

}  // namespace
