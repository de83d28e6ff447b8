// delta_compress: the block and prefix modes of a compressed delta, both made in full and the
// smaller frame kept, in a checked frame.
#include <algorithm>
#include <atomic>
#include <future>
#include <new>
#include <system_error>
#include <vector>

#include "common/leave.h"
#include "delta/compressed/compress.h"
#include "delta/compressed/entropy.h"
#include "delta/compressed/format.h"
#include "delta/compressed/levels.h"
#include "delta/compressed/matcher.h"

namespace quorvane {

using namespace compressed;

namespace {

// A frame body: its mode and sections, the stored bytes of each.
struct Body {
    Mode mode = MODE_BLOCK;
    int count = 0;
    Section sections[MAX_SECTIONS] = {};
    HeapBytes payload[MAX_SECTIONS];

    // The frame's size but for the parts that are the same for every body.
    std::uint64_t size() const {
        std::uint64_t total = 0;
        for (int k = 0; k < count; ++k) {
            total += 1 + varint_size(sections[k].stored) + varint_size(sections[k].decoded) + sections[k].stored;
        }
        return total;
    }
};

// Section k of `body`: `raw` compressed by zstd (and LZMA2 where the level says), or stored,
// whichever is smallest.
void code_section(Body* body, int k, HeapBytes* raw, const LevelSettings& settings, ZstdContext* zstd,
                  Ticker* ticker) {
    HeapBytes& stored = body->payload[k];
    Coding coding = CODING_STORED;
    if (!raw->empty() && zstd_compress(raw->data(), raw->size(), ZstdSettings{settings.block_zstd}, nullptr, 0, zstd,
                                       ticker, &stored) && stored.size() < raw->size()) {
        coding = CODING_ZSTD;
    }
    if (!raw->empty() && settings.lzma_preset >= 0 && raw->size() <= LZMA_STREAM_MAX_BYTES) {
        HeapBytes other;
        const std::uint64_t best = coding == CODING_STORED ? raw->size() : stored.size();
        if (lzma_compress(raw->data(), raw->size(), settings.lzma_preset, settings.lzma_extreme, nullptr, 0, ticker,
                          &other) && other.size() < best) {
            stored.swap(other);
            coding = CODING_LZMA;
        }
    }
    if (coding == CODING_STORED) stored.swap(*raw);
    body->sections[k] = {static_cast<std::uint8_t>(coding), stored.size(), coding == CODING_STORED ? stored.size() : raw->size()};
}

// Block mode with every byte literal: the fallback when the streams would be too large.
void all_literal(const ByteVector* new_value, BlockStreams* streams) {
    for (auto& s : streams->stream) s.clear();
    if (new_value->length == 0) return;
    put_varint(&streams->stream[STREAM_COMMANDS], new_value->length);
    put_varint(&streams->stream[STREAM_COMMANDS], 0);
    streams->stream[STREAM_LITERALS].assign(new_value->data, new_value->data + new_value->length);
}

void find_streams(const ByteVector* old_value, const ByteVector* new_value, const LevelSettings& settings,
                  const match::HashIndex& index, Ticker* ticker, BlockStreams* streams) {
    find_blocks(old_value->data, old_value->length, new_value->data, new_value->length, settings.matcher, index,
                ticker, streams);
    if (streams->total() > block_streams_limit(new_value->length)) all_literal(new_value, streams);
}

// A helper thread's result (or what it threw), the calling thread asking its own check every
// few milliseconds meanwhile.
template <typename Result>
Result wait_for_helper(std::future<Result>& helper, Ticker* ticker) {
    while (helper.wait_for(WorkTicker::INTERVAL) != std::future_status::ready) ticker->poll();
    return helper.get();
}

// Starts work(ZstdContext*, Ticker*) on a helper thread, with a zstd context of its own and a
// ticker asking `check` (the calling thread's flag for it); no future (not valid) when no
// thread is to be had.
template <typename Work>
std::future<void> start_helper(const StopCheck& check, Work work) {
    try {
        return std::async(std::launch::async, [&check, work] {
            Ticker ticker(&check);
            ZstdContext context;
            work(&context, &ticker);
        });
    } catch (const std::system_error&) {
        return {};
    }
}

// Streams of at least this many bytes together are coded by several threads when the call has
// them: below it a thread costs more than it saves.
constexpr std::uint64_t PARALLEL_STREAMS_FROM_BYTES = std::uint64_t{256} << 10;

// Block mode's frame, a section per stream. With `threads` of 2 or more, the sections are coded
// at once by this thread and helpers, the largest streams first; a section's bytes depend on
// its stream alone, so the frame is the same. The helpers stop when this thread's work fails
// or its check says stop (it asks while it waits for them), and have ended before this returns.
void block_body(BlockStreams& streams, const LevelSettings& settings, int threads, ZstdContext* zstd, Ticker* ticker,
                Body* body) {
    body->mode = MODE_BLOCK;
    body->count = BLOCK_STREAMS;
    if (threads < 2 || streams.total() < PARALLEL_STREAMS_FROM_BYTES) {
        for (int k = 0; k < BLOCK_STREAMS; ++k) code_section(body, k, &streams.stream[k], settings, zstd, ticker);
        return;
    }
    int order[BLOCK_STREAMS];
    for (int k = 0; k < BLOCK_STREAMS; ++k) order[k] = k;
    std::stable_sort(order, order + BLOCK_STREAMS,
                     [&](int a, int b) { return streams.stream[a].size() > streams.stream[b].size(); });
    std::atomic<int> next{0};
    const auto work = [&](ZstdContext* context, Ticker* coder) {
        for (int j = next.fetch_add(1); j < BLOCK_STREAMS; j = next.fetch_add(1)) {
            code_section(body, order[j], &streams.stream[order[j]], settings, context, coder);
        }
    };
    SharedStop shared;
    const StopCheck check = shared.check();
    std::future<void> helpers[BLOCK_STREAMS - 1];
    const StopWhenLeaving stop_when_leaving{&shared};
    const int count = std::min(threads - 1, BLOCK_STREAMS - 1);
    for (int h = 0; h < count; ++h) {
        helpers[h] = start_helper(check, work);
        if (!helpers[h].valid()) break;  // no more threads to be had: the others do it
    }
    work(zstd, ticker);
    for (auto& helper : helpers) {
        if (helper.valid()) wait_for_helper(helper, ticker);
    }
}

// Which coders a prefix frame tries: zstd, and LZMA2 where the row has it and the values fit;
// but not one whose settings equal those it was last tried with in this call (`zstd_tried`,
// `lzma_tried`: the rows then, or null), whose frame would be the same one, weighed then.
struct PrefixCoders {
    bool zstd;
    bool lzma;
    static PrefixCoders of(const LevelSettings& row, std::uint64_t both, const LevelSettings* zstd_tried,
                           const LevelSettings* lzma_tried) {
        const bool same_zstd = zstd_tried != nullptr && zstd_tried->prefix_zstd == row.prefix_zstd &&
                               zstd_tried->prefix_search == row.prefix_search;
        const bool same_lzma = lzma_tried != nullptr && lzma_tried->lzma_preset == row.lzma_preset &&
                               lzma_tried->lzma_extreme == row.lzma_extreme;
        return {!same_zstd, row.lzma_preset >= 0 && both <= LZMA_PREFIX_MAX_BYTES && !same_lzma};
    }
    bool any() const { return zstd || lzma; }
};

// Prefix mode with the coders asked for, as two jobs that either of two threads may claim (the
// zstd frame first, then LZMA2's: run() does those still unclaimed, in that order), and the
// frame of the two: zstd's unless LZMA2's is smaller.
class PrefixJobs {
public:
    PrefixJobs(const ByteVector* old_value, const ByteVector* new_value, const LevelSettings& settings,
               PrefixCoders coders)
        : old_(old_value), new_(new_value), settings_(settings), coders_(coders) {}

