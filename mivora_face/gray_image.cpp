#include "gray_image.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace mivora {

namespace {

// Buffers above this size are not kept for smaller images.
constexpr std::size_t kKeptBufferBytes = std::size_t{4} << 20;

// OpenCV's fixed-point BGR to gray weights (ITU-R BT.601), 15 fraction bits.
constexpr std::uint32_t kBlueWeight = 3735, kGreenWeight = 19235, kRedWeight = 9798;
constexpr int kWeightShift = 15;

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

void bgrToGray(const unsigned char* bgr, int width, int height, GrayImage& gray)
{
    gray.resize(width, height);
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    unsigned char* out = gray.data();
    for (std::size_t i = 0; i < count; ++i, bgr += 3)
        out[i] = static_cast<unsigned char>(
            (bgr[0] * kBlueWeight + bgr[1] * kGreenWeight + bgr[2] * kRedWeight + (1u << (kWeightShift - 1))) >>
            kWeightShift);
}

void resizeRegion(const GrayImage& src, const PixelRect& region, int outWidth, int outHeight, GrayImage& out)
{
    // Shrink by whole factors with box averages first, so the bilinear step
    // below never skips source pixels.
    const int factor = std::max(1, std::min(region.width / outWidth, region.height / outHeight));
    GrayImage boxed;
    const GrayImage* from = &src;
    PixelRect area = region;
    if (factor > 1) {
        boxed.resize(region.width / factor, region.height / factor);
        const int area2 = factor * factor;
        for (int y = 0; y < boxed.height(); ++y) {
            unsigned char* row = boxed.row(y);
            for (int x = 0; x < boxed.width(); ++x) {
                int sum = 0;
                for (int dy = 0; dy < factor; ++dy) {
                    const unsigned char* in = src.row(region.y + y * factor + dy) + region.x + x * factor;
                    for (int dx = 0; dx < factor; ++dx)
                        sum += in[dx];
                }
                row[x] = static_cast<unsigned char>((sum + area2 / 2) / area2);
            }
        }
        from = &boxed;
        area = PixelRect{0, 0, boxed.width(), boxed.height()};
    }

    out.resize(outWidth, outHeight);
    const double sx = static_cast<double>(area.width) / outWidth;
    const double sy = static_cast<double>(area.height) / outHeight;
    for (int y = 0; y < outHeight; ++y) {
        // Pixel centres map to pixel centres.
        const double fy = std::clamp((y + 0.5) * sy - 0.5, 0.0, area.height - 1.0);
        const int y0 = static_cast<int>(fy);
        const int y1 = std::min(y0 + 1, area.height - 1);
        const float wy = static_cast<float>(fy - y0);
        const unsigned char* top = from->row(area.y + y0) + area.x;
        const unsigned char* bottom = from->row(area.y + y1) + area.x;
        unsigned char* row = out.row(y);
        for (int x = 0; x < outWidth; ++x) {
            const double fx = std::clamp((x + 0.5) * sx - 0.5, 0.0, area.width - 1.0);
            const int x0 = static_cast<int>(fx);
            const int x1 = std::min(x0 + 1, area.width - 1);
            const float wx = static_cast<float>(fx - x0);
            const float upper = top[x0] + wx * (top[x1] - top[x0]);
            const float lower = bottom[x0] + wx * (bottom[x1] - bottom[x0]);
            row[x] = static_cast<unsigned char>(upper + wy * (lower - upper) + 0.5f);
        }
    }
}

} // namespace mivora
