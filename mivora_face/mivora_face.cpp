// The C entry points: argument checks live in FaceEngine; here no exception
// may cross into C callers.
#include "mivora_face.h"

#include "face_engine.h"

#include <new>

namespace {

mivora::FaceEngine& engine()
{
    // Built once, thread-safely; the model paths are read then.
    static mivora::FaceEngine instance(mivora::defaultModelFiles());
    return instance;
}

// Builds the engine when the library is loaded, so that the models load in
// the background while the caller starts up rather than in its first call.
__attribute__((constructor)) void startLoadingModels()
{
    try {
        engine();
    } catch (...) {
        // Retried, and reported through error codes, on the first call.
    }
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
