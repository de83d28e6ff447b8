#include "delta/compressed/entropy.h"

#include <algorithm>
#include <memory>
#include <new>

#include "common/memory.h"

#define ZSTD_STATIC_LINKING_ONLY  // stable buffers: no copies of the values inside the library
#include <zstd.h>
#include <zstd_errors.h>

#include <lzma.h>

namespace quorvane {
namespace compressed {
namespace {

constexpr std::size_t SLICE = std::size_t{1} << 20;  // input bytes per library call

// Input bytes per library call when compressing, so that a stop check comes every few tens
// of milliseconds even at the slowest settings. zstd works a block (at most 128 KiB) at a
// time whatever it is given, so a smaller piece would not come back sooner; liblzma at
// preset 9 with its extreme search takes about 20-50 ms for 32 KiB. (How the input is cut
// up changes no output byte of either library.)
constexpr std::size_t ZSTD_PIECE = std::size_t{128} << 10;
constexpr std::size_t LZMA_PIECE = std::size_t{32} << 10;

// Both libraries allocate through the engine heap, so that its failure injection reaches them.
void* zstd_alloc(void*, std::size_t size) { return heap_malloc(size); }
void zstd_free(void*, void* block) { heap_free(block); }
constexpr ZSTD_customMem ZSTD_HEAP = {zstd_alloc, zstd_free, nullptr};

void* lzma_heap_alloc(void*, std::size_t count, std::size_t size) {
    return size != 0 && count > static_cast<std::size_t>(-1) / size ? nullptr : heap_malloc(count * size);
}
void lzma_heap_free(void*, void* block) { heap_free(block); }
const lzma_allocator LZMA_HEAP = {lzma_heap_alloc, lzma_heap_free, nullptr};

bool set(ZSTD_CCtx* context, ZSTD_cParameter parameter, int value) {
    return !ZSTD_isError(ZSTD_CCtx_setParameter(context, parameter, value));
}

}  // namespace

int window_log_for(std::uint64_t bytes) {
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < 62 && (std::uint64_t{1} << log) < bytes) ++log;
    return log;
}

ZstdSettings zstd_prefix_settings(int level, int search_log, std::uint64_t prefix_length, std::uint64_t length) {
    ZstdSettings settings{level};
    settings.window_log = window_log_for(prefix_length + length);
    ZSTD_compressionParameters tables =
        ZSTD_getCParams(level, static_cast<unsigned long long>(length), static_cast<std::size_t>(prefix_length));
    if (search_log != 0) {
        settings.search_log = search_log;
        settings.chain_log = std::min(settings.window_log, PREFIX_CHAIN_LOG_MAX);
        settings.hash_log = std::min(settings.window_log, PREFIX_HASH_LOG_MAX);
        tables.chainLog = static_cast<unsigned>(settings.chain_log);
    }
    // How far the chain table reaches back (zstd's ZSTD_cycleLog): the binary-tree strategies
    // keep two entries per position.
    const int reach = static_cast<int>(tables.chainLog) - (tables.strategy >= ZSTD_btlazy2 ? 1 : 0);
    settings.long_distance = settings.window_log > reach;
    return settings;
}

ZstdContext::~ZstdContext() { ZSTD_freeCCtx(context_); }

ZSTD_CCtx* ZstdContext::fresh() {
    if (context_ == nullptr) {
        context_ = ZSTD_createCCtx_advanced(ZSTD_HEAP);
        if (context_ == nullptr) throw std::bad_alloc();
    } else {
        ZSTD_CCtx_reset(context_, ZSTD_reset_session_and_parameters);
    }
    return context_;
}

bool zstd_compress(const std::uint8_t* source, std::uint64_t length, const ZstdSettings& settings,
                   const std::uint8_t* prefix, std::uint64_t prefix_length, ZstdContext* context, Ticker* ticker,
                   HeapBytes* out) {
    out->clear();
    ZSTD_CCtx* c = context->fresh();
    if (!set(c, ZSTD_c_compressionLevel, settings.level) || !set(c, ZSTD_c_checksumFlag, 0) ||
        !set(c, ZSTD_c_contentSizeFlag, 0) || !set(c, ZSTD_c_dictIDFlag, 0) || !set(c, ZSTD_c_nbWorkers, 0) ||
        !set(c, ZSTD_c_stableInBuffer, 1) || !set(c, ZSTD_c_format, ZSTD_f_zstd1_magicless)) {
        return false;
    }
    if (settings.window_log != 0 && !set(c, ZSTD_c_windowLog, settings.window_log)) return false;
    if (settings.long_distance && !set(c, ZSTD_c_enableLongDistanceMatching, 1)) return false;
    if (settings.search_log != 0 &&
        (!set(c, ZSTD_c_useRowMatchFinder, ZSTD_ps_disable) || !set(c, ZSTD_c_chainLog, settings.chain_log) ||
         !set(c, ZSTD_c_hashLog, settings.hash_log) || !set(c, ZSTD_c_searchLog, settings.search_log))) {
        return false;
    }
    if (ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(c, length))) return false;  // sizes its tables; not written
    if (prefix_length != 0 && ZSTD_isError(ZSTD_CCtx_refPrefix(c, prefix, static_cast<std::size_t>(prefix_length)))) {
        return false;
    }
    // Room for the output grows by a block's worth at most, and by no more than the whole frame
    // can take: a small value's frame gets a buffer of its size, not 128 KiB of fresh pages.
    const std::size_t out_step = std::min(ZSTD_CStreamOutSize(), ZSTD_compressBound(static_cast<std::size_t>(length)));
    ZSTD_inBuffer in{source, 0, 0};
    std::size_t produced = 0;
    for (;;) {
        const bool last = length - in.size <= ZSTD_PIECE;
        in.size = last ? static_cast<std::size_t>(length) : in.size + ZSTD_PIECE;
        const ZSTD_EndDirective directive = last ? ZSTD_e_end : ZSTD_e_continue;
        for (;;) {
            out->resize(produced + out_step);
            ZSTD_outBuffer output{out->data(), out->size(), produced};
            const std::size_t rest = ZSTD_compressStream2(c, &output, &in, directive);
            if (ZSTD_isError(rest)) {
                if (ZSTD_getErrorCode(rest) == ZSTD_error_memory_allocation) throw std::bad_alloc();
                return false;
            }
            produced = output.pos;
            if (last ? rest == 0 : in.pos == in.size) break;
            if (ticker != nullptr) ticker->poll();  // the end of a large frame comes in many calls
        }
        if (ticker != nullptr) {
            ticker->tick(ZSTD_PIECE);
            ticker->poll();
        }
        if (last) break;
    }
    out->resize(produced);
    return true;
}

