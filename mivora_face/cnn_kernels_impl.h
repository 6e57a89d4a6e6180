// SPDX-License-Identifier: MIT
// The kernels of cnn_kernels.h, written once against an 8-float vector type.
// cnn_kernels.cpp includes this file once per instruction set, inside its own
// namespace, after defining:
//   MIVORA_CNN_AVX2    1: the vector is one AVX register; 0: two SSE2 registers
//   MIVORA_CNN_FMA     1: fmadd() is one fused instruction
//   MIVORA_CNN_TARGET  the function attribute selecting the instruction set
// No include guard: included several times on purpose.

#define MIVORA_CNN_KERNEL inline __attribute__((always_inline)) MIVORA_CNN_TARGET

#if MIVORA_CNN_AVX2

struct F8 {
    __m256 v;
};
MIVORA_CNN_KERNEL F8 load(const float* p) { return {_mm256_loadu_ps(p)}; }
MIVORA_CNN_KERNEL void store(float* p, F8 a) { _mm256_storeu_ps(p, a.v); }
MIVORA_CNN_KERNEL F8 splat(float x) { return {_mm256_set1_ps(x)}; }
MIVORA_CNN_KERNEL F8 zero() { return {_mm256_setzero_ps()}; }
MIVORA_CNN_KERNEL F8 operator+(F8 a, F8 b) { return {_mm256_add_ps(a.v, b.v)}; }
MIVORA_CNN_KERNEL F8 vmax(F8 a, F8 b) { return {_mm256_max_ps(a.v, b.v)}; }
MIVORA_CNN_KERNEL F8 fmadd(F8 a, F8 b, F8 c)
{
#if MIVORA_CNN_FMA
    return {_mm256_fmadd_ps(a.v, b.v, c.v)};
#else
    return {_mm256_add_ps(_mm256_mul_ps(a.v, b.v), c.v)};
#endif
}

#else

struct F8 {
    __m128 lo, hi;
};
MIVORA_CNN_KERNEL F8 load(const float* p) { return {_mm_loadu_ps(p), _mm_loadu_ps(p + 4)}; }
MIVORA_CNN_KERNEL void store(float* p, F8 a)
{
    _mm_storeu_ps(p, a.lo);
    _mm_storeu_ps(p + 4, a.hi);
}
MIVORA_CNN_KERNEL F8 splat(float x) { return {_mm_set1_ps(x), _mm_set1_ps(x)}; }
MIVORA_CNN_KERNEL F8 zero() { return {_mm_setzero_ps(), _mm_setzero_ps()}; }
MIVORA_CNN_KERNEL F8 operator+(F8 a, F8 b) { return {_mm_add_ps(a.lo, b.lo), _mm_add_ps(a.hi, b.hi)}; }
MIVORA_CNN_KERNEL F8 vmax(F8 a, F8 b) { return {_mm_max_ps(a.lo, b.lo), _mm_max_ps(a.hi, b.hi)}; }
MIVORA_CNN_KERNEL F8 fmadd(F8 a, F8 b, F8 c)
{
    return {_mm_add_ps(_mm_mul_ps(a.lo, b.lo), c.lo), _mm_add_ps(_mm_mul_ps(a.hi, b.hi), c.hi)};
}

#endif

MIVORA_CNN_KERNEL F8 activate(F8 a, bool relu) { return relu ? vmax(a, zero()) : a; }