    void run(ZstdContext* context, Ticker* ticker) {
        for (int job = next_.fetch_add(1); job < 2; job = next_.fetch_add(1)) {
            if (job == 0 && coders_.zstd) {
                const ZstdSettings zstd = zstd_prefix_settings(settings_.prefix_zstd, settings_.prefix_search,
                                                               old_->length, new_->length);
                zstd_made_ = zstd_compress(new_->data, new_->length, zstd, old_->data, old_->length, context, ticker,
                                           &zstd_);
            } else if (job == 1 && coders_.lzma && new_->length != 0) {
                lzma_made_ = lzma_compress(new_->data, new_->length, settings_.lzma_preset, settings_.lzma_extreme,
                                           old_->data, old_->length, ticker, &lzma_);
            }
        }
    }

    // Once both jobs have ended: false when none made a frame, or zstd was asked and failed.
    bool frame(Body* body) {
        body->mode = MODE_PREFIX;
        body->count = 1;
        if (coders_.zstd && !zstd_made_) return false;
        const bool lzma = lzma_made_ && (!zstd_made_ || lzma_.size() < zstd_.size());
        if (!lzma && !zstd_made_) return false;
        body->payload[0].swap(lzma ? lzma_ : zstd_);
        body->sections[0] = {lzma ? CODING_LZMA : CODING_ZSTD, body->payload[0].size(), new_->length};
        return true;
    }

private:
    const ByteVector* old_;
    const ByteVector* new_;
    const LevelSettings& settings_;
    PrefixCoders coders_;
    std::atomic<int> next_{0};
    HeapBytes zstd_, lzma_;
    bool zstd_made_ = false, lzma_made_ = false;
};

ByteVector* write_frame(const Body& body, const ByteVector* old_value, const ByteVector* new_value,
                        std::uint64_t old_sum, std::uint64_t new_sum, Ticker* ticker) {
    HeapBytes head(MAGIC, MAGIC + 4);
    head.push_back(FORMAT_VERSION);
    head.push_back(body.mode);
    head.push_back(static_cast<std::uint8_t>(body.count));
    put_varint(&head, old_value->length);
    put_varint(&head, new_value->length);
    put_u64(&head, old_sum);
    put_u64(&head, new_sum);
    std::uint64_t total = 0;
    for (int k = 0; k < body.count; ++k) {
        head.push_back(body.sections[k].coding);
        put_varint(&head, body.sections[k].stored);
        put_varint(&head, body.sections[k].decoded);
        total += body.sections[k].stored;
    }
    total += head.size() + FRAME_CHECKSUM;
    ByteVector* out = byte_vector_new();
    if (out == nullptr || !byte_vector_reserve(out, total)) {
        byte_vector_free(out);
        throw std::bad_alloc();
    }
    std::uint8_t* p = out->data;
    std::memcpy(p, head.data(), head.size());
    std::uint64_t where = head.size();
    for (int k = 0; k < body.count; ++k) {
        if (!body.payload[k].empty()) std::memcpy(p + where, body.payload[k].data(), body.payload[k].size());
        where += body.payload[k].size();
    }
    put_u64(p + where, checksum(p, where, ticker));
    out->length = total;
    return out;
}

// The frames of one call: each row's block and prefix frames are made as asked and the
// smallest is kept (the earliest of equal ones, block before prefix), with the block streams
// of the last matcher settings kept for the next row. With two threads or more, a row's
// prefix frame is made on a helper thread while the calling thread makes its block frame;
// the frames are kept in the same order, so the result is the same.
class Candidates {
public:
    Candidates(const ByteVector* old_value, const ByteVector* new_value, Ticker* ticker, int threads)
        : old_(old_value), new_(new_value), ticker_(ticker), threads_(threads) {}

