// SPDX-License-Identifier: MIT
#include "bench_formats.h"

#include "formatted_image.h"
#include "gray_image.h"
#include "mivora_face.h"
#include "pixel_format.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace mivora {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
}

// How a frame reaches the library in one variant of the video comparison.
struct Variant {
    const char* name;
    int format;        // MIVORA_FACE_FORMAT_*
    bool viaOpenCvBgr; // the frame converted to packed BGR by OpenCV first, timed
};

struct VideoFigures {
    std::vector<double> meanMs; // per round: mean milliseconds per frame
    std::vector<double> allMs;  // every frame of every round
    int framesWithFace = 0;     // in the last round
};

// Plays the clip in one variant on a new tracker; detection (and the
// conversion, for viaOpenCvBgr) timed per frame.
bool playClip(const cv::Mat& photo, const cv::Mat& background, int frames, const Variant& variant,
              VideoFigures& figures)
{
    std::unique_ptr<MivoraFaceTracker, decltype(&MivoraFaceTrackerDestroy)> tracker(MivoraFaceTrackerCreate(),
                                                                                    MivoraFaceTrackerDestroy);
    double total = 0;
    figures.framesWithFace = 0;
    for (int i = 0; i < frames; ++i) {
        const cv::Mat bgr = driftingPhotoFrame(photo, background, i, false);
        const FormattedImage formatted(bgr, variant.viaOpenCvBgr ? MIVORA_FACE_FORMAT_NV12 : variant.format);
        const MivoraFaceImage& image = formatted.image();
        int faces = 0;
        const Clock::time_point start = Clock::now();
        if (variant.viaOpenCvBgr) {
            // What a user does with an NV12 frame when the library takes only
            // packed BGR: OpenCV's conversion into a new frame.
            const cv::Mat y(image.height, image.width, CV_8UC1, const_cast<unsigned char*>(image.planes[0]),
                            static_cast<std::size_t>(image.strides[0]));
            const cv::Mat uv(image.height / 2, image.width / 2, CV_8UC2, const_cast<unsigned char*>(image.planes[1]),
                             static_cast<std::size_t>(image.strides[1]));
            cv::Mat packed;
            cv::cvtColorTwoPlane(y, uv, packed, cv::COLOR_YUV2BGR_NV12);
            faces =
                MivoraFaceTrackerDetect(tracker.get(), packed.data, packed.cols, packed.rows, MIVORA_FACE_MODE_VIDEO);
        } else {
            faces = MivoraFaceTrackerDetectImage(tracker.get(), &image, MIVORA_FACE_MODE_VIDEO);
        }
        const double ms = millisecondsSince(start);
        if (faces < 0) {
            std::fprintf(stderr, "mivora_bench: %s: detection failed with code %d\n", variant.name, faces);
            return false;
        }
        figures.framesWithFace += faces > 0;
        figures.allMs.push_back(ms);
        total += ms;
    }
    figures.meanMs.push_back(total / frames);
    return true;
}

// Median milliseconds of `repeats` runs of work.
double timed(int repeats, const std::function<void()>& work)
{
    std::vector<double> ms;
    for (int i = 0; i < repeats; ++i) {
        const Clock::time_point start = Clock::now();
        work();
        ms.push_back(millisecondsSince(start));
    }
    return median(ms);
}

} // namespace

cv::Mat clipBackground(cv::Size size)
{
    cv::Mat background(size, CV_8UC3);
    cv::RNG rng(2024);
    rng.fill(background, cv::RNG::UNIFORM, 40, 220);
    cv::GaussianBlur(background, background, cv::Size(0, 0), 3.0);
    return background;
}

