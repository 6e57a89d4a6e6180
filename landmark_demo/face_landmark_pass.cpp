// SPDX-License-Identifier: MIT
#include "face_landmark_pass.h"

#include "mivora_face.h"
#include "stage_timer.h"

#include <opencv2/imgproc.hpp>

#include <array>
#include <cmath>

namespace {

const cv::Scalar kLandmarkColor(0, 0, 255, 0); // red in BGR order
constexpr int kLandmarkRadius = 1;
constexpr int kLandmarkThickness = 2;
constexpr int kLandmarkLineType = cv::LINE_8;
constexpr int kLandmarkShift = 0;

// Float to int by truncation, refusing what the conversion cannot hold.
bool truncateToInt(float value, int& result)
{
    // Both bounds are exact in float: -2^31 and 2^31.
    if (!std::isfinite(value) || value < -2147483648.0f || value >= 2147483648.0f)
        return false;
    result = static_cast<int>(value);
    return true;
}

} // namespace

const cv::Mat& continuousBgrView(const cv::Mat& frame, cv::Mat& scratch)
{
    if (frame.type() == CV_8UC3 && frame.isContinuous())
        return frame;

    cv::Mat eightBit = frame;
    if (frame.depth() != CV_8U) {
        // Scale the common deeper formats to the 8-bit range.
        const double scale = frame.depth() == CV_16U                                ? 1.0 / 256.0
                             : (frame.depth() == CV_32F || frame.depth() == CV_64F) ? 255.0
                                                                                    : 1.0;
        frame.convertTo(eightBit, CV_8U, scale);
    }
    switch (eightBit.channels()) {
    case 1: cv::cvtColor(eightBit, scratch, cv::COLOR_GRAY2BGR); break;
    case 3: eightBit.copyTo(scratch); break;
    case 4: cv::cvtColor(eightBit, scratch, cv::COLOR_BGRA2BGR); break;
    default: {
        cv::Mat first;
        cv::extractChannel(eightBit, first, 0);
        cv::cvtColor(first, scratch, cv::COLOR_GRAY2BGR);
    }
    }
    return scratch;
}

void drawLandmarks(cv::Mat& frame, const float* landmarks)
{
    for (int i = 0; i < kLandmarkPointCount; ++i) {
        cv::Point center;
        if (!truncateToInt(landmarks[2 * i], center.x) || !truncateToInt(landmarks[2 * i + 1], center.y))
            continue;
        cv::circle(frame, center, kLandmarkRadius, kLandmarkColor, kLandmarkThickness, kLandmarkLineType,
                   kLandmarkShift);
    }
}

void runFaceLandmarkPass(cv::Mat& frame)
{
    cv::Mat converted;
    const cv::Mat& bgr = continuousBgrView(frame, converted);

    int faceCount = 0;
    {
        StageTimer timer(kDetectLabel);
        faceCount = MivoraFaceDetectStd(bgr.data, bgr.cols, bgr.rows, 1);
    }

    std::array<float, kLandmarkValueCount> landmarks;
    landmarks.fill(0.0f);
    if (faceCount > 0) {
        StageTimer timer(kLandmarkLabel);
        MivoraGetFaceLandmark68Std(0, landmarks.data());
    }

    drawLandmarks(frame, landmarks.data());
}
