// SPDX-License-Identifier: MIT
// The frame loop: read, analyse, show, repeat.
#ifndef LANDMARK_DEMO_FRAME_LOOP_H
#define LANDMARK_DEMO_FRAME_LOOP_H

#include <opencv2/videoio.hpp>

constexpr int kCameraIndex = 1;
constexpr const char* kWindowName = "show";
constexpr int kWaitKeyMilliseconds = 1;
constexpr long long kRunForever = -1;

// Reads frames from capture one at a time, runs the face landmark pass on
// each non-empty one and shows every frame in the window "show". Runs
// iterationLimit iterations, or without end for kRunForever. An empty frame
// is not shown (the window keeps the last one) and ends nothing.
void runFrameLoop(cv::VideoCapture& capture, long long iterationLimit = kRunForever);

// Opens camera kCameraIndex and runs the frame loop on it for ever. Returns
// the exit status 1, after one line on stderr, when the camera cannot be opened.
int runLandmarkDemo();

#endif
