// SPDX-License-Identifier: MIT
// The pass and the frame loop against the scripted stand-in library.
#include "face_landmark_pass.h"
#include "fake_mivora_face.h"
#include "frame_loop.h"

#include "test_support.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>

using fake_mivora::Call;
using test_support::CapturedStdout;
using test_support::splitLines;

namespace {

const cv::Vec3b kRed(0, 0, 255);
const cv::Vec3b kGray(128, 128, 128);

cv::Mat grayFrame(int rows = 480, int cols = 640) { return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(128, 128, 128)); }

// A face spread over the frame: point i at (100 + 5i, 50 + 3i).
std::array<float, 136> spreadLandmarks()
{
    std::array<float, 136> values{};
    for (int i = 0; i < 68; ++i) {
        values[2 * i] = 100.0f + 5.0f * i;
        values[2 * i + 1] = 50.0f + 3.0f * i;
    }
    return values;
}

int redPixelCount(const cv::Mat& frame)
{
    int count = 0;
    frame.forEach<cv::Vec3b>([&](const cv::Vec3b& p, const int*) {
        if (p == kRed)
            ++count;
    });
    return count;
}

// label, tab, a whole number, "ms \t\n"
bool isLine(const std::string& line, const std::string& label)
{
    const std::string tail = "ms \t\n";
    if (line.rfind(label + "\t", 0) != 0 || line.size() <= label.size() + 1 + tail.size() ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string number = line.substr(label.size() + 1, line.size() - label.size() - 1 - tail.size());
    return number.find_first_not_of("0123456789") == std::string::npos;
}

class FaceLandmarkPass : public ::testing::Test {
protected:
    void SetUp() override { fake_mivora::reset(); }
};

} // namespace

TEST_F(FaceLandmarkPass, FaceFoundCallsBothInOrderWithTheFrame)
{
    fake_mivora::script().detectResults = {1};
    fake_mivora::script().landmarks = spreadLandmarks();
    cv::Mat frame = grayFrame();
    const cv::Mat original = frame.clone();

    CapturedStdout out;
    runFaceLandmarkPass(frame);

    const auto& calls = fake_mivora::calls();
    ASSERT_EQ(calls.size(), 2u);
    ASSERT_EQ(calls[0].kind, Call::Detect);
    EXPECT_EQ(calls[0].detect.pixels, frame.data) << "a continuous BGR frame is passed without a copy";
    EXPECT_EQ(calls[0].detect.width, 640);
    EXPECT_EQ(calls[0].detect.height, 480);
    EXPECT_EQ(calls[0].detect.mode, 1);
    EXPECT_TRUE(std::equal(calls[0].detect.bytes.begin(), calls[0].detect.bytes.end(), original.data))
        << "the library saw the pixels before anything was drawn";

    ASSERT_EQ(calls[1].kind, Call::Landmark);
    EXPECT_EQ(calls[1].landmark.faceIndex, 0);
    for (float value : calls[1].landmark.bufferOnEntry)
        ASSERT_EQ(value, 0.0f) << "the buffer is zeroed before the landmark call";

    const auto lines = splitLines(out.text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(isLine(lines[0], "FaceDetect  ==> ")) << lines[0];
    EXPECT_TRUE(isLine(lines[1], "Get Landmark68  => ")) << lines[1];

    for (int i = 0; i < 68; ++i)
        EXPECT_EQ(frame.at<cv::Vec3b>(50 + 3 * i, 100 + 5 * i), kRed) << "point " << i;
    EXPECT_EQ(frame.at<cv::Vec3b>(0, 0), kGray) << "no corner dot when a face is found";
}

TEST_F(FaceLandmarkPass, NoFaceDrawsTheCornerDotAndSkipsLandmarks)
{
    for (int result : {0, -1, -5}) {
        fake_mivora::reset();
        fake_mivora::script().detectResults = {result};
        fake_mivora::script().landmarks = spreadLandmarks();
        cv::Mat frame = grayFrame();
        CapturedStdout out;
        runFaceLandmarkPass(frame);

        EXPECT_EQ(fake_mivora::calls().size(), 1u) << "result " << result;
        const auto lines = splitLines(out.text());
        ASSERT_EQ(lines.size(), 1u) << "result " << result;
        EXPECT_TRUE(isLine(lines[0], "FaceDetect  ==> "));
        EXPECT_EQ(frame.at<cv::Vec3b>(0, 0), kRed);
        EXPECT_EQ(frame.at<cv::Vec3b>(1, 1), kRed);
        EXPECT_EQ(frame.at<cv::Vec3b>(5, 5), kGray);
        EXPECT_EQ(frame.at<cv::Vec3b>(50, 100), kGray) << "the scripted landmarks were never asked for";
    }
}

TEST_F(FaceLandmarkPass, CoordinatesTruncateTowardZero)
{
    std::array<float, 136> values{};
    for (int i = 0; i < 68; ++i) {
        values[2 * i] = 300.0f;
        values[2 * i + 1] = 200.0f;
    }
    values[0] = 12.9f; // point 0 at (12.9, 100)
    values[1] = 100.0f;
    values[2] = -0.7f; // point 1 at (-0.7, 300)
    values[3] = 300.0f;
    values[4] = 400.0f; // point 2 at (400, 479.99)
    values[5] = 479.99f;

    cv::Mat frame = grayFrame();
    drawLandmarks(frame, values.data());

    // A radius-1, thickness-2 circle reaches exactly 2 pixels from its centre
    // along the axes, so its edges tell where the centre is.
    EXPECT_EQ(frame.at<cv::Vec3b>(100, 10), kRed) << "12.9 must not round up to 13";
    EXPECT_EQ(frame.at<cv::Vec3b>(100, 14), kRed);
    EXPECT_EQ(frame.at<cv::Vec3b>(100, 15), kGray);
    EXPECT_EQ(frame.at<cv::Vec3b>(300, 2), kRed) << "-0.7 truncates to 0, not -1";
    EXPECT_EQ(frame.at<cv::Vec3b>(300, 3), kGray);
    EXPECT_EQ(frame.at<cv::Vec3b>(477, 400), kRed) << "479.99 truncates to 479, not 480";
    EXPECT_EQ(frame.at<cv::Vec3b>(476, 400), kGray);
}

TEST_F(FaceLandmarkPass, UnrepresentablePointsAreSkipped)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::array<float, 136> values{};
    const float bad[] = {nan, inf, -inf, 3e9f, -3e9f, 2147483648.0f};
    for (int i = 0; i < 68; ++i) {
        values[2 * i] = bad[i % 6];
        values[2 * i + 1] = 10.0f;
    }
    values[2 * 67] = 50.0f; // the last point is fine
    values[2 * 67 + 1] = 60.0f;

    cv::Mat frame = grayFrame();
    drawLandmarks(frame, values.data());
    cv::Mat onePoint = grayFrame();
    cv::circle(onePoint, cv::Point(50, 60), 1, cv::Scalar(0, 0, 255), 2);
    EXPECT_EQ(frame.at<cv::Vec3b>(60, 50), kRed);
    EXPECT_EQ(redPixelCount(frame), redPixelCount(onePoint)) << "only the last point is drawn";
}

