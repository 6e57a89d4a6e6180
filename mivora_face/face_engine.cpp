// SPDX-License-Identifier: MIT
#include "face_engine.h"

#include "mivora_face.h"
#include "pixel_format.h"

#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#ifndef MIVORA_FACE_DATA_FROM_LIBDIR
#define MIVORA_FACE_DATA_FROM_LIBDIR "../share/mivoraface"
#endif

namespace mivora {

namespace {

constexpr const char* kDebianModelPath = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
constexpr const char* kPackedModelName = "shape_predictor_68_face_landmarks.mivora";
constexpr const char* kDetectorName = "frontal_face_detector.mivora";
constexpr const char* kFaceNetworkName = "facemesh-detection-full.mivora";
constexpr const char* kCropNetworkName = "blazeface-front.mivora";

// After a frame this large the session's scan buffers are given back to the
// system rather than kept for frames that will rarely be as large.
constexpr long kLargeFramePixels = 4096L * 2048L;

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
        if (std::filesystem::is_regular_file(packedDir + "/" + kFaceNetworkName, error))
            files.faceNetwork = packedDir + "/" + kFaceNetworkName;
        if (std::filesystem::is_regular_file(packedDir + "/" + kCropNetworkName, error))
            files.cropNetwork = packedDir + "/" + kCropNetworkName;
    } else {
        files.landmarks = kDebianModelPath;
    }
    const char* fromEnvironment = std::getenv("MIVORA_FACE_LANDMARK_MODEL");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0')
        files.landmarks = fromEnvironment;
    return files;
}

namespace {

// The packed network at path, ready to run (none for an empty path).
bool loadNetwork(const std::string& path, std::unique_ptr<const CnnFaceDetector>& network, std::string& problem)
{
    if (path.empty())
        return true;
    try {
        network = std::make_unique<const CnnFaceDetector>(cnn::CnnModel::load(path));
        return true;
    } catch (const std::exception& e) {
        problem = e.what();
        return false;
    }
}

// Null, with what is wrong, when the landmark model cannot be used (the
// networks are read later, by faceNetworks()).
std::unique_ptr<SharedModels> loadModels(const ModelFiles& files, std::string& problem)
{
    auto models = std::make_unique<SharedModels>();
    models->detector = DetectorModel::load(files.detector);
    models->landmarks = LandmarkModel::open(files.landmarks, problem);
    if (!models->landmarks)
        return nullptr;
    models->files = files;
    return models;
}

} // namespace

int FaceSession::detect(const SharedModels& models, const LandmarkSource& landmarks, const NetworkSource& networks,
                        const ImageView& frame, int mode)
{
    const int width = frame.width, height = frame.height;
    valid_ = false;
    if (!detector_)
        detector_ = std::make_unique<FaceDetector>(models.detector);
    video_ = mode == MIVORA_FACE_MODE_VIDEO;
    int faces = 0;
    if (video_) {
        if (width != tracker_.width() || height != tracker_.height())
            tracker_.reset();
        // Faces are followed by their landmarks; a first frame needs none.
        const LandmarkModel* model = nullptr;
        if (tracker_.needsLandmarks() && (model = landmarks()) == nullptr) {
            forget();
            return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
        }
        if (!prepareNetworks(networks)) {
            forget();
            return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
        }
        tracker_.track(frame, FaceFinders{*detector_, network_.get(), cropNetwork_.get()}, model);
        faces = static_cast<int>(tracker_.faces().size());
    } else {
        tracker_.reset();
        if (!prepareNetworks(networks)) {
            forget();
            return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
        }
        toGray(frame, gray_);
        bool ok = true;
        stillFaces_ = tracker_.findStill(frame, gray_, FaceFinders{*detector_, network_.get(), cropNetwork_.get()},
                                         landmarks, ok);
        if (!ok) {
            forget();
            return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
        }
        faces = static_cast<int>(stillFaces_.size());
        stillIds_.clear();
        for (int i = 0; i < faces; ++i)
            stillIds_.push_back(tracker_.newId());
    }
    if (static_cast<long>(width) * height > kLargeFramePixels) {
        // Nothing of a very large frame is kept beyond what the landmark
        // call needs, and the memory goes back to the system.
        detector_->releaseMemory();
        tracker_.releaseScratch();
        for (CnnFaceDetector* network : {network_.get(), cropNetwork_.get()})
            if (network != nullptr)
                network->releaseMemory();
        malloc_trim(0);
    } else if (gray_.releasedLargeBuffer()) {
        malloc_trim(0);
    }
    valid_ = true;
    return faces;
}

