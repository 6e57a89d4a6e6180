// SPDX-License-Identifier: MIT
#include "cnn_network.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace mivora {
namespace cnn {

struct CnnNetwork::Prepared {
    CnnModel model;      // without its weights, which live on in their layout
    PrivateBytes memory; // the weights laid out for the kernels
    const float* weights = nullptr;
    std::vector<std::ptrdiff_t> layerWeights, layerBias; // offsets into weights
    std::vector<double> workBefore;   // multiply-adds of the layers before each, and of all at the end
    std::vector<std::size_t> offsets; // per tensor, into the buffer
    std::size_t bufferSize = 0;
};

namespace {

constexpr std::size_t kAlignFloats = 16;

std::size_t tensorFloats(const Shape& s)
{
    return static_cast<std::size_t>(s.height) * s.width * paddedChannels(s.channels);
}

// Each tensor's place in one buffer: a part is taken back as soon as the last
// layer reading its tensor has run, and given to a later tensor it fits.
void planMemory(CnnNetwork::Prepared& p)
{
    const CnnModel& m = p.model;
    const std::size_t count = m.tensors.size();
    std::vector<std::ptrdiff_t> lastRead(count, -1);
    for (std::size_t i = 0; i < m.layers.size(); ++i)
        for (int k = 0; k < m.layers[i].inputCount; ++k)
            lastRead[m.layers[i].inputs[k]] = static_cast<std::ptrdiff_t>(i);
    for (std::int32_t t : m.outputs)
        lastRead[t] = std::numeric_limits<std::ptrdiff_t>::max();
    for (const AnchorGrid& g : m.grids)
        lastRead[g.scoreTensor] = lastRead[g.boxTensor] = std::numeric_limits<std::ptrdiff_t>::max();

    struct Part {
        std::size_t offset, size;
    };
    std::vector<Part> parts, free;
    p.offsets.assign(count, 0);
    std::vector<int> partOf(count, -1);
    const auto take = [&](std::size_t tensor) {
        const std::size_t need = (tensorFloats(m.tensors[tensor]) + kAlignFloats - 1) / kAlignFloats * kAlignFloats;
        auto best = free.end();
        for (auto it = free.begin(); it != free.end(); ++it)
            if (it->size >= need && (best == free.end() || it->size < best->size))
                best = it;
        Part part;
        if (best != free.end()) {
            part = *best;
            free.erase(best);
        } else {
            part = {p.bufferSize, need};
            p.bufferSize += need;
        }
        parts.push_back(part);
        partOf[tensor] = static_cast<int>(parts.size() - 1);
        p.offsets[tensor] = part.offset;
    };
    take(0);
    for (std::size_t i = 0; i < m.layers.size(); ++i) {
        const Layer& l = m.layers[i];
        take(static_cast<std::size_t>(l.output));
        for (int k = 0; k < l.inputCount; ++k) {
            const std::int32_t t = l.inputs[k];
            if (lastRead[t] == static_cast<std::ptrdiff_t>(i) && partOf[t] >= 0) {
                free.push_back(parts[partOf[t]]);
                partOf[t] = -1;
            }
        }
    }
}

} // namespace

CnnNetwork::CnnNetwork(const CnnModel& model, Instructions instructions) : kernels_(&kernelsFor(instructions))
{
    model.validate();
    auto p = std::make_shared<Prepared>();
    // Everything but the weights (fields listed: a copy of the weights
    // would only be thrown away).
    CnnModel& m = p->model;
    m.tensors = model.tensors;
    m.layers = model.layers;
    m.outputs = model.outputs;
    m.outputNames = model.outputNames;
    m.grids = model.grids;
    m.inputScale = model.inputScale;
    m.inputOffset = model.inputOffset;
    m.keypoints = model.keypoints;
    p->layerWeights.assign(m.layers.size(), -1);
    p->layerBias.assign(m.layers.size(), -1);
    p->workBefore.assign(1, 0.0);
    // Each convolution's weights as rows of whole channel vectors, its bias
    // after them: first where each goes, then one allocation, then the copy.
    // A layer's work is its output values times the taps each reads.
    std::size_t total = 0;
    for (std::size_t i = 0; i < m.layers.size(); ++i) {
        const Layer& l = m.layers[i];
        const Shape& in = m.tensors[l.inputs[0]];
        const Shape& out = m.tensors[l.output];
        const bool window = l.kind == LayerKind::Convolution || l.kind == LayerKind::Depthwise;
        const std::size_t rows = !window                            ? 1
                                 : l.kind == LayerKind::Convolution ? l.kernelH * l.kernelW * in.channels
                                                                    : l.kernelH * l.kernelW;
        p->workBefore.push_back(p->workBefore.back() + static_cast<double>(out.size()) * rows);
        if (!window)
            continue;
        const std::size_t stride = paddedChannels(out.channels);
        p->layerWeights[i] = static_cast<std::ptrdiff_t>(total);
        total += rows * stride;
        p->layerBias[i] = static_cast<std::ptrdiff_t>(total);
        total += stride;
    }
    if (!p->memory.allocate(std::max<std::size_t>(1, total) * sizeof(float)))
        throw std::bad_alloc();
    auto* weights = reinterpret_cast<float*>(p->memory.data());
    for (std::size_t i = 0; i < m.layers.size(); ++i) {
        const Layer& l = m.layers[i];
        if (p->layerWeights[i] < 0)
            continue;
        const Shape& in = m.tensors[l.inputs[0]];
        const Shape& out = m.tensors[l.output];
        const int stride = paddedChannels(out.channels);
        const int rows = l.kind == LayerKind::Convolution ? l.kernelH * l.kernelW * in.channels : l.kernelH * l.kernelW;
        const int columns = l.kind == LayerKind::Convolution ? out.channels : in.channels;
        for (int r = 0; r < rows; ++r)
            std::copy_n(model.weights.begin() + l.weights + static_cast<std::ptrdiff_t>(r) * columns, columns,
                        weights + p->layerWeights[i] + static_cast<std::ptrdiff_t>(r) * stride);
        if (l.bias >= 0)
            std::copy_n(model.weights.begin() + l.bias, out.channels, weights + p->layerBias[i]);
    }
    p->weights = weights;
    planMemory(*p);
    prepared_ = std::move(p);
}

float* CnnNetwork::arena() const
{
    // Made by the first run, so that a network only copied (the library's
    // shared one) holds no buffer; in huge pages where the kernel has them,
    // zero-filled.
    if (!arena_) {
        auto arena = std::make_unique<PrivateBytes>();
        if (!arena->allocate(std::max<std::size_t>(1, prepared_->bufferSize) * sizeof(float)))
            throw std::bad_alloc();
        arena_ = std::move(arena);
    }
    return reinterpret_cast<float*>(arena_->data());
}

const CnnModel& CnnNetwork::model() const { return prepared_->model; }

TensorRef CnnNetwork::tensor(int index)
{
    const Shape& s = prepared_->model.tensors[static_cast<std::size_t>(index)];
    return {arena() + prepared_->offsets[static_cast<std::size_t>(index)], s.height, s.width, s.channels,
            paddedChannels(s.channels)};
}

const float* CnnNetwork::tensorData(int index) const
{
    return arena() + prepared_->offsets[static_cast<std::size_t>(index)];
}

float* CnnNetwork::input() { return tensor(0).data; }
int CnnNetwork::inputPixelStride() const { return paddedChannels(prepared_->model.tensors[0].channels); }

float CnnNetwork::at(int index, int y, int x, int c) const
{
    const Shape& s = prepared_->model.tensors[static_cast<std::size_t>(index)];
    return tensorData(index)[(static_cast<std::size_t>(y) * s.width + x) * paddedChannels(s.channels) + c];
}

std::vector<float> CnnNetwork::output(int i) const
{
    const int index = prepared_->model.outputs.at(static_cast<std::size_t>(i));
    const Shape& s = prepared_->model.tensors[static_cast<std::size_t>(index)];
    std::vector<float> values;
    values.reserve(static_cast<std::size_t>(s.size()));
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            for (int c = 0; c < s.channels; ++c)
                values.push_back(at(index, y, x, c));
    return values;
}

namespace {

// Calls f(y, x, c, value) for every element of t in row-major order.
template <typename F> void forEachElement(const TensorRef& t, F f)
{
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width; ++x) {
            const float* pixel = t.data + (static_cast<std::size_t>(y) * t.width + x) * t.pixelStride;
            for (int c = 0; c < t.channels; ++c)
                f(y, x, c, pixel[c]);
        }
}

float* pixelOf(const TensorRef& t, int y, int x)
{
    return t.data + (static_cast<std::size_t>(y) * t.width + x) * t.pixelStride;
}

void clearPadding(const TensorRef& t)
{
    if (t.pixelStride == t.channels)
        return;
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width; ++x)
            std::fill(pixelOf(t, y, x) + t.channels, pixelOf(t, y, x) + t.pixelStride, 0.0f);
}

