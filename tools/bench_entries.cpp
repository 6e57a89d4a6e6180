// SPDX-License-Identifier: MIT
#include "bench_entries.h"

#include "mivora_face.h"
#include "reference_pipeline.h"
#include "synthetic_frames.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

namespace mivora {

namespace {

using Clock = std::chrono::steady_clock;
using TrackerHandle = std::unique_ptr<MivoraFaceTracker, decltype(&MivoraFaceTrackerDestroy)>;

// Frames of bare background before a face enters (at random, so that the
// face comes at every point of the search's cycle of passes), and frames it
// is given.
constexpr int kFewestFramesBefore = 2, kMostFramesBefore = 7;
constexpr int kFramesToFind = 3;
// Face-free runs are this long.
constexpr int kFaceFreeFrames = 30;

struct Entry {
    std::string name;
    double width;   // jaw width in the frame
    double degrees; // roll, either way
};

// Box centres of every face reported for frame, and the call's time.
std::vector<cv::Point2d> detect(MivoraFaceTracker* tracker, const cv::Mat& frame, int mode, std::vector<double>& ms)
{
    const Clock::time_point start = Clock::now();
    const int faces = MivoraFaceTrackerDetect(tracker, frame.data, frame.cols, frame.rows, mode);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    std::vector<cv::Point2d> centres;
    for (int i = 0; i < faces; ++i) {
        MivoraFaceBox box{};
        if (MivoraFaceTrackerGetBox(tracker, i, &box) == MIVORA_FACE_OK)
            centres.emplace_back(box.x + box.width / 2, box.y + box.height / 2);
    }
    return centres;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p / 100 * static_cast<double>(v.size())))];
}

} // namespace

