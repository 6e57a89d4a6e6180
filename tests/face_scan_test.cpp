// SPDX-License-Identifier: MIT
// FaceScan against dlib itself: the pyramid images and fHOG features it
// computes, the faces it finds on photos (moved, scaled, several, none, weak
// ones too), its level ranges and buffers, and every instruction set this
// processor runs against the plain one.
#include "face_scan.h"
#include "gray_image.h"

#include "test_support.h"

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_processing/scan_fhog_pyramid.h>
#include <dlib/image_transforms.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using mivora::FaceScan;
using mivora::GrayImage;
using Faces = std::vector<dlib::rect_detection>;

// dlib's frontal face detector, made once (it takes about a second).
const dlib::frontal_face_detector& sharedDetector()
{
    static const dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    return detector;
}

// What plain dlib finds: its detector changes its own buffers, so each call
// scans with a copy.
Faces dlibFaces(const GrayImage& image, double adjustThreshold = 0)
{
    dlib::frontal_face_detector detector = sharedDetector();
    Faces faces;
    detector(image, faces, adjustThreshold);
    return faces;
}

GrayImage grayOf(const cv::Mat& bgr)
{
    const cv::Mat continuous = bgr.isContinuous() ? bgr : bgr.clone();
    GrayImage gray;
    mivora::bgrToGray(continuous.data, continuous.cols, continuous.rows, gray);
    return gray;
}

cv::Mat photo(const std::string& name) { return cv::imread(test_support::dataPath(name), cv::IMREAD_COLOR); }

