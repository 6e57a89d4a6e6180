// SPDX-License-Identifier: MIT
#include "fake_mivora_face.h"

#include "mivora_face.h"

#include <algorithm>
#include <cstddef>

namespace fake_mivora {

namespace {
Script currentScript;
std::vector<Call> recordedCalls;
} // namespace

void reset()
{
    currentScript = Script{};
    recordedCalls.clear();
}

Script& script() { return currentScript; }

const std::vector<Call>& calls() { return recordedCalls; }

} // namespace fake_mivora

using namespace fake_mivora;

extern "C" int MivoraFaceDetectStd(const unsigned char* pixels, int width, int height, int mode)
{
    Call call{Call::Detect, {pixels, width, height, mode, {}}, {}};
    if (pixels != nullptr && width > 0 && height > 0) {
        const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
        call.detect.bytes.assign(pixels, pixels + size);
    }
    recordedCalls.push_back(call);
    if (currentScript.detectResults.empty())
        return 0;
    const int result = currentScript.detectResults.front();
    currentScript.detectResults.pop_front();
    return result;
}

extern "C" int MivoraGetFaceLandmark68Std(int face_index, float* landmarks)
{
    Call call{Call::Landmark, {}, {face_index, landmarks, {}}};
    std::copy(landmarks, landmarks + 136, call.landmark.bufferOnEntry.begin());
    recordedCalls.push_back(call);
    std::copy(currentScript.landmarks.begin(), currentScript.landmarks.end(), landmarks);
    return 0;
}
