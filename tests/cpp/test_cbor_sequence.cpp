// cbor_item_extent: where an item ends, against items written by the writer and their every
// prefix (each one truncated) and against malformed bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "cbor/sequence.h"
#include "cbor/writer.h"

using namespace quorvane;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const char* text) {
    Bytes out;
    for (const char* p = text; p[0] != 0 && p[1] != 0; p += 2) {
        auto nibble = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
        out.push_back(static_cast<std::uint8_t>(nibble(p[0]) << 4 | nibble(p[1])));
    }
    return out;
}

struct Extent {
    CborExtent status;
    std::size_t end;
};

Extent extent_of(const Bytes& bytes) {
    std::size_t end = 0;
    const CborExtent status = cbor_item_extent(bytes.data(), bytes.size(), &end);
    return {status, end};
}

}  // namespace

// Well-formed items (RFC 8949 Appendix A and indefinite forms): complete exactly at their
// end with any bytes after them, truncated at every shorter prefix.
TEST(ItemExtent, WellFormedItemsAndEveryPrefix) {
    const char* const items[] = {
        "00", "17", "1818", "1b000000e8d4a51000", "3bffffffffffffffff", "f93c00", "fb7e37e43c8800759c", "f4",
        "f820", "40", "4401020304", "60", "6449455446", "80", "83010203", "8301820203820405", "a0",
        "a201020304", "a26161016162820203", "c074323031332d30332d32315432303a30343a30305a",
        "d82076687474703a2f2f7777772e6578616d706c652e636f6d", "5f42010243030405ff", "7f657374726561646d696e67ff",
        "9fff", "9f018202039f0405ffff", "9f01820203820405ff", "83018202039f0405ff", "bf61610161629f0203ffff",
        "826161bf61626163ff", "bf6346756ef563416d7421ff", "c1c2c349010000000000000000", "9f9f9f9f9fffffffffff",
    };
    for (const char* text : items) {
        const Bytes item = hex(text);
        Bytes followed = item;
        followed.insert(followed.end(), {0x01, 0xff, 0x1c});
        for (const Bytes* bytes : {&item, static_cast<const Bytes*>(&followed)}) {
            const Extent got = extent_of(*bytes);
            EXPECT_EQ(got.status, CBOR_EXTENT_COMPLETE) << text;
            EXPECT_EQ(got.end, item.size()) << text;
        }
        for (std::size_t cut = 0; cut < item.size(); ++cut) {
            const Bytes prefix(item.begin(), item.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_EQ(extent_of(prefix).status, CBOR_EXTENT_TRUNCATED) << text << " cut at " << cut;
        }
    }
}

TEST(ItemExtent, MalformedItemsNameTheirFirstBadByte) {
    const struct {
        const char* bytes;
        std::size_t at;
    } cases[] = {
        {"ff", 0}, {"1c", 0}, {"9f1d", 1}, {"8201ff", 2}, {"1f", 0}, {"3f", 0}, {"df01", 0}, {"f818", 0},
        {"5f6161ff", 1}, {"5f5f4100ffff", 1}, {"7f4100ff", 1}, {"c1ff", 1}, {"a1ff", 1}, {"9f01c2ff", 3},
    };
    for (const auto& c : cases) {
        const Extent got = extent_of(hex(c.bytes));
        EXPECT_EQ(got.status, CBOR_EXTENT_MALFORMED) << c.bytes;
        EXPECT_EQ(got.end, c.at) << c.bytes;
    }
}

// Items written by the engine's writer, nested deeply, one after another.
TEST(ItemExtent, WriterSequences) {
    CborWriter* writer = cbor_writer_new();
    std::vector<std::size_t> ends;
    for (int item = 0; item < 50; ++item) {
        for (int depth = 0; depth < item; ++depth) cbor_start_array(writer, item % 2 == 0 ? 1 : CBOR_INDEFINITE);
        cbor_write_text(writer, "x", 1);
        for (int depth = 0; depth < item; ++depth) {
            if (item % 2 != 0) cbor_write_break(writer);
        }
        ends.push_back(writer->length);
    }
    const Bytes all(writer->storage, writer->storage + writer->length);
    cbor_writer_free(writer);
    std::size_t at = 0;
    for (const std::size_t end : ends) {
        std::size_t found = 0;
        ASSERT_EQ(cbor_item_extent(all.data() + at, all.size() - at, &found), CBOR_EXTENT_COMPLETE);
        ASSERT_EQ(at + found, end);
        at = end;
    }
}
