#include "cbor/reader.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/memory.h"

namespace quorvane {
namespace {

using Handler = CborReadStatus (*)(CborCursor*, CborView*);

std::uint64_t left(const CborCursor* cursor) {
    return cursor->length - static_cast<std::uint64_t>(cursor->position - cursor->start);
}

std::uint64_t load_big_endian(const std::uint8_t* bytes, unsigned size) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i) value = (value << 8) | bytes[i];
    return value;
}

// Consumes the initial byte, then the argument its additional information calls for.
bool read_argument(CborCursor* cursor, CborView* view) {
    const unsigned info = view->initial_byte & 0x1F;
    ++cursor->position;
    if (info < 24) {
        view->value = info;
        return true;
    }
    const unsigned size = 1u << (info - 24);  // 24..27 -> 1, 2, 4, 8
    if (left(cursor) < size) return false;
    view->value = load_big_endian(cursor->position, size);
    cursor->position += size;
    return true;
}

CborReadStatus skip(CborCursor* cursor, CborView*) {
    ++cursor->position;
    return CBOR_READ_OK;
}

CborReadStatus unsigned_integer(CborCursor* cursor, CborView* view) {
    return read_argument(cursor, view) ? CBOR_READ_OK : CBOR_READ_TRUNCATED;
}

CborReadStatus negative_integer(CborCursor* cursor, CborView* view) {
    if (!read_argument(cursor, view)) return CBOR_READ_TRUNCATED;
    view->value = ~view->value;
    return CBOR_READ_OK;
}

CborReadStatus definite_string(CborCursor* cursor, CborView* view) {
    if (!read_argument(cursor, view)) return CBOR_READ_TRUNCATED;
    const std::uint64_t length = view->value;
    view->value = 0;
    view->length = static_cast<std::int64_t>(length);
    if (length > left(cursor)) return CBOR_READ_TRUNCATED;
    view->content = cursor->position;
    cursor->position += length;
    return CBOR_READ_OK;
}

CborReadStatus indefinite(CborCursor* cursor, CborView* view) {
    ++cursor->position;
    view->length = -1;
    return CBOR_READ_OK;
}

CborReadStatus container_head(CborCursor* cursor, CborView* view) {
    if (!read_argument(cursor, view)) return CBOR_READ_TRUNCATED;
    view->length = static_cast<std::int64_t>(view->value);
    view->value = 0;
    return CBOR_READ_OK;
}

CborReadStatus unimplemented(CborCursor* cursor, CborView* view) {
    std::fprintf(stderr, "Unimplemented CBOR code: %02x\n", static_cast<unsigned>(view->initial_byte));
    return skip(cursor, view);
}

void store_double(CborView* view, double number) { std::memcpy(&view->value, &number, sizeof number); }

template <unsigned Size>
CborReadStatus fixed_float(CborCursor* cursor, CborView* view) {
    ++cursor->position;
    if (left(cursor) < Size) return CBOR_READ_TRUNCATED;
    const std::uint64_t bits = load_big_endian(cursor->position, Size);
    cursor->position += Size;
    if (Size == 2) {
        store_double(view, cbor_decode_half(static_cast<std::uint16_t>(bits)));
    } else if (Size == 4) {
        const std::uint32_t single_bits = static_cast<std::uint32_t>(bits);
        float single;
        std::memcpy(&single, &single_bits, sizeof single);
        store_double(view, static_cast<double>(single));
    } else {
        view->value = bits;
    }
    return CBOR_READ_OK;
}

struct HandlerTable {
    Handler entries[256];

    constexpr HandlerTable() : entries() {
        for (unsigned byte = 0; byte < 256; ++byte) entries[byte] = pick(byte);
    }

    static constexpr Handler pick(unsigned byte) {
        const unsigned major = byte >> 5;
        const unsigned info = byte & 0x1F;
        const bool has_argument = info <= 27;
        switch (major) {
            case 0: return has_argument ? unsigned_integer : skip;
            case 1: return has_argument ? negative_integer : skip;
            case 2:
            case 3: return has_argument ? definite_string : info == 31 ? indefinite : skip;
            case 4:
            case 5: return has_argument ? container_head : info == 31 ? indefinite : skip;
            case 6: return skip;
            default:
                if (byte <= 0xF3 || byte == 0xF8) return unimplemented;
                if (byte == 0xF9) return fixed_float<2>;
                if (byte == 0xFA) return fixed_float<4>;
                if (byte == 0xFB) return fixed_float<8>;
                return skip;  // false, true, null, undefined, reserved, break
        }
    }
};

constexpr HandlerTable cbor_item_handlers;

}  // namespace

double cbor_decode_half(std::uint16_t pattern) {
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
    return (pattern & 0x8000) ? -magnitude : magnitude;
}

CborCursor* cbor_cursor_new(const std::uint8_t* data, std::uint64_t length) {
    auto* cursor = static_cast<CborCursor*>(heap_calloc(1, sizeof(CborCursor)));
    if (cursor == nullptr) return nullptr;
    cursor->start = data;
    cursor->length = length;
    cursor->position = data;
    return cursor;
}

void cbor_cursor_free(CborCursor* cursor) { heap_free(cursor); }

std::int64_t cbor_remaining(const CborCursor* cursor) { return static_cast<std::int64_t>(left(cursor)); }

CborReadStatus cbor_read_view(CborCursor* cursor, CborView* view) {
    if (left(cursor) == 0) return CBOR_READ_END;
    const std::uint8_t initial = *cursor->position;
    *view = CborView{initial, static_cast<std::uint32_t>(initial >> 5), 0, 0, nullptr};
    return cbor_item_handlers.entries[initial](cursor, view);
}

CborItem* cbor_next_item(CborCursor* cursor) {
    if (left(cursor) == 0) return nullptr;
    auto* item = static_cast<CborItem*>(heap_calloc(1, sizeof(CborItem)));
    if (item == nullptr) return nullptr;
    CborView view;
    if (cbor_read_view(cursor, &view) != CBOR_READ_OK) {
        heap_free(item);
        return nullptr;
    }
    item->initial_byte = view.initial_byte;
    item->major_type = view.major_type;
    item->value = view.value;
    item->length = view.length;
    if (view.content != nullptr) {
        const bool text = view.major_type == 3;
        const std::uint64_t size = static_cast<std::uint64_t>(view.length);
        auto* copy = static_cast<std::uint8_t*>(heap_malloc(static_cast<std::size_t>(size + (text ? 1 : 0))));
        if (copy == nullptr) {
            heap_free(item);
            return nullptr;
        }
        if (size != 0) std::memcpy(copy, view.content, static_cast<std::size_t>(size));
        if (text) copy[size] = 0;
        item->value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(copy));
    }
    return item;
}

void cbor_item_free(CborItem* item) {
    if (item == nullptr) return;
    if (item->major_type == 2 || item->major_type == 3) heap_free(const_cast<std::uint8_t*>(cbor_item_content(item)));
    heap_free(item);
}

double cbor_item_double(const CborItem* item) {
    double number;
    std::memcpy(&number, &item->value, sizeof number);
    return number;
}

}  // namespace quorvane
