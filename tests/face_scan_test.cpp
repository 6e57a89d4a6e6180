// The face scan compiled for AVX2, in its module, against the baseline scan.
#include "face_scan.h"

#include "test_support.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

TEST(FaceScan, Avx2ModuleFindsExactlyWhatTheBaselineFinds)
{
    if (!__builtin_cpu_supports("avx2"))
        GTEST_SKIP() << "this processor has no AVX2";
    const mivora::FastestFaceScan fastest(SCAN_MODULE_LIBRARY_DIR);
    ASSERT_TRUE(fastest.usesAvx2()) << "no module under " SCAN_MODULE_LIBRARY_DIR;

    const cv::Mat astronaut = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    cv::Mat messiTwice;
    cv::resize(cv::imread(test_support::dataPath("messi5.jpg"), cv::IMREAD_COLOR), messiTwice, cv::Size(), 2, 2);
    const cv::Mat withBadge = // a face and a weak detection
        test_support::photoFrame(astronaut, test_support::texturedBackground(cv::Size(640, 480)), 15);
    const cv::Mat window = astronaut(cv::Rect(130, 30, 170, 170)); // search-window sized
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    int detections = 0;
    for (const cv::Mat& bgr : {astronaut, messiTwice, withBadge, window,
                               cv::imread(test_support::dataPath("coffee.png"), cv::IMREAD_COLOR)}) {
        cv::Mat gray;
        cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
        std::vector<dlib::rect_detection> baseline, avx2;
        mivora::baselineFaceScan(detector, gray, baseline);
        fastest.scan()(detector, gray, avx2);
        ASSERT_EQ(avx2.size(), baseline.size()) << bgr.size();
        for (std::size_t i = 0; i < baseline.size(); ++i) {
            EXPECT_EQ(avx2[i].rect, baseline[i].rect);
            // Vector widths change the order of a few float sums, nothing more.
            EXPECT_NEAR(avx2[i].detection_confidence, baseline[i].detection_confidence, 1e-5);
            EXPECT_EQ(avx2[i].weight_index, baseline[i].weight_index);
        }
        detections += static_cast<int>(baseline.size());
    }
    EXPECT_GE(detections, 5) << "the images must give the scans something to find";
}

TEST(FaceScan, BaselineWithoutTheModule)
{
    const mivora::FastestFaceScan fastest(::testing::TempDir() + "no_module_here");
    EXPECT_FALSE(fastest.usesAvx2());
    EXPECT_EQ(fastest.scan(), &mivora::baselineFaceScan);
}
