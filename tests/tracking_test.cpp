// SPDX-License-Identifier: MIT
// Video mode against the plain dlib pipeline: faces are followed from frame to
// frame without being lost, gained or moved, and still mode gives dlib's faces
// and, up to the compact landmark model's difference, its points.
#include "mivora_face.h"
#include "reference_pipeline.h"
#include "talking_face.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>

namespace {

using mivora::Shape;

// A face in view is found within this many frames of video mode: the
// whole-frame search is spread over them.
constexpr int kFramesToFind = 3;

// Face 0 and its landmarks, or nothing when no face is found.
std::optional<Shape> libraryFace(const cv::Mat& bgr, int mode, int* count = nullptr)
{
    const int faces = MivoraFaceDetectStd(bgr.data, bgr.cols, bgr.rows, mode);
    if (count != nullptr)
        *count = faces;
    if (faces <= 0)
        return std::nullopt;
    Shape shape{};
    EXPECT_EQ(MivoraGetFaceLandmark68Std(0, shape.data()), MIVORA_FACE_OK);
    return shape;
}

// Face 0 of the plain dlib pipeline, or nothing when it finds no face.
std::optional<Shape> referenceFace(const cv::Mat& bgr, int* count = nullptr)
{
    static mivora::ReferencePipeline reference;
    const int faces = reference.detect(bgr);
    if (count != nullptr)
        *count = faces;
    if (faces == 0)
        return std::nullopt;
    return reference.landmarks(0);
}

} // namespace

// How far the points of the library's compact landmark model may be from
// dlib's float model's, on average, in eye-corner distances: the regression
// itself moves its points by a few tenths of a percent (up to about 1% on a
// small face) when its box moves by a thousandth of a pixel, and rounding
// to whole pixels moves each by up to 0.7 px, 1% of a small face's
// eye-corner distance.
constexpr double kCompactModelMeanError = 0.025;

TEST(MivoraStillMode, GivesThePlainDlibFacesAndNearlyItsPoints)
{
    const cv::Mat astronaut = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    cv::Mat messiTwice; // one small face, found once the photo is enlarged
    cv::resize(cv::imread(test_support::dataPath("messi5.jpg"), cv::IMREAD_COLOR), messiTwice, cv::Size(), 2, 2);
    const cv::Mat background = test_support::texturedBackground(cv::Size(640, 480));
    for (const cv::Mat& photo : {astronaut, messiTwice, test_support::photoFrame(astronaut, background, 17)}) {
        int mine = 0, theirs = 0;
        const std::optional<Shape> a = libraryFace(photo, MIVORA_FACE_MODE_STILL, &mine);
        const std::optional<Shape> b = referenceFace(photo, &theirs);
        EXPECT_EQ(mine, theirs);
        ASSERT_TRUE(a && b);
        EXPECT_LT(mivora::eyeCornerError(*a, *b), kCompactModelMeanError);
        for (float value : *a)
            EXPECT_EQ(value, std::round(value)) << "whole pixels, as dlib gives them";
    }
}

// A face for 40 frames, 20 frames without it, then the face again; the photo
// drifts as in a hand-held camera.
TEST(MivoraVideoMode, FollowsAFaceOutAndBackWithoutLosingOrInventingOne)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const cv::Mat background = test_support::texturedBackground(cv::Size(640, 480));
    const int leaveAt = 40, returnAt = 60, end = 100;
    int firstFoundAfterReturn = -1;
    for (int i = 0; i < end; ++i) {
        const bool face = i < leaveAt || i >= returnAt;
        const cv::Mat frame = face ? test_support::photoFrame(photo, background, i) : background;
        int count = 0;
        const std::optional<Shape> mine = libraryFace(frame, MIVORA_FACE_MODE_VIDEO, &count);
        if (!face) {
            if (i >= leaveAt + 2)
                EXPECT_EQ(count, 0) << "frame " << i << " has no face";
            continue;
        }
        if (i >= returnAt && firstFoundAfterReturn < 0 && mine)
            firstFoundAfterReturn = i;
        if (i < 3 || (i >= returnAt && i < returnAt + 3 && !mine))
            continue; // a face entering may take up to 3 frames
        ASSERT_TRUE(mine) << "face lost in frame " << i;
        const std::optional<Shape> reference = referenceFace(frame);
        ASSERT_TRUE(reference);
        EXPECT_LT(mivora::shapeDistance(*mine, *reference), 0.05) << "frame " << i;
    }
    EXPECT_GE(firstFoundAfterReturn, returnAt);
    EXPECT_LT(firstFoundAfterReturn, returnAt + 3);
}

TEST(MivoraVideoMode, AStillSceneGivesStillLandmarks)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const cv::Mat frame = test_support::photoFrame(photo, test_support::texturedBackground(cv::Size(640, 480)), 5);
    std::vector<Shape> shapes;
    for (int i = 0; i < 30; ++i) {
        const std::optional<Shape> shape = libraryFace(frame, MIVORA_FACE_MODE_VIDEO);
        if (i < kFramesToFind && !shape)
            continue;
        ASSERT_TRUE(shape) << "frame " << i;
        shapes.push_back(*shape);
    }
    // The smoothing settles within a few frames; from then on the very same points.
    constexpr std::size_t kSettled = 12;
    for (std::size_t i = kSettled + 1; i < shapes.size(); ++i)
        EXPECT_EQ(shapes[i], shapes[kSettled]) << "frame " << i;
}

TEST(MivoraVideoMode, ANewFrameSizeStartsAfresh)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const cv::Mat big = test_support::photoFrame(photo, test_support::texturedBackground(cv::Size(800, 600)), 0);
    const auto firstFace = [](const cv::Mat& frame) {
        std::optional<Shape> found;
        for (int i = 0; i < kFramesToFind && !found; ++i)
            found = libraryFace(frame, MIVORA_FACE_MODE_VIDEO);
        return found;
    };
    ASSERT_TRUE(firstFace(big));
    ASSERT_TRUE(libraryFace(big, MIVORA_FACE_MODE_VIDEO));
    // Same face, other place: a face carried over from the bigger frame
    // would be looked for in the wrong place or outside the image.
    cv::Mat small(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    photo(cv::Rect(100, 0, 412, 400)).copyTo(small(cv::Rect(228, 80, 412, 400)));
    const std::optional<Shape> mine = firstFace(small);
    const std::optional<Shape> reference = referenceFace(small);
    ASSERT_TRUE(mine && reference);
    // Found afresh by the whole-frame search: dlib's points, up to the
    // compact model's difference and rounding.
    EXPECT_LT(mivora::eyeCornerError(*mine, *reference), kCompactModelMeanError);
}

