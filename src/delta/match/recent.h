// The recent alignments of a block matcher: the offsets (old position - new position) of the
// copies it chose last, most recent first. Data moves in blocks, and a block that moved is
// often followed by more of the same stretch or by a return to an earlier offset, so every
// new position is also tried at these few offsets, without a look-up.
#pragma once

#include <cstdint>

namespace quorvane {
namespace match {

// Offsets remembered. More costs a comparison at every scanned position for little: the
// fifth most recent offset of a copy was rarely the one that matched next.
constexpr int RECENT_ALIGNMENTS = 4;

class RecentAlignments {
public:
    // `shown`: slots offered before anything is remembered (slots never written hold offset
    // 0, the values aligned as they start). `show_at_every_remember`: whether every remember()
    // shows one more slot (until all are shown), or only one that adds a new offset. The block
    // diff starts with offset 0 shown and grows on new offsets; compress's matcher starts with
    // none and grows at every remember, so that offset 0 is offered again after an offset is
    // remembered twice (both kept as their deltas were made).
    RecentAlignments(int shown, bool show_at_every_remember)
        : count_(shown), show_at_every_remember_(show_at_every_remember) {}

    int size() const { return count_; }
    std::int64_t operator[](int k) const { return items_[k]; }

    bool contains(std::int64_t alignment) const {
        for (int k = 0; k < count_; ++k) {
            if (items_[k] == alignment) return true;
        }
        return false;
    }

    // Moves `alignment` to the front; an offset not shown yet takes a new slot while there is
    // one, else the oldest one's.
    void remember(std::int64_t alignment) {
        if (show_at_every_remember_ && count_ < RECENT_ALIGNMENTS) ++count_;
        int at = -1;
        for (int k = 0; k < count_; ++k) {
            if (items_[k] == alignment) {
                at = k;
                break;
            }
        }
        if (at < 0) {
            if (!show_at_every_remember_ && count_ < RECENT_ALIGNMENTS) ++count_;
            at = count_ - 1;
        }
        for (int k = at; k > 0; --k) items_[k] = items_[k - 1];
        items_[0] = alignment;
    }

private:
    std::int64_t items_[RECENT_ALIGNMENTS] = {};
    int count_;
    bool show_at_every_remember_;
};

}  // namespace match
}  // namespace quorvane
