// SPDX-License-Identifier: MIT
// libFuzzer target: random sequences of detection and landmark calls with
// random sizes, modes, face indices and pixel buffers sized to match, and
// images described by random formats, sizes, strides and planes, each plane
// allocated to exactly the extent described (or a few bytes where that is
// out of reach), so that any read outside a plane is reported.
#include "mivora_face.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
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

// Row bytes and rows of each plane of format, written apart from the
// library's own table; 0 planes for an unknown format.
int planesOf(int format, int width, int height, size_t rowBytes[3], size_t rows[3])
{
    const size_t w = width, h = height, halfW = (w + 1) / 2, halfH = (h + 1) / 2;
    const int bytes[] = {3, 3, 4, 4, 4, 4, 1};
    if (format >= MIVORA_FACE_FORMAT_BGR && format <= MIVORA_FACE_FORMAT_GRAY8) {
        rowBytes[0] = bytes[format] * w, rows[0] = h;
        return 1;
    }
    if (format == MIVORA_FACE_FORMAT_YUYV || format == MIVORA_FACE_FORMAT_UYVY) {
        rowBytes[0] = 4 * halfW, rows[0] = h;
        return 1;
    }
    rowBytes[0] = w, rows[0] = h;
    if (format == MIVORA_FACE_FORMAT_NV12 || format == MIVORA_FACE_FORMAT_NV21) {
        rowBytes[1] = 2 * halfW, rows[1] = halfH;
        return 2;
    }
    if (format == MIVORA_FACE_FORMAT_I420) {
        rowBytes[1] = rowBytes[2] = halfW, rows[1] = rows[2] = halfH;
        return 3;
    }
    return 0;
}

// A random description of an image: mostly valid, padded or not; sometimes
// with an unknown format, a NULL plane, or a stride short, negative or so
// large that the extent overflows. Returns whether it is valid.
bool describedImage(Input& in, MivoraFaceImage& image, std::vector<std::unique_ptr<unsigned char[]>>& planes)
{
    image = MivoraFaceImage{};
    const uint8_t formatByte = in.byte();
    image.format = formatByte < 240 ? formatByte % MIVORA_FACE_FORMAT_COUNT : static_cast<int8_t>(formatByte);
    sizeFrom(in, image.width, image.height);
    bool valid = image.width > 0 && image.height > 0 && image.width <= MIVORA_FACE_MAX_IMAGE_SIDE &&
                 image.height <= MIVORA_FACE_MAX_IMAGE_SIDE;
    size_t rowBytes[3] = {}, rows[3] = {};
    const int count = valid ? planesOf(image.format, image.width, image.height, rowBytes, rows) : 0;
    valid = valid && count > 0;
    for (int i = 0; i < (valid ? count : 3); ++i) {
        const uint8_t kind = in.byte();
        ptrdiff_t stride = static_cast<ptrdiff_t>(rowBytes[i]) + kind % 24;
        bool planeValid = true;
        switch (kind >> 5) {
        case 0: stride = static_cast<ptrdiff_t>(rowBytes[i]) - 1 - kind % 4; break; // short, or negative
        case 1: // the extent overflows, unless the plane has one row (then no stride is stepped)
            stride = rows[i] >= 3 && kind % 2 != 0
                         ? std::numeric_limits<ptrdiff_t>::max() / 2 + 1 + kind % 7
                         : std::numeric_limits<ptrdiff_t>::max() - (rows[i] == 1 ? kind % 5 : 0);
            planeValid = rows[i] == 1;
            break;
        default: break;
        }
        image.strides[i] = stride;
        planeValid = planeValid && stride >= 0 && static_cast<size_t>(stride) >= rowBytes[i];
        const bool nullPlane = in.byte() % 32 == 0;
        const size_t allocated =
            planeValid && rows[i] > 0 ? static_cast<size_t>(stride) * (rows[i] - 1) + rowBytes[i] : 16;
        valid = valid && planeValid && !nullPlane;
        planes.emplace_back(new unsigned char[allocated]);
        for (size_t b = 0; b < allocated; b += 61)
            planes.back()[b] = in.byte();
        image.planes[i] = nullPlane ? nullptr : planes.back().get();
    }
    return valid;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    std::unique_ptr<MivoraFaceTracker, decltype(&MivoraFaceTrackerDestroy)> tracker(nullptr, MivoraFaceTrackerDestroy);
    for (int step = 0; step < 8 && !in.empty(); ++step) {
        const uint8_t action = in.byte();
        if (action % 4 == 3) {
            MivoraFaceImage image;
            std::vector<std::unique_ptr<unsigned char[]>> planes;
            const bool valid = describedImage(in, image, planes);
            const uint8_t how = in.byte();
            const int mode = how % 2;
            if (how & 2 && !tracker)
                tracker.reset(MivoraFaceTrackerCreate());
            if (how & 4) {
                // Settings, valid or not, before the detection.
                const int size = static_cast<int8_t>(in.byte()) * 3;
                const float threshold = (static_cast<float>(in.byte()) - 10.0f) / 220.0f; // some <= 0, some >= 1
                const int sizeResult =
                    how & 2 ? MivoraFaceTrackerSetMinFaceSize(tracker.get(), size) : MivoraFaceSetMinFaceSizeStd(size);
                const int thresholdResult = how & 2 ? MivoraFaceTrackerSetScoreThreshold(tracker.get(), threshold)
                                                    : MivoraFaceSetScoreThresholdStd(threshold);
                if (sizeResult != (size >= 1 ? MIVORA_FACE_OK : MIVORA_FACE_ERROR_INVALID_ARGUMENT) ||
                    thresholdResult !=
                        (threshold > 0 && threshold < 1 ? MIVORA_FACE_OK : MIVORA_FACE_ERROR_INVALID_ARGUMENT))
                    std::abort();
            }
            const int result = how & 2 ? MivoraFaceTrackerDetectImage(tracker.get(), &image, mode)
                                       : MivoraFaceDetectImage(&image, mode);
            if (!valid && result != MIVORA_FACE_ERROR_INVALID_ARGUMENT)
                std::abort();
            if (valid && result < 0 && result != MIVORA_FACE_ERROR_MODEL_UNAVAILABLE)
                std::abort();
            continue;
        }
        if (action % 3 != 0) {
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
