// The frame checksums' loop compiled for AVX2 (the build gives this file alone -mavx2 on
// x86-64; checksum.cpp calls it only on processors that have AVX2).
#if defined(QUORVANE_CHECKSUM_AVX2)

#include "delta/compressed/xxh3_slices.h"

namespace quorvane {
namespace compressed {

std::uint64_t xxh3_avx2(const std::uint8_t* data, std::uint64_t length, void (*tick)(void*, std::uint64_t),
                        void* context) {
    return xxh3_in_slices(data, length, tick, context);
}

}  // namespace compressed
}  // namespace quorvane

#endif
