// SPDX-License-Identifier: MIT
// The two builds of plain dlib's detector (see dlib_reference_scan.cpp).
#ifndef BENCH_DLIB_REFERENCE_SCAN_H
#define BENCH_DLIB_REFERENCE_SCAN_H

#include "gray_image.h"

#include <dlib/image_processing/frontal_face_detector.h>

#include <vector>

extern "C" {
// Compiled with the project's flags (generic x86-64).
void mivora_dlib_scan_generic(dlib::frontal_face_detector* detector, const mivora::GrayImage* image,
                              std::vector<dlib::rect_detection>* found, double adjustThreshold);
// Compiled with -O3 -march=native.
void mivora_dlib_scan_native(dlib::frontal_face_detector* detector, const mivora::GrayImage* image,
                             std::vector<dlib::rect_detection>* found, double adjustThreshold);
}

#endif
