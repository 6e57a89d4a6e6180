// The C entry points: argument checks live in FaceEngine; here no exception
// may cross into C callers.
#include "mivora_face.h"

#include "face_engine.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <new>

namespace {

mivora::FaceEngine& engine()
{
    // Never destroyed: threads may still be inside a call while the process
    // exits, and the library is never unloaded (it is linked -z nodelete).
    static mivora::FaceEngine* const instance = new mivora::FaceEngine();
    return *instance;
}

// Only registers the fork handlers: loading the library starts no thread and
// reads no file.
__attribute__((constructor)) void registerForkHandlers()
{
    engine();
    pthread_atfork([] { engine().beforeFork(); }, [] { engine().afterForkInParent(); },
                   [] { engine().afterForkInChild(); });
}

template <typename Call> int guarded(Call call)
{
    try {
        return call();
    } catch (...) {
        return MIVORA_FACE_ERROR_INTERNAL;
    }
}

// Errors leave zeros in the caller's buffer.
int zeroedOnError(int status, float* landmarks)
{
    if (status != MIVORA_FACE_OK && landmarks != nullptr)
        for (int i = 0; i < MIVORA_FACE_LANDMARK_VALUE_COUNT; ++i)
            landmarks[i] = 0.0f;
    return status;
}

int zeroedOnError(int status, MivoraFaceBox* box)
{
    if (status != MIVORA_FACE_OK && box != nullptr)
        *box = MivoraFaceBox{};
    return status;
}

} // namespace

struct MivoraFaceTracker {
    mivora::FaceSession session;
    std::atomic<bool> busy{false};
};

namespace {

// Runs call on the tracker's session unless another thread is using it.
template <typename Call> int onTracker(MivoraFaceTracker* tracker, Call call)
{
    if (tracker == nullptr)
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    if (tracker->busy.exchange(true, std::memory_order_acquire))
        return MIVORA_FACE_ERROR_TRACKER_BUSY;
    const int status = guarded([&] { return call(tracker->session); });
    tracker->busy.store(false, std::memory_order_release);
    return status;
}

// The packed BGR pixels of MivoraFaceDetectStd and MivoraFaceTrackerDetect
// as an image description, checked like any other.
MivoraFaceImage packedBgr(const unsigned char* pixels, int width, int height)
{
    MivoraFaceImage image{};
    image.format = MIVORA_FACE_FORMAT_BGR;
    image.width = width;
    image.height = height;
    image.planes[0] = pixels;
    image.strides[0] = 3 * static_cast<std::ptrdiff_t>(width);
    return image;
}

} // namespace

extern "C" int MivoraFaceDetectStd(const unsigned char* pixels, int width, int height, int mode)
{
    const MivoraFaceImage image = packedBgr(pixels, width, height);
    return guarded([&] { return engine().detect(mivora::FaceEngine::callersSession(), &image, mode); });
}

extern "C" int MivoraFaceDetectImage(const MivoraFaceImage* image, int mode)
{
    return guarded([&] { return engine().detect(mivora::FaceEngine::callersSession(), image, mode); });
}

extern "C" int MivoraGetFaceLandmark68Std(int face_index, float* landmarks)
{
    return zeroedOnError(
        guarded([&] { return engine().landmarks(mivora::FaceEngine::callersSession(), face_index, landmarks); }),
        landmarks);
}

extern "C" int MivoraGetFaceBoxStd(int face_index, MivoraFaceBox* box)
{
    return zeroedOnError(guarded([&] { return engine().box(mivora::FaceEngine::callersSession(), face_index, box); }),
                         box);
}

extern "C" const char* MivoraFaceErrorString(int code)
{
    switch (code) {
    case MIVORA_FACE_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case MIVORA_FACE_ERROR_MODEL_UNAVAILABLE: return "landmark model unavailable";
    case MIVORA_FACE_ERROR_NO_DETECTION: return "no detection to answer";
    case MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE: return "face index out of range";
    case MIVORA_FACE_ERROR_INTERNAL: return "internal error";
    case MIVORA_FACE_ERROR_TRACKER_BUSY: return "tracker in use by another thread";
    default: return code >= 0 ? "success" : "unknown error";
    }
}

extern "C" const char* MivoraFaceVersion(void) { return MIVORA_FACE_VERSION; }

extern "C" MivoraFaceTracker* MivoraFaceTrackerCreate(void) { return new (std::nothrow) MivoraFaceTracker(); }

extern "C" void MivoraFaceTrackerDestroy(MivoraFaceTracker* tracker) { delete tracker; }

extern "C" int MivoraFaceTrackerDetect(MivoraFaceTracker* tracker, const unsigned char* pixels, int width, int height,
                                       int mode)
{
    const MivoraFaceImage image = packedBgr(pixels, width, height);
    return onTracker(tracker, [&](mivora::FaceSession& session) { return engine().detect(session, &image, mode); });
}

extern "C" int MivoraFaceTrackerDetectImage(MivoraFaceTracker* tracker, const MivoraFaceImage* image, int mode)
{
    return onTracker(tracker, [&](mivora::FaceSession& session) { return engine().detect(session, image, mode); });
}

extern "C" int MivoraFaceTrackerGetLandmark68(MivoraFaceTracker* tracker, int face_index, float* landmarks)
{
    return zeroedOnError(
        onTracker(tracker,
                  [&](mivora::FaceSession& session) { return engine().landmarks(session, face_index, landmarks); }),
        landmarks);
}

extern "C" int MivoraFaceTrackerGetBox(MivoraFaceTracker* tracker, int face_index, MivoraFaceBox* box)
{
    return zeroedOnError(
        onTracker(tracker, [&](mivora::FaceSession& session) { return engine().box(session, face_index, box); }), box);
}
