// SPDX-License-Identifier: MIT
// Pixel formats on their own: which descriptions are accepted, and the gray
// values read from each format against OpenCV's conversions.
#include "formatted_image.h"
#include "gray_image.h"
#include "pixel_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using mivora::formatName;
using mivora::FormattedImage;

cv::Mat noisePicture(cv::Size size)
{
    cv::Mat bgr(size, CV_8UC3);
    cv::RNG rng(7);
    rng.fill(bgr, cv::RNG::UNIFORM, 0, 256);
    return bgr;
}

// OpenCV's gray conversion of the very bytes the library reads, or the luma
// samples themselves where OpenCV takes no such layout (odd 4:2:x sizes).
cv::Mat openCvGray(const MivoraFaceImage& image)
{
    const int w = image.width, h = image.height, format = image.format;
    const auto plane = [&](int i, int type, int cols, int rows) {
        return cv::Mat(rows, cols, type, const_cast<unsigned char*>(image.planes[i]),
                       static_cast<std::size_t>(image.strides[i]));
    };
    cv::Mat gray;
    switch (format) {
    case MIVORA_FACE_FORMAT_BGR: cv::cvtColor(plane(0, CV_8UC3, w, h), gray, cv::COLOR_BGR2GRAY); break;
    case MIVORA_FACE_FORMAT_RGB: cv::cvtColor(plane(0, CV_8UC3, w, h), gray, cv::COLOR_RGB2GRAY); break;
    case MIVORA_FACE_FORMAT_BGRA:
    case MIVORA_FACE_FORMAT_BGRX: cv::cvtColor(plane(0, CV_8UC4, w, h), gray, cv::COLOR_BGRA2GRAY); break;
    case MIVORA_FACE_FORMAT_RGBA:
    case MIVORA_FACE_FORMAT_RGBX: cv::cvtColor(plane(0, CV_8UC4, w, h), gray, cv::COLOR_RGBA2GRAY); break;
    case MIVORA_FACE_FORMAT_GRAY8: gray = plane(0, CV_8UC1, w, h).clone(); break;
    case MIVORA_FACE_FORMAT_NV12:
    case MIVORA_FACE_FORMAT_NV21:
    case MIVORA_FACE_FORMAT_I420:
        if (w % 2 == 0 && h % 2 == 0) {
            // OpenCV takes 4:2:0 as one buffer: luma rows, then chroma rows.
            cv::Mat whole(h * 3 / 2, w, CV_8UC1);
            plane(0, CV_8UC1, w, h).copyTo(whole.rowRange(0, h));
            if (format == MIVORA_FACE_FORMAT_I420) {
                plane(1, CV_8UC1, w / 2, h / 2).clone().reshape(1, h / 4).copyTo(whole.rowRange(h, h + h / 4));
                plane(2, CV_8UC1, w / 2, h / 2).clone().reshape(1, h / 4).copyTo(whole.rowRange(h + h / 4, h * 3 / 2));
            } else {
                plane(1, CV_8UC1, w, h / 2).copyTo(whole.rowRange(h, h * 3 / 2));
            }
            const int code = format == MIVORA_FACE_FORMAT_NV12   ? cv::COLOR_YUV2GRAY_NV12
                             : format == MIVORA_FACE_FORMAT_NV21 ? cv::COLOR_YUV2GRAY_NV21
                                                                 : cv::COLOR_YUV2GRAY_I420;
            cv::cvtColor(whole, gray, code);
        } else {
            gray = plane(0, CV_8UC1, w, h).clone();
        }
        break;
    case MIVORA_FACE_FORMAT_YUYV:
    case MIVORA_FACE_FORMAT_UYVY:
        if (w % 2 == 0) {
            cv::cvtColor(plane(0, CV_8UC2, w, h), gray,
                         format == MIVORA_FACE_FORMAT_YUYV ? cv::COLOR_YUV2GRAY_YUY2 : cv::COLOR_YUV2GRAY_UYVY);
        } else {
            gray.create(h, w, CV_8UC1);
            const int offset = format == MIVORA_FACE_FORMAT_YUYV ? 0 : 1;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    gray.at<unsigned char>(y, x) = image.planes[0][y * image.strides[0] + 2 * x + offset];
        }
        break;
    default: break;
    }
    return gray;
}

cv::Mat asMat(const mivora::GrayImage& gray)
{
    return cv::Mat(gray.height(), gray.width(), CV_8UC1, const_cast<unsigned char*>(gray.data()));
}

} // namespace