// Output channels cb .. cb + 8 * Blocks of one output pixel.
template <int Blocks> MIVORA_CNN_KERNEL void convolutionPixel(const WindowArgs& a, int oy, int ox, int cb)
{
    const TensorRef& in = a.in;
    const int outStride = a.out.pixelStride;
    F8 acc[Blocks];
    for (int b = 0; b < Blocks; ++b)
        acc[b] = load(a.bias + cb + b * kChannelBlock);
    for (int ky = 0; ky < a.kernelH; ++ky) {
        const int iy = oy * a.strideH - a.padTop + ky;
        if (iy < 0 || iy >= in.height)
            continue;
        for (int kx = 0; kx < a.kernelW; ++kx) {
            const int ix = ox * a.strideW - a.padLeft + kx;
            if (ix < 0 || ix >= in.width)
                continue;
            const float* pixel = in.data + (static_cast<std::ptrdiff_t>(iy) * in.width + ix) * in.pixelStride;
            const float* w =
                a.weights + static_cast<std::ptrdiff_t>(ky * a.kernelW + kx) * in.channels * outStride + cb;
            for (int ci = 0; ci < in.channels; ++ci, w += outStride) {
                const F8 value = splat(pixel[ci]);
                for (int b = 0; b < Blocks; ++b)
                    acc[b] = fmadd(value, load(w + b * kChannelBlock), acc[b]);
            }
        }
    }
    const std::ptrdiff_t at = (static_cast<std::ptrdiff_t>(oy) * a.out.width + ox) * outStride + cb;
    for (int b = 0; b < Blocks; ++b) {
        if (a.residual != nullptr)
            acc[b] = acc[b] + load(a.residual + at + b * kChannelBlock);
        store(a.out.data + at + b * kChannelBlock, activate(acc[b], a.relu));
    }
}

MIVORA_CNN_TARGET void convolution(const WindowArgs& a)
{
    const int outStride = a.out.pixelStride;
    for (int oy = 0; oy < a.out.height; ++oy)
        for (int ox = 0; ox < a.out.width; ++ox) {
            int cb = 0;
            for (; cb + 4 * kChannelBlock <= outStride; cb += 4 * kChannelBlock)
                convolutionPixel<4>(a, oy, ox, cb);
            switch ((outStride - cb) / kChannelBlock) {
            case 3: convolutionPixel<3>(a, oy, ox, cb); break;
            case 2: convolutionPixel<2>(a, oy, ox, cb); break;
            case 1: convolutionPixel<1>(a, oy, ox, cb); break;
            default: break;
            }
        }
}

// Pixels p .. p + Pixels of output channels cb .. cb + 8 * Blocks.
template <int Pixels, int Blocks> MIVORA_CNN_KERNEL void pointwiseTile(const WindowArgs& a, std::ptrdiff_t p, int cb)
{
    const int inStride = a.in.pixelStride, outStride = a.out.pixelStride;
    F8 acc[Pixels][Blocks];
    for (int b = 0; b < Blocks; ++b) {
        const F8 bias = load(a.bias + cb + b * kChannelBlock);
        for (int k = 0; k < Pixels; ++k)
            acc[k][b] = bias;
    }
    const float* in = a.in.data + p * inStride;
    const float* w = a.weights + cb;
    for (int ci = 0; ci < a.in.channels; ++ci, w += outStride) {
        F8 weight[Blocks];
        for (int b = 0; b < Blocks; ++b)
            weight[b] = load(w + b * kChannelBlock);
        for (int k = 0; k < Pixels; ++k) {
            const F8 value = splat(in[k * inStride + ci]);
            for (int b = 0; b < Blocks; ++b)
                acc[k][b] = fmadd(value, weight[b], acc[k][b]);
        }
    }
    const std::ptrdiff_t at = p * outStride + cb;
    for (int k = 0; k < Pixels; ++k)
        for (int b = 0; b < Blocks; ++b) {
            const std::ptrdiff_t to = at + k * outStride + b * kChannelBlock;
            if (a.residual != nullptr)
                acc[k][b] = acc[k][b] + load(a.residual + to);
            store(a.out.data + to, activate(acc[k][b], a.relu));
        }
}

template <int Pixels> MIVORA_CNN_KERNEL void pointwisePixels(const WindowArgs& a, std::ptrdiff_t p)
{
    const int outStride = a.out.pixelStride;
    // Tiles of up to three vectors: with four pixels, 12 sums, 3 weights and
    // a broadcast fill AVX2's 16 registers.
    int cb = 0;
    for (; cb + 3 * kChannelBlock <= outStride; cb += 3 * kChannelBlock)
        pointwiseTile<Pixels, 3>(a, p, cb);
    if (outStride - cb == 2 * kChannelBlock)
        pointwiseTile<Pixels, 2>(a, p, cb);
    else if (outStride - cb == kChannelBlock)
        pointwiseTile<Pixels, 1>(a, p, cb);
}

