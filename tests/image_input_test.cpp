// SPDX-License-Identifier: MIT
// Images in every pixel format, with and without row padding, and regions of
// larger frames, through the C API: the faces and points of the packed BGR
// picture, in the given image's coordinates; bad descriptions refused.
#include "formatted_image.h"
#include "mivora_face.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

namespace {

using mivora::formatName;
using mivora::FormattedImage;

struct Face {
    MivoraFaceBox box{};
    std::array<float, MIVORA_FACE_LANDMARK_VALUE_COUNT> points{};
};

using TrackerHandle = std::unique_ptr<MivoraFaceTracker, decltype(&MivoraFaceTrackerDestroy)>;

TrackerHandle newTracker() { return {MivoraFaceTrackerCreate(), MivoraFaceTrackerDestroy}; }

// The faces of one detection on tracker, or of the calling thread's when
// tracker is null; a negative count is the call's error.
std::vector<Face> facesOf(MivoraFaceTracker* tracker, const MivoraFaceImage& image, int mode, int* status = nullptr)
{
    const int count =
        tracker ? MivoraFaceTrackerDetectImage(tracker, &image, mode) : MivoraFaceDetectImage(&image, mode);
    if (status)
        *status = count;
    std::vector<Face> faces(std::max(count, 0));
    for (int i = 0; i < count; ++i) {
        Face& face = faces[i];
        EXPECT_EQ(tracker ? MivoraFaceTrackerGetBox(tracker, i, &face.box) : MivoraGetFaceBoxStd(i, &face.box),
                  MIVORA_FACE_OK);
        EXPECT_EQ(tracker ? MivoraFaceTrackerGetLandmark68(tracker, i, face.points.data())
                          : MivoraGetFaceLandmark68Std(i, face.points.data()),
                  MIVORA_FACE_OK);
    }
    return faces;
}

// The largest distance between corresponding points (and box corners) of
// two detections of the same faces; infinite when the face counts differ.
double largestDifference(const std::vector<Face>& a, const std::vector<Face>& b, cv::Point2f shift = {})
{
    if (a.size() != b.size())
        return INFINITY;
    double largest = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (int p = 0; p < MIVORA_FACE_LANDMARK_POINT_COUNT; ++p)
            largest = std::max<double>(largest, std::hypot(a[i].points[2 * p] - b[i].points[2 * p] - shift.x,
                                                           a[i].points[2 * p + 1] - b[i].points[2 * p + 1] - shift.y));
        largest =
            std::max<double>(largest, std::hypot(a[i].box.x - b[i].box.x - shift.x, a[i].box.y - b[i].box.y - shift.y));
        largest = std::max(largest, static_cast<double>(std::abs(a[i].box.width - b[i].box.width)));
    }
    return largest;
}

MivoraFaceImage packedBgr(const cv::Mat& bgr)
{
    MivoraFaceImage image{};
    image.format = MIVORA_FACE_FORMAT_BGR;
    image.width = bgr.cols;
    image.height = bgr.rows;
    image.planes[0] = bgr.data;
    image.strides[0] = static_cast<std::ptrdiff_t>(bgr.step);
    return image;
}

// The astronaut at odd sides, so that every chroma plane has a last column
// and row of its own.
cv::Mat oddPhoto()
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    return photo(cv::Rect(0, 0, photo.cols - 1, photo.rows - 3)).clone();
}

} // namespace

TEST(ImageInput, EveryFormatFindsThePackedBgrFacesInStillMode)
{
    const cv::Mat photo = oddPhoto();
    const std::vector<Face> expected = facesOf(nullptr, packedBgr(photo), MIVORA_FACE_MODE_STILL);
    ASSERT_FALSE(expected.empty());
    const TrackerHandle tracker = newTracker();
    for (int format = 0; format < MIVORA_FACE_FORMAT_COUNT; ++format)
        for (const int padding : {0, 29}) {
            const FormattedImage formatted(photo, format, padding, 100 + format);
            EXPECT_LE(largestDifference(facesOf(nullptr, formatted.image(), MIVORA_FACE_MODE_STILL), expected), 1.0)
                << formatName(format) << ", padding " << padding;
            EXPECT_LE(largestDifference(facesOf(tracker.get(), formatted.image(), MIVORA_FACE_MODE_STILL), expected),
                      1.0)
                << formatName(format) << ", padding " << padding << ", tracker";
        }
}

