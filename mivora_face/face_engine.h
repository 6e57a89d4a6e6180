// SPDX-License-Identifier: MIT
// FaceEngine: the library's whole per-process state (the models, loaded
// once) and the work behind the C functions of mivora_face.h; FaceSession:
// one camera's state, kept per calling thread or per tracker handle.
#ifndef MIVORA_FACE_FACE_ENGINE_H
#define MIVORA_FACE_FACE_ENGINE_H

#include "face_detector.h"
#include "face_tracker.h"
#include "gray_image.h"
#include "landmark_model.h"
#include "mivora_face.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mivora {

// The model files the library reads.
struct ModelFiles {
    std::string landmarks;   // packed or dlib format
    std::string detector;    // dlib's serialised frontal face detector; empty: the built-in copy
    std::string faceNetwork; // the packed CNN face detector (cnn_model.h); empty: none installed
    std::string cropNetwork; // the smaller one that looks at a followed face; empty: none installed
};

// $MIVORA_FACE_LANDMARK_MODEL when set and not empty; otherwise the packed
// model installed beside the library, or Debian's libdlib-data file. The
// detectors: the packed ones installed beside the library, when there.
ModelFiles defaultModelFiles();

// What every thread shares once loaded; never changed afterwards.
struct SharedModels {
    DetectorModel detector;
    std::unique_ptr<LandmarkModel> landmarks;
    ModelFiles files;
};

// The face networks, ready to run; sessions run copies of them, which share
// their weights. Null when not installed.
struct FaceNetworks {
    std::unique_ptr<const CnnFaceDetector> faceNetwork, cropNetwork;
};

// The face networks, loaded by the first detection that needs them; null when
// they are installed but cannot be read.
using NetworkSource = std::function<const FaceNetworks*()>;

// The landmark model, whole: null when it cannot be read.
using LandmarkSource = LandmarkLoader;

// One camera's state: its own detector (dlib's keeps scan buffers), its most
// recent detection, and in video mode the faces it follows. Used by one
// thread at a time.
class FaceSession {
public:
    // Requires: the arguments are valid (FaceEngine checks them).
    int detect(const SharedModels& models, const LandmarkSource& landmarks, const NetworkSource& networks,
               const ImageView& frame, int mode);
    int landmarks(const LandmarkSource& landmarks, int faceIndex, float* values);
    // A face found this frame has its landmarks read, for the roll they show.
    int box(const LandmarkSource& landmarks, int faceIndex, MivoraFaceBox& box);
    int id(int faceIndex, long long& id) const;
    // Takes effect from the next detection.
    void setSettings(const FindSettings& settings) { tracker_.setSettings(settings); }
    const FindSettings& settings() const { return tracker_.settings(); }
    // After a failed call: nothing to answer, nothing followed.
    void forget();

private:
    // MIVORA_FACE_OK when faceIndex is a face of the most recent detection.
    int checkFaceIndex(int faceIndex) const;

    std::unique_ptr<FaceDetector> detector_;
    bool hasNetworks_ = false; // network_ and cropNetwork_ made (or none installed)
    std::unique_ptr<CnnFaceDetector> network_, cropNetwork_;
    bool valid_ = false;
    bool video_ = false;
    // Makes network_ and cropNetwork_ on first use; false when the installed
    // networks cannot be read.
    bool prepareNetworks(const NetworkSource& networks);

    // Still mode: the gray image and the faces; the landmarks of the HOG
    // search's faces are computed when asked for.
    GrayImage gray_;
    std::vector<StillFace> stillFaces_;
    std::vector<long long> stillIds_; // new for every still image
    // Video mode: faces followed, with their landmarks.
    FaceTracker tracker_;
};

// Requires: nothing; every argument is validated.
// Ensures:  the models are loaded by the first call that needs them, on the
//           calling thread, once per process; calls on different sessions
//           run in parallel. fork() is safe at any moment (see the fork
//           handlers below).
class FaceEngine {
public:
    // Loads nothing: a process that never calls the library pays nothing.
    FaceEngine() = default;
    FaceEngine(const FaceEngine&) = delete;
    FaceEngine& operator=(const FaceEngine&) = delete;

    // Same contracts as the C functions, on a given session.
    int detect(FaceSession& session, const MivoraFaceImage* image, int mode);
    int landmarks(FaceSession& session, int faceIndex, float* values);
    int box(FaceSession& session, int faceIndex, MivoraFaceBox* box);
    int id(FaceSession& session, int faceIndex, long long* id);
    int setMinFaceSize(FaceSession& session, int pixels);
    int setScoreThreshold(FaceSession& session, float threshold);

    // The calling thread's own session, made on its first call and released
    // when the thread ends.
    static FaceSession& callersSession();

    // pthread_atfork handlers: a fork waits for a model load in progress, so
    // that the child has the models, or loads them itself, and never waits
    // for a thread it does not have.
    void beforeFork();
    void afterForkInParent();
    void afterForkInChild();
    // How many forks separate this process from the one the library was
    // loaded in: a tracker held by a thread of an earlier generation is held
    // by a thread this process does not have.
    unsigned long forkGeneration() const { return forkGeneration_.load(std::memory_order_relaxed); }

private:
    // Loads the detector and checks the landmark model on first use; null
    // when they cannot be used.
    const SharedModels* models();
    // The whole landmark model: its leaves, nearly all of its 66 MB, are read
    // by the first call that needs landmarks, so that a first detection is
    // quick.
    const LandmarkModel* landmarkModel();
    const FaceNetworks* faceNetworks();
    // One line on stderr, once; every call fails from then on.
    void reportUnusable(const std::string& path, const std::string& problem, bool isLandmarkModel);

    std::mutex loadMutex_;
    std::atomic<SharedModels*> models_{nullptr};
    std::atomic<bool> leavesLoaded_{false};
    FaceNetworks networks_; // guarded by loadMutex_ until networksLoaded_
    std::atomic<bool> networksLoaded_{false};
    std::atomic<bool> unusable_{false};
    std::atomic<unsigned long> forkGeneration_{0};
    std::string landmarkPath_; // guarded by loadMutex_
};

} // namespace mivora

#endif
