// SPDX-License-Identifier: MIT
// mivora_cnn_bench: compares face detectors frame by frame on 640x480 frames
// made from photos: the CNN networks given (whole frame fitted into the
// network's input) and the library's HOG search (dlib's detector, what finds
// faces today). A face photo is cut around its face, scaled to a face width,
// rolled and placed at a random spot on a random textured background with
// camera noise; face-free frames are bare backgrounds, noise, and the
// face-free photos placed the same way. Reported per scenario: the frames on
// which each detector finds the face (a box centred within half a face width
// of the face's centre), the face-free frames on which it reports any face,
// and what a whole frame costs (run this pinned to one core).
//
//   mivora_cnn_bench [--frames N] [--score S]... [--tiles] [--dump DIR] MODEL.mivora... --faces PHOTO[@SCALE]...
//                    --empty PHOTO...
//   mivora_cnn_bench --fit-boxes MODEL.mivora PHOTO...
//
// --fit-boxes: where dlib's detector puts its box on the faces the network
// also finds (the library's start box for a face only the network finds),
// over the faces of the photos at three scales: relative to the network's
// box (centre offset, size ratio) and to its keypoints (the box's width over
// the eye distance and over the distance from the eyes to the mouth; its
// centre from the eyes' midpoint); then, with each photo turned about each
// face by up to 60 degrees either way, how far each estimate is off.
//
// --frames: frames per scenario and photo. --tiles adds each network run on
// four overlapping tiles of the frame (0.6 of it a side) to the detectors. --dump writes every frame (raw RGB)
// and its truth to DIR for tests/cnn/tfjs_candidate.js, which runs a
// candidate our converter does not take (faceboxes) in TensorFlow.js.
#include "cnn_face_detector.h"
#include "face_detector.h"
#include "gray_image.h"
#include "reference_pipeline.h"
#include "synthetic_frames.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const cv::Size& kFrame = mivora::kSyntheticFrame;
using mivora::FacePhoto;

struct Scenario {
    std::string name;
    double width = 0;   // face width in the frame; 0: face-free
    double degrees = 0; // roll, alternating sign
    std::string kind;   // face-free: "background", "noise", "photos"
};

struct Detector {
    std::string name;
    std::function<std::vector<cv::Point2d>(const cv::Mat&)> detect; // box centres
    std::vector<double> ms;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p / 100 * static_cast<double>(v.size())))];
}

std::string rowLabel(const FacePhoto* face, const Scenario& sc, int empty, const std::vector<std::string>& emptyPhotos)
{
    if (face != nullptr)
        return std::filesystem::path(face->label).stem().string() + " " + sc.name;
    if (empty >= 0)
        return "free: " + std::filesystem::path(emptyPhotos[static_cast<std::size_t>(empty)]).filename().string();
    return sc.name;
}

int usage(const char* program)
{
    std::fprintf(
        stderr,
        "usage: %s [--frames N] [--score S]... [--tiles] [--dump DIR] MODEL.mivora... --faces PHOTO[@SCALE]... --empty "
        "PHOTO...\n",
        program);
    return 2;
}

double median(std::vector<double> v) { return percentile(std::move(v), 50); }

// One face both detectors find, seen by the network with the image turned
// about the face's centre: dlib's box (turned with it) and the network's box
// and keypoints.
struct FitSample {
    double degrees;
    double side, cx, cy;     // dlib's box, turned
    mivora::CnnFace network; // the network's find
};

double keypointAngle(const mivora::CnnFace& f)
{
    return std::atan2(f.keypoints[3] - f.keypoints[1], f.keypoints[2] - f.keypoints[0]);
}
double eyeDistance(const mivora::CnnFace& f)
{
    return std::hypot(f.keypoints[2] - f.keypoints[0], f.keypoints[3] - f.keypoints[1]);
}
// From the eyes' midpoint to the mouth's centre.
double eyesToMouth(const mivora::CnnFace& f)
{
    return std::hypot(f.keypoints[6] - (f.keypoints[0] + f.keypoints[2]) / 2,
                      f.keypoints[7] - (f.keypoints[1] + f.keypoints[3]) / 2);
}

