// Fuzz target: the flat CBOR reader over arbitrary bytes.
//
// Reads the input twice, with cbor_read_view (no allocation) and with cbor_next_item (heap
// items), and checks that
//   - every decoded head moves the position forward and keeps it inside the range,
//   - cbor_remaining always equals the bytes after the position,
//   - both readers decode the same items and stop at the same place,
//   - string content lies inside the range, directly before the new position, and an
//     item's copy holds exactly those bytes (text copies end in a zero byte),
//   - with allocations failing part way, the items returned are a prefix of the full
//     sequence and nothing leaks (LeakSanitizer checks the latter).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cbor/reader.h"
#include "common/memory.h"
#include "fuzz_check.h"

using namespace quorvane;

namespace {

void check(bool condition, const char* what) {
    if (!condition) fuzz_fail("fuzz_cbor_reader", what);
}

// One head decoded by cbor_read_view and the offset just after it.
struct Decoded {
    CborView view;
    std::uint64_t offset_after;
};

std::vector<Decoded> read_views(const std::uint8_t* data, std::size_t size, CborReadStatus* last) {
    std::vector<Decoded> out;
    CborCursor cursor{data, size, data};
    const std::uint8_t* const end = data + size;
    for (;;) {
        check(cbor_remaining(&cursor) == end - cursor.position, "cbor_remaining disagrees with the position");
        const std::uint8_t* before = cursor.position;
        CborView view;
        const CborReadStatus status = cbor_read_view(&cursor, &view);
        check(cursor.position >= before && cursor.position <= end, "position left the range");
        if (status == CBOR_READ_END) {
            check(before == end && cursor.position == end, "END before the end of the range");
            *last = status;
            return out;
        }
        check(cursor.position > before, "a decoded head did not consume its initial byte");
        check(view.initial_byte == *before, "initial byte is not the byte at the position");
        check(view.major_type == static_cast<std::uint32_t>(*before >> 5), "major type is not initial byte >> 5");
        if (status == CBOR_READ_TRUNCATED) {
            *last = status;
            return out;
        }
        check(status == CBOR_READ_OK, "unknown read status");
        const unsigned info = view.initial_byte & 0x1F;
        if ((view.major_type == 2 || view.major_type == 3) && info <= 27) {
            check(view.content != nullptr, "definite string without content");
            check(view.length >= 0, "definite string of negative length");
            const auto length = static_cast<std::uint64_t>(view.length);
            check(view.content >= before + 1 && view.content <= end, "string content outside the range");
            check(view.content + length == cursor.position, "string content does not end at the position");
        } else {
            check(view.content == nullptr, "content for an item that is not a definite string");
        }
        if (info == 31 && view.major_type >= 2 && view.major_type <= 5) {
            check(view.length == -1, "indefinite head without length -1");
            check(cursor.position == before + 1, "indefinite head consumed more than one byte");
        }
        if (view.major_type == 6) check(cursor.position == before + 1, "tag consumed more than one byte");
        out.push_back({view, static_cast<std::uint64_t>(cursor.position - data)});
    }
}

// Reads with cbor_next_item; returns the number of items read and compares each one with
// the views. Stops early (without complaint) when allocation fails.
std::size_t read_items(const std::uint8_t* data, std::size_t size, const std::vector<Decoded>& views, bool may_fail) {
    CborCursor* cursor = cbor_cursor_new(data, size);
    if (cursor == nullptr) {
        check(may_fail, "cbor_cursor_new failed without allocation failures");
        return 0;
    }
    std::size_t count = 0;
    for (;;) {
        const std::uint8_t* before = cursor->position;
        CborItem* item = cbor_next_item(cursor);
        check(cursor->position >= before && cursor->position <= data + size, "position left the range");
        if (item == nullptr) break;
        check(count < views.size(), "cbor_next_item read more items than cbor_read_view");
        const CborView& view = views[count].view;
        check(static_cast<std::uint64_t>(cursor->position - data) == views[count].offset_after,
              "items and views end at different places");
        check(item->initial_byte == view.initial_byte && item->major_type == view.major_type &&
                  item->length == view.length,
              "item head differs from the view");
        if (view.content != nullptr) {
            const std::uint8_t* copy = cbor_item_content(item);
            check(copy != nullptr && copy != view.content, "string item without its own copy");
            const auto length = static_cast<std::size_t>(view.length);
            check(std::memcmp(copy, view.content, length) == 0, "string copy differs from the content");
            if (view.major_type == 3) check(copy[length] == 0, "text copy without a zero byte after it");
        } else {
            check(item->value == view.value, "item value differs from the view");
        }
        cbor_item_free(item);
        ++count;
    }
    cbor_cursor_free(cursor);
    if (!may_fail) check(count == views.size(), "cbor_next_item stopped before cbor_read_view");
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reader sees exactly the input, in a block of its own size, so that a read past
    // the end is caught by AddressSanitizer even for an empty input.
    std::vector<std::uint8_t> copy(data, data + size);
    const std::uint8_t* bytes = size == 0 ? nullptr : copy.data();

    CborReadStatus last = CBOR_READ_OK;
    const std::vector<Decoded> views = read_views(bytes, size, &last);
    read_items(bytes, size, views, false);

    // Allocation failure after a number of successes taken from the input.
    if (size > 0) {
        const long long successes = static_cast<long long>(data[0] % 16);
        heap_fail_after(successes);
        read_items(bytes, size, views, true);
        heap_fail_after(-1);
    }
    return 0;
}