namespace {

// The astronaut's face turned, scaled and moved about its centre in a
// 640x480 frame over a face-free background; truth carries the reference's
// landmarks of the upright face the same way.
struct MovedFace {
    cv::Mat frame;
    Shape truth;
};

class FaceMover {
public:
    FaceMover()
    {
        const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
        photo_ = photo(cv::Rect(60, 0, 320, 340)).clone(); // head and shoulders only
        background_ = test_support::texturedBackground(cv::Size(640, 480));
        const MovedFace upright = place(0, 1, 0, 0);
        mivora::ReferencePipeline reference;
        if (reference.detect(upright.frame) > 0)
            truth_ = reference.landmarks(0);
    }
    bool usable() const { return truth_[0] != 0; }
    // The scale at which the face's jaw line (points 1 to 17) is this wide.
    double scaleForJawWidth(double pixels) const
    {
        return pixels / std::hypot(truth_[32] - truth_[0], truth_[33] - truth_[1]);
    }
    // degrees clockwise, scale, shift in pixels; the frame blurred (a face
    // out of focus), then camera noise added.
    MovedFace place(double degrees, double scale, double dx, double dy, double noiseSigma = 0,
                    double blurSigma = 0) const
    {
        const cv::Point2f centre(320, 220);
        cv::Mat warp = cv::getRotationMatrix2D(cv::Point2f(photo_.cols / 2.0f, photo_.rows / 2.0f), -degrees, scale);
        warp.at<double>(0, 2) += centre.x - photo_.cols / 2.0 + dx;
        warp.at<double>(1, 2) += centre.y - photo_.rows / 2.0 + dy;
        MovedFace moved{background_.clone(), {}};
        cv::warpAffine(photo_, moved.frame, warp, moved.frame.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
        if (blurSigma > 0)
            cv::GaussianBlur(moved.frame, moved.frame, cv::Size(), blurSigma);
        if (noiseSigma > 0) {
            cv::Mat noise(moved.frame.size(), CV_16SC3), frame16;
            noiseRandom_.fill(noise, cv::RNG::NORMAL, 0, noiseSigma);
            moved.frame.convertTo(frame16, CV_16SC3);
            cv::add(frame16, noise, frame16);
            frame16.convertTo(moved.frame, CV_8UC3);
        }
        // The truth was measured with the face placed upright at scale 1.
        const cv::Mat upright = cv::getRotationMatrix2D(cv::Point2f(photo_.cols / 2.0f, photo_.rows / 2.0f), 0, 1);
        for (int i = 0; i < 68; ++i) {
            // Back to photo coordinates, then through this frame's warp.
            const double px = truth_[2 * i] - (centre.x - photo_.cols / 2.0) - upright.at<double>(0, 2);
            const double py = truth_[2 * i + 1] - (centre.y - photo_.rows / 2.0) - upright.at<double>(1, 2);
            moved.truth[2 * i] =
                static_cast<float>(warp.at<double>(0, 0) * px + warp.at<double>(0, 1) * py + warp.at<double>(0, 2));
            moved.truth[2 * i + 1] =
                static_cast<float>(warp.at<double>(1, 0) * px + warp.at<double>(1, 1) * py + warp.at<double>(1, 2));
        }
        return moved;
    }

private:
    cv::Mat photo_, background_;
    Shape truth_{};
    mutable cv::RNG noiseRandom_{99};
};

// A still-mode call on an empty frame ends any following.
void restartVideo()
{
    const cv::Mat blank(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
    MivoraFaceDetectStd(blank.data, blank.cols, blank.rows, MIVORA_FACE_MODE_STILL);
}

// The centre of a moved face's true landmarks, and how far from it the
// centre of the box of face `index` in the last detection lies.
cv::Point2d truthCentre(const MovedFace& moved)
{
    cv::Point2d centre(0, 0);
    for (int p = 0; p < 68; ++p)
        centre += cv::Point2d(moved.truth[2 * p], moved.truth[2 * p + 1]) / 68.0;
    return centre;
}

double boxOffFace(const MovedFace& moved, int index, MivoraFaceBox& box)
{
    box = MivoraFaceBox{};
    if (MivoraGetFaceBoxStd(index, &box) != MIVORA_FACE_OK)
        return std::numeric_limits<double>::infinity();
    return cv::norm(cv::Point2d(box.x + box.width / 2, box.y + box.height / 2) - truthCentre(moved));
}

} // namespace

TEST(MivoraVideoMode, FollowsAHeadTiltedPast45DegreesWithGoodPoints)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    restartVideo();
    double uprightError = 0, worstError = 0;
    int frames = 0, found = 0;
    for (int step = 0; step <= 60; ++step, ++frames) {
        const double degrees = step <= 30 ? 2.0 * step : 2.0 * (60 - step); // 0 to 60 and back
        const MovedFace moved = mover.place(degrees, 1, 0, 0);
        const std::optional<Shape> mine = libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO);
        if (!mine)
            continue;
        ++found;
        const double error = mivora::eyeCornerError(*mine, moved.truth);
        if (degrees < 10)
            uprightError = std::max(uprightError, error);
        else
            worstError = std::max(worstError, error);
    }
    EXPECT_GE(found, frames - kFramesToFind);
    EXPECT_LT(worstError, 0.07);
    EXPECT_LT(worstError, 1.5 * std::max(uprightError, 0.02));
}

TEST(MivoraVideoMode, SteadyUnderCameraNoiseAndNoLagOnAPan)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    // A still head under camera noise: frame-to-frame movement against the
    // plain dlib pipeline's on the same frames.
    restartVideo();
    mivora::ReferencePipeline reference;
    std::optional<Shape> previousMine, previousTheirs;
    double movedMine = 0, movedTheirs = 0;
    for (int i = 0; i < 40; ++i) {
        const MovedFace moved = mover.place(0, 1, 0, 0, 8.0);
        const std::optional<Shape> mine = libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO);
        ASSERT_TRUE(reference.detect(moved.frame) > 0);
        const Shape theirs = reference.landmarks(0);
        if (i >= 10 && mine && previousMine) {
            movedMine += mivora::eyeCornerError(*mine, *previousMine);
            movedTheirs += mivora::eyeCornerError(theirs, *previousTheirs);
        }
        previousMine = mine;
        previousTheirs = theirs;
    }
    EXPECT_LT(movedMine, movedTheirs / 3);

    // A pan at 16 px a frame: the points keep up, as close to the truth as
    // the plain pipeline's.
    restartVideo();
    double errorMine = 0, errorTheirs = 0;
    int moving = 0;
    for (int i = 0; i < 30; ++i) {
        const MovedFace moved = mover.place(0, 1, -200 + 16.0 * i, 0);
        const std::optional<Shape> mine = libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO);
        if (i < kFramesToFind && !mine)
            continue;
        ASSERT_TRUE(mine) << "frame " << i;
        ASSERT_TRUE(reference.detect(moved.frame) > 0);
        if (i >= 10) {
            errorMine += mivora::eyeCornerError(*mine, moved.truth);
            errorTheirs += mivora::eyeCornerError(reference.landmarks(0), moved.truth);
            ++moving;
        }
    }
    std::cout << "pan error: library " << errorMine / moving << ", plain dlib " << errorTheirs / moving << "\n";
    // A filter trailing a frame would be 16 px behind, a third of the
    // eye-corner distance. Plain dlib does unusually well here: 16 px is two
    // of its detector's cells, so its box sits on the face exactly as on the
    // unmoved photo the truth comes from. Ours is about 1.5 times that (a
    // hundredth of the eye-corner distance), from where the start box sits.
    EXPECT_LT(errorMine / moving, 0.04);
    EXPECT_LT(errorMine, 1.6 * errorTheirs);
}

