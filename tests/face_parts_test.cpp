// SPDX-License-Identifier: MIT
// The library's parts on their own: pixel conversion, face geometry, the
// landmark regression in a turned box, the smoother, and model files.
#include "change_map.h"
#include "face_pose.h"
#include "face_tracker.h"
#include "gray_image.h"
#include "landmark_model.h"
#include "landmark_smoother.h"

#include "test_support.h"

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_processing/shape_predictor.h>
#include <dlib/opencv/cv_image.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>

namespace {

using mivora::FacePose;
using mivora::Shape;

cv::Mat bgrPhoto(const std::string& name) { return cv::imread(test_support::dataPath(name), cv::IMREAD_COLOR); }

mivora::GrayImage grayOf(const cv::Mat& bgr)
{
    mivora::GrayImage gray;
    mivora::bgrToGray(bgr.data, bgr.cols, bgr.rows, gray);
    return gray;
}

std::unique_ptr<mivora::LandmarkModel> packedModel()
{
    std::string problem;
    auto model = mivora::LandmarkModel::open(PACKED_MODEL_PATH, problem);
    EXPECT_TRUE(model && model->loadLeaves(problem)) << problem;
    return model;
}

double eyeCornerDistance(const Shape& s) { return std::hypot(s[90] - s[72], s[91] - s[73]); }

double meanDistance(const Shape& a, const Shape& b)
{
    double sum = 0;
    for (int i = 0; i < mivora::kShapePointCount; ++i)
        sum += std::hypot(a[2 * i] - b[2 * i], a[2 * i + 1] - b[2 * i + 1]);
    return sum / mivora::kShapePointCount;
}

} // namespace

TEST(GrayImage, ConvertsEveryColourAsOpenCvDoes)
{
    cv::Mat everyColour(4096, 4096, CV_8UC3);
    for (int i = 0; i < (1 << 24); ++i) {
        everyColour.data[3 * i] = static_cast<unsigned char>(i);
        everyColour.data[3 * i + 1] = static_cast<unsigned char>(i >> 8);
        everyColour.data[3 * i + 2] = static_cast<unsigned char>(i >> 16);
    }
    cv::Mat expected;
    cv::cvtColor(everyColour, expected, cv::COLOR_BGR2GRAY);
    const mivora::GrayImage mine = grayOf(everyColour);
    EXPECT_EQ(std::memcmp(expected.data, mine.data(), expected.total()), 0) << "the processor's best instructions";
    mivora::GrayImage baseline;
    mivora::bgrToGrayBaseline(everyColour.data, everyColour.cols, everyColour.rows, baseline);
    EXPECT_EQ(std::memcmp(expected.data, baseline.data(), expected.total()), 0) << "baseline instructions";
}

TEST(GrayImage, WarpsLikeOpenCv)
{
    const cv::Mat photo = bgrPhoto("astronaut.png");
    cv::Mat gray;
    cv::cvtColor(photo, gray, cv::COLOR_BGR2GRAY);
    const mivora::ImageView bgr = mivora::ImageView::ofBgr(photo.data, photo.cols, photo.rows);

    // A quarter turn maps pixel centres onto pixel centres: exact.
    mivora::Affine turn;
    turn.m[0] = 0, turn.m[1] = -1, turn.m[2] = 1, turn.m[3] = 0, turn.m[4] = photo.cols - 1, turn.m[5] = 0;
    mivora::GrayImage turned;
    mivora::warpToGray(bgr, turn, photo.rows, photo.cols, turned);
    cv::Mat expectedTurn;
    cv::rotate(gray, expectedTurn, cv::ROTATE_90_COUNTERCLOCKWISE);
    EXPECT_EQ(std::memcmp(expectedTurn.data, turned.data(), expectedTurn.total()), 0);

    // Shrunk to a third, as OpenCV's area average: no aliasing.
    mivora::Affine shrink;
    shrink.m[0] = 3, shrink.m[3] = 3, shrink.m[4] = 1, shrink.m[5] = 1;
    mivora::GrayImage small;
    const cv::Size third(photo.cols / 3, photo.rows / 3);
    mivora::warpToGray(bgr, shrink, third.width, third.height, small);
    cv::Mat expectedSmall;
    cv::resize(gray(cv::Rect(0, 0, 3 * third.width, 3 * third.height)), expectedSmall, third, 0, 0, cv::INTER_AREA);
    const cv::Mat mineSmall(small.height(), small.width(), CV_8UC1, small.data());
    EXPECT_LE(cv::norm(expectedSmall, mineSmall, cv::NORM_INF), 1.0);
}

