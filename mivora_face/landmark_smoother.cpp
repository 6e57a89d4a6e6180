// SPDX-License-Identifier: MIT
#include "landmark_smoother.h"

#include <cmath>

namespace mivora {

namespace {

// Cut-offs in cycles per frame; speeds in face sizes (or radians, or log
// size) per frame. The pose follows any head motion almost at once; the
// shape in the face's frame, where camera noise shows, is smoothed hardest.
// A moving filter trails by about 1 / (2 pi beta) units whatever the speed:
// 0.0013 face sizes for the position, a fortieth of the points' error.
constexpr double kPoseMinCutoff = 0.02, kPoseBeta = 120.0;
// Size and roll change more slowly than position, and their noise shows
// most on small faces (a lag of 0.5% of the size, 0.3 degrees).
constexpr double kTurnBeta = 30.0;
constexpr double kShapeMinCutoff = 0.01, kShapeBeta = 15.0;
constexpr double kSpeedCutoff = 0.15, kPoseSpeedCutoff = 0.08;
// After this many frames with exactly the same raw points, the output is
// those points: a still picture gives still, reproducible dots.
constexpr int kUnchangedFramesToSettle = 3;

double smoothingFactor(double cutoff) { return 1.0 / (1.0 + 1.0 / (2.0 * M_PI * cutoff)); }

// The facial part of each of the 68 points, parts that move as one: jaw,
// brows, nose, upper and lower eyelids, upper and lower lip.
constexpr int kParts = 10;
constexpr int kPartOfPoint[kShapePointCount] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // jaw
                                                1, 1, 1, 1, 1, 2, 2, 2, 2, 2,                      // brows
                                                3, 3, 3, 3, 3, 3, 3, 3, 3,                         // nose
                                                4, 4, 4, 4, 5, 5, 6, 6, 6, 6, 7, 7,                // eyelids
                                                8, 8, 8, 8, 8, 8, 8, 9, 9, 9, 9, 9,                // outer lips
                                                8, 8, 8, 8, 8, 9, 9, 9};                           // inner lips

} // namespace

double OneEuroFilter::filter(double value, double unit)
{
    if (!started_) {
        settle(value);
        return value;
    }
    const double speed = (value - value_) / unit;
    speed_ += smoothingFactor(speedCutoff_) * (speed - speed_);
    const double cutoff = minCutoff_ + beta_ * std::abs(speed_);
    value_ += smoothingFactor(cutoff) * (value - value_);
    return value_;
}

LandmarkSmoother::LandmarkSmoother()
    : x_(kPoseMinCutoff, kPoseBeta, kPoseSpeedCutoff), y_(kPoseMinCutoff, kPoseBeta, kPoseSpeedCutoff),
      logSize_(kPoseMinCutoff, kTurnBeta, kPoseSpeedCutoff), angle_(kPoseMinCutoff, kTurnBeta, kPoseSpeedCutoff)
{
    static_assert(2 * kParts == std::tuple_size<decltype(partSpeed_)>::value, "one speed per part");
}

void LandmarkSmoother::reset()
{
    steady_ = FacePose{};
    x_.reset();
    y_.reset();
    logSize_.reset();
    angle_.reset();
    unchangedFrames_ = 0;
    started_ = false;
}

void LandmarkSmoother::smooth(const Shape& raw, const FacePose& pose, Shape& out)
{
    unchangedFrames_ = started_ && raw == lastRaw_ ? unchangedFrames_ + 1 : 0;
    lastRaw_ = raw;
    // The angle is filtered unwrapped, continuing from the last frame's.
    const double angle = started_ ? lastAngle_ + angleBetween(pose.angle, lastAngle_) : pose.angle;
    lastAngle_ = angle;
    const bool shapeStarted = started_;
    started_ = true;
    // The points in the face's own frame, in face sizes.
    const double c = std::cos(pose.angle), s = std::sin(pose.angle);
    std::array<double, kShapeValueCount> local;
    for (int i = 0; i < kShapePointCount; ++i) {
        const double dx = raw[2 * i] - pose.cx, dy = raw[2 * i + 1] - pose.cy;
        local[2 * i] = (c * dx + s * dy) / pose.size;
        local[2 * i + 1] = (-s * dx + c * dy) / pose.size;
    }
    if (!shapeStarted || unchangedFrames_ >= kUnchangedFramesToSettle) {
        x_.settle(pose.cx);
        y_.settle(pose.cy);
        logSize_.settle(std::log(pose.size));
        angle_.settle(angle);
        shape_ = local;
        partSpeed_.fill(0);
        out = raw;
        steady_ = pose;
        return;
    }

    const double cx = x_.filter(pose.cx, pose.size);
    const double cy = y_.filter(pose.cy, pose.size);
    const double size = std::exp(logSize_.filter(std::log(pose.size), 1.0));
    const double steadyAngle = angle_.filter(angle, 1.0);
    steady_ = FacePose{cx, cy, size, steadyAngle};

    // Each part's speed: the mean motion of its points.
    std::array<double, 2 * kParts> motion{};
    std::array<int, kParts> points{};
    for (int i = 0; i < kShapePointCount; ++i) {
        motion[2 * kPartOfPoint[i]] += local[2 * i] - shape_[2 * i];
        motion[2 * kPartOfPoint[i] + 1] += local[2 * i + 1] - shape_[2 * i + 1];
        ++points[kPartOfPoint[i]];
    }
    std::array<double, kParts> factor;
    for (int p = 0; p < kParts; ++p) {
        for (int k = 0; k < 2; ++k)
            partSpeed_[2 * p + k] +=
                smoothingFactor(kSpeedCutoff) * (motion[2 * p + k] / points[p] - partSpeed_[2 * p + k]);
        factor[p] =
            smoothingFactor(kShapeMinCutoff + kShapeBeta * std::hypot(partSpeed_[2 * p], partSpeed_[2 * p + 1]));
    }

    const double sc = size * std::cos(steadyAngle), ss = size * std::sin(steadyAngle);
    for (int i = 0; i < kShapePointCount; ++i) {
        const double a = factor[kPartOfPoint[i]];
        const double u = shape_[2 * i] += a * (local[2 * i] - shape_[2 * i]);
        const double v = shape_[2 * i + 1] += a * (local[2 * i + 1] - shape_[2 * i + 1]);
        out[2 * i] = static_cast<float>(cx + sc * u - ss * v);
        out[2 * i + 1] = static_cast<float>(cy + ss * u + sc * v);
    }
}

} // namespace mivora