// A still head under camera noise, sharp and slightly out of focus: each
// frame's points are the mean of three readings from slightly moved boxes,
// and move a fifth as much as plain dlib's or less (0.13 and 0.19 here; read
// once, with the same smoothing, 0.27 and 0.29).
TEST(MivoraVideoMode, AStillHeadUnderNoiseMovesAFifthAsMuchAsDlibs)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    mivora::ReferencePipeline reference;
    for (const double blur : {0.0, 1.5}) {
        restartVideo();
        std::optional<Shape> previousMine, previousTheirs;
        double movedMine = 0, movedTheirs = 0;
        for (int i = 0; i < 40; ++i) {
            const MovedFace moved = mover.place(0, 1, 0, 0, 6.0, blur);
            const std::optional<Shape> mine = libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO);
            ASSERT_TRUE(mine || i < kFramesToFind) << "frame " << i;
            ASSERT_TRUE(reference.detect(moved.frame) > 0) << "frame " << i;
            const Shape theirs = reference.landmarks(0);
            if (i >= 10) {
                movedMine += mivora::eyeCornerError(*mine, *previousMine);
                movedTheirs += mivora::eyeCornerError(theirs, *previousTheirs);
            }
            previousMine = mine;
            previousTheirs = theirs;
        }
        std::cout << "blur " << blur << ": movement " << movedMine / movedTheirs << " of plain dlib's\n";
        EXPECT_LT(movedMine, 0.22 * movedTheirs) << "blur " << blur;
    }
}

// A face talking and blinking under camera noise, 150 px wide: the points
// follow the lips and lids as closely as plain dlib's do frame by frame, and
// move (beyond the true motion) clearly less. With the head held this still,
// dlib's box does not move either: its points move 1.6 times as much as ours
// here, twice as much or more when the head sways as real heads do (the
// benchmark's talking scenario).
TEST(MivoraVideoMode, ATalkingFaceIsFollowedAsCloselyAsByDlibAndSteadier)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    restartVideo();
    mivora::ReferencePipeline reference;
    const double scale = mover.scaleForJawWidth(150);
    cv::RNG syllables(5);
    std::vector<double> open;
    while (open.size() < 150) {
        const int length = syllables.uniform(5, 10);
        const double amount = syllables.uniform(0.3, 1.0);
        for (int k = 0; k < length; ++k)
            open.push_back(amount * std::sin(M_PI * (k + 1) / (length + 1)));
    }
    std::optional<Shape> previousMine, previousTheirs, previousTruth;
    double errorMine = 0, errorTheirs = 0, motionMine = 0, motionTheirs = 0;
    int measured = 0;
    // A blink every 50 frames, closing and opening over six.
    const double blinkShape[] = {0.4, 0.9, 1.0, 0.8, 0.4, 0.1};
    for (int i = 0; i < 150; ++i) {
        MovedFace moved = mover.place(0, scale, 0, 0, 3.0);
        const double blink = i % 50 < 6 ? blinkShape[i % 50] : 0;
        const Shape truth = mivora::talkingShape(moved.truth, open[static_cast<std::size_t>(i)], blink);
        mivora::warpFace(moved.frame, moved.truth, truth);
        const std::optional<Shape> mine = libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO);
        if (i < kFramesToFind && !mine)
            continue;
        ASSERT_TRUE(mine) << "frame " << i;
        ASSERT_TRUE(reference.detect(moved.frame) > 0) << "frame " << i;
        const Shape theirs = reference.landmarks(0);
        if (i >= 10 && previousMine) {
            errorMine += mivora::eyeCornerError(*mine, truth);
            errorTheirs += mivora::eyeCornerError(theirs, truth);
            motionMine += mivora::movementError(*previousMine, *mine, *previousTruth, truth);
            motionTheirs += mivora::movementError(*previousTheirs, theirs, *previousTruth, truth);
            ++measured;
        }
        previousMine = mine;
        previousTheirs = theirs;
        previousTruth = truth;
    }
    std::cout << "talking: error " << errorMine / measured << " (plain dlib " << errorTheirs / measured
              << "), movement " << motionMine / measured << " (plain dlib " << motionTheirs / measured << ")\n";
    EXPECT_LT(errorMine, 1.03 * errorTheirs);
    EXPECT_LT(motionMine, 0.75 * motionTheirs);
}

// A face that jumps out of the window it is followed in (a cut, a fast
// move) is looked for first at the size it had, so it is found again in the
// frame it jumped in, though its size is not among the smallest faces the
// search starts with.
TEST(MivoraVideoMode, AFaceThatJumpsIsFoundAgainAtOnce)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    restartVideo();
    for (int i = 0; i < 12; ++i) {
        const std::optional<Shape> shape = libraryFace(mover.place(0, 1.2, 0, 0).frame, MIVORA_FACE_MODE_VIDEO);
        ASSERT_TRUE(shape || i < kFramesToFind) << "frame " << i;
    }
    const MovedFace jumped = mover.place(0, 1.2, -170, 30);
    const std::optional<Shape> shape = libraryFace(jumped.frame, MIVORA_FACE_MODE_VIDEO);
    ASSERT_TRUE(shape) << "lost in the frame it jumped in";
    EXPECT_LT(mivora::eyeCornerError(*shape, jumped.truth), 0.05);
}

