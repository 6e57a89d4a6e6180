// SPDX-License-Identifier: MIT
// The real library on real photos.
#include "mivora_face.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <thread>
#include <unistd.h>

using test_support::dataPath;

namespace {

cv::Mat loadPhoto(const std::string& name, double scale = 1.0)
{
    cv::Mat photo = cv::imread(dataPath(name), cv::IMREAD_COLOR);
    if (!photo.empty() && scale != 1.0)
        cv::resize(photo, photo, cv::Size(), scale, scale, cv::INTER_LINEAR);
    return photo;
}

int detect(const cv::Mat& bgr, int mode = MIVORA_FACE_MODE_STILL)
{
    return MivoraFaceDetectStd(bgr.data, bgr.cols, bgr.rows, mode);
}

struct Landmarks {
    std::array<float, 136> values{};
    cv::Point2f point(int i) const { return {values[2 * i], values[2 * i + 1]}; }
    cv::Point2f mean(int first, int last) const
    {
        cv::Point2f sum(0, 0);
        for (int i = first; i <= last; ++i)
            sum += point(i);
        return sum / static_cast<float>(last - first + 1);
    }
};

void expectAnatomicalOrder(const Landmarks& face)
{
    const cv::Point2f brows = face.mean(17, 26), eyes = face.mean(36, 47), nose = face.mean(31, 35),
                      mouth = face.mean(48, 67), chin = face.point(8);
    EXPECT_LT(brows.y, eyes.y);
    EXPECT_LT(eyes.y, nose.y);
    EXPECT_LT(nose.y, mouth.y);
    EXPECT_LT(mouth.y, chin.y);
    // Image left is the subject's right: points 36-41 lie left of 42-47.
    EXPECT_LT(face.mean(36, 41).x, face.mean(42, 47).x);
    EXPECT_LT(face.mean(17, 21).x, face.mean(22, 26).x);
    EXPECT_LT(face.point(48).x, face.point(54).x);
    // The jaw runs from the left of the eyes, under the mouth, to their right.
    EXPECT_LT(face.point(0).x, face.point(36).x);
    EXPECT_GT(face.point(16).x, face.point(45).x);
    EXPECT_LT(face.point(0).x, nose.x);
    EXPECT_GT(face.point(16).x, nose.x);
}

using test_support::kAstronautFace;

} // namespace

// Runs first in its own process under CTest: nothing detected yet.
TEST(MivoraLandmarks, BeforeAnyDetectionReportsNoDetection)
{
    std::array<float, 136> values;
    values.fill(7.0f);
    EXPECT_EQ(MivoraGetFaceLandmark68Std(0, values.data()), MIVORA_FACE_ERROR_NO_DETECTION);
    for (float v : values)
        ASSERT_EQ(v, 0.0f);
}

TEST(MivoraDetect, FindsTheAstronautAndHerLandmarks)
{
    const cv::Mat photo = loadPhoto("astronaut.png");
    ASSERT_FALSE(photo.empty());
    for (int mode : {MIVORA_FACE_MODE_STILL, MIVORA_FACE_MODE_VIDEO}) {
        // Video mode spreads its first search over up to three frames.
        int faces = detect(photo, mode);
        for (int frame = 1; frame < 3 && mode == MIVORA_FACE_MODE_VIDEO && faces == 0; ++frame)
            faces = detect(photo, mode);
        ASSERT_EQ(faces, 1) << "mode " << mode;
        Landmarks face;
        ASSERT_EQ(MivoraGetFaceLandmark68Std(0, face.values.data()), MIVORA_FACE_OK);
        for (int i = 0; i < 68; ++i)
            EXPECT_TRUE(kAstronautFace.contains(face.point(i))) << "point " << i << " at " << face.point(i);
        expectAnatomicalOrder(face);
    }
}

