// What the processor can run: the one place that asks it, for every implementation chosen at
// run time (the diff search's wave passes, the frame checksums).
#pragma once

namespace quorvane {

// AVX2 with BMI1, BMI2 and POPCNT; false on other processors and with compilers that cannot
// ask (MSVC).
bool cpu_has_avx2();
// The above and AVX-512 F, BW, VL and VBMI.
bool cpu_has_avx512();

}  // namespace quorvane