int fitBoxes(const std::string& modelPath, const std::vector<std::string>& photos)
{
    mivora::CnnFaceDetector net(mivora::cnn::CnnModel::load(modelPath));
    const mivora::DetectorModel hogModel = mivora::DetectorModel::load("");
    mivora::FaceDetector hog(hogModel);
    mivora::GrayImage gray;
    const double turns[] = {0, 30, -30, 45, -45, 60, -60};
    std::vector<FitSample> samples;
    for (const std::string& path : photos) {
        const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
        if (photo.empty()) {
            std::fprintf(stderr, "mivora_cnn_bench: cannot read %s\n", path.c_str());
            return 1;
        }
        for (double scale : {1.0, 1.5, 2.0}) {
            cv::Mat image;
            cv::resize(photo, image, cv::Size(), scale, scale, scale > 1 ? cv::INTER_LINEAR : cv::INTER_AREA);
            mivora::bgrToGray(image.data, image.cols, image.rows, gray);
            for (const mivora::Detection& d : hog.scanWholeFrame(gray)) {
                if (d.confidence < 0)
                    continue;
                const double side = d.rect.width(), cx = (d.rect.left() + d.rect.right()) / 2.0,
                             cy = (d.rect.top() + d.rect.bottom()) / 2.0;
                for (const double degrees : turns) {
                    // Turned clockwise on screen about the face's centre.
                    cv::Mat turned;
                    cv::warpAffine(image, turned, cv::getRotationMatrix2D(cv::Point2f(cx, cy), -degrees, 1),
                                   image.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
                    // The network sees the face a quarter of its input wide, as
                    // in a whole 640x480 frame with a face 100 px wide.
                    mivora::CnnFaceDetector::Region region;
                    region.x = static_cast<float>(cx - 2 * side);
                    region.y = static_cast<float>(cy - 2 * side);
                    region.width = region.height = static_cast<float>(4 * side);
                    for (const mivora::CnnFace& f :
                         net.detect(turned.data, turned.cols, turned.rows, turned.step, region, 0.5f)) {
                        if (std::hypot(f.centreX - cx, f.centreY - cy) > 0.4 * side || f.width < 0.4 * side ||
                            f.width > 2.5 * side)
                            continue;
                        samples.push_back({degrees, side, cx, cy, f});
                        break;
                    }
                }
            }
        }
    }
    std::vector<double> dx, dy, ratio, eyeRatio, mouthRatio, across, down;
    for (const FitSample& f : samples) {
        if (f.degrees != 0)
            continue;
        dx.push_back((f.cx - f.network.centreX) / f.network.width);
        dy.push_back((f.cy - f.network.centreY) / f.network.width);
        ratio.push_back(f.side / f.network.width);
        eyeRatio.push_back(f.side / eyeDistance(f.network));
        mouthRatio.push_back(f.side / eyesToMouth(f.network));
        // dlib's centre from the eyes' midpoint, in the face's own frame, in box widths.
        const double a = keypointAngle(f.network);
        const double ex = f.cx - (f.network.keypoints[0] + f.network.keypoints[2]) / 2;
        const double ey = f.cy - (f.network.keypoints[1] + f.network.keypoints[3]) / 2;
        across.push_back((ex * std::cos(a) + ey * std::sin(a)) / f.side);
        down.push_back((-ex * std::sin(a) + ey * std::cos(a)) / f.side);
    }
    if (dx.empty()) {
        std::fprintf(stderr, "mivora_cnn_bench: no face found by both detectors\n");
        return 1;
    }
    const auto spread = [](const std::vector<double>& v) {
        const double m = median(v);
        std::vector<double> d;
        for (double x : v)
            d.push_back(std::abs(x - m));
        return median(d);
    };
    std::printf("%zu faces found by both\n", dx.size());
    std::printf("dlib box centre - network box centre, in network box widths: x %.4f (+-%.4f), y %.4f (+-%.4f)\n",
                median(dx), spread(dx), median(dy), spread(dy));
    std::printf("dlib box width / network box width: %.4f (+-%.4f)\n", median(ratio), spread(ratio));
    std::printf("dlib box width / eye distance: %.4f (+-%.4f); / eyes to mouth: %.4f (+-%.4f)\n", median(eyeRatio),
                spread(eyeRatio), median(mouthRatio), spread(mouthRatio));
    std::printf("dlib box centre from the eyes' midpoint, in the face's frame, in box widths: across %.4f (+-%.4f), "
                "down %.4f (+-%.4f)\n",
                median(across), spread(across), median(down), spread(down));

    // How each estimate of dlib's box holds when the face is turned: the
    // network's upright box (its median log ratio to dlib's width is how much
    // narrower it gets; the library divides it out), and the keypoints (the
    // mean of the eye and mouth estimates). Errors are medians of |log ratio|
    // for the width and of the distance in box widths for the centre.
    const double kBox = median(ratio), kEye = median(eyeRatio), kMouth = median(mouthRatio);
    const double kAcross = median(across), kDown = median(down);
    std::printf("\n%6s %6s %12s %10s %15s %13s %15s\n", "turned", "faces", "box log ratio", "box error",
                "keypoint error", "centre: box", "centre: keypts");
    for (const double degrees : turns) {
        std::vector<double> boxRatio, boxSize, keySize, boxCentre, keyCentre;
        for (const FitSample& f : samples) {
            if (f.degrees != degrees)
                continue;
            const mivora::CnnFace& n = f.network;
            const double both = 0.5 * (kEye * eyeDistance(n) + kMouth * eyesToMouth(n));
            boxRatio.push_back(std::log(kBox * n.width / f.side));
            boxSize.push_back(std::abs(boxRatio.back()));
            keySize.push_back(std::abs(std::log(both / f.side)));
            boxCentre.push_back(
                std::hypot(n.centreX + median(dx) * n.width - f.cx, n.centreY + median(dy) * n.width - f.cy) / f.side);
            const double a = keypointAngle(n);
            const double mx = (n.keypoints[0] + n.keypoints[2]) / 2, my = (n.keypoints[1] + n.keypoints[3]) / 2;
            const double kx = mx + both * (kAcross * std::cos(a) - kDown * std::sin(a));
            const double ky = my + both * (kAcross * std::sin(a) + kDown * std::cos(a));
            keyCentre.push_back(std::hypot(kx - f.cx, ky - f.cy) / f.side);
        }
        std::printf("%6.0f %6zu %12.3f %10.3f %15.3f %13.3f %15.3f\n", degrees, boxRatio.size(), median(boxRatio),
                    median(boxSize), median(keySize), median(boxCentre), median(keyCentre));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "--fit-boxes") == 0)
        return fitBoxes(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    int frames = 40;
    std::string dumpDir;
    bool tiles = false;
    std::vector<float> scores;
    std::vector<std::string> models, facePhotos, emptyPhotos;
    std::vector<std::string>* list = &models;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--frames" && i + 1 < argc)
            frames = std::atoi(argv[++i]);
        else if (arg == "--score" && i + 1 < argc)
            scores.push_back(static_cast<float>(std::atof(argv[++i])));
        else if (arg == "--dump" && i + 1 < argc)
            dumpDir = argv[++i];
        else if (arg == "--tiles")
            tiles = true;
        else if (arg == "--faces")
            list = &facePhotos;
        else if (arg == "--empty")
            list = &emptyPhotos;
        else if (arg.rfind("--", 0) == 0)
            return usage(argv[0]);
        else
            list->push_back(arg);
    }
    if (scores.empty())
        scores = {0.5f};
    if (frames < 1 || facePhotos.empty())
        return usage(argv[0]);

    mivora::ReferencePipeline reference;
    std::vector<FacePhoto> faces;
    for (const std::string& p : facePhotos) {
        std::optional<FacePhoto> f = mivora::prepareFace(p, reference);
        if (!f) {
            std::fprintf(stderr, "mivora_cnn_bench: no face for dlib in %s\n", p.c_str());
            return 1;
        }
        std::printf("%s: face %.0f px wide (jaw)\n", p.c_str(), f->width);
        faces.push_back(*f);
    }
    std::vector<cv::Mat> empties;
    for (const std::string& p : emptyPhotos) {
        empties.push_back(cv::imread(p, cv::IMREAD_COLOR));
        if (empties.back().empty()) {
            std::fprintf(stderr, "mivora_cnn_bench: cannot read %s\n", p.c_str());
            return 1;
        }
    }

    // The detectors, each network at each score threshold, and the HOG search.
    std::vector<Detector> detectors;
    std::vector<std::unique_ptr<mivora::CnnFaceDetector>> networks;
    for (const std::string& path : models) {
        networks.push_back(std::make_unique<mivora::CnnFaceDetector>(mivora::cnn::CnnModel::load(path)));
        mivora::CnnFaceDetector* net = networks.back().get();
        for (float score : scores) {
            if (tiles) {
                // Four overlapping tiles, each 0.6 of the frame a side, their faces merged.
                char name[128];
                std::snprintf(name, sizeof name, "%s 2x2@%.2f", std::filesystem::path(path).stem().c_str(), score);
                detectors.push_back({name,
                                     [net, score](const cv::Mat& f) {
                                         std::vector<mivora::CnnFace> all;
                                         for (int t = 0; t < 4; ++t) {
                                             mivora::CnnFaceDetector::Region r;
                                             r.width = 0.6f * f.cols;
                                             r.height = 0.6f * f.rows;
                                             r.x = t % 2 ? 0.4f * f.cols : 0;
                                             r.y = t / 2 ? 0.4f * f.rows : 0;
                                             for (const mivora::CnnFace& face :
                                                  net->detect(f.data, f.cols, f.rows, f.step, r, score))
                                                 all.push_back(face);
                                         }
                                         std::vector<cv::Point2d> centres;
                                         for (const mivora::CnnFace& face : mivora::mergeOverlapping(all, 0.3f))
                                             centres.emplace_back(face.centreX, face.centreY);
                                         return centres;
                                     },
                                     {}});
            }
            char name[128];
            std::snprintf(name, sizeof name, "%s@%.2f", std::filesystem::path(path).stem().c_str(), score);
            detectors.push_back({name,
                                 [net, score](const cv::Mat& f) {
                                     std::vector<cv::Point2d> centres;
                                     for (const mivora::CnnFace& face :
                                          net->detect(f.data, f.cols, f.rows, f.step, score))
                                         centres.emplace_back(face.centreX, face.centreY);
                                     return centres;
                                 },
                                 {}});
        }
    }
    const mivora::DetectorModel hogModel = mivora::DetectorModel::load("");
    auto hog = std::make_shared<mivora::FaceDetector>(hogModel);
    auto gray = std::make_shared<mivora::GrayImage>();
    detectors.push_back({"hog (today)",
                         [hog, gray](const cv::Mat& f) {
                             mivora::bgrToGray(f.data, f.cols, f.rows, *gray);
                             std::vector<cv::Point2d> centres;
                             for (const mivora::Detection& d : hog->scanWholeFrame(*gray))
                                 centres.emplace_back((d.rect.left() + d.rect.right()) / 2.0,
                                                      (d.rect.top() + d.rect.bottom()) / 2.0);
                             return centres;
                         },
                         {}});

    std::vector<Scenario> scenarios;
    for (double degrees : {0.0, 15.0, 30.0, 45.0, 60.0})
        scenarios.push_back({"150px roll " + std::to_string(static_cast<int>(degrees)), 150, degrees, ""});
    for (double width : {90.0, 60.0, 45.0, 30.0, 20.0})
        scenarios.push_back({std::to_string(static_cast<int>(width)) + "px upright", width, 0, ""});
    for (double width : {45.0, 30.0})
        scenarios.push_back({std::to_string(static_cast<int>(width)) + "px roll 30", width, 30, ""});
    scenarios.push_back({"free: background", 0, 0, "background"});
    scenarios.push_back({"free: noise", 0, 0, "noise"});
    if (!empties.empty())
        scenarios.push_back({"free: photos", 0, 0, "photos"});

    std::printf("\n%-34s %7s", "scenario", "frames");
    for (const Detector& d : detectors)
        std::printf(" %24s", d.name.c_str());
    std::printf("\n");
    cv::RNG rng(18);
    std::FILE* truth = nullptr;
    if (!dumpDir.empty()) {
        std::filesystem::create_directories(dumpDir);
        truth = std::fopen((std::filesystem::path(dumpDir) / "frames.txt").c_str(), "w");
        if (truth == nullptr) {
            std::fprintf(stderr, "mivora_cnn_bench: cannot write to %s\n", dumpDir.c_str());
            return 1;
        }
    }
    int dumped = 0;
    // One row per scenario and photo; face-free rows per face-free photo.
    struct Row {
        const Scenario* scenario;
        const FacePhoto* face;
        int empty; // index into empties, or -1
    };
    std::vector<Row> rows;
    for (const Scenario& sc : scenarios) {
        if (sc.kind == "photos") {
            for (std::size_t e = 0; e < empties.size(); ++e)
                rows.push_back({&sc, nullptr, static_cast<int>(e)});
        } else if (sc.width == 0) {
            rows.push_back({&sc, nullptr, -1});
        } else {
            for (const FacePhoto& face : faces)
                rows.push_back({&sc, &face, -1});
        }
    }
    for (const Row& row : rows) {
        const Scenario& sc = *row.scenario;
        const bool faceFree = sc.width == 0;
        std::vector<int> hits(detectors.size(), 0);
        for (int i = 0; i < frames; ++i) {
            cv::Mat frame = mivora::syntheticBackground(rng);
            cv::Point2d at;
            if (!faceFree) {
                const double margin = 0.9 * sc.width;
                at = {rng.uniform(margin, kFrame.width - margin), rng.uniform(margin, kFrame.height - margin)};
                mivora::placePhoto(frame, row.face->cut, row.face->centre, sc.width / row.face->width,
                                   (i % 2 ? -1 : 1) * sc.degrees, at);
                mivora::addCameraNoise(frame, 3, rng);
            } else if (sc.kind == "noise") {
                frame.setTo(cv::Scalar::all(rng.uniform(60, 200)));
                mivora::addCameraNoise(frame, 10, rng);
            } else if (row.empty >= 0) {
                const cv::Mat& photo = empties[static_cast<std::size_t>(row.empty)];
                const double scale = rng.uniform(0.4, 1.6) * kFrame.height / photo.rows;
                mivora::placePhoto(frame, photo, cv::Point2d(photo.cols / 2.0, photo.rows / 2.0), scale,
                                   rng.uniform(-30.0, 30.0),
                                   cv::Point2d(rng.uniform(0, kFrame.width), rng.uniform(0, kFrame.height)));
                mivora::addCameraNoise(frame, 3, rng);
            } else {
                mivora::addCameraNoise(frame, 3, rng);
            }
            for (std::size_t d = 0; d < detectors.size(); ++d) {
                const Clock::time_point start = Clock::now();
                const std::vector<cv::Point2d> found = detectors[d].detect(frame);
                detectors[d].ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                if (faceFree)
                    hits[d] += !found.empty();
                else
                    hits[d] += std::any_of(found.begin(), found.end(),
                                           [&](const cv::Point2d& c) { return cv::norm(c - at) <= sc.width / 2; });
            }
            if (truth != nullptr) {
                // Raw RGB frames for a detector run elsewhere (tfjs_candidate.js).
                cv::Mat rgb;
                cv::cvtColor(frame, rgb, cv::COLOR_BGR2RGB);
                const std::string file = "frame_" + std::to_string(dumped++) + ".rgb";
                std::FILE* out = std::fopen((std::filesystem::path(dumpDir) / file).c_str(), "wb");
                const bool written =
                    out != nullptr && std::fwrite(rgb.data, 1, rgb.total() * 3, out) == rgb.total() * 3;
                if (out != nullptr)
                    std::fclose(out);
                if (!written) {
                    std::fprintf(stderr, "mivora_cnn_bench: cannot write %s\n", file.c_str());
                    return 1;
                }
                std::fprintf(truth, "%s\t%s\t%s\t%.2f\t%.2f\t%.2f\n", file.c_str(),
                             rowLabel(row.face, sc, row.empty, emptyPhotos).c_str(), faceFree ? "free" : "face", at.x,
                             at.y, sc.width);
            }
        }
        std::printf("%-34s %7d", rowLabel(row.face, sc, row.empty, emptyPhotos).c_str(), frames);
        for (int h : hits) {
            char cell[32];
            std::snprintf(cell, sizeof cell, faceFree ? "%d with a face" : "%d (%.0f%%)", h,
                          100.0 * h / std::max(1, frames));
            std::printf(" %24s", cell);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    if (truth != nullptr)
        std::fclose(truth);
    std::printf("\n%-30s %8s %8s %8s\n", "ms per 640x480 frame", "p50", "p95", "first");
    for (const Detector& d : detectors)
        std::printf("%-30s %8.2f %8.2f %8.2f\n", d.name.c_str(), percentile(d.ms, 50), percentile(d.ms, 95),
                    d.ms.empty() ? 0 : d.ms.front());
    for (const auto& n : networks)
        std::printf("CNN kernels: %s\n", n->instructionSet());
    return 0;
}