cv::Mat scaled(const cv::Mat& image, double factor)
{
    cv::Mat out;
    cv::resize(image, out, cv::Size(), factor, factor, factor < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

GrayImage crop(const GrayImage& image, int x, int y, int width, int height)
{
    GrayImage out;
    out.resize(width, height);
    for (int r = 0; r < height; ++r)
        std::copy_n(image.row(y + r) + x, width, out.row(r));
    return out;
}

double intersectionOverUnion(const dlib::rectangle& a, const dlib::rectangle& b)
{
    const double overlap = static_cast<double>(a.intersect(b).area());
    return overlap / static_cast<double>(a.area() + b.area() - overlap);
}

std::string describe(const Faces& faces)
{
    std::ostringstream text;
    for (const dlib::rect_detection& face : faces)
        text << " " << face.rect << " score " << face.detection_confidence << " detector " << face.weight_index;
    return faces.empty() ? " none" : text.str();
}

// The contract: each of dlib's boxes matched by one of ours with IoU >= 0.9,
// none left over, scores close. Returns the largest score difference.
double expectSameFaces(const Faces& theirs, const Faces& ours, const std::string& what, double scoreTolerance = 1e-4)
{
    EXPECT_EQ(ours.size(), theirs.size()) << what << "\n  dlib:" << describe(theirs) << "\n  ours:" << describe(ours);
    std::vector<bool> used(ours.size(), false);
    double largestDifference = 0;
    for (const dlib::rect_detection& face : theirs) {
        int best = -1;
        double bestOverlap = 0;
        for (std::size_t i = 0; i < ours.size(); ++i) {
            const double overlap = intersectionOverUnion(face.rect, ours[i].rect);
            if (!used[i] && overlap > bestOverlap) {
                best = static_cast<int>(i);
                bestOverlap = overlap;
            }
        }
        EXPECT_GE(bestOverlap, 0.9) << what << ": no match for dlib's " << face.rect << "\n  ours:" << describe(ours);
        if (best < 0 || bestOverlap < 0.9)
            continue;
        used[best] = true;
        const double difference = std::abs(ours[best].detection_confidence - face.detection_confidence);
        EXPECT_LE(difference, scoreTolerance) << what << ": score of " << face.rect;
        largestDifference = std::max(largestDifference, difference);
    }
    return largestDifference;
}

std::vector<FaceScan::Instructions> supportedInstructions()
{
    std::vector<FaceScan::Instructions> sets;
    for (FaceScan::Instructions set :
         {FaceScan::Instructions::Plain, FaceScan::Instructions::Avx2, FaceScan::Instructions::Avx2Fma})
        if (FaceScan::supported(set))
            sets.push_back(set);
    return sets;
}

// The test photos as the library sees them, messi5.jpg enlarged 2x so that
// its face is large enough for the detector, with the faces dlib finds in each.
struct TestPhoto {
    std::string name;
    GrayImage gray;
    std::size_t faces;
};
const std::vector<TestPhoto>& testPhotos()
{
    static const std::vector<TestPhoto> photos = {
        {"astronaut.png", grayOf(photo("astronaut.png")), 1},
        {"messi5.jpg x2", grayOf(scaled(photo("messi5.jpg"), 2)), 1},
        {"coffee.png", grayOf(photo("coffee.png")), 0},
        {"chelsea.png", grayOf(photo("chelsea.png")), 0},
    };
    return photos;
}

// Two faces of different sizes on a textured background.
GrayImage twoFaceFrame()
{
    cv::Mat frame = test_support::texturedBackground(cv::Size(1280, 720));
    const cv::Mat astronaut = photo("astronaut.png");
    const cv::Mat large = scaled(astronaut, 0.9), small = scaled(astronaut, 0.6);
    large.copyTo(frame(cv::Rect(60, 100, large.cols, large.rows)));
    small.copyTo(frame(cv::Rect(800, 250, small.cols, small.rows)));
    return grayOf(frame);
}

} // namespace

// ---------------------------------------------------------------------------
// The pyramid and the features.

TEST(FaceScanPyramid, HasDlibsLevelsAndImagesToTheBit)
{
    FaceScan scan(sharedDetector());
    const auto& scanner = sharedDetector().get_scanner();
    std::vector<GrayImage> images;
    for (const TestPhoto& photo : testPhotos())
        images.push_back(photo.gray);
    const GrayImage& astronaut = testPhotos()[0].gray;
    images.push_back(crop(astronaut, 3, 5, 311, 77));  // odd sizes, a level or two
    images.push_back(crop(astronaut, 0, 0, 97, 501));  // narrow and tall
    images.push_back(crop(astronaut, 11, 13, 76, 76)); // just below a second level
    images.push_back(crop(astronaut, 11, 13, 78, 78)); // just above it
    for (const GrayImage& image : images) {
        const std::string size = std::to_string(image.width()) + "x" + std::to_string(image.height());
        dlib::array<dlib::array<dlib::array2d<float>>> dlibPyramid;
        dlib::impl::create_fhog_pyramid<dlib::pyramid_down<6>>(
            image, scanner.get_feature_extractor(), dlibPyramid, 8, 10, 10, scanner.get_min_pyramid_layer_width(),
            scanner.get_min_pyramid_layer_height(), scanner.get_max_pyramid_levels());
        const int levels = scan.levelCount(image.width(), image.height());
        EXPECT_EQ(levels, static_cast<int>(dlibPyramid.size())) << size;

        dlib::array2d<unsigned char> level, next;
        dlib::assign_image(level, image);
        double costs = 0;
        for (int l = 0; l < levels; ++l) {
            if (l > 0) {
                dlib::pyramid_down<6>()(level, next);
                dlib::swap(level, next);
            }
            GrayImage ours;
            scan.pyramidLevel(image, l, ours);
            int width = 0, height = 0;
            scan.levelSize(image.width(), image.height(), l, width, height);
            ASSERT_EQ(ours.width(), level.nc()) << size << " level " << l;
            ASSERT_EQ(ours.height(), level.nr()) << size << " level " << l;
            EXPECT_EQ(width, ours.width());
            EXPECT_EQ(height, ours.height());
            int differing = 0;
            for (int y = 0; y < ours.height(); ++y)
                for (int x = 0; x < ours.width(); ++x)
                    differing += ours.row(y)[x] != level[y][x];
            EXPECT_EQ(differing, 0) << size << " level " << l;
            const double cost = scan.levelCost(image.width(), image.height(), l);
            EXPECT_GT(cost, 0) << size << " level " << l;
            costs += cost;
        }
        EXPECT_NEAR(costs, 1.0, 1e-9) << size;
        EXPECT_EQ(scan.levelCost(image.width(), image.height(), levels), 0);
    }
}

TEST(FaceScanFeatures, MatchDlibsFhogOnPhotosAndOddCrops)
{
    const auto& scanner = sharedDetector().get_scanner();
    const int filterRows = static_cast<int>(scanner.get_fhog_window_height());
    const int filterColumns = static_cast<int>(scanner.get_fhog_window_width());
    std::vector<std::pair<std::string, GrayImage>> images;
    for (const TestPhoto& photo : testPhotos())
        images.emplace_back(photo.name, photo.gray);
    const GrayImage& astronaut = testPhotos()[0].gray;
    const GrayImage& coffee = testPhotos()[2].gray;
    for (const auto& [x, y, w, h] : std::vector<std::array<int, 4>>{{5, 9, 37, 53},
                                                                    {100, 60, 101, 67},
                                                                    {1, 2, 250, 129},
                                                                    {0, 0, 17, 17}, // 2 cells: no hog cells
                                                                    {40, 40, 24, 28},
                                                                    {7, 3, 9, 300},
                                                                    {0, 0, 511, 3}})
        images.emplace_back("astronaut crop " + std::to_string(w) + "x" + std::to_string(h),
                            crop(astronaut, x, y, w, h));
    images.emplace_back("coffee crop 333x197", crop(coffee, 201, 150, 333, 197));

    for (FaceScan::Instructions set : supportedInstructions()) {
        FaceScan scan(sharedDetector(), set);
        double largest = 0;
        for (const auto& [name, image] : images) {
            const std::string what = name + " (" + scan.instructionsName() + ")";
            dlib::array<dlib::array2d<float>> theirs;
            dlib::extract_fhog_features(image, theirs, 8, filterRows, filterColumns);
            std::vector<float> ours;
            int rows = -1, columns = -1;
            scan.fhog(image, ours, rows, columns);
            ASSERT_EQ(theirs.size(), 31u);
            ASSERT_EQ(rows, theirs[0].nr()) << what;
            ASSERT_EQ(columns, theirs[0].nc()) << what;
            ASSERT_EQ(ours.size(), static_cast<std::size_t>(31 * rows * columns)) << what;
            for (int p = 0; p < 31; ++p) {
                double difference = 0, energy = 0;
                for (int r = 0; r < rows; ++r)
                    for (int c = 0; c < columns; ++c) {
                        const float mine = ours[(static_cast<std::size_t>(p) * rows + r) * columns + c];
                        difference = std::max(difference, static_cast<double>(std::abs(mine - theirs[p][r][c])));
                        energy += theirs[p][r][c];
                    }
                EXPECT_LE(difference, 1e-5) << what << " plane " << p;
                largest = std::max(largest, difference);
                if (rows > 20 + filterRows && columns > 20 + filterColumns)
                    EXPECT_GT(energy, 0) << what << " plane " << p << ": a photo has every orientation";
            }
        }
        std::cout << scan.instructionsName() << ": largest feature difference from dlib " << largest << "\n";
    }
}

// Every window position of every level scores what dlib's own filtering of
// its own features scores there: the frame's levels are 8 to 158 hog cells
// wide, every remainder of the filters' 64-column blocks.
TEST(FaceScanScores, EveryWindowOfEveryLevelScoresAsInDlib)
{
    const dlib::frontal_face_detector& detector = sharedDetector();
    const auto& scanner = detector.get_scanner();
    const long filterRows = static_cast<long>(scanner.get_fhog_window_height());
    const long filterColumns = static_cast<long>(scanner.get_fhog_window_width());
    std::vector<dlib::scan_fhog_pyramid<dlib::pyramid_down<6>>::fhog_filterbank> banks;
    for (unsigned long d = 0; d < detector.num_detectors(); ++d)
        banks.push_back(scanner.build_fhog_filterbank(detector.get_w(d)));

    const GrayImage frame = twoFaceFrame();
    dlib::array<dlib::array<dlib::array2d<float>>> features;
    dlib::impl::create_fhog_pyramid<dlib::pyramid_down<6>>(
        frame, scanner.get_feature_extractor(), features, 8, filterRows, filterColumns,
        scanner.get_min_pyramid_layer_width(), scanner.get_min_pyramid_layer_height(),
        scanner.get_max_pyramid_levels());
    for (FaceScan::Instructions set : supportedInstructions()) {
        FaceScan scan(detector, set);
        ASSERT_EQ(scan.levelCount(frame.width(), frame.height()), static_cast<int>(features.size()));
        double largest = 0;
        for (int level = 0; level < static_cast<int>(features.size()); ++level) {
            std::vector<float> ours;
            int rows = 0, columns = 0;
            scan.levelScores(frame, level, ours, rows, columns);
            ASSERT_EQ(rows, features[level][0].nr() - filterRows + 1) << "level " << level;
            ASSERT_EQ(columns, features[level][0].nc() - filterColumns + 1) << "level " << level;
            for (std::size_t d = 0; d < banks.size(); ++d) {
                dlib::array2d<float> saliency;
                const dlib::rectangle area = dlib::impl::apply_filters_to_fhog(banks[d], features[level], saliency);
                ASSERT_EQ(area.height(), rows);
                ASSERT_EQ(area.width(), columns);
                double difference = 0;
                for (int r = 0; r < rows; ++r)
                    for (int c = 0; c < columns; ++c)
                        difference = std::max(difference,
                                              static_cast<double>(std::abs(ours[(d * rows + r) * columns + c] -
                                                                           saliency[area.top() + r][area.left() + c])));
                EXPECT_LE(difference, 1e-4) << scan.instructionsName() << " level " << level << " detector " << d;
                largest = std::max(largest, difference);
            }
        }
        std::cout << scan.instructionsName() << ": largest window score difference from dlib " << largest << "\n";
    }
}

// ---------------------------------------------------------------------------
// The faces.

TEST(FaceScanDetections, PhotosGiveDlibsFacesStrongAndWeak)
{
    FaceScan scan(sharedDetector());
    Faces ours;
    double largest = 0;
    for (const TestPhoto& photo : testPhotos()) {
        const Faces theirs = dlibFaces(photo.gray);
        ASSERT_EQ(theirs.size(), photo.faces) << photo.name << ": dlib's answer is the reference";
        scan.scan(photo.gray, ours);
        largest = std::max(largest, expectSameFaces(theirs, ours, photo.name));
        // Weaker faces, asked for with a lower threshold: every photo has some.
        const Faces weakTheirs = dlibFaces(photo.gray, -1);
        EXPECT_GT(weakTheirs.size(), photo.faces) << photo.name;
        scan.scan(photo.gray, ours, -1);
        largest = std::max(largest, expectSameFaces(weakTheirs, ours, photo.name + " adjust -1"));
        for (const dlib::rect_detection& face : ours)
            EXPECT_GE(face.detection_confidence, -1) << photo.name;
    }
    std::cout << "largest score difference from dlib " << largest << "\n";
}

TEST(FaceScanDetections, MovedAndScaledPhotosGiveDlibsFaces)
{
    FaceScan scan(sharedDetector());
    const cv::Mat astronaut = photo("astronaut.png");
    const cv::Mat background = test_support::texturedBackground(cv::Size(640, 480));
    Faces ours;
    for (double factor : {0.7, 0.85, 1.0}) {
        const cv::Mat face = scaled(astronaut, factor);
        for (int index : {0, 7, 23, 41}) {
            const GrayImage frame = grayOf(test_support::photoFrame(face, background, index));
            const std::string what = "scale " + std::to_string(factor) + " frame " + std::to_string(index);
            const Faces theirs = dlibFaces(frame);
            EXPECT_GE(theirs.size(), 1u) << what << ": dlib finds the face";
            scan.scan(frame, ours);
            expectSameFaces(theirs, ours, what);
            scan.scan(frame, ours, -0.5);
            expectSameFaces(dlibFaces(frame, -0.5), ours, what + " adjust -0.5");
        }
    }
    const GrayImage larger = grayOf(scaled(astronaut, 1.3));
    scan.scan(larger, ours);
    expectSameFaces(dlibFaces(larger), ours, "scale 1.3");
}

TEST(FaceScanDetections, FrameWithTwoFaces)
{
    const GrayImage frame = twoFaceFrame();
    const Faces theirs = dlibFaces(frame);
    ASSERT_EQ(theirs.size(), 2u) << describe(theirs);
    FaceScan scan(sharedDetector());
    Faces ours;
    scan.scan(frame, ours);
    expectSameFaces(theirs, ours, "two faces");
    scan.scan(frame, ours, -1);
    expectSameFaces(dlibFaces(frame, -1), ours, "two faces adjust -1");
}

TEST(FaceScanDetections, EmptyTinyAndFacelessImagesFindWhatDlibFinds)
{
    FaceScan scan(sharedDetector());
    const GrayImage& astronaut = testPhotos()[0].gray;
    Faces ours(3); // not left over from before
    scan.scan(GrayImage(), ours);
    EXPECT_TRUE(ours.empty());
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {7, 7}, {23, 16}, {30, 300}, {64, 64}}) {
        const GrayImage image = crop(astronaut, 150, 60, w, h);
        scan.scan(image, ours, -2);
        expectSameFaces(dlibFaces(image, -2), ours, "crop " + std::to_string(w) + "x" + std::to_string(h));
    }
    const GrayImage background = grayOf(test_support::texturedBackground(cv::Size(640, 480)));
    scan.scan(background, ours);
    EXPECT_TRUE(ours.empty());
}

