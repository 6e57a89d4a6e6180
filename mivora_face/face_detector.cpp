// SPDX-License-Identifier: MIT
#include "face_detector.h"

#include "face_order.h"
#include "model_file.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace mivora {

namespace {

constexpr int kCropPyramidLevels = 3;
// The packed detector is about 100 KB.
constexpr std::size_t kMaxDetectorFileBytes = std::size_t{4} << 20;

std::shared_ptr<const FaceScan> readPackedDetector(const std::string& path)
{
    RegularFile file;
    std::string problem;
    if (path.empty() || !file.open(path, problem) || file.size() > kMaxDetectorFileBytes)
        return nullptr;
    std::vector<unsigned char> bytes(file.size());
    if (!file.read(0, bytes.data(), bytes.size(), problem))
        return nullptr;
    try {
        return std::make_shared<const FaceScan>(FaceScan::fromPackedModel(bytes.data(), bytes.size()));
    } catch (const std::invalid_argument&) {
        return nullptr;
    }
}

std::vector<Detection> toDetections(const std::vector<dlib::rect_detection>& found)
{
    std::vector<Detection> detections;
    for (const dlib::rect_detection& d : found)
        detections.push_back(Detection{d.rect, d.detection_confidence});
    return detections;
}

} // namespace

DetectorModel DetectorModel::load(const std::string& path)
{
    DetectorModel model;
    model.scan = readPackedDetector(path);
    if (!model.scan)
        model.scan = std::make_shared<const FaceScan>(dlib::get_frontal_face_detector());
    return model;
}

std::vector<Detection> FaceDetector::scanWholeFrame(const GrayImage& gray) { return scanLevels(gray, 0, INT_MAX); }

std::vector<Detection> FaceDetector::scanLevels(const GrayImage& gray, int first, int last)
{
    std::vector<dlib::rect_detection> found;
    scan_.scan(gray, found, 0, first, last);
    std::sort(found.begin(), found.end(), numberedBefore);
    return toDetections(found);
}

std::vector<int> FaceDetector::levelParts(int width, int height, int parts) const
{
    const int levels = scan_.levelCount(width, height);
    std::vector<int> firsts{0};
    double cost = 0;
    for (int level = 0; level + 1 < levels && static_cast<int>(firsts.size()) < parts; ++level) {
        cost += scan_.levelCost(width, height, level);
        // A part ends where the share so far comes nearest its target.
        const double next = scan_.levelCost(width, height, level + 1);
        if ((cost + next / 2) * parts >= static_cast<double>(firsts.size()))
            firsts.push_back(level + 1);
    }
    firsts.push_back(levels);
    return firsts;
}

int FaceDetector::levelOf(double size) const
{
    return std::max(0, static_cast<int>(std::lround(std::log(size / kLevelZeroFaceWidth) / std::log(6.0 / 5.0))));
}

std::vector<Detection> FaceDetector::scanCrop(const GrayImage& crop, double adjustThreshold)
{
    std::vector<dlib::rect_detection> found;
    if (crop.width() >= kSmallestCrop && crop.height() >= kSmallestCrop)
        scan_.scan(crop, found, adjustThreshold, 0, kCropPyramidLevels - 1);
    return toDetections(found);
}

void FaceDetector::releaseMemory() { scan_.releaseBuffers(); }

} // namespace mivora
