#include "cbor/sequence.h"

#include <new>
#include <vector>

#include "cbor/format.h"

namespace quorvane {

namespace {

constexpr std::uint64_t OPEN_ENDED = UINT64_MAX;  // an indefinite-length container: until a break

// An open container: members (map pairs count twice) still to come, or OPEN_ENDED;
// `chunks` for an indefinite-length string (its chunks' major type + 1), else 0.
struct Open {
    std::uint64_t left;
    unsigned chunks;
};

}  // namespace

CborExtent cbor_item_extent(const std::uint8_t* data, std::size_t size, std::size_t* end) {
    std::vector<Open> open;
    std::size_t at = 0;
    const auto malformed = [&](std::size_t where) {
        *end = where;
        return CBOR_EXTENT_MALFORMED;
    };
    try {
        for (;;) {
            if (at >= size) return CBOR_EXTENT_TRUNCATED;
            CborHead head;
            const CborHeadStatus status = cbor_decode_head(data + at, size - at, head);
            if (status == CBOR_HEAD_RESERVED) return malformed(at);
            if (status == CBOR_HEAD_CUT_SHORT) return CBOR_EXTENT_TRUNCATED;
            const bool indefinite = head.info == CBOR_INFO_INDEFINITE;
            const unsigned chunks = open.empty() ? 0 : open.back().chunks;
            if (chunks != 0 && !(head.major + 1 == chunks && !indefinite) && !(head.major == 7 && indefinite)) {
                return malformed(at);  // inside an indefinite-length string: chunks of its kind only
            }
            bool finished = false;  // an item is complete
            switch (head.major) {
                case 0: case 1:
                    if (indefinite) return malformed(at);
                    finished = true;
                    break;
                case 2: case 3:
                    if (indefinite) {
                        open.push_back({OPEN_ENDED, head.major + 1});
                    } else {
                        if (head.argument > size - at - head.size) return CBOR_EXTENT_TRUNCATED;
                        at += head.argument;
                        finished = true;
                    }
                    break;
                case 4: case 5:
                    if (indefinite) {
                        open.push_back({OPEN_ENDED, 0});
                    } else if (head.argument == 0) {
                        finished = true;
                    } else {
                        // More members than bytes left cannot all follow: cut short.
                        if (head.argument > size - at) return CBOR_EXTENT_TRUNCATED;
                        open.push_back({head.major == 5 ? head.argument * 2 : head.argument, 0});
                    }
                    break;
                case 6:
                    if (indefinite) return malformed(at);
                    open.push_back({1, 0});
                    break;
                default:  // 7
                    if (indefinite) {  // the break
                        if (open.empty() || open.back().left != OPEN_ENDED) return malformed(at);
                        open.pop_back();
                        finished = true;
                        break;
                    }
                    if (head.info == CBOR_INFO_ONE_BYTE && head.argument < 32) return malformed(at);
                    finished = true;
                    break;
            }
            at += head.size;
            // Complete the containers the finished item fills.
            while (finished) {
                if (open.empty()) {
                    *end = at;
                    return CBOR_EXTENT_COMPLETE;
                }
                Open& top = open.back();
                if (top.left == OPEN_ENDED) break;
                if (--top.left != 0) break;
                open.pop_back();
            }
        }
    } catch (const std::bad_alloc&) {
        *end = size;
        return CBOR_EXTENT_MALFORMED;
    }
}

}  // namespace quorvane
