// SPDX-License-Identifier: MIT
#include "cnn_model.h"

#include "model_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

namespace mivora {
namespace cnn {
namespace {

constexpr char kMagic[8] = {'M', 'I', 'V', 'O', 'R', 'A', 'C', 'N'};
constexpr std::uint32_t kVersion = 2; // 2: the word-wise checksum
constexpr std::size_t kMaxFileSize = 64u << 20;
constexpr std::int32_t kMaxSide = 16384;
constexpr std::int64_t kMaxTensorSize = std::int64_t(1) << 26;
constexpr std::int32_t kMaxKernel = 16, kMaxStride = 8, kMaxBlock = 8, kMaxKeypoints = 16;

// FNV-1a over 8-byte words in four interleaved lanes, then over the lanes
// and the last bytes: every changed byte changes the sum, and the lanes'
// multiplies run side by side (a byte at a time took 3 ms of a first
// detection for the full-range network).
std::uint64_t wordChecksum(const unsigned char* bytes, std::size_t size)
{
    constexpr std::uint64_t kOffset = 14695981039346656037ull, kPrime = 1099511628211ull;
    constexpr std::size_t kLanes = 4;
    std::uint64_t lanes[kLanes] = {kOffset, kOffset + 1, kOffset + 2, kOffset + 3};
    std::size_t i = 0;
    for (; i + kLanes * 8 <= size; i += kLanes * 8) {
        for (std::size_t k = 0; k < kLanes; ++k) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i + 8 * k, 8);
            lanes[k] = (lanes[k] ^ word) * kPrime;
        }
    }
    std::uint64_t hash = kOffset;
    for (const std::uint64_t lane : lanes)
        hash = (hash ^ lane) * kPrime;
    for (; i < size; ++i)
        hash = (hash ^ bytes[i]) * kPrime;
    return hash;
}

class Writer {
public:
    template <typename T> void put(T value)
    {
        const auto* p = reinterpret_cast<const unsigned char*>(&value);
        bytes.insert(bytes.end(), p, p + sizeof value);
    }
    std::vector<unsigned char> bytes;
};

class Reader {
public:
    Reader(const unsigned char* bytes, std::size_t size) : at_(bytes), end_(bytes + size) {}
    template <typename T> T get()
    {
        T value;
        need(sizeof value);
        std::memcpy(&value, at_, sizeof value);
        at_ += sizeof value;
        return value;
    }
    // A count of items of itemSize bytes each that the rest of the bytes can hold.
    std::size_t count(std::uint64_t n, std::size_t itemSize)
    {
        if (n > static_cast<std::uint64_t>(end_ - at_) / itemSize)
            throw std::invalid_argument("corrupt packed network: a count beyond the file's end");
        return static_cast<std::size_t>(n);
    }
    std::string string()
    {
        const std::size_t n = count(get<std::uint32_t>(), 1);
        std::string s(reinterpret_cast<const char*>(at_), n);
        at_ += n;
        return s;
    }
    template <typename Floats> void floats(Floats& out, std::size_t n)
    {
        need(n * sizeof(float));
        out.resize(n);
        std::memcpy(out.data(), at_, n * sizeof(float));
        at_ += n * sizeof(float);
    }
    bool atEnd() const { return at_ == end_; }

private:
    void need(std::size_t n) const
    {
        if (static_cast<std::size_t>(end_ - at_) < n)
            throw std::invalid_argument("corrupt packed network: too short");
    }
    const unsigned char* at_;
    const unsigned char* end_;
};

[[noreturn]] void fail(const std::string& what) { throw std::invalid_argument("inconsistent network: " + what); }

std::string layerName(std::size_t index) { return "layer " + std::to_string(index); }

// Rows (or columns) a window of `kernel` taps at `stride` gives over `in`
// padded by `before` and `after`; -1 when the window does not fit.
std::int64_t windowOutput(std::int64_t in, std::int64_t before, std::int64_t after, std::int64_t kernel,
                          std::int64_t stride)
{
    const std::int64_t span = in + before + after - kernel;
    return span < 0 ? -1 : span / stride + 1;
}

void checkWeights(const CnnModel& m, std::int64_t offset, std::int64_t count, bool optional, const std::string& who)
{
    if (offset == -1 && optional)
        return;
    if (offset < 0 || count < 0 || offset > static_cast<std::int64_t>(m.weights.size()) ||
        count > static_cast<std::int64_t>(m.weights.size()) - offset)
        fail(who + ": weights outside the weight array");
}

void checkWindow(const Layer& l, const Shape& in, const Shape& out, const std::string& who)
{
    if (l.kernelH < 1 || l.kernelH > kMaxKernel || l.kernelW < 1 || l.kernelW > kMaxKernel || l.strideH < 1 ||
        l.strideH > kMaxStride || l.strideW < 1 || l.strideW > kMaxStride || l.padTop < 0 || l.padBottom < 0 ||
        l.padLeft < 0 || l.padRight < 0 || l.padTop >= l.kernelH || l.padBottom >= l.kernelH ||
        l.padLeft >= l.kernelW || l.padRight >= l.kernelW)
        fail(who + ": kernel, stride or padding out of range");
    if (windowOutput(in.height, l.padTop, l.padBottom, l.kernelH, l.strideH) != out.height ||
        windowOutput(in.width, l.padLeft, l.padRight, l.kernelW, l.strideW) != out.width)
        fail(who + ": output size does not follow from the input, kernel, stride and padding");
}

} // namespace

