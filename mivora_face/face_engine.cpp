#include "face_engine.h"

#include "face_order.h"
#include "mivora_face.h"

#include <opencv2/imgproc.hpp>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

#ifndef MIVORA_FACE_DATA_FROM_LIBDIR
#define MIVORA_FACE_DATA_FROM_LIBDIR "../share/mivoraface"
#endif

namespace mivora {

namespace {

constexpr const char* kDebianModelPath = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
constexpr const char* kPackedModelName = "shape_predictor_68_face_landmarks.mivora";
constexpr const char* kDetectorName = "frontal_face_detector.dat";

// The detector's boxes are 73 pixels wide at its first pyramid level and grow
// by 6/5 per level. A search window puts the tracked face at the second level,
// so the three levels scanned follow it 1/6 smaller or 1/5 larger.
constexpr double kSmallestBox = 73.0;
constexpr double kWindowFaceWidth = kSmallestBox * 6.0 / 5.0;
constexpr unsigned long kWindowPyramidLevels = 3;
// How far a face may move between frames and still be found, as a fraction
// of its width on each side.
constexpr double kWindowMargin = 0.25;
// The window is kept while the face stays this close to where it was
// expected; keeping it makes a still scene give the very same answer.
constexpr double kWindowDriftAllowed = 0.12;
constexpr double kWindowScaleAllowed = 0.08;
// New faces are looked for in the whole frame this often while tracking.
constexpr int kFullScanInterval = 30;

bool validSide(int side) { return side > 0 && side <= MIVORA_FACE_MAX_IMAGE_SIDE; }

void fillZeros(float* values) { std::fill(values, values + MIVORA_FACE_LANDMARK_VALUE_COUNT, 0.0f); }

std::string libraryDirectory()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libraryDirectory), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::error_code error;
    const std::filesystem::path library = std::filesystem::canonical(info.dli_fname, error);
    return error ? std::string() : library.parent_path().string();
}

// The directory of the packed model files made when the library was built:
// share/mivoraface beside the installed or the built library.
std::string packedModelDirectory()
{
    const std::string libDir = libraryDirectory();
    if (libDir.empty())
        return {};
    for (const char* relative : {MIVORA_FACE_DATA_FROM_LIBDIR, "../share/mivoraface"}) {
        const std::filesystem::path dir = std::filesystem::path(libDir) / relative;
        std::error_code error;
        if (std::filesystem::is_regular_file(dir / kPackedModelName, error))
            return dir.lexically_normal().string();
    }
    return {};
}

bool overlaps(const dlib::rectangle& a, const dlib::rectangle& b)
{
    const double shared = static_cast<double>(a.intersect(b).area());
    return shared > 0.3 * static_cast<double>(std::min(a.area(), b.area()));
}

} // namespace

ModelFiles defaultModelFiles()
{
    ModelFiles files;
    const std::string packedDir = packedModelDirectory();
    if (!packedDir.empty()) {
        files.landmarks = packedDir + "/" + kPackedModelName;
        std::error_code error;
        if (std::filesystem::is_regular_file(packedDir + "/" + kDetectorName, error))
            files.detector = packedDir + "/" + kDetectorName;
    } else {
        files.landmarks = kDebianModelPath;
    }
    const char* fromEnvironment = std::getenv("MIVORA_FACE_LANDMARK_MODEL");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0')
        files.landmarks = fromEnvironment;
    return files;
}

FaceEngine::FaceEngine(ModelFiles files) : files_(std::move(files))
{
    loader_ = std::thread([this] { loadModels(); });
}

FaceEngine::~FaceEngine()
{
    if (loader_.joinable())
        loader_.join();
}