// The whole-frame warp for the turned face search: within two grey levels
// of the exact one, and mostly equal, at every turn and shrink it is used
// for; halving as OpenCV's area average.
TEST(GrayImage, FastWarpAndHalvingAgreeWithTheExactOnes)
{
    const mivora::GrayImage gray = grayOf(bgrPhoto("astronaut.png"));
    const mivora::ImageView view = mivora::ImageView::of(gray);
    for (const double degrees : {30.0, -30.0, 7.0})
        for (const double scale : {1.0, 1.2, 1.73}) {
            const double c = scale * std::cos(degrees * M_PI / 180), s = scale * std::sin(degrees * M_PI / 180);
            mivora::Affine map;
            map.m[0] = c, map.m[1] = -s, map.m[2] = s, map.m[3] = c, map.m[4] = 40, map.m[5] = -60;
            const int w = static_cast<int>(gray.width() / scale), h = static_cast<int>(gray.height() / scale);
            mivora::GrayImage exact, fast;
            mivora::warpToGray(view, map, w, h, exact);
            mivora::warpGrayFast(gray, map, w, h, fast);
            ASSERT_EQ(fast.width(), w);
            ASSERT_EQ(fast.height(), h);
            const cv::Mat a(h, w, CV_8UC1, exact.data()), b(h, w, CV_8UC1, fast.data());
            // Both step along rows in limited precision, so they part by a
            // level here and there, by two at the steepest edges.
            EXPECT_LE(cv::norm(a, b, cv::NORM_INF), 2.0) << degrees << " degrees, shrunk " << scale;
            EXPECT_LT(cv::norm(a, b, cv::NORM_L1) / a.total(), 0.05) << degrees << " degrees, shrunk " << scale;
        }

    // Gray sources are sampled without the copy colour sources go through:
    // the same bits, wherever the map puts the output (inside, across an
    // edge, wholly beside the image).
    const cv::Mat whole(gray.height(), gray.width(), CV_8UC1, const_cast<unsigned char*>(gray.data()));
    cv::Mat grey3;
    cv::cvtColor(whole, grey3, cv::COLOR_GRAY2BGR);
    for (const double dx : {40.0, -300.0, 600.0, -2000.0}) {
        mivora::Affine map;
        map.m[0] = 0.9, map.m[1] = -0.3, map.m[2] = 0.3, map.m[3] = 0.9, map.m[4] = dx, map.m[5] = dx / 2;
        mivora::GrayImage fromGray, fromColour;
        mivora::warpToGray(view, map, 200, 150, fromGray);
        mivora::warpToGray(mivora::ImageView::ofBgr(grey3.data, grey3.cols, grey3.rows), map, 200, 150, fromColour);
        EXPECT_EQ(std::memcmp(fromGray.data(), fromColour.data(), 200 * 150), 0) << "offset " << dx;
    }

    // Thin and odd-sized images: every pixel read is in the image (the
    // sanitizer build checks), and the results still agree.
    for (const cv::Size size : {cv::Size(1, 9), cv::Size(9, 1), cv::Size(7, 5), cv::Size(2, 2)}) {
        mivora::GrayImage small;
        small.resize(size.width, size.height);
        for (int i = 0; i < size.area(); ++i)
            small.data()[i] = static_cast<unsigned char>(37 * i);
        mivora::Affine map;
        map.m[0] = 0.8, map.m[1] = -0.5, map.m[2] = 0.5, map.m[3] = 0.8, map.m[4] = -1, map.m[5] = 0.5;
        mivora::GrayImage exact, fast, half;
        mivora::warpToGray(mivora::ImageView::of(small), map, 6, 6, exact);
        mivora::warpGrayFast(small, map, 6, 6, fast);
        const cv::Mat a(6, 6, CV_8UC1, exact.data()), b(6, 6, CV_8UC1, fast.data());
        EXPECT_LE(cv::norm(a, b, cv::NORM_INF), 1.0) << size;
        mivora::halveGray(small, half);
        EXPECT_EQ(half.width(), std::max(1, size.width / 2)) << size;
        EXPECT_EQ(half.height(), std::max(1, size.height / 2)) << size;
    }

    mivora::GrayImage half;
    mivora::halveGray(gray, half);
    ASSERT_EQ(half.width(), gray.width() / 2);
    ASSERT_EQ(half.height(), gray.height() / 2);
    cv::Mat expected;
    cv::resize(whole, expected, cv::Size(half.width(), half.height()), 0, 0, cv::INTER_AREA);
    EXPECT_LE(cv::norm(expected, cv::Mat(half.height(), half.width(), CV_8UC1, half.data()), cv::NORM_INF), 1.0);
}

TEST(FacePose, FitRecoversTheBoxAtAnyRoll)
{
    const auto model = packedModel();
    ASSERT_TRUE(model);
    for (double degrees : {0.0, 14.0, -45.0, 60.0, 179.0, -120.0}) {
        FacePose truth;
        truth.cx = 320.5, truth.cy = 241.25, truth.size = 137, truth.angle = degrees * M_PI / 180;
        const dlib::point_transform_affine toImage = truth.toImage();
        Shape shape;
        for (int i = 0; i < mivora::kShapePointCount; ++i) {
            const dlib::dpoint p = toImage(dlib::dpoint(model->meanShape()[2 * i], model->meanShape()[2 * i + 1]));
            shape[2 * i] = static_cast<float>(p.x());
            shape[2 * i + 1] = static_cast<float>(p.y());
        }
        const FacePose fitted = FacePose::fit(model->meanShape(), shape);
        EXPECT_NEAR(fitted.cx, truth.cx, 1e-3) << degrees;
        EXPECT_NEAR(fitted.cy, truth.cy, 1e-3) << degrees;
        EXPECT_NEAR(fitted.size, truth.size, 1e-3) << degrees;
        EXPECT_NEAR(mivora::angleBetween(fitted.angle, truth.angle), 0.0, 1e-5) << degrees;
    }
    // An upright pose made from a rectangle is dlib's box transform.
    const dlib::rectangle rect(100, 50, 180, 130);
    const dlib::point_transform_affine mine = FacePose::of(rect).toImage();
    const dlib::point_transform_affine dlibs = dlib::impl::unnormalizing_tform(rect);
    for (const dlib::dpoint corner : {dlib::dpoint(0, 0), dlib::dpoint(1, 0), dlib::dpoint(0, 1), dlib::dpoint(1, 1)})
        EXPECT_LT(dlib::length(mine(corner) - dlibs(corner)), 1e-4);
}