    void row(const LevelSettings& row, bool block, bool prefix) {
        if (block && same_block_frame(row)) block = false;
        const std::uint64_t both = old_->length + new_->length;
        const PrefixCoders coders = PrefixCoders::of(row, both, zstd_tried_, lzma_tried_);
        if (both > PREFIX_WINDOW_BYTES || !coders.any()) prefix = false;
        if (prefix && threads_ >= 2 && (block || (coders.zstd && coders.lzma))) {
            both_at_once(row, block, coders);
        } else {
            in_turn(row, block, prefix ? &coders : nullptr);
        }
        if (block) block_tried_ = &row;
        if (prefix && coders.zstd) zstd_tried_ = &row;
        if (prefix && coders.lzma) lzma_tried_ = &row;
    }

    // Whether the mode's smallest frame so far is more than MODE_GATE_RATIO times the other
    // mode's, or for the prefix mode on a large new value, not smaller than the block mode's
    // (LARGE_VALUE_BYTES); false while either mode has made none.
    bool block_far_behind() const { return far_behind(smallest_block_, smallest_prefix_); }
    bool prefix_far_behind() const {
        if (new_->length >= LARGE_VALUE_BYTES && smallest_prefix_ != NONE && smallest_block_ != NONE &&
            smallest_prefix_ >= smallest_block_) {
            return true;
        }
        return far_behind(smallest_prefix_, smallest_block_);
    }

    const Body& best() const { return best_; }

private:
    static constexpr std::uint64_t NONE = ~std::uint64_t{0};

    static bool far_behind(std::uint64_t mode, std::uint64_t other) {
        return mode != NONE && other != NONE && mode / MODE_GATE_RATIO > other;
    }

