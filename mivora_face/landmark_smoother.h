// SPDX-License-Identifier: MIT
// LandmarkSmoother: steadies a followed face's 68 points without lag.
//
// The raw points of each frame are split into the face's pose (position,
// size and roll, fitted to the points) and its shape in the face's own frame.
// Each part goes through a One Euro filter (Casiez, Roussel and Vogel, CHI
// 2012): a low-pass filter whose cut-off rises with speed, so a still face
// is smoothed hard and a moving one hardly at all. Moving the whole head
// only moves the pose, which is filtered lightly; camera noise mostly moves
// single points, whose shape filter is strong. The shape's speed is measured
// per facial part (a lip, an eyelid, a brow, the chin, the nose) as the mean
// motion of its points: parts move together, camera noise moves points at
// random and mostly cancels out. Speeds are measured in face sizes per
// frame, so faces of every size are treated alike. The shape is kept in the
// frame of the points that stay put when a face talks or blinks (the nose,
// the eye corners, the brows, the jaw line's ends), not in the pose's, which
// is fitted to all points and moves when the jaw drops; and the points are
// placed by the pose of that frame (the head's), filtered as the pose is, so
// that a jaw dropping is followed by the shape's filter alone.
#ifndef MIVORA_FACE_LANDMARK_SMOOTHER_H
#define MIVORA_FACE_LANDMARK_SMOOTHER_H

#include "face_pose.h"

#include <array>

namespace mivora {

class OneEuroFilter {
public:
    OneEuroFilter() = default;
    // Cut-offs in cycles per frame.
    OneEuroFilter(double minCutoff, double beta, double speedCutoff)
        : minCutoff_(minCutoff), beta_(beta), speedCutoff_(speedCutoff)
    {
    }
    // value's speed is measured in units of unit (for example the face's size).
    double filter(double value, double unit);
    void reset() { started_ = false; }
    // Makes value the state, as if it had been seen forever.
    void settle(double value)
    {
        value_ = value;
        speed_ = 0;
        started_ = true;
    }

private:
    double minCutoff_ = 1, beta_ = 0, speedCutoff_ = 1;
    double value_ = 0, speed_ = 0;
    bool started_ = false;
};

class LandmarkSmoother {
public:
    LandmarkSmoother();
    // Forgets the past: the next points are passed through unchanged.
    void reset();
    // raw: this frame's 68 points; pose: fitted to them. Writes the steadied
    // points to out. The same raw points frame after frame give exactly those
    // points after a few frames.
    void smooth(const Shape& raw, const FacePose& pose, Shape& out);
    // The steadied pose of the last points written.
    const FacePose& steadyPose() const { return steady_; }

private:
    // Moves local (the points in pose's frame) into the frame in which the
    // anchor's rigid points lie (least squares). Returns that frame's pose in
    // the image: where the anchor's rigid points' centre is, the scale and
    // the roll.
    FacePose registerToRigidPoints(std::array<double, kShapeValueCount>& local, const FacePose& pose) const;
    // Settles the filters on these points (in pose's frame).
    void settle(const std::array<double, kShapeValueCount>& local, const FacePose& pose, double angle);

    // The pose fitted to all points (what the tracker expects next), and the
    // pose of the rigid points' frame (where the points are drawn).
    OneEuroFilter x_, y_, logSize_, angle_;
    OneEuroFilter headX_, headY_, headLogSize_, headAngle_;
    // The shape in the rigid points' frame (see registerToRigidPoints), in
    // face sizes, and each part's speed.
    std::array<double, kShapeValueCount> shape_{};
    // The points when the filters last settled: the rigid points' places
    // there define the shape's frame, so that it cannot drift.
    std::array<double, kShapeValueCount> anchor_{};
    double anchorCentreX_ = 0, anchorCentreY_ = 0;
    std::array<double, 2 * 14> partSpeed_{};
    Shape lastRaw_{};
    FacePose steady_;
    double lastAngle_ = 0, lastHeadAngle_ = 0;
    int unchangedFrames_ = 0;
    bool started_ = false;
};

} // namespace mivora

#endif
