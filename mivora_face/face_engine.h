// FaceEngine: the library's whole per-process state and the work behind the
// C functions of mivora_face.h.
#ifndef MIVORA_FACE_FACE_ENGINE_H
#define MIVORA_FACE_FACE_ENGINE_H

#include "gray_image.h"
#include "landmark_model.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mivora {

// The model files the library reads.
struct ModelFiles {
    std::string landmarks; // packed or dlib format
    std::string detector;  // dlib's serialised frontal face detector; empty: the built-in copy
};

// $MIVORA_FACE_LANDMARK_MODEL when set and not empty; otherwise the packed
// model installed beside the library, or Debian's libdlib-data file.
ModelFiles defaultModelFiles();

// What every thread shares once loaded; never changed afterwards.
struct SharedModels {
    dlib::frontal_face_detector detector;
    // The same detector limited to a few pyramid levels, for search windows.
    dlib::frontal_face_detector windowDetector;
    std::unique_ptr<LandmarkModel> landmarks;
};

// Requires: nothing; every argument is validated.
// Ensures:  the models are loaded by the first call that needs them, on the
//           calling thread, once per process; calls from different threads
//           run in parallel, each with its own detectors; detect() remembers,
//           for the calling thread, the faces and a gray copy of the image,
//           so that landmarks() can answer afterwards without the caller's
//           pixels, and threads never see each other's detections. In video
//           mode each thread's faces are tracked from its previous frame.
//           fork() is safe at any moment (see the fork handlers below).
class FaceEngine {
public:
    // Loads nothing: a process that never calls the library pays nothing.
    FaceEngine() = default;
    FaceEngine(const FaceEngine&) = delete;
    FaceEngine& operator=(const FaceEngine&) = delete;

    // Same contract as MivoraFaceDetectStd.
    int detect(const unsigned char* pixels, int width, int height, int mode);
    // Same contract as MivoraGetFaceLandmark68Std.
    int landmarks(int faceIndex, float* values);

    // pthread_atfork handlers: a fork waits for a model load in progress, so
    // that the child has the models, or loads them itself, and never waits
    // for a thread it does not have.
    void beforeFork();
    void afterForkInParent();
    void afterForkInChild();

private:
    struct ThreadState;
    // The calling thread's state, made on its first call and released when
    // the thread ends.
    static ThreadState& callersState(const SharedModels& models);

    // Loads the models on first use; null when they cannot be used.
    const SharedModels* models();

    std::mutex loadMutex_;
    std::atomic<const SharedModels*> models_{nullptr};
    bool loadFailed_ = false; // guarded by loadMutex_
};

} // namespace mivora

#endif
