// A plain reference of patch for the fuzz targets, written from the delta format alone:
// entries are read head by head; an unsigned integer (major type 0) starts a match whose
// length is the next item, which must be an unsigned integer too; a definite byte or text
// string is an insert; every other item is skipped. The delta is rejected when it ends
// inside an entry (a cut-short head, float or string, or an offset with nothing after it),
// when a match reaches past the old value, or on an indefinite-length string head. The
// single byte F6 as the whole delta stands for an unchanged value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace fuzz_reference {

struct Head {
    unsigned major;
    unsigned info;
    std::uint64_t argument;
    std::size_t end;  // offset just after the head (and a float's bytes)
};

// Decodes the head at `at`; nothing when it is cut short.
inline std::optional<Head> read_head(const std::uint8_t* data, std::size_t size, std::size_t at) {
    const std::uint8_t ib = data[at];
    Head head{static_cast<unsigned>(ib >> 5), static_cast<unsigned>(ib & 31), 0, at + 1};
    std::size_t argument_size = 0;
    if (head.major == 7) {
        if (ib == 0xF9) argument_size = 2;
        if (ib == 0xFA) argument_size = 4;
        if (ib == 0xFB) argument_size = 8;
    } else if (head.major != 6) {
        if (head.info < 24) head.argument = head.info;
        if (head.info >= 24 && head.info <= 27) argument_size = std::size_t{1} << (head.info - 24);
    }
    if (size - head.end < argument_size) return std::nullopt;
    if (head.major != 7) {
        for (std::size_t i = 0; i < argument_size; ++i) head.argument = (head.argument << 8) | data[head.end + i];
    }
    head.end += argument_size;
    return head;
}

inline std::optional<std::vector<std::uint8_t>> patch(const std::uint8_t* old, std::size_t old_size,
                                                      const std::uint8_t* delta, std::size_t size) {
    std::vector<std::uint8_t> out;
    if (size == 1 && delta[0] == 0xF6) return std::vector<std::uint8_t>(old, old + old_size);
    std::size_t pos = 0;
    while (pos < size) {
        const auto head = read_head(delta, size, pos);
        if (!head) return std::nullopt;
        pos = head->end;
        if (head->major == 0) {
            if (pos >= size) return std::nullopt;
            const auto second = read_head(delta, size, pos);
            if (!second || second->major != 0) return std::nullopt;
            pos = second->end;
            const std::uint64_t offset = head->argument, length = second->argument;
            if (offset > old_size || length > old_size - offset) return std::nullopt;
            out.insert(out.end(), old + offset, old + offset + length);
        } else if ((head->major == 2 || head->major == 3) && head->info == 31) {
            return std::nullopt;
        } else if ((head->major == 2 || head->major == 3) && head->info <= 27) {
            if (head->argument > size - pos) return std::nullopt;
            out.insert(out.end(), delta + pos, delta + pos + head->argument);
            pos += static_cast<std::size_t>(head->argument);
        }
    }
    return out;
}

}  // namespace fuzz_reference
