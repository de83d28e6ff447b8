#include "cbor/reader.h"

#include <cstdio>
#include <cstring>

#include "cbor/format.h"
#include "common/memory.h"

namespace quorvane {
namespace {

using Handler = CborReadStatus (*)(CborCursor*, CborView*);

std::uint64_t left(const CborCursor* cursor) {
    return cursor->length - static_cast<std::uint64_t>(cursor->position - cursor->start);
}

// Consumes the initial byte, then the argument its additional information (0 to 27) calls for.
bool read_argument(CborCursor* cursor, CborView* view) {
    const std::uint64_t remaining = left(cursor);  // a head needs at most 9 bytes
    CborHead head;
    const CborHeadStatus status =
        cbor_decode_head(cursor->position, static_cast<std::size_t>(remaining < 9 ? remaining : 9), head);
    ++cursor->position;
    if (status != CBOR_HEAD_OK) return false;
    view->value = head.argument;
    cursor->position += head.size - 1;
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

// Half, single and double precision: the argument holds the bits.
CborReadStatus floating(CborCursor* cursor, CborView* view) {
    if (!read_argument(cursor, view)) return CBOR_READ_TRUNCATED;
    if (view->initial_byte == CBOR_FLOAT16) {
        store_double(view, cbor_half_to_double(static_cast<std::uint16_t>(view->value)));
    } else if (view->initial_byte == CBOR_FLOAT32) {
        store_double(view, cbor_single_to_double(static_cast<std::uint32_t>(view->value)));
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
        const bool has_argument = info <= CBOR_INFO_EIGHT_BYTES;
        const bool indefinite_length = info == CBOR_INFO_INDEFINITE;
        switch (major) {
            case CBOR_MAJOR_UNSIGNED: return has_argument ? unsigned_integer : skip;
            case CBOR_MAJOR_NEGATIVE: return has_argument ? negative_integer : skip;
            case CBOR_MAJOR_BYTES:
            case CBOR_MAJOR_TEXT: return has_argument ? definite_string : indefinite_length ? indefinite : skip;
            case CBOR_MAJOR_ARRAY:
            case CBOR_MAJOR_MAP: return has_argument ? container_head : indefinite_length ? indefinite : skip;
            case CBOR_MAJOR_TAG: return skip;
            default:
                if (info < CBOR_SIMPLE_FALSE || info == CBOR_INFO_ONE_BYTE) return unimplemented;
                if (byte >= CBOR_FLOAT16 && byte <= CBOR_FLOAT64) return floating;
                return skip;  // false, true, null, undefined, reserved, break
        }
    }
};

constexpr HandlerTable cbor_item_handlers;

}  // namespace

double cbor_decode_half(std::uint16_t pattern) { return cbor_half_to_double(pattern); }

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
        const bool text = view.major_type == CBOR_MAJOR_TEXT;
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
    if (item->major_type == CBOR_MAJOR_BYTES || item->major_type == CBOR_MAJOR_TEXT) heap_free(const_cast<std::uint8_t*>(cbor_item_content(item)));
    heap_free(item);
}

double cbor_item_double(const CborItem* item) {
    double number;
    std::memcpy(&number, &item->value, sizeof number);
    return number;
}

}  // namespace quorvane
