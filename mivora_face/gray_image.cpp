// SPDX-License-Identifier: MIT
#include "gray_image.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace mivora {

namespace {

// Buffers above this size are not kept for smaller images.
constexpr std::size_t kKeptBufferBytes = std::size_t{4} << 20;

// Each row conversion is one plain loop, so that the compiler vectorises it
// for each instruction set; AVX2 halves the colour conversions' time.
using RowToGray = void (*)(const unsigned char* in, unsigned char* out, std::size_t count);

template <int PixelBytes, bool Rgb>
inline __attribute__((always_inline)) void colourRow(const unsigned char* __restrict in, unsigned char* __restrict out,
                                                     std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* p = in + PixelBytes * i;
        out[i] = Rgb ? grayOf(p[2], p[1], p[0]) : grayOf(p[0], p[1], p[2]);
    }
}

// The luma bytes of packed 4:2:2 YUV, every other byte.
inline __attribute__((always_inline)) void lumaRow(const unsigned char* __restrict in, unsigned char* __restrict out,
                                                   std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = in[2 * i];
}

void copyRow(const unsigned char* in, unsigned char* out, std::size_t count) { std::memcpy(out, in, count); }

// The conversions for one instruction set, by kind of pixel.
struct RowConversions {
    RowToGray bgr, rgb, bgrx, rgbx, luma2;
};

template <int PixelBytes, bool Rgb> void colourRowBaseline(const unsigned char* in, unsigned char* out, std::size_t n)
{
    colourRow<PixelBytes, Rgb>(in, out, n);
}
void lumaRowBaseline(const unsigned char* in, unsigned char* out, std::size_t n) { lumaRow(in, out, n); }
template <int PixelBytes, bool Rgb>
__attribute__((target("avx2"))) void colourRowAvx2(const unsigned char* in, unsigned char* out, std::size_t n)
{
    colourRow<PixelBytes, Rgb>(in, out, n);
}
__attribute__((target("avx2"))) void lumaRowAvx2(const unsigned char* in, unsigned char* out, std::size_t n)
{
    lumaRow(in, out, n);
}

constexpr RowConversions kBaseline = {colourRowBaseline<3, false>, colourRowBaseline<3, true>,
                                      colourRowBaseline<4, false>, colourRowBaseline<4, true>, lumaRowBaseline};
constexpr RowConversions kAvx2 = {colourRowAvx2<3, false>, colourRowAvx2<3, true>, colourRowAvx2<4, false>,
                                  colourRowAvx2<4, true>, lumaRowAvx2};

void convert(const RowConversions& conversions, const ImageView& image, GrayImage& gray)
{
    gray.resize(image.width, image.height);
    RowToGray row = nullptr;
    if (image.colour && image.pixelBytes == 3)
        row = image.rgb ? conversions.rgb : conversions.bgr;
    else if (image.colour && image.pixelBytes == 4)
        row = image.rgb ? conversions.rgbx : conversions.bgrx;
    else if (!image.colour && image.pixelBytes == 1)
        row = copyRow;
    else if (!image.colour && image.pixelBytes == 2)
        row = conversions.luma2;
    const auto width = static_cast<std::size_t>(image.width);
    if (row == nullptr) { // no other layout is made; kept correct all the same
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x)
                gray.row(y)[x] = image.gray(x, y);
        return;
    }
    if (image.stride == width * static_cast<std::size_t>(image.pixelBytes)) {
        // Rows without padding: one long row, which vectorises best.
        row(image.data, gray.data(), width * static_cast<std::size_t>(image.height));
        return;
    }
    for (int y = 0; y < image.height; ++y)
        row(image.data + static_cast<std::size_t>(y) * image.stride, gray.row(y), width);
}

} // namespace

void GrayImage::resize(int width, int height)
{
    const std::size_t needed = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    releasedLargeBuffer_ = false;
    if (pixels_.capacity() > kKeptBufferBytes && pixels_.capacity() > 2 * needed) {
        std::vector<unsigned char>().swap(pixels_);
        releasedLargeBuffer_ = true;
    }
    pixels_.resize(needed);
    width_ = width;
    height_ = height;
}

