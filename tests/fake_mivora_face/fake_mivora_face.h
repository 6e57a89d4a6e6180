// SPDX-License-Identifier: MIT
// A scripted, recording stand-in for the face library, linked into tests in
// place of libmivoraface.
#ifndef TESTS_FAKE_MIVORA_FACE_H
#define TESTS_FAKE_MIVORA_FACE_H

#include <array>
#include <deque>
#include <vector>

namespace fake_mivora {

struct DetectCall {
    const unsigned char* pixels;
    int width;
    int height;
    int mode;
    std::vector<unsigned char> bytes; // the 3 * width * height bytes received
};

struct LandmarkCall {
    int faceIndex;
    float* buffer;
    std::array<float, 136> bufferOnEntry;
};

// One entry per library call, in call order.
struct Call {
    enum Kind { Detect, Landmark } kind;
    DetectCall detect;
    LandmarkCall landmark;
};

struct Script {
    std::deque<int> detectResults;      // popped per call; 0 when empty
    std::array<float, 136> landmarks{}; // written by every landmark call
};

void reset();
Script& script();
const std::vector<Call>& calls();

} // namespace fake_mivora

#endif