void maxPool(const TensorRef& in, const TensorRef& out, const Layer& l)
{
    for (int oy = 0; oy < out.height; ++oy)
        for (int ox = 0; ox < out.width; ++ox) {
            float* o = pixelOf(out, oy, ox);
            std::fill(o, o + out.pixelStride, -std::numeric_limits<float>::infinity());
            for (int ky = 0; ky < l.kernelH; ++ky) {
                const int iy = oy * l.strideH - l.padTop + ky;
                for (int kx = 0; kx < l.kernelW; ++kx) {
                    const int ix = ox * l.strideW - l.padLeft + kx;
                    if (iy < 0 || iy >= in.height || ix < 0 || ix >= in.width)
                        continue;
                    const float* i = pixelOf(in, iy, ix);
                    for (int c = 0; c < out.pixelStride; ++c)
                        o[c] = std::max(o[c], i[c]);
                }
            }
        }
}

void pad(const TensorRef& in, const TensorRef& out, const Layer& l)
{
    std::fill(out.data, out.data + static_cast<std::size_t>(out.height) * out.width * out.pixelStride, 0.0f);
    for (int y = 0; y < in.height; ++y)
        for (int x = 0; x < in.width; ++x)
            std::copy_n(pixelOf(in, y, x), in.channels, pixelOf(out, y + l.padTop, x + l.padLeft) + l.padFront);
}

