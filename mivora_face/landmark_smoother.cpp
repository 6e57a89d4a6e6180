// SPDX-License-Identifier: MIT
#include "landmark_smoother.h"

#include <cmath>
#include <iterator>

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
// The shape follows a moving lip or lid within about 0.2% of the face's size
// (the tracker's points are a mean of three regressions, steady enough that
// a part's speed stands out of their noise).
constexpr double kShapeMinCutoff = 0.01, kShapeBeta = 80.0;
constexpr double kSpeedCutoff = 0.15, kPoseSpeedCutoff = 0.08;
// After this many frames with exactly the same raw points, the output is
// those points: a still picture gives still, reproducible dots.
constexpr int kUnchangedFramesToSettle = 3;

double smoothingFactor(double cutoff) { return 1.0 / (1.0 + 1.0 / (2.0 * M_PI * cutoff)); }

// Where the point (x, y) of pose's own frame (in face sizes) lies in the image.
std::array<double, 2> inImage(const FacePose& pose, double x, double y)
{
    const double c = std::cos(pose.angle), s = std::sin(pose.angle);
    return {pose.cx + pose.size * (c * x - s * y), pose.cy + pose.size * (s * x + c * y)};
}

// The facial part of each of the 68 points: points that move as one. The jaw
// is split where it hinges, so that a dropping chin is not averaged with the
// still ends of the jaw line; the eye and mouth corners, which hardly move
// when the lids close or the jaw drops, are parts of their own.
constexpr int kParts = 14;
constexpr int kPartOfPoint[kShapePointCount] = {0,  0,  0,  0,  1,  1,  1,  1,  1,  1,  1,  1,  1, 2, 2, 2, 2, // jaw
                                                3,  3,  3,  3,  3,  4,  4,  4,  4,  4,                         // brows
                                                5,  5,  5,  5,  5,  5,  5,  5,  5,                             // nose
                                                6,  7,  7,  6,  8,  8,  6,  9,  9,  6,  10, 10,                // eyes
                                                13, 11, 11, 11, 11, 11, 13, 12, 12, 12, 12, 12, // outer lips
                                                13, 11, 11, 11, 13, 12, 12, 12};                // inner lips

// Points that keep their places when the face talks or blinks: the jaw
// line's ends, the brows, the nose and the eye corners. The shape is kept in a
// frame fitted to them, so that a dropping jaw moves the jaw, not the face.
// (Brows do move, but less often and less far than the jaw; with them the
// frame is fitted to twice as many points and is steadier under noise.)
constexpr int kRigidPoints[] = {0,  1,  2,  3,  13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
                                25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 39, 42, 45};

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
      logSize_(kPoseMinCutoff, kTurnBeta, kPoseSpeedCutoff), angle_(kPoseMinCutoff, kTurnBeta, kPoseSpeedCutoff),
      headX_(kPoseMinCutoff, kPoseBeta, kPoseSpeedCutoff), headY_(kPoseMinCutoff, kPoseBeta, kPoseSpeedCutoff),
      headLogSize_(kPoseMinCutoff, kTurnBeta, kPoseSpeedCutoff), headAngle_(kPoseMinCutoff, kTurnBeta, kPoseSpeedCutoff)
{
    static_assert(2 * kParts == std::tuple_size<decltype(partSpeed_)>::value, "one speed per part");
}

void LandmarkSmoother::reset()
{
    steady_ = FacePose{};
    for (OneEuroFilter* f : {&x_, &y_, &logSize_, &angle_, &headX_, &headY_, &headLogSize_, &headAngle_})
        f->reset();
    unchangedFrames_ = 0;
    started_ = false;
}

