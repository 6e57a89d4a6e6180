#include "gray_image.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace mivora {

namespace {

// Buffers above this size are not kept for smaller images.
constexpr std::size_t kKeptBufferBytes = std::size_t{4} << 20;

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
        out[i] = grayOf(bgr);
}

void warpToGray(const ImageView& source, const Affine& outToSource, int outWidth, int outHeight, GrayImage& out)
{
    out.resize(outWidth, outHeight);
    // Source pixels per output pixel along each output axis; that many
    // samples per axis (at most 4) cover the source without gaps.
    const double stepU = std::hypot(outToSource.m[0], outToSource.m[2]);
    const double stepV = std::hypot(outToSource.m[1], outToSource.m[3]);
    const int samplesU = std::clamp(static_cast<int>(std::ceil(stepU - 1e-6)), 1, 4);
    const int samplesV = std::clamp(static_cast<int>(std::ceil(stepV - 1e-6)), 1, 4);
    const double maxX = source.width - 1.0, maxY = source.height - 1.0;
    const auto bilinear = [&](double x, double y) {
        x = std::clamp(x, 0.0, maxX);
        y = std::clamp(y, 0.0, maxY);
        const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
        const int x1 = std::min(x0 + 1, source.width - 1), y1 = std::min(y0 + 1, source.height - 1);
        const double wx = x - x0, wy = y - y0;
        const double top = source.gray(x0, y0) + wx * (source.gray(x1, y0) - source.gray(x0, y0));
        const double bottom = source.gray(x0, y1) + wx * (source.gray(x1, y1) - source.gray(x0, y1));
        return top + wy * (bottom - top);
    };
    const double weight = 1.0 / (samplesU * samplesV);
    for (int v = 0; v < outHeight; ++v) {
        unsigned char* row = out.row(v);
        for (int u = 0; u < outWidth; ++u) {
            double sum = 0;
            for (int j = 0; j < samplesV; ++j)
                for (int i = 0; i < samplesU; ++i) {
                    const double su = u + (i + 0.5) / samplesU - 0.5;
                    const double sv = v + (j + 0.5) / samplesV - 0.5;
                    sum += bilinear(outToSource.x(su, sv), outToSource.y(su, sv));
                }
            row[u] = static_cast<unsigned char>(sum * weight + 0.5);
        }
    }
}

} // namespace mivora