void reshape(const TensorRef& in, const TensorRef& out)
{
    std::size_t i = 0;
    const std::size_t perRow = static_cast<std::size_t>(out.channels);
    forEachElement(in, [&](int, int, int, float v) {
        const std::size_t pixel = i / perRow, c = i % perRow;
        out.data[pixel * out.pixelStride + c] = v;
        ++i;
    });
    clearPadding(out);
}

void concat(const std::vector<TensorRef>& ins, const TensorRef& out)
{
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            float* o = pixelOf(out, y, x);
            for (const TensorRef& in : ins) {
                o = std::copy_n(pixelOf(in, y, x), in.channels, o);
            }
        }
    clearPadding(out);
}

void depthToSpace(const TensorRef& in, const TensorRef& out, int block)
{
    for (int y = 0; y < in.height; ++y)
        for (int x = 0; x < in.width; ++x)
            for (int dy = 0; dy < block; ++dy)
                for (int dx = 0; dx < block; ++dx)
                    std::copy_n(pixelOf(in, y, x) + (dy * block + dx) * out.channels, out.channels,
                                pixelOf(out, y * block + dy, x * block + dx));
    clearPadding(out);
}

// TensorFlow's bilinear resize with half-pixel centres.
void resizeBilinear(const TensorRef& in, const TensorRef& out)
{
    const float scaleY = static_cast<float>(in.height) / out.height;
    const float scaleX = static_cast<float>(in.width) / out.width;
    for (int oy = 0; oy < out.height; ++oy) {
        const float sy = (oy + 0.5f) * scaleY - 0.5f;
        const int y0 = std::max(0, static_cast<int>(std::floor(sy)));
        const int y1 = std::min(in.height - 1, static_cast<int>(std::ceil(sy)));
        const float fy = sy - static_cast<float>(y0);
        for (int ox = 0; ox < out.width; ++ox) {
            const float sx = (ox + 0.5f) * scaleX - 0.5f;
            const int x0 = std::max(0, static_cast<int>(std::floor(sx)));
            const int x1 = std::min(in.width - 1, static_cast<int>(std::ceil(sx)));
            const float fx = sx - static_cast<float>(x0);
            const float *a = pixelOf(in, y0, x0), *b = pixelOf(in, y0, x1);
            const float *c = pixelOf(in, y1, x0), *d = pixelOf(in, y1, x1);
            float* o = pixelOf(out, oy, ox);
            for (int k = 0; k < out.pixelStride; ++k) {
                const float top = a[k] + (b[k] - a[k]) * fx;
                const float bottom = c[k] + (d[k] - c[k]) * fx;
                o[k] = top + (bottom - top) * fy;
            }
        }
    }
}

} // namespace

