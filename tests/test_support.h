// SPDX-License-Identifier: MIT
// Helpers shared by the tests: stdout capture, line splitting, test clips.
#ifndef TESTS_TEST_SUPPORT_H
#define TESTS_TEST_SUPPORT_H

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace test_support {

// Resident memory of this process, from /proc/self/statm.
inline long residentKiB()
{
    long totalPages = 0, residentPages = 0;
    std::ifstream("/proc/self/statm") >> totalPages >> residentPages;
    return residentPages * (sysconf(_SC_PAGESIZE) / 1024);
}

inline std::string dataPath(const std::string& name) { return std::string(TEST_DATA_DIR) + "/" + name; }

// Redirects std::cout for its lifetime and records what had been written at
// every flush, so that tests see when lines become visible.
class CapturedStdout {
public:
    CapturedStdout() : previous_(std::cout.rdbuf(&buffer_)) {}
    ~CapturedStdout() { std::cout.rdbuf(previous_); }
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;

    std::string text() const { return buffer_.str(); }
    const std::vector<std::string>& textAtEachFlush() const { return buffer_.flushes; }

private:
    struct RecordingBuffer : std::stringbuf {
        std::vector<std::string> flushes;
        int sync() override
        {
            flushes.push_back(str());
            return 0;
        }
    };
    RecordingBuffer buffer_;
    std::streambuf* previous_;
};

// Splits after every '\n'; each line keeps its newline.
inline std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        const std::size_t stop = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(begin, stop - begin));
        begin = stop;
    }
    return lines;
}

// A fixed, smooth texture that contains no face.
inline cv::Mat texturedBackground(cv::Size size)
{
    cv::Mat noise(size, CV_8UC3);
    cv::RNG rng(12345);
    rng.fill(noise, cv::RNG::UNIFORM, 60, 200);
    cv::GaussianBlur(noise, noise, cv::Size(0, 0), 4.0);
    return noise;
}

// Where the photo's top-left corner lies in frame `index` of a camera-like
// clip: it drifts to and fro, so a clip of any length keeps the face in view.
inline cv::Point2d photoOffset(cv::Size photo, cv::Size frame, int index)
{
    return {(frame.width - photo.width) / 2.0 + 40.0 * std::sin(index * 2.0 * CV_PI / 60.0),
            (frame.height - photo.height) / 2.0 + 20.0 * std::sin(index * 2.0 * CV_PI / 45.0)};
}

// Frame `index` of the clip: the photo over the background.
inline cv::Mat photoFrame(const cv::Mat& photo, const cv::Mat& background, int index)
{
    cv::Mat frame = background.clone();
    const cv::Point2d offset = photoOffset(photo.size(), background.size(), index);
    const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, offset.x, 0, 1, offset.y);
    cv::warpAffine(photo, frame, shift, frame.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    return frame;
}

// Where the face of astronaut.png is, read off the photo by eye.
const cv::Rect kAstronautFace(140, 40, 150, 160);

// Writes an MJPG clip: facesBefore frames with the photo, emptyFrames of the
// bare background, facesAfter with the photo again. Returns per frame whether
// the photo is in it, or an empty vector when the clip cannot be written.
inline std::vector<bool> writeFaceClip(const std::string& path, const cv::Mat& photo, cv::Size size, int facesBefore,
                                       int emptyFrames, int facesAfter)
{
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0, size);
    if (!writer.isOpened())
        return {};
    const cv::Mat background = texturedBackground(size);
    std::vector<bool> hasFace;
    const int total = facesBefore + emptyFrames + facesAfter;
    for (int i = 0; i < total; ++i) {
        const bool face = i < facesBefore || i >= facesBefore + emptyFrames;
        writer << (face ? photoFrame(photo, background, i) : background);
        hasFace.push_back(face);
    }
    return hasFace;
}

// Frame `index` of a face-free clip: the cat (chelsea.png) or the coffee cup
// (coffee.png), shrunk and slightly turned, drifting over the textured
// background with camera noise. A face network alone takes parts of both
// for faces now and then.
inline cv::Mat faceFreeFrame(const cv::Mat& photo, int index)
{
    const cv::Mat background = texturedBackground(cv::Size(640, 480));
    cv::Mat frame = background.clone();
    const double scale = 0.6 * 480 / photo.rows;
    cv::Mat warp = cv::getRotationMatrix2D(cv::Point2f(photo.cols / 2.0f, photo.rows / 2.0f), 10.0 - index, scale);
    warp.at<double>(0, 2) += 320 - photo.cols / 2.0 + 2 * index;
    warp.at<double>(1, 2) += 240 - photo.rows / 2.0;
    cv::warpAffine(photo, frame, warp, frame.size(), cv::INTER_AREA, cv::BORDER_TRANSPARENT);
    cv::Mat noise(frame.size(), CV_16SC3), frame16;
    cv::RNG rng(static_cast<std::uint64_t>(index) + 1);
    rng.fill(noise, cv::RNG::NORMAL, 0, 3);
    frame.convertTo(frame16, CV_16SC3);
    cv::add(frame16, noise, frame16);
    frame16.convertTo(frame, CV_8UC3);
    return frame;
}
constexpr int kFaceFreeFrames = 24;
// A score threshold low enough for the network alone to see faces in them.
constexpr float kLowScoreThreshold = 0.1f;

} // namespace test_support

#endif
