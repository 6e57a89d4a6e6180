// SPDX-License-Identifier: MIT
// landmark_demo: shows the 68 facial landmarks of the face in front of camera
// 1 and prints how long each face library call takes.
#include "frame_loop.h"

int main() { return runLandmarkDemo(); }
