// The decoder's UTF-8 helpers against a literal decoder that reads one code point at a time
// by the definition of strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cbor/utf8.h"

using namespace quorvane;

namespace {

using Bytes = std::vector<std::uint8_t>;
using CodePoints = std::vector<std::uint32_t>;

// The oracle: false for anything that is not strict UTF-8.
bool reference_decode(const Bytes& in, CodePoints& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size();) {
        const unsigned b = in[i];
        std::size_t length;
        std::uint32_t smallest;
        std::uint32_t c;
        if (b < 0x80) {
            length = 1, smallest = 0, c = b;
        } else if (b >= 0xC0 && b < 0xE0) {
            length = 2, smallest = 0x80, c = b & 0x1F;
        } else if (b >= 0xE0 && b < 0xF0) {
            length = 3, smallest = 0x800, c = b & 0x0F;
        } else if (b >= 0xF0 && b < 0xF8) {
            length = 4, smallest = 0x10000, c = b & 0x07;
        } else {
            return false;
        }
        if (in.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((in[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (in[i + k] & 0x3F);
        }
        if (c < smallest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        out.push_back(c);
        i += length;
    }
    return true;
}

void reference_encode(std::uint32_t c, Bytes& out) {
    if (c < 0x80) {
        out.push_back(static_cast<std::uint8_t>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<std::uint8_t>(0xC0 | (c >> 6)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<std::uint8_t>(0xE0 | (c >> 12)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<std::uint8_t>(0xF0 | (c >> 18)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    }
}

// Decodes into units of one width, as many as the measure counts.
template <typename Unit>
bool decode_as(const Bytes& in, CodePoints& out) {
    std::size_t chars = 0;
    unsigned top = 0;
    utf8_measure(in.data(), in.size(), chars, top);
    std::vector<Unit> units(chars + 1);
    const bool valid = utf8_decode(in.data(), in.size(), units.data(), chars);
    out.assign(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(chars));
    return valid;
}

// Every helper against the oracle for one input.
void check_against_reference(const Bytes& in) {
    SCOPED_TRACE(::testing::PrintToString(in));
    bool literal_ascii = true;
    for (std::uint8_t b : in) literal_ascii = literal_ascii && b < 0x80;
    ASSERT_EQ(is_ascii(in.data(), in.size()), literal_ascii);

    CodePoints expected;
    const bool valid = reference_decode(in, expected);
    std::uint32_t largest = 0;
    for (std::uint32_t c : expected) largest = c > largest ? c : largest;

    std::size_t chars = 0;
    unsigned top = 0;
    utf8_measure(in.data(), in.size(), chars, top);
    unsigned literal_top = 0;
    for (std::uint8_t b : in) literal_top = b > literal_top ? b : literal_top;
    ASSERT_EQ(top, literal_top);
    if (valid) {
        ASSERT_EQ(chars, expected.size());
        // The largest byte tells the storage class of the largest code point.
        ASSERT_EQ(top >= 0xF0, largest > 0xFFFF);
        ASSERT_EQ(top >= 0xC4, largest > 0xFF);
        ASSERT_EQ(top >= 0x80, largest >= 0x80);
    }

    CodePoints got;
    ASSERT_EQ(decode_as<std::uint32_t>(in, got), valid);
    if (valid) {
        ASSERT_EQ(got, expected);
    }
    ASSERT_EQ(decode_as<std::uint16_t>(in, got), valid && largest <= 0xFFFF);
    if (valid && largest <= 0xFFFF) {
        ASSERT_EQ(got, expected);
    }
    ASSERT_EQ(decode_as<std::uint8_t>(in, got), valid && largest <= 0xFF);
    if (valid && largest <= 0xFF) {
        ASSERT_EQ(got, expected);
    }
}

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
};

class Utf8Table : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Table, MatchesTheLiteralDecoder) {
    const Utf8Case& c = GetParam();
    const Bytes in(c.bytes.begin(), c.bytes.end());
    CodePoints ignored;
    ASSERT_EQ(reference_decode(in, ignored), c.valid);  // the oracle itself, by the table
    check_against_reference(in);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Utf8Table,
    ::testing::Values(
        Utf8Case{"empty", "", true}, Utf8Case{"ascii", "plain text", true},
        Utf8Case{"first_two_byte", "\xC2\x80", true}, Utf8Case{"last_latin1", "\xC3\xBF", true},
        Utf8Case{"first_beyond_latin1", "\xC4\x80", true}, Utf8Case{"last_two_byte", "\xDF\xBF", true},
        Utf8Case{"first_three_byte", "\xE0\xA0\x80", true}, Utf8Case{"before_surrogates", "\xED\x9F\xBF", true},
        Utf8Case{"after_surrogates", "\xEE\x80\x80", true}, Utf8Case{"last_three_byte", "\xEF\xBF\xBF", true},
        Utf8Case{"first_four_byte", "\xF0\x90\x80\x80", true}, Utf8Case{"last_code_point", "\xF4\x8F\xBF\xBF", true},
        Utf8Case{"mixed", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", true},
        Utf8Case{"overlong_two_C0", "\xC0\x80", false}, Utf8Case{"overlong_two_C1", "\xC1\xBF", false},
        Utf8Case{"overlong_three", "\xE0\x9F\xBF", false}, Utf8Case{"overlong_four", "\xF0\x8F\xBF\xBF", false},
        Utf8Case{"first_surrogate", "\xED\xA0\x80", false}, Utf8Case{"last_surrogate", "\xED\xBF\xBF", false},
        Utf8Case{"beyond_last_code_point", "\xF4\x90\x80\x80", false}, Utf8Case{"lead_F5", "\xF5\x80\x80\x80", false},
        Utf8Case{"lead_FF", "\xFF", false}, Utf8Case{"lone_continuation", "a\x80", false},
        Utf8Case{"two_byte_cut_short", "a\xC2", false}, Utf8Case{"three_byte_cut_short", "\xE0\xA0", false},
        Utf8Case{"four_byte_cut_short", "\xF0\x90\x80", false}, Utf8Case{"bad_second_byte", "\xC2\x41", false},
        Utf8Case{"bad_third_byte", "\xE1\x80\x41", false}, Utf8Case{"bad_fourth_byte", "\xF1\x80\x80\xC0", false},
        Utf8Case{"fault_after_ascii_run", "0123456789abcdef\xC2", false}),
    [](const ::testing::TestParamInfo<Utf8Case>& param_info) { return std::string(param_info.param.name); });

// Random text of every storage class, at lengths around the 8-, 16- and 32-byte blocks and
// beyond the 255 blocks of one lane count, valid and with one byte changed.
TEST(Utf8Random, MatchesTheLiteralDecoder) {
    std::mt19937_64 random(20261210);
    const std::uint32_t ceilings[] = {0x7F, 0xFF, 0x7FF, 0xFFFF, 0x10FFFF};
    for (int round = 0; round < 3000; ++round) {
        const std::uint32_t ceiling = ceilings[round % 5];
        const std::size_t count = round < 2990 ? random() % 80 : 3000 + random() % 2000;
        Bytes in;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t c = random() % 4 == 0 ? static_cast<std::uint32_t>(random() % (ceiling + 1))
                                                : static_cast<std::uint32_t>(random() % 0x80);
            if (c >= 0xD800 && c <= 0xDFFF) c -= 0x800;
            reference_encode(c, in);
        }
        check_against_reference(in);
        if (in.empty()) continue;
        in[random() % in.size()] = static_cast<std::uint8_t>(random());
        check_against_reference(in);
    }
}

}  // namespace
