#include "delta/compressed/sections.h"

#include <cstring>
#include <new>

#define ZSTD_STATIC_LINKING_ONLY  // magicless frames, stable output buffers, custom allocators
#include <zstd.h>
#include <zstd_errors.h>

#include <lzma.h>

#include "common/memory.h"
#include "delta/compressed/entropy.h"
#include "delta/compressed/lzma2.h"

namespace quorvane {
namespace compressed {
namespace {

constexpr std::size_t SLICE = std::size_t{1} << 20;  // input bytes per library call in place

// The libraries allocate through the engine heap; the size of an allocation that failed is
// kept for the message.
struct LibraryHeap {
    std::uint64_t failed = 0;
};

void* library_malloc(LibraryHeap* heap, std::size_t size) {
    void* block = heap_malloc(size);
    if (block == nullptr) heap->failed = size;
    return block;
}

void* zstd_malloc(void* opaque, std::size_t size) { return library_malloc(static_cast<LibraryHeap*>(opaque), size); }
void zstd_free(void*, void* block) { heap_free(block); }

void* lzma_malloc(void* opaque, std::size_t count, std::size_t size) {
    if (size != 0 && count > static_cast<std::size_t>(-1) / size) return nullptr;
    return library_malloc(static_cast<LibraryHeap*>(opaque), count * size);
}
void lzma_release(void*, void* block) { heap_free(block); }

template <typename T, typename... Arguments>
T* heap_new(const char* what, Arguments... arguments) {
    void* block = heap_malloc(sizeof(T));
    if (block == nullptr) throw OutOfMemory{what, sizeof(T)};
    try {
        return new (block) T(arguments...);
    } catch (...) {
        heap_free(block);
        throw;
    }
}

template <typename T>
void heap_delete(T* item) {
    if (item == nullptr) return;
    item->~T();
    heap_free(item);
}

std::uint8_t nothing = 0;  // a place for zero bytes

}  // namespace

struct ZstdDecoders::Decoder {
    LibraryHeap heap;
    ZSTD_DCtx* context = nullptr;
    bool busy = false;
    ~Decoder() { ZSTD_freeDCtx(context); }

    // A new one; throws OutOfMemory.
    static Decoder* make() {
        Decoder* decoder = heap_new<Decoder>("the zstd decoder");
        const ZSTD_customMem memory{zstd_malloc, zstd_free, &decoder->heap};
        decoder->context = ZSTD_createDCtx_advanced(memory);
        if (decoder->context == nullptr) {
            const std::uint64_t failed = decoder->heap.failed;
            heap_delete(decoder);
            throw OutOfMemory{"the zstd decoder", failed};
        }
        return decoder;
    }
};

ZstdDecoders::~ZstdDecoders() {
    for (int k = 0; k < count_; ++k) heap_delete(decoders_[k]);
}

ZstdDecoders::Decoder* ZstdDecoders::take() {
    for (int k = 0; k < count_; ++k) {
        if (!decoders_[k]->busy) {
            ZSTD_DCtx_reset(decoders_[k]->context, ZSTD_reset_session_and_parameters);
            decoders_[k]->busy = true;
            return decoders_[k];
        }
    }
    Decoder* decoder = Decoder::make();
    decoder->busy = true;
    if (count_ < KEPT) {
        decoders_[count_++] = decoder;
    }
    return decoder;
}

void ZstdDecoders::trim() {
    int kept = 0;
    for (int k = 0; k < count_; ++k) {
        Decoder* decoder = decoders_[k];
        if (!decoder->busy && (kept > 0 || ZSTD_sizeof_DCtx(decoder->context) > KEPT_DECODER_MAX_BYTES)) {
            heap_delete(decoder);
        } else {
            decoders_[kept++] = decoder;
        }
    }
    for (int k = kept; k < count_; ++k) decoders_[k] = nullptr;
    count_ = kept;
}

void ZstdDecoders::give_back(Decoder* decoder) {
    for (int k = 0; k < count_; ++k) {
        if (decoders_[k] == decoder) {
            decoder->busy = false;
            return;
        }
    }
    heap_delete(decoder);  // one beyond those kept
}

struct SectionStream::Zstd {
    ZstdDecoders* lender = nullptr;  // the pool the decoder is borrowed from
    ZstdDecoders::Decoder* decoder = nullptr;
    ZSTD_DCtx* context = nullptr;
    ZSTD_inBuffer in{nullptr, 0, 0};
    ZSTD_outBuffer out{nullptr, 0, 0};  // in place: the destination, as the library last saw it
    bool ended = false;
    ~Zstd() {
        if (decoder != nullptr) lender->give_back(decoder);
    }
    std::uint64_t failed() const { return decoder->heap.failed; }