// lastLevel stops where dlib stops when it is told to build fewer levels;
// each level alone finds boxes of that level's size only (73 pixels at level
// 0, 6/5 larger at each next level, for boxes inside the image), and together
// the levels find every box of the whole scan.
TEST(FaceScanDetections, LevelRangesScanOnlyThoseLevels)
{
    const GrayImage frame = twoFaceFrame();
    FaceScan scan(sharedDetector());
    const int levels = scan.levelCount(frame.width(), frame.height());
    ASSERT_GT(levels, 5);
    Faces ours;
    for (int last : {0, 1, 3, levels - 2}) {
        dlib::frontal_face_detector limited = sharedDetector();
        dlib::scan_fhog_pyramid<dlib::pyramid_down<6>> scanner;
        scanner.copy_configuration(limited.get_scanner());
        scanner.set_max_pyramid_levels(last + 1);
        std::vector<dlib::frontal_face_detector::feature_vector_type> weights;
        for (unsigned long i = 0; i < limited.num_detectors(); ++i)
            weights.push_back(limited.get_w(i));
        limited = dlib::frontal_face_detector(scanner, limited.get_overlap_tester(), weights);
        Faces theirs;
        limited(frame, theirs, -1);
        scan.scan(frame, ours, -1, 0, last);
        expectSameFaces(theirs, ours, "levels 0.." + std::to_string(last));
    }

    const Faces whole = dlibFaces(frame, -1);
    ASSERT_GE(whole.size(), 2u);
    std::vector<bool> found(whole.size(), false);
    for (int level = 0; level < levels; ++level) {
        scan.scan(frame, ours, -1, level, level);
        const double expectedWidth = 72 * std::pow(6.0 / 5.0, level) + 1;
        for (const dlib::rect_detection& face : ours) {
            if (face.rect.left() > 8 && face.rect.top() > 8)
                EXPECT_NEAR(face.rect.width(), expectedWidth, 2) << "level " << level;
            for (std::size_t i = 0; i < whole.size(); ++i)
                if (whole[i].rect == face.rect)
                    found[i] = true;
        }
    }
    for (std::size_t i = 0; i < whole.size(); ++i)
        EXPECT_TRUE(found[i]) << whole[i].rect << " found by no single level";
    scan.scan(frame, ours, -1, levels, levels + 3);
    EXPECT_TRUE(ours.empty()) << "past the last level";
    scan.scan(frame, ours, -1, 3, 2);
    EXPECT_TRUE(ours.empty()) << "an empty range";
}

