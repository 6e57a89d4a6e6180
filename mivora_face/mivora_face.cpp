// The C entry points: argument checks live in FaceEngine; here no exception
// may cross into C callers.
#include "mivora_face.h"

#include "face_engine.h"

#include <pthread.h>

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

} // namespace

extern "C" int MivoraFaceDetectStd(const unsigned char* pixels, int width, int height, int mode)
{
    return guarded([&] { return engine().detect(pixels, width, height, mode); });
}

extern "C" int MivoraGetFaceLandmark68Std(int face_index, float* landmarks)
{
    const int result = guarded([&] { return engine().landmarks(face_index, landmarks); });
    if (result == MIVORA_FACE_ERROR_INTERNAL && landmarks != nullptr)
        for (int i = 0; i < MIVORA_FACE_LANDMARK_VALUE_COUNT; ++i)
            landmarks[i] = 0.0f;
    return result;
}