bool runEntries(const std::vector<std::string>& facePhotos, const std::vector<std::string>& emptyPhotos, int trials,
                int mode, nlohmann::ordered_json& out)
{
    ReferencePipeline reference;
    std::vector<FacePhoto> faces;
    for (const std::string& p : facePhotos) {
        std::optional<FacePhoto> f = prepareFace(p, reference);
        if (!f) {
            std::fprintf(stderr, "mivora_bench: no face for dlib in %s\n", p.c_str());
            return false;
        }
        faces.push_back(std::move(*f));
    }
    std::vector<cv::Mat> empties;
    for (const std::string& p : emptyPhotos) {
        empties.push_back(cv::imread(p, cv::IMREAD_COLOR));
        if (empties.back().empty()) {
            std::fprintf(stderr, "mivora_bench: cannot read %s\n", p.c_str());
            return false;
        }
    }
    std::vector<Entry> entries;
    for (double degrees : {0.0, 15.0, 30.0, 45.0, 60.0})
        entries.push_back({"150px roll " + std::to_string(static_cast<int>(degrees)), 150, degrees});
    for (double width : {90.0, 60.0, 45.0, 30.0, 20.0})
        entries.push_back({std::to_string(static_cast<int>(width)) + "px upright", width, 0});
    for (double width : {45.0, 30.0})
        entries.push_back({std::to_string(static_cast<int>(width)) + "px roll 30", width, 30});

    const TrackerHandle tracker(MivoraFaceTrackerCreate(), MivoraFaceTrackerDestroy);
    if (!tracker) {
        std::fprintf(stderr, "mivora_bench: cannot make a tracker\n");
        return false;
    }
    const cv::Mat blank(kSyntheticFrame, CV_8UC3, cv::Scalar::all(0));
    const auto restart = [&] {
        // A frame of another size starts a tracker afresh.
        MivoraFaceTrackerDetect(tracker.get(), blank.data, 2, 2, MIVORA_FACE_MODE_VIDEO);
    };
    cv::RNG rng(1812);
    std::vector<double> ms;
    const char* modeName = mode == MIVORA_FACE_MODE_STILL ? "still" : "video";
    std::printf("faces entering a still camera's view, %d times per row (%s mode, a fresh tracker each time)\n", trials,
                modeName);
    out["mode"] = modeName;
    std::printf("%-34s %10s %10s %10s\n", "face", "frame 1", "frame 2", "frame 3");
    int row = 0;
    out["entries"] = nlohmann::ordered_json::array();
    for (const FacePhoto& face : faces)
        for (const Entry& e : entries) {
            ++row;
            int foundBy[kFramesToFind] = {};
            for (int t = 0; t < trials; ++t) {
                // Each trial draws from its own generator, so that the same
                // trial meets the same frames whatever earlier trials found.
                cv::RNG trialRng(static_cast<std::uint64_t>(1812 + 100003 * row + t));
                restart();
                const cv::Mat background = syntheticBackground(trialRng);
                const int framesBefore = trialRng.uniform(kFewestFramesBefore, kMostFramesBefore + 1);
                for (int i = 0; i < framesBefore; ++i) {
                    cv::Mat frame = background.clone();
                    addCameraNoise(frame, 3, trialRng);
                    detect(tracker.get(), frame, mode, ms);
                }
                const double margin = 0.9 * e.width;
                const cv::Point2d at(trialRng.uniform(margin, kSyntheticFrame.width - margin),
                                     trialRng.uniform(margin, kSyntheticFrame.height - margin));
                const double degrees = (t % 2 ? -1 : 1) * e.degrees;
                for (int i = 0; i < kFramesToFind; ++i) {
                    cv::Mat frame = background.clone();
                    const cv::Point2d here = at + cv::Point2d(i, 0);
                    placePhoto(frame, face.cut, face.centre, e.width / face.width, degrees, here);
                    addCameraNoise(frame, 3, trialRng);
                    const std::vector<cv::Point2d> found = detect(tracker.get(), frame, mode, ms);
                    if (std::any_of(found.begin(), found.end(),
                                    [&](const cv::Point2d& c) { return cv::norm(c - here) <= e.width / 2; })) {
                        for (int k = i; k < kFramesToFind; ++k)
                            ++foundBy[k];
                        break;
                    }
                }
            }
            const std::string label = std::filesystem::path(face.label).stem().string() + " " + e.name;
            std::printf("%-34s", label.c_str());
            nlohmann::ordered_json row = {{"photo", face.label}, {"face", e.name}, {"trials", trials}};
            for (int k = 0; k < kFramesToFind; ++k) {
                std::printf(" %9.1f%%", 100.0 * foundBy[k] / trials);
                row["found_by_frame"].push_back(foundBy[k]);
            }
            std::printf("\n");
            std::fflush(stdout);
            out["entries"].push_back(row);
        }

    // Face-free runs: a face reported on any frame counts.
    std::printf("\n%-34s %10s %10s\n", "face-free", "frames", "with a face");
    out["face_free"] = nlohmann::ordered_json::array();
    int allFrames = 0, allWithFace = 0;
    const auto faceFreeRow = [&](const std::string& name, const std::function<cv::Mat(int, int)>& frameOf,
                                 int framesBeforeCounting) {
        int frames = 0, withFace = 0;
        for (int t = 0; t < trials; ++t) {
            restart();
            for (int i = 0; i < framesBeforeCounting + kFaceFreeFrames; ++i) {
                const bool counted = i >= framesBeforeCounting;
                const std::vector<cv::Point2d> found = detect(tracker.get(), frameOf(t, i), mode, ms);
                frames += counted;
                withFace += counted && !found.empty();
            }
        }
        allFrames += frames;
        allWithFace += withFace;
        std::printf("%-34s %10d %10d\n", name.c_str(), frames, withFace);
        out["face_free"].push_back({{"clip", name}, {"frames", frames}, {"with_a_face", withFace}});
        std::fflush(stdout);
    };
    cv::Mat current;
    int currentTrial = -1;
    const auto sameTrial = [&](int t) {
        const bool fresh = t != currentTrial;
        currentTrial = t;
        return !fresh;
    };
    faceFreeRow(
        "textured background",
        [&](int t, int) {
            if (!sameTrial(t))
                current = syntheticBackground(rng);
            cv::Mat frame = current.clone();
            addCameraNoise(frame, 3, rng);
            return frame;
        },
        0);
    currentTrial = -1;
    faceFreeRow(
        "bare wall and camera noise",
        [&](int t, int) {
            if (!sameTrial(t))
                current = cv::Mat(kSyntheticFrame, CV_8UC3, cv::Scalar::all(rng.uniform(30, 220)));
            cv::Mat frame = current.clone();
            addCameraNoise(frame, 10, rng);
            return frame;
        },
        0);
    // The face-free photos drifting over the textures, in view from the
    // start, then coming into view as the faces above do: filling much of
    // it, rolled further, after a few frames of bare background.
    for (const bool entering : {false, true})
        for (std::size_t e = 0; e < empties.size(); ++e) {
            currentTrial = -1;
            double scale = 1, degrees = 0;
            int framesBefore = 0;
            cv::Point2d at;
            faceFreeRow(
                std::filesystem::path(emptyPhotos[e]).filename().string() + (entering ? ", entering" : ", drifting"),
                [&](int t, int i) {
                    if (!sameTrial(t)) {
                        current = syntheticBackground(rng);
                        scale = (entering ? rng.uniform(0.5, 1.5) : rng.uniform(0.4, 1.6)) * kSyntheticFrame.height /
                                empties[e].rows;
                        const double mostDegrees = entering ? 60.0 : 30.0;
                        degrees = rng.uniform(-mostDegrees, mostDegrees);
                        if (entering)
                            framesBefore = rng.uniform(kFewestFramesBefore, kMostFramesBefore + 1);
                        at = cv::Point2d(rng.uniform(100, kSyntheticFrame.width - 100),
                                         rng.uniform(100, kSyntheticFrame.height - 100));
                    }
                    cv::Mat frame = current.clone();
                    if (i >= framesBefore)
                        placePhoto(frame, empties[e], cv::Point2d(empties[e].cols / 2.0, empties[e].rows / 2.0), scale,
                                   degrees, at + cv::Point2d(i, 0));
                    addCameraNoise(frame, 3, rng);
                    return frame;
                },
                0);
        }
    for (const FacePhoto& face : faces) {
        // A face followed for 10 frames, then gone: the frames after it.
        currentTrial = -1;
        cv::Point2d at;
        faceFreeRow(
            std::filesystem::path(face.label).stem().string() + " vanishing",
            [&](int t, int i) {
                if (!sameTrial(t)) {
                    current = syntheticBackground(rng);
                    at = cv::Point2d(rng.uniform(150, kSyntheticFrame.width - 150),
                                     rng.uniform(150, kSyntheticFrame.height - 150));
                }
                cv::Mat frame = current.clone();
                if (i < 10)
                    placePhoto(frame, face.cut, face.centre, 120 / face.width, 0, at + cv::Point2d(i, 0));
                addCameraNoise(frame, 3, rng);
                return frame;
            },
            10);
    }
    std::printf("%-34s %10d %10d\n", "all face-free", allFrames, allWithFace);
    std::printf("\n%s-mode detection over all of it: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", modeName,
                percentile(ms, 50), percentile(ms, 99), percentile(ms, 100));
    out["face_free_frames"] = allFrames;
    out["face_free_frames_with_a_face"] = allWithFace;
    out["detect_ms"] = {{"p50", percentile(ms, 50)}, {"p99", percentile(ms, 99)}};
    return true;
}

} // namespace mivora