// ---------------------------------------------------------------------------
// Buffers, copies, threads.

TEST(FaceScanBuffers, ReusedAcrossSizesCopiedMovedAndReleased)
{
    const GrayImage big = twoFaceFrame();
    const GrayImage& small = testPhotos()[0].gray;
    FaceScan scan(sharedDetector());
    Faces bigFaces, smallFaces, again;
    scan.scan(big, bigFaces, -1);
    const std::size_t bytes = scan.bufferBytes();
    EXPECT_GT(bytes, 1000000u) << "a 1280x720 scan's buffers";
    scan.scan(small, smallFaces, -1);
    expectSameFaces(dlibFaces(small, -1), smallFaces, "small after big");
    scan.scan(big, again, -1);
    expectSameFaces(bigFaces, again, "big after small", 0);
    EXPECT_EQ(scan.bufferBytes(), bytes) << "same-sized scans allocate nothing more";

    FaceScan copy(scan);
    EXPECT_EQ(copy.bufferBytes(), 0u) << "copies start without buffers";
    copy.scan(big, again, -1);
    expectSameFaces(bigFaces, again, "copy", 0);
    FaceScan assigned(sharedDetector(), FaceScan::Instructions::Plain);
    assigned = scan;
    EXPECT_EQ(assigned.instructions(), scan.instructions());
    assigned.scan(small, again, -1);
    expectSameFaces(smallFaces, again, "assigned", 0);

    scan.releaseBuffers();
    EXPECT_EQ(scan.bufferBytes(), 0u);
    scan.scan(big, again, -1);
    expectSameFaces(bigFaces, again, "after release", 0);

    FaceScan moved(std::move(scan));
    EXPECT_EQ(moved.bufferBytes(), bytes) << "a move takes the buffers";
    moved.scan(small, again, -1);
    expectSameFaces(smallFaces, again, "moved", 0);
    scan.scan(big, again, -1); // NOLINT(bugprone-use-after-move): the moved-from scan still works
    expectSameFaces(bigFaces, again, "moved from", 0);
}