// A head that comes into view tilted by 45 degrees, beyond what dlib's
// detector finds, is found by the search of the turned frame, either way.
TEST(MivoraVideoMode, AHeadEnteringTiltedIsFound)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    mivora::ReferencePipeline reference;
    const cv::Mat background = test_support::texturedBackground(cv::Size(640, 480));
    for (const double degrees : {45.0, -45.0}) {
        // Long enough that the turned search has run each way on the bare
        // background, where it must find nothing.
        restartVideo();
        for (int i = 0; i < 3 + 8 + 1; ++i)
            ASSERT_FALSE(libraryFace(background, MIVORA_FACE_MODE_VIDEO)) << "frame " << i;
        const MovedFace tilted = mover.place(degrees, 1, 0, 0);
        ASSERT_EQ(reference.detect(tilted.frame), 0) << "dlib's detector finds this head: no test of the turned search";
        // Four parts a turn, two turns: every face is searched for within 8 frames.
        std::optional<Shape> found;
        int frames = 0;
        while (!found && frames < 8)
            found = libraryFace(mover.place(degrees, 1, ++frames, 0).frame, MIVORA_FACE_MODE_VIDEO);
        ASSERT_TRUE(found) << degrees << " degrees";
        const MovedFace next = mover.place(degrees, 1, ++frames, 0);
        const std::optional<Shape> followed = libraryFace(next.frame, MIVORA_FACE_MODE_VIDEO);
        ASSERT_TRUE(followed) << degrees << " degrees";
        EXPECT_LT(mivora::eyeCornerError(*followed, next.truth), 0.07) << degrees << " degrees";
    }
}

TEST(MivoraVideoMode, FaceZeroKeepsItsIdentityWhenASecondFaceEnters)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const cv::Mat head = photo(cv::Rect(60, 0, 320, 340));
    cv::Mat bigger;
    cv::resize(head, bigger, cv::Size(), 1.3, 1.3);
    const cv::Mat background = test_support::texturedBackground(cv::Size(1280, 480));
    restartVideo();
    for (int i = 0; i < 70; ++i) {
        cv::Mat frame = background.clone();
        head.copyTo(frame(cv::Rect(20, 60, head.cols, head.rows)));
        // A larger face, which would be face 0 in a still image, enters at frame 20.
        if (i >= 20)
            bigger(cv::Rect(0, 0, bigger.cols, 440)).copyTo(frame(cv::Rect(800, 20, bigger.cols, 440)));
        int count = 0;
        const std::optional<Shape> first = libraryFace(frame, MIVORA_FACE_MODE_VIDEO, &count);
        if (i < kFramesToFind && !first)
            continue;
        ASSERT_TRUE(first) << "frame " << i;
        EXPECT_LT((*first)[60], 400.0f) << "frame " << i << ": face 0 is the first face";
        if (i >= 20 + 30 + kFramesToFind)
            EXPECT_EQ(count, 2) << "frame " << i << ": the second face is found by the next search";
    }
}

// Beside a followed face, the search for new ones begins every 36 frames and
// its passes are spread over two frames each: a second face is found within
// 40 frames of entering, whenever in that cycle it enters.
TEST(MivoraVideoMode, ASecondFaceIsFoundByTheNextSearchWheneverItEnters)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const cv::Mat head = photo(cv::Rect(60, 0, 320, 340));
    const cv::Mat background = test_support::texturedBackground(cv::Size(1280, 480));
    constexpr int kFoundWithin = 40;
    for (const int enters : {12, 30, 46}) {
        restartVideo();
        int foundAfter = -1;
        for (int i = 0; i < enters + kFoundWithin + 5 && foundAfter < 0; ++i) {
            cv::Mat frame = background.clone();
            head.copyTo(frame(cv::Rect(20, 60, head.cols, head.rows)));
            if (i >= enters)
                head.copyTo(frame(cv::Rect(840, 100, head.cols, head.rows)));
            int count = 0;
            libraryFace(frame, MIVORA_FACE_MODE_VIDEO, &count);
            if (i < enters)
                ASSERT_LE(count, 1) << "frame " << i;
            else if (count == 2)
                foundAfter = i - enters;
        }
        EXPECT_GE(foundAfter, 0) << "entering at frame " << enters << ": never found";
        EXPECT_LT(foundAfter, kFoundWithin) << "entering at frame " << enters;
    }
}

namespace {

// The roll of the line from the left eye's centre to the right eye's, in
// degrees clockwise on screen, as the box angle is given.
double eyeLineDegrees(const Shape& s)
{
    double lx = 0, ly = 0, rx = 0, ry = 0;
    for (int i = 36; i < 42; ++i) {
        lx += s[2 * i] / 6.0;
        ly += s[2 * i + 1] / 6.0;
        rx += s[2 * i + 12] / 6.0;
        ry += s[2 * i + 13] / 6.0;
    }
    return std::atan2(ry - ly, rx - lx) * 180.0 / CV_PI;
}

} // namespace

// The box's angle is the face's roll on every frame, the first included,
// whichever search found the head (upright, or in the frame turned by 30
// degrees), and it does not overshoot on the frames after.
TEST(MivoraVideoMode, TheBoxAngleIsTheRollOfThePointsFromTheFirstFrame)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    const cv::Mat background = test_support::texturedBackground(cv::Size(640, 480));
    for (const double degrees : {0.0, 20.0, -25.0, 35.0, 40.0, -45.0, 50.0, -60.0, 60.0}) {
        restartVideo();
        for (int i = 0; i < 3 + 8 + 1; ++i)
            ASSERT_FALSE(libraryFace(background, MIVORA_FACE_MODE_VIDEO));
        int found = 0;
        for (int frame = 0; frame < 16; ++frame) {
            const MovedFace moved = mover.place(degrees, 1, frame, 0);
            int count = 0;
            const std::optional<Shape> points = libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO, &count);
            if (!points)
                continue;
            MivoraFaceBox box{};
            ASSERT_EQ(MivoraGetFaceBoxStd(0, &box), MIVORA_FACE_OK);
            EXPECT_NEAR(box.angle, eyeLineDegrees(*points), 5.0)
                << "head at " << degrees << " degrees, frame " << found << " since found";
            ++found;
        }
        if (std::abs(degrees) <= 45)
            EXPECT_GE(found, 8) << "head at " << degrees << " degrees found within 8 frames";
    }
}

