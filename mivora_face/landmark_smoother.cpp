#include "landmark_smoother.h"

#include <cmath>

namespace mivora {

namespace {

// Cut-offs in cycles per frame; speeds in face sizes (or radians, or log
// size) per frame. The pose follows any head motion almost at once; the
// shape in the face's frame, where camera noise shows, is smoothed hardest.
constexpr double kPoseMinCutoff = 0.05, kPoseBeta = 40.0;
constexpr double kShapeMinCutoff = 0.02, kShapeBeta = 20.0;
constexpr double kSpeedCutoff = 0.15;
// After this many frames with exactly the same raw points, the output is
// those points: a still picture gives still, reproducible dots.
constexpr int kUnchangedFramesToSettle = 3;

double smoothingFactor(double cutoff) { return 1.0 / (1.0 + 1.0 / (2.0 * M_PI * cutoff)); }

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
    : x_(kPoseMinCutoff, kPoseBeta, kSpeedCutoff), y_(kPoseMinCutoff, kPoseBeta, kSpeedCutoff),
      logSize_(kPoseMinCutoff, kPoseBeta, kSpeedCutoff), angle_(kPoseMinCutoff, kPoseBeta, kSpeedCutoff)
{
    shape_.fill(OneEuroFilter(kShapeMinCutoff, kShapeBeta, kSpeedCutoff));
}

void LandmarkSmoother::reset()
{
    x_.reset();
    y_.reset();
    logSize_.reset();
    angle_.reset();
    for (OneEuroFilter& f : shape_)
        f.reset();
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
    started_ = true;
    const double c = std::cos(pose.angle), s = std::sin(pose.angle);
    if (unchangedFrames_ >= kUnchangedFramesToSettle) {
        x_.settle(pose.cx);
        y_.settle(pose.cy);
        logSize_.settle(std::log(pose.size));
        angle_.settle(angle);
        for (int i = 0; i < kShapePointCount; ++i) {
            const double dx = raw[2 * i] - pose.cx, dy = raw[2 * i + 1] - pose.cy;
            shape_[2 * i].settle((c * dx + s * dy) / pose.size);
            shape_[2 * i + 1].settle((-s * dx + c * dy) / pose.size);
        }
        out = raw;
        return;
    }

    const double cx = x_.filter(pose.cx, pose.size);
    const double cy = y_.filter(pose.cy, pose.size);
    const double size = std::exp(logSize_.filter(std::log(pose.size), 1.0));
    const double steadyAngle = angle_.filter(angle, 1.0);
    const double sc = size * std::cos(steadyAngle), ss = size * std::sin(steadyAngle);
    for (int i = 0; i < kShapePointCount; ++i) {
        // The point in the face's own frame, in face sizes.
        const double dx = raw[2 * i] - pose.cx, dy = raw[2 * i + 1] - pose.cy;
        const double u = shape_[2 * i].filter((c * dx + s * dy) / pose.size, 1.0);
        const double v = shape_[2 * i + 1].filter((-s * dx + c * dy) / pose.size, 1.0);
        out[2 * i] = static_cast<float>(cx + sc * u - ss * v);
        out[2 * i + 1] = static_cast<float>(cy + ss * u + sc * v);
    }
}

} // namespace mivora
