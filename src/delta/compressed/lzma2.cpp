#include "delta/compressed/lzma2.h"

#include <cstring>

#include "delta/compressed/sections.h"

namespace quorvane {
namespace compressed {
namespace {

// The probabilities, one array: LZMA's models in the usual order, the literal coders last
// (0x300 per literal state, at most 2^(lc + lp) = 16 states in LZMA2).
constexpr unsigned STATES = 12, POS_STATES_MAX = 16;
constexpr unsigned IS_MATCH = 0;
constexpr unsigned IS_REP = IS_MATCH + STATES * POS_STATES_MAX;
constexpr unsigned IS_REP_G0 = IS_REP + STATES;
constexpr unsigned IS_REP_G1 = IS_REP_G0 + STATES;
constexpr unsigned IS_REP_G2 = IS_REP_G1 + STATES;
constexpr unsigned IS_REP0_LONG = IS_REP_G2 + STATES;
constexpr unsigned POS_SLOT = IS_REP0_LONG + STATES * POS_STATES_MAX;  // 4 trees of 6 bits
constexpr unsigned SPEC_POS = POS_SLOT + 4 * 64;                       // distances 4 .. 127
constexpr unsigned ALIGN = SPEC_POS + 115;
constexpr unsigned LENGTH_CODER = 2 + 2 * POS_STATES_MAX * 8 + 256;  // choice, choice 2, low, mid, high
constexpr unsigned MATCH_LENGTH = ALIGN + 16;
constexpr unsigned REP_LENGTH = MATCH_LENGTH + LENGTH_CODER;
constexpr unsigned LITERAL = REP_LENGTH + LENGTH_CODER;
constexpr unsigned PROBABILITIES = LITERAL + 0x300 * 16;

constexpr unsigned END_POS_MODEL = 14;
constexpr unsigned MATCH_MIN = 2;

[[noreturn]] void damaged(std::uint64_t where) { throw SectionFault{where, "lzma stream damaged"}; }

}  // namespace

Lzma2InPlace::Lzma2InPlace(const std::uint8_t* in, std::uint64_t in_length, std::uint8_t* out,
                           std::uint64_t out_length, const std::uint8_t* prefix, std::uint64_t prefix_length,
                           std::uint32_t dictionary_size)
    : in_(in), in_length_(in_length), out_(out), out_length_(out_length), prefix_end_(prefix + prefix_length),
      preset_(prefix_length < dictionary_size ? prefix_length : dictionary_size), dictionary_(dictionary_size),
      need_reset_(prefix_length == 0), probabilities_(heap_array<std::uint16_t>(PROBABILITIES)) {
    if (!probabilities_) throw OutOfMemory{"the LZMA2 decoder's probabilities", PROBABILITIES * sizeof(std::uint16_t)};
}

void Lzma2InPlace::reset_state() {
    for (unsigned k = 0; k < PROBABILITIES; ++k) probabilities_[k] = 1024;
    state_ = 0;
    for (std::uint32_t& rep : reps_) rep = 0;
}

std::uint8_t Lzma2InPlace::next_byte() {
    if (at_ >= chunk_end_) damaged(at_);
    return in_[at_++];
}

void Lzma2InPlace::normalize() {
    if (range_ < (std::uint32_t{1} << 24)) {
        range_ <<= 8;
        code_ = (code_ << 8) | next_byte();
    }
}

unsigned Lzma2InPlace::bit(std::uint16_t* probability) {
    const std::uint32_t p = *probability;
    const std::uint32_t bound = (range_ >> 11) * p;
    unsigned result;
    if (code_ < bound) {
        range_ = bound;
        *probability = static_cast<std::uint16_t>(p + ((2048 - p) >> 5));
        result = 0;
    } else {
        range_ -= bound;
        code_ -= bound;
        *probability = static_cast<std::uint16_t>(p - (p >> 5));
        result = 1;
    }
    normalize();
    return result;
}

unsigned Lzma2InPlace::tree(std::uint16_t* probabilities, int bits) {
    unsigned m = 1;
    for (int k = 0; k < bits; ++k) m = (m << 1) | bit(probabilities + m);
    return m - (1u << bits);
}

unsigned Lzma2InPlace::reverse_tree(std::uint16_t* probabilities, int bits) {
    unsigned m = 1, symbol = 0;
    for (int k = 0; k < bits; ++k) {
        const unsigned b = bit(probabilities + m);
        m = (m << 1) | b;
        symbol |= b << k;
    }
    return symbol;
}

std::uint32_t Lzma2InPlace::direct(int bits) {
    std::uint32_t result = 0;
    for (int k = 0; k < bits; ++k) {
        range_ >>= 1;
        code_ -= range_;
        const std::uint32_t t = 0u - (code_ >> 31);
        code_ += range_ & t;
        normalize();
        result = (result << 1) + (t + 1);
    }
    return result;
}

unsigned Lzma2InPlace::length(std::uint16_t* coder, unsigned pos_state) {
    if (bit(coder) == 0) return tree(coder + 2 + pos_state * 8, 3);
    if (bit(coder + 1) == 0) return 8 + tree(coder + 2 + POS_STATES_MAX * 8 + pos_state * 8, 3);
    return 16 + tree(coder + 2 + 2 * POS_STATES_MAX * 8, 8);
}

std::uint8_t Lzma2InPlace::history(std::uint64_t distance) const {
    if (distance < produced_) return out_[produced_ - 1 - distance];
    return prefix_end_[-1 - static_cast<std::ptrdiff_t>(distance - produced_)];
}

void Lzma2InPlace::lzma_chunk(std::uint64_t unpacked, std::uint64_t packed) {
    chunk_end_ = at_ + packed;
    if (next_byte() != 0) damaged(at_ - 1);
    code_ = 0;
    for (int k = 0; k < 4; ++k) code_ = (code_ << 8) | next_byte();
    range_ = 0xFFFFFFFFu;
    std::uint16_t* p = probabilities_.get();
    const std::uint64_t end = produced_ + unpacked;
    const unsigned pos_mask = (1u << pb_) - 1, literal_mask = (1u << lp_) - 1;
    while (produced_ < end) {
        const std::uint64_t since = preset_ + (produced_ - reset_at_);  // the dictionary's position
        const std::uint64_t full = since < dictionary_ ? since : dictionary_;
        const unsigned pos_state = static_cast<unsigned>(since) & pos_mask;
        if (bit(p + IS_MATCH + (state_ << 4) + pos_state) == 0) {
            const unsigned previous = full != 0 ? history(0) : 0;
            std::uint16_t* literal = p + LITERAL + 0x300 * (((static_cast<unsigned>(since) & literal_mask) << lc_) + (previous >> (8 - lc_)));
            unsigned symbol = 1;
            if (state_ >= 7) {
                if (reps_[0] >= full) damaged(at_);
                unsigned match = history(reps_[0]);
                do {
                    const unsigned match_bit = (match >> 7) & 1;
                    match <<= 1;
                    const unsigned b = bit(literal + ((1 + match_bit) << 8) + symbol);
                    symbol = (symbol << 1) | b;
                    if (match_bit != b) break;
                } while (symbol < 0x100);
            }
            while (symbol < 0x100) symbol = (symbol << 1) | bit(literal + symbol);
            out_[produced_++] = static_cast<std::uint8_t>(symbol);
            state_ = state_ < 4 ? 0 : (state_ < 10 ? state_ - 3 : state_ - 6);
            continue;
        }
        unsigned len;
        if (bit(p + IS_REP + state_) == 0) {
            reps_[3] = reps_[2];
            reps_[2] = reps_[1];
            reps_[1] = reps_[0];
            len = length(p + MATCH_LENGTH, pos_state);
            state_ = state_ < 7 ? 7 : 10;
            const unsigned slot = tree(p + POS_SLOT + 64 * (len < 3 ? len : 3), 6);
            std::uint32_t distance = slot;
            if (slot >= 4) {
                const int direct_bits = static_cast<int>(slot >> 1) - 1;
                distance = (2 | (slot & 1)) << direct_bits;
                if (slot < END_POS_MODEL) {
                    distance += reverse_tree(p + SPEC_POS + distance - slot, direct_bits);
                } else {
                    distance += direct(direct_bits - 4) << 4;
                    distance += reverse_tree(p + ALIGN, 4);
                }
            }
            reps_[0] = distance;  // 0xFFFFFFFF, the end marker, is not allowed in LZMA2: beyond any dictionary
        } else {
            if (bit(p + IS_REP_G0 + state_) == 0) {
                if (bit(p + IS_REP0_LONG + (state_ << 4) + pos_state) == 0) {
                    if (reps_[0] >= full) damaged(at_);
                    out_[produced_] = history(reps_[0]);
                    ++produced_;
                    state_ = state_ < 7 ? 9 : 11;
                    continue;
                }
            } else {
                std::uint32_t distance;
                if (bit(p + IS_REP_G1 + state_) == 0) {
                    distance = reps_[1];
                } else {
                    if (bit(p + IS_REP_G2 + state_) == 0) {
                        distance = reps_[2];
                    } else {
                        distance = reps_[3];
                        reps_[3] = reps_[2];
                    }
                    reps_[2] = reps_[1];
                }
                reps_[1] = reps_[0];
                reps_[0] = distance;
            }
            len = length(p + REP_LENGTH, pos_state);
            state_ = state_ < 7 ? 8 : 11;
        }
        const std::uint64_t count = len + MATCH_MIN;
        if (reps_[0] >= full || count > end - produced_) damaged(at_);
        const std::uint64_t distance = reps_[0];
        if (distance < produced_) {
            const std::uint8_t* from = out_ + produced_ - 1 - distance;
            std::uint8_t* to = out_ + produced_;
            for (std::uint64_t k = 0; k < count; ++k) to[k] = from[k];  // may overlap: byte by byte
            produced_ += count;
        } else {
            for (std::uint64_t k = 0; k < count; ++k, ++produced_) out_[produced_] = history(distance);
        }
    }
    if (code_ != 0 || at_ != chunk_end_) damaged(at_);
}

bool Lzma2InPlace::chunk() {
    const std::uint64_t start = at_;
    auto need = [&](std::uint64_t bytes) {
        if (in_length_ - at_ < bytes) throw SectionFault{in_length_, "lzma stream cut short"};
    };
    need(1);
    const unsigned control = in_[at_++];
    if (control == 0) {
        ended_ = true;
        return false;
    }
    if (control >= 0xE0 || control == 1) {
        need_properties_ = true;
        need_reset_ = false;
        reset_at_ = produced_;
        preset_ = 0;
    } else if (need_reset_) {
        damaged(start);
    }
    if (control >= 0x80) {
        need(4);
        const std::uint64_t unpacked = (std::uint64_t{control & 0x1Fu} << 16) + (std::uint64_t{in_[at_]} << 8) + in_[at_ + 1] + 1;
        const std::uint64_t packed = (std::uint64_t{in_[at_ + 2]} << 8) + in_[at_ + 3] + 1;
        at_ += 4;
        if (control >= 0xC0) {
            need(1);
            unsigned properties = in_[at_++];
            if (properties > (4 * 5 + 4) * 9 + 8) damaged(at_ - 1);
            pb_ = properties / 45;
            properties %= 45;
            lp_ = properties / 9;
            lc_ = properties % 9;
            if (lc_ + lp_ > 4) damaged(at_ - 1);
            need_properties_ = false;
            reset_state();
        } else if (need_properties_) {
            damaged(start);
        } else if (control >= 0xA0) {
            reset_state();
        }
        if (unpacked > out_length_ - produced_) throw SectionFault{start, "lzma stream longer than its section says"};
        need(packed);
        lzma_chunk(unpacked, packed);
        return true;
    }
    if (control > 2) damaged(start);
    need(2);
    const std::uint64_t size = (std::uint64_t{in_[at_]} << 8) + in_[at_ + 1] + 1;
    at_ += 2;
    if (size > out_length_ - produced_) throw SectionFault{start, "lzma stream longer than its section says"};
    need(size);
    std::memcpy(out_ + produced_, in_ + at_, static_cast<std::size_t>(size));
    at_ += size;
    produced_ += size;
    return true;
}

void Lzma2InPlace::fill(std::uint64_t count) {
    while (produced_ < count) {
        if (ended_ || !chunk()) throw SectionFault{at_, "lzma stream shorter than its section says"};
    }
}

void Lzma2InPlace::finish() {
    fill(out_length_);
    if (!ended_ && chunk()) throw SectionFault{at_, "lzma stream longer than its section says"};
    if (at_ != in_length_) throw SectionFault{at_, "bytes after the lzma stream in its section"};
}

}  // namespace compressed
}  // namespace quorvane