namespace {

// A face of the per-thread calls or of a tracker: where it is and its id.
struct SeenFace {
    cv::Point2d centre;
    long long id;
};

// Detects in video mode through the per-thread calls (tracker null) or a
// tracker, and gives each face's box centre and id.
std::vector<SeenFace> seenFaces(const cv::Mat& frame, MivoraFaceTracker* tracker)
{
    const int count = tracker ? MivoraFaceTrackerDetect(tracker, frame.data, frame.cols, frame.rows, 1)
                              : MivoraFaceDetectStd(frame.data, frame.cols, frame.rows, 1);
    EXPECT_GE(count, 0);
    std::vector<SeenFace> faces;
    for (int i = 0; i < count; ++i) {
        MivoraFaceBox box{};
        long long id = -1;
        EXPECT_EQ(tracker ? MivoraFaceTrackerGetBox(tracker, i, &box) : MivoraGetFaceBoxStd(i, &box), MIVORA_FACE_OK);
        EXPECT_EQ(tracker ? MivoraFaceTrackerGetId(tracker, i, &id) : MivoraGetFaceIdStd(i, &id), MIVORA_FACE_OK);
        EXPECT_GT(id, 0);
        faces.push_back({{box.x + box.width / 2, box.y + box.height / 2}, id});
    }
    return faces;
}

// The face whose centre lies within `radius` of `at`, if any.
const SeenFace* faceNear(const std::vector<SeenFace>& faces, cv::Point2d at, double radius)
{
    for (const SeenFace& face : faces)
        if (cv::norm(face.centre - at) < radius)
            return &face;
    return nullptr;
}

} // namespace

// Three heads side by side; the middle one slides down out of the frame.
// The others keep their ids and are reported on every frame, through the
// per-thread calls and through a tracker; face 0 stays the left head.
TEST(MivoraFaceIds, FacesKeepTheirIdsWhenAnotherLeaves)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    cv::Mat head;
    cv::resize(photo(cv::Rect(100, 0, 240, 280)), head, cv::Size(), 0.8, 0.8);
    const cv::Mat background = test_support::texturedBackground(cv::Size(960, 480));
    const int xs[3] = {40, 360, 680};
    const auto frameAt = [&](int i) {
        cv::Mat frame = background.clone();
        for (int k = 0; k < 3; ++k) {
            const int y = k == 1 && i > 15 ? 60 + 20 * (i - 15) : 60;
            const cv::Rect to(xs[k], y, head.cols, std::min(head.rows, frame.rows - y));
            if (to.height > 0)
                head(cv::Rect(0, 0, to.width, to.height)).copyTo(frame(to));
        }
        return frame;
    };
    // Where the left and right heads' faces are.
    const cv::Point2d left(xs[0] + head.cols / 2.0, 60 + head.rows * 0.45);
    const cv::Point2d right(xs[2] + head.cols / 2.0, 60 + head.rows * 0.45);
    const double radius = head.cols / 2.0;

    MivoraFaceTracker* tracker = MivoraFaceTrackerCreate();
    ASSERT_NE(tracker, nullptr);
    for (MivoraFaceTracker* used : {static_cast<MivoraFaceTracker*>(nullptr), tracker}) {
        SCOPED_TRACE(used ? "tracker" : "per-thread calls");
        restartVideo();
        long long leftId = 0, rightId = 0;
        for (int i = 0; i < 50; ++i) {
            const std::vector<SeenFace> faces = seenFaces(frameAt(i), used);
            if (i < kFramesToFind && faces.size() < 3)
                continue;
            if (i < 10)
                ASSERT_EQ(faces.size(), 3u) << "frame " << i;
            if (i >= 40)
                EXPECT_EQ(faces.size(), 2u) << "frame " << i << ": the middle head has left";
            const SeenFace* l = faceNear(faces, left, radius);
            const SeenFace* r = faceNear(faces, right, radius);
            ASSERT_TRUE(l && r) << "frame " << i << ": a head that stayed is missing";
            if (leftId == 0) {
                leftId = l->id;
                rightId = r->id;
                EXPECT_NE(leftId, rightId);
            }
            EXPECT_EQ(l->id, leftId) << "frame " << i;
            EXPECT_EQ(r->id, rightId) << "frame " << i;
            EXPECT_EQ(faces[0].id, leftId) << "frame " << i << ": face 0 is still the left head";
        }
    }
    MivoraFaceTrackerDestroy(tracker);
}

// A weakly scored face is followed first; a clearly scored one enters. The
// first stays face 0 with its id, and it is reported on every frame where
// the detector finds it in a still image, whatever its number.
TEST(MivoraFaceIds, AWeakFaceStaysFaceZeroAndIsNotDroppedForItsNumber)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const cv::Mat head = photo(cv::Rect(100, 0, 240, 280));
    const cv::Mat background = test_support::texturedBackground(cv::Size(960, 480));
    // The head blurred until the detector scores it weakly.
    cv::Mat faded;
    double weakScore = 0;
    for (double sigma = 1.0; sigma < 6 && faded.empty(); sigma += 0.1) {
        cv::Mat candidate;
        cv::GaussianBlur(head, candidate, cv::Size(0, 0), sigma);
        cv::Mat frame = background.clone();
        candidate.copyTo(frame(cv::Rect(60, 80, head.cols, head.rows)));
        MivoraFaceBox box{};
        if (MivoraFaceDetectStd(frame.data, frame.cols, frame.rows, MIVORA_FACE_MODE_STILL) == 1 &&
            MivoraGetFaceBoxStd(0, &box) == MIVORA_FACE_OK && box.confidence < 0.45) {
            faded = candidate;
            weakScore = box.confidence;
        }
    }
    ASSERT_FALSE(faded.empty()) << "no contrast gives a weakly scored face";
    std::cout << "weak face's score " << weakScore << "\n";

    const cv::Point2d weakCentre(60 + head.cols / 2.0, 80 + head.rows * 0.45);
    restartVideo();
    long long weakId = 0;
    int missing = 0;
    MivoraFaceTracker* still = MivoraFaceTrackerCreate();
    ASSERT_NE(still, nullptr);
    for (int i = 0; i < 70; ++i) {
        cv::Mat frame = background.clone();
        faded.copyTo(frame(cv::Rect(60, 80, head.cols, head.rows)));
        if (i >= 12) // the clear face enters
            head.copyTo(frame(cv::Rect(600, 60, head.cols, head.rows)));
        const std::vector<SeenFace> faces = seenFaces(frame, nullptr);
        const bool stillFinds = MivoraFaceTrackerDetect(still, frame.data, frame.cols, frame.rows, 0) >= 1;
        const SeenFace* weak = faceNear(faces, weakCentre, head.cols / 2.0);
        if (i < kFramesToFind && !weak)
            continue;
        if (!weak) {
            missing += stillFinds ? 1 : 0;
            continue;
        }
        if (weakId == 0)
            weakId = weak->id;
        EXPECT_EQ(weak->id, weakId) << "frame " << i;
        EXPECT_EQ(faces[0].id, weakId) << "frame " << i << ": the weak face stays face 0";
        if (i >= 12 + 30 + kFramesToFind)
            EXPECT_EQ(faces.size(), 2u) << "frame " << i << ": the clear face is followed too";
    }
    MivoraFaceTrackerDestroy(still);
    EXPECT_EQ(missing, 0) << "frames where the weak face was missing though the detector finds it";
}

