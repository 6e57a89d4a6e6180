// SPDX-License-Identifier: MIT
#include "talking_face.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace mivora {

namespace {

constexpr int kPoints = MIVORA_FACE_LANDMARK_POINT_COUNT;

cv::Point2d at(const Shape& s, int i) { return {s[2 * i], s[2 * i + 1]}; }

void move(Shape& s, int i, cv::Point2d by)
{
    s[2 * i] = static_cast<float>(s[2 * i] + by.x);
    s[2 * i + 1] = static_cast<float>(s[2 * i + 1] + by.y);
}

// How far each point follows the lower lip when the jaw drops: the chin
// almost as far, the jaw line less towards the ears, the mouth's corners
// half way; the upper lip and everything above stay.
std::array<double, kPoints> jawWeights()
{
    std::array<double, kPoints> w{};
    const double jaw[] = {0.15, 0.35, 0.6, 0.8, 0.9, 0.8, 0.6, 0.35, 0.15}; // points 4 to 12
    for (int i = 0; i < 9; ++i)
        w[4 + i] = jaw[i];
    w[48] = w[54] = w[60] = w[64] = 0.45;                // mouth corners
    w[55] = w[59] = 0.75;                                // outer lower lip, beside the corners
    w[56] = w[57] = w[58] = w[65] = w[66] = w[67] = 1.0; // lower lip
    return w;
}

// Eyelid pairs: upper point, the lower point facing it.
constexpr int kLids[4][2] = {{37, 41}, {38, 40}, {43, 47}, {44, 46}};
// The inner lip line, in order around the mouth's inside.
constexpr int kInnerLip[8] = {60, 61, 62, 63, 64, 65, 66, 67};

// Points well outside the face that stay where they are, so that the warp
// ends smoothly in the face's surroundings.
std::vector<cv::Point2d> anchors(const Shape& face)
{
    const cv::Mat xy(kPoints, 2, CV_32F, const_cast<float*>(face.data()));
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    cv::minMaxLoc(xy.col(0), &x0, &x1);
    cv::minMaxLoc(xy.col(1), &y0, &y1);
    const cv::Point2d centre((x0 + x1) / 2, (y0 + y1) / 2);
    const double rx = x1 - x0, ry = y1 - y0;
    std::vector<cv::Point2d> ring;
    for (int k = 0; k < 16; ++k) {
        const double a = 2 * CV_PI * k / 16;
        ring.emplace_back(centre.x + rx * std::cos(a), centre.y + ry * std::sin(a));
    }
    return ring;
}

// Triangles over the points and anchors, as index triples. The mesh is made
// on the face with its mouth open, where no two inner lip points meet; every
// talking shape between closed and open keeps its triangles' orientation.
std::vector<cv::Vec3i> triangulate(const std::vector<cv::Point2d>& points)
{
    cv::Rect2d bounds(points[0], points[0]);
    for (const cv::Point2d& p : points)
        bounds |= cv::Rect2d(p, cv::Size2d(1, 1));
    cv::Subdiv2D subdiv(
        cv::Rect(cvFloor(bounds.x) - 2, cvFloor(bounds.y) - 2, cvCeil(bounds.width) + 4, cvCeil(bounds.height) + 4));
    std::vector<int> indexOfVertex;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const int vertex = subdiv.insert(cv::Point2f(points[i]));
        if (vertex >= static_cast<int>(indexOfVertex.size()))
            indexOfVertex.resize(static_cast<std::size_t>(vertex) + 1, -1);
        indexOfVertex[static_cast<std::size_t>(vertex)] = static_cast<int>(i);
    }
    // Subdiv2D lists triangles by their corners; its outer triangles, on
    // its own far vertices, are dropped.
    std::vector<cv::Vec3i> triangles;
    std::vector<cv::Vec6f> list;
    subdiv.getTriangleList(list);
    for (const cv::Vec6f& t : list) {
        cv::Vec3i tri;
        bool inside = true;
        for (int k = 0; k < 3 && inside; ++k) {
            int edge = 0, vertex = 0;
            const int located = subdiv.locate(cv::Point2f(t[2 * k], t[2 * k + 1]), edge, vertex);
            inside = located == cv::Subdiv2D::PTLOC_VERTEX && vertex < static_cast<int>(indexOfVertex.size()) &&
                     indexOfVertex[static_cast<std::size_t>(vertex)] >= 0;
            if (inside)
                tri[k] = indexOfVertex[static_cast<std::size_t>(vertex)];
        }
        if (inside)
            triangles.push_back(tri);
    }
    return triangles;
}

} // namespace

Shape talkingShape(const Shape& face, double mouthOpen, double blink)
{
    Shape s = face;
    const cv::Point2d across = at(face, 45) - at(face, 36);
    const double eyes = std::max(1.0, cv::norm(across));
    const cv::Point2d down(-across.y / eyes, across.x / eyes);
    const std::array<double, kPoints> weights = jawWeights();
    for (int i = 0; i < kPoints; ++i)
        move(s, i, down * (weights[i] * mouthOpen * eyes / 3));
    for (const auto& lid : kLids) {
        const cv::Point2d gap = at(face, lid[1]) - at(face, lid[0]);
        move(s, lid[0], gap * (0.85 * blink));
        move(s, lid[1], -gap * (0.1 * blink));
    }
    return s;
}