TEST(MivoraDetect, LargestFaceIsFaceZero)
{
    // The astronaut's head twice, side by side, the right copy at 1.5x size.
    const cv::Mat astronaut = loadPhoto("astronaut.png");
    ASSERT_FALSE(astronaut.empty());
    const cv::Mat photo = astronaut(cv::Rect(100, 0, 240, 280));
    cv::Mat big;
    cv::resize(photo, big, cv::Size(), 1.5, 1.5);
    cv::Mat canvas(big.rows, photo.cols + big.cols, CV_8UC3, cv::Scalar(90, 90, 90));
    photo.copyTo(canvas(cv::Rect(0, 0, photo.cols, photo.rows)));
    big.copyTo(canvas(cv::Rect(photo.cols, 0, big.cols, big.rows)));

    ASSERT_EQ(detect(canvas), 2);
    Landmarks first, second;
    ASSERT_EQ(MivoraGetFaceLandmark68Std(0, first.values.data()), MIVORA_FACE_OK);
    ASSERT_EQ(MivoraGetFaceLandmark68Std(1, second.values.data()), MIVORA_FACE_OK);
    EXPECT_GT(first.mean(0, 67).x, photo.cols) << "face 0 is the enlarged copy";
    EXPECT_LT(second.mean(0, 67).x, photo.cols);
}

TEST(MivoraDetect, ConfidentFaceOutranksALargerWeakDetection)
{
    // In this frame the detector also fires, weakly and one pyramid step
    // larger, on the mission badge of the astronaut's suit.
    const cv::Mat photo = loadPhoto("astronaut.png");
    const cv::Mat frame = test_support::photoFrame(photo, test_support::texturedBackground(cv::Size(640, 480)), 15);
    ASSERT_EQ(detect(frame), 2);
    const cv::Point2d offset = test_support::photoOffset(photo.size(), frame.size(), 15);
    const cv::Rect face = kAstronautFace + cv::Point(static_cast<int>(offset.x), static_cast<int>(offset.y));
    Landmarks first;
    ASSERT_EQ(MivoraGetFaceLandmark68Std(0, first.values.data()), MIVORA_FACE_OK);
    EXPECT_TRUE(face.contains(first.mean(0, 67))) << "face 0 is the face, not the badge";
}

TEST(MivoraDetect, FindsNothingWithoutAFace)
{
    for (const char* name : {"chelsea.png", "coffee.png"}) {
        const cv::Mat photo = loadPhoto(name);
        ASSERT_FALSE(photo.empty()) << name;
        EXPECT_EQ(detect(photo), 0) << name;
        std::array<float, 136> values;
        values.fill(7.0f);
        EXPECT_EQ(MivoraGetFaceLandmark68Std(0, values.data()), MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE) << name;
        for (float v : values)
            ASSERT_EQ(v, 0.0f);
    }
}

