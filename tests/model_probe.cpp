// SPDX-License-Identifier: MIT
// Calls the library twice on a small image and prints the return codes, so
// that a test can run it with a given MIVORA_FACE_LANDMARK_MODEL.
#include "mivora_face.h"

#include <cstdio>
#include <vector>

int main()
{
    const std::vector<unsigned char> pixels(64 * 48 * 3, 100);
    for (int round = 0; round < 2; ++round) {
        float landmarks[MIVORA_FACE_LANDMARK_VALUE_COUNT];
        for (float& value : landmarks)
            value = 7.0f;
        const int detected = MivoraFaceDetectStd(pixels.data(), 64, 48, MIVORA_FACE_MODE_VIDEO);
        const int landmarked = MivoraGetFaceLandmark68Std(0, landmarks);
        bool zeros = true;
        for (float value : landmarks)
            zeros = zeros && value == 0.0f;
        std::printf("%d %d %d\n", detected, landmarked, zeros ? 1 : 0);
    }
    return 0;
}