    // One call of the library; false when the frame ended.
    bool step(ZSTD_outBuffer* output) {
        const std::size_t made = output->pos, taken = in.pos;
        const std::size_t rest = ZSTD_decompressStream(context, output, &in);
        if (ZSTD_isError(rest)) {
            switch (ZSTD_getErrorCode(rest)) {
                case ZSTD_error_memory_allocation: throw OutOfMemory{"the zstd decoder's window", failed()};
                case ZSTD_error_dstSize_tooSmall: throw SectionFault{in.pos, "zstd frame longer than its section says"};
                case ZSTD_error_frameParameter_windowTooLarge:
                    throw SectionFault{in.pos, "zstd window larger than its section needs"};
                default: throw SectionFault{in.pos, "zstd frame damaged"};
            }
        }
        if (rest == 0) {
            ended = true;
            return false;
        }
        if (output->pos == made && in.pos == taken && in.pos == in.size) {
            throw SectionFault{in.pos, "zstd frame cut short"};
        }
        return true;
    }
};

struct SectionStream::Lzma {
    LibraryHeap heap;
    lzma_allocator allocator{lzma_malloc, lzma_release, &heap};
    lzma_stream stream = LZMA_STREAM_INIT;
    std::uint64_t length = 0;
    bool ended = false;
    ~Lzma() { lzma_end(&stream); }

    std::uint64_t where() const { return length - stream.avail_in; }

    // Decodes into out[0, room) until it is full or the stream ends; the bytes made.
    std::uint64_t decode(std::uint8_t* out, std::uint64_t room) {
        stream.next_out = out;
        stream.avail_out = static_cast<std::size_t>(room);
        while (stream.avail_out != 0 && !ended) {
            const std::size_t taken = stream.avail_in, left = stream.avail_out;
            const lzma_ret ret = lzma_code(&stream, LZMA_RUN);
            if (ret == LZMA_STREAM_END) {
                ended = true;
            } else if (ret == LZMA_MEM_ERROR) {
                throw OutOfMemory{"the LZMA2 decoder's dictionary", heap.failed};
            } else if (ret != LZMA_OK || (taken == stream.avail_in && left == stream.avail_out)) {
                if (stream.avail_in == 0) throw SectionFault{where(), "lzma stream cut short"};
                throw SectionFault{where(), "lzma stream damaged"};
            }
        }
        return room - stream.avail_out;
    }
};

SectionStream::SectionStream(const Section& s, const std::uint8_t* stored, const std::uint8_t* prefix,
                             std::uint64_t prefix_length, std::uint8_t* destination, Ticker* ticker,
                             ZstdDecoders& decoders)
    : section_(s), stored_(stored), destination_(destination), ticker_(ticker) {
    try {
        open(prefix, prefix_length, decoders);
    } catch (...) {
        heap_delete(zstd_);
        heap_delete(lzma_);
        heap_delete(in_place_);
        throw;
    }
}

void SectionStream::open(const std::uint8_t* prefix, std::uint64_t prefix_length, ZstdDecoders& decoders) {
    const Section& s = section_;
    const std::uint8_t* stored = stored_;
    std::uint8_t* destination = destination_;
    if (s.coding == CODING_ZSTD) {
        zstd_ = heap_new<Zstd>("the zstd decoder");
        zstd_->lender = &decoders;
        zstd_->decoder = decoders.take();
        zstd_->context = zstd_->decoder->context;
        // The format allows no window larger than prefix and content need (the encoder knew
        // both lengths), so that a decoder with a window of its own needs no more.
        const std::uint64_t covered = prefix_length > ~s.decoded ? ~std::uint64_t{0} : prefix_length + s.decoded;
        const int window_log = window_log_for(covered) < ZSTD_WINDOWLOG_MAX ? window_log_for(covered) : ZSTD_WINDOWLOG_MAX;
        ZSTD_DCtx* d = zstd_->context;
        if (ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, window_log)) ||
            ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_format, ZSTD_f_zstd1_magicless)) ||
            (destination != nullptr && ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_stableOutBuffer, 1)))) {
            throw SectionFault{0, "the zstd decoder could not be set up"};
        }
        if (prefix_length != 0) {
            const std::size_t done = ZSTD_DCtx_refPrefix(d, prefix, static_cast<std::size_t>(prefix_length));
            if (ZSTD_isError(done)) {
                if (ZSTD_getErrorCode(done) == ZSTD_error_memory_allocation) {
                    throw OutOfMemory{"the zstd decoder's prefix", zstd_->failed()};
                }
                throw SectionFault{0, "the zstd decoder could not be set up"};
            }
        }
        zstd_->in = ZSTD_inBuffer{stored, destination != nullptr ? 0 : static_cast<std::size_t>(s.stored), 0};
        if (destination != nullptr) {
            zstd_->out = ZSTD_outBuffer{s.decoded != 0 ? destination : &nothing, static_cast<std::size_t>(s.decoded), 0};
        }
    } else if (s.coding == CODING_LZMA) {
        if (prefix_length > 0xFFFFFFFFu) throw SectionFault{0, "lzma section with a prefix beyond 4 GiB"};
        if (destination != nullptr) {  // the destination is the dictionary: no buffer of its own
            in_place_ = heap_new<Lzma2InPlace>("the LZMA2 decoder", stored, s.stored, destination, s.decoded, prefix,
                                               prefix_length, lzma_dictionary_size(prefix_length, s.decoded));
            return;
        }
        lzma_ = heap_new<Lzma>("the LZMA2 decoder");
        lzma_->length = s.stored;
        lzma_options_lzma options;
        if (lzma_lzma_preset(&options, 6)) throw SectionFault{0, "the lzma decoder could not be set up"};
        options.dict_size = lzma_dictionary_size(prefix_length, s.decoded);
        if (prefix_length != 0) {
            options.preset_dict = prefix;
            options.preset_dict_size = static_cast<std::uint32_t>(prefix_length);
        }
        const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        lzma_->stream.allocator = &lzma_->allocator;
        const lzma_ret ret = lzma_raw_decoder(&lzma_->stream, filters);
        if (ret == LZMA_MEM_ERROR) throw OutOfMemory{"the LZMA2 decoder's dictionary", lzma_->heap.failed};
        if (ret != LZMA_OK) throw SectionFault{0, "the lzma decoder could not be set up"};
        lzma_->stream.next_in = stored;
        lzma_->stream.avail_in = static_cast<std::size_t>(s.stored);
    }
}