// Every format, odd and even sizes, rows packed and padded: the whole-frame
// conversion (with the processor's best instructions and with the baseline
// ones) and the pixel-by-pixel reads tracking makes all give OpenCV's gray.
TEST(PixelFormat, GrayValuesAreOpenCvsForEveryFormat)
{
    for (const cv::Size size : {cv::Size(64, 48), cv::Size(37, 23), cv::Size(1, 1), cv::Size(3, 2)})
        for (const int padding : {0, 13})
            for (int format = 0; format < MIVORA_FACE_FORMAT_COUNT; ++format) {
                FormattedImage formatted(noisePicture(size), format, padding);
                const MivoraFaceImage& image = formatted.image();
                const std::string where = std::string(formatName(format)) + " " + std::to_string(size.width) + "x" +
                                          std::to_string(size.height) + " padding " + std::to_string(padding);
                ASSERT_TRUE(mivora::isValidImage(&image)) << where;
                const cv::Mat expected = openCvGray(image);
                const mivora::ImageView view = mivora::grayView(image);
                mivora::GrayImage best, baseline;
                mivora::toGray(view, best);
                mivora::toGrayBaseline(view, baseline);
                EXPECT_EQ(cv::norm(expected, asMat(best), cv::NORM_INF), 0) << where;
                EXPECT_EQ(cv::norm(expected, asMat(baseline), cv::NORM_INF), 0) << where << ", baseline";
                int wrong = 0;
                for (int y = 0; y < size.height; ++y)
                    for (int x = 0; x < size.width; ++x)
                        wrong += view.gray(x, y) != expected.at<unsigned char>(y, x);
                EXPECT_EQ(wrong, 0) << where << ", pixel by pixel";
            }
}

// The smallest valid strides are accepted for every format and odd size;
// each way a description can be wrong is refused.
TEST(PixelFormat, DescriptionsAreCheckedPlaneByPlane)
{
    EXPECT_FALSE(mivora::isValidImage(nullptr));
    for (int format = 0; format < MIVORA_FACE_FORMAT_COUNT; ++format)
        for (const cv::Size size : {cv::Size(5, 3), cv::Size(1, 1), cv::Size(6, 4)}) {
            FormattedImage formatted(noisePicture(size), format);
            const MivoraFaceImage good = formatted.image();
            const std::string where =
                std::string(formatName(format)) + " " + std::to_string(size.width) + "x" + std::to_string(size.height);
            ASSERT_TRUE(mivora::isValidImage(&good)) << where;

            MivoraFaceImage bad = good;
            for (const int unknown : {-1, MIVORA_FACE_FORMAT_COUNT, 1000}) {
                bad.format = unknown;
                EXPECT_FALSE(mivora::isValidImage(&bad)) << where << ", format " << unknown;
            }
            for (const int side : {0, -1, MIVORA_FACE_MAX_IMAGE_SIDE + 1}) {
                bad = good;
                bad.width = side;
                EXPECT_FALSE(mivora::isValidImage(&bad)) << where << ", width " << side;
                bad = good;
                bad.height = side;
                EXPECT_FALSE(mivora::isValidImage(&bad)) << where << ", height " << side;
            }
            for (int i = 0; i < formatted.planeCount(); ++i) {
                const std::string plane = where + ", plane " + std::to_string(i);
                bad = good;
                bad.planes[i] = nullptr;
                EXPECT_FALSE(mivora::isValidImage(&bad)) << plane << " NULL";
                // One byte short of a row (the chroma rows of odd widths
                // included), negative, and extents that overflow.
                for (const std::ptrdiff_t stride :
                     {good.strides[i] - 1, std::ptrdiff_t{-1}, -good.strides[i],
                      std::numeric_limits<std::ptrdiff_t>::max(), std::numeric_limits<std::ptrdiff_t>::max() - 2}) {
                    if (stride >= good.strides[i] && size.height == 1)
                        continue; // one row: the stride is never stepped
                    bad = good;
                    bad.strides[i] = stride;
                    EXPECT_FALSE(mivora::isValidImage(&bad)) << plane << " stride " << stride;
                }
                // A plane that would run past the end of the address space.
                bad = good;
                bad.planes[i] = reinterpret_cast<const unsigned char*>(std::uintptr_t{0} - 1);
                EXPECT_FALSE(mivora::isValidImage(&bad)) << plane << " at the top of the address space";
            }
            // What lies beyond the format's planes is ignored.
            MivoraFaceImage extra = good;
            for (int i = formatted.planeCount(); i < MIVORA_FACE_MAX_PLANES; ++i) {
                extra.planes[i] = nullptr;
                extra.strides[i] = -5;
            }
            EXPECT_TRUE(mivora::isValidImage(&extra)) << where;
        }
}
