// Video mode against the plain dlib pipeline: faces are followed from frame to
// frame without being lost, gained or moved, and still mode is dlib's answer.
#include "mivora_face.h"
#include "reference_pipeline.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>

namespace {

using mivora::Shape;

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

TEST(MivoraStillMode, GivesThePlainDlibAnswer)
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
        EXPECT_EQ(*a, *b) << "the same points, exactly";
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
        ASSERT_TRUE(shape) << "frame " << i;
        shapes.push_back(*shape);
    }
    // The smoothing settles within a few frames; from then on the very same points.
    constexpr std::size_t kSettled = 15;
    for (std::size_t i = kSettled + 1; i < shapes.size(); ++i)
        EXPECT_EQ(shapes[i], shapes[kSettled]) << "frame " << i;
}

TEST(MivoraVideoMode, ANewFrameSizeStartsAfresh)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const cv::Mat big = test_support::photoFrame(photo, test_support::texturedBackground(cv::Size(800, 600)), 0);
    ASSERT_TRUE(libraryFace(big, MIVORA_FACE_MODE_VIDEO));
    ASSERT_TRUE(libraryFace(big, MIVORA_FACE_MODE_VIDEO));
    // Same face, other place: a window carried over from the bigger frame
    // would look in the wrong place or outside the image.
    cv::Mat small(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    photo(cv::Rect(100, 0, 412, 400)).copyTo(small(cv::Rect(228, 80, 412, 400)));
    const std::optional<Shape> mine = libraryFace(small, MIVORA_FACE_MODE_VIDEO);
    const std::optional<Shape> reference = referenceFace(small);
    ASSERT_TRUE(mine && reference);
    // Found afresh by the whole-frame search: dlib's points, before rounding.
    for (std::size_t i = 0; i < mine->size(); ++i)
        EXPECT_NEAR((*mine)[i], (*reference)[i], 0.5f) << "value " << i;
}