TEST(MivoraDetect, RejectsBadArgumentsWithoutReadingTheBuffer)
{
    // One byte only: reading it as any of these images would overrun.
    const unsigned char oneByte[1] = {0};
    const struct {
        const unsigned char* pixels;
        int width, height, mode;
    } cases[] = {
        {nullptr, 64, 64, 1},     {oneByte, 0, 64, 1},     {oneByte, 64, 0, 1},     {oneByte, -1, 64, 1},
        {oneByte, 64, -64, 1},    {oneByte, 16385, 16, 1}, {oneByte, 16, 16385, 1}, {oneByte, INT_MAX, INT_MAX, 1},
        {oneByte, INT_MIN, 1, 1}, {oneByte, 1, 1, 2},      {oneByte, 1, 1, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MivoraFaceDetectStd(c.pixels, c.width, c.height, c.mode), MIVORA_FACE_ERROR_INVALID_ARGUMENT)
            << c.width << "x" << c.height << " mode " << c.mode;
}

TEST(MivoraLandmarks, ErrorsZeroTheBuffer)
{
    const cv::Mat photo = loadPhoto("astronaut.png");
    ASSERT_EQ(detect(photo), 1);
    EXPECT_EQ(MivoraGetFaceLandmark68Std(0, nullptr), MIVORA_FACE_ERROR_INVALID_ARGUMENT);
    for (int index : {1, -1, INT_MAX, INT_MIN}) {
        std::array<float, 136> values;
        values.fill(7.0f);
        EXPECT_EQ(MivoraGetFaceLandmark68Std(index, values.data()), MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE);
        for (float v : values)
            ASSERT_EQ(v, 0.0f);
    }

    // A failed detection leaves nothing to answer, not the previous faces.
    EXPECT_EQ(MivoraFaceDetectStd(nullptr, 10, 10, 1), MIVORA_FACE_ERROR_INVALID_ARGUMENT);
    std::array<float, 136> values;
    values.fill(7.0f);
    EXPECT_EQ(MivoraGetFaceLandmark68Std(0, values.data()), MIVORA_FACE_ERROR_NO_DETECTION);
    for (float v : values)
        ASSERT_EQ(v, 0.0f);
}

TEST(MivoraLandmarks, AnswerFromALaterDetectionNotTheCallersPixels)
{
    cv::Mat photo = loadPhoto("astronaut.png");
    ASSERT_EQ(detect(photo), 1);
    Landmarks before;
    ASSERT_EQ(MivoraGetFaceLandmark68Std(0, before.values.data()), MIVORA_FACE_OK);

    ASSERT_EQ(detect(photo), 1);
    photo.setTo(cv::Scalar(0, 0, 0)); // the caller's pixels are gone
    Landmarks after;
    ASSERT_EQ(MivoraGetFaceLandmark68Std(0, after.values.data()), MIVORA_FACE_OK);
    EXPECT_EQ(before.values, after.values);
}

namespace {

struct ProbeRun {
    std::string out, err;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the model probe in a fresh process with the given model path.
ProbeRun runProbe(const std::string& modelPath)
{
    // Unique names: CTest may run these tests in parallel processes.
    static int runs = 0;
    const std::string stem = ::testing::TempDir() + "probe_" + std::to_string(getpid()) + "_" + std::to_string(runs++);
    const std::string out = stem + ".out", err = stem + ".err";
    const std::string command =
        "MIVORA_FACE_LANDMARK_MODEL='" + modelPath + "' '" MODEL_PROBE_PATH "' >'" + out + "' 2>'" + err + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return {readFile(out), readFile(err)};
}

} // namespace

TEST(MivoraModelFile, UnusableModelsGiveOneLineAndErrorCodes)
{
    const std::string dir = ::testing::TempDir();
    const std::string missing = dir + "no_such_model.dat", empty = dir + "empty_model.dat",
                      truncated = dir + "truncated_model.dat", garbage = dir + "garbage_model.dat";
    std::ofstream(empty, std::ios::binary).close();
    {
        const std::string model = readFile("/usr/share/dlib/shape_predictor_68_face_landmarks.dat");
        ASSERT_GT(model.size(), 1000000u) << "the test needs libdlib-data";
        std::ofstream(truncated, std::ios::binary).write(model.data(), 1000000);
    }
    {
        std::ofstream out(garbage, std::ios::binary);
        cv::RNG rng(7);
        for (int i = 0; i < 100000; ++i)
            out.put(static_cast<char>(rng.uniform(0, 256)));
    }

    // Packed float models: cut short, and with one tree's feature index out of range.
    const std::string packedTruncated = dir + "truncated.mivora", packedBadIndex = dir + "bad_index.mivora";
    {
        std::string packed = readFile(FLOAT_MODEL_PATH);
        ASSERT_GT(packed.size(), 1000000u) << "the build packs the model";
        std::ofstream(packedTruncated, std::ios::binary).write(packed.data(), 2000000);
        // The first split of the first tree follows the header (32 bytes), the
        // mean shape (136 floats) and 15 cascades of 500 anchors and deltas.
        const std::size_t firstSplit = 32 + 136 * 4 + 15 * 500 * 12;
        packed[firstSplit + 3] = '\x7f';
        std::ofstream(packedBadIndex, std::ios::binary)
            .write(packed.data(), static_cast<std::streamsize>(packed.size()));
    }

    // Compact models: cut short (in the leaves, and in the bases), a tree
    // count that does not match the file, a first cascade whose basis has
    // other sizes than the header's, a format version from the future.
    std::vector<std::string> compactCases;
    {
        const std::string compact = readFile(PACKED_MODEL_PATH);
        ASSERT_GT(compact.size(), 1000000u) << "the build packs the model";
        const auto write = [&](const std::string& name, const std::string& bytes) {
            compactCases.push_back(dir + name);
            std::ofstream(compactCases.back(), std::ios::binary)
                .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        };
        const auto with = [&](std::size_t offset, std::uint32_t value) {
            std::string bytes = compact;
            std::memcpy(&bytes[offset], &value, sizeof value);
            return bytes;
        };
        write("compact_truncated.mivora", compact.substr(0, compact.size() - 1000));
        write("compact_no_bases.mivora", compact.substr(0, 600000));
        // Header: magic, version, points, cascades, trees, splits, features,
        // 8-bit and 4-bit components (32-bit each, from byte 8).
        write("compact_trees.mivora", with(20, 499));
        write("compact_future.mivora", with(8, 4));
        // The first cascade's block starts at the first 64-byte boundary
        // after the splits, with its component count.
        const std::size_t splitsEnd = 40 + 136 * 4 + 15 * 500 + 15 * 500 * 8 + 15 * 500 * 15 * 4;
        write("compact_basis_size.mivora", with((splitsEnd + 63) / 64 * 64, 79));
    }

    std::vector<std::string> cases = {missing, empty, truncated, garbage, dir, packedTruncated, packedBadIndex};
    cases.insert(cases.end(), compactCases.begin(), compactCases.end());
    for (const std::string& path : cases) {
        const ProbeRun run = runProbe(path);
        const std::string codes = std::to_string(MIVORA_FACE_ERROR_MODEL_UNAVAILABLE) + " " +
                                  std::to_string(MIVORA_FACE_ERROR_MODEL_UNAVAILABLE) + " 1\n";
        EXPECT_EQ(run.out, codes + codes) << path;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "once per process: " << run.err;
        EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("libdlib-data"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("MIVORA_FACE_LANDMARK_MODEL"), std::string::npos) << run.err;
    }
}

TEST(MivoraModelFile, GoodModelsAreSilent)
{
    for (const char* path :
         {"/usr/share/dlib/shape_predictor_68_face_landmarks.dat", FLOAT_MODEL_PATH, PACKED_MODEL_PATH}) {
        const ProbeRun run = runProbe(path);
        const std::string codes =
            "0 " + std::to_string(MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE) + " 1\n"; // a flat image has no face
        EXPECT_EQ(run.out, codes + codes) << path;
        EXPECT_EQ(run.err, "") << path;
    }
}

TEST(MivoraThreads, ConcurrentCallersEachGetTheirOwnLandmarks)
{
    const cv::Mat astronaut = loadPhoto("astronaut.png");
    cv::Mat shifted;
    cv::copyMakeBorder(astronaut, shifted, 40, 0, 90, 0, cv::BORDER_REPLICATE);
    const std::vector<cv::Mat> images = {astronaut, loadPhoto("astronaut.png", 1.5), loadPhoto("messi5.jpg", 2.0),
                                         shifted, loadPhoto("coffee.png")};

    // What each image gives when the library has one caller.
    std::vector<int> expectedFaces;
    std::vector<Landmarks> expected(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        expectedFaces.push_back(detect(images[i]));
        MivoraGetFaceLandmark68Std(0, expected[i].values.data());
    }
    ASSERT_EQ(expectedFaces.back(), 0);

    std::vector<int> mismatches(images.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < images.size(); ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 3; ++round) {
                Landmarks got;
                const int faces = detect(images[i]);
                const int status = MivoraGetFaceLandmark68Std(0, got.values.data());
                const int expectedStatus =
                    expectedFaces[i] > 0 ? MIVORA_FACE_OK : MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE;
                if (faces != expectedFaces[i] || status != expectedStatus || got.values != expected[i].values)
                    ++mismatches[i];
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (std::size_t i = 0; i < images.size(); ++i)
        EXPECT_EQ(mismatches[i], 0) << "image " << i;
}

TEST(MivoraThreads, ADetectionBelongsToItsThread)
{
    const cv::Mat photo = loadPhoto("astronaut.png");
    ASSERT_EQ(detect(photo), 1);
    int otherThreadStatus = 0;
    std::thread([&] {
        float values[136];
        otherThreadStatus = MivoraGetFaceLandmark68Std(0, values);
    }).join();
    EXPECT_EQ(otherThreadStatus, MIVORA_FACE_ERROR_NO_DETECTION);
    float values[136];
    EXPECT_EQ(MivoraGetFaceLandmark68Std(0, values), MIVORA_FACE_OK);
}