bool FaceSession::prepareNetworks(const NetworkSource& networks)
{
    if (hasNetworks_)
        return true;
    const FaceNetworks* shared = networks();
    if (shared == nullptr)
        return false;
    if (shared->faceNetwork)
        network_ = std::make_unique<CnnFaceDetector>(*shared->faceNetwork);
    if (shared->cropNetwork)
        cropNetwork_ = std::make_unique<CnnFaceDetector>(*shared->cropNetwork);
    if (network_ && cropNetwork_)
        network_->shareScratchWith(*cropNetwork_);
    hasNetworks_ = true;
    return true;
}

int FaceSession::checkFaceIndex(int faceIndex) const
{
    if (!valid_)
        return MIVORA_FACE_ERROR_NO_DETECTION;
    const std::size_t count = video_ ? tracker_.faces().size() : stillFaces_.size();
    return faceIndex < 0 || static_cast<std::size_t>(faceIndex) >= count ? MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE
                                                                         : MIVORA_FACE_OK;
}

int FaceSession::landmarks(const LandmarkSource& landmarks, int faceIndex, float* values)
{
    if (const int status = checkFaceIndex(faceIndex); status != MIVORA_FACE_OK)
        return status;
    const LandmarkModel* model = landmarks();
    if (model == nullptr)
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
    const auto i = static_cast<std::size_t>(faceIndex);
    if (video_) {
        const Shape& points = tracker_.points(i, *model);
        std::copy(points.begin(), points.end(), values);
    } else if (stillFaces_[i].byHog) {
        model->predict(ImageView::of(gray_), stillFaces_[i].rect, values);
    } else {
        std::copy(stillFaces_[i].points.begin(), stillFaces_[i].points.end(), values);
    }
    return MIVORA_FACE_OK;
}

int FaceSession::box(const LandmarkSource& landmarks, int faceIndex, MivoraFaceBox& box)
{
    if (const int status = checkFaceIndex(faceIndex); status != MIVORA_FACE_OK)
        return status;
    const auto i = static_cast<std::size_t>(faceIndex);
    if (video_) {
        const LandmarkModel* model = landmarks();
        if (model == nullptr)
            return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
        const FacePose& pose = tracker_.box(i, *model);
        const double side = pose.size + 1.0;
        box.x = static_cast<float>(pose.cx - pose.size / 2.0);
        box.y = static_cast<float>(pose.cy - pose.size / 2.0);
        box.width = box.height = static_cast<float>(side);
        box.angle = static_cast<float>(pose.angle * 180.0 / M_PI);
        box.confidence = static_cast<float>(tracker_.faces()[i].confidence);
    } else {
        const StillFace& face = stillFaces_[i];
        const dlib::rectangle& r = face.rect;
        box.x = static_cast<float>(r.left());
        box.y = static_cast<float>(r.top());
        box.width = static_cast<float>(r.width());
        box.height = static_cast<float>(r.height());
        box.angle = face.byHog ? 0.0f : static_cast<float>(face.pose.angle * 180.0 / M_PI);
        box.confidence = static_cast<float>(face.confidence);
    }
    return MIVORA_FACE_OK;
}

int FaceSession::id(int faceIndex, long long& id) const
{
    if (const int status = checkFaceIndex(faceIndex); status != MIVORA_FACE_OK)
        return status;
    const auto i = static_cast<std::size_t>(faceIndex);
    id = video_ ? tracker_.faces()[i].id : stillIds_[i];
    return MIVORA_FACE_OK;
}

void FaceSession::forget()
{
    valid_ = false;
    stillFaces_.clear();
    stillIds_.clear();
    tracker_.reset();
}

const SharedModels* FaceEngine::models()
{
    if (unusable_.load(std::memory_order_acquire))
        return nullptr;
    if (const SharedModels* loaded = models_.load(std::memory_order_acquire))
        return loaded;
    std::lock_guard<std::mutex> lock(loadMutex_);
    if (SharedModels* loaded = models_.load(std::memory_order_relaxed))
        return loaded;
    if (unusable_.load(std::memory_order_relaxed))
        return nullptr;
    const ModelFiles files = defaultModelFiles();
    std::string problem;
    // Kept until the process ends: calls may still be running in other
    // threads while it exits.
    SharedModels* loaded = loadModels(files, problem).release();
    if (loaded == nullptr) {
        reportUnusable(files.landmarks, problem, true);
        return nullptr;
    }
    landmarkPath_ = files.landmarks;
    models_.store(loaded, std::memory_order_release);
    return loaded;
}

