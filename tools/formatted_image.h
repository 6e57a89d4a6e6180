// SPDX-License-Identifier: MIT
// A BGR picture laid out in any MivoraFaceImage pixel format, with optional
// padding after each row, for tests and the benchmark. Each plane is its own
// allocation of exactly its extent, so that a read beyond it is caught by
// AddressSanitizer; padding bytes are random, so that reading them changes
// the answer.
//
// The YUV formats are made at full range (JPEG's YCbCr) with the luma
// exactly OpenCV's COLOR_BGR2GRAY of the picture: the library then sees the
// same gray image as from the BGR picture. Chroma is averaged over each
// 2x1 or 2x2 block.
#ifndef TOOLS_FORMATTED_IMAGE_H
#define TOOLS_FORMATTED_IMAGE_H

#include "mivora_face.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace mivora {

inline const char* formatName(int format)
{
    static const char* const names[MIVORA_FACE_FORMAT_COUNT] = {"BGR",   "RGB",  "BGRA", "RGBA", "BGRX", "RGBX",
                                                                "GRAY8", "NV12", "NV21", "I420", "YUYV", "UYVY"};
    return format >= 0 && format < MIVORA_FACE_FORMAT_COUNT ? names[format] : "unknown";
}

class FormattedImage {
public:
    // Requires: bgr is CV_8UC3, format one of MIVORA_FACE_FORMAT_*.
    FormattedImage(const cv::Mat& bgr, int format, int padding = 0, unsigned seed = 1)
    {
        image_.format = format;
        image_.width = bgr.cols;
        image_.height = bgr.rows;
        cv::RNG rng(seed);
        const int w = bgr.cols, h = bgr.rows, halfW = (w + 1) / 2, halfH = (h + 1) / 2;
        cv::Mat gray, ycrcb;
        cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
        cv::cvtColor(bgr, ycrcb, cv::COLOR_BGR2YCrCb);
        // Chroma of the 2x2 (or, for 4:2:2, 2x1) block at chroma pixel (x, y).
        const auto chroma = [&](int x, int y, int channel, bool vertical) {
            int sum = 0, count = 0;
            for (int dy = 0; dy < (vertical ? 2 : 1); ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    const int px = std::min(2 * x + dx, w - 1), py = std::min((vertical ? 2 * y : y) + dy, h - 1);
                    sum += ycrcb.at<cv::Vec3b>(py, px)[channel];
                    ++count;
                }
            return static_cast<unsigned char>((sum + count / 2) / count);
        };
        constexpr int kCr = 1, kCb = 2; // YCrCb channel order
        switch (format) {
        case MIVORA_FACE_FORMAT_BGR:
        case MIVORA_FACE_FORMAT_RGB:
        case MIVORA_FACE_FORMAT_BGRA:
        case MIVORA_FACE_FORMAT_RGBA:
        case MIVORA_FACE_FORMAT_BGRX:
        case MIVORA_FACE_FORMAT_RGBX: {
            const int bytes = format <= MIVORA_FACE_FORMAT_RGB ? 3 : 4;
            const bool rgb = format == MIVORA_FACE_FORMAT_RGB || format == MIVORA_FACE_FORMAT_RGBA ||
                             format == MIVORA_FACE_FORMAT_RGBX;
            unsigned char* out = addPlane(bytes * w, h, padding, rng);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const cv::Vec3b& p = bgr.at<cv::Vec3b>(y, x);
                    unsigned char* q = out + y * image_.strides[0] + bytes * x;
                    q[0] = rgb ? p[2] : p[0];
                    q[1] = p[1];
                    q[2] = rgb ? p[0] : p[2];
                    if (bytes == 4)
                        q[3] = static_cast<unsigned char>(rng.uniform(0, 256)); // never read
                }
            break;
        }
        case MIVORA_FACE_FORMAT_GRAY8: copyRows(gray, addPlane(w, h, padding, rng), 0); break;
        case MIVORA_FACE_FORMAT_NV12:
        case MIVORA_FACE_FORMAT_NV21:
        case MIVORA_FACE_FORMAT_I420: {
            copyRows(gray, addPlane(w, h, padding, rng), 0);
            if (format == MIVORA_FACE_FORMAT_I420) {
                for (const int channel : {kCb, kCr}) {
                    const int plane = planeCount_;
                    unsigned char* out = addPlane(halfW, halfH, padding, rng);
                    for (int y = 0; y < halfH; ++y)
                        for (int x = 0; x < halfW; ++x)
                            out[y * image_.strides[plane] + x] = chroma(x, y, channel, true);
                }
            } else {
                const bool vFirst = format == MIVORA_FACE_FORMAT_NV21;
                unsigned char* out = addPlane(2 * halfW, halfH, padding, rng);
                for (int y = 0; y < halfH; ++y)
                    for (int x = 0; x < halfW; ++x) {
                        out[y * image_.strides[1] + 2 * x] = chroma(x, y, vFirst ? kCr : kCb, true);
                        out[y * image_.strides[1] + 2 * x + 1] = chroma(x, y, vFirst ? kCb : kCr, true);
                    }
            }
            break;
        }
        case MIVORA_FACE_FORMAT_YUYV:
        case MIVORA_FACE_FORMAT_UYVY: {
            const bool yFirst = format == MIVORA_FACE_FORMAT_YUYV;
            unsigned char* out = addPlane(4 * halfW, h, padding, rng);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < halfW; ++x) {
                    unsigned char* q = out + y * image_.strides[0] + 4 * x;
                    const unsigned char y0 = gray.at<unsigned char>(y, 2 * x);
                    // An odd width's last pair repeats its pixel, as encoders pad it.
                    const unsigned char y1 = gray.at<unsigned char>(y, std::min(2 * x + 1, w - 1));
                    const unsigned char u = chroma(x, y, kCb, false), v = chroma(x, y, kCr, false);
                    const std::array<unsigned char, 4> pair = yFirst ? std::array<unsigned char, 4>{y0, u, y1, v}
                                                                     : std::array<unsigned char, 4>{u, y0, v, y1};
                    std::copy(pair.begin(), pair.end(), q);
                }
            break;
        }
        default: break;
        }
    }
    FormattedImage(const FormattedImage&) = delete;
    FormattedImage& operator=(const FormattedImage&) = delete;

    const MivoraFaceImage& image() const { return image_; }
    int planeCount() const { return planeCount_; }
    // The plane's bytes, exactly its extent.
    std::vector<unsigned char>& plane(int i) { return planes_[i]; }

private:
    unsigned char* addPlane(int rowBytes, int rows, int padding, cv::RNG& rng)
    {
        const std::ptrdiff_t stride = rowBytes + padding;
        std::vector<unsigned char>& bytes = planes_[planeCount_];
        bytes.resize(static_cast<std::size_t>(stride) * (rows - 1) + rowBytes);
        for (unsigned char& b : bytes)
            b = static_cast<unsigned char>(rng.uniform(0, 256));
        image_.planes[planeCount_] = bytes.data();
        image_.strides[planeCount_] = stride;
        ++planeCount_;
        return bytes.data();
    }
    void copyRows(const cv::Mat& gray, unsigned char* out, int plane)
    {
        for (int y = 0; y < gray.rows; ++y)
            std::copy(gray.ptr(y), gray.ptr(y) + gray.cols, out + y * image_.strides[plane]);
    }

    MivoraFaceImage image_{};
    std::array<std::vector<unsigned char>, MIVORA_FACE_MAX_PLANES> planes_;
    int planeCount_ = 0;
};

} // namespace mivora

#endif