void FaceEngine::loadModels()
{
    dlib::frontal_face_detector detector;
    bool detectorRead = false;
    if (!files_.detector.empty()) {
        try {
            std::ifstream in(files_.detector, std::ios::binary);
            dlib::deserialize(detector, in);
            detectorRead = detector.num_detectors() > 0;
        } catch (const std::exception&) {
        }
    }
    if (!detectorRead)
        detector = dlib::get_frontal_face_detector(); // slower: decompresses dlib's built-in copy

    dlib::scan_fhog_pyramid<dlib::pyramid_down<6>> windowScanner;
    windowScanner.copy_configuration(detector.get_scanner());
    windowScanner.set_max_pyramid_levels(kWindowPyramidLevels);
    std::vector<dlib::frontal_face_detector::feature_vector_type> weights;
    for (unsigned long i = 0; i < detector.num_detectors(); ++i)
        weights.push_back(detector.get_w(i));
    dlib::frontal_face_detector windowDetector(windowScanner, detector.get_overlap_tester(), weights);

    FastestFaceScan faceScan(libraryDirectory());

    std::string problem;
    std::unique_ptr<LandmarkModel> model = LandmarkModel::open(files_.landmarks, problem);
    if (!model)
        std::fprintf(stderr,
                     "mivora_face: cannot load the landmark model '%s': %s; install the Debian "
                     "package libdlib-data or set MIVORA_FACE_LANDMARK_MODEL to the model file\n",
                     files_.landmarks.c_str(), problem.c_str());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        detector_ = std::move(detector);
        windowDetector_ = std::move(windowDetector);
        faceScan_ = std::move(faceScan);
        landmarkModel_ = std::move(model);
        loading_ = false;
    }
    loaded_.notify_all();
}

bool FaceEngine::modelsReady(std::unique_lock<std::mutex>& lock)
{
    loaded_.wait(lock, [this] { return !loading_; });
    return landmarkModel_ != nullptr;
}

FaceEngine::Detection& FaceEngine::callersDetection()
{
    // Released when its thread ends.
    thread_local Detection detection;
    return detection;
}

std::vector<FaceEngine::Face> FaceEngine::scanWholeFrame(const cv::Mat& gray)
{
    std::vector<dlib::rect_detection> found;
    faceScan_.scan()(detector_, gray, found);
    std::sort(found.begin(), found.end(), numberedBefore);
    std::vector<Face> faces;
    for (const dlib::rect_detection& d : found)
        faces.push_back(Face{d.rect, d.detection_confidence, SearchWindow{}});
    return faces;
}

bool FaceEngine::followFace(const cv::Mat& gray, Face& face, cv::Mat& searchPixels)
{
    SearchWindow& window = face.window;
    if (window.scale == 0) {
        const dlib::rectangle& r = face.rect;
        const double width = static_cast<double>(r.width());
        const double reach = width * (0.5 + kWindowMargin);
        const dlib::dpoint centre = dlib::center(r);
        const cv::Rect wanted(static_cast<int>(std::floor(centre.x() - reach)),
                              static_cast<int>(std::floor(centre.y() - reach)), static_cast<int>(std::ceil(2 * reach)),
                              static_cast<int>(std::ceil(2 * reach)));
        window.region = wanted & cv::Rect(0, 0, gray.cols, gray.rows);
        window.scale = kWindowFaceWidth / width;
        window.expected = r;
    }
    const cv::Size searchSize(static_cast<int>(std::lround(window.region.width * window.scale)),
                              static_cast<int>(std::lround(window.region.height * window.scale)));
    if (searchSize.width < kSmallestBox || searchSize.height < kSmallestBox)
        return false;
    cv::resize(gray(window.region), searchPixels, searchSize, 0, 0,
               window.scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);

    std::vector<dlib::rect_detection> found;
    faceScan_.scan()(windowDetector_, searchPixels, found);
    if (found.empty())
        return false;
    const dlib::rect_detection& best = *std::max_element(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.detection_confidence < b.detection_confidence;
    });
    const double sx = static_cast<double>(window.region.width) / searchSize.width;
    const double sy = static_cast<double>(window.region.height) / searchSize.height;
    face.rect = dlib::rectangle(window.region.x + std::lround(best.rect.left() * sx),
                                window.region.y + std::lround(best.rect.top() * sy),
                                window.region.x + std::lround((best.rect.right() + 1) * sx) - 1,
                                window.region.y + std::lround((best.rect.bottom() + 1) * sy) - 1);
    face.confidence = best.detection_confidence;

    // Move the window only once the face has left the middle of it.
    const double expectedWidth = static_cast<double>(window.expected.width());
    const dlib::dpoint drift = dlib::center(face.rect) - dlib::center(window.expected);
    const double scaleChange = static_cast<double>(face.rect.width()) / expectedWidth - 1.0;
    if (std::abs(drift.x()) > kWindowDriftAllowed * expectedWidth ||
        std::abs(drift.y()) > kWindowDriftAllowed * expectedWidth || std::abs(scaleChange) > kWindowScaleAllowed)
        window = SearchWindow{};
    return true;
}