// Ids of still images: new for every face of every call, never 0.
TEST(MivoraFaceIds, StillImagesGiveNewIds)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    std::vector<long long> ids;
    for (int call = 0; call < 3; ++call) {
        ASSERT_EQ(MivoraFaceDetectStd(photo.data, photo.cols, photo.rows, MIVORA_FACE_MODE_STILL), 1);
        long long id = 0;
        ASSERT_EQ(MivoraGetFaceIdStd(0, &id), MIVORA_FACE_OK);
        EXPECT_GT(id, 0);
        EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 0) << "id " << id << " given again";
        ids.push_back(id);
    }
    long long id = 7;
    EXPECT_EQ(MivoraGetFaceIdStd(1, &id), MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(MivoraGetFaceIdStd(0, nullptr), MIVORA_FACE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(MivoraFaceTrackerGetId(nullptr, 0, &id), MIVORA_FACE_ERROR_INVALID_ARGUMENT);
    MivoraFaceDetectStd(nullptr, 1, 1, 0);
    id = 7;
    EXPECT_EQ(MivoraGetFaceIdStd(0, &id), MIVORA_FACE_ERROR_NO_DETECTION);
    EXPECT_EQ(id, 0);
}

// A face too small for dlib's detector, and one rolled past what it sees,
// are found by the face network within the frames its search takes (the
// whole frame every third frame, a tile of it in between), and followed with
// good points.
TEST(MivoraFaceNetwork, FindsSmallAndRolledFacesEntering)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    mivora::ReferencePipeline reference;
    const cv::Mat background = test_support::texturedBackground(cv::Size(640, 480));
    struct Entry {
        double degrees, scale, dx, dy;
        int frames;
    } entries[] = {{60, 1, 0, 0, 3}, {-60, 1, 0, 0, 3}, {0, 0.35, -200, -120, 6}, {0, 0.35, 210, 150, 6}};
    for (const Entry& e : entries) {
        SCOPED_TRACE(std::to_string(e.degrees) + " degrees, scale " + std::to_string(e.scale));
        restartVideo();
        for (int i = 0; i < 4; ++i)
            ASSERT_FALSE(libraryFace(background, MIVORA_FACE_MODE_VIDEO)) << "frame " << i;
        ASSERT_EQ(reference.detect(mover.place(e.degrees, e.scale, e.dx, e.dy).frame), 0)
            << "dlib's detector finds this face: no test of the network";
        std::optional<Shape> found;
        int frames = 0;
        MovedFace moved;
        while (!found && frames < e.frames) {
            moved = mover.place(e.degrees, e.scale, e.dx + frames++, e.dy);
            found = libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO);
        }
        ASSERT_TRUE(found);
        MivoraFaceBox box{};
        ASSERT_EQ(MivoraGetFaceBoxStd(0, &box), MIVORA_FACE_OK);
        cv::Point2d centre(0, 0);
        for (int p = 0; p < 68; ++p)
            centre += cv::Point2d(moved.truth[2 * p], moved.truth[2 * p + 1]) / 68.0;
        EXPECT_LT(cv::norm(cv::Point2d(box.x + box.width / 2, box.y + box.height / 2) - centre), 0.5 * box.width);
        EXPECT_GT(box.confidence, 0);
        for (int i = 0; i < 3; ++i) {
            moved = mover.place(e.degrees, e.scale, e.dx + frames++, e.dy);
            const std::optional<Shape> followed = libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO);
            ASSERT_TRUE(followed) << "followed frame " << i;
            EXPECT_LT(mivora::eyeCornerError(*followed, moved.truth), e.scale < 1 ? 0.15 : 0.07);
        }
    }
}

// Faces about 20 px wide that come into a still camera's view, anywhere in
// it and at any point of the search's cycle, are found within three frames
// nearly always: the search looks where the view changed rather than waiting
// for the turn of the tile the face is in.
TEST(MivoraFaceNetwork, FindsSmallFacesSoonAfterTheyComeIntoView)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    const double scale = mover.scaleForJawWidth(20);
    int entries = 0, found = 0;
    for (const double dy : {-150.0, 0.0, 150.0})
        for (const double dx : {-240.0, -80.0, 80.0, 240.0}) {
            restartVideo();
            const int framesBefore = 2 + entries++ % 6;
            for (int i = 0; i < framesBefore; ++i)
                ASSERT_FALSE(libraryFace(mover.place(0, scale, 5000, 0, 3).frame, MIVORA_FACE_MODE_VIDEO));
            for (int i = 0; i < 3; ++i) {
                const MovedFace moved = mover.place(0, scale, dx + i, dy, 3);
                if (!libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO))
                    continue;
                MivoraFaceBox box;
                EXPECT_LT(boxOffFace(moved, 0, box), 10) << "at " << dx << "," << dy;
                ++found;
                break;
            }
        }
    std::cout << "small faces found within 3 frames: " << found << " of " << entries << std::endl;
    EXPECT_GE(found, 11);
}

// A head held up close to the camera, rolled far and out of focus, changes
// most of the view as it comes: at any point of the search's cycle it is
// found on the frame it comes or the next, where the full-range network
// alone, whose whole-frame pass comes every third frame, often sees it too
// late or at a roll its confirmation cannot use.
TEST(MivoraFaceNetwork, AHeadThatFillsTheViewAsItComesIsFoundAtOnce)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    int entries = 0, found = 0;
    for (const double degrees : {60.0, -60.0})
        for (int framesBefore = 2; framesBefore < 8; ++framesBefore) {
            restartVideo();
            ++entries;
            for (int i = 0; i < framesBefore; ++i)
                ASSERT_FALSE(libraryFace(mover.place(0, 1.1, 5000, 0, 3).frame, MIVORA_FACE_MODE_VIDEO));
            for (int i = 0; i < 2; ++i) {
                const MovedFace moved = mover.place(degrees, 1.1, i, 0, 3, 3.0);
                if (!libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO))
                    continue;
                MivoraFaceBox box;
                const double off = boxOffFace(moved, 0, box);
                EXPECT_LT(off, 0.25 * box.width);
                ++found;
                break;
            }
        }
    std::cout << "heads found within 2 frames: " << found << " of " << entries << std::endl;
    EXPECT_GE(found, entries - 1);
}