    // Whether the row's block frame would be the last one made again: the streams it would scan
    // are those kept (see same_scan), and its coders are those they were coded with.
    bool same_block_frame(const LevelSettings& row) const {
        return block_tried_ != nullptr && have_streams_ && same_scan(streams_for_, streams_, row.matcher) &&
               block_tried_->block_zstd == row.block_zstd && block_tried_->lzma_preset == row.lzma_preset &&
               block_tried_->lzma_extreme == row.lzma_extreme;
    }

    // The old value's index for these matcher settings: the one built for an earlier row when
    // it indexes alike (rows that differ in the scan's settings only share it), else a new one,
    // built by `threads` threads.
    void index_for(const MatcherSettings& matcher, int threads) {
        if (have_index_ && same_index(index_for_, matcher, old_->length)) return;
        have_index_ = false;
        build_block_index(old_->data, old_->length, matcher, threads, ticker_, &index_);
        index_for_ = matcher;
        have_index_ = true;
    }

    // The row's block frame, with `threads` threads for the index (the others' work is the
    // prefix frame).
    void make_block(const LevelSettings& row, int threads, Body* body) {
        if (!have_streams_ || !same_scan(streams_for_, streams_, row.matcher)) {
            index_for(row.matcher, threads);
            find_streams(old_, new_, row, index_, ticker_, &streams_);
            streams_for_ = row.matcher;
            have_streams_ = true;
        }
        BlockStreams streams = streams_;
        block_body(streams, row, threads, &zstd_, ticker_, body);
    }

    // The row's prefix frame on a helper thread and its block frame (if asked) on this one (the
    // old value's index by this thread and the threads beyond these two, if any, while the
    // helper starts at once: on large values the index takes about as long as the prefix
    // frame); this thread then takes the prefix frame's LZMA2 job if the helper has not yet.
    // The helper stops when this thread's work fails or its check says stop (this thread asks
    // it every few milliseconds while it waits); either way the helper has ended before this
    // returns (the future's destructor waits for it), and what it threw is rethrown here.
    void both_at_once(const LevelSettings& row, bool block, PrefixCoders coders) {
        SharedStop shared;
        const StopCheck check = shared.check();
        PrefixJobs jobs(old_, new_, row, coders);
        std::future<void> helper =
            start_helper(check, [&jobs](ZstdContext* context, Ticker* ticker) { jobs.run(context, ticker); });
        if (!helper.valid()) {  // no thread to be had: one after the other
            in_turn(row, block, &coders);
            return;
        }
        const StopWhenLeaving stop_when_leaving{&shared};
        Body made_block;
        if (block) make_block(row, threads_ - 1, &made_block);
        jobs.run(&zstd_, ticker_);
        wait_for_helper(helper, ticker_);
        if (block) keep(&made_block, &smallest_block_);
        Body prefix;
        if (jobs.frame(&prefix)) keep(&prefix, &smallest_prefix_);  // not made: the library could not make it
    }

    // The row's block frame when `block`, and its prefix frame with `coders` when not null.
    void in_turn(const LevelSettings& row, bool block, const PrefixCoders* coders) {
        if (block) {
            Body body;
            make_block(row, threads_, &body);
            keep(&body, &smallest_block_);
        }
        if (coders == nullptr) return;
        PrefixJobs jobs(old_, new_, row, *coders);
        jobs.run(&zstd_, ticker_);
        Body body;
        if (jobs.frame(&body)) keep(&body, &smallest_prefix_);  // not made: the library could not make it
    }

    void keep(Body* body, std::uint64_t* smallest_of_mode) {
        if (body->size() < *smallest_of_mode) *smallest_of_mode = body->size();
        if (!have_best_ || body->size() < best_.size()) {
            best_ = std::move(*body);
            have_best_ = true;
        }
    }