MIVORA_CNN_TARGET void pointwise(const WindowArgs& a)
{
    const std::ptrdiff_t pixels = static_cast<std::ptrdiff_t>(a.out.height) * a.out.width;
    std::ptrdiff_t p = 0;
    for (; p + 4 <= pixels; p += 4)
        pointwisePixels<4>(a, p);
    for (; p < pixels; ++p)
        pointwisePixels<1>(a, p);
}

// Channels cb .. cb + 8 * Blocks of one output pixel whose taps are
// rows kyBegin .. kyEnd and columns kxBegin .. kxEnd of its window; tap
// (0, 0), maybe outside the image, is `window` floats from the input's start.
template <int Blocks>
MIVORA_CNN_KERNEL void depthwisePixel(const WindowArgs& a, std::ptrdiff_t window, float* out, int cb, int kyBegin,
                                      int kyEnd, int kxBegin, int kxEnd)
{
    const int stride = a.out.pixelStride; // the input's too: same channels
    const std::ptrdiff_t rowStride = static_cast<std::ptrdiff_t>(a.in.width) * stride;
    F8 acc[Blocks];
    for (int b = 0; b < Blocks; ++b)
        acc[b] = load(a.bias + cb + b * kChannelBlock);
    for (int ky = kyBegin; ky < kyEnd; ++ky) {
        const std::ptrdiff_t row = window + ky * rowStride + cb;
        const float* w = a.weights + static_cast<std::ptrdiff_t>(ky * a.kernelW) * stride + cb;
        for (int kx = kxBegin; kx < kxEnd; ++kx)
            for (int b = 0; b < Blocks; ++b)
                acc[b] = fmadd(load(a.in.data + (row + static_cast<std::ptrdiff_t>(kx) * stride + b * kChannelBlock)),
                               load(w + kx * stride + b * kChannelBlock), acc[b]);
    }
    for (int b = 0; b < Blocks; ++b) {
        F8 v = acc[b];
        if (a.residual != nullptr)
            v = v + load(a.residual + (out - a.out.data) + cb + b * kChannelBlock);
        store(out + cb + b * kChannelBlock, activate(v, a.relu));
    }
}

MIVORA_CNN_TARGET void depthwise(const WindowArgs& a)
{
    const TensorRef& in = a.in;
    const int stride = a.out.pixelStride;
    for (int oy = 0; oy < a.out.height; ++oy) {
        const int y0 = oy * a.strideH - a.padTop;
        const int kyBegin = std::max(0, -y0), kyEnd = std::min(a.kernelH, in.height - y0);
        for (int ox = 0; ox < a.out.width; ++ox) {
            const int x0 = ox * a.strideW - a.padLeft;
            const int kxBegin = std::max(0, -x0), kxEnd = std::min(a.kernelW, in.width - x0);
            const std::ptrdiff_t window = (static_cast<std::ptrdiff_t>(y0) * in.width + x0) * stride;
            float* out = a.out.data + (static_cast<std::ptrdiff_t>(oy) * a.out.width + ox) * stride;
            int cb = 0;
            for (; cb + 4 * kChannelBlock <= stride; cb += 4 * kChannelBlock)
                depthwisePixel<4>(a, window, out, cb, kyBegin, kyEnd, kxBegin, kxEnd);
            switch ((stride - cb) / kChannelBlock) {
            case 3: depthwisePixel<3>(a, window, out, cb, kyBegin, kyEnd, kxBegin, kxEnd); break;
            case 2: depthwisePixel<2>(a, window, out, cb, kyBegin, kyEnd, kxBegin, kxEnd); break;
            case 1: depthwisePixel<1>(a, window, out, cb, kyBegin, kyEnd, kxBegin, kxEnd); break;
            default: break;
            }
        }
    }
}

MIVORA_CNN_TARGET void add(const float* a, const float* b, float* out, std::size_t n, bool relu)
{
    for (std::size_t i = 0; i < n; i += kChannelBlock)
        store(out + i, activate(load(a + i) + load(b + i), relu));
}

#undef MIVORA_CNN_KERNEL
