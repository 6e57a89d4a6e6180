#include "face_engine.h"

#include "face_order.h"
#include "mivora_face.h"
#include "model_file.h"

#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
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
// After a frame this large the thread's scan buffers are given back to the
// system rather than kept for frames that will rarely be as large.
constexpr long kLargeFramePixels = 4096L * 2048L;
// dlib's serialised frontal face detector is about 1 MB.
constexpr std::size_t kMaxDetectorFileBytes = std::size_t{64} << 20;

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

// dlib's detector as the packed model directory holds it, uncompressed.
bool readDetector(const std::string& path, dlib::frontal_face_detector& detector)
{
    RegularFile file;
    std::string problem;
    if (!file.open(path, problem) || file.size() > kMaxDetectorFileBytes)
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


namespace {

// Where a tracked face is searched for in the next frame: a region of the
// frame, resized by scale so that the face is as large as the detector's
// middle pyramid level expects.
struct SearchWindow {
    PixelRect region;
    double scale = 0;
    dlib::rectangle expected;
};

struct Face {
    dlib::rectangle rect;
    double confidence = 0;
    SearchWindow window;
};

} // namespace

// One thread's detectors (dlib's detector keeps its scan buffers, so each
// thread needs its own) and its most recent detection.
struct FaceEngine::ThreadState {
    explicit ThreadState(const SharedModels& models)
        : detector(models.detector), windowDetector(models.windowDetector)
    {
    }
    dlib::frontal_face_detector detector;
    dlib::frontal_face_detector windowDetector;

    bool valid = false;
    GrayImage gray;
    std::vector<Face> faces;
    // Video mode only: frames since the last whole-frame search.
    bool tracking = false;
    int framesSinceFullScan = 0;
    GrayImage searchPixels;
};

namespace {

std::vector<Face> scanWholeFrame(dlib::frontal_face_detector& detector, const GrayImage& gray)
{
    std::vector<dlib::rect_detection> found;
    detector(gray, found);
    std::sort(found.begin(), found.end(), numberedBefore);
    std::vector<Face> faces;
    for (const dlib::rect_detection& d : found)
        faces.push_back(Face{d.rect, d.detection_confidence, SearchWindow{}});
    return faces;
}

bool followFace(dlib::frontal_face_detector& windowDetector, const GrayImage& gray, Face& face,
                GrayImage& searchPixels)
{
    SearchWindow& window = face.window;
    if (window.scale == 0) {
        const dlib::rectangle& r = face.rect;
        const double width = static_cast<double>(r.width());
        const double reach = width * (0.5 + kWindowMargin);
        const dlib::dpoint centre = dlib::center(r);
        const int left = std::max(0, static_cast<int>(std::floor(centre.x() - reach)));
        const int top = std::max(0, static_cast<int>(std::floor(centre.y() - reach)));
        const int right = std::min(gray.width(), static_cast<int>(std::floor(centre.x() - reach + std::ceil(2 * reach))));
        const int bottom =
            std::min(gray.height(), static_cast<int>(std::floor(centre.y() - reach + std::ceil(2 * reach))));
        window.region = PixelRect{left, top, std::max(0, right - left), std::max(0, bottom - top)};
        window.scale = kWindowFaceWidth / width;
        window.expected = r;
    }
    const int searchWidth = static_cast<int>(std::lround(window.region.width * window.scale));
    const int searchHeight = static_cast<int>(std::lround(window.region.height * window.scale));
    if (searchWidth < kSmallestBox || searchHeight < kSmallestBox)
        return false;
    resizeRegion(gray, window.region, searchWidth, searchHeight, searchPixels);

    std::vector<dlib::rect_detection> found;
    windowDetector(searchPixels, found);
    if (found.empty())
        return false;
    const dlib::rect_detection& best = *std::max_element(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.detection_confidence < b.detection_confidence;
    });
    const double sx = static_cast<double>(window.region.width) / searchWidth;
    const double sy = static_cast<double>(window.region.height) / searchHeight;
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

} // namespace

namespace {

void trackOrScan(dlib::frontal_face_detector& detector, dlib::frontal_face_detector& windowDetector,
                 const GrayImage& gray, std::vector<Face>& faces, int& framesSinceFullScan, GrayImage& searchPixels)
{
    // Faces lost from their windows are dropped; only losing face 0 makes the
    // whole frame be searched at once (the others come back at the next
    // periodic search), so a flickering weak detection costs nothing.
    std::vector<Face> kept;
    bool lostFirst = false;
    for (std::size_t i = 0; i < faces.size(); ++i) {
        Face& face = faces[i];
        if (followFace(windowDetector, gray, face, searchPixels))
            kept.push_back(face);
        else if (i == 0)
            lostFirst = true;
    }
    ++framesSinceFullScan;
    if (!lostFirst && !kept.empty() && framesSinceFullScan < kFullScanInterval) {
        faces = std::move(kept);
        return;
    }
    // Keep the faces followed, in their order, and add the others found.
    for (Face& found : scanWholeFrame(detector, gray)) {
        const bool known =
            std::any_of(kept.begin(), kept.end(), [&](const Face& face) { return overlaps(face.rect, found.rect); });
        if (!known)
            kept.push_back(std::move(found));
    }
    std::stable_partition(kept.begin(), kept.end(), [](const Face& face) { return isConfident(face.confidence); });
    faces = std::move(kept);
    framesSinceFullScan = 0;
}

std::unique_ptr<SharedModels> loadModels(const ModelFiles& files, std::string& problem)
{
    auto models = std::make_unique<SharedModels>();
    if (files.detector.empty() || !readDetector(files.detector, models->detector))
        models->detector = dlib::get_frontal_face_detector(); // slower: decompresses dlib's built-in copy

    dlib::scan_fhog_pyramid<dlib::pyramid_down<6>> windowScanner;
    windowScanner.copy_configuration(models->detector.get_scanner());
    windowScanner.set_max_pyramid_levels(kWindowPyramidLevels);
    std::vector<dlib::frontal_face_detector::feature_vector_type> weights;
    for (unsigned long i = 0; i < models->detector.num_detectors(); ++i)
        weights.push_back(models->detector.get_w(i));
    models->windowDetector =
        dlib::frontal_face_detector(windowScanner, models->detector.get_overlap_tester(), weights);

    models->landmarks = LandmarkModel::open(files.landmarks, problem);
    if (!models->landmarks)
        return nullptr;
    return models;
}

} // namespace

const SharedModels* FaceEngine::models()
{
    if (const SharedModels* loaded = models_.load(std::memory_order_acquire))
        return loaded;
    std::lock_guard<std::mutex> lock(loadMutex_);
    if (const SharedModels* loaded = models_.load(std::memory_order_relaxed))
        return loaded;
    if (loadFailed_)
        return nullptr;
    const ModelFiles files = defaultModelFiles();
    std::string problem;
    // Kept until the process ends: calls may still be running in other
    // threads while it exits.
    const SharedModels* loaded = loadModels(files, problem).release();
    if (loaded == nullptr) {
        loadFailed_ = true;
        std::fprintf(stderr,
                     "mivora_face: cannot load the landmark model '%s': %s; install the Debian "
                     "package libdlib-data or set MIVORA_FACE_LANDMARK_MODEL to the model file\n",
                     files.landmarks.c_str(), problem.c_str());
        return nullptr;
    }
    models_.store(loaded, std::memory_order_release);
    return loaded;
}

void FaceEngine::beforeFork() { loadMutex_.lock(); }

void FaceEngine::afterForkInParent() { loadMutex_.unlock(); }

void FaceEngine::afterForkInChild() { loadMutex_.unlock(); }

FaceEngine::ThreadState& FaceEngine::callersState(const SharedModels& models)
{
    // Released when its thread ends.
    thread_local std::unique_ptr<ThreadState> state;
    if (!state)
        state = std::make_unique<ThreadState>(models);
    return *state;
}

int FaceEngine::detect(const unsigned char* pixels, int width, int height, int mode)
{
    const bool validArguments = pixels != nullptr && validSide(width) && validSide(height) &&
                                (mode == MIVORA_FACE_MODE_STILL || mode == MIVORA_FACE_MODE_VIDEO);
    const SharedModels* shared = validArguments ? models() : nullptr;
    if (shared == nullptr) {
        // The thread's previous detection is forgotten; a thread that never
        // had a state needs none to remember that.
        if (const SharedModels* loaded = models_.load(std::memory_order_acquire)) {
            ThreadState& state = callersState(*loaded);
            state.valid = false;
            state.faces.clear();
            state.tracking = false;
        }
        return validArguments ? MIVORA_FACE_ERROR_MODEL_UNAVAILABLE : MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    }
    ThreadState& state = callersState(*shared);
    state.valid = false;

    const bool sameCamera = mode == MIVORA_FACE_MODE_VIDEO && state.tracking && state.gray.width() == width &&
                            state.gray.height() == height;
    bgrToGray(pixels, width, height, state.gray);
    bool releasedMemory = state.gray.releasedLargeBuffer();

    if (sameCamera) {
        trackOrScan(state.detector, state.windowDetector, state.gray, state.faces, state.framesSinceFullScan,
                    state.searchPixels);
    } else {
        state.faces = scanWholeFrame(state.detector, state.gray);
        state.framesSinceFullScan = 0;
    }
    if (static_cast<long>(width) * height > kLargeFramePixels) {
        // dlib's detector keeps the feature pyramid of the last image.
        state.detector = shared->detector;
        releasedMemory = true;
    }
    if (releasedMemory)
        malloc_trim(0);
    state.tracking = mode == MIVORA_FACE_MODE_VIDEO;
    state.valid = true;
    return static_cast<int>(state.faces.size());
}

int FaceEngine::landmarks(int faceIndex, float* values)
{
    if (values == nullptr)
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    fillZeros(values);
    const SharedModels* shared = models();
    if (shared == nullptr)
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
    const ThreadState& state = callersState(*shared);
    if (!state.valid)
        return MIVORA_FACE_ERROR_NO_DETECTION;
    if (faceIndex < 0 || static_cast<std::size_t>(faceIndex) >= state.faces.size())
        return MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE;
    shared->landmarks->predict(state.gray, state.faces[static_cast<std::size_t>(faceIndex)].rect, values);
    return MIVORA_FACE_OK;
}

} // namespace mivora