void CnnModel::validate() const
{
    if (tensors.empty() || tensors.size() > 100000 || layers.size() > 100000)
        fail("no tensors, or too many");
    for (const Shape& s : tensors)
        if (s.height < 1 || s.height > kMaxSide || s.width < 1 || s.width > kMaxSide || s.channels < 1 ||
            s.channels > kMaxSide || s.size() > kMaxTensorSize)
            fail("a tensor shape out of range");
    if (tensors[0].channels != 3)
        fail("the input is not a three-channel image");
    if (!std::isfinite(inputScale) || inputScale == 0 || !std::isfinite(inputOffset))
        fail("input scaling not finite");
    if (!std::all_of(weights.begin(), weights.end(), [](float w) { return std::isfinite(w); }))
        fail("a weight that is not finite");

    const auto tensorCount = static_cast<std::int32_t>(tensors.size());
    std::vector<bool> written(tensors.size(), false);
    written[0] = true;
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const Layer& l = layers[i];
        const std::string who = layerName(i);
        const int expectedInputs = l.kind == LayerKind::Add                                          ? 2
                                   : l.kind == LayerKind::Concat || l.kind == LayerKind::Convolution ? -1
                                                                                                     : 1;
        if (l.inputCount < 1 || l.inputCount > kMaxLayerInputs ||
            (expectedInputs > 0 && l.inputCount != expectedInputs))
            fail(who + ": wrong number of inputs");
        for (int k = 0; k < l.inputCount; ++k)
            if (l.inputs[k] < 0 || l.inputs[k] >= tensorCount || !written[l.inputs[k]])
                fail(who + ": reads a tensor no earlier layer wrote");
        if (l.output <= 0 || l.output >= tensorCount || written[l.output])
            fail(who + ": writes the input or a tensor already written");
        if (l.relu != 0 && l.relu != 1)
            fail(who + ": activation flag out of range");
        written[l.output] = true;
        const Shape& in = tensors[l.inputs[0]];
        const Shape& out = tensors[l.output];
        switch (l.kind) {
        case LayerKind::Convolution:
            if (l.inputCount > 2 || (l.inputCount == 2 && tensors[l.inputs[1]] != out))
                fail(who + ": the sum added to a convolution is not shaped as its output");
            checkWindow(l, in, out, who);
            checkWeights(*this, l.weights, std::int64_t(l.kernelH) * l.kernelW * in.channels * out.channels, false,
                         who);
            checkWeights(*this, l.bias, out.channels, true, who);
            break;
        case LayerKind::Depthwise:
            checkWindow(l, in, out, who);
            if (in.channels != out.channels)
                fail(who + ": depthwise layer changes the channel count");
            checkWeights(*this, l.weights, std::int64_t(l.kernelH) * l.kernelW * in.channels, false, who);
            checkWeights(*this, l.bias, out.channels, true, who);
            break;
        case LayerKind::MaxPool:
            checkWindow(l, in, out, who);
            if (in.channels != out.channels)
                fail(who + ": pooling changes the channel count");
            break;
        case LayerKind::Add:
            if (tensors[l.inputs[1]] != in || out != in)
                fail(who + ": adds tensors of different shapes");
            break;
        case LayerKind::Relu:
            if (out != in)
                fail(who + ": changes the shape");
            break;
        case LayerKind::Pad:
            if (std::min({l.padTop, l.padBottom, l.padLeft, l.padRight, l.padFront, l.padBack}) < 0 ||
                std::int64_t(in.height) + l.padTop + l.padBottom != out.height ||
                std::int64_t(in.width) + l.padLeft + l.padRight != out.width ||
                std::int64_t(in.channels) + l.padFront + l.padBack != out.channels)
                fail(who + ": padding does not give the output's shape");
            break;
        case LayerKind::Reshape:
            if (in.size() != out.size())
                fail(who + ": reshape changes the element count");
            break;
        case LayerKind::Concat: {
            std::int64_t channels = 0;
            for (int k = 0; k < l.inputCount; ++k) {
                const Shape& s = tensors[l.inputs[k]];
                if (s.height != out.height || s.width != out.width)
                    fail(who + ": concatenates tensors of different sizes");
                channels += s.channels;
            }
            if (channels != out.channels)
                fail(who + ": channels do not add up");
            break;
        }
        case LayerKind::DepthToSpace: {
            const std::int64_t b = l.blockSize;
            if (b < 2 || b > kMaxBlock || in.channels % (b * b) != 0 || out.height != in.height * b ||
                out.width != in.width * b || out.channels != in.channels / (b * b))
                fail(who + ": block size does not give the output's shape");
            break;
        }
        case LayerKind::ResizeBilinear:
            if (in.channels != out.channels)
                fail(who + ": resizing changes the channel count");
            break;
        default: fail(who + ": unknown layer kind " + std::to_string(static_cast<int>(l.kind)));
        }
    }

    if (outputs.empty() || outputs.size() != outputNames.size())
        fail("outputs and their names do not match");
    for (std::int32_t t : outputs)
        if (t < 0 || t >= tensorCount || !written[t])
            fail("an output no layer writes");
    if (keypoints < 0 || keypoints > kMaxKeypoints)
        fail("keypoint count out of range");
    for (const AnchorGrid& g : grids) {
        if (g.scoreTensor < 0 || g.scoreTensor >= tensorCount || g.boxTensor < 0 || g.boxTensor >= tensorCount ||
            !written[g.scoreTensor] || !written[g.boxTensor] || g.stride < 1 || g.anchorsPerCell < 1 ||
            g.anchorsPerCell > 64 || tensors[0].height % g.stride != 0 || tensors[0].width % g.stride != 0)
            fail("an anchor grid out of range");
        const std::int64_t anchors =
            std::int64_t(tensors[0].height / g.stride) * (tensors[0].width / g.stride) * g.anchorsPerCell;
        const Shape& score = tensors[g.scoreTensor];
        const Shape& box = tensors[g.boxTensor];
        if (score.height != 1 || score.width != anchors || box.height != 1 || box.width != anchors ||
            g.scoreChannel < 0 || g.scoreChannel >= score.channels || g.boxChannel < 0 ||
            g.boxChannel + 4 + 2 * std::int64_t(keypoints) > box.channels)
            fail("an anchor grid does not match its tensors");
    }
}

