// SPDX-License-Identifier: MIT
// CnnNetwork: runs a CnnModel on one input. The model's weights are laid out
// once for the kernels (output channels padded to whole vectors) and shared
// by every copy; each copy has its own tensors, in one buffer whose parts are
// reused as soon as the tensors they held are no longer read.
#ifndef MIVORA_FACE_CNN_NETWORK_H
#define MIVORA_FACE_CNN_NETWORK_H

#include "cnn_kernels.h"
#include "cnn_model.h"
#include "model_file.h"

#include <memory>
#include <vector>

namespace mivora {
namespace cnn {

class CnnNetwork {
public:
    // Requires: model valid (as CnnModel::fromPacked() gives it);
    //           instructions supported().
    // Throws:   std::invalid_argument otherwise.
    explicit CnnNetwork(const CnnModel& model, Instructions instructions = Instructions::Best);
    // A copy shares the prepared weights (never changed) and has its own
    // buffer, made by its first run: one per thread or camera.
    CnnNetwork(const CnnNetwork& other) : prepared_(other.prepared_), kernels_(other.kernels_) {}
    CnnNetwork& operator=(const CnnNetwork&) = delete;

    const CnnModel& model() const;
    const char* instructionSet() const { return kernels_->name; }

    // The input tensor to fill before run(): pixel (y, x) at
    // input() + (y * width + x) * inputPixelStride(), channels R, G, B,
    // already scaled (pixel * inputScale + inputOffset). The floats after the
    // three channels must stay zero.
    float* input();
    int inputPixelStride() const;
    void run() { run(0, layerCount()); }
    // Layers first .. end - 1 only: a run spread over calls, in order, with
    // no other run of this copy between them.
    void run(int first, int end);
    int layerCount() const;
    // The first layer after `share` (0 .. 1) of the network's multiply-adds.
    int layerAfterShare(double share) const;
    // Layers run by this copy so far: what a caller's frame paid for.
    long long layersRun() const { return layersRun_; }
    // Output i (as the model lists them) of the last run, its values in
    // row-major order.
    std::vector<float> output(int i) const;
    // Element (y, x, c) of a tensor of the last run; valid while its part of
    // the buffer is not reused, which for the model's outputs is until the
    // next run.
    float at(int tensor, int y, int x, int c) const;

    struct Prepared; // the model laid out for the kernels, and its memory plan

private:
    std::shared_ptr<const Prepared> prepared_;
    const Kernels* kernels_;
    float* arena() const;
    mutable std::unique_ptr<PrivateBytes> arena_; // every tensor's values; made when first used
    long long layersRun_ = 0;
    TensorRef tensor(int index);
    const float* tensorData(int index) const;
};

} // namespace cnn
} // namespace mivora

#endif
