#include "face_detector.h"

#include "face_order.h"
#include "model_file.h"

#include <algorithm>
#include <sstream>

namespace mivora {

namespace {

constexpr unsigned long kCropPyramidLevels = 3;
// dlib's serialised frontal face detector is about 1 MB.
constexpr std::size_t kMaxDetectorFileBytes = std::size_t{64} << 20;

bool readDetector(const std::string& path, dlib::frontal_face_detector& detector)
{
    RegularFile file;
    std::string problem;
    if (path.empty() || !file.open(path, problem) || file.size() > kMaxDetectorFileBytes)
        return false;
    std::string bytes(file.size(), '\0');
    if (!file.read(0, bytes.data(), bytes.size(), problem))
        return false;
    try {
        std::istringstream in(bytes);
        dlib::deserialize(detector, in);
        return detector.num_detectors() > 0;
    } catch (const std::exception&) {
        return false;
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
    if (!readDetector(path, model.wholeFrame))
        model.wholeFrame = dlib::get_frontal_face_detector();

    dlib::scan_fhog_pyramid<dlib::pyramid_down<6>> cropScanner;
    cropScanner.copy_configuration(model.wholeFrame.get_scanner());
    cropScanner.set_max_pyramid_levels(kCropPyramidLevels);
    std::vector<dlib::frontal_face_detector::feature_vector_type> weights;
    for (unsigned long i = 0; i < model.wholeFrame.num_detectors(); ++i)
        weights.push_back(model.wholeFrame.get_w(i));
    model.crop = dlib::frontal_face_detector(cropScanner, model.wholeFrame.get_overlap_tester(), weights);
    return model;
}

FaceDetector::FaceDetector(const DetectorModel& model)
    : model_(&model), wholeFrame_(model.wholeFrame), crop_(model.crop)
{
}

std::vector<Detection> FaceDetector::scanWholeFrame(const GrayImage& gray)
{
    std::vector<dlib::rect_detection> found;
    wholeFrame_(gray, found);
    std::sort(found.begin(), found.end(), numberedBefore);
    return toDetections(found);
}

std::vector<Detection> FaceDetector::scanCrop(const GrayImage& crop, double adjustThreshold)
{
    std::vector<dlib::rect_detection> found;
    if (crop.width() >= kSmallestCrop && crop.height() >= kSmallestCrop)
        crop_(crop, found, adjustThreshold);
    return toDetections(found);
}

void FaceDetector::releaseMemory()
{
    wholeFrame_ = model_->wholeFrame;
    crop_ = model_->crop;
}

} // namespace mivora