const LandmarkModel* FaceEngine::landmarkModel()
{
    SharedModels* loaded = const_cast<SharedModels*>(models()); // this engine made it
    if (loaded == nullptr)
        return nullptr;
    if (leavesLoaded_.load(std::memory_order_acquire))
        return loaded->landmarks.get();
    // Under the lock, so that a fork waits for it (see beforeFork).
    std::lock_guard<std::mutex> lock(loadMutex_);
    if (unusable_.load(std::memory_order_relaxed))
        return nullptr;
    if (!leavesLoaded_.load(std::memory_order_relaxed)) {
        std::string problem;
        if (!loaded->landmarks->loadLeaves(problem)) {
            reportUnusable(landmarkPath_, problem, true);
            return nullptr;
        }
        leavesLoaded_.store(true, std::memory_order_release);
    }
    return loaded->landmarks.get();
}

const FaceNetworks* FaceEngine::faceNetworks()
{
    const SharedModels* loaded = models();
    if (loaded == nullptr)
        return nullptr;
    if (networksLoaded_.load(std::memory_order_acquire))
        return &networks_;
    // Under the lock, so that a fork waits for it (see beforeFork).
    std::lock_guard<std::mutex> lock(loadMutex_);
    if (unusable_.load(std::memory_order_relaxed))
        return nullptr;
    if (!networksLoaded_.load(std::memory_order_relaxed)) {
        std::string problem;
        for (const auto& [path, network] : {std::pair{&loaded->files.faceNetwork, &networks_.faceNetwork},
                                            std::pair{&loaded->files.cropNetwork, &networks_.cropNetwork}}) {
            if (!loadNetwork(*path, *network, problem)) {
                reportUnusable(*path, problem, false);
                return nullptr;
            }
        }
        networksLoaded_.store(true, std::memory_order_release);
    }
    return &networks_;
}

void FaceEngine::reportUnusable(const std::string& path, const std::string& problem, bool isLandmarkModel)
{
    unusable_.store(true, std::memory_order_release);
    if (!isLandmarkModel) {
        std::fprintf(stderr,
                     "mivora_face: cannot load the face detector network '%s': %s; reinstall the package "
                     "libmivoraface1\n",
                     path.c_str(), problem.c_str());
        return;
    }
    std::fprintf(stderr,
                 "mivora_face: cannot load the landmark model '%s': %s; install the Debian "
                 "package libdlib-data or set MIVORA_FACE_LANDMARK_MODEL to the model file\n",
                 path.c_str(), problem.c_str());
}

void FaceEngine::beforeFork() { loadMutex_.lock(); }

void FaceEngine::afterForkInParent() { loadMutex_.unlock(); }

void FaceEngine::afterForkInChild()
{
    loadMutex_.unlock();
    forkGeneration_.fetch_add(1, std::memory_order_relaxed);
}

FaceSession& FaceEngine::callersSession()
{
    // Released when its thread ends.
    thread_local FaceSession session;
    return session;
}

int FaceEngine::detect(FaceSession& session, const MivoraFaceImage* image, int mode)
{
    if (!isValidImage(image) || (mode != MIVORA_FACE_MODE_STILL && mode != MIVORA_FACE_MODE_VIDEO)) {
        session.forget();
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    }
    const SharedModels* shared = models();
    if (shared == nullptr) {
        session.forget();
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
    }
    return session.detect(
        *shared, [this] { return landmarkModel(); }, [this] { return faceNetworks(); }, grayView(*image), mode);
}

int FaceEngine::landmarks(FaceSession& session, int faceIndex, float* values)
{
    if (values == nullptr)
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    fillZeros(values);
    if (models() == nullptr)
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
    return session.landmarks([this] { return landmarkModel(); }, faceIndex, values);
}

int FaceEngine::box(FaceSession& session, int faceIndex, MivoraFaceBox* box)
{
    if (box == nullptr)
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    *box = MivoraFaceBox{};
    if (models() == nullptr)
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
    return session.box([this] { return landmarkModel(); }, faceIndex, *box);
}

int FaceEngine::id(FaceSession& session, int faceIndex, long long* id)
{
    if (id == nullptr)
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    *id = 0;
    if (models() == nullptr)
        return MIVORA_FACE_ERROR_MODEL_UNAVAILABLE;
    return session.id(faceIndex, *id);
}

int FaceEngine::setMinFaceSize(FaceSession& session, int pixels)
{
    if (pixels < 1 || pixels > MIVORA_FACE_MAX_IMAGE_SIDE)
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    FindSettings settings = session.settings();
    settings.minFaceSize = pixels;
    session.setSettings(settings);
    return MIVORA_FACE_OK;
}

int FaceEngine::setScoreThreshold(FaceSession& session, float threshold)
{
    if (!(threshold > 0 && threshold < 1))
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    FindSettings settings = session.settings();
    settings.minScore = threshold;
    session.setSettings(settings);
    return MIVORA_FACE_OK;
}

} // namespace mivora
