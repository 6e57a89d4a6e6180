// The library over 10,000 frames of a generated clip: resident memory must
// stop growing once it is warm.
#include "mivora_face.h"

#include "test_support.h"

#include <gtest/gtest.h>

TEST(MivoraMemory, FlatOverTenThousandFrames)
{
    // A small frame around the face keeps the run short.
    const cv::Mat astronaut = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    ASSERT_FALSE(astronaut.empty());
    const cv::Mat photo = astronaut(cv::Rect(100, 0, 260, 220)).clone();
    const cv::Mat background = test_support::texturedBackground(cv::Size(320, 240));

    const int frames = 10000, warmUp = 1000;
    long warm = 0, peak = 0;
    int withFace = 0;
    for (int i = 0; i < frames; ++i) {
        // Every 100 frames, 20 without the face: the library's state changes.
        const cv::Mat frame = i % 100 < 80 ? test_support::photoFrame(photo, background, i) : background;
        const int faces = MivoraFaceDetectStd(frame.data, frame.cols, frame.rows, MIVORA_FACE_MODE_VIDEO);
        ASSERT_GE(faces, 0);
        float landmarks[MIVORA_FACE_LANDMARK_VALUE_COUNT];
        if (faces > 0) {
            ++withFace;
            ASSERT_EQ(MivoraGetFaceLandmark68Std(0, landmarks), MIVORA_FACE_OK);
        }
        if (i == warmUp)
            warm = test_support::residentKiB() * 1024;
        if (i > warmUp)
            peak = std::max(peak, test_support::residentKiB() * 1024);
        if (i % 2000 == 0)
            std::fprintf(stderr, "frame %d: %ld KiB resident\n", i, test_support::residentKiB());
    }
    std::fprintf(stderr, "%d frames, %d with a face; resident after warm-up %ld KiB, peak %ld KiB\n", frames, withFace,
                 warm / 1024, peak / 1024);
    EXPECT_GT(withFace, frames / 2) << "the clip must exercise the landmark path";
    EXPECT_LT(peak - warm, 1024 * 1024) << "resident memory grew after warm-up";
}
