// SPDX-License-Identifier: MIT
// Pixel formats in mivora_bench: what a frame costs the library in each
// format it takes (a followed face in NV12, I420 and packed BGR), and the
// gray image the library makes from BGR and NV12 frames against OpenCV's
// conversion plus the copy a user makes when the library takes only packed
// BGR.
#ifndef TOOLS_BENCH_FORMATS_H
#define TOOLS_BENCH_FORMATS_H

#include <opencv2/core.hpp>

#include <string>

namespace mivora {

// Frame `index` of a camera-like clip: the photo drifting and zooming over
// background (of the clip's size); still: always the first frame.
cv::Mat driftingPhotoFrame(const cv::Mat& photo, const cv::Mat& background, int index, bool still);

// A background for driftingPhotoFrame: smooth noise.
cv::Mat clipBackground(cv::Size size);

// Runs the comparisons on `frames` frames of the photo at `size`, each
// `rounds` times (the formats taking turns), and prints the figures.
// Returns false when the photo cannot be read or the library fails.
bool runFormatBench(const std::string& photoPath, cv::Size size, int frames, int rounds);

} // namespace mivora

#endif
