// SPDX-License-Identifier: MIT
// The hot loops of CnnNetwork (convolutions, depthwise convolutions, sums),
// compiled once per instruction set (plain x86-64, AVX2, AVX2 with FMA) in
// cnn_kernels.cpp; CnnNetwork picks one set at run time.
//
// Layout: a tensor is height x width pixels, each kChannelBlock-aligned: the
// floats of pixel (y, x) start at (y * width + x) * pixelStride, its channels
// first, then zeros up to pixelStride (a multiple of kChannelBlock). Weights
// are laid out per layer with their output channels padded the same way, the
// padding zero, so every kernel reads and writes whole vectors and leaves the
// padding zero.
#ifndef MIVORA_FACE_CNN_KERNELS_H
#define MIVORA_FACE_CNN_KERNELS_H

#include <cstddef>

namespace mivora {
namespace cnn {

constexpr int kChannelBlock = 8;

inline int paddedChannels(int channels) { return (channels + kChannelBlock - 1) / kChannelBlock * kChannelBlock; }

struct TensorRef {
    float* data;
    int height, width, channels;
    int pixelStride;
};

struct WindowArgs {
    TensorRef in, out;
    int kernelH, kernelW, strideH, strideW, padTop, padLeft;
    // Convolution: [kernelH][kernelW][in channels][out pixelStride];
    // depthwise: [kernelH][kernelW][pixelStride].
    const float* weights;
    const float* bias;     // out pixelStride floats
    const float* residual; // null, or a tensor shaped as out, added before the activation
    bool relu;
};

struct Kernels {
    const char* name;
    void (*convolution)(const WindowArgs&); // any kernel, stride and padding
    void (*pointwise)(const WindowArgs&);   // 1x1, stride 1, no padding
    void (*depthwise)(const WindowArgs&);
    // out = a + b (then max(0, .) when relu) over n floats, n a multiple of kChannelBlock
    void (*add)(const float* a, const float* b, float* out, std::size_t n, bool relu);
};

extern const Kernels kPlainKernels; // SSE2, which every x86-64 processor has
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx2FmaKernels;

enum class Instructions { Best, Plain, Avx2, Avx2Fma };
// True when this processor (and its operating system) runs the set.
bool supported(Instructions instructions);
// The kernels of a supported set (Best: the fastest this processor runs).
const Kernels& kernelsFor(Instructions instructions);

} // namespace cnn
} // namespace mivora

#endif