SectionStream::~SectionStream() {
    heap_delete(zstd_);
    heap_delete(lzma_);
    heap_delete(in_place_);
}

std::uint64_t SectionStream::decode(std::uint8_t* out, std::uint64_t room) {
    std::uint64_t made;
    if (zstd_ != nullptr && destination_ != nullptr) {
        Zstd& z = *zstd_;
        const std::uint64_t want = produced_ + room;
        while (z.out.pos < want && !z.ended) {
            if (z.in.pos == z.in.size) {
                if (z.in.size == section_.stored) throw SectionFault{z.in.pos, "zstd frame cut short"};
                z.in.size = section_.stored - z.in.size <= SLICE ? static_cast<std::size_t>(section_.stored) : z.in.size + SLICE;
            }
            const std::size_t before = z.out.pos;
            z.step(&z.out);
            if (ticker_ != nullptr) ticker_->tick(z.out.pos - before + 1);
        }
        made = z.out.pos - produced_;
    } else if (zstd_ != nullptr) {
        ZSTD_outBuffer output{out, static_cast<std::size_t>(room), 0};
        while (output.pos < output.size && zstd_->step(&output)) {
        }
        made = output.pos;
    } else if (in_place_ != nullptr) {
        const std::uint64_t want = produced_ + room;
        while (in_place_->produced() < want) {  // whole chunks, a slice at a time for the ticker
            const std::uint64_t before = in_place_->produced();
            in_place_->fill(want - before < SLICE ? want : before + SLICE);
            if (ticker_ != nullptr) ticker_->tick(in_place_->produced() - before);
        }
        made = in_place_->produced() - produced_;
    } else if (lzma_ != nullptr) {
        made = lzma_->decode(out, room);
    } else {
        std::memcpy(out, stored_ + produced_, static_cast<std::size_t>(room));
        made = room;
    }
    if (ticker_ != nullptr) ticker_->tick(made);
    if (made < room) {
        const char* reason = zstd_ != nullptr ? "zstd frame shorter than its section says" : "lzma stream shorter than its section says";
        throw SectionFault{zstd_ != nullptr ? zstd_->in.pos : lzma_->where(), reason};
    }
    produced_ += made;
    return made;
}

std::uint64_t SectionStream::read(std::uint8_t* out, std::uint64_t room) {
    const std::uint64_t left = section_.decoded - produced_;
    return decode(out, room < left ? room : left);
}

void SectionStream::fill(std::uint64_t count) {
    if (count > produced_) decode(destination_ + produced_, count - produced_);
}

void SectionStream::finish() {
    if (zstd_ != nullptr) {
        Zstd& z = *zstd_;
        std::uint8_t spare = 0;
        ZSTD_outBuffer output{&spare, 1, 0};
        ZSTD_outBuffer* to = destination_ != nullptr ? &z.out : &output;
        while (!z.ended) {
            if (z.in.pos == z.in.size) {
                if (z.in.size == section_.stored) throw SectionFault{z.in.pos, "zstd frame cut short"};
                z.in.size = static_cast<std::size_t>(section_.stored);
            }
            z.step(to);
            if (output.pos != 0) throw SectionFault{z.in.pos, "zstd frame longer than its section says"};
        }
        if (z.in.pos != section_.stored) throw SectionFault{z.in.pos, "bytes after the zstd frame in its section"};
    } else if (in_place_ != nullptr) {
        in_place_->finish();
    } else if (lzma_ != nullptr) {
        std::uint8_t spare = 0;
        while (!lzma_->ended) {
            if (lzma_->decode(&spare, 1) != 0) throw SectionFault{lzma_->where(), "lzma stream longer than its section says"};
        }
        if (lzma_->stream.avail_in != 0) throw SectionFault{lzma_->where(), "bytes after the lzma stream in its section"};
    }
}

}  // namespace compressed
}  // namespace quorvane
