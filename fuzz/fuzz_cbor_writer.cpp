// Fuzz target: the CBOR writer, driven by a byte-coded sequence of operations and checked
// against the reader.
//
// Each operation is one code byte followed by its operands (taken from the input, zero
// when the input runs out). Every operation must succeed and write exactly the shortest
// form; the whole buffer is then read back item by item, and every item must be the one
// that its operation wrote. A float written by cbor_write_float must read back as the same
// number (sign of zero included), in the narrowest width that holds it exactly. Finally the
// sequence is replayed with allocations failing part way: the first failing operation must
// report -1 and leave a prefix of the full encoding in the buffer.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cbor/reader.h"
#include "cbor/writer.h"
#include "common/memory.h"
#include "fuzz_check.h"

using namespace quorvane;

namespace {

void check(bool condition, const char* what) {
    if (!condition) fuzz_fail("fuzz_cbor_writer", what);
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint64_t uint(unsigned bytes) {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < bytes; ++i) value = (value << 8) | byte();
        return value;
    }
    // An argument spread over the interesting head widths, boundaries included.
    std::uint64_t argument() {
        const std::uint8_t selector = byte();
        const std::uint64_t raw = uint(1u << (selector & 3));  // 1, 2, 4 or 8 bytes
        switch ((selector >> 2) & 7) {
            case 0: return raw % 30;                 // around 23/24
            case 1: return 250 + raw % 12;           // around 255/256
            case 2: return 65530 + raw % 12;         // around 65535/65536
            case 3: return 0xFFFFFFFAull + raw % 12; // around 2^32
            case 4: return ~std::uint64_t{0} - raw % 4;
            default: return raw;
        }
    }
    // Up to 300 bytes of content.
    std::vector<std::uint8_t> content() {
        std::size_t length = byte();
        if (length > 200) length = (length - 200) * 3;
        std::vector<std::uint8_t> out;
        for (std::size_t i = 0; i < length && !empty(); ++i) out.push_back(byte());
        return out;
    }
    double number() {
        const std::uint8_t selector = byte();
        const std::uint64_t bits = uint(8);
        double value;
        if (selector & 1) {
            std::memcpy(&value, &bits, sizeof value);  // any pattern, NaNs and subnormals included
        } else {
            // A value near the half and single boundaries: a small integer times a power of two.
            const auto mantissa = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits) & 0x1FFFFFF) - 0x1000000;
            value = std::ldexp(static_cast<double>(mantissa), static_cast<int>(selector >> 1) * 2 - 180);
        }
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

enum class Kind { Uint, Negint, Bytes, Text, Array, Map, Indefinite, Simple, Float, Float16, Float32, Float64, RawHead, Raw };

struct Op {
    Kind kind = Kind::Uint;
    std::uint64_t argument = 0;        // integer, length, count, or raw head argument
    std::int64_t negative = 0;
    std::uint8_t byte = 0;             // simple value, indefinite start, raw head initial byte
    std::vector<std::uint8_t> content;
    double number = 0;
};

std::vector<Op> decode_ops(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    std::vector<Op> ops;
    while (!in.empty() && ops.size() < 400) {
        Op op;
        const std::uint8_t code = in.byte();
        switch (code % 14) {
            case 0: op.kind = Kind::Uint; op.argument = in.argument(); break;
            case 1: {
                op.kind = Kind::Negint;
                op.negative = -1 - static_cast<std::int64_t>(in.argument() >> 1);
                break;
            }
            case 2: op.kind = Kind::Bytes; op.content = in.content(); break;
            case 3: op.kind = Kind::Text; op.content = in.content(); break;
            case 4: op.kind = Kind::Array; op.argument = in.argument(); if (op.argument == CBOR_INDEFINITE) --op.argument; break;
            case 5: op.kind = Kind::Map; op.argument = in.argument(); if (op.argument == CBOR_INDEFINITE) --op.argument; break;
            case 6: {
                static const std::uint8_t starts[] = {0x5F, 0x7F, 0x9F, 0xBF, 0xFF};
                op.kind = Kind::Indefinite;
                op.byte = starts[(code / 14) % 5];
                break;
            }
            case 7: op.kind = Kind::Simple; op.byte = static_cast<std::uint8_t>(0xF4 + (code / 14) % 3); break;
            case 8: op.kind = Kind::Float; op.number = in.number(); break;
            case 9: op.kind = Kind::Float16; op.number = in.number(); break;
            case 10: op.kind = Kind::Float32; op.number = in.number(); break;
            case 11: op.kind = Kind::Float64; op.number = in.number(); break;
            case 12: {
                // A raw head with an argument width, on a major type without content.
                static const std::uint8_t majors[] = {0x00, 0x20, 0x80, 0xA0};
                op.kind = Kind::RawHead;
                op.byte = static_cast<std::uint8_t>(majors[(code / 14) % 4] | (24 + in.byte() % 4));
                op.argument = in.uint(8);
                break;
            }
            default: {
                op.kind = Kind::Raw;
                op.content = in.content();
                // Raw bytes are written as a byte string head plus the bytes, so they read back.
                break;
            }
        }
        ops.push_back(op);
    }
    return ops;
}