std::vector<unsigned char> CnnModel::pack() const
{
    Writer body;
    for (const Shape& s : tensors) {
        body.put(s.height);
        body.put(s.width);
        body.put(s.channels);
    }
    for (const Layer& l : layers) {
        for (std::int32_t v : {static_cast<std::int32_t>(l.kind), l.inputCount, l.inputs[0], l.inputs[1], l.inputs[2],
                               l.inputs[3], l.output, l.kernelH, l.kernelW, l.strideH, l.strideW, l.padTop, l.padBottom,
                               l.padLeft, l.padRight, l.padFront, l.padBack, l.blockSize, l.relu})
            body.put(v);
        body.put(l.weights);
        body.put(l.bias);
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        body.put(outputs[i]);
        body.put(static_cast<std::uint32_t>(outputNames[i].size()));
        body.bytes.insert(body.bytes.end(), outputNames[i].begin(), outputNames[i].end());
    }
    for (const AnchorGrid& g : grids)
        for (std::int32_t v : {g.scoreTensor, g.scoreChannel, g.boxTensor, g.boxChannel, g.stride, g.anchorsPerCell})
            body.put(v);
    for (float w : weights)
        body.put(w);

    Writer out;
    out.bytes.assign(kMagic, kMagic + sizeof kMagic);
    out.put(kVersion);
    out.put(static_cast<std::uint32_t>(tensors.size()));
    out.put(static_cast<std::uint32_t>(layers.size()));
    out.put(static_cast<std::uint32_t>(outputs.size()));
    out.put(static_cast<std::uint32_t>(grids.size()));
    out.put(keypoints);
    out.put(static_cast<std::uint64_t>(weights.size()));
    out.put(inputScale);
    out.put(inputOffset);
    out.put(wordChecksum(body.bytes.data(), body.bytes.size()));
    out.bytes.insert(out.bytes.end(), body.bytes.begin(), body.bytes.end());
    return out.bytes;
}

