// SPDX-License-Identifier: MIT
// The plain dlib pipeline MivoraFace is measured against: dlib's HOG face
// detector on the whole frame, then dlib's shape_predictor with the Debian
// model, faces numbered as the library numbers them. Each model is read on
// first use, so the first calls show what loading costs.
#ifndef TOOLS_REFERENCE_PIPELINE_H
#define TOOLS_REFERENCE_PIPELINE_H

#include "mivora_face.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <opencv2/core.hpp>

#include <array>
#include <vector>

namespace mivora {

using Shape = std::array<float, MIVORA_FACE_LANDMARK_VALUE_COUNT>;

class ReferencePipeline {
public:
    // Finds the faces in a continuous 8-bit BGR frame; returns how many.
    int detect(const cv::Mat& bgr);
    // Requires: face < the count the last detect() returned.
    Shape landmarks(int face);

private:
    bool detectorReady_ = false;
    bool predictorReady_ = false;
    dlib::frontal_face_detector detector_;
    dlib::shape_predictor predictor_;
    cv::Mat gray_;
    std::vector<dlib::rectangle> faces_;
};

// Mean point distance of a from b, over b's inter-ocular distance (between
// the centres of points 36-41 and 42-47; at least one pixel).
double shapeDistance(const Shape& a, const Shape& b);

// The distance between the outer eye corners (points 36 and 45; at least one
// pixel), and the mean distance of a's points from truth's over truth's.
double eyeCornerDistance(const Shape& s);
double eyeCornerError(const Shape& a, const Shape& truth);
// How far the points moved from previous to current beyond the truth's own
// motion (on a still face, their plain movement): the mean over the points,
// in eye-corner distances of truth.
double movementError(const Shape& previous, const Shape& current, const Shape& previousTruth, const Shape& truth);

} // namespace mivora

#endif