std::uint32_t lzma_dictionary_size(std::uint64_t prefix_length, std::uint64_t length) {
    const std::uint64_t total = prefix_length + length;
    std::uint64_t size = 4096;
    while (size < total && size < (std::uint64_t{1} << 30)) size <<= 1;
    return static_cast<std::uint32_t>(size);
}

namespace {

struct LzmaStream {
    lzma_stream stream = LZMA_STREAM_INIT;
    LzmaStream() { stream.allocator = &LZMA_HEAP; }
    ~LzmaStream() { lzma_end(&stream); }
};

bool lzma_options(lzma_options_lzma* options, int preset, bool extreme, const std::uint8_t* prefix,
                  std::uint64_t prefix_length, std::uint64_t length) {
    if (lzma_lzma_preset(options, static_cast<std::uint32_t>(preset) | (extreme ? LZMA_PRESET_EXTREME : 0))) return false;
    options->dict_size = lzma_dictionary_size(prefix_length, length);
    if (prefix_length != 0) {
        options->preset_dict = prefix;
        options->preset_dict_size = static_cast<std::uint32_t>(prefix_length);
    }
    return true;
}

}  // namespace

bool lzma_compress(const std::uint8_t* source, std::uint64_t length, int preset, bool extreme,
                   const std::uint8_t* prefix, std::uint64_t prefix_length, Ticker* ticker,
                   HeapBytes* out) {
    out->clear();
    if (prefix_length > 0xFFFFFFFFu) return false;
    lzma_options_lzma options;
    if (!lzma_options(&options, preset, extreme, prefix, prefix_length, length)) return false;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    LzmaStream s;
    lzma_ret ret = lzma_raw_encoder(&s.stream, filters);
    if (ret == LZMA_MEM_ERROR) throw std::bad_alloc();
    if (ret != LZMA_OK) return false;
    const std::size_t bound = lzma_block_buffer_bound(static_cast<std::size_t>(length));  // 0: beyond its range
    const std::size_t out_step = bound != 0 && bound < (std::size_t{1} << 16) ? bound : std::size_t{1} << 16;
    std::size_t produced = 0;
    std::uint64_t fed = 0;
    s.stream.next_in = source;
    s.stream.avail_in = 0;
    for (;;) {
        if (s.stream.avail_in == 0 && fed < length) {
            const std::uint64_t slice = length - fed < LZMA_PIECE ? length - fed : LZMA_PIECE;
            s.stream.next_in = source + fed;
            s.stream.avail_in = static_cast<std::size_t>(slice);
            fed += slice;
            if (ticker != nullptr) ticker->tick(slice);
        }
        if (ticker != nullptr) ticker->poll();
        if (s.stream.avail_out == 0) {
            out->resize(produced + out_step);
            s.stream.next_out = out->data() + produced;
            s.stream.avail_out = out_step;
        }
        const std::size_t room = s.stream.avail_out;
        ret = lzma_code(&s.stream, fed == length && s.stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
        produced += room - s.stream.avail_out;
        if (ret == LZMA_STREAM_END) break;
        if (ret == LZMA_MEM_ERROR) throw std::bad_alloc();
        if (ret != LZMA_OK) return false;
    }
    out->resize(produced);
    return true;
}

}  // namespace compressed
}  // namespace quorvane