TEST(FaceScanThreads, CopiesScanInParallelAsAlone)
{
    const std::vector<GrayImage> frames = {twoFaceFrame(), testPhotos()[0].gray, testPhotos()[1].gray};
    FaceScan original(sharedDetector());
    std::vector<Faces> expected(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        original.scan(frames[i], expected[i], -1);
    constexpr int kThreads = 4, kRounds = 3;
    std::vector<std::vector<Faces>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            FaceScan mine(original);
            for (int round = 0; round < kRounds; ++round)
                for (std::size_t i = 0; i < frames.size(); ++i) {
                    Faces faces;
                    mine.scan(frames[(i + t) % frames.size()], faces, -1);
                    results[t].push_back(faces);
                }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(results[t].size(), frames.size() * kRounds);
        for (std::size_t k = 0; k < results[t].size(); ++k)
            expectSameFaces(expected[(k % frames.size() + t) % frames.size()], results[t][k],
                            "thread " + std::to_string(t) + " scan " + std::to_string(k), 0);
    }
}

// ---------------------------------------------------------------------------
// Instruction sets.

TEST(FaceScanInstructions, BestIsTheMostCapableSupportedSet)
{
    const std::vector<FaceScan::Instructions> sets = supportedInstructions();
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(sets.front(), FaceScan::Instructions::Plain) << "every x86-64 processor runs the plain set";
    EXPECT_EQ(FaceScan(sharedDetector()).instructions(), sets.back());
    EXPECT_EQ(FaceScan::supported(FaceScan::Instructions::Avx2), __builtin_cpu_supports("avx2") != 0);
}