// A short camera-like clip in each format follows the face as the packed BGR
// clip does, frame by frame; a tracker may also be handed each frame in
// another format. The face network reads colour where a format has it
// packed with the pixel, the gray value elsewhere (gray and YUV formats): those
// follow the faces of the clip turned gray.
TEST(ImageInput, EveryFormatFollowsThePackedBgrFacesInVideoMode)
{
    cv::Mat photo;
    cv::resize(oddPhoto(), photo, cv::Size(), 0.8, 0.8);
    const cv::Mat background = test_support::texturedBackground(cv::Size(481, 403));
    constexpr int kFrames = 8;
    std::vector<cv::Mat> frames;
    std::vector<std::vector<Face>> expected[2]; // colour, gray
    const TrackerHandle colourReference = newTracker(), grayReference = newTracker();
    for (int i = 0; i < kFrames; ++i) {
        frames.push_back(test_support::photoFrame(photo, background, 3 * i));
        cv::Mat gray, grayBgr;
        cv::cvtColor(frames.back(), gray, cv::COLOR_BGR2GRAY);
        cv::cvtColor(gray, grayBgr, cv::COLOR_GRAY2BGR);
        expected[0].push_back(facesOf(colourReference.get(), packedBgr(frames.back()), MIVORA_FACE_MODE_VIDEO));
        expected[1].push_back(facesOf(grayReference.get(), packedBgr(grayBgr), MIVORA_FACE_MODE_VIDEO));
    }
    ASSERT_FALSE(expected[0].back().empty());
    ASSERT_FALSE(expected[1].back().empty());

    const auto hasColour = [](int format) { return format < MIVORA_FACE_FORMAT_GRAY8; };
    for (int format = 0; format < MIVORA_FACE_FORMAT_COUNT + 2; ++format)
        for (const int padding : {0, 64}) {
            // format COUNT and COUNT + 1: each frame in the next colour
            // format, or in the next gray or YUV one.
            const int mixed = format - MIVORA_FACE_FORMAT_COUNT;
            const std::string where =
                (mixed >= 0 ? std::string("mixed formats ") + std::to_string(mixed) : formatName(format)) +
                ", padding " + std::to_string(padding);
            const TrackerHandle tracker = newTracker();
            for (int i = 0; i < kFrames; ++i) {
                int used = format;
                if (mixed == 0)
                    used = i * 5 % MIVORA_FACE_FORMAT_GRAY8;
                else if (mixed == 1)
                    used = MIVORA_FACE_FORMAT_GRAY8 + i * 5 % (MIVORA_FACE_FORMAT_COUNT - MIVORA_FACE_FORMAT_GRAY8);
                const FormattedImage formatted(frames[i], used, padding, i);
                EXPECT_LE(largestDifference(facesOf(tracker.get(), formatted.image(), MIVORA_FACE_MODE_VIDEO),
                                            expected[hasColour(used) ? 0 : 1][i]),
                          1.0)
                    << where << ", frame " << i << ", " << formatName(used);
            }
        }
}

// The faces of up to three frames of image in mode on a new tracker (video
// mode may spread its first search over three frames).
std::vector<Face> firstFaces(const MivoraFaceImage& image, int mode)
{
    const TrackerHandle tracker = newTracker();
    std::vector<Face> found;
    for (int i = 0; i < 3 && found.empty(); ++i)
        found = facesOf(tracker.get(), image, mode);
    return found;
}

