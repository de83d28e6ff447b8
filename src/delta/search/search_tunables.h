// The numbers that steer the diff search, shared by every implementation of its wave
// passes. Changing any of them changes delta bytes.
#pragma once

#include <cstdint>

namespace quorvane {

// The overlap test runs in the forward pass when (N - M) & mask == mask, else in the
// backward pass; the placement decides which shared stretch a search splits at.
constexpr std::uint32_t OVERLAP_FORWARD_MASK = 0xB1u;

// Every this many waves a search checks how far its fronts have travelled.
constexpr std::int32_t PROGRESS_CADENCE = 64;

// A search whose fronts lag behind the expected progress loses this much effort.
constexpr std::int32_t PROGRESS_CUT = 48;

// A gap box between unmet fronts is searched while its area stays under half the
// search's area plus this allowance; larger boxes are halved or given up.
constexpr std::int64_t BOX_AREA_ALLOWANCE = std::int64_t{1} << 24;

// The least effort a searched gap box gets, however spent its parent's effort is.
constexpr std::int32_t MIN_BOX_EFFORT = 8;

}  // namespace quorvane
