#include "face_engine.h"

#include "mivora_face.h"

#include <dlib/opencv/cv_image.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace mivora {

namespace {

constexpr const char* kDefaultModelPath = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";

// Detector scores of real frontal faces lie well above 1 on our photos; false
// detections on face-like patterns stay below about 0.15.
constexpr double kConfidentDetection = 0.5;

bool validSide(int side) { return side > 0 && side <= MIVORA_FACE_MAX_IMAGE_SIDE; }

void fillZeros(float* values) { std::fill(values, values + MIVORA_FACE_LANDMARK_VALUE_COUNT, 0.0f); }

} // namespace

std::string landmarkModelPath()
{
    const char* fromEnvironment = std::getenv("MIVORA_FACE_LANDMARK_MODEL");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0')
        return fromEnvironment;
    return kDefaultModelPath;
}

std::string loadLandmarkModel(const std::string& path, dlib::shape_predictor& predictor)
{
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        return "no such file";
    if (!std::filesystem::is_regular_file(path, error))
        return "not a regular file";
    try {
        dlib::shape_predictor loaded;
        dlib::deserialize(path) >> loaded;
        if (loaded.num_parts() != MIVORA_FACE_LANDMARK_POINT_COUNT)
            return "not a 68-point model (it has " + std::to_string(loaded.num_parts()) + " points)";
        predictor = std::move(loaded);
    } catch (const std::exception& e) {
        std::string reason = e.what();
        reason.erase(std::remove(reason.begin(), reason.end(), '\n'), reason.end());
        return "unreadable or corrupt (" + reason + ")";
    }
    return {};
}

FaceEngine::FaceEngine(std::string modelPath) : modelPath_(std::move(modelPath)) {}

bool FaceEngine::modelReady()
{
    if (modelState_ == ModelState::NotLoaded) {
        const std::string problem = loadLandmarkModel(modelPath_, predictor_);
        if (problem.empty()) {
            detector_ = dlib::get_frontal_face_detector();
            modelState_ = ModelState::Ready;
        } else {
            std::fprintf(stderr,
                         "mivora_face: cannot load the landmark model '%s': %s; install the Debian "
                         "package libdlib-data or set MIVORA_FACE_LANDMARK_MODEL to the model file\n",
                         modelPath_.c_str(), problem.c_str());
            modelState_ = ModelState::Unavailable;
        }
    }
    return modelState_ == ModelState::Ready;
}

FaceEngine::Detection& FaceEngine::callersDetection()
{
    // Released when its thread ends.
    thread_local Detection detection;
    return detection;
}

int FaceEngine::detect(const unsigned char* pixels, int width, int height, int mode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Detection& detection = callersDetection();
    detection.valid = false;
    detection.faces.clear();
    if (pixels == nullptr || !validSide(width) || !validSide(height) ||
        (mode != MIVORA_FACE_MODE_STILL && mode != MIVORA_FACE_MODE_VIDEO))
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    if (!modelReady())
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;

    // OpenCV only reads through this header; the const_cast never leads to a write.
    const cv::Mat bgr(height, width, CV_8UC3, const_cast<unsigned char*>(pixels));
    cv::cvtColor(bgr, detection.gray, cv::COLOR_BGR2GRAY);

    std::vector<dlib::rect_detection> found;
    detector_(dlib::cv_image<unsigned char>(detection.gray), found);
    // Confident faces first, each group largest first, ties in reading order.
    // A weak detection (a face-like badge, say) can be a pyramid step larger
    // than the real face next to it and must not become face 0.
    std::sort(found.begin(), found.end(), [](const dlib::rect_detection& a, const dlib::rect_detection& b) {
        const bool aConfident = a.detection_confidence >= kConfidentDetection;
        const bool bConfident = b.detection_confidence >= kConfidentDetection;
        if (aConfident != bConfident)
            return aConfident;
        if (a.rect.area() != b.rect.area())
            return a.rect.area() > b.rect.area();
        if (a.rect.top() != b.rect.top())
            return a.rect.top() < b.rect.top();
        return a.rect.left() < b.rect.left();
    });
    for (const dlib::rect_detection& face : found)
        detection.faces.push_back(face.rect);
    detection.valid = true;
    return static_cast<int>(detection.faces.size());
}

int FaceEngine::landmarks(int faceIndex, float* values)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (values == nullptr)
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    fillZeros(values);
    if (!modelReady())
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
    const Detection& detection = callersDetection();
    if (!detection.valid)
        return MIVORA_FACE_ERROR_NO_DETECTION;
    if (faceIndex < 0 || static_cast<std::size_t>(faceIndex) >= detection.faces.size())
        return MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE;

    const dlib::full_object_detection shape =
        predictor_(dlib::cv_image<unsigned char>(detection.gray), detection.faces[static_cast<std::size_t>(faceIndex)]);
    for (unsigned long i = 0; i < shape.num_parts(); ++i) {
        values[2 * i] = static_cast<float>(shape.part(i).x());
        values[2 * i + 1] = static_cast<float>(shape.part(i).y());
    }
    return MIVORA_FACE_OK;
}

} // namespace mivora