cv::Mat driftingPhotoFrame(const cv::Mat& photo, const cv::Mat& background, int index, bool still)
{
    const cv::Size size = background.size();
    cv::Mat frame = background.clone();
    const double t = still ? 0.0 : index * 2.0 * CV_PI;
    const double scale = 0.8 * size.height / photo.rows * (1.0 + 0.15 * std::sin(t / 110.0));
    const double cx = size.width / 2.0 + 0.12 * size.width * std::sin(t / 90.0);
    const double cy = size.height / 2.0 + 0.06 * size.height * std::sin(t / 70.0);
    const cv::Mat warp =
        (cv::Mat_<double>(2, 3) << scale, 0, cx - scale * photo.cols / 2.0, 0, scale, cy - scale * photo.rows / 2.0);
    cv::warpAffine(photo, frame, warp, size, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    return frame;
}

bool runFormatBench(const std::string& photoPath, cv::Size size, int frames, int rounds)
{
    const cv::Mat photo = cv::imread(photoPath, cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::fprintf(stderr, "mivora_bench: cannot read %s\n", photoPath.c_str());
        return false;
    }
    // One thread, as the library's calls run: OpenCV would otherwise spread
    // its conversions over its thread pool.
    cv::setNumThreads(1);
    const cv::Mat background = clipBackground(size);

    const Variant variants[] = {
        {"packed BGR", MIVORA_FACE_FORMAT_BGR, false}, {"NV12", MIVORA_FACE_FORMAT_NV12, false},
        {"I420", MIVORA_FACE_FORMAT_I420, false},      {"YUYV", MIVORA_FACE_FORMAT_YUYV, false},
        {"RGBA", MIVORA_FACE_FORMAT_RGBA, false},      {"NV12 to BGR by OpenCV", MIVORA_FACE_FORMAT_NV12, true}};
    constexpr int kVariants = sizeof variants / sizeof variants[0];
    VideoFigures figures[kVariants];
    // The models (and the landmark model's leaves) are read by the first
    // calls: not part of any variant's figures.
    VideoFigures warmUp;
    if (!playClip(photo, background, std::min(frames, 10), variants[0], warmUp))
        return false;
    for (int round = 0; round < rounds; ++round)
        for (int v = 0; v < kVariants; ++v)
            if (!playClip(photo, background, frames, variants[v], figures[v]))
                return false;

    std::printf("%s: %d frames of %dx%d, video mode, one tracker per format, %d rounds\n", photoPath.c_str(), frames,
                size.width, size.height, rounds);
    std::printf("  %-26s %9s %9s %9s %9s %7s\n", "ms per frame (detection)", "mean", "p50", "p95", "vs BGR", "faces");
    const double bgrMean = median(figures[0].meanMs);
    for (int v = 0; v < kVariants; ++v) {
        const double mean = median(figures[v].meanMs);
        std::printf("  %-26s %9.3f %9.3f %9.3f %8.2fx %7d\n", variants[v].name, mean, percentile(figures[v].allMs, 50),
                    percentile(figures[v].allMs, 95), mean / bgrMean, figures[v].framesWithFace);
    }

    // The gray image of one frame: the library's, in place, against what a
    // user had to do while the library took only packed BGR.
    const cv::Mat frame = driftingPhotoFrame(photo, background, 0, false);
    const FormattedImage paddedBgr(frame, MIVORA_FACE_FORMAT_BGR, 64);
    const FormattedImage nv12(frame, MIVORA_FACE_FORMAT_NV12);
    const MivoraFaceImage& bgrImage = paddedBgr.image();
    const MivoraFaceImage& nv12Image = nv12.image();
    const cv::Mat bgrRows(frame.rows, frame.cols, CV_8UC3, const_cast<unsigned char*>(bgrImage.planes[0]),
                          static_cast<std::size_t>(bgrImage.strides[0]));
    const cv::Mat y(frame.rows, frame.cols, CV_8UC1, const_cast<unsigned char*>(nv12Image.planes[0]),
                    static_cast<std::size_t>(nv12Image.strides[0]));
    const cv::Mat uv(frame.rows / 2, frame.cols / 2, CV_8UC2, const_cast<unsigned char*>(nv12Image.planes[1]),
                     static_cast<std::size_t>(nv12Image.strides[1]));
    GrayImage gray;
    cv::Mat packed, openCvGray;
    const int repeats = std::max(20, 60 * rounds);
    const auto library = [&](const MivoraFaceImage& image) { toGray(grayView(image), gray); };
    const double bgrInPlace = timed(repeats, [&] { library(bgrImage); });
    const double bgrCopied = timed(repeats, [&] {
        packed = bgrRows.clone(); // the copy into packed rows
        bgrToGray(packed.data, packed.cols, packed.rows, gray);
    });
    const double bgrOpenCv = timed(repeats, [&] { cv::cvtColor(bgrRows, openCvGray, cv::COLOR_BGR2GRAY); });
    const double nv12InPlace = timed(repeats, [&] { library(nv12Image); });
    const double nv12Converted = timed(repeats, [&] {
        cv::cvtColorTwoPlane(y, uv, packed, cv::COLOR_YUV2BGR_NV12);
        bgrToGray(packed.data, packed.cols, packed.rows, gray);
    });
    const double nv12OpenCvGray = timed(repeats, [&] { y.copyTo(openCvGray); });
    std::printf("  gray image of one %dx%d frame, ms (median of %d)\n", frame.cols, frame.rows, repeats);
    std::printf("    %-58s %8.3f\n", "BGR, padded rows, read in place (MivoraFaceImage)", bgrInPlace);
    std::printf("    %-58s %8.3f\n", "BGR, copied into packed rows, then converted (before)", bgrCopied);
    std::printf("    %-58s %8.3f\n", "BGR, OpenCV cvtColor COLOR_BGR2GRAY", bgrOpenCv);
    std::printf("    %-58s %8.3f\n", "NV12, luma read in place (MivoraFaceImage)", nv12InPlace);
    std::printf("    %-58s %8.3f\n", "NV12, OpenCV cvtColor to BGR, then converted (before)", nv12Converted);
    std::printf("    %-58s %8.3f\n", "NV12, the luma copied by OpenCV (as COLOR_YUV2GRAY_NV12)", nv12OpenCvGray);
    return true;
}

} // namespace mivora