TEST_F(FaceLandmarkPass, OtherFrameLayoutsReachTheLibraryAsContinuousBgr)
{
    cv::Mat gray(120, 160, CV_8UC1);
    cv::randu(gray, 0, 256);
    cv::Mat bgra(120, 160, CV_8UC4);
    cv::randu(bgra, 0, 256);
    cv::Mat wide(120, 200, CV_8UC3);
    cv::randu(wide, 0, 256);
    cv::Mat roi = wide(cv::Rect(20, 0, 160, 120)); // rows with gaps
    ASSERT_FALSE(roi.isContinuous());

    cv::Mat expectedGray, expectedBgra;
    cv::cvtColor(gray, expectedGray, cv::COLOR_GRAY2BGR);
    cv::cvtColor(bgra, expectedBgra, cv::COLOR_BGRA2BGR);
    const std::pair<cv::Mat, cv::Mat> cases[] = {{gray, expectedGray}, {bgra, expectedBgra}, {roi, roi.clone()}};

    for (const auto& [frameIn, expected] : cases) {
        fake_mivora::reset();
        fake_mivora::script().detectResults = {1};
        fake_mivora::script().landmarks = spreadLandmarks();
        cv::Mat frame = frameIn.clone();
        if (!frameIn.isContinuous())
            frame = frameIn; // keep the gaps
        const int type = frame.type();
        CapturedStdout out;
        runFaceLandmarkPass(frame);

        const auto& detect = fake_mivora::calls().at(0).detect;
        EXPECT_EQ(detect.width, 160);
        EXPECT_EQ(detect.height, 120);
        ASSERT_EQ(detect.bytes.size(), expected.total() * 3);
        EXPECT_TRUE(std::equal(detect.bytes.begin(), detect.bytes.end(), expected.data))
            << "type " << type << ": the library must see the frame as continuous BGR";
        EXPECT_EQ(frame.type(), type) << "the shown frame keeps its format";
        EXPECT_EQ(splitLines(out.text()).size(), 2u);
    }
    // The drawing lands on the frame that is shown: the ROI's parent image.
    EXPECT_EQ(wide.at<cv::Vec3b>(50, 120), kRed);
}

namespace {

// A camera that delivers frames, then nothing for a while, then frames again.
class StutteringCamera : public cv::VideoCapture {
public:
    explicit StutteringCamera(std::vector<bool> delivers) : delivers_(std::move(delivers)) {}
    VideoCapture& operator>>(cv::Mat& image) override
    {
        read(image);
        return *this;
    }
    bool read(cv::OutputArray image) override
    {
        const bool deliver = next_ < delivers_.size() && delivers_[next_];
        ++next_;
        if (!deliver) {
            image.release();
            return false;
        }
        cv::Mat(120, 160, CV_8UC3, cv::Scalar(90, 90, 90)).copyTo(image);
        return true;
    }

private:
    std::vector<bool> delivers_;
    std::size_t next_ = 0;
};

} // namespace

TEST_F(FaceLandmarkPass, FrameLoopRidesOutACameraGap)
{
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "needs a display (run under Xvfb)";
    std::vector<bool> delivers(3, true);
    delivers.insert(delivers.end(), 50, false);
    delivers.insert(delivers.end(), 4, true);
    fake_mivora::script().detectResults = {1, 1, 1, 1, 1, 1, 1};
    StutteringCamera camera(delivers);
    CapturedStdout out;
    runFrameLoop(camera, static_cast<long long>(delivers.size()));

    const auto lines = splitLines(out.text());
    ASSERT_EQ(lines.size(), 14u) << "two lines for each of the 7 frames, none for the gap";
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        EXPECT_TRUE(isLine(lines[i], "FaceDetect  ==> "));
        EXPECT_TRUE(isLine(lines[i + 1], "Get Landmark68  => "));
    }
    EXPECT_EQ(fake_mivora::calls().size(), 14u);
}