// People who come into view together are found together: a face found
// makes the search begin again, so that a smaller one that came with it is
// not left for the next search (about 35 frames later), at any point of the
// search's cycle.
TEST(MivoraFaceNetwork, FacesThatComeIntoViewTogetherAreFoundTogether)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty());
    cv::Mat other;
    cv::resize(photo(cv::Rect(60, 0, 320, 340)), other, cv::Size(), 0.45, 0.45, cv::INTER_AREA);
    constexpr int kWithin = 6;
    for (int framesBefore = 2; framesBefore < 8; ++framesBefore) {
        SCOPED_TRACE(std::to_string(framesBefore) + " frames before");
        restartVideo();
        for (int i = 0; i < framesBefore; ++i)
            ASSERT_FALSE(libraryFace(mover.place(0, 1, 5000, 0, 3).frame, MIVORA_FACE_MODE_VIDEO));
        int foundAfter = -1;
        for (int i = 0; i < kWithin && foundAfter < 0; ++i) {
            MovedFace moved = mover.place(0, 0.9, -130 + i, 0, 3);
            other.copyTo(moved.frame(cv::Rect(480 + i, 200, other.cols, other.rows)));
            int faces = 0;
            libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO, &faces);
            if (faces < 2)
                continue;
            foundAfter = i;
            // One box on each head.
            const cv::Rect otherPlace(480 + i, 200, other.cols, other.rows);
            bool onLarge = false, onOther = false;
            for (int f = 0; f < faces; ++f) {
                MivoraFaceBox box;
                const double off = boxOffFace(moved, f, box);
                onLarge = onLarge || off < 0.5 * box.width;
                onOther = onOther || otherPlace.contains(
                                         cv::Point(cvRound(box.x + box.width / 2), cvRound(box.y + box.height / 2)));
            }
            EXPECT_TRUE(onLarge && onOther) << "frame " << i;
        }
        EXPECT_GE(foundAfter, 0) << "both faces were not found within " << kWithin << " frames";
    }
}

// Something that keeps changing (a screen, a tree in the wind) does not hold
// the search: a small face elsewhere, in view from the start and so no
// change, is still found when its tile's turn comes.
TEST(MivoraFaceNetwork, AChangeThatGoesOnDoesNotHoldTheSearch)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    const double scale = mover.scaleForJawWidth(20);
    cv::RNG flicker(3);
    restartVideo();
    int frame = 0;
    bool found = false;
    for (; frame < 24 && !found; ++frame) {
        cv::Mat bgr = mover.place(0, scale, -240, -120 + frame % 2, 3).frame;
        flicker.fill(bgr(cv::Rect(450, 200, 90, 90)), cv::RNG::UNIFORM, 0, 256);
        found = libraryFace(bgr, MIVORA_FACE_MODE_VIDEO).has_value();
    }
    EXPECT_TRUE(found) << "not found in " << frame << " frames";
}

// Still mode keeps dlib's faces and adds the faces only the network sees
// (here heads rolled beyond what the HOG detector finds), with the roll in
// the box and points read upright, in whole pixels as dlib gives them.
TEST(MivoraFaceNetwork, StillModeFindsRolledFacesWithTheirRollAndPoints)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    mivora::ReferencePipeline reference;
    for (const double degrees : {-60.0, -45.0, 45.0, 60.0}) {
        SCOPED_TRACE(std::to_string(degrees) + " degrees");
        const MovedFace moved = mover.place(degrees, 1, 0, 0);
        ASSERT_EQ(reference.detect(moved.frame), 0) << "dlib's detector finds this face: no test of the network";
        int count = 0;
        const std::optional<Shape> found = libraryFace(moved.frame, MIVORA_FACE_MODE_STILL, &count);
        ASSERT_TRUE(found);
        EXPECT_EQ(count, 1);
        EXPECT_LT(mivora::eyeCornerError(*found, moved.truth), 0.07);
        for (const float value : *found)
            EXPECT_EQ(value, std::round(value));
        MivoraFaceBox box{};
        ASSERT_EQ(MivoraGetFaceBoxStd(0, &box), MIVORA_FACE_OK);
        EXPECT_NEAR(box.angle, eyeLineDegrees(moved.truth), 5.0);
        EXPECT_GT(box.confidence, 0.0f);
        cv::Point2d centre(0, 0);
        for (int p = 0; p < 68; ++p)
            centre += cv::Point2d(moved.truth[2 * p], moved.truth[2 * p + 1]) / 68.0;
        EXPECT_LT(cv::norm(cv::Point2d(box.x + box.width / 2, box.y + box.height / 2) - centre), 0.25 * box.width);
    }
    // A head out of focus: neither the HOG search nor HOG in its crop finds
    // it, the small network does and the large one confirms it (most of the
    // time: how sure the networks are varies with the blur).
    int foundBlurred = 0;
    const double sigmas[] = {3.5, 4.0, 4.5, 5.0};
    for (const double sigma : sigmas) {
        MovedFace blurred = mover.place(0, 1, 0, 0);
        cv::GaussianBlur(blurred.frame, blurred.frame, cv::Size(), sigma);
        ASSERT_EQ(reference.detect(blurred.frame), 0) << "dlib's detector finds this face: no test of the network";
        const std::optional<Shape> found = libraryFace(blurred.frame, MIVORA_FACE_MODE_STILL);
        if (!found)
            continue;
        ++foundBlurred;
        EXPECT_LT(mivora::eyeCornerError(*found, blurred.truth), 0.1) << "blurred by " << sigma;
        MivoraFaceBox box{};
        ASSERT_EQ(MivoraGetFaceBoxStd(0, &box), MIVORA_FACE_OK);
        EXPECT_GT(box.confidence, 0.0f) << "blurred by " << sigma;
    }
    EXPECT_GE(foundBlurred, 3);
    // The smallest face size applies to what the network finds; an upright
    // face the HOG detector finds is kept whatever it is.
    ASSERT_EQ(MivoraFaceSetMinFaceSizeStd(200), MIVORA_FACE_OK);
    EXPECT_EQ(libraryFace(mover.place(60, 1, 0, 0).frame, MIVORA_FACE_MODE_STILL), std::nullopt);
    EXPECT_TRUE(libraryFace(mover.place(0, 1, 0, 0).frame, MIVORA_FACE_MODE_STILL));
    ASSERT_EQ(MivoraFaceSetMinFaceSizeStd(20), MIVORA_FACE_OK);
    // So does the score threshold.
    ASSERT_EQ(MivoraFaceSetScoreThresholdStd(0.99f), MIVORA_FACE_OK);
    EXPECT_EQ(libraryFace(mover.place(60, 1, 0, 0).frame, MIVORA_FACE_MODE_STILL), std::nullopt);
    EXPECT_TRUE(libraryFace(mover.place(0, 1, 0, 0).frame, MIVORA_FACE_MODE_STILL));
    ASSERT_EQ(MivoraFaceSetScoreThresholdStd(0.5f), MIVORA_FACE_OK);
}

