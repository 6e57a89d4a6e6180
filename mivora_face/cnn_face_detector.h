// SPDX-License-Identifier: MIT
// CnnFaceDetector: faces found by a BlazeFace-family network (CnnModel with
// anchor grids). The image is fitted whole into the network's square input
// (shrunk by area averaging, enlarged bilinearly, the rest black), each anchor
// whose score passes the threshold gives a box and keypoints, and overlapping
// boxes are merged as MediaPipe merges them: a cluster of boxes overlapping
// the strongest becomes their score-weighted mean.
#ifndef MIVORA_FACE_CNN_FACE_DETECTOR_H
#define MIVORA_FACE_CNN_FACE_DETECTOR_H

#include "cnn_model.h"
#include "cnn_network.h"
#include "gray_image.h"
#include "model_file.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace mivora {

// The network's keypoints, in its order: the eyes (the subject's right, then
// left), the nose tip, the mouth's centre, the ears (right, then left).
constexpr int kCnnKeypoints = 6;

struct CnnFace {
    float centreX = 0, centreY = 0, width = 0, height = 0; // box, image pixels
    float score = 0;                                       // 0 .. 1
    std::array<float, 2 * kCnnKeypoints> keypoints{};      // x, y pairs, image pixels
};

// Intersection over union of two faces' boxes.
float boxOverlap(const CnnFace& a, const CnnFace& b);

// MediaPipe's weighted non-maximum suppression: strongest first, each face
// with the faces overlapping it by more than minOverlap (intersection over
// union) merged into their score-weighted mean, keeping the strongest score.
std::vector<CnnFace> mergeOverlapping(std::vector<CnnFace> faces, float minOverlap);

class CnnFaceDetector {
public:
    // Requires: model has anchor grids and kCnnKeypoints keypoints;
    //           instructions supported.
    // Throws:   std::invalid_argument otherwise.
    explicit CnnFaceDetector(const cnn::CnnModel& model, cnn::Instructions instructions = cnn::Instructions::Best);

    // A part of an image, in image pixels; it may reach beyond the image,
    // where the network sees black.
    struct Region {
        float x = 0, y = 0, width = 0, height = 0;
    };

    // Faces in an image (colour, or gray read as equal red, green and blue)
    // with a score of at least minScore, strongest first, in image pixels.
    std::vector<CnnFace> detect(const ImageView& image, float minScore);
    // The same in one region: the region is fitted into the network's input
    // (centred, its aspect kept; the image around it fills the rest).
    std::vector<CnnFace> detect(const ImageView& image, const Region& region, float minScore);
    // The same for a BGR image whose rows are `stride` bytes apart.
    std::vector<CnnFace> detect(const std::uint8_t* bgr, int width, int height, std::ptrdiff_t stride, float minScore);
    std::vector<CnnFace> detect(const std::uint8_t* bgr, int width, int height, std::ptrdiff_t stride,
                                const Region& region, float minScore);

    // The same spread over two calls: begin() reads the region and runs the
    // first `share` of the network's work, finish() the rest, giving what
    // detect() would have given for that image. Requires: no other
    // detection on this detector between the two.
    void begin(const ImageView& image, const Region& region, double share);
    std::vector<CnnFace> finish(float minScore);

    // Gives back the buffer a very large image needed (the rows resampled).
    void releaseMemory()
    {
        if (scratch_.rows)
            ResampledRows().swap(*scratch_.rows);
    }
    // Makes this detector and other, which are never run at once (one
    // caller's), use one buffer for the resampled rows: it takes a huge page.
    void shareScratchWith(CnnFaceDetector& other);

    int inputWidth() const { return input_.width; }
    int inputHeight() const { return input_.height; }
    const char* instructionSet() const { return network_.instructionSet(); }
    // The network's layers, those a share of its work takes, and those run
    // so far (cnn_network.h).
    int layerCount() const { return network_.layerCount(); }
    int layerAfterShare(double share) const { return network_.layerAfterShare(share); }
    long long layersRun() const { return network_.layersRun(); }

private:
    // For each output pixel along one axis: the source pixels it averages.
    struct Taps {
        std::vector<int> first, count;
        std::vector<float> weights; // count[i] weights from offset[i]
        std::vector<int> offset;
    };
    void prepareTaps(int width, int height, const Region& region);
    void fillInput(const ImageView& image, const Region& region);
    std::vector<CnnFace> decode(float minScore) const;

    cnn::CnnNetwork network_;
    cnn::Shape input_;
    // The layer finish() starts at; -1: nothing begun. A copy has begun
    // nothing (its network has a buffer of its own).
    struct ResumeLayer {
        int layer = -1;
        ResumeLayer() = default;
        ResumeLayer(const ResumeLayer&) {}
        ResumeLayer& operator=(const ResumeLayer&)
        {
            layer = -1;
            return *this;
        }
    };
    ResumeLayer resume_;
    int tapsWidth_ = 0, tapsHeight_ = 0;
    Region tapsRegion_;
    float scale_ = 1, offsetX_ = 0, offsetY_ = 0; // input pixel = image pixel * scale_ + offset
    Taps columns_, rows_;
    // Image rows resampled across: height x input width x 3. In a huge page:
    // the first pass would otherwise fault in hundreds of small pages. A copy
    // of a detector makes its own on its first run.
    using ResampledRows = std::vector<float, HugePageAllocator<float>>;
    struct Scratch {
        std::shared_ptr<ResampledRows> rows;
        Scratch() = default;
        Scratch(const Scratch&) {}
        Scratch(Scratch&&) = default;
        Scratch& operator=(const Scratch&)
        {
            rows.reset();
            return *this;
        }
        Scratch& operator=(Scratch&&) = default;
    };
    Scratch scratch_;
    ResampledRows& resampledRows(); // made on first use
};

} // namespace mivora

#endif