std::int32_t apply(CborWriter* writer, const Op& op) {
    switch (op.kind) {
        case Kind::Uint: return cbor_write_uint(writer, op.argument);
        case Kind::Negint: return cbor_write_negint(writer, op.negative);
        case Kind::Bytes: return cbor_write_bytes(writer, op.content.data(), op.content.size());
        case Kind::Text: return cbor_write_text(writer, op.content.data(), op.content.size());
        case Kind::Array: return cbor_start_array(writer, op.argument);
        case Kind::Map: return cbor_start_map(writer, op.argument);
        case Kind::Indefinite:
            switch (op.byte) {
                case 0x5F: return cbor_write_bytes(writer, nullptr, CBOR_INDEFINITE);
                case 0x7F: return cbor_write_text(writer, nullptr, CBOR_INDEFINITE);
                case 0x9F: return cbor_start_array(writer, CBOR_INDEFINITE);
                case 0xBF: return cbor_start_map(writer, CBOR_INDEFINITE);
                default: return cbor_write_break(writer);
            }
        case Kind::Simple:
            return op.byte == 0xF4 ? cbor_write_false(writer) : op.byte == 0xF5 ? cbor_write_true(writer) : cbor_write_null(writer);
        case Kind::Float: return cbor_write_float(writer, op.number);
        case Kind::Float16: return cbor_write_float16(writer, op.number);
        case Kind::Float32: return cbor_write_float32(writer, op.number);
        case Kind::Float64: return cbor_write_float64(writer, op.number);
        case Kind::RawHead: return cbor_write_head_raw(writer, op.byte, op.argument);
        case Kind::Raw: {
            if (cbor_write_head(writer, 2, op.content.size()) < 0) return -1;
            return cbor_put_bytes(writer, op.content.data(), op.content.size());
        }
    }
    return -1;
}

