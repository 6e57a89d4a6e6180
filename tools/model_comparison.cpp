// SPDX-License-Identifier: MIT
#include "model_comparison.h"

#include "face_order.h"
#include "face_pose.h"
#include "gray_image.h"
#include "landmark_model.h"

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv/cv_image.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

namespace mivora {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

std::unique_ptr<LandmarkModel> openWhole(const std::string& path)
{
    std::string problem;
    std::unique_ptr<LandmarkModel> model = LandmarkModel::open(path, problem);
    if (!model || !model->loadLeaves(problem)) {
        std::fprintf(stderr, "mivora_bench: cannot read the landmark model %s: %s\n", path.c_str(), problem.c_str());
        return nullptr;
    }
    return model;
}

// Frames of PHOTO, PHOTO@SCALE or a video, one at a time.
class Frames {
public:
    explicit Frames(const std::string& argument)
    {
        std::string path = argument;
        double scale = 1;
        const std::size_t at = argument.rfind('@');
        if (at != std::string::npos) {
            char* end = nullptr;
            const double parsed = std::strtod(argument.c_str() + at + 1, &end);
            if (end != argument.c_str() + at + 1 && *end == '\0' && parsed > 0) {
                path = argument.substr(0, at);
                scale = parsed;
            }
        }
        photo_ = cv::imread(path, cv::IMREAD_COLOR);
        if (!photo_.empty() && scale != 1)
            cv::resize(photo_, photo_, cv::Size(), scale, scale, scale > 1 ? cv::INTER_CUBIC : cv::INTER_AREA);
        if (photo_.empty())
            video_.open(path);
    }
    bool usable() const { return !photo_.empty() || video_.isOpened(); }
    bool next(cv::Mat& frame)
    {
        if (video_.isOpened())
            return video_.read(frame) && !frame.empty();
        if (photo_.empty())
            return false;
        frame = photo_;
        photo_.release();
        return true;
    }

private:
    cv::Mat photo_;
    cv::VideoCapture video_;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
    return v[std::min(v.size(), std::max<std::size_t>(rank, 1)) - 1];
}

struct Figures {
    std::vector<double> meanErrors; // per face, % of the eye-corner distance
    double maxError = 0;            // any point
    std::vector<double> firstMs, secondMs;
};

// Runs both models from one start; returns the first model's points.
Shape compareOnce(const LandmarkModel& first, const LandmarkModel& second, const ImageView& image,
                  const dlib::point_transform_affine& toImage, Figures& figures)
{
    Shape a, b;
    Clock::time_point start = Clock::now();
    first.predict(image, toImage, a.data());
    figures.firstMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    start = Clock::now();
    second.predict(image, toImage, b.data());
    figures.secondMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    const double eyeCorners = std::max(1.0, std::hypot(double{a[90] - a[72]}, double{a[91] - a[73]}));
    double sum = 0;
    for (int i = 0; i < kShapePointCount; ++i) {
        const double d = std::hypot(a[2 * i] - b[2 * i], a[2 * i + 1] - b[2 * i + 1]) / eyeCorners;
        sum += d;
        figures.maxError = std::max(figures.maxError, 100 * d);
    }
    figures.meanErrors.push_back(100 * sum / kShapePointCount);
    return a;
}

double mean(const std::vector<double>& v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

} // namespace

bool compareModels(const std::string& firstModel, const std::string& secondModel,
                   const std::vector<std::string>& inputs, Json& out)
{
    const std::unique_ptr<LandmarkModel> first = openWhole(firstModel), second = openWhole(secondModel);
    if (!first || !second)
        return false;
    std::printf("landmarks of %s against %s, from the same boxes: distance in %% of the eye-corner distance, "
                "milliseconds per regression\n",
                secondModel.c_str(), firstModel.c_str());
    std::printf("  %-40s %6s %6s %8s %8s %8s %8s %8s\n", "input", "frames", "faces", "mean", "worst", "max", "ms first",
                "ms second");
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    bool ok = true;
    Figures all;
    for (const std::string& input : inputs) {
        Frames frames(input);
        if (!frames.usable()) {
            std::fprintf(stderr, "mivora_bench: %s is neither a readable video nor a photo\n", input.c_str());
            ok = false;
            continue;
        }
        Figures figures;
        int frameCount = 0, faces = 0;
        cv::Mat frame, gray;
        while (frames.next(frame)) {
            ++frameCount;
            cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
            const ImageView image{gray.data, gray.cols, gray.rows, gray.step[0]}; // gray, one byte a pixel
            std::vector<dlib::rect_detection> found;
            detector(dlib::cv_image<unsigned char>(gray), found);
            for (const dlib::rect_detection& detection : found) {
                // Weak detections are face-like patterns, where the
                // regression has no face to settle on.
                if (!isConfident(detection.detection_confidence))
                    continue;
                const dlib::rectangle& rect = detection.rect;
                ++faces;
                // Upright from the detector's box, as in still mode; then
                // turned to the face's roll, as video mode reads a face.
                const Shape upright = compareOnce(*first, *second, image, FacePose::of(rect).toImage(), figures);
                compareOnce(*first, *second, image, FacePose::fit(first->meanShape(), upright).toImage(), figures);
            }
        }
        const double worst =
            figures.meanErrors.empty() ? 0 : *std::max_element(figures.meanErrors.begin(), figures.meanErrors.end());
        std::printf("  %-40s %6d %6d %7.3f%% %7.3f%% %7.3f%% %8.3f %8.3f\n", input.c_str(), frameCount, faces,
                    mean(figures.meanErrors), worst, figures.maxError, percentile(figures.firstMs, 50),
                    percentile(figures.secondMs, 50));
        out.push_back({{"input", input},
                       {"frames", frameCount},
                       {"faces", faces},
                       {"mean_error_pct", mean(figures.meanErrors)},
                       {"worst_face_mean_error_pct", worst},
                       {"max_point_error_pct", figures.maxError},
                       {"first_ms_p50", percentile(figures.firstMs, 50)},
                       {"second_ms_p50", percentile(figures.secondMs, 50)}});
        all.meanErrors.insert(all.meanErrors.end(), figures.meanErrors.begin(), figures.meanErrors.end());
        all.maxError = std::max(all.maxError, figures.maxError);
        all.firstMs.insert(all.firstMs.end(), figures.firstMs.begin(), figures.firstMs.end());
        all.secondMs.insert(all.secondMs.end(), figures.secondMs.begin(), figures.secondMs.end());
    }
    std::printf("  %-40s %6s %6zu %7.3f%% %7s  %7.3f%% %8.3f %8.3f\n", "all", "", all.meanErrors.size() / 2,
                mean(all.meanErrors), "", all.maxError, percentile(all.firstMs, 50), percentile(all.secondMs, 50));
    std::fflush(stdout);
    return ok;
}

} // namespace mivora
