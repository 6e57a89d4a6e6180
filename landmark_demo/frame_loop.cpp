// SPDX-License-Identifier: MIT
#include "frame_loop.h"

#include "face_landmark_pass.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>

#include <iostream>

void runFrameLoop(cv::VideoCapture& capture, long long iterationLimit)
{
    for (long long iteration = 0; iterationLimit == kRunForever || iteration < iterationLimit; ++iteration) {
        cv::Mat frame;
        capture >> frame;
        if (!frame.empty()) {
            runFaceLandmarkPass(frame);
            cv::imshow(kWindowName, frame);
        }
        // Keys are ignored, but the window still needs its events handled.
        cv::waitKey(kWaitKeyMilliseconds);
    }
}

namespace {

// Holds OpenCV's log at errors only: a missing camera makes every backend
// warn, and our own message says it once.
class QuietOpenCvWarnings {
public:
    QuietOpenCvWarnings() : previous_(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR)) {}
    ~QuietOpenCvWarnings() { cv::utils::logging::setLogLevel(previous_); }
    QuietOpenCvWarnings(const QuietOpenCvWarnings&) = delete;
    QuietOpenCvWarnings& operator=(const QuietOpenCvWarnings&) = delete;

private:
    cv::utils::logging::LogLevel previous_;
};

bool openCamera(cv::VideoCapture& camera)
{
    QuietOpenCvWarnings quiet;
    return camera.open(kCameraIndex, cv::CAP_ANY) && camera.isOpened();
}

} // namespace

int runLandmarkDemo()
{
    cv::VideoCapture camera;
    if (!openCamera(camera)) {
        std::cerr << "landmark_demo: cannot open camera " << kCameraIndex << "\n";
        return 1;
    }
    runFrameLoop(camera);
    return 0;
}
