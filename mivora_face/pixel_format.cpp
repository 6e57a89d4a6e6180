// SPDX-License-Identifier: MIT
#include "pixel_format.h"

#include <cstdint>

namespace mivora {

namespace {

struct Plane {
    std::size_t rowBytes;
    std::size_t rows;
};

// The planes format has at width x height (sides already checked), or 0 for
// an unknown format. Chroma of 4:2:0 and 4:2:2 covers ceil(width / 2)
// columns; of 4:2:0, ceil(height / 2) rows.
int planesOf(int format, int width, int height, Plane (&planes)[MIVORA_FACE_MAX_PLANES])
{
    const auto w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    const std::size_t halfW = (w + 1) / 2, halfH = (h + 1) / 2;
    switch (format) {
    case MIVORA_FACE_FORMAT_BGR:
    case MIVORA_FACE_FORMAT_RGB: planes[0] = {3 * w, h}; return 1;
    case MIVORA_FACE_FORMAT_BGRA:
    case MIVORA_FACE_FORMAT_RGBA:
    case MIVORA_FACE_FORMAT_BGRX:
    case MIVORA_FACE_FORMAT_RGBX: planes[0] = {4 * w, h}; return 1;
    case MIVORA_FACE_FORMAT_GRAY8: planes[0] = {w, h}; return 1;
    case MIVORA_FACE_FORMAT_NV12:
    case MIVORA_FACE_FORMAT_NV21:
        planes[0] = {w, h};
        planes[1] = {2 * halfW, halfH};
        return 2;
    case MIVORA_FACE_FORMAT_I420:
        planes[0] = {w, h};
        planes[1] = planes[2] = {halfW, halfH};
        return 3;
    case MIVORA_FACE_FORMAT_YUYV:
    case MIVORA_FACE_FORMAT_UYVY: planes[0] = {4 * halfW, h}; return 1;
    default: return 0;
    }
}

bool validSide(int side) { return side > 0 && side <= MIVORA_FACE_MAX_IMAGE_SIDE; }

bool validPlane(const unsigned char* data, std::ptrdiff_t stride, const Plane& plane)
{
    if (data == nullptr || stride < 0 || static_cast<std::size_t>(stride) < plane.rowBytes)
        return false;
    std::size_t extent = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(stride), plane.rows - 1, &extent) ||
        __builtin_add_overflow(extent, plane.rowBytes, &extent) || extent > PTRDIFF_MAX)
        return false;
    return extent <= UINTPTR_MAX - reinterpret_cast<std::uintptr_t>(data);
}

} // namespace

bool isValidImage(const MivoraFaceImage* image)
{
    if (image == nullptr || !validSide(image->width) || !validSide(image->height))
        return false;
    Plane planes[MIVORA_FACE_MAX_PLANES];
    const int count = planesOf(image->format, image->width, image->height, planes);
    if (count == 0)
        return false;
    for (int i = 0; i < count; ++i)
        if (!validPlane(image->planes[i], image->strides[i], planes[i]))
            return false;
    return true;
}

ImageView grayView(const MivoraFaceImage& image)
{
    ImageView view;
    view.data = image.planes[0];
    view.width = image.width;
    view.height = image.height;
    view.stride = static_cast<std::size_t>(image.strides[0]);
    switch (image.format) {
    case MIVORA_FACE_FORMAT_BGR:
    case MIVORA_FACE_FORMAT_RGB: view.pixelBytes = 3; break;
    case MIVORA_FACE_FORMAT_BGRA:
    case MIVORA_FACE_FORMAT_RGBA:
    case MIVORA_FACE_FORMAT_BGRX:
    case MIVORA_FACE_FORMAT_RGBX: view.pixelBytes = 4; break;
    case MIVORA_FACE_FORMAT_UYVY: view.data += 1; [[fallthrough]];
    case MIVORA_FACE_FORMAT_YUYV: view.pixelBytes = 2; break;
    default: view.pixelBytes = 1; // gray, or a luma plane
    }
    view.colour = view.pixelBytes >= 3;
    view.rgb = image.format == MIVORA_FACE_FORMAT_RGB || image.format == MIVORA_FACE_FORMAT_RGBA ||
               image.format == MIVORA_FACE_FORMAT_RGBX;
    return view;
}

} // namespace mivora