void toGray(const ImageView& image, GrayImage& gray)
{
    convert(__builtin_cpu_supports("avx2") ? kAvx2 : kBaseline, image, gray);
}

void toGrayBaseline(const ImageView& image, GrayImage& gray) { convert(kBaseline, image, gray); }

namespace {

// out(u, v) = pixels bilinear at toPixels(u, v), clamped to the w x h area.
template <typename Pixel>
void sampleBilinear(const Pixel* pixels, std::size_t stride, int w, int h, const Affine& toPixels, int outWidth,
                    int outHeight, GrayImage& out)
{
    out.resize(outWidth, outHeight);
    const float lastX = static_cast<float>(w - 1), lastY = static_cast<float>(h - 1);
    const float dxdu = static_cast<float>(toPixels.m[0]), dydu = static_cast<float>(toPixels.m[2]);
    for (int v = 0; v < outHeight; ++v) {
        unsigned char* row = out.row(v);
        float x = static_cast<float>(toPixels.x(0, v)), y = static_cast<float>(toPixels.y(0, v));
        for (int u = 0; u < outWidth; ++u, x += dxdu, y += dydu) {
            const float cx = std::clamp(x, 0.0f, lastX), cy = std::clamp(y, 0.0f, lastY);
            const int x0 = static_cast<int>(cx), y0 = static_cast<int>(cy);
            const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
            const float wx = cx - static_cast<float>(x0), wy = cy - static_cast<float>(y0);
            const Pixel* r0 = pixels + static_cast<std::size_t>(y0) * stride;
            const Pixel* r1 = pixels + static_cast<std::size_t>(y1) * stride;
            const float a = static_cast<float>(r0[x0]), b = static_cast<float>(r0[x1]);
            const float c = static_cast<float>(r1[x0]), d = static_cast<float>(r1[x1]);
            const float upper = a + wx * (b - a);
            const float lower = c + wx * (d - c);
            row[u] = static_cast<unsigned char>(upper + wy * (lower - upper) + 0.5f);
        }
    }
}

} // namespace

void warpToGray(const ImageView& source, const Affine& outToSource, int outWidth, int outHeight, GrayImage& out)
{
    // Source pixels per output pixel; the source is first averaged down by
    // the whole part of that, so that sampling it bilinearly skips nothing
    // (much as OpenCV's area resize), and only the part the output covers
    // is converted.
    const double step =
        std::min(std::hypot(outToSource.m[0], outToSource.m[2]), std::hypot(outToSource.m[1], outToSource.m[3]));
    const int factor = std::max(1, static_cast<int>(step + 1e-6));
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    for (const double u : {-0.5, outWidth - 0.5})
        for (const double v : {-0.5, outHeight - 0.5}) {
            minX = std::min(minX, outToSource.x(u, v)), maxX = std::max(maxX, outToSource.x(u, v));
            minY = std::min(minY, outToSource.y(u, v)), maxY = std::max(maxY, outToSource.y(u, v));
        }
    const auto clampTo = [](double value, int limit) {
        return static_cast<int>(std::clamp(value, 0.0, static_cast<double>(limit)));
    };
    const int left = clampTo(std::floor(minX) - factor, source.width - 1);
    const int top = clampTo(std::floor(minY) - factor, source.height - 1);
    const int right = clampTo(std::ceil(maxX) + factor + 1, source.width);
    const int bottom = clampTo(std::ceil(maxY) + factor + 1, source.height);
    const int smallWidth = std::max(1, (right - left) / factor);
    const int smallHeight = std::max(1, (bottom - top) / factor);

    if (factor == 1 && !source.colour && source.pixelBytes == 1) {
        // Gray and not shrunk: sampled straight from the source, to the same bits.
        Affine toCovered = outToSource;
        toCovered.m[4] -= left;
        toCovered.m[5] -= top;
        sampleBilinear(source.data + static_cast<std::size_t>(top) * source.stride + left, source.stride, smallWidth,
                       smallHeight, toCovered, outWidth, outHeight, out);
        return;
    }
    std::vector<float> small(static_cast<std::size_t>(smallWidth) * smallHeight);
    const float blockWeight = 1.0f / static_cast<float>(factor * factor);
    for (int y = 0; y < smallHeight; ++y) {
        float* row = small.data() + static_cast<std::size_t>(y) * smallWidth;
        for (int x = 0; x < smallWidth; ++x) {
            int sum = 0;
            for (int dy = 0; dy < factor; ++dy) {
                const int sy = std::min(top + y * factor + dy, source.height - 1);
                for (int dx = 0; dx < factor; ++dx)
                    sum += source.gray(std::min(left + x * factor + dx, source.width - 1), sy);
            }
            row[x] = static_cast<float>(sum) * blockWeight;
        }
    }

    // Output pixel -> small image: small pixel i is centred on source
    // left + i * factor + (factor - 1) / 2.
    const double shift = (factor - 1) / 2.0;
    Affine toSmall;
    for (int i = 0; i < 4; ++i)
        toSmall.m[i] = outToSource.m[i] / factor;
    toSmall.m[4] = (outToSource.m[4] - left - shift) / factor;
    toSmall.m[5] = (outToSource.m[5] - top - shift) / factor;
    sampleBilinear(small.data(), static_cast<std::size_t>(smallWidth), smallWidth, smallHeight, toSmall, outWidth,
                   outHeight, out);
}

