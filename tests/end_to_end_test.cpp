// SPDX-License-Identifier: MIT
// The frame loop with the real library on a generated camera-like clip, in a
// real window (run under Xvfb).
#include "face_landmark_pass.h"
#include "frame_loop.h"
#include "mivora_face.h"

#include "test_support.h"

#include <gtest/gtest.h>
#include <opencv2/highgui.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <unistd.h>

using test_support::CapturedStdout;
using test_support::splitLines;

namespace {

const std::regex kDetectLine("FaceDetect  ==> \t[0-9]+ms \t\n");
const std::regex kLandmarkLine("Get Landmark68  => \t[0-9]+ms \t\n");

// Runs a shell command and returns its stdout.
std::string commandOutput(const std::string& command)
{
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe)
        return output;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe.get()) != nullptr)
        output += chunk;
    return output;
}

bool haveTool(const std::string& name) { return std::system(("command -v " + name + " >/dev/null").c_str()) == 0; }

std::string showWindowId()
{
    const std::string command =
        "xdotool search --pid " + std::to_string(getpid()) + " --name '^show$' 2>/dev/null | head -n 1";
    std::string id = commandOutput(command);
    id.erase(id.find_last_not_of("\n ") + 1);
    return id;
}

void pumpWindowEvents()
{
    for (int i = 0; i < 20; ++i)
        cv::waitKey(10);
}

// Bounding box of the pure red pixels of an image.
cv::Rect redBox(const cv::Mat& image, int& count)
{
    cv::Mat mask;
    cv::inRange(image, cv::Scalar(0, 0, 250), cv::Scalar(5, 5, 255), mask);
    count = cv::countNonZero(mask);
    return count > 0 ? cv::boundingRect(mask) : cv::Rect();
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "needs a display (run under Xvfb)";
        if (!haveTool("xdotool") || !haveTool("import"))
            GTEST_SKIP() << "needs xdotool and ImageMagick's import";
    }
};

} // namespace

TEST_F(EndToEnd, ClipThroughTheFrameLoop)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty());
    const std::string clip = ::testing::TempDir() + "end_to_end_clip.avi";
    const std::vector<bool> hasFace = test_support::writeFaceClip(clip, photo, cv::Size(640, 480), 12, 8, 12);
    ASSERT_FALSE(hasFace.empty()) << "cannot write " << clip;
    const int frameCount = static_cast<int>(hasFace.size());

    cv::VideoCapture capture(clip);
    ASSERT_TRUE(capture.isOpened());
    CapturedStdout out;
    const int firstPart = 10;
    runFrameLoop(capture, firstPart);

    pumpWindowEvents();
    const std::string window = showWindowId();
    ASSERT_FALSE(window.empty()) << "no window named show";
    // Keys go to the focused window; the loop must not care.
    std::system(("xdotool windowfocus " + window + " key q Escape space Return 2>/dev/null").c_str());

    // The rest of the clip, then a few reads past its end.
    runFrameLoop(capture, frameCount - firstPart + 3);

    const auto lines = splitLines(out.text());
    std::size_t next = 0;
    int framesInView = 0; // a face coming into view is found within 3 frames
    for (int frame = 0; frame < frameCount; ++frame) {
        ASSERT_LT(next, lines.size()) << "no line for frame " << frame;
        ASSERT_TRUE(std::regex_match(lines[next++], kDetectLine)) << "frame " << frame << ": " << lines[next - 1];
        const bool landmarked = next < lines.size() && std::regex_match(lines[next], kLandmarkLine);
        framesInView = hasFace[frame] ? framesInView + 1 : 0;
        if (!(hasFace[frame] && framesInView <= 3 && !landmarked))
            EXPECT_EQ(landmarked, hasFace[frame]) << "frame " << frame;
        if (landmarked)
            ++next;
    }
    EXPECT_EQ(next, lines.size()) << "no lines for the reads past the end";

    // The window shows the last frame with the landmarks of the face in it.
    pumpWindowEvents();
    const std::string shot = ::testing::TempDir() + "end_to_end_show.png";
    ASSERT_EQ(std::system(("import -window " + showWindowId() + " " + shot).c_str()), 0);
    const cv::Mat screenshot = cv::imread(shot, cv::IMREAD_COLOR);
    ASSERT_FALSE(screenshot.empty());

    // Find the frame in the screenshot (the window adds a tool bar), then
    // its red dots: on the face, spread like the face's landmarks.
    cv::VideoCapture again(clip);
    cv::Mat last;
    for (int i = 0; i < frameCount; ++i)
        again >> last;
    ASSERT_FALSE(last.empty());
    cv::Mat match;
    cv::matchTemplate(screenshot, last, match, cv::TM_SQDIFF);
    cv::Point frameInShot;
    cv::minMaxLoc(match, nullptr, nullptr, &frameInShot, nullptr);

    const cv::Point2d photoAt = test_support::photoOffset(photo.size(), last.size(), frameCount - 1);
    const cv::Rect face = test_support::kAstronautFace + frameInShot +
                          cv::Point(static_cast<int>(photoAt.x), static_cast<int>(photoAt.y));
    int redCount = 0;
    const cv::Rect red = redBox(screenshot, redCount);
    EXPECT_GE(redCount, 68 * 5) << "the 68 dots";
    EXPECT_EQ(red & face, red) << "red dots outside the face " << face << ": " << red;
    EXPECT_GT(red.width, face.width / 2);
    EXPECT_GT(red.height, face.height / 2);
}

namespace {

// In a fresh process: the demo with an unusable model keeps going, prints
// only detection lines and draws the corner dot.
void runDemoWithoutModel(const std::string& clip)
{
    cv::Mat frame = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    std::string text;
    {
        CapturedStdout out;
        runFaceLandmarkPass(frame);
        cv::VideoCapture capture(clip);
        runFrameLoop(capture, 8); // 6 frames, then empty reads
        text = out.text();
    }
    const auto lines = splitLines(text);
    bool onlyDetections = lines.size() == 7;
    for (const std::string& line : lines)
        onlyDetections = onlyDetections && std::regex_match(line, kDetectLine);
    const bool cornerDot = frame.at<cv::Vec3b>(0, 0) == cv::Vec3b(0, 0, 255);
    std::exit(onlyDetections && cornerDot ? 0 : 1);
}

} // namespace

TEST_F(EndToEnd, UnusableModelLeavesTheDemoRunning)
{
    // A fresh process, which loads the library, and so the model, anew.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string dir = ::testing::TempDir();
    const std::string clip = dir + "no_model_clip.avi";
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    ASSERT_FALSE(test_support::writeFaceClip(clip, photo, cv::Size(640, 480), 3, 0, 3).empty());
    const std::string empty = dir + "empty_model.dat";
    std::ofstream(empty).close();
    for (const std::string& model : {dir + "missing_model.dat", empty, dir}) {
        setenv("MIVORA_FACE_LANDMARK_MODEL", model.c_str(), 1);
        EXPECT_EXIT(runDemoWithoutModel(clip), ::testing::ExitedWithCode(0),
                    "cannot load the landmark model.*libdlib-data")
            << model;
    }
    unsetenv("MIVORA_FACE_LANDMARK_MODEL");
}
