// SPDX-License-Identifier: MIT
// The face landmark pass: detect, get the landmarks of face 0, draw them.
#ifndef LANDMARK_DEMO_FACE_LANDMARK_PASS_H
#define LANDMARK_DEMO_FACE_LANDMARK_PASS_H

#include <opencv2/core.hpp>

constexpr int kLandmarkPointCount = 68;
constexpr int kLandmarkValueCount = 2 * kLandmarkPointCount;
constexpr const char* kDetectLabel = "FaceDetect  ==> ";
constexpr const char* kLandmarkLabel = "Get Landmark68  => ";

// The frame as the library must see it: continuous 8-bit BGR. Returns frame
// itself when it already is one, otherwise a converted copy in scratch.
const cv::Mat& continuousBgrView(const cv::Mat& frame, cv::Mat& scratch);

// Draws the 68 (x, y) points of landmarks as small red circles on frame.
// Coordinates are truncated toward zero; a value that is not finite or does
// not fit in an int skips its point.
void drawLandmarks(cv::Mat& frame, const float* landmarks);

// Runs detection on a non-empty frame, the landmark call when a face is
// found, prints a timing line for each call, and draws on frame in place.
void runFaceLandmarkPass(cv::Mat& frame);

#endif
