// SPDX-License-Identifier: MIT
// CnnModel: a small convolutional network (the BlazeFace family of face
// detectors) in our packed form: a list of layers in the order they run, each
// reading and writing numbered tensors of fixed shape, with the weights of all
// layers in one float array, and the detector's anchor layout. The converter
// (tools/mivora_cnn_convert.cpp) writes it from a TensorFlow.js graph model;
// the library reads it with fromPacked(), which checks every field, shape and
// index before anything is used, so a damaged file is refused, never run.
//
// Tensors are batch 1, in height x width x channels order (TensorFlow's NHWC);
// a tensor of rank 3, [1, A, K], is held as 1 x A x K.
#ifndef MIVORA_FACE_CNN_MODEL_H
#define MIVORA_FACE_CNN_MODEL_H

#include "model_file.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mivora {
namespace cnn {

struct Shape {
    std::int32_t height = 0, width = 0, channels = 0;
    std::int64_t size() const { return static_cast<std::int64_t>(height) * width * channels; }
    bool operator==(const Shape& o) const { return height == o.height && width == o.width && channels == o.channels; }
    bool operator!=(const Shape& o) const { return !(*this == o); }
};

enum class LayerKind : std::int32_t {
    Convolution = 1,    // weights [kernelH][kernelW][in channels][out channels], bias per out channel;
                        // a second input, shaped as the output, is added before the activation
    Depthwise = 2,      // weights [kernelH][kernelW][channels], bias per channel
    Add = 3,            // inputs[0] + inputs[1], same shape
    Relu = 4,           // max(0, x)
    MaxPool = 5,        // kernelH x kernelW window, out-of-image taps skipped
    Pad = 6,            // zeros around: padTop/padBottom rows, padLeft/padRight columns, padFront/padBack channels
    Reshape = 7,        // the same values in row-major order, another shape
    Concat = 8,         // along channels, inputs in order
    DepthToSpace = 9,   // blockSize x blockSize pixels from each pixel's channels (TensorFlow's DCR order)
    ResizeBilinear = 10 // half-pixel centres, as TensorFlow's with half_pixel_centers
};

constexpr int kMaxLayerInputs = 4;

struct Layer {
    LayerKind kind = LayerKind::Relu;
    std::int32_t inputCount = 1;
    std::int32_t inputs[kMaxLayerInputs] = {-1, -1, -1, -1};
    std::int32_t output = -1;
    std::int32_t kernelH = 1, kernelW = 1, strideH = 1, strideW = 1;
    std::int32_t padTop = 0, padBottom = 0, padLeft = 0, padRight = 0, padFront = 0, padBack = 0;
    std::int32_t blockSize = 0;
    std::int32_t relu = 0;     // Convolution, Depthwise, Add: max(0, x) after
    std::int64_t weights = -1; // offset into CnnModel::weights, -1: none
    std::int64_t bias = -1;    // offset, -1: none (zero)
};

// A grid of anchors: a score and a box regression per anchor, the anchors of
// a cell consecutive, cells row by row, every anchor centred in its cell.
struct AnchorGrid {
    std::int32_t scoreTensor = -1, scoreChannel = 0; // logit at [0][anchor][scoreChannel]
    std::int32_t boxTensor = -1, boxChannel = 0;     // box and keypoints from [0][anchor][boxChannel]
    std::int32_t stride = 0;                         // input pixels per cell
    std::int32_t anchorsPerCell = 0;
};

struct CnnModel {
    std::vector<Shape> tensors; // tensor 0 is the input
    std::vector<Layer> layers;  // in the order they run
    // Filled by the first video-mode detection: huge pages spare it 500
    // page faults a megabyte.
    std::vector<float, HugePageAllocator<float>> weights;
    std::vector<std::int32_t> outputs;    // tensors the caller reads
    std::vector<std::string> outputNames; // their names in the source graph
    std::vector<AnchorGrid> grids;        // empty for a network that is not a detector
    // The input is RGB, pixel * inputScale + inputOffset.
    float inputScale = 1, inputOffset = 0;
    std::int32_t keypoints = 0; // keypoints per box, after its 4 values (centre x, y, width, height)

    // Requires: a model fromPacked() accepts (the converter checks it so).
    std::vector<unsigned char> pack() const;
    // Requires: nothing; bytes are checked whole first.
    // Throws:   std::invalid_argument naming what is wrong when bytes are not
    //           a packed network of this version, or are inconsistent in any
    //           way a run would trip on (shapes, indices, order, weights).
    static CnnModel fromPacked(const unsigned char* bytes, std::size_t size);
    // fromPacked() on a file, read whole into memory. Throws as fromPacked()
    // does, and std::runtime_error when the file cannot be read.
    static CnnModel load(const std::string& path);
    // Throws std::invalid_argument when the model is inconsistent (what
    // fromPacked() checks after reading).
    void validate() const;
};

} // namespace cnn
} // namespace mivora

#endif
