// SPDX-License-Identifier: MIT
// The C entry points: argument checks live in FaceEngine; here no exception
// may cross into C callers.
#include "mivora_face.h"

#include "face_engine.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <memory>
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

int zeroedOnError(int status, long long* id)
{
    if (status != MIVORA_FACE_OK && id != nullptr)
        *id = 0;
    return status;
}

} // namespace

struct MivoraFaceTracker {
    std::unique_ptr<mivora::FaceSession> session = std::make_unique<mivora::FaceSession>();
    // 0 while free; while in a call, 1 + the fork generation of the process
    // whose thread made it.
    std::atomic<unsigned long> holder{0};

    // The session was being changed by a thread of the process this one was
    // forked from: that thread is not here to finish, so what it was changing
    // may be half-changed. It is left as it is (never freed) and replaced.
    void abandonSession()
    {
        const mivora::FindSettings settings = session->settings();
        static_cast<void>(session.release());
        session = std::make_unique<mivora::FaceSession>();
        session->setSettings(settings);
    }
};

namespace {

// Runs call on the tracker's session unless another thread is using it.
template <typename Call> int onTracker(MivoraFaceTracker* tracker, Call call)
{
    if (tracker == nullptr)
        return MIVORA_FACE_ERROR_INVALID_ARGUMENT;
    const unsigned long mine = engine().forkGeneration() + 1;
    unsigned long held = 0;
    bool inherited = false;
    if (!tracker->holder.compare_exchange_strong(held, mine, std::memory_order_acquire)) {
        // Busy in this process; or held at fork by a thread the child lacks.
        if (held == mine || !tracker->holder.compare_exchange_strong(held, mine, std::memory_order_acquire))
            return MIVORA_FACE_ERROR_TRACKER_BUSY;
        inherited = true;
    }
    const int status = guarded([&] {
        if (inherited)
            tracker->abandonSession();
        return call(*tracker->session);
    });
    tracker->holder.store(0, std::memory_order_release);
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

extern "C" int MivoraGetFaceIdStd(int face_index, long long* id)
{
    return zeroedOnError(guarded([&] { return engine().id(mivora::FaceEngine::callersSession(), face_index, id); }),
                         id);
}

extern "C" const char* MivoraFaceErrorString(int code)
{
    switch (code) {
    case MIVORA_FACE_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case MIVORA_FACE_ERROR_MODEL_UNAVAILABLE: return "model unavailable (the landmark model or a face network)";
    case MIVORA_FACE_ERROR_NO_DETECTION: return "no detection to answer";
    case MIVORA_FACE_ERROR_FACE_INDEX_OUT_OF_RANGE: return "face index out of range";
    case MIVORA_FACE_ERROR_INTERNAL: return "internal error";
    case MIVORA_FACE_ERROR_TRACKER_BUSY: return "tracker in use by another thread";
    default: return code >= 0 ? "success" : "unknown error";
    }
}

extern "C" const char* MivoraFaceVersion(void) { return MIVORA_FACE_VERSION; }

extern "C" MivoraFaceTracker* MivoraFaceTrackerCreate(void)
{
    try {
        return new MivoraFaceTracker();
    } catch (...) {
        return nullptr;
    }
}

extern "C" void MivoraFaceTrackerDestroy(MivoraFaceTracker* tracker)
{
    if (tracker == nullptr)
        return;
    const unsigned long held = tracker->holder.load(std::memory_order_acquire);
    if (held != 0 && held != engine().forkGeneration() + 1)
        static_cast<void>(tracker->session.release()); // half-changed at fork: not freed
    delete tracker;
}

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

extern "C" int MivoraFaceTrackerGetId(MivoraFaceTracker* tracker, int face_index, long long* id)
{
    return zeroedOnError(
        onTracker(tracker, [&](mivora::FaceSession& session) { return engine().id(session, face_index, id); }), id);
}

extern "C" int MivoraFaceSetMinFaceSizeStd(int pixels)
{
    return guarded([&] { return engine().setMinFaceSize(mivora::FaceEngine::callersSession(), pixels); });
}

extern "C" int MivoraFaceSetScoreThresholdStd(float threshold)
{
    return guarded([&] { return engine().setScoreThreshold(mivora::FaceEngine::callersSession(), threshold); });
}

extern "C" int MivoraFaceTrackerSetMinFaceSize(MivoraFaceTracker* tracker, int pixels)
{
    return onTracker(tracker, [&](mivora::FaceSession& session) { return engine().setMinFaceSize(session, pixels); });
}

extern "C" int MivoraFaceTrackerSetScoreThreshold(MivoraFaceTracker* tracker, float threshold)
{
    return onTracker(tracker,
                     [&](mivora::FaceSession& session) { return engine().setScoreThreshold(session, threshold); });
}
