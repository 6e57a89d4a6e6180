// SPDX-License-Identifier: MIT
#include "synthetic_frames.h"

#include "mivora_face.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>

namespace mivora {

const cv::Size kSyntheticFrame(640, 480);

std::optional<FacePhoto> prepareFace(const std::string& argument, ReferencePipeline& reference)
{
    std::string path = argument;
    double scale = 1;
    const std::size_t at = argument.rfind('@');
    if (at != std::string::npos) {
        path = argument.substr(0, at);
        scale = std::atof(argument.c_str() + at + 1);
    }
    cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    if (photo.empty() || !(scale > 0))
        return std::nullopt;
    if (scale != 1)
        cv::resize(photo, photo, cv::Size(), scale, scale, scale > 1 ? cv::INTER_CUBIC : cv::INTER_AREA);
    if (reference.detect(photo) == 0)
        return std::nullopt;
    const Shape s = reference.landmarks(0);
    double x0 = 1e9, x1 = -1e9, y0 = 1e9, y1 = -1e9, jaw0 = 1e9, jaw1 = -1e9;
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i) {
        x0 = std::min<double>(x0, s[2 * i]);
        x1 = std::max<double>(x1, s[2 * i]);
        y0 = std::min<double>(y0, s[2 * i + 1]);
        y1 = std::max<double>(y1, s[2 * i + 1]);
        if (i < 17) {
            jaw0 = std::min<double>(jaw0, s[2 * i]);
            jaw1 = std::max<double>(jaw1, s[2 * i]);
        }
    }
    FacePhoto f;
    f.label = argument;
    f.width = jaw1 - jaw0;
    const cv::Point2d centre((x0 + x1) / 2, (y0 + y1) / 2);
    const double w = f.width;
    const cv::Rect cut =
        cv::Rect(cvRound(centre.x - 1.5 * w), cvRound(centre.y - 1.6 * w), cvRound(3 * w), cvRound(3.6 * w)) &
        cv::Rect(0, 0, photo.cols, photo.rows);
    f.cut = photo(cut).clone();
    f.centre = centre - cv::Point2d(cut.x, cut.y);
    return f;
}

cv::Mat syntheticBackground(cv::RNG& rng)
{
    cv::Mat b(kSyntheticFrame, CV_8UC3);
    const int low = rng.uniform(0, 120), high = rng.uniform(low + 40, 256);
    rng.fill(b, cv::RNG::UNIFORM, low, high);
    cv::GaussianBlur(b, b, cv::Size(0, 0), rng.uniform(1.0, 6.0));
    return b;
}

void addCameraNoise(cv::Mat& frame, double sigma, cv::RNG& rng)
{
    cv::Mat noise(frame.size(), CV_32FC3), f;
    rng.fill(noise, cv::RNG::NORMAL, 0, sigma);
    frame.convertTo(f, CV_32FC3);
    f += noise;
    f.convertTo(frame, CV_8UC3);
}

void placePhoto(cv::Mat& frame, const cv::Mat& photo, cv::Point2d centre, double scale, double degrees, cv::Point2d at)
{
    cv::Mat source = photo;
    double shrink = 1;
    if (scale < 0.9) { // a camera averages over each pixel: shrink by area first
        cv::resize(photo, source, cv::Size(), scale, scale, cv::INTER_AREA);
        shrink = static_cast<double>(source.cols) / photo.cols;
    }
    const double s = scale / shrink;
    const cv::Point2d c = centre * shrink + cv::Point2d(0.5 * shrink - 0.5, 0.5 * shrink - 0.5);
    cv::Mat m = cv::getRotationMatrix2D(c, -degrees, s);
    m.at<double>(0, 2) += at.x - c.x;
    m.at<double>(1, 2) += at.y - c.y;
    cv::warpAffine(source, frame, m, frame.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
}

} // namespace mivora