FacePose LandmarkSmoother::registerToRigidPoints(std::array<double, kShapeValueCount>& local,
                                                 const FacePose& pose) const
{
    // The similarity taking the rigid points from local to the anchor's
    // (least squares): q = k R (p - from) + to.
    double fromX = 0, fromY = 0;
    for (int i : kRigidPoints) {
        fromX += local[2 * i];
        fromY += local[2 * i + 1];
    }
    const double n = std::size(kRigidPoints);
    fromX /= n, fromY /= n;
    double dot = 0, cross = 0, norm = 0;
    for (int i : kRigidPoints) {
        const double ax = local[2 * i] - fromX, ay = local[2 * i + 1] - fromY;
        const double bx = anchor_[2 * i] - anchorCentreX_, by = anchor_[2 * i + 1] - anchorCentreY_;
        dot += ax * bx + ay * by;
        cross += ax * by - ay * bx;
        norm += ax * ax + ay * ay;
    }
    double kc = 1, ks = 0;
    if (norm > 0 && dot > 0)
        kc = dot / norm, ks = cross / norm;
    for (int i = 0; i < kShapePointCount; ++i) {
        const double x = local[2 * i] - fromX, y = local[2 * i + 1] - fromY;
        local[2 * i] = kc * x - ks * y + anchorCentreX_;
        local[2 * i + 1] = ks * x + kc * y + anchorCentreY_;
    }
    // The anchor's rigid centre lies where the rigid points' centre lies in
    // pose's frame; the frame is pose's, scaled by 1 / k and turned by -phi.
    const std::array<double, 2> centre = inImage(pose, fromX, fromY);
    return {centre[0], centre[1], pose.size / std::hypot(kc, ks), pose.angle - std::atan2(ks, kc)};
}

void LandmarkSmoother::settle(const std::array<double, kShapeValueCount>& local, const FacePose& pose, double angle)
{
    x_.settle(pose.cx);
    y_.settle(pose.cy);
    logSize_.settle(std::log(pose.size));
    angle_.settle(angle);
    steady_ = pose;
    shape_ = local;
    anchor_ = local;
    anchorCentreX_ = anchorCentreY_ = 0;
    for (int i : kRigidPoints) {
        anchorCentreX_ += local[2 * i];
        anchorCentreY_ += local[2 * i + 1];
    }
    anchorCentreX_ /= std::size(kRigidPoints);
    anchorCentreY_ /= std::size(kRigidPoints);
    const std::array<double, 2> centre = inImage(pose, anchorCentreX_, anchorCentreY_);
    headX_.settle(centre[0]);
    headY_.settle(centre[1]);
    headLogSize_.settle(std::log(pose.size));
    headAngle_.settle(angle);
    lastHeadAngle_ = angle;
    partSpeed_.fill(0);
}

void LandmarkSmoother::smooth(const Shape& raw, const FacePose& pose, Shape& out)
{
    unchangedFrames_ = started_ && raw == lastRaw_ ? unchangedFrames_ + 1 : 0;
    lastRaw_ = raw;
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
    // Angles are filtered unwrapped, continuing from the last frame's.
    const double angle = shapeStarted ? lastAngle_ + angleBetween(pose.angle, lastAngle_) : pose.angle;
    lastAngle_ = angle;
    if (!shapeStarted || unchangedFrames_ >= kUnchangedFramesToSettle) {
        settle(local, pose, angle);
        out = raw;
        return;
    }

    steady_ = FacePose{x_.filter(pose.cx, pose.size), y_.filter(pose.cy, pose.size),
                       std::exp(logSize_.filter(std::log(pose.size), 1.0)), angle_.filter(angle, 1.0)};
    const FacePose head = registerToRigidPoints(local, pose);
    lastHeadAngle_ += angleBetween(head.angle, lastHeadAngle_);
    const double headX = headX_.filter(head.cx, head.size), headY = headY_.filter(head.cy, head.size);
    const double headSize = std::exp(headLogSize_.filter(std::log(head.size), 1.0));
    const double headAngle = headAngle_.filter(lastHeadAngle_, 1.0);

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

    const double hc = headSize * std::cos(headAngle), hs = headSize * std::sin(headAngle);
    for (int i = 0; i < kShapePointCount; ++i) {
        const double a = factor[kPartOfPoint[i]];
        const double u = (shape_[2 * i] += a * (local[2 * i] - shape_[2 * i])) - anchorCentreX_;
        const double v = (shape_[2 * i + 1] += a * (local[2 * i + 1] - shape_[2 * i + 1])) - anchorCentreY_;
        out[2 * i] = static_cast<float>(headX + hc * u - hs * v);
        out[2 * i + 1] = static_cast<float>(headY + hs * u + hc * v);
    }
}

} // namespace mivora
