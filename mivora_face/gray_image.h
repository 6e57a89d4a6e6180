// SPDX-License-Identifier: MIT
// GrayImage: the library's own 8-bit gray image, and the few pixel operations
// it needs. They are plain loops on purpose: OpenCV's versions run on its
// thread pool, which starts threads in the host process and keeps data for
// every thread that ever called.
#ifndef MIVORA_FACE_GRAY_IMAGE_H
#define MIVORA_FACE_GRAY_IMAGE_H

#include <dlib/image_processing/generic_image.h>

#include <cstddef>
#include <vector>

namespace mivora {

class GrayImage {
public:
    int width() const { return width_; }
    int height() const { return height_; }
    const unsigned char* row(int y) const { return pixels_.data() + static_cast<std::size_t>(y) * width_; }
    unsigned char* row(int y) { return pixels_.data() + static_cast<std::size_t>(y) * width_; }
    const unsigned char* data() const { return pixels_.data(); }
    unsigned char* data() { return pixels_.data(); }

    // Ensures: width x height pixels of unspecified value. Memory kept from a
    // much larger image is given back rather than held.
    void resize(int width, int height);
    // True when the last resize() gave back memory of a much larger image.
    bool releasedLargeBuffer() const { return releasedLargeBuffer_; }

private:
    int width_ = 0, height_ = 0;
    std::vector<unsigned char> pixels_;
    bool releasedLargeBuffer_ = false;
};

// OpenCV's COLOR_BGR2GRAY of one pixel, to the bit: fixed-point ITU-R BT.601
// weights with 15 fraction bits.
inline unsigned char grayOf(unsigned blue, unsigned green, unsigned red)
{
    return static_cast<unsigned char>((blue * 3735u + green * 19235u + red * 9798u + (1u << 14)) >> 15);
}
inline unsigned char grayOf(const unsigned char* bgr) { return grayOf(bgr[0], bgr[1], bgr[2]); }

// Pixels to read from without copying: a GrayImage, or the caller's image in
// place, read as gray pixel by pixel (for the few pixels tracking needs).
// A pixel is one gray byte (a gray image, or the luma of a YUV format), or
// three colour bytes; pixels of a row are pixelBytes apart.
struct ImageView {
    const unsigned char* data = nullptr; // the first pixel's first byte
    int width = 0, height = 0;
    std::size_t stride = 0; // bytes from one row to the next
    int pixelBytes = 1;
    bool colour = false; // three colour bytes per pixel, else one gray byte
    bool rgb = false;    // colour bytes in red-green-blue order, else blue-green-red

    static ImageView of(const GrayImage& gray)
    {
        return {gray.data(), gray.width(), gray.height(), static_cast<std::size_t>(gray.width())};
    }
    static ImageView ofBgr(const unsigned char* bgr, int width, int height)
    {
        return {bgr, width, height, static_cast<std::size_t>(width) * 3, 3, true, false};
    }
    // Requires: (x, y) inside the image.
    unsigned char gray(int x, int y) const
    {
        const unsigned char* p = data + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * pixelBytes;
        if (!colour)
            return *p;
        return rgb ? grayOf(p[2], p[1], p[0]) : grayOf(p[0], p[1], p[2]);
    }
};

// Ensures: gray is the image's gray value at every pixel (for colour pixels
//          OpenCV's COLOR_BGR2GRAY or COLOR_RGB2GRAY, to the bit).
//          Vectorised for AVX2 where the processor has it.
void toGray(const ImageView& image, GrayImage& gray);
// The same with x86-64's baseline instructions only (for tests).
void toGrayBaseline(const ImageView& image, GrayImage& gray);

// Requires: bgr holds width * height pixels of 3 bytes, blue first.
// Ensures:  gray is OpenCV's COLOR_BGR2GRAY of it, to the bit.
inline void bgrToGray(const unsigned char* bgr, int width, int height, GrayImage& gray)
{
    toGray(ImageView::ofBgr(bgr, width, height), gray);
}
inline void bgrToGrayBaseline(const unsigned char* bgr, int width, int height, GrayImage& gray)
{
    toGrayBaseline(ImageView::ofBgr(bgr, width, height), gray);
}

// A 2-D affine map: (x, y) -> (m[0] x + m[1] y + m[4], m[2] x + m[3] y + m[5]).
struct Affine {
    double m[6] = {1, 0, 0, 1, 0, 0};
    double x(double u, double v) const { return m[0] * u + m[1] * v + m[4]; }
    double y(double u, double v) const { return m[2] * u + m[3] * v + m[5]; }
};

// Requires: out sides >= 1; outToSource maps out's pixel centres into source.
// Ensures:  out is source sampled through outToSource, bilinear, from the
//           source averaged down by whole factors where the map shrinks, so
//           that it does not alias; outside source, the nearest edge pixel.
void warpToGray(const ImageView& source, const Affine& outToSource, int outWidth, int outHeight, GrayImage& out);

// Requires: out sides >= 1; outToSource maps out's pixel centres into
//           source and shrinks by less than 2 (sampling skips no pixel).
// Ensures:  out is source sampled through outToSource, bilinear at 1/256 of
//           a pixel (within two grey levels of warpToGray, mostly equal, and
//           faster: for whole frames); outside source, the nearest edge
//           pixel.
void warpGrayFast(const GrayImage& source, const Affine& outToSource, int outWidth, int outHeight, GrayImage& out);
// Ensures: half is source averaged over 2x2 blocks (a last odd row or
//          column is dropped); for a source at least 2 pixels wide and
//          tall, its pixel (i, j) is centred on source's (2i + 0.5, 2j + 0.5).
void halveGray(const GrayImage& source, GrayImage& half);

// dlib's generic image interface, so dlib's detector scans a GrayImage directly.
inline long num_rows(const GrayImage& image) { return image.height(); }
inline long num_columns(const GrayImage& image) { return image.width(); }
inline const void* image_data(const GrayImage& image) { return image.data(); }
inline void* image_data(GrayImage& image) { return image.data(); }
inline long width_step(const GrayImage& image) { return image.width(); }
inline void set_image_size(GrayImage& image, long rows, long cols)
{
    image.resize(static_cast<int>(cols), static_cast<int>(rows));
}

} // namespace mivora

namespace dlib {
template <> struct image_traits<mivora::GrayImage> {
    typedef unsigned char pixel_type;
};
} // namespace dlib

#endif