// The features come out to the bit on every set (no fused multiply-add
// there); the scores may differ in the last bits where FMA rounds once.
TEST(FaceScanInstructions, EverySetGivesThePlainResult)
{
    const std::vector<FaceScan::Instructions> sets = supportedInstructions();
    std::cout << "instruction sets run here:";
    for (FaceScan::Instructions set : sets)
        std::cout << " " << FaceScan(sharedDetector(), set).instructionsName();
    std::cout << "\n";

    FaceScan plain(sharedDetector(), FaceScan::Instructions::Plain);
    std::vector<std::pair<std::string, GrayImage>> images = {{"two faces", twoFaceFrame()}};
    for (const TestPhoto& photo : testPhotos())
        images.emplace_back(photo.name, photo.gray);
    images.emplace_back("crop 101x67", crop(testPhotos()[0].gray, 100, 60, 101, 67));
    for (FaceScan::Instructions set : sets) {
        if (set == FaceScan::Instructions::Plain)
            continue;
        FaceScan other(sharedDetector(), set);
        for (const auto& [name, image] : images) {
            const std::string what = name + " (" + other.instructionsName() + ")";
            std::vector<float> plainFeatures, otherFeatures;
            int rows = 0, columns = 0, otherRows = 0, otherColumns = 0;
            plain.fhog(image, plainFeatures, rows, columns);
            other.fhog(image, otherFeatures, otherRows, otherColumns);
            EXPECT_EQ(otherRows, rows) << what;
            EXPECT_EQ(otherColumns, columns) << what;
            EXPECT_TRUE(otherFeatures == plainFeatures) << what;

            const int level = std::min(2, plain.levelCount(image.width(), image.height()) - 1);
            GrayImage plainLevel, otherLevel;
            plain.pyramidLevel(image, level, plainLevel);
            other.pyramidLevel(image, level, otherLevel);
            ASSERT_EQ(otherLevel.width(), plainLevel.width());
            ASSERT_EQ(otherLevel.height(), plainLevel.height());
            EXPECT_TRUE(std::equal(plainLevel.data(), plainLevel.data() + plainLevel.width() * plainLevel.height(),
                                   otherLevel.data()))
                << what;

            Faces plainFaces, otherFaces;
            plain.scan(image, plainFaces, -1);
            other.scan(image, otherFaces, -1);
            expectSameFaces(plainFaces, otherFaces, what, 1e-5);
        }
    }
}