CnnModel CnnModel::fromPacked(const unsigned char* bytes, std::size_t size)
{
    if (bytes == nullptr || size < sizeof kMagic || std::memcmp(bytes, kMagic, sizeof kMagic) != 0)
        throw std::invalid_argument("not a packed network");
    Reader r(bytes + sizeof kMagic, size - sizeof kMagic);
    if (r.get<std::uint32_t>() != kVersion)
        throw std::invalid_argument("a packed network of another version");
    const auto tensorCount = r.get<std::uint32_t>();
    const auto layerCount = r.get<std::uint32_t>();
    const auto outputCount = r.get<std::uint32_t>();
    const auto gridCount = r.get<std::uint32_t>();
    CnnModel m;
    m.keypoints = r.get<std::int32_t>();
    const auto weightCount = r.get<std::uint64_t>();
    m.inputScale = r.get<float>();
    m.inputOffset = r.get<float>();
    const auto checksum = r.get<std::uint64_t>();
    const std::size_t headerSize = sizeof kMagic + 5 * 4 + 4 + 8 + 4 + 4 + 8;
    if (wordChecksum(bytes + headerSize, size - headerSize) != checksum)
        throw std::invalid_argument("corrupt packed network: checksum mismatch");

    m.tensors.resize(r.count(tensorCount, 12));
    for (Shape& s : m.tensors) {
        s.height = r.get<std::int32_t>();
        s.width = r.get<std::int32_t>();
        s.channels = r.get<std::int32_t>();
    }
    m.layers.resize(r.count(layerCount, 19 * 4 + 16));
    for (Layer& l : m.layers) {
        l.kind = static_cast<LayerKind>(r.get<std::int32_t>());
        for (std::int32_t* field : {&l.inputCount, &l.inputs[0], &l.inputs[1], &l.inputs[2], &l.inputs[3], &l.output,
                                    &l.kernelH, &l.kernelW, &l.strideH, &l.strideW, &l.padTop, &l.padBottom, &l.padLeft,
                                    &l.padRight, &l.padFront, &l.padBack, &l.blockSize, &l.relu})
            *field = r.get<std::int32_t>();
        l.weights = r.get<std::int64_t>();
        l.bias = r.get<std::int64_t>();
    }
    r.count(outputCount, 8);
    for (std::uint32_t i = 0; i < outputCount; ++i) {
        m.outputs.push_back(r.get<std::int32_t>());
        m.outputNames.push_back(r.string());
    }
    m.grids.resize(r.count(gridCount, 24));
    for (AnchorGrid& g : m.grids)
        for (std::int32_t* field :
             {&g.scoreTensor, &g.scoreChannel, &g.boxTensor, &g.boxChannel, &g.stride, &g.anchorsPerCell})
            *field = r.get<std::int32_t>();
    r.floats(m.weights, r.count(weightCount, sizeof(float)));
    if (!r.atEnd())
        throw std::invalid_argument("corrupt packed network: bytes after its end");
    m.validate();
    return m;
}

CnnModel CnnModel::load(const std::string& path)
{
    RegularFile file;
    std::string problem;
    if (!file.open(path, problem))
        throw std::runtime_error(path + ": " + problem);
    if (file.size() > kMaxFileSize)
        throw std::invalid_argument(path + ": too large for a packed network");
    // Read into huge pages: each small page's first touch is dear in a
    // virtual machine, and this is on the first detection's path.
    PrivateBytes bytes;
    if (!bytes.allocate(std::max<std::size_t>(1, file.size())))
        throw std::bad_alloc();
    if (!file.read(0, bytes.data(), file.size(), problem))
        throw std::runtime_error(path + ": " + problem);
    return fromPacked(bytes.data(), file.size());
}

} // namespace cnn
} // namespace mivora