void FaceEngine::trackOrScan(Detection& detection)
{
    // Faces lost from their windows are dropped; only losing face 0 makes the
    // whole frame be searched at once (the others come back at the next
    // periodic search), so a flickering weak detection costs nothing.
    std::vector<Face> kept;
    bool lostFirst = false;
    for (std::size_t i = 0; i < detection.faces.size(); ++i) {
        Face& face = detection.faces[i];
        if (followFace(detection.gray, face, detection.searchPixels))
            kept.push_back(face);
        else if (i == 0)
            lostFirst = true;
    }
    ++detection.framesSinceFullScan;
    if (!lostFirst && !kept.empty() && detection.framesSinceFullScan < kFullScanInterval) {
        detection.faces = std::move(kept);
        return;
    }
    // Keep the faces followed, in their order, and add the others found.
    for (Face& found : scanWholeFrame(detection.gray)) {
        const bool known =
            std::any_of(kept.begin(), kept.end(), [&](const Face& face) { return overlaps(face.rect, found.rect); });
        if (!known)
            kept.push_back(std::move(found));
    }
    std::stable_partition(kept.begin(), kept.end(), [](const Face& face) { return isConfident(face.confidence); });
    detection.faces = std::move(kept);
    detection.framesSinceFullScan = 0;
}

int FaceEngine::detect(const unsigned char* pixels, int width, int height, int mode)
{
    std::unique_lock<std::mutex> lock(mutex_);
    Detection& detection = callersDetection();
    detection.valid = false;
    if (pixels == nullptr || !validSide(width) || !validSide(height) ||
        (mode != MIVORA_FACE_MODE_STILL && mode != MIVORA_FACE_MODE_VIDEO)) {
        detection.faces.clear();
        detection.tracking = false;
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    }
    if (!modelsReady(lock)) {
        detection.faces.clear();
        detection.tracking = false;
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
    }

    const bool sameCamera = mode == MIVORA_FACE_MODE_VIDEO && detection.tracking && detection.gray.cols == width &&
                            detection.gray.rows == height;
    // OpenCV only reads through this header; the const_cast never leads to a write.
    const cv::Mat bgr(height, width, CV_8UC3, const_cast<unsigned char*>(pixels));
    cv::cvtColor(bgr, detection.gray, cv::COLOR_BGR2GRAY);

    if (sameCamera) {
        trackOrScan(detection);
    } else {
        detection.faces = scanWholeFrame(detection.gray);
        detection.framesSinceFullScan = 0;
    }
    detection.tracking = mode == MIVORA_FACE_MODE_VIDEO;
    detection.valid = true;
    return static_cast<int>(detection.faces.size());
}

int FaceEngine::landmarks(int faceIndex, float* values)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (values == nullptr)
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    fillZeros(values);
    if (!modelsReady(lock))
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
    const Detection& detection = callersDetection();
    if (!detection.valid)
        return MIVORA_FACE_ERROR_NO_DETECTION;
    if (faceIndex < 0 || static_cast<std::size_t>(faceIndex) >= detection.faces.size())
        return MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE;
    landmarkModel_->predict(detection.gray, detection.faces[static_cast<std::size_t>(faceIndex)].rect, values);
    return MIVORA_FACE_OK;
}

} // namespace mivora