// ---------------------------------------------------------------------------
// The packed model the library loads.

TEST(FaceScanPackedModel, LoadsBackToTheSameScanAndRepacksToTheSameBytes)
{
    const FaceScan built(sharedDetector(), FaceScan::Instructions::Plain);
    const std::vector<unsigned char> packed = built.packModel();
    FaceScan loaded = FaceScan::fromPackedModel(packed.data(), packed.size(), FaceScan::Instructions::Plain);
    EXPECT_TRUE(loaded.packModel() == packed);
    FaceScan original = built;
    for (const GrayImage& image : {twoFaceFrame(), testPhotos()[1].gray}) {
        Faces theirs, ours;
        original.scan(image, theirs, -1);
        loaded.scan(image, ours, -1);
        ASSERT_EQ(ours.size(), theirs.size());
        ASSERT_FALSE(ours.empty());
        for (std::size_t i = 0; i < ours.size(); ++i) {
            EXPECT_EQ(ours[i].rect, theirs[i].rect);
            EXPECT_EQ(ours[i].detection_confidence, theirs[i].detection_confidence);
            EXPECT_EQ(ours[i].weight_index, theirs[i].weight_index);
        }
    }
}

// A damaged file must be refused before the kernels index with its numbers.
TEST(FaceScanPackedModel, DamagedBytesAreRefused)
{
    const std::vector<unsigned char> packed = FaceScan(sharedDetector()).packModel();
    const auto refused = [](std::vector<unsigned char> bytes) {
        try {
            FaceScan::fromPackedModel(bytes.data(), bytes.size());
        } catch (const std::invalid_argument&) {
            return true;
        }
        return false;
    };
    ASSERT_FALSE(refused(packed));
    EXPECT_TRUE(refused({}));
    EXPECT_TRUE(refused({packed.begin(), packed.begin() + 63}));
    EXPECT_TRUE(refused({packed.begin(), packed.end() - 4})) << "truncated";
    std::vector<unsigned char> longer = packed;
    longer.push_back(0);
    EXPECT_TRUE(refused(longer)) << "trailing bytes";

    // Header fields at their offsets: magic 0, version 8, filter rows 12,
    // detectors 36, terms 40.
    const auto withInt = [&](std::size_t offset, std::int32_t value) {
        std::vector<unsigned char> bytes = packed;
        std::memcpy(bytes.data() + offset, &value, sizeof value);
        return bytes;
    };
    std::vector<unsigned char> badMagic = packed;
    badMagic[0] ^= 1;
    EXPECT_TRUE(refused(badMagic));
    EXPECT_TRUE(refused(withInt(8, 2))) << "another version";
    EXPECT_TRUE(refused(withInt(12, 0))) << "no filter rows";
    EXPECT_TRUE(refused(withInt(12, 33))) << "filter rows beyond 32";
    EXPECT_TRUE(refused(withInt(36, 1 << 30))) << "huge detector count";
    EXPECT_TRUE(refused(withInt(40, -1))) << "negative term count";

    std::int32_t detectors = 0, terms = 0;
    std::memcpy(&detectors, packed.data() + 36, sizeof detectors);
    std::memcpy(&terms, packed.data() + 40, sizeof terms);
    ASSERT_GT(terms, 0);
    const std::size_t offsets = 64 + detectors * sizeof(double);
    const std::size_t termDetectors = offsets + 32 * sizeof(std::int32_t);
    const std::size_t taps = termDetectors + terms * sizeof(std::int32_t);
    EXPECT_TRUE(refused(withInt(offsets + 4, terms + 1))) << "plane offset past the terms";
    const std::size_t lastTermDetector = termDetectors + (terms - 1) * sizeof(std::int32_t);
    EXPECT_TRUE(refused(withInt(lastTermDetector, detectors))) << "term of a detector that is not there";
    EXPECT_TRUE(refused(withInt(termDetectors, -1))) << "term of a negative detector";
    const float nan = std::nanf("");
    std::vector<unsigned char> notANumber = packed;
    std::memcpy(notANumber.data() + taps, &nan, sizeof nan);
    EXPECT_TRUE(refused(notANumber)) << "a tap that is not a number";
}
