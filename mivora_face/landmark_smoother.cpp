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
constexpr double kShapeMinCutoff = 0.01, kShapeBeta = 15.0;
constexpr double kSpeedCutoff = 0.15, kPoseSpeedCutoff = 0.08;
// After this many frames with exactly the same raw points, the output is
// those points: a still picture gives still, reproducible dots.
constexpr int kUnchangedFramesToSettle = 3;

double smoothingFactor(double cutoff) { return 1.0 / (1.0 + 1.0 / (2.0 * M_PI * cutoff)); }

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
    : registration_{OneEuroFilter(kShapeMinCutoff, kShapeBeta, kSpeedCutoff),
                    OneEuroFilter(kShapeMinCutoff, kShapeBeta, kSpeedCutoff),
                    OneEuroFilter(kShapeMinCutoff, kShapeBeta, kSpeedCutoff),
                    OneEuroFilter(kShapeMinCutoff, kShapeBeta, kSpeedCutoff)},
      x_(kPoseMinCutoff, kPoseBeta, kPoseSpeedCutoff), y_(kPoseMinCutoff, kPoseBeta, kPoseSpeedCutoff),
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

std::array<double, 4> LandmarkSmoother::registerToRigidPoints(std::array<double, kShapeValueCount>& local)
{
    // The similarity taking the rigid points from local to the anchor's
    // (least squares): q = k R (p - from) + to.
    double fromX = 0, fromY = 0, toX = 0, toY = 0;
    for (int i : kRigidPoints) {
        fromX += local[2 * i];
        fromY += local[2 * i + 1];
        toX += anchor_[2 * i];
        toY += anchor_[2 * i + 1];
    }
    const double n = std::size(kRigidPoints);
    fromX /= n, fromY /= n, toX /= n, toY /= n;
    double dot = 0, cross = 0, norm = 0;
    for (int i : kRigidPoints) {
        const double ax = local[2 * i] - fromX, ay = local[2 * i + 1] - fromY;
        const double bx = anchor_[2 * i] - toX, by = anchor_[2 * i + 1] - toY;
        dot += ax * bx + ay * by;
        cross += ax * by - ay * bx;
        norm += ax * ax + ay * ay;
    }
    if (!(norm > 0) || !(dot > 0))
        return {1, 0, 0, 0};
    // Filtered as the shape is: the points' noise hardly moves the frame,
    // while a jaw dropping (which moves the pose fitted to all points) moves
    // it within a frame or two; the still points trail the pose by a few
    // thousandths of the face's size meanwhile.
    const double kc = registration_[0].filter(dot / norm, 1.0);
    const double ks = registration_[1].filter(cross / norm, 1.0);
    const double tx = registration_[2].filter(toX - (dot * fromX - cross * fromY) / norm, 1.0);
    const double ty = registration_[3].filter(toY - (cross * fromX + dot * fromY) / norm, 1.0);
    for (int i = 0; i < kShapePointCount; ++i) {
        const double x = local[2 * i], y = local[2 * i + 1];
        local[2 * i] = kc * x - ks * y + tx;
        local[2 * i + 1] = ks * x + kc * y + ty;
    }
    return {kc, ks, tx, ty};
}

void LandmarkSmoother::smooth(const Shape& raw, const FacePose& pose, Shape& out)
{
    unchangedFrames_ = started_ && raw == lastRaw_ ? unchangedFrames_ + 1 : 0;
    lastRaw_ = raw;
    const bool shapeStarted = started_;
    started_ = true;
    const bool settle = !shapeStarted || unchangedFrames_ >= kUnchangedFramesToSettle;
    // The points in the face's own frame, in face sizes.
    const double c = std::cos(pose.angle), s = std::sin(pose.angle);
    std::array<double, kShapeValueCount> local;
    for (int i = 0; i < kShapePointCount; ++i) {
        const double dx = raw[2 * i] - pose.cx, dy = raw[2 * i + 1] - pose.cy;
        local[2 * i] = (c * dx + s * dy) / pose.size;
        local[2 * i + 1] = (-s * dx + c * dy) / pose.size;
    }
    const std::array<double, 4> frame = settle ? std::array<double, 4>{1, 0, 0, 0} : registerToRigidPoints(local);
    // The angle is filtered unwrapped, continuing from the last frame's.
    const double angle = shapeStarted ? lastAngle_ + angleBetween(pose.angle, lastAngle_) : pose.angle;
    lastAngle_ = angle;
    if (settle) {
        x_.settle(pose.cx);
        y_.settle(pose.cy);
        logSize_.settle(std::log(pose.size));
        angle_.settle(angle);
        shape_ = local;
        anchor_ = local;
        for (int k = 0; k < 4; ++k)
            registration_[k].settle(k == 0 ? 1.0 : 0.0);
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
    // Back from the rigid points' frame to the pose's.
    const double k2 = frame[0] * frame[0] + frame[1] * frame[1];
    const double ic = frame[0] / k2, is = frame[1] / k2;
    for (int i = 0; i < kShapePointCount; ++i) {
        const double a = factor[kPartOfPoint[i]];
        const double ru = (shape_[2 * i] += a * (local[2 * i] - shape_[2 * i])) - frame[2];
        const double rv = (shape_[2 * i + 1] += a * (local[2 * i + 1] - shape_[2 * i + 1])) - frame[3];
        const double u = ic * ru + is * rv, v = -is * ru + ic * rv;
        out[2 * i] = static_cast<float>(cx + sc * u - ss * v);
        out[2 * i + 1] = static_cast<float>(cy + ss * u + sc * v);
    }
}

} // namespace mivora