// A head rolled by 60 degrees and out of focus: HOG confirms it in no crop,
// and the small network only when it is cut upright at the face's roll. It
// is found and followed with good points.
TEST(MivoraFaceNetwork, ABlurredHeadRolledFarIsFollowed)
{
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    for (const double sigma : {4.0, 4.5}) {
        SCOPED_TRACE("blurred by " + std::to_string(sigma));
        restartVideo();
        int found = 0;
        double worstError = 0;
        const int frames = 40;
        for (int i = 0; i < frames; ++i) {
            MovedFace moved = mover.place(60, 1, 0, 0);
            cv::GaussianBlur(moved.frame, moved.frame, cv::Size(), sigma);
            const std::optional<Shape> mine = libraryFace(moved.frame, MIVORA_FACE_MODE_VIDEO);
            if (!mine)
                continue;
            ++found;
            worstError = std::max(worstError, mivora::eyeCornerError(*mine, moved.truth));
        }
        EXPECT_GE(found, frames - 10);
        EXPECT_LT(worstError, 0.1);
    }
}

using TrackerHandle = std::unique_ptr<MivoraFaceTracker, decltype(&MivoraFaceTrackerDestroy)>;

// What the network alone takes for a face is never reported, in video mode
// nor in still mode, even at a threshold low enough that it sees faces in a cat and a coffee cup
// (CnnFaces.TheNetworkAloneSeesFacesInFaceFreeClips).
TEST(MivoraFaceNetwork, NothingWhereOnlyTheNetworkSeesAFace)
{
    const TrackerHandle tracker(MivoraFaceTrackerCreate(), MivoraFaceTrackerDestroy);
    const TrackerHandle still(MivoraFaceTrackerCreate(), MivoraFaceTrackerDestroy);
    ASSERT_EQ(MivoraFaceTrackerSetScoreThreshold(tracker.get(), test_support::kLowScoreThreshold), MIVORA_FACE_OK);
    ASSERT_EQ(MivoraFaceTrackerSetScoreThreshold(still.get(), test_support::kLowScoreThreshold), MIVORA_FACE_OK);
    ASSERT_EQ(MivoraFaceSetScoreThresholdStd(test_support::kLowScoreThreshold), MIVORA_FACE_OK);
    for (const char* name : {"chelsea.png", "coffee.png"}) {
        const cv::Mat photo = cv::imread(test_support::dataPath(name), cv::IMREAD_COLOR);
        ASSERT_FALSE(photo.empty()) << name;
        restartVideo();
        for (int i = 0; i < test_support::kFaceFreeFrames; ++i) {
            const cv::Mat frame = test_support::faceFreeFrame(photo, i);
            EXPECT_EQ(
                MivoraFaceTrackerDetect(tracker.get(), frame.data, frame.cols, frame.rows, MIVORA_FACE_MODE_VIDEO), 0)
                << name << ", frame " << i << ", tracker";
            EXPECT_EQ(MivoraFaceDetectStd(frame.data, frame.cols, frame.rows, MIVORA_FACE_MODE_VIDEO), 0)
                << name << ", frame " << i;
            EXPECT_EQ(MivoraFaceTrackerDetect(still.get(), frame.data, frame.cols, frame.rows, MIVORA_FACE_MODE_STILL),
                      0)
                << name << ", frame " << i << ", still";
        }
    }
    ASSERT_EQ(MivoraFaceSetScoreThresholdStd(0.5f), MIVORA_FACE_OK);
}

// The settings are checked, and the smallest face size is honoured.
TEST(MivoraFaceNetwork, SettingsAreCheckedAndTakeEffect)
{
    const TrackerHandle tracker(MivoraFaceTrackerCreate(), MivoraFaceTrackerDestroy);
    for (const int pixels : {0, -5, MIVORA_FACE_MAX_IMAGE_SIDE + 1}) {
        EXPECT_EQ(MivoraFaceSetMinFaceSizeStd(pixels), MIVORA_FACE_ERROR_INVALID_ARGUMENT) << pixels;
        EXPECT_EQ(MivoraFaceTrackerSetMinFaceSize(tracker.get(), pixels), MIVORA_FACE_ERROR_INVALID_ARGUMENT) << pixels;
    }
    for (const float threshold : {0.0f, 1.0f, -0.5f, 2.0f, std::nanf("")}) {
        EXPECT_EQ(MivoraFaceSetScoreThresholdStd(threshold), MIVORA_FACE_ERROR_INVALID_ARGUMENT) << threshold;
        EXPECT_EQ(MivoraFaceTrackerSetScoreThreshold(tracker.get(), threshold), MIVORA_FACE_ERROR_INVALID_ARGUMENT)
            << threshold;
    }
    EXPECT_EQ(MivoraFaceTrackerSetMinFaceSize(nullptr, 40), MIVORA_FACE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(MivoraFaceTrackerSetScoreThreshold(nullptr, 0.5f), MIVORA_FACE_ERROR_INVALID_ARGUMENT);

    // A head rolled by 50 degrees, about 100 px wide: not looked for when
    // the smallest face is 200 px; found once it is 20 px again.
    const FaceMover mover;
    ASSERT_TRUE(mover.usable());
    ASSERT_EQ(MivoraFaceTrackerSetMinFaceSize(tracker.get(), 200), MIVORA_FACE_OK);
    const auto facesIn = [&](int frame) {
        const cv::Mat bgr = mover.place(50, 1, frame, 0).frame;
        return MivoraFaceTrackerDetect(tracker.get(), bgr.data, bgr.cols, bgr.rows, MIVORA_FACE_MODE_VIDEO);
    };
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(facesIn(i), 0) << "frame " << i;
    ASSERT_EQ(MivoraFaceTrackerSetMinFaceSize(tracker.get(), 20), MIVORA_FACE_OK);
    int found = 0, frame = 8;
    while (frame < 14 && found == 0)
        found = facesIn(frame++);
    EXPECT_EQ(found, 1);
    // A face already followed is kept when the minimum rises above it.
    ASSERT_EQ(MivoraFaceTrackerSetMinFaceSize(tracker.get(), 200), MIVORA_FACE_OK);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(facesIn(frame++), 1) << "followed frame " << i;

    // Still mode keeps dlib's faces, whatever the settings.
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    ASSERT_EQ(MivoraFaceSetMinFaceSizeStd(MIVORA_FACE_MAX_IMAGE_SIDE), MIVORA_FACE_OK);
    ASSERT_EQ(MivoraFaceSetScoreThresholdStd(0.99f), MIVORA_FACE_OK);
    EXPECT_EQ(MivoraFaceDetectStd(photo.data, photo.cols, photo.rows, MIVORA_FACE_MODE_STILL), 1);
    ASSERT_EQ(MivoraFaceSetMinFaceSizeStd(20), MIVORA_FACE_OK);
    ASSERT_EQ(MivoraFaceSetScoreThresholdStd(0.5f), MIVORA_FACE_OK);
}