void warpGrayFast(const GrayImage& source, const Affine& outToSource, int outWidth, int outHeight, GrayImage& out)
{
    // 16.16 fixed point along each row; weights rounded to 8 bits.
    out.resize(outWidth, outHeight);
    const int w = source.width(), h = source.height();
    const std::int64_t lastX = static_cast<std::int64_t>(w - 1) << 16, lastY = static_cast<std::int64_t>(h - 1) << 16;
    const auto fixed = [](double value) { return static_cast<std::int64_t>(std::llround(value * 65536.0)); };
    const std::int64_t dxdu = fixed(outToSource.m[0]), dydu = fixed(outToSource.m[2]);
    for (int v = 0; v < outHeight; ++v) {
        unsigned char* row = out.row(v);
        std::int64_t x = fixed(outToSource.x(0, v)), y = fixed(outToSource.y(0, v));
        for (int u = 0; u < outWidth; ++u, x += dxdu, y += dydu) {
            const std::int64_t cx = std::clamp<std::int64_t>(x, 0, lastX), cy = std::clamp<std::int64_t>(y, 0, lastY);
            // Rounded to 1/256 of a pixel, then split into pixel and weight.
            const std::int64_t rx = (cx + 128) >> 8, ry = (cy + 128) >> 8;
            const int x0 = static_cast<int>(rx >> 8), y0 = static_cast<int>(ry >> 8);
            const int wx = static_cast<int>(rx & 255), wy = static_cast<int>(ry & 255);
            const unsigned char* r0 = source.row(y0) + x0;
            const unsigned char* r1 = y0 + 1 < h ? r0 + w : r0;
            const int right = x0 + 1 < w ? 1 : 0;
            const int upper = r0[0] * (256 - wx) + r0[right] * wx;
            const int lower = r1[0] * (256 - wx) + r1[right] * wx;
            row[u] = static_cast<unsigned char>((upper * (256 - wy) + lower * wy + 32768) >> 16);
        }
    }
}

void halveGray(const GrayImage& source, GrayImage& half)
{
    const int w = std::max(1, source.width() / 2), h = std::max(1, source.height() / 2);
    half.resize(w, h);
    for (int y = 0; y < h; ++y) {
        const unsigned char* a = source.row(std::min(2 * y, source.height() - 1));
        const unsigned char* b = source.row(std::min(2 * y + 1, source.height() - 1));
        unsigned char* out = half.row(y);
        if (source.width() < 2) {
            out[0] = static_cast<unsigned char>((a[0] + b[0] + 1) >> 1);
            continue;
        }
        for (int x = 0; x < w; ++x)
            out[x] = static_cast<unsigned char>((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) >> 2);
    }
}

} // namespace mivora
