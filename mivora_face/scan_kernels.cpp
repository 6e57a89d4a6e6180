// SPDX-License-Identifier: MIT
// The kernels of scan_kernels_impl.h for each instruction set. The processor
// is never assumed to have more than x86-64's SSE2: the AVX2 copies carry
// target attributes and run only where FaceScan found AVX2 (and FMA).
#include "scan_kernels.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace mivora {
namespace scan {

namespace plain {
#define MIVORA_SCAN_AVX2 0
#define MIVORA_SCAN_FMA 0
#define MIVORA_SCAN_TARGET
#include "scan_kernels_impl.h"
#undef MIVORA_SCAN_AVX2
#undef MIVORA_SCAN_FMA
#undef MIVORA_SCAN_TARGET
} // namespace plain

namespace avx2 {
#define MIVORA_SCAN_AVX2 1
#define MIVORA_SCAN_FMA 0
#define MIVORA_SCAN_TARGET __attribute__((target("avx2")))
#include "scan_kernels_impl.h"
#undef MIVORA_SCAN_AVX2
#undef MIVORA_SCAN_FMA
#undef MIVORA_SCAN_TARGET
} // namespace avx2

// Only the filters use FMA; the other kernels of this set are the AVX2 ones,
// whose rounding is dlib's.
namespace avx2fma {
#define MIVORA_SCAN_AVX2 1
#define MIVORA_SCAN_FMA 1
#define MIVORA_SCAN_TARGET __attribute__((target("avx2,fma")))
#include "scan_kernels_impl.h"
#undef MIVORA_SCAN_AVX2
#undef MIVORA_SCAN_FMA
#undef MIVORA_SCAN_TARGET
} // namespace avx2fma

const Kernels kPlainKernels = {"plain", plain::resize, plain::histogram, plain::features, plain::filterRow};
const Kernels kAvx2Kernels = {"avx2", avx2::resize, avx2::histogram, avx2::features, avx2::filterRow};
const Kernels kAvx2FmaKernels = {"avx2+fma", avx2::resize, avx2::histogram, avx2::features, avx2fma::filterRow};

} // namespace scan
} // namespace mivora
