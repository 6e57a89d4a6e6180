// Video mode against the plain dlib pipeline: faces are followed from frame to
// frame without being lost, gained or moved, and still mode is dlib's answer.
#include "mivora_face.h"

#include "test_support.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv/cv_image.h>
#include <gtest/gtest.h>

#include <array>
#include <optional>

namespace {

using Shape = std::array<float, MIVORA_FACE_LANDMARK_VALUE_COUNT>;

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

// dlib's detector on the whole image and its shape predictor on its surest face.
class PlainDlib {
public:
    PlainDlib() : detector_(dlib::get_frontal_face_detector())
    {
        dlib::deserialize("/usr/share/dlib/shape_predictor_68_face_landmarks.dat") >> predictor_;
    }
    std::optional<Shape> face(const cv::Mat& bgr, int* count = nullptr)
    {
        cv::Mat gray;
        cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
        std::vector<dlib::rect_detection> faces;
        detector_(dlib::cv_image<unsigned char>(gray), faces);
        if (count != nullptr)
            *count = static_cast<int>(faces.size());
        if (faces.empty())
            return std::nullopt;
        const auto surest = std::max_element(faces.begin(), faces.end(), [](const auto& a, const auto& b) {
            return a.detection_confidence < b.detection_confidence;
        });
        const dlib::full_object_detection parts = predictor_(dlib::cv_image<unsigned char>(gray), surest->rect);
        Shape shape{};
        for (unsigned long i = 0; i < parts.num_parts(); ++i) {
            shape[2 * i] = static_cast<float>(parts.part(i).x());
            shape[2 * i + 1] = static_cast<float>(parts.part(i).y());
        }
        return shape;
    }

private:
    dlib::frontal_face_detector detector_;
    dlib::shape_predictor predictor_;
};

cv::Point2f point(const Shape& s, int i) { return {s[2 * i], s[2 * i + 1]}; }

// Mean point distance over the reference's inter-ocular distance.
double relativeDistance(const Shape& a, const Shape& reference)
{
    cv::Point2f left(0, 0), right(0, 0);
    for (int i = 0; i < 6; ++i) {
        left += point(reference, 36 + i) / 6.0f;
        right += point(reference, 42 + i) / 6.0f;
    }
    double sum = 0;
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i)
        sum += cv::norm(point(a, i) - point(reference, i));
    return sum / MIVORA_FACE_LANDMARK_POINT_COUNT / cv::norm(left - right);
}

PlainDlib& plainDlib()
{
    static PlainDlib instance;
    return instance;
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
        const std::optional<Shape> b = plainDlib().face(photo, &theirs);
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
        const std::optional<Shape> reference = plainDlib().face(frame);
        ASSERT_TRUE(reference);
        EXPECT_LT(relativeDistance(*mine, *reference), 0.05) << "frame " << i;
    }
    EXPECT_GE(firstFoundAfterReturn, returnAt);
    EXPECT_LT(firstFoundAfterReturn, returnAt + 3);
}

TEST(MivoraVideoMode, AStillSceneGivesStillLandmarks)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const cv::Mat frame = test_support::photoFrame(photo, test_support::texturedBackground(cv::Size(640, 480)), 5);
    std::vector<Shape> shapes;
    for (int i = 0; i < 12; ++i) {
        const std::optional<Shape> shape = libraryFace(frame, MIVORA_FACE_MODE_VIDEO);
        ASSERT_TRUE(shape) << "frame " << i;
        shapes.push_back(*shape);
    }
    // The search window may settle once after the first whole-frame search.
    for (std::size_t i = 3; i < shapes.size(); ++i)
        EXPECT_EQ(shapes[i], shapes[2]) << "frame " << i;
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
    const std::optional<Shape> reference = plainDlib().face(small);
    ASSERT_TRUE(mine && reference);
    EXPECT_EQ(*mine, *reference);
}
