// libFuzzer target: random sequences of detection and landmark calls with
// random sizes, modes, face indices and pixel buffers sized to match.
#include "mivora_face.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// Reads the input front to back; zeros once it is used up.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return used_ >= size_; }
    uint8_t byte() { return used_ < size_ ? data_[used_++] : 0; }
    int16_t int16() { return static_cast<int16_t>(byte() | (byte() << 8)); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

// Small images mostly (the detector is slow on big ones), some sizes at and
// over the limits, which are rejected before the buffer is touched.
void sizeFrom(Input& in, int& width, int& height)
{
    switch (in.byte() % 8) {
    case 0:
        width = in.int16() % 640;
        height = in.int16() % 480;
        break; // negative included
    case 1:
        width = MIVORA_FACE_MAX_IMAGE_SIDE + in.byte();
        height = 8;
        break; // too wide
    case 2:
        width = 1 + in.byte() % 4;
        height = 1 + in.byte() % 4;
        break; // tiny
    default: width = 1 + in.byte() % 160; height = 1 + in.byte() % 120;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    for (int step = 0; step < 8 && !in.empty(); ++step) {
        if (in.byte() % 3 != 0) {
            int width = 0, height = 0;
            sizeFrom(in, width, height);
            const int mode = static_cast<int8_t>(in.byte()) % 3; // -2..2: some invalid
            const bool nullPixels = in.byte() % 16 == 0;
            std::vector<unsigned char> pixels;
            const bool valid =
                width > 0 && height > 0 && width <= MIVORA_FACE_MAX_IMAGE_SIDE && height <= MIVORA_FACE_MAX_IMAGE_SIDE;
            if (valid)
                pixels.resize(static_cast<size_t>(width) * height * 3);
            for (unsigned char& p : pixels)
                p = in.byte();
            const int result = MivoraFaceDetectStd(nullPixels ? nullptr : pixels.data(), width, height, mode);
            const bool validCall = valid && !nullPixels && (mode == 0 || mode == 1);
            if (!validCall && result != MIVORA_FACE_ERROR_INVALID_ARGUMENT)
                std::abort();
            if (validCall && result < 0 && result != MIVORA_FACE_ERROR_MODEL_UNAVAILABLE)
                std::abort();
        } else {
            const int faceIndex = static_cast<int8_t>(in.byte()) % 4;
            const bool nullBuffer = in.byte() % 16 == 0;
            std::vector<float> landmarks(MIVORA_FACE_LANDMARK_VALUE_COUNT, 7.0f);
            const int result = MivoraGetFaceLandmark68Std(faceIndex, nullBuffer ? nullptr : landmarks.data());
            if (nullBuffer && result != MIVORA_FACE_ERROR_INVALID_ARGUMENT)
                std::abort();
            if (!nullBuffer && result != MIVORA_FACE_OK)
                for (float value : landmarks)
                    if (value != 0.0f)
                        std::abort(); // an error must leave zeros
            // The box and the id of the same face answer alike.
            MivoraFaceBox box{};
            long long id = 7;
            const int boxResult = MivoraGetFaceBoxStd(faceIndex, nullBuffer ? nullptr : &box);
            const int idResult = MivoraGetFaceIdStd(faceIndex, nullBuffer ? nullptr : &id);
            if (boxResult != result || idResult != result)
                std::abort();
            if (!nullBuffer && (result == MIVORA_FACE_OK) != (id > 0))
                std::abort(); // an id on success, 0 on any error
        }
    }
    return 0;
}