// A region of a larger frame, described in place by its first pixel and the
// frame's stride, gives the faces of the region copied out, in the region's
// coordinates.
TEST(ImageInput, RegionOfALargerFrameGivesPointsInTheRegion)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const cv::Mat frame = test_support::photoFrame(photo, test_support::texturedBackground(cv::Size(900, 700)), 0);
    const cv::Rect region(110, 64, 601, 563); // even corner: 4:2:0 chroma starts on a whole sample
    const cv::Mat copy = frame(region).clone();
    const cv::Point2d photoCorner = test_support::photoOffset(photo.size(), frame.size(), 0);
    const cv::Rect faceInRegion = test_support::kAstronautFace +
                                  cv::Point(static_cast<int>(photoCorner.x), static_cast<int>(photoCorner.y)) -
                                  region.tl();

    for (const int mode : {MIVORA_FACE_MODE_STILL, MIVORA_FACE_MODE_VIDEO}) {
        const std::vector<Face> copied = firstFaces(packedBgr(copy), mode);
        ASSERT_FALSE(copied.empty()) << "mode " << mode;
        cv::Mat gray, grayBgr;
        cv::cvtColor(copy, gray, cv::COLOR_BGR2GRAY);
        cv::cvtColor(gray, grayBgr, cv::COLOR_GRAY2BGR);
        const std::vector<Face> copiedGray = firstFaces(packedBgr(grayBgr), mode);
        for (int p = 0; p < MIVORA_FACE_LANDMARK_POINT_COUNT; ++p)
            EXPECT_TRUE(faceInRegion.contains(cv::Point2f(copied[0].points[2 * p], copied[0].points[2 * p + 1])))
                << "point " << p << ", mode " << mode;
        for (const int format : {MIVORA_FACE_FORMAT_BGR, MIVORA_FACE_FORMAT_RGBA, MIVORA_FACE_FORMAT_NV12,
                                 MIVORA_FACE_FORMAT_I420, MIVORA_FACE_FORMAT_YUYV}) {
            const FormattedImage formatted(frame, format);
            MivoraFaceImage view = formatted.image();
            view.width = region.width;
            view.height = region.height;
            const int bytesPerPixel[] = {3, 3, 4, 4, 4, 4, 1, 1, 1, 1, 2, 2};
            view.planes[0] += region.y * view.strides[0] + region.x * bytesPerPixel[format];
            if (format == MIVORA_FACE_FORMAT_NV12)
                view.planes[1] += region.y / 2 * view.strides[1] + region.x;
            for (int i = 1; format == MIVORA_FACE_FORMAT_I420 && i < 3; ++i)
                view.planes[i] += region.y / 2 * view.strides[i] + region.x / 2;
            // The face network sees YUV images in gray (see above).
            const bool colour = format < MIVORA_FACE_FORMAT_GRAY8 || mode == MIVORA_FACE_MODE_STILL;
            EXPECT_LE(largestDifference(firstFaces(view, mode), colour ? copied : copiedGray), 1.0)
                << formatName(format) << ", mode " << mode;
        }
    }
}

// Each kind of bad description is refused before a pixel is read (the plane
// is one byte, so the sanitizer build would report a read), by both calls,
// and leaves nothing for the landmark call to answer.
TEST(ImageInput, BadDescriptionsAreInvalidArguments)
{
    const unsigned char byte = 0;
    MivoraFaceImage good{};
    good.format = MIVORA_FACE_FORMAT_GRAY8;
    good.width = good.height = 1;
    good.planes[0] = &byte;
    good.strides[0] = 1;
    std::vector<MivoraFaceImage> bad(8, good);
    bad[0].format = -1;
    bad[1].format = MIVORA_FACE_FORMAT_COUNT;
    bad[2].width = 640; // stride smaller than a row
    bad[3].planes[0] = nullptr;
    bad[4].format = MIVORA_FACE_FORMAT_NV12; // its chroma plane is NULL
    bad[5].strides[0] = -1;
    bad[6].height = 3;
    bad[6].strides[0] = PTRDIFF_MAX / 2 + 1; // the extent overflows
    bad[7].width = MIVORA_FACE_MAX_IMAGE_SIDE + 1;
    bad[7].strides[0] = MIVORA_FACE_MAX_IMAGE_SIDE + 1;

    const TrackerHandle tracker = newTracker();
    ASSERT_GE(MivoraFaceDetectImage(&good, MIVORA_FACE_MODE_VIDEO), 0);
    ASSERT_GE(MivoraFaceTrackerDetectImage(tracker.get(), &good, MIVORA_FACE_MODE_STILL), 0);
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(MivoraFaceDetectImage(&bad[i], MIVORA_FACE_MODE_STILL), MIVORA_FACE_ERROR_INVALID_ARGUMENT) << i;
        EXPECT_EQ(MivoraFaceTrackerDetectImage(tracker.get(), &bad[i], MIVORA_FACE_MODE_VIDEO),
                  MIVORA_FACE_ERROR_INVALID_ARGUMENT)
            << i;
        MivoraFaceBox box;
        EXPECT_EQ(MivoraGetFaceBoxStd(0, &box), MIVORA_FACE_ERROR_NO_DETECTION) << i;
    }
    EXPECT_EQ(MivoraFaceDetectImage(nullptr, MIVORA_FACE_MODE_STILL), MIVORA_FACE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(MivoraFaceTrackerDetectImage(tracker.get(), nullptr, MIVORA_FACE_MODE_STILL),
              MIVORA_FACE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(MivoraFaceTrackerDetectImage(nullptr, &good, MIVORA_FACE_MODE_STILL), MIVORA_FACE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(MivoraFaceDetectImage(&good, 2), MIVORA_FACE_ERROR_INVALID_ARGUMENT);
}
