// SPDX-License-Identifier: MIT
#include "reference_pipeline.h"

#include "face_order.h"

#include <dlib/opencv/cv_image.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace mivora {

int ReferencePipeline::detect(const cv::Mat& bgr)
{
    if (!detectorReady_) {
        detector_ = dlib::get_frontal_face_detector();
        detectorReady_ = true;
    }
    cv::cvtColor(bgr, gray_, cv::COLOR_BGR2GRAY);
    std::vector<dlib::rect_detection> found;
    detector_(dlib::cv_image<unsigned char>(gray_), found);
    std::sort(found.begin(), found.end(), numberedBefore);
    faces_.clear();
    for (const dlib::rect_detection& d : found)
        faces_.push_back(d.rect);
    return static_cast<int>(faces_.size());
}

Shape ReferencePipeline::landmarks(int face)
{
    if (!predictorReady_) {
        const char* path = std::getenv("MIVORA_FACE_LANDMARK_MODEL");
        dlib::deserialize(
            path != nullptr && path[0] != '\0' ? path : "/usr/share/dlib/shape_predictor_68_face_landmarks.dat") >>
            predictor_;
        predictorReady_ = true;
    }
    const dlib::full_object_detection parts =
        predictor_(dlib::cv_image<unsigned char>(gray_), faces_.at(static_cast<std::size_t>(face)));
    Shape shape{};
    for (unsigned long i = 0; i < parts.num_parts(); ++i) {
        shape[2 * i] = static_cast<float>(parts.part(i).x());
        shape[2 * i + 1] = static_cast<float>(parts.part(i).y());
    }
    return shape;
}

namespace {

cv::Point2f point(const Shape& s, int i) { return {s[2 * i], s[2 * i + 1]}; }

double interOcular(const Shape& s)
{
    cv::Point2f left(0, 0), right(0, 0);
    for (int i = 0; i < 6; ++i) {
        left += point(s, 36 + i) / 6.0f;
        right += point(s, 42 + i) / 6.0f;
    }
    return std::max(1.0, cv::norm(left - right));
}

} // namespace

double shapeDistance(const Shape& a, const Shape& b)
{
    double sum = 0;
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i)
        sum += cv::norm(point(a, i) - point(b, i));
    return sum / MIVORA_FACE_LANDMARK_POINT_COUNT / interOcular(b);
}

double eyeCornerDistance(const Shape& s) { return std::max(1.0, cv::norm(point(s, 36) - point(s, 45))); }

double eyeCornerError(const Shape& a, const Shape& truth)
{
    double sum = 0;
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i)
        sum += cv::norm(point(a, i) - point(truth, i));
    return sum / MIVORA_FACE_LANDMARK_POINT_COUNT / eyeCornerDistance(truth);
}

double movementError(const Shape& previous, const Shape& current, const Shape& previousTruth, const Shape& truth)
{
    double sum = 0;
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i)
        sum += std::hypot(double{current[2 * i]} - previous[2 * i] - (double{truth[2 * i]} - previousTruth[2 * i]),
                          double{current[2 * i + 1]} - previous[2 * i + 1] -
                              (double{truth[2 * i + 1]} - previousTruth[2 * i + 1]));
    return sum / MIVORA_FACE_LANDMARK_POINT_COUNT / eyeCornerDistance(truth);
}

} // namespace mivora