TEST(LandmarkModel, ReadsATiltedFaceAsIfUpright)
{
    const auto model = packedModel();
    ASSERT_TRUE(model);
    const cv::Mat photo = bgrPhoto("astronaut.png");
    const mivora::GrayImage gray = grayOf(photo);
    const dlib::rectangle box(150, 60, 280, 190); // about where dlib finds her face
    Shape upright;
    model->predict(mivora::ImageView::of(gray), FacePose::of(box).toImage(), upright.data());

    for (double degrees : {30.0, -60.0, 90.0}) {
        // The photo turned about the face's centre, and the box with it.
        const cv::Point2f centre((box.left() + box.right()) / 2.0f, (box.top() + box.bottom()) / 2.0f);
        const cv::Mat turn = cv::getRotationMatrix2D(centre, -degrees, 1.0);
        cv::Mat turned;
        cv::warpAffine(photo, turned, turn, photo.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        FacePose pose = FacePose::of(box);
        pose.angle = degrees * M_PI / 180;
        Shape tilted;
        model->predict(mivora::ImageView::ofBgr(turned.data, turned.cols, turned.rows), pose.toImage(), tilted.data());

        Shape expected;
        for (int i = 0; i < mivora::kShapePointCount; ++i) {
            const double x = upright[2 * i], y = upright[2 * i + 1];
            expected[2 * i] =
                static_cast<float>(turn.at<double>(0, 0) * x + turn.at<double>(0, 1) * y + turn.at<double>(0, 2));
            expected[2 * i + 1] =
                static_cast<float>(turn.at<double>(1, 0) * x + turn.at<double>(1, 1) * y + turn.at<double>(1, 2));
        }
        // Only resampling separates the two: well under the 4-5% that
        // separates dlib's points from a person's.
        EXPECT_LT(meanDistance(tilted, expected) / eyeCornerDistance(expected), 0.02) << degrees << " degrees";
    }
}

// A new face's first points: from a network's box that is too large or too
// small, off centre or at the wrong roll, the points are read again from the
// box they show until they lie on the face; from HOG's box (the box the
// model was trained from) only the roll is mended.
TEST(FirstLandmarks, AreOnTheFaceFromABoxFarOff)
{
    const auto model = packedModel();
    ASSERT_TRUE(model);
    const cv::Mat photo = bgrPhoto("astronaut.png");
    const mivora::GrayImage gray = grayOf(photo);
    const mivora::ImageView image = mivora::ImageView::of(gray);
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    const std::vector<dlib::rectangle> found = detector(dlib::cv_image<dlib::bgr_pixel>(photo));
    ASSERT_EQ(found.size(), 1u);
    const FacePose hogBox = FacePose::of(found[0]);
    Shape fromHog;
    model->predict(image, hogBox.toImage(), fromHog.data());
    const double eyes = eyeCornerDistance(fromHog);

    struct Off {
        double scale, dx, dy, degrees;
    } offs[] = {{1.45, 0, 0, 0}, {0.7, 0, 0, 0},       {0.75, 0.1, 0.05, 0},
                {0.8, 0, 0, 20}, {1.3, 0.15, -0.1, 0}, {1.3, 0, 0.1, 25}};
    for (const Off& off : offs) {
        SCOPED_TRACE("scale " + std::to_string(off.scale) + ", off by " + std::to_string(off.dx) + "," +
                     std::to_string(off.dy) + ", " + std::to_string(off.degrees) + " degrees");
        FacePose start = hogBox;
        start.cx += off.dx * hogBox.size;
        start.cy += off.dy * hogBox.size;
        start.size *= off.scale;
        start.angle = off.degrees * M_PI / 180;
        FacePose fitted;
        const Shape points = mivora::firstLandmarks(*model, image, start, fitted, false);
        // Read once from a box 0.7 times too small, they are 6% of the
        // eye-corner distance off; read again, 0.6%.
        EXPECT_LT(meanDistance(points, fromHog) / eyes, 0.03);
        // start is where these points were read from.
        Shape again;
        model->predict(image, start.toImage(), again.data());
        EXPECT_EQ(again, points);
    }

    // HOG's own box keeps its size and place; a wrong roll is still mended.
    for (const double degrees : {0.0, 25.0}) {
        FacePose start = hogBox;
        start.angle = degrees * M_PI / 180;
        FacePose fitted;
        const Shape points = mivora::firstLandmarks(*model, image, start, fitted, true);
        EXPECT_EQ(start.cx, hogBox.cx);
        EXPECT_EQ(start.cy, hogBox.cy);
        EXPECT_EQ(start.size, hogBox.size);
        EXPECT_LT(meanDistance(points, fromHog) / eyes, 0.02) << degrees << " degrees";
    }
}

namespace {

// A face's points at a pose: the model's mean shape, scaled.
Shape shapeAt(const float* meanShape, const FacePose& pose)
{
    Shape shape;
    const dlib::point_transform_affine toImage = pose.toImage();
    for (int i = 0; i < mivora::kShapePointCount; ++i) {
        const dlib::dpoint p = toImage(dlib::dpoint(meanShape[2 * i], meanShape[2 * i + 1]));
        shape[2 * i] = static_cast<float>(p.x());
        shape[2 * i + 1] = static_cast<float>(p.y());
    }
    return shape;
}

} // namespace

TEST(LandmarkSmoother, StillWhenStillAndWithoutLagWhenMoving)
{
    const auto model = packedModel();
    ASSERT_TRUE(model);
    for (double size : {60.0, 240.0}) {
        FacePose pose;
        pose.cx = 300, pose.cy = 200, pose.size = size;
        const Shape still = shapeAt(model->meanShape(), pose);
        const double unit = eyeCornerDistance(still);

        // Noise on every point, nothing moving: the output moves far less.
        // (The tracker's points are the mean of three regressions, steadier
        // than one; the whole pipeline's third of plain dlib's movement under
        // camera noise is checked in the tracking tests.)
        mivora::LandmarkSmoother smoother;
        std::mt19937 random(7);
        std::normal_distribution<float> noise(0.0f, static_cast<float>(0.01 * unit));
        Shape previousIn{}, previousOut{};
        double movedIn = 0, movedOut = 0;
        for (int frame = 0; frame < 60; ++frame) {
            Shape in = still, out;
            for (float& v : in)
                v += noise(random);
            smoother.smooth(in, FacePose::fit(model->meanShape(), in), out);
            if (frame >= 10) {
                movedIn += meanDistance(in, previousIn);
                movedOut += meanDistance(out, previousOut);
            }
            previousIn = in;
            previousOut = out;
        }
        EXPECT_LT(movedOut, movedIn / 2) << size;

        // The same points again and again: exactly those points, soon.
        Shape out;
        for (int frame = 0; frame < 5; ++frame)
            smoother.smooth(still, FacePose::fit(model->meanShape(), still), out);
        EXPECT_EQ(out, still) << size;

        // Steady motion: a pan of 16 px a frame at 120 px wide, a head
        // coming closer by 3% a frame, a roll of 2 degrees a frame. A One
        // Euro filter trails by a fixed fraction of a unit whatever the
        // speed; it must stay well below the points' own error (about 1% of
        // the eye-corner distance): under 0.4%.
        const struct {
            const char* name;
            double dx, growth, roll;
        } motions[] = {
            {"pan", 16.0 * size / 120.0, 1.0, 0.0}, {"zoom", 0.0, 1.03, 0.0}, {"roll", 0.0, 1.0, 2.0 * M_PI / 180.0}};
        for (const auto& motion : motions) {
            smoother.reset();
            double trailing = 0;
            for (int frame = 0; frame < 30; ++frame) {
                FacePose moving = pose;
                moving.cx += motion.dx * frame;
                moving.size *= std::pow(motion.growth, frame);
                moving.angle += motion.roll * frame;
                const Shape in = shapeAt(model->meanShape(), moving);
                smoother.smooth(in, moving, out);
                if (frame >= 10)
                    trailing += meanDistance(out, in) / eyeCornerDistance(in) / 20;
            }
            EXPECT_LT(trailing, 0.004) << size << " px, " << motion.name;
        }
    }
}

// A jaw dropping as in speech, the lids closing as in a blink: the points
// that move trail them by little, while the rest of the face stays put.
TEST(LandmarkSmoother, FollowsTheMouthAndTheLidsWithLittleLag)
{
    const auto model = packedModel();
    ASSERT_TRUE(model);
    FacePose pose;
    pose.cx = 300, pose.cy = 200, pose.size = 150;
    const Shape face = shapeAt(model->meanShape(), pose);
    const double unit = eyeCornerDistance(face);
    // How far each point goes with the chin: the chin and lower lip fully,
    // the jaw line less towards the ears, the mouth corners half way.
    std::array<double, mivora::kShapePointCount> withChin{};
    const double jaw[] = {0.15, 0.35, 0.6, 0.8, 0.9, 0.8, 0.6, 0.35, 0.15};
    for (int i = 0; i < 9; ++i)
        withChin[4 + i] = jaw[i];
    for (int i : {48, 54, 60, 64})
        withChin[i] = 0.45;
    for (int i : {55, 56, 57, 58, 59, 65, 66, 67})
        withChin[i] = 1.0;
    const int upperLids[] = {37, 38, 43, 44}, lowerLids[] = {41, 40, 47, 46};

    for (const char* motion : {"jaw", "blink"}) {
        mivora::LandmarkSmoother smoother;
        Shape out;
        for (int frame = 0; frame < 10; ++frame)
            smoother.smooth(face, pose, out);
        // Four frames of steady motion: the mouth opening by a third of the
        // eye-corner distance, the lids meeting.
        double trailing = 0, others = 0;
        int movingPoints = 0;
        for (int frame = 1; frame <= 4; ++frame) {
            Shape in = face;
            const double t = frame / 4.0;
            if (std::strcmp(motion, "jaw") == 0) {
                for (int i = 0; i < mivora::kShapePointCount; ++i)
                    in[2 * i + 1] += static_cast<float>(withChin[i] * t * unit / 3);
            } else {
                for (int k = 0; k < 4; ++k)
                    in[2 * upperLids[k] + 1] += t * (face[2 * lowerLids[k] + 1] - face[2 * upperLids[k] + 1]) * 0.9f;
            }
            smoother.smooth(in, FacePose::fit(model->meanShape(), in), out);
            if (frame < 3)
                continue;
            for (int i = 0; i < mivora::kShapePointCount; ++i) {
                const double gap = std::hypot(out[2 * i] - in[2 * i], out[2 * i + 1] - in[2 * i + 1]) / unit;
                const bool moving = in[2 * i + 1] != face[2 * i + 1];
                (moving ? trailing : others) += gap;
                movingPoints += moving;
            }
        }
        trailing /= movingPoints;
        others /= 2 * mivora::kShapePointCount - movingPoints;
        // Placed by the rigid points' pose, the rest of the face does not
        // move with the jaw at all; the moving points trail by well under a
        // hundredth of the eye-corner distance (the pose fitted to all
        // points trailed the jaw by 0.3%, and the lips by 2.4%).
        EXPECT_LT(trailing, 0.01) << motion;
        EXPECT_LT(others, 0.001) << motion;
    }
}

namespace {

std::string scratchPath(const std::string& name)
{
    return ::testing::TempDir() + "parts_" + std::to_string(getpid()) + "_" + name;
}

// The most this process has ever had resident.
long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

// The change map on a still, noisy view: a small face-sized patch coming
// into view is found where it came, for a few frames; camera noise, a change
// of the whole view's light and the faces already known are not changes.
TEST(ChangeMap, FindsWhatComesIntoAStillViewAndNothingElse)
{
    const cv::Mat background = test_support::texturedBackground(cv::Size(640, 480));
    const cv::Mat face = bgrPhoto("astronaut.png")(cv::Rect(150, 30, 170, 200));
    cv::RNG rng(7);
    const auto frameOf = [&](const std::vector<cv::Rect>& patches, double noiseSigma, int brighter = 0) {
        cv::Mat bgr = background + cv::Scalar::all(brighter);
        for (const cv::Rect& r : patches)
            cv::resize(face, bgr(r), r.size(), 0, 0, cv::INTER_AREA);
        cv::Mat noise(bgr.size(), CV_16SC3), frame16;
        rng.fill(noise, cv::RNG::NORMAL, 0, noiseSigma);
        bgr.convertTo(frame16, CV_16SC3);
        cv::add(frame16, noise, frame16);
        frame16.convertTo(bgr, CV_8UC3);
        return grayOf(bgr);
    };
    const auto covers = [](const mivora::PixelBox& box, const cv::Rect& r, int slack) {
        return box.x <= r.x && box.y <= r.y && box.x + box.width >= r.x + r.width &&
               box.y + box.height >= r.y + r.height && box.width <= r.width + 2 * slack &&
               box.height <= r.height + 2 * slack;
    };
    constexpr int kCell = 8;
    for (const double sigma : {3.0, 10.0}) {
        SCOPED_TRACE("noise sigma " + std::to_string(sigma));
        mivora::ChangeMap changes;
        for (int i = 0; i < 20; ++i) {
            changes.update(frameOf({}, sigma), kCell);
            EXPECT_TRUE(changes.strongestChange({}).empty()) << "noise frame " << i;
        }
        // A face about 20 px wide comes into view and stays.
        const cv::Rect small(405, 122, 20, 24);
        changes.update(frameOf({small}, sigma), kCell);
        const mivora::PixelBox found = changes.strongestChange({});
        EXPECT_TRUE(covers(found, small, 2 * kCell))
            << found.x << "," << found.y << " " << found.width << "x" << found.height;
        EXPECT_TRUE(changes.strongestChange({{400, 110, 40, 40}}).empty()) << "a known face's place is not a change";
        EXPECT_TRUE(covers(changes.strongestChange({{360, 110, 40, 40}, {405, 80, 20, 40}, {-30, 110, 20, 40}}), small,
                           2 * kCell))
            << "boxes that end where its cells begin, and one left of the frame, leave it alone";
        for (int i = 1; i < 3; ++i) {
            changes.update(frameOf({small}, sigma), kCell);
            const cv::Rect centre(small.x + small.width / 2, small.y + small.height / 2, 1, 1);
            EXPECT_TRUE(covers(changes.strongestChange({}), centre, small.width / 2 + 2 * kCell))
                << "frame " << i << " after it came";
        }
        for (int i = 0; i < 12; ++i)
            changes.update(frameOf({small}, sigma), kCell);
        EXPECT_TRUE(changes.strongestChange({}).empty()) << "what stays becomes part of the view";
        // Two come at once: the larger first, the other when the larger is known.
        const cv::Rect large(100, 300, 60, 70), other(250, 60, 20, 24);
        changes.update(frameOf({small, large, other}, sigma), kCell);
        EXPECT_TRUE(covers(changes.strongestChange({}), large, 2 * kCell));
        EXPECT_TRUE(covers(changes.strongestChange({{90, 290, 80, 90}}), other, 2 * kCell));
        // The light of the whole view changes, or something fills most of
        // it (the camera moved): nothing stands out.
        changes.update(frameOf({small, large, other}, sigma, 40), kCell);
        EXPECT_TRUE(changes.strongestChange({}).empty());
        for (int i = 0; i < 12; ++i)
            changes.update(frameOf({small, large, other}, sigma), kCell);
        changes.update(frameOf({small, large, other, {0, 0, 640, 300}}, sigma), kCell);
        EXPECT_TRUE(changes.strongestChange({}).empty());
        // Or a large part of it (above a quarter of the cells), even while
        // the typical cell does not change.
        for (int i = 0; i < 12; ++i)
            changes.update(frameOf({small, large, other}, sigma), kCell);
        changes.update(frameOf({small, large, other, {0, 300, 640, 170}}, sigma), kCell);
        EXPECT_TRUE(changes.strongestChange({}).empty());
        // Even where a few cells change far more than the rest.
        for (int i = 0; i < 12; ++i)
            changes.update(frameOf({small, large, other}, sigma), kCell);
        mivora::GrayImage lighter = frameOf({small, large, other}, sigma, 12);
        for (int y = 200; y < 216; ++y)
            std::memset(lighter.row(y) + 500, 255, 16);
        changes.update(lighter, kCell);
        EXPECT_TRUE(changes.strongestChange({}).empty());
    }
    // A frame of another size starts afresh.
    mivora::ChangeMap changes;
    changes.update(frameOf({}, 3), kCell);
    cv::Mat other;
    cv::resize(background, other, cv::Size(320, 240));
    changes.update(grayOf(other), kCell);
    EXPECT_TRUE(changes.strongestChange({}).empty());
}

TEST(ModelFile, BadFilesAreRejectedAtOnce)
{
    std::string problem;
    // A FIFO would block a plain open() until someone writes to it.
    const std::string fifo = scratchPath("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(mivora::LandmarkModel::open(fifo, problem));
    EXPECT_EQ(problem, "not a regular file");
    unlink(fifo.c_str());

    // Packed headers (float and compact) promising gigabytes, in sparse files
    // that have them.
    const std::string sparse = scratchPath("sparse.mivora"), sparseCompact = scratchPath("sparse_compact.mivora");
    for (const auto& [from, to, headerSize] :
         {std::tuple{FLOAT_MODEL_PATH, sparse, 32}, std::tuple{PACKED_MODEL_PATH, sparseCompact, 40}}) {
        std::string packed = readAll(from).substr(0, headerSize);
        packed[16] = '\x60'; // cascades: 96
        std::ofstream(to, std::ios::binary) << packed;
        ASSERT_EQ(truncate(to.c_str(), off_t{4} << 30), 0);
    }
    // dlib's format declaring 2e8 cascades in a few hundred bytes.
    const std::string hugeCount = scratchPath("huge_count.dat");
    {
        std::ostringstream out;
        dlib::serialize(1, out);
        dlib::matrix<float, 0, 1> meanShape(136);
        meanShape = 0.5f;
        dlib::serialize(meanShape, out);
        dlib::serialize(200000000ul, out);
        std::ofstream(hugeCount, std::ios::binary) << out.str();
    }
    for (const std::string& path : {sparse, sparseCompact, hugeCount}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(mivora::LandmarkModel::open(path, problem)) << path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << path << ": " << problem;
        EXPECT_LT(peakResidentKiB(), 512 * 1024) << path;
        unlink(path.c_str());
    }
}

TEST(ModelFile, ChangingTheFileLaterChangesNothing)
{
    const std::string copy = scratchPath("copy.mivora");
    const std::string bytes = readAll(PACKED_MODEL_PATH);
    std::ofstream(copy, std::ios::binary) << bytes;
    std::string problem;
    const auto model = mivora::LandmarkModel::open(copy, problem);
    ASSERT_TRUE(model && model->loadLeaves(problem)) << problem;
    const cv::Mat photo = bgrPhoto("astronaut.png");
    const mivora::GrayImage gray = grayOf(photo);
    const dlib::rectangle box(150, 60, 280, 190);
    Shape before, after;
    model->predict(mivora::ImageView::of(gray), box, before.data());

    // Rewritten in place (same inode, as an install over it does), then cut short.
    {
        std::fstream file(copy, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(static_cast<std::streamoff>(bytes.size() / 3));
        file << std::string(4 << 20, '\x55');
    }
    model->predict(mivora::ImageView::of(gray), box, after.data());
    EXPECT_EQ(after, before);
    ASSERT_EQ(truncate(copy.c_str(), 4096), 0);
    model->predict(mivora::ImageView::of(gray), box, after.data());
    EXPECT_EQ(after, before);

    // Cut short after it was opened but before its leaves were read: a
    // clean refusal, not a crash or a half-read model.
    std::ofstream(copy, std::ios::binary | std::ios::trunc) << bytes;
    const auto opened = mivora::LandmarkModel::open(copy, problem);
    ASSERT_TRUE(opened) << problem;
    ASSERT_EQ(truncate(copy.c_str(), static_cast<off_t>(bytes.size() / 2)), 0);
    EXPECT_FALSE(opened->loadLeaves(problem));
    EXPECT_EQ(problem, "the file changed while it was read");
    unlink(copy.c_str());
}

namespace {

// The compact file's layout, as mivora_model_pack writes it: the header (40
// bytes: magic, version, points, cascades, trees per cascade, splits per
// tree, features per cascade, 8-bit and 4-bit components), the mean shape,
// 8-bit anchors, feature offsets, 32-bit splits, then from a 64-byte
// boundary one block per cascade (16-byte head, mean leaf, basis), then from
// the next 64-byte boundary the leaf records.
struct CompactLayout {
    std::uint32_t cascades, components;
    std::size_t levels, levelBytes;
};

CompactLayout compactLayoutOf(const std::string& bytes)
{
    std::uint32_t h[8];
    std::memcpy(h, bytes.data() + 8, sizeof h);
    const std::size_t features = std::size_t{h[2]} * h[5];
    const std::size_t anchorsEnd = 40 + 136 * 4 + features;
    const std::size_t splitsEnd = (anchorsEnd + 3) / 4 * 4 + features * 8 + std::size_t{h[2]} * h[3] * h[4] * 4;
    const std::uint32_t components = h[6] + h[7];
    return {h[2], components, (splitsEnd + 63) / 64 * 64, 16 + (1 + std::size_t{components}) * 136 * 4};
}

template <typename T> void poke(std::string& bytes, std::size_t offset, T value)
{
    std::memcpy(&bytes[offset], &value, sizeof value);
}

template <typename T> T peek(const std::string& bytes, std::size_t offset)
{
    T value;
    std::memcpy(&value, &bytes[offset], sizeof value);
    return value;
}

std::unique_ptr<mivora::LandmarkModel> wholeModel(const std::string& path)
{
    std::string problem;
    auto model = mivora::LandmarkModel::open(path, problem);
    if (!model || !model->loadLeaves(problem)) {
        ADD_FAILURE() << path << ": " << problem;
        return nullptr;
    }
    return model;
}

std::unique_ptr<mivora::LandmarkModel> modelFromBytes(const std::string& bytes, const std::string& name)
{
    const std::string path = scratchPath(name);
    std::ofstream(path, std::ios::binary) << bytes;
    auto model = wholeModel(path);
    unlink(path.c_str());
    return model;
}

struct Agreement {
    double meanPct = 0; // mean over the faces of the mean point distance
    double maxPct = 0;  // the farthest point
};

// Both models read the faces of the test photos from the same boxes: dlib's
// detector's, upright as in still mode, and on the photo turned by 25 degrees
// either way with the box turned alike, as video mode reads a tilted head.
// Distances in % of the first model's eye-corner distance.
Agreement agreement(const mivora::LandmarkModel& reference, const mivora::LandmarkModel& other)
{
    cv::Mat messi;
    cv::resize(bgrPhoto("messi5.jpg"), messi, cv::Size(), 2, 2, cv::INTER_CUBIC);
    cv::Mat largeAstronaut;
    cv::resize(bgrPhoto("astronaut.png"), largeAstronaut, cv::Size(), 1.5, 1.5, cv::INTER_CUBIC);
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    Agreement result;
    int faces = 0;
    for (const cv::Mat& photo : {bgrPhoto("astronaut.png"), largeAstronaut, messi}) {
        const mivora::GrayImage gray = grayOf(photo);
        const cv::Mat grayMat(gray.height(), gray.width(), CV_8UC1, const_cast<unsigned char*>(gray.data()));
        const std::vector<dlib::rectangle> boxes = detector(dlib::cv_image<unsigned char>(grayMat));
        EXPECT_EQ(boxes.size(), 1u);
        for (const dlib::rectangle& box : boxes)
            for (const double degrees : {0.0, 25.0, -25.0}) {
                const cv::Point2f centre((box.left() + box.right()) / 2.0f, (box.top() + box.bottom()) / 2.0f);
                cv::Mat turned;
                cv::warpAffine(grayMat, turned, cv::getRotationMatrix2D(centre, -degrees, 1.0), grayMat.size(),
                               cv::INTER_LINEAR, cv::BORDER_REPLICATE);
                FacePose pose = FacePose::of(box);
                pose.angle = degrees * M_PI / 180;
                const mivora::ImageView view{turned.data, turned.cols, turned.rows, turned.step[0]}; // gray
                Shape a, b;
                reference.predict(view, pose.toImage(), a.data());
                other.predict(view, pose.toImage(), b.data());
                const double unit = eyeCornerDistance(a) / 100;
                result.meanPct += meanDistance(a, b) / unit;
                for (int i = 0; i < mivora::kShapePointCount; ++i)
                    result.maxPct =
                        std::max(result.maxPct, std::hypot(a[2 * i] - b[2 * i], a[2 * i + 1] - b[2 * i + 1]) / unit);
                ++faces;
            }
    }
    result.meanPct /= std::max(faces, 1);
    return result;
}

} // namespace

// The float form, which the library still reads, is dlib's shape predictor
// laid out flat: the very same points.
TEST(FloatLandmarkModel, GivesDlibsPointsExactly)
{
    const auto floatModel = wholeModel(FLOAT_MODEL_PATH);
    ASSERT_TRUE(floatModel);
    dlib::shape_predictor predictor;
    dlib::deserialize("/usr/share/dlib/shape_predictor_68_face_landmarks.dat") >> predictor;
    const cv::Mat photo = bgrPhoto("astronaut.png");
    const mivora::GrayImage gray = grayOf(photo);
    const cv::Mat grayMat(gray.height(), gray.width(), CV_8UC1, const_cast<unsigned char*>(gray.data()));
    for (const dlib::rectangle& box : {dlib::rectangle(150, 60, 280, 190), dlib::rectangle(141, 52, 290, 201)}) {
        Shape mine;
        floatModel->predict(mivora::ImageView::of(gray), box, mine.data());
        const dlib::full_object_detection theirs = predictor(dlib::cv_image<unsigned char>(grayMat), box);
        for (int i = 0; i < mivora::kShapePointCount; ++i) {
            EXPECT_EQ(mine[2 * i], theirs.part(i).x()) << "point " << i;
            EXPECT_EQ(mine[2 * i + 1], theirs.part(i).y()) << "point " << i;
        }
    }
}

// The compact model gives the float model's points up to the regression's
// own sensitivity: a start box moved by a thousandth of a pixel already moves
// dlib's points by a few tenths of a percent, a point here and there by
// several percent. A wrong basis or scale moves them far more.
namespace {

// How far a model's leaves are from the float model's, per cascade: the
// error's energy over the leaves' (its relative RMS), and its largest value
// over the largest leaf value.
struct LeafError {
    double relativeRms = 0, relativeMax = 0;
};

std::vector<LeafError> leafErrors(const mivora::LandmarkModel& exact, const mivora::LandmarkModel& model)
{
    std::vector<LeafError> errors;
    for (std::size_t c = 0; c < model.cascades(); ++c) {
        double leafEnergy = 0, errorEnergy = 0, largestError = 0, largestValue = 0;
        for (std::size_t t = 0; t < model.treesPerCascade(); ++t)
            for (std::size_t l = 0; l < model.leavesPerTree(); ++l) {
                Shape a, b;
                exact.leafValues(c, t, l, a.data());
                model.leafValues(c, t, l, b.data());
                for (int i = 0; i < mivora::kShapeValueCount; ++i) {
                    leafEnergy += double{a[i]} * a[i];
                    errorEnergy += double{b[i] - a[i]} * (b[i] - a[i]);
                    largestError = std::max(largestError, double{std::abs(b[i] - a[i])});
                    largestValue = std::max(largestValue, double{std::abs(a[i])});
                }
            }
        errors.push_back({std::sqrt(errorEnergy / leafEnergy), largestError / largestValue});
    }
    return errors;
}

// Copies of the compact model with one packing fault each.
std::vector<std::pair<std::string, std::string>> brokenCompactModels(const std::string& bytes)
{
    const CompactLayout layout = compactLayoutOf(bytes);
    const std::size_t basisOffset = 16 + 136 * 4, basisBytes = layout.components * 136 * 4;
    const auto level = [&](std::size_t c) { return layout.levels + c * layout.levelBytes; };
    std::string swapped = bytes;
    for (std::size_t i = 0; i < basisBytes; ++i)
        std::swap(swapped[level(3) + basisOffset + i], swapped[level(4) + basisOffset + i]);
    std::string halfScale = bytes; // the 8-bit coefficients' unit is the head's third value
    poke(halfScale, level(2) + 8, peek<float>(bytes, level(2) + 8) / 2);
    std::string narrowScale = bytes; // the 4-bit coefficients' unit, its fourth
    poke(narrowScale, level(layout.cascades - 1) + 12, peek<float>(bytes, level(layout.cascades - 1) + 12) * 1.5f);
    return {{"basis of cascade 3 swapped with 4's", swapped},
            {"8-bit scale of cascade 2 halved", halfScale},
            {"4-bit scale of the last cascade x1.5", narrowScale}};
}

} // namespace

// Each leaf rebuilt from its coefficients is the float model's leaf, up to
// what the components left out and the quantisation lose: a small part of
// the leaves' spread at every cascade. A wrong basis or scale is far off.
TEST(CompactLandmarkModel, RebuildsEachLeaf)
{
    const auto floatModel = wholeModel(FLOAT_MODEL_PATH);
    const auto compact = wholeModel(PACKED_MODEL_PATH);
    ASSERT_TRUE(floatModel && compact);
    ASSERT_EQ(compact->cascades(), floatModel->cascades());
    ASSERT_EQ(compact->treesPerCascade(), floatModel->treesPerCascade());
    ASSERT_EQ(compact->leavesPerTree(), floatModel->leavesPerTree());
    const auto bounded = [](const LeafError& e) { return e.relativeRms < 0.08 && e.relativeMax < 0.08; };
    const std::vector<LeafError> good = leafErrors(*floatModel, *compact);
    for (std::size_t c = 0; c < good.size(); ++c)
        EXPECT_TRUE(bounded(good[c])) << "cascade " << c << ": RMS " << good[c].relativeRms << ", max "
                                      << good[c].relativeMax;
    ASSERT_GE(compact->cascades(), 5u);
    for (const auto& [name, broken] : brokenCompactModels(readAll(PACKED_MODEL_PATH))) {
        const auto model = modelFromBytes(broken, "broken.mivora");
        ASSERT_TRUE(model) << name;
        const std::vector<LeafError> bad = leafErrors(*floatModel, *model);
        const auto worst = std::max_element(bad.begin(), bad.end(), [](const LeafError& a, const LeafError& b) {
            return a.relativeRms < b.relativeRms;
        });
        EXPECT_FALSE(std::all_of(bad.begin(), bad.end(), bounded))
            << name << ": worst cascade's RMS " << worst->relativeRms;
    }
}

TEST(CompactLandmarkModel, GivesTheFloatModelsPoints)
{
    const auto floatModel = wholeModel(FLOAT_MODEL_PATH);
    const auto compact = wholeModel(PACKED_MODEL_PATH);
    ASSERT_TRUE(floatModel && compact);
    ASSERT_FALSE(floatModel->compact());
    ASSERT_TRUE(compact->compact());
    const Agreement good = agreement(*floatModel, *compact);
    std::cout << "compact: mean " << good.meanPct << "%, max " << good.maxPct << "%\n";
    EXPECT_LT(good.meanPct, 1.2);
    EXPECT_LT(good.maxPct, 8.0);

    // A basis swapped with another cascade's moves them far more.
    const auto swapped =
        modelFromBytes(brokenCompactModels(readAll(PACKED_MODEL_PATH)).front().second, "swapped.mivora");
    ASSERT_TRUE(swapped);
    const Agreement bad = agreement(*floatModel, *swapped);
    EXPECT_TRUE(bad.meanPct > 1.2 || bad.maxPct > 8.0) << "mean " << bad.meanPct << "%, max " << bad.maxPct << "%";
}
