// SPDX-License-Identifier: MIT
// FacePose: where a face is, how large and at what roll: the face box of
// dlib's landmark model, turned about its centre.
#ifndef MIVORA_FACE_FACE_POSE_H
#define MIVORA_FACE_FACE_POSE_H

#include <dlib/geometry/point_transforms.h>
#include <dlib/geometry/rectangle.h>

#include <array>

namespace mivora {

constexpr int kShapePointCount = 68;
constexpr int kShapeValueCount = 2 * kShapePointCount;
// 68 (x, y) pairs.
using Shape = std::array<float, kShapeValueCount>;

// Where one box lies relative to a face's pose, in the face's own frame: its
// centre's offset in face sizes, and its size over the face's.
struct PoseOffset {
    double dx = 0, dy = 0, scale = 1;
};

struct FacePose {
    double cx = 0, cy = 0; // centre, in image pixels
    double size = 0;       // side of the box in pixels, as dlib's box width - 1
    double angle = 0;      // roll in radians, clockwise on screen (y points down)

    // The box's upright, dlib-sized rectangle.
    static FacePose of(const dlib::rectangle& rect);
    // The pose under which meanShape (in the normalised box) best matches
    // points (least squares over all points).
    static FacePose fit(const float* meanShape, const Shape& points);

    // Maps the normalised box (the unit square) to image pixels.
    dlib::point_transform_affine toImage() const;
    // The upright rectangle of the same centre and size.
    dlib::rectangle rect() const;

    // other's offset from this pose, and the box at an offset from it.
    PoseOffset offsetOf(const FacePose& other) const;
    FacePose moved(const PoseOffset& offset) const;
};

// a - b, in (-pi, pi].
double angleBetween(double a, double b);

} // namespace mivora

#endif
