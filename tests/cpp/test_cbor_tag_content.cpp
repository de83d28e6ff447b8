// The end of a definite-length item and the content the standard tags require, on items
// written by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cbor/format.h"
#include "cbor/tag_content.h"

using namespace quorvane;

namespace {

std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// The size of the first item of `text`, or -1 when it has no definite end.
long item_size(const std::string& text) {
    const std::vector<std::uint8_t> bytes = hex(text);
    const std::uint8_t* end = cbor_definite_item_end(bytes.data(), bytes.data() + bytes.size());
    return end == nullptr ? -1 : static_cast<long>(end - bytes.data());
}

TEST(CborDefiniteItemEnd, FindsTheEndOfNestedItems) {
    EXPECT_EQ(item_size("00ff"), 1);
    EXPECT_EQ(item_size("1b0000000000000001"), 9);
    EXPECT_EQ(item_size("f93c00"), 3);
    EXPECT_EQ(item_size("fb3ff0000000000000"), 9);
    EXPECT_EQ(item_size("43616263ff"), 4);
    EXPECT_EQ(item_size("8201820203ff"), 5);
    EXPECT_EQ(item_size("a2616101c24105616280"), 9);  // {"a": 1, 2(h'05'): "b"}
    EXPECT_EQ(item_size("d9010282010200"), 6);
    EXPECT_EQ(item_size("80a0"), 1);
}

TEST(CborDefiniteItemEnd, RefusesWhatHasNoDefiniteEnd) {
    EXPECT_EQ(item_size(""), -1);
    EXPECT_EQ(item_size("9f01ff"), -1);       // indefinite array
    EXPECT_EQ(item_size("5f4101ff"), -1);     // indefinite byte string
    EXPECT_EQ(item_size("4461"), -1);         // content cut short
    EXPECT_EQ(item_size("8201"), -1);         // member missing
    EXPECT_EQ(item_size("1c"), -1);           // reserved additional information
    EXPECT_EQ(item_size("1a0000"), -1);       // argument cut short
    EXPECT_EQ(item_size("c2"), -1);           // tag without content
    EXPECT_EQ(item_size("9b7fffffffffffffff"), -1);  // a count far beyond the bytes
    EXPECT_EQ(item_size("bb8000000000000000"), -1);  // a pair count whose double overflows
}

struct Case {
    std::uint64_t tag;
    const char* content;
    bool fits;
    bool shape;  // when it does not fit: the right kind, the wrong shape
};

TEST(CborTagContentFault, JudgesEachStandardTag) {
    const Case cases[] = {
        {0, "6161", true, false},         {0, "01", false, false},          {1, "1a514b67b0", true, false},
        {1, "f93c00", true, false},       {1, "20", true, false},           {1, "f5", false, false},
        {1, "6161", false, false},        {2, "4101", true, false},         {2, "6161", false, false},
        {3, "40", true, false},           {3, "01", false, false},          {4, "822103", true, false},
        {4, "8221c24101", true, false},   {4, "82c2410103", false, true},   {4, "8101", false, true},
        {4, "83010203", false, true},     {4, "82f93c0001", false, true},   {4, "01", false, false},
        {5, "820102", true, false},       {24, "4101", true, false},        {24, "01", false, false},
        {30, "822007", true, false},      {30, "82c3410102", true, false},  {30, "82c2410102", true, false},
        {30, "820100", false, true},      {30, "820120", false, true},      {30, "8201c34101", false, true},
        {32, "6161", true, false},        {35, "6161", true, false},        {35, "4161", false, false},
        {36, "6161", true, false},        {37, "5000000000000000000000000000000000", true, false},
        {37, "4100", false, true},        {37, "6161", false, false},       {52, "44c0a80102", true, false},
        {52, "8208410a", true, false},    {54, "01", false, false},         {100, "01", true, false},
        {100, "6161", false, false},      {258, "80", true, false},         {258, "a0", false, false},
        {1004, "6a323032302d30312d3032", true, false},                      {1004, "00", false, false},
        {99, "f5", true, false},          {55799, "a0", true, false},
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> bytes = hex(c.content);
        const CborTagContentFault fault = cbor_tag_content_fault(c.tag, bytes.data(), bytes.data() + bytes.size());
        EXPECT_EQ(fault.needs == nullptr, c.fits) << "tag " << c.tag << " around " << c.content;
        if (!c.fits) {
            EXPECT_EQ(fault.shape, c.shape) << "tag " << c.tag << " around " << c.content;
        }
    }
}

TEST(CborKindName, NamesEachKindOfItem) {
    EXPECT_STREQ(cbor_kind_name(0x01), "an integer");
    EXPECT_STREQ(cbor_kind_name(0x20), "an integer");
    EXPECT_STREQ(cbor_kind_name(0x40), "a byte string");
    EXPECT_STREQ(cbor_kind_name(0x60), "a text string");
    EXPECT_STREQ(cbor_kind_name(0x80), "an array");
    EXPECT_STREQ(cbor_kind_name(0xa0), "a map");
    EXPECT_STREQ(cbor_kind_name(0xc2), "a tag");
    EXPECT_STREQ(cbor_kind_name(CBOR_TRUE), "a boolean");
    EXPECT_STREQ(cbor_kind_name(CBOR_NULL), "null");
    EXPECT_STREQ(cbor_kind_name(CBOR_UNDEFINED), "undefined");
    EXPECT_STREQ(cbor_kind_name(CBOR_FLOAT16), "a float");
    EXPECT_STREQ(cbor_kind_name(0xf0), "a simple value");
}

}  // namespace