void warpFace(cv::Mat& bgr, const Shape& from, const Shape& to)
{
    const std::vector<cv::Point2d> ring = anchors(from);
    std::vector<cv::Point2d> source, target, mesh;
    const Shape open = talkingShape(from, 1, 0);
    for (int i = 0; i < kPoints; ++i) {
        source.push_back(at(from, i));
        target.push_back(at(to, i));
        mesh.push_back(at(open, i));
    }
    for (const cv::Point2d& p : ring) {
        source.push_back(p);
        target.push_back(p);
        mesh.push_back(p);
    }
    const std::vector<cv::Vec3i> triangles = triangulate(mesh);

    cv::Rect2d region(ring[0], ring[0]);
    for (const cv::Point2d& p : ring)
        region |= cv::Rect2d(p, cv::Size2d(1, 1));
    const cv::Rect roi =
        cv::Rect(cvFloor(region.x), cvFloor(region.y), cvCeil(region.width) + 1, cvCeil(region.height) + 1) &
        cv::Rect(0, 0, bgr.cols, bgr.rows);
    if (roi.empty())
        return;

    // Which triangle of the target each pixel lies in, and the affine map
    // from that triangle back to the source.
    cv::Mat triangleOf(roi.size(), CV_32S, cv::Scalar(-1));
    std::vector<cv::Matx23d> back;
    for (const cv::Vec3i& t : triangles) {
        const cv::Point2f dst[3] = {cv::Point2f(target[t[0]]), cv::Point2f(target[t[1]]), cv::Point2f(target[t[2]])};
        const cv::Point2f src[3] = {cv::Point2f(source[t[0]]), cv::Point2f(source[t[1]]), cv::Point2f(source[t[2]])};
        const double area = (dst[1] - dst[0]).cross(dst[2] - dst[0]);
        if (std::abs(area) < 1e-3)
            continue;
        back.push_back(cv::Matx23d(cv::getAffineTransform(dst, src)));
        // Sub-pixel corners: shift 4 gives sixteenths of a pixel.
        std::vector<cv::Point> corners;
        for (const cv::Point2f& p : dst)
            corners.emplace_back(cvRound((p.x - roi.x) * 16), cvRound((p.y - roi.y) * 16));
        cv::fillConvexPoly(triangleOf, corners, cv::Scalar(static_cast<double>(back.size() - 1)), cv::LINE_8, 4);
    }
    cv::Mat mapX(roi.size(), CV_32F), mapY(roi.size(), CV_32F);
    for (int y = 0; y < roi.height; ++y)
        for (int x = 0; x < roi.width; ++x) {
            const int t = triangleOf.at<int>(y, x);
            const double fx = x + roi.x, fy = y + roi.y;
            if (t < 0) {
                mapX.at<float>(y, x) = static_cast<float>(fx);
                mapY.at<float>(y, x) = static_cast<float>(fy);
                continue;
            }
            const cv::Matx23d& m = back[static_cast<std::size_t>(t)];
            mapX.at<float>(y, x) = static_cast<float>(m(0, 0) * fx + m(0, 1) * fy + m(0, 2));
            mapY.at<float>(y, x) = static_cast<float>(m(1, 0) * fx + m(1, 1) * fy + m(1, 2));
        }
    const cv::Mat original = bgr.clone();
    cv::Mat warped;
    cv::remap(original, warped, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    warped.copyTo(bgr(roi));

    // The mouth's inside: dark, more so the wider it opens.
    double gap = 0;
    for (int k = 0; k < 3; ++k)
        gap += cv::norm(at(to, 61 + k) - at(to, 67 - k)) - cv::norm(at(from, 61 + k) - at(from, 67 - k));
    gap /= 3;
    const double eyes = std::max(1.0, cv::norm(at(from, 45) - at(from, 36)));
    const double opacity = std::clamp(gap / (0.08 * eyes), 0.0, 1.0) * 0.85;
    if (opacity <= 0)
        return;
    cv::Mat mask(bgr.size(), CV_8U, cv::Scalar(0));
    std::vector<cv::Point> lip;
    for (int i : kInnerLip)
        lip.emplace_back(cvRound(to[2 * i] * 16), cvRound(to[2 * i + 1] * 16));
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{lip}, cv::Scalar(255), cv::LINE_AA, 4);
    const cv::Vec3d inside(35, 25, 60); // a shadowed, reddish mouth
    for (int y = roi.y; y < roi.y + roi.height; ++y)
        for (int x = roi.x; x < roi.x + roi.width; ++x) {
            const double a = opacity * mask.at<uchar>(y, x) / 255.0;
            if (a <= 0)
                continue;
            cv::Vec3b& p = bgr.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c)
                p[c] = cv::saturate_cast<uchar>(p[c] * (1 - a) + inside[c] * a);
        }
}

} // namespace mivora
