// SPDX-License-Identifier: MIT
// Plain dlib's face detector over a whole image: the reference FaceScan is
// timed against. CMake compiles this file twice, into two shared libraries
// with hidden symbols (so that each keeps its own copies of dlib's
// templates): once with the project's flags and once with -O3 -march=native,
// the best build of dlib a user could make for this machine.
#include "gray_image.h"

#include <dlib/image_processing/frontal_face_detector.h>

#include <vector>

#ifndef MIVORA_DLIB_REFERENCE_SCAN
#error "define MIVORA_DLIB_REFERENCE_SCAN, the name of the function"
#endif

extern "C" __attribute__((visibility("default"))) void
MIVORA_DLIB_REFERENCE_SCAN(dlib::frontal_face_detector* detector, const mivora::GrayImage* image,
                           std::vector<dlib::rect_detection>* found, double adjustThreshold)
{
    (*detector)(*image, *found, adjustThreshold);
}