    const ByteVector* old_;
    const ByteVector* new_;
    Ticker* ticker_;
    ZstdContext zstd_;  // this thread's (helpers have their own)
    int threads_;
    match::HashIndex index_;
    MatcherSettings index_for_{};
    bool have_index_ = false;
    BlockStreams streams_;
    MatcherSettings streams_for_{};
    bool have_streams_ = false;
    const LevelSettings* block_tried_ = nullptr;  // the rows whose block and prefix coders were last tried
    const LevelSettings* zstd_tried_ = nullptr;
    const LevelSettings* lzma_tried_ = nullptr;
    Body best_;
    bool have_best_ = false;
    std::uint64_t smallest_block_ = NONE;
    std::uint64_t smallest_prefix_ = NONE;
};

// What one call made: the frame, or null and why.
struct Outcome {
    ByteVector* delta = nullptr;
    CompressFailure failure = COMPRESS_FAILURE_NONE;
};

// Runs `make` on the candidates, then writes the smallest frame; no frame when memory runs
// out or the observer stops the call.
template <typename Make>
Outcome make_frame(const ByteVector* old_value, const ByteVector* new_value, const CompressObserver* observer,
                   int threads, const Make& make) {
    try {
        Ticker ticker(observer);
        ticker.check();
        const std::uint64_t old_sum = checksum(old_value->data, old_value->length, &ticker);
        const std::uint64_t new_sum = checksum(new_value->data, new_value->length, &ticker);
        Candidates candidates(old_value, new_value, &ticker, threads);
        make(&candidates);
        return {write_frame(candidates.best(), old_value, new_value, old_sum, new_sum, &ticker), COMPRESS_FAILURE_NONE};
    } catch (const std::bad_alloc&) {
        return {nullptr, COMPRESS_FAILURE_NO_MEMORY};
    } catch (const Cancelled&) {
        return {nullptr, COMPRESS_FAILURE_CANCELLED};
    }
}

// From this many bytes of old and new value together, a call with a lease runs on a worker
// that it can leave (common/leave.h). Below it no step of zstd or liblzma takes long
// (20-30 ms at the top level on pairs of 120-290 KB, where a 3 MB pair's prefix took up to a
// second in one step), and a thread would cost more than the call.
constexpr std::uint64_t LEAVABLE_FROM_BYTES = std::uint64_t{256} << 10;

// make_frame on a worker that the call may leave when it is stopped (see above), else here.
// `make` is copied to the worker, so it must hold nothing of the caller's by reference.
template <typename Make>
ByteVector* compress_frame(const ByteVector* old_value, const ByteVector* new_value, CompressFailure* failure,
                           const CompressObserver* observer, int threads, InputLease* lease, Make make) {
    Outcome outcome;
    if (can_leave(lease, observer) && old_value->length + new_value->length >= LEAVABLE_FROM_BYTES) {
        const auto work = [old_value, new_value, threads, make](const StopCheck& check) {
            return make_frame(old_value, new_value, &check, threads, make);
        };
        const auto drop = [](Outcome& left) {
            byte_vector_free(left.delta);
            left.delta = nullptr;
        };
        if (!run_leavable(work, drop, *observer, lease, &outcome)) outcome = {nullptr, COMPRESS_FAILURE_CANCELLED};
    } else {
        outcome = make_frame(old_value, new_value, observer, threads, make);
    }
    if (failure != nullptr) *failure = outcome.failure;
    return outcome.delta;
}

}  // namespace

namespace compressed {

ByteVector* compress_with(const ByteVector* old_value, const ByteVector* new_value, const LevelSettings& settings,
                          Modes modes, CompressFailure* failure, const CompressObserver* observer) {
    return compress_frame(old_value, new_value, failure, observer, 1, nullptr, [=](Candidates* candidates) {
        candidates->row(settings, modes != PREFIX_MODE_ONLY, modes != BLOCK_MODE_ONLY);
    });
}

}  // namespace compressed

// Level k keeps the smallest of the frames of rows 1 to k (a row adds a block frame unless the
// last one would be made again, from the same streams by the same coders, a prefix frame with
// each of its prefix coders whose settings differ from those it was last tried with, and
// neither when that mode is far behind the other: see MODE_GATE_RATIO).
// Whether a row's frames are made depends only on the rows before it, never on the level
// asked for or the number of threads, so level k makes every frame that level k - 1 made (a
// higher level's delta is never larger than a lower one's), and the bytes are the same
// whatever the number of threads.
ByteVector* delta_compress(const ByteVector* old_value, const ByteVector* new_value, int level,
                           CompressFailure* failure, const CompressObserver* observer, int threads,
                           InputLease* lease) {
    if (level < COMPRESS_MIN_LEVEL || level > COMPRESS_MAX_LEVEL) {
        if (failure != nullptr) *failure = COMPRESS_FAILURE_INVALID_LEVEL;
        return nullptr;
    }
    return compress_frame(old_value, new_value, failure, observer, threads, lease, [level](Candidates* candidates) {
        for (int k = COMPRESS_MIN_LEVEL; k <= level; ++k) {
            candidates->row(level_settings(k), !candidates->block_far_behind(), !candidates->prefix_far_behind());
        }
    });
}

}  // namespace quorvane