bool same_number(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

// The narrowest width that holds x exactly, worked out without the writer's code: half for
// zeros and normal halves (2^-14 <= |x| <= 65504 with at most 11 significant bits), single
// when x is a float, else double.
unsigned expected_width(double x) {
    if (x == 0) return 2;
    const double magnitude = std::fabs(x);
    int exponent = 0;
    const double fraction = std::frexp(magnitude, &exponent);  // magnitude = fraction * 2^exponent
    if (magnitude >= std::ldexp(1.0, -14) && magnitude <= 65504.0) {
        const double scaled = std::ldexp(fraction, 11);  // 11 significant bits
        if (scaled == std::floor(scaled)) return 2;
    }
    if (magnitude <= static_cast<double>(FLT_MAX) && magnitude >= std::ldexp(1.0, -149)) {
        // Exact in single precision: 24 significant bits in the normal range, fewer below.
        const int bits = exponent - 1 >= -126 ? 24 : 24 - (-126 - (exponent - 1));
        const double scaled = std::ldexp(fraction, bits);
        if (bits > 0 && scaled == std::floor(scaled)) return 4;
    }
    return 8;
}

void check_item(const CborItem* item, const Op& op, std::uint64_t head_size) {
    switch (op.kind) {
        case Kind::Uint:
            check(item->initial_byte >> 5 == 0 && item->value == op.argument, "uint reads back differently");
            check(head_size == cbor_head_size(op.argument), "uint head is not the shortest");
            break;
        case Kind::Negint: {
            check(item->major_type == 1, "negint reads back with another major type");
            check(static_cast<std::int64_t>(item->value) == op.negative, "negint reads back differently");
            check(head_size == cbor_head_size(~static_cast<std::uint64_t>(op.negative)), "negint head is not the shortest");
            break;
        }
        case Kind::Bytes:
        case Kind::Text:
        case Kind::Raw: {
            const unsigned major = op.kind == Kind::Text ? 3 : 2;
            check(item->major_type == major, "string reads back with another major type");
            check(static_cast<std::uint64_t>(item->length) == op.content.size(), "string length differs");
            check(op.content.empty() || std::memcmp(cbor_item_content(item), op.content.data(), op.content.size()) == 0,
                  "string content differs");
            check(head_size == cbor_head_size(op.content.size()) + op.content.size(), "string head is not the shortest");
            break;
        }
        case Kind::Array:
        case Kind::Map:
            check(item->major_type == (op.kind == Kind::Array ? 4u : 5u), "container reads back with another major type");
            check(static_cast<std::uint64_t>(item->length) == op.argument, "container count differs");
            check(head_size == cbor_head_size(op.argument), "container head is not the shortest");
            break;
        case Kind::Indefinite:
            check(item->initial_byte == op.byte && head_size == 1, "indefinite start or break differs");
            if (op.byte != 0xFF) check(item->length == -1, "indefinite start without length -1");
            break;
        case Kind::Simple:
            check(item->initial_byte == op.byte && head_size == 1, "simple value differs");
            break;
        case Kind::Float: {
            const double back = cbor_item_double(item);
            check(same_number(back, op.number), "float reads back as another number");
            if (std::isnan(op.number) || std::isinf(op.number)) {
                check(head_size == 3, "NaN or infinity not in half precision");
            } else {
                check(head_size == 1 + expected_width(op.number), "float not in the narrowest exact width");
                check(cbor_float_width(op.number) == head_size - 1, "cbor_float_width disagrees with the writer");
            }
            break;
        }
        case Kind::Float16:
            check(item->initial_byte == 0xF9 && head_size == 3, "float16 has the wrong form");
            break;
        case Kind::Float32: {
            check(item->initial_byte == 0xFA && head_size == 5, "float32 has the wrong form");
            const double back = cbor_item_double(item);
            if (!std::isnan(op.number) && std::fabs(op.number) <= static_cast<double>(FLT_MAX))
                check(same_number(back, static_cast<double>(static_cast<float>(op.number))), "float32 is not the single rounding");
            break;
        }
        case Kind::Float64:
            check(item->initial_byte == 0xFB && head_size == 9, "float64 has the wrong form");
            check(same_number(cbor_item_double(item), op.number), "float64 reads back differently");
            break;
        case Kind::RawHead: {
            const unsigned size = 1u << ((op.byte & 0x1F) - 24);
            const std::uint64_t mask = size == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * size)) - 1;
            const std::uint64_t argument = op.argument & mask;
            check(item->initial_byte == op.byte && head_size == 1 + size, "raw head has the wrong form");
            const unsigned major = op.byte >> 5;
            if (major == 0) check(item->value == argument, "raw uint head reads back differently");
            if (major == 1) check(item->value == ~argument, "raw negint head reads back differently");
            if (major >= 4) check(static_cast<std::uint64_t>(item->length) == argument, "raw container head differs");
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<Op> ops = decode_ops(data, size);

    CborWriter* writer = cbor_writer_new();
    check(writer != nullptr, "cbor_writer_new failed");
    std::vector<std::uint64_t> ends;
    for (const Op& op : ops) {
        const std::uint64_t before = writer->length;
        check(apply(writer, op) >= 0, "an operation failed without allocation failures");
        check(writer->length > before, "an operation wrote nothing");
        ends.push_back(writer->length);
    }

    // Read everything back.
    CborCursor* cursor = cbor_cursor_new(writer->storage, writer->length);
    check(cursor != nullptr, "cbor_cursor_new failed");
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        CborItem* item = cbor_next_item(cursor);
        check(item != nullptr, "an item written does not read back");
        const auto offset = static_cast<std::uint64_t>(cursor->position - writer->storage);
        check(offset == ends[i], "an item reads back over a different number of bytes");
        check_item(item, ops[i], ends[i] - start);
        cbor_item_free(item);
        start = ends[i];
    }
    check(cbor_next_item(cursor) == nullptr, "bytes left after the last item");
    cbor_cursor_free(cursor);

    // Replay with allocations failing after a number of successes taken from the input.
    if (size > 0) {
        std::vector<std::uint8_t> full(writer->storage, writer->storage + writer->length);
        heap_fail_after(data[size - 1] % 8);
        CborWriter* partial = cbor_writer_new();
        if (partial != nullptr) {
            for (const Op& op : ops) {
                if (apply(partial, op) < 0) break;
            }
            check(partial->length <= full.size(), "a failing writer wrote more than the full encoding");
            check(partial->length == 0 || std::memcmp(partial->storage, full.data(), partial->length) == 0,
                  "a failing writer does not hold a prefix of the full encoding");
        }
        heap_fail_after(-1);
        cbor_writer_free(partial);
    }
    cbor_writer_free(writer);
    return 0;
}
