// SPDX-License-Identifier: MIT
#include "face_pose.h"

#include <cmath>
#include <vector>

namespace mivora {

FacePose FacePose::of(const dlib::rectangle& rect)
{
    FacePose pose;
    pose.cx = (rect.left() + rect.right()) / 2.0;
    pose.cy = (rect.top() + rect.bottom()) / 2.0;
    pose.size = static_cast<double>(rect.right() - rect.left());
    return pose;
}

FacePose FacePose::fit(const float* meanShape, const Shape& points)
{
    std::vector<dlib::dpoint> from, to;
    for (int i = 0; i < kShapePointCount; ++i) {
        from.emplace_back(meanShape[2 * i], meanShape[2 * i + 1]);
        to.emplace_back(points[2 * i], points[2 * i + 1]);
    }
    const dlib::point_transform_affine t = dlib::find_similarity_transform(from, to);
    FacePose pose;
    const dlib::dpoint centre = t(dlib::dpoint(0.5, 0.5));
    pose.cx = centre.x();
    pose.cy = centre.y();
    pose.size = std::hypot(t.get_m()(0, 0), t.get_m()(1, 0));
    pose.angle = std::atan2(t.get_m()(1, 0), t.get_m()(0, 0));
    return pose;
}

dlib::point_transform_affine FacePose::toImage() const
{
    const double c = size * std::cos(angle), s = size * std::sin(angle);
    dlib::matrix<double, 2, 2> m;
    m = c, -s, s, c;
    const dlib::dpoint offset(cx - 0.5 * (c - s), cy - 0.5 * (s + c));
    return dlib::point_transform_affine(m, offset);
}

dlib::rectangle FacePose::rect() const
{
    const long left = std::lround(cx - size / 2), top = std::lround(cy - size / 2);
    const long side = std::lround(size);
    return dlib::rectangle(left, top, left + side, top + side);
}

PoseOffset FacePose::offsetOf(const FacePose& other) const
{
    const double c = std::cos(angle), s = std::sin(angle);
    const double x = other.cx - cx, y = other.cy - cy;
    return PoseOffset{(c * x + s * y) / size, (-s * x + c * y) / size, other.size / size};
}

FacePose FacePose::moved(const PoseOffset& offset) const
{
    const double c = std::cos(angle), s = std::sin(angle);
    FacePose pose = *this;
    pose.cx += size * (c * offset.dx - s * offset.dy);
    pose.cy += size * (s * offset.dx + c * offset.dy);
    pose.size *= offset.scale;
    return pose;
}

double angleBetween(double a, double b)
{
    double d = std::remainder(a - b, 2 * M_PI);
    return d <= -M_PI ? d + 2 * M_PI : d;
}

} // namespace mivora
