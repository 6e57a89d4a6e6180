// SPDX-License-Identifier: MIT
// Frames made from photos for the detector benchmarks: a face cut out of a
// photo, scaled to a face width (its jaw line, points 1 to 17, as plain dlib
// finds them), rolled and placed anywhere on a random textured background
// with camera noise.
#ifndef MIVORA_TOOLS_SYNTHETIC_FRAMES_H
#define MIVORA_TOOLS_SYNTHETIC_FRAMES_H

#include "reference_pipeline.h"

#include <opencv2/core.hpp>

#include <optional>
#include <string>

namespace mivora {

// The frames' size.
extern const cv::Size kSyntheticFrame;

struct FacePhoto {
    std::string label;
    cv::Mat cut;        // head and shoulders around the face
    cv::Point2d centre; // face centre in the cut
    double width = 0;   // jaw width (points 1 to 17) in the cut
};

// PHOTO or PHOTO@SCALE (enlarged or shrunk first); nothing when the file
// cannot be read or plain dlib finds no face in it.
std::optional<FacePhoto> prepareFace(const std::string& argument, ReferencePipeline& reference);

// A random texture: uniform noise in a random grey range, blurred.
cv::Mat syntheticBackground(cv::RNG& rng);

// Gaussian noise of sigma grey levels on every channel.
void addCameraNoise(cv::Mat& frame, double sigma, cv::RNG& rng);

// photo's point `centre` to `at`, scaled by `scale`, rolled by `degrees`
// (clockwise on screen), over what frame holds.
void placePhoto(cv::Mat& frame, const cv::Mat& photo, cv::Point2d centre, double scale, double degrees, cv::Point2d at);

} // namespace mivora

#endif
