#include "delta/compress_entropy.h"

#include <memory>
#include <new>

#define ZSTD_STATIC_LINKING_ONLY  // stable buffers: no copies of the values inside the library
#include <zstd.h>
#include <zstd_errors.h>

namespace quorvane {
namespace compressed {
namespace {

constexpr std::size_t SLICE = std::size_t{1} << 20;  // input bytes per library call

struct CCtxFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

bool set(ZSTD_CCtx* context, ZSTD_cParameter parameter, int value) {
    return !ZSTD_isError(ZSTD_CCtx_setParameter(context, parameter, value));
}

}  // namespace

int window_log_for(std::uint64_t bytes) {
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < 62 && (std::uint64_t{1} << log) < bytes) ++log;
    return log;
}

bool zstd_compress(const std::uint8_t* source, std::uint64_t length, const ZstdSettings& settings,
                   const std::uint8_t* prefix, std::uint64_t prefix_length, Ticker* ticker,
                   std::vector<std::uint8_t>* out) {
    out->clear();
    std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context) throw std::bad_alloc();
    ZSTD_CCtx* c = context.get();
    if (!set(c, ZSTD_c_compressionLevel, settings.level) || !set(c, ZSTD_c_checksumFlag, 0) ||
        !set(c, ZSTD_c_contentSizeFlag, 1) || !set(c, ZSTD_c_dictIDFlag, 0) || !set(c, ZSTD_c_nbWorkers, 0) ||
        !set(c, ZSTD_c_stableInBuffer, 1)) {
        return false;
    }
    if (settings.window_log != 0 && !set(c, ZSTD_c_windowLog, settings.window_log)) return false;
    if (settings.long_distance && !set(c, ZSTD_c_enableLongDistanceMatching, 1)) return false;
    if (ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(c, length))) return false;
    if (prefix_length != 0 && ZSTD_isError(ZSTD_CCtx_refPrefix(c, prefix, static_cast<std::size_t>(prefix_length)))) {
        return false;
    }
    const std::size_t out_step = ZSTD_CStreamOutSize();
    ZSTD_inBuffer in{source, 0, 0};
    std::size_t produced = 0;
    for (;;) {
        const bool last = length - in.size <= SLICE;
        in.size = last ? static_cast<std::size_t>(length) : in.size + SLICE;
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
        }
        if (ticker != nullptr) ticker->tick(SLICE);
        if (last) break;
    }
    out->resize(produced);
    return true;
}

const char* zstd_decompress(const std::uint8_t* source, std::uint64_t length, std::uint8_t* destination,
                            std::uint64_t expected, const std::uint8_t* prefix, std::uint64_t prefix_length,
                            Ticker* ticker, std::uint64_t* where) {
    *where = 0;
    std::unique_ptr<ZSTD_DCtx, DCtxFree> context(ZSTD_createDCtx());
    if (!context) throw std::bad_alloc();
    ZSTD_DCtx* d = context.get();
    if (ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_stableOutBuffer, 1)) ||
        (prefix_length != 0 && ZSTD_isError(ZSTD_DCtx_refPrefix(d, prefix, static_cast<std::size_t>(prefix_length))))) {
        return "the zstd decoder could not be set up";
    }
    static std::uint8_t nothing = 0;
    ZSTD_outBuffer output{expected != 0 ? destination : &nothing, static_cast<std::size_t>(expected), 0};
    ZSTD_inBuffer in{source, 0, 0};
    std::size_t rest = 1;
    while (rest != 0) {
        if (in.pos == in.size) {
            if (in.size == length) {
                *where = in.pos;
                return "zstd frame cut short";
            }
            in.size = length - in.size <= SLICE ? static_cast<std::size_t>(length) : in.size + SLICE;
        }
        const std::size_t before = output.pos, consumed = in.pos;
        rest = ZSTD_decompressStream(d, &output, &in);
        if (ZSTD_isError(rest)) {
            *where = in.pos;
            if (ZSTD_getErrorCode(rest) == ZSTD_error_memory_allocation) throw std::bad_alloc();
            if (ZSTD_getErrorCode(rest) == ZSTD_error_dstSize_tooSmall) return "zstd frame longer than its section says";
            return "zstd frame damaged";
        }
        if (rest != 0 && output.pos == before && in.pos == consumed && in.pos < in.size) {
            *where = in.pos;
            return "zstd frame damaged";  // no progress
        }
        if (ticker != nullptr) ticker->tick(output.pos - before + 1);
    }
    if (in.pos != length) {
        *where = in.pos;
        return "bytes after the zstd frame in its section";
    }
    if (output.pos != expected) {
        *where = in.pos;
        return "zstd frame shorter than its section says";
    }
    return nullptr;
}

}  // namespace compressed
}  // namespace quorvane
