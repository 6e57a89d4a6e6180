// SPDX-License-Identifier: MIT
// The kernels of cnn_kernels_impl.h for each instruction set. The processor
// is never assumed to have more than x86-64's SSE2: the AVX2 copies carry
// target attributes and run only where the processor was found to have AVX2
// (and FMA).
#include "cnn_kernels.h"

#include <immintrin.h>

#include <algorithm>
#include <stdexcept>

namespace mivora {
namespace cnn {

namespace plain {
#define MIVORA_CNN_AVX2 0
#define MIVORA_CNN_FMA 0
#define MIVORA_CNN_TARGET
#include "cnn_kernels_impl.h"
#undef MIVORA_CNN_AVX2
#undef MIVORA_CNN_FMA
#undef MIVORA_CNN_TARGET
} // namespace plain

namespace avx2 {
#define MIVORA_CNN_AVX2 1
#define MIVORA_CNN_FMA 0
#define MIVORA_CNN_TARGET __attribute__((target("avx2")))
#include "cnn_kernels_impl.h"
#undef MIVORA_CNN_AVX2
#undef MIVORA_CNN_FMA
#undef MIVORA_CNN_TARGET
} // namespace avx2

namespace avx2fma {
#define MIVORA_CNN_AVX2 1
#define MIVORA_CNN_FMA 1
#define MIVORA_CNN_TARGET __attribute__((target("avx2,fma")))
#include "cnn_kernels_impl.h"
#undef MIVORA_CNN_AVX2
#undef MIVORA_CNN_FMA
#undef MIVORA_CNN_TARGET
} // namespace avx2fma

const Kernels kPlainKernels = {"plain", plain::convolution, plain::pointwise, plain::depthwise, plain::add};
const Kernels kAvx2Kernels = {"avx2", avx2::convolution, avx2::pointwise, avx2::depthwise, avx2::add};
const Kernels kAvx2FmaKernels = {"avx2+fma", avx2fma::convolution, avx2fma::pointwise, avx2fma::depthwise,
                                 avx2fma::add};

bool supported(Instructions instructions)
{
    switch (instructions) {
    case Instructions::Best:
    case Instructions::Plain: return true;
    case Instructions::Avx2: return __builtin_cpu_supports("avx2");
    case Instructions::Avx2Fma: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }
    return false;
}

const Kernels& kernelsFor(Instructions instructions)
{
    if (instructions == Instructions::Best)
        instructions = supported(Instructions::Avx2Fma) ? Instructions::Avx2Fma
                       : supported(Instructions::Avx2)  ? Instructions::Avx2
                                                        : Instructions::Plain;
    if (!supported(instructions))
        throw std::invalid_argument("this processor lacks the instruction set asked for");
    switch (instructions) {
    case Instructions::Avx2Fma: return kAvx2FmaKernels;
    case Instructions::Avx2: return kAvx2Kernels;
    default: return kPlainKernels;
    }
}

} // namespace cnn
} // namespace mivora
