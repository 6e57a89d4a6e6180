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

struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
};

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

// Requires: bgr holds width * height pixels of 3 bytes, blue first.
// Ensures:  gray is OpenCV's COLOR_BGR2GRAY of it, to the bit.
void bgrToGray(const unsigned char* bgr, int width, int height, GrayImage& gray);

// Requires: region lies inside src; out sides >= 1.
// Ensures:  out is region resized to outWidth x outHeight, averaging over
//           the source pixels when shrinking so that it does not alias.
void resizeRegion(const GrayImage& src, const PixelRect& region, int outWidth, int outHeight, GrayImage& out);

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