int CnnNetwork::layerCount() const { return static_cast<int>(prepared_->model.layers.size()); }

int CnnNetwork::layerAfterShare(double share) const
{
    const std::vector<double>& before = prepared_->workBefore;
    const auto after = std::lower_bound(before.begin(), before.end(), share * before.back());
    return std::min(static_cast<int>(after - before.begin()), layerCount());
}

void CnnNetwork::run(int first, int end)
{
    const Prepared& p = *prepared_;
    first = std::max(first, 0);
    end = std::min(end, layerCount());
    layersRun_ += std::max(0, end - first);
    for (std::size_t i = static_cast<std::size_t>(first); i < static_cast<std::size_t>(std::max(first, end)); ++i) {
        const Layer& l = p.model.layers[i];
        const TensorRef in = tensor(l.inputs[0]);
        const TensorRef out = tensor(l.output);
        switch (l.kind) {
        case LayerKind::Convolution:
        case LayerKind::Depthwise: {
            const WindowArgs args{in,
                                  out,
                                  l.kernelH,
                                  l.kernelW,
                                  l.strideH,
                                  l.strideW,
                                  l.padTop,
                                  l.padLeft,
                                  p.weights + p.layerWeights[i],
                                  p.weights + p.layerBias[i],
                                  l.inputCount == 2 ? tensor(l.inputs[1]).data : nullptr,
                                  l.relu != 0};
            if (l.kind == LayerKind::Depthwise)
                kernels_->depthwise(args);
            else if (l.kernelH == 1 && l.kernelW == 1 && l.strideH == 1 && l.strideW == 1 && l.padTop == 0 &&
                     l.padLeft == 0)
                kernels_->pointwise(args);
            else
                kernels_->convolution(args);
            break;
        }
        case LayerKind::Add:
            kernels_->add(in.data, tensor(l.inputs[1]).data, out.data,
                          static_cast<std::size_t>(out.height) * out.width * out.pixelStride, l.relu != 0);
            break;
        case LayerKind::Relu: {
            const std::size_t n = static_cast<std::size_t>(out.height) * out.width * out.pixelStride;
            for (std::size_t k = 0; k < n; ++k)
                out.data[k] = std::max(in.data[k], 0.0f);
            break;
        }
        case LayerKind::MaxPool: maxPool(in, out, l); break;
        case LayerKind::Pad: pad(in, out, l); break;
        case LayerKind::Reshape: reshape(in, out); break;
        case LayerKind::Concat: {
            std::vector<TensorRef> ins;
            for (int k = 0; k < l.inputCount; ++k)
                ins.push_back(tensor(l.inputs[k]));
            concat(ins, out);
            break;
        }
        case LayerKind::DepthToSpace: depthToSpace(in, out, l.blockSize); break;
        case LayerKind::ResizeBilinear: resizeBilinear(in, out); break;
        }
    }
}

} // namespace cnn
} // namespace mivora
