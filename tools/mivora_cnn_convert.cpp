// SPDX-License-Identifier: MIT
// mivora_cnn_convert: turns a TensorFlow.js graph model (MODEL.json with its
// weights manifest, and the .bin files it names) into the packed network the
// library runs (cnn_model.h). Weights are read as the manifest says: float32,
// int32, or quantised (uint8, uint16 with scale and min; float16). Shapes are
// fixed here for a batch of one, the shape arithmetic of the graph (Shape,
// StridedSlice, Pack) is computed here once, a Pad that feeds a convolution
// becomes the convolution's padding and a Relu after a convolution or a sum
// becomes part of it. An operation this tool does not know is refused by name:
// a graph is never half converted.
//
//   mivora_cnn_convert MODEL.json OUT.mivora [--output NAME]... [--keypoints K]
//                      [--grid SCORE[:CHANNEL]/BOX[:CHANNEL]@STRIDExANCHORS]...
//                      [--input-range LOW,HIGH]
//
// --grid names a detector's outputs for one anchor grid (scores, boxes); the
// outputs kept are those of the grids and the --output ones (default: every
// output of the graph). Only what they need is converted.
#include "cnn_model.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using mivora::cnn::AnchorGrid;
using mivora::cnn::CnnModel;
using mivora::cnn::Layer;
using mivora::cnn::LayerKind;
using mivora::cnn::Shape;
using nlohmann::json;

struct ConversionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What a graph node gives: a constant (its values as floats or integers), or
// a tensor of the network.
struct Value {
    bool constant = false;
    std::vector<std::int64_t> dims;
    std::vector<float> floats;
    std::vector<std::int64_t> ints;
    bool isInt = false;
    int tensor = -1;
};

float halfToFloat(std::uint16_t h)
{
    const std::uint32_t sign = (h & 0x8000u) << 16;
    std::uint32_t exponent = (h >> 10) & 0x1f, mantissa = h & 0x3ffu, bits;
    if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else { // subnormal: normalise
            exponent = 127 - 15 + 1;
            while ((mantissa & 0x400u) == 0) {
                mantissa <<= 1;
                --exponent;
            }
            bits = sign | (exponent << 23) | ((mantissa & 0x3ffu) << 13);
        }
    } else if (exponent == 31) {
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else {
        bits = sign | ((exponent - 15 + 127) << 23) | (mantissa << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::vector<unsigned char> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ConversionError("cannot read " + path.string());
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

std::int64_t product(const std::vector<std::int64_t>& dims)
{
    std::int64_t n = 1;
    for (std::int64_t d : dims)
        n *= d;
    return n;
}

// The weights of the manifest, by name.
std::map<std::string, Value> readWeights(const json& manifest, const std::filesystem::path& folder)
{
    std::map<std::string, Value> weights;
    for (const json& group : manifest) {
        std::vector<unsigned char> bytes;
        for (const json& path : group.at("paths")) {
            const std::vector<unsigned char> part = readFile(folder / path.get<std::string>());
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
        std::size_t at = 0;
        for (const json& entry : group.at("weights")) {
            Value v;
            v.constant = true;
            for (const json& d : entry.at("shape"))
                v.dims.push_back(d.get<std::int64_t>());
            const std::string name = entry.at("name").get<std::string>();
            const std::string dtype = entry.at("dtype").get<std::string>();
            const std::int64_t n = product(v.dims);
            if (n < 0)
                throw ConversionError("weight " + name + " has a negative dimension");
            std::string stored = dtype;
            double scale = 1, minimum = 0;
            if (entry.contains("quantization")) {
                const json& q = entry.at("quantization");
                stored = q.at("dtype").get<std::string>();
                if (stored == "uint8" || stored == "uint16") {
                    scale = q.at("scale").get<double>();
                    minimum = q.at("min").get<double>();
                } else if (stored != "float16") {
                    throw ConversionError("weight " + name + ": unknown quantisation " + stored);
                }
            }
            const std::size_t itemSize = stored == "uint8" ? 1 : stored == "uint16" || stored == "float16" ? 2 : 4;
            if (stored != "float32" && stored != "int32" && itemSize == 4)
                throw ConversionError("weight " + name + ": unknown data type " + stored);
            if (bytes.size() < at || static_cast<std::uint64_t>(n) > (bytes.size() - at) / itemSize)
                throw ConversionError("weight " + name + " reaches beyond the weight files");
            v.isInt = dtype == "int32";
            if (dtype != "float32" && dtype != "int32")
                throw ConversionError("weight " + name + ": unknown data type " + dtype);
            for (std::int64_t i = 0; i < n; ++i, at += itemSize) {
                double value;
                if (stored == "float32") {
                    float f;
                    std::memcpy(&f, &bytes[at], 4);
                    value = f;
                } else if (stored == "int32") {
                    std::int32_t k;
                    std::memcpy(&k, &bytes[at], 4);
                    value = k;
                } else if (stored == "float16") {
                    std::uint16_t h;
                    std::memcpy(&h, &bytes[at], 2);
                    value = halfToFloat(h);
                } else {
                    std::uint16_t q = bytes[at];
                    if (itemSize == 2)
                        std::memcpy(&q, &bytes[at], 2);
                    value = q * scale + minimum;
                }
                if (v.isInt)
                    v.ints.push_back(static_cast<std::int64_t>(std::llround(value)));
                else
                    v.floats.push_back(static_cast<float>(value));
            }
            weights[name] = std::move(v);
        }
        if (at != bytes.size())
            throw ConversionError("the weight files hold more than the manifest lists");
    }
    return weights;
}

std::string attrString(const json& node, const std::string& key, const std::string& fallback = "")
{
    const json* a = node.contains("attr") && node["attr"].contains(key) ? &node["attr"][key] : nullptr;
    if (a == nullptr || !a->contains("s"))
        return fallback;
    // Graph attributes hold strings in base64.
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : (*a)["s"].get<std::string>()) {
        const std::size_t v = alphabet.find(c);
        if (v == std::string::npos)
            break;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

std::vector<std::string> attrStrings(const json& node, const std::string& key)
{
    std::vector<std::string> out;
    if (!node.contains("attr") || !node["attr"].contains(key) || !node["attr"][key].contains("list") ||
        !node["attr"][key]["list"].contains("s"))
        return out;
    for (const json& s : node["attr"][key]["list"]["s"]) {
        json wrapper = {{"attr", {{"x", {{"s", s}}}}}};
        out.push_back(attrString(wrapper, "x"));
    }
    return out;
}

std::vector<std::int64_t> attrInts(const json& node, const std::string& key)
{
    std::vector<std::int64_t> out;
    if (node.contains("attr") && node["attr"].contains(key) && node["attr"][key].contains("list") &&
        node["attr"][key]["list"].contains("i"))
        for (const json& i : node["attr"][key]["list"]["i"])
            out.push_back(std::stoll(i.get<std::string>()));
    return out;
}

std::int64_t attrInt(const json& node, const std::string& key, std::int64_t fallback)
{
    if (node.contains("attr") && node["attr"].contains(key) && node["attr"][key].contains("i"))
        return std::stoll(node["attr"][key]["i"].get<std::string>());
    return fallback;
}

bool attrBool(const json& node, const std::string& key, bool fallback)
{
    if (node.contains("attr") && node["attr"].contains(key) && node["attr"][key].contains("b"))
        return node["attr"][key]["b"].get<bool>();
    return fallback;
}

Shape shapeOf(const std::vector<std::int64_t>& dims, const std::string& who)
{
    if (dims.empty() || dims.size() > 4 || dims[0] != 1)
        throw ConversionError(who + ": only tensors of rank 1 to 4 with a batch of one are supported");
    std::vector<std::int64_t> d(dims.begin() + 1, dims.end());
    while (d.size() < 3)
        d.insert(d.begin(), 1);
    for (std::int64_t x : d)
        if (x < 1 || x > 16384)
            throw ConversionError(who + ": a dimension out of range");
    return {static_cast<std::int32_t>(d[0]), static_cast<std::int32_t>(d[1]), static_cast<std::int32_t>(d[2])};
}

class Converter {
public:
    Converter(const json& graph, std::map<std::string, Value> weights) : weights_(std::move(weights))
    {
        for (const json& node : graph.at("modelTopology").at("node"))
            nodes_[node.at("name").get<std::string>()] = node;
    }

    std::vector<std::string> graphOutputs() const
    {
        std::set<std::string> read;
        for (const auto& [name, node] : nodes_)
            if (node.contains("input"))
                for (const json& input : node["input"]) {
                    std::string n = input.get<std::string>();
                    if (!n.empty() && n[0] == '^')
                        n.erase(0, 1);
                    read.insert(n.substr(0, n.find(':')));
                }
        std::vector<std::string> outputs;
        for (const auto& [name, node] : nodes_)
            if (!read.count(name) && node.at("op") != "Const")
                outputs.push_back(name);
        return outputs;
    }

    void convert(const std::vector<std::string>& outputs)
    {
        refuseUnknownOperations(outputs);
        for (const std::string& name : outputs) {
            const Value& v = value(name);
            if (v.constant)
                throw ConversionError("output " + name + " is a constant");
            model.outputs.push_back(v.tensor);
            model.outputNames.push_back(name);
        }
        fuse();
    }

    int tensorOf(const std::string& name)
    {
        const Value& v = value(name);
        if (v.constant)
            throw ConversionError(name + " is a constant, not a tensor");
        return v.tensor;
    }

    CnnModel model;

private:
    // Every node the outputs need, checked before any is converted, so that
    // an operation this tool does not know is named whatever else is wrong.
    void refuseUnknownOperations(const std::vector<std::string>& outputs) const
    {
        static const std::set<std::string> known = {"Const",
                                                    "Placeholder",
                                                    "Identity",
                                                    "Conv2D",
                                                    "_FusedConv2D",
                                                    "DepthwiseConv2dNative",
                                                    "FusedDepthwiseConv2dNative",
                                                    "MaxPool",
                                                    "AddV2",
                                                    "Add",
                                                    "Relu",
                                                    "Pad",
                                                    "Reshape",
                                                    "ConcatV2",
                                                    "DepthToSpace",
                                                    "ResizeBilinear",
                                                    "Shape",
                                                    "StridedSlice",
                                                    "Pack"};
        std::set<std::string> seen;
        std::vector<std::string> pending = outputs;
        while (!pending.empty()) {
            const std::string name = pending.back();
            pending.pop_back();
            if (!seen.insert(name).second)
                continue;
            const auto it = nodes_.find(name);
            if (it == nodes_.end())
                throw ConversionError("the graph reads " + name + ", which it does not have");
            const std::string op = it->second.at("op").get<std::string>();
            if (!known.count(op))
                throw ConversionError("unsupported operation " + op + " (node " + name + ")");
            if (it->second.contains("input"))
                for (const json& input : it->second["input"]) {
                    std::string n = input.get<std::string>();
                    if (!n.empty() && n[0] == '^')
                        n.erase(0, 1);
                    pending.push_back(n.substr(0, n.find(':')));
                }
        }
    }

    static std::vector<std::string> inputsOf(const json& node)
    {
        std::vector<std::string> inputs;
        if (node.contains("input"))
            for (const json& i : node["input"]) {
                std::string name = i.get<std::string>();
                if (!name.empty() && name[0] == '^')
                    continue; // a control dependency carries no data
                const std::size_t colon = name.find(':');
                if (colon != std::string::npos) {
                    if (name.substr(colon) != ":0")
                        throw ConversionError("node " + node.at("name").get<std::string>() + " reads output " + name +
                                              ": only first outputs are supported");
                    name.resize(colon);
                }
                inputs.push_back(name);
            }
        return inputs;
    }

    const Value& value(const std::string& name)
    {
        const auto done = values_.find(name);
        if (done != values_.end())
            return done->second;
        if (!visiting_.insert(name).second)
            throw ConversionError("the graph has a cycle through " + name);
        const auto it = nodes_.find(name);
        if (it == nodes_.end())
            throw ConversionError("the graph reads " + name + ", which it does not have");
        Value v = evaluate(it->second);
        visiting_.erase(name);
        return values_[name] = std::move(v);
    }

    const Value& constantInput(const json& node, std::size_t index)
    {
        const std::vector<std::string> inputs = inputsOf(node);
        if (index >= inputs.size())
            throw ConversionError(describe(node) + ": missing input " + std::to_string(index));
        const Value& v = value(inputs[index]);
        if (!v.constant)
            throw ConversionError(describe(node) + ": input " + std::to_string(index) +
                                  " must be a constant for this converter");
        return v;
    }

    const Value& tensorInput(const json& node, std::size_t index)
    {
        const std::vector<std::string> inputs = inputsOf(node);
        if (index >= inputs.size())
            throw ConversionError(describe(node) + ": missing input " + std::to_string(index));
        const Value& v = value(inputs[index]);
        if (v.constant)
            throw ConversionError(describe(node) + ": input " + std::to_string(index) +
                                  " is a constant where a tensor is expected");
        return v;
    }

    static std::string describe(const json& node)
    {
        return "operation " + node.at("op").get<std::string>() + " (node " + node.at("name").get<std::string>() + ")";
    }

    Value newTensor(const std::vector<std::int64_t>& dims, const std::string& who)
    {
        Value v;
        v.dims = dims;
        v.tensor = static_cast<int>(model.tensors.size());
        model.tensors.push_back(shapeOf(dims, who));
        return v;
    }

    std::int64_t addWeights(const std::vector<float>& values)
    {
        const auto offset = static_cast<std::int64_t>(model.weights.size());
        model.weights.insert(model.weights.end(), values.begin(), values.end());
        return offset;
    }

    // TensorFlow's SAME padding: the output is ceil(in / stride), the padding
    // split with the odd pixel after.
    static void samePadding(std::int64_t in, std::int64_t kernel, std::int64_t stride, std::int32_t& before,
                            std::int32_t& after, std::int64_t& out)
    {
        out = (in + stride - 1) / stride;
        const std::int64_t total = std::max<std::int64_t>((out - 1) * stride + kernel - in, 0);
        before = static_cast<std::int32_t>(total / 2);
        after = static_cast<std::int32_t>(total - total / 2);
    }

    // Window, strides and padding of a convolution or pooling node; returns
    // the output's dims.
    std::vector<std::int64_t> window(const json& node, const Value& in, std::int64_t kh, std::int64_t kw, Layer& l)
    {
        if (attrString(node, "data_format", "NHWC") != "NHWC")
            throw ConversionError(describe(node) + ": only NHWC data is supported");
        const std::vector<std::int64_t> strides = attrInts(node, "strides");
        if (strides.size() != 4 || strides[0] != 1 || strides[3] != 1)
            throw ConversionError(describe(node) + ": unsupported strides");
        const std::vector<std::int64_t> dilations = attrInts(node, "dilations");
        for (std::int64_t d : dilations)
            if (d != 1)
                throw ConversionError(describe(node) + ": dilated windows are not supported");
        l.kernelH = static_cast<std::int32_t>(kh);
        l.kernelW = static_cast<std::int32_t>(kw);
        l.strideH = static_cast<std::int32_t>(strides[1]);
        l.strideW = static_cast<std::int32_t>(strides[2]);
        const std::string padding = attrString(node, "padding");
        std::int64_t outH, outW;
        if (padding == "SAME") {
            samePadding(in.dims[1], kh, strides[1], l.padTop, l.padBottom, outH);
            samePadding(in.dims[2], kw, strides[2], l.padLeft, l.padRight, outW);
        } else if (padding == "VALID") {
            outH = (in.dims[1] - kh) / strides[1] + 1;
            outW = (in.dims[2] - kw) / strides[2] + 1;
            if (in.dims[1] < kh || in.dims[2] < kw)
                throw ConversionError(describe(node) + ": window larger than its input");
        } else {
            throw ConversionError(describe(node) + ": unsupported padding " + padding);
        }
        return {1, outH, outW, in.dims[3]};
    }

    // Bias and activation of a fused node.
    void fusedOps(const json& node, Layer& l, std::int64_t channels)
    {
        const std::vector<std::string> ops = attrStrings(node, "fused_ops");
        std::size_t at = 0;
        if (at < ops.size() && ops[at] == "BiasAdd") {
            const Value& bias = constantInput(node, 2);
            if (bias.isInt || static_cast<std::int64_t>(bias.floats.size()) != channels)
                throw ConversionError(describe(node) + ": bias of the wrong size");
            l.bias = addWeights(bias.floats);
            ++at;
        }
        if (at < ops.size() && ops[at] == "Relu") {
            l.relu = 1;
            ++at;
        }
        if (at != ops.size())
            throw ConversionError(describe(node) + ": unsupported fused operation " + ops[at]);
    }

    Value layer(Layer& l, const std::vector<std::int64_t>& dims, const json& node)
    {
        Value out = newTensor(dims, describe(node));
        l.output = out.tensor;
        model.layers.push_back(l);
        return out;
    }

    Value evaluate(const json& node)
    {
        const std::string op = node.at("op").get<std::string>();
        const std::string name = node.at("name").get<std::string>();
        if (op == "Const") {
            const auto w = weights_.find(name);
            if (w == weights_.end())
                throw ConversionError("constant " + name + " is not in the weights manifest");
            return w->second;
        }
        if (op == "Placeholder") {
            if (!model.tensors.empty())
                throw ConversionError("the graph has more than one input");
            std::vector<std::int64_t> dims;
            for (const json& d : node.at("attr").at("shape").at("shape").at("dim"))
                dims.push_back(std::max<std::int64_t>(1, std::stoll(d.at("size").get<std::string>())));
            if (dims.size() != 4 || dims[3] != 3)
                throw ConversionError("the input is not a batch of three-channel images");
            return newTensor(dims, "the input");
        }
        if (op == "Identity")
            return value(inputsOf(node).at(0));
        if (op == "Conv2D" || op == "_FusedConv2D") {
            const Value& in = tensorInput(node, 0);
            const Value& filter = constantInput(node, 1);
            if (filter.dims.size() != 4 || filter.dims[2] != in.dims[3] || filter.isInt)
                throw ConversionError(describe(node) + ": filter does not match its input");
            Layer l;
            l.kind = LayerKind::Convolution;
            l.inputs[0] = in.tensor;
            std::vector<std::int64_t> dims = window(node, in, filter.dims[0], filter.dims[1], l);
            dims[3] = filter.dims[3];
            l.weights = addWeights(filter.floats);
            if (op == "_FusedConv2D")
                fusedOps(node, l, filter.dims[3]);
            return layer(l, dims, node);
        }
        if (op == "DepthwiseConv2dNative" || op == "FusedDepthwiseConv2dNative") {
            const Value& in = tensorInput(node, 0);
            const Value& filter = constantInput(node, 1);
            if (filter.dims.size() != 4 || filter.dims[2] != in.dims[3] || filter.isInt)
                throw ConversionError(describe(node) + ": filter does not match its input");
            if (filter.dims[3] != 1)
                throw ConversionError(describe(node) + ": channel multipliers other than 1 are not supported");
            Layer l;
            l.kind = LayerKind::Depthwise;
            l.inputs[0] = in.tensor;
            const std::vector<std::int64_t> dims = window(node, in, filter.dims[0], filter.dims[1], l);
            l.weights = addWeights(filter.floats);
            if (op == "FusedDepthwiseConv2dNative")
                fusedOps(node, l, in.dims[3]);
            return layer(l, dims, node);
        }
        if (op == "MaxPool") {
            const Value& in = tensorInput(node, 0);
            const std::vector<std::int64_t> k = attrInts(node, "ksize");
            if (k.size() != 4 || k[0] != 1 || k[3] != 1)
                throw ConversionError(describe(node) + ": unsupported window");
            Layer l;
            l.kind = LayerKind::MaxPool;
            l.inputs[0] = in.tensor;
            return layer(l, window(node, in, k[1], k[2], l), node);
        }
        if (op == "AddV2" || op == "Add") {
            const Value& a = tensorInput(node, 0);
            const Value& b = tensorInput(node, 1);
            if (a.dims != b.dims)
                throw ConversionError(describe(node) + ": broadcasting sums are not supported");
            Layer l;
            l.kind = LayerKind::Add;
            l.inputCount = 2;
            l.inputs[0] = a.tensor;
            l.inputs[1] = b.tensor;
            return layer(l, a.dims, node);
        }
        if (op == "Relu") {
            const Value& in = tensorInput(node, 0);
            Layer l;
            l.kind = LayerKind::Relu;
            l.inputs[0] = in.tensor;
            return layer(l, in.dims, node);
        }
        if (op == "Pad") {
            const Value& in = tensorInput(node, 0);
            const Value& pads = constantInput(node, 1);
            if (in.dims.size() != 4 || pads.ints.size() != 8 || pads.ints[0] != 0 || pads.ints[1] != 0 ||
                *std::min_element(pads.ints.begin(), pads.ints.end()) < 0)
                throw ConversionError(describe(node) + ": only padding of images, not of the batch, is supported");
            Layer l;
            l.kind = LayerKind::Pad;
            l.inputs[0] = in.tensor;
            l.padTop = static_cast<std::int32_t>(pads.ints[2]);
            l.padBottom = static_cast<std::int32_t>(pads.ints[3]);
            l.padLeft = static_cast<std::int32_t>(pads.ints[4]);
            l.padRight = static_cast<std::int32_t>(pads.ints[5]);
            l.padFront = static_cast<std::int32_t>(pads.ints[6]);
            l.padBack = static_cast<std::int32_t>(pads.ints[7]);
            return layer(l,
                         {1, in.dims[1] + pads.ints[2] + pads.ints[3], in.dims[2] + pads.ints[4] + pads.ints[5],
                          in.dims[3] + pads.ints[6] + pads.ints[7]},
                         node);
        }
        if (op == "Reshape") {
            const Value& in = tensorInput(node, 0);
            std::vector<std::int64_t> dims = constantInput(node, 1).ints;
            const std::int64_t total = product(in.dims);
            std::int64_t known = 1;
            int unknown = -1;
            for (std::size_t i = 0; i < dims.size(); ++i)
                if (dims[i] == -1)
                    unknown = static_cast<int>(i);
                else
                    known *= dims[i];
            if (unknown >= 0 && known > 0)
                dims[static_cast<std::size_t>(unknown)] = total / known;
            if (product(dims) != total)
                throw ConversionError(describe(node) + ": the new shape does not hold the same values");
            Layer l;
            l.kind = LayerKind::Reshape;
            l.inputs[0] = in.tensor;
            return layer(l, dims, node);
        }
        if (op == "ConcatV2") {
            const std::vector<std::string> inputs = inputsOf(node);
            const std::int64_t count = static_cast<std::int64_t>(inputs.size()) - 1;
            if (count < 1 || count > mivora::cnn::kMaxLayerInputs)
                throw ConversionError(describe(node) + ": unsupported number of inputs");
            std::int64_t axis = constantInput(node, static_cast<std::size_t>(count)).ints.at(0);
            Layer l;
            l.kind = LayerKind::Concat;
            l.inputCount = static_cast<std::int32_t>(count);
            std::vector<std::int64_t> dims;
            for (std::int64_t i = 0; i < count; ++i) {
                const Value& in = tensorInput(node, static_cast<std::size_t>(i));
                const auto rank = static_cast<std::int64_t>(in.dims.size());
                if (axis < 0)
                    axis += rank;
                if (axis != rank - 1)
                    throw ConversionError(describe(node) + ": only concatenation along the last axis is supported");
                if (dims.empty())
                    dims = in.dims;
                else if (std::vector<std::int64_t>(dims.begin(), dims.end() - 1) !=
                         std::vector<std::int64_t>(in.dims.begin(), in.dims.end() - 1))
                    throw ConversionError(describe(node) + ": inputs of different shapes");
                else
                    dims.back() += in.dims.back();
                l.inputs[i] = in.tensor;
            }
            return layer(l, dims, node);
        }
        if (op == "DepthToSpace") {
            const Value& in = tensorInput(node, 0);
            const std::int64_t b = attrInt(node, "block_size", 0);
            if (attrString(node, "data_format", "NHWC") != "NHWC" || in.dims.size() != 4 || b < 2 ||
                in.dims[3] % (b * b) != 0)
                throw ConversionError(describe(node) + ": unsupported block size or layout");
            Layer l;
            l.kind = LayerKind::DepthToSpace;
            l.inputs[0] = in.tensor;
            l.blockSize = static_cast<std::int32_t>(b);
            return layer(l, {1, in.dims[1] * b, in.dims[2] * b, in.dims[3] / (b * b)}, node);
        }
        if (op == "ResizeBilinear") {
            const Value& in = tensorInput(node, 0);
            const Value& size = constantInput(node, 1);
            if (!attrBool(node, "half_pixel_centers", false) || attrBool(node, "align_corners", false))
                throw ConversionError(describe(node) + ": only half-pixel centres are supported");
            if (size.ints.size() != 2 || in.dims.size() != 4)
                throw ConversionError(describe(node) + ": unsupported size");
            Layer l;
            l.kind = LayerKind::ResizeBilinear;
            l.inputs[0] = in.tensor;
            return layer(l, {1, size.ints[0], size.ints[1], in.dims[3]}, node);
        }
        // Shape arithmetic, computed here once.
        if (op == "Shape") {
            const Value& in = value(inputsOf(node).at(0));
            Value v;
            v.constant = v.isInt = true;
            v.ints = in.dims;
            v.dims = {static_cast<std::int64_t>(in.dims.size())};
            return v;
        }
        if (op == "StridedSlice")
            return stridedSlice(node);
        if (op == "Pack") {
            Value v;
            v.constant = v.isInt = true;
            if (attrInt(node, "axis", 0) != 0)
                throw ConversionError(describe(node) + ": only packing along axis 0 is supported");
            for (std::size_t i = 0; i < inputsOf(node).size(); ++i) {
                const Value& s = constantInput(node, i);
                if (!s.isInt || s.ints.size() != 1 || !s.dims.empty())
                    throw ConversionError(describe(node) + ": only integer scalars are packed");
                v.ints.push_back(s.ints[0]);
            }
            v.dims = {static_cast<std::int64_t>(v.ints.size())};
            return v;
        }
        throw ConversionError("unsupported operation " + op + " (node " + name + ")");
    }

    Value stridedSlice(const json& node)
    {
        const Value& in = constantInput(node, 0);
        const Value& begin = constantInput(node, 1);
        const Value& end = constantInput(node, 2);
        const Value& strides = constantInput(node, 3);
        if (!in.isInt || in.dims.size() != 1 || begin.ints.size() != 1 || end.ints.size() != 1 ||
            strides.ints.size() != 1 || strides.ints[0] != 1 || attrInt(node, "ellipsis_mask", 0) != 0 ||
            attrInt(node, "new_axis_mask", 0) != 0)
            throw ConversionError(describe(node) + ": only simple slices of integer vectors are supported");
        const auto n = static_cast<std::int64_t>(in.ints.size());
        const auto clampIndex = [n](std::int64_t i) { return std::clamp(i < 0 ? i + n : i, std::int64_t(0), n); };
        std::int64_t b = attrInt(node, "begin_mask", 0) & 1 ? 0 : clampIndex(begin.ints[0]);
        std::int64_t e = attrInt(node, "end_mask", 0) & 1 ? n : clampIndex(end.ints[0]);
        Value v;
        v.constant = v.isInt = true;
        if (attrInt(node, "shrink_axis_mask", 0) & 1) {
            if (b >= n)
                throw ConversionError(describe(node) + ": index out of range");
            v.ints = {in.ints[static_cast<std::size_t>(b)]};
            return v; // a scalar: no dims
        }
        for (std::int64_t i = b; i < e; ++i)
            v.ints.push_back(in.ints[static_cast<std::size_t>(i)]);
        v.dims = {static_cast<std::int64_t>(v.ints.size())};
        return v;
    }

    // Readers of each tensor: layers and the model's outputs and grids.
    std::vector<int> readCounts() const
    {
        std::vector<int> reads(model.tensors.size(), 0);
        for (const Layer& l : model.layers)
            for (int k = 0; k < l.inputCount; ++k)
                ++reads[l.inputs[k]];
        for (std::int32_t t : model.outputs)
            ++reads[t];
        for (const AnchorGrid& g : model.grids) {
            ++reads[g.scoreTensor];
            ++reads[g.boxTensor];
        }
        return reads;
    }

public:
    // A Pad read only by a convolution without padding of its own becomes
    // that padding; a sum of a convolution read by nothing else and another
    // tensor becomes the convolution adding that tensor; a Relu reading a
    // convolution or a sum read by nothing else becomes part of it.
    void fuse()
    {
        for (bool changed = true; changed;) {
            changed = false;
            const std::vector<int> reads = readCounts();
            std::vector<int> writer(model.tensors.size(), -1);
            for (std::size_t i = 0; i < model.layers.size(); ++i)
                writer[model.layers[i].output] = static_cast<int>(i);
            for (std::size_t i = 0; i < model.layers.size() && !changed; ++i) {
                Layer& l = model.layers[i];
                if (l.kind == LayerKind::Add && l.relu == 0) {
                    const int k = sumOf(i, 0, writer, reads) >= 0 ? 0 : 1;
                    const int conv = sumOf(i, k, writer, reads);
                    if (conv < 0)
                        continue;
                    // The convolution runs where the sum ran (the other term
                    // may be written after it) and adds the other term itself.
                    Layer fused = model.layers[static_cast<std::size_t>(conv)];
                    fused.inputCount = 2;
                    fused.inputs[1] = l.inputs[1 - k];
                    fused.output = l.output;
                    model.layers[i] = fused;
                    model.layers.erase(model.layers.begin() + conv);
                    changed = true;
                    continue;
                }
                const int from = writer[l.inputs[0]];
                if (from < 0 || reads[l.inputs[0]] != 1)
                    continue;
                Layer& source = model.layers[static_cast<std::size_t>(from)];
                const bool window = l.kind == LayerKind::Convolution || l.kind == LayerKind::Depthwise;
                if (window && source.kind == LayerKind::Pad && source.padFront == 0 && source.padBack == 0 &&
                    l.padTop + l.padBottom + l.padLeft + l.padRight == 0 && source.padTop < l.kernelH &&
                    source.padBottom < l.kernelH && source.padLeft < l.kernelW && source.padRight < l.kernelW) {
                    l.padTop = source.padTop;
                    l.padBottom = source.padBottom;
                    l.padLeft = source.padLeft;
                    l.padRight = source.padRight;
                    l.inputs[0] = source.inputs[0];
                    model.layers.erase(model.layers.begin() + from);
                    changed = true;
                } else if (l.kind == LayerKind::Relu && source.relu == 0 &&
                           (source.kind == LayerKind::Convolution || source.kind == LayerKind::Depthwise ||
                            source.kind == LayerKind::Add)) {
                    source.relu = 1;
                    source.output = l.output;
                    model.layers.erase(model.layers.begin() + static_cast<std::ptrdiff_t>(i));
                    changed = true;
                }
            }
        }
    }

private:
    // The convolution writing term k of the sum at layer i, when nothing else
    // reads it and it has no activation or added term of its own; else -1.
    int sumOf(std::size_t i, int k, const std::vector<int>& writer, const std::vector<int>& reads) const
    {
        const std::int32_t t = model.layers[i].inputs[k];
        const int w = writer[static_cast<std::size_t>(t)];
        if (w < 0 || reads[static_cast<std::size_t>(t)] != 1)
            return -1;
        const Layer& c = model.layers[static_cast<std::size_t>(w)];
        return c.kind == LayerKind::Convolution && c.inputCount == 1 && c.relu == 0 ? w : -1;
    }

    std::map<std::string, json> nodes_;
    std::map<std::string, Value> weights_;
    std::map<std::string, Value> values_;
    std::set<std::string> visiting_;
};

struct GridOption {
    std::string score, box;
    int scoreChannel = 0, boxChannel = 0, stride = 0, anchors = 0;
};

bool parseGrid(const std::string& text, GridOption& g)
{
    const std::size_t slash = text.find('/'), at = text.find('@', slash == std::string::npos ? 0 : slash);
    if (slash == std::string::npos || at == std::string::npos)
        return false;
    const auto nameAndChannel = [](const std::string& s, std::string& name, int& channel) {
        const std::size_t colon = s.rfind(':');
        name = s.substr(0, colon);
        channel = colon == std::string::npos ? 0 : std::atoi(s.c_str() + colon + 1);
        return !name.empty() && channel >= 0;
    };
    return nameAndChannel(text.substr(0, slash), g.score, g.scoreChannel) &&
           nameAndChannel(text.substr(slash + 1, at - slash - 1), g.box, g.boxChannel) &&
           std::sscanf(text.c_str() + at + 1, "%dx%d", &g.stride, &g.anchors) == 2;
}

int usage(const char* program)
{
    std::fprintf(stderr,
                 "usage: %s MODEL.json OUT.mivora [--output NAME]... [--keypoints K]\n"
                 "          [--grid SCORE[:CHANNEL]/BOX[:CHANNEL]@STRIDExANCHORS]... [--input-range LOW,HIGH]\n",
                 program);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return usage(argv[0]);
    std::vector<std::string> outputs;
    std::vector<GridOption> grids;
    int keypoints = 0;
    float low = -1, high = 1;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--output" && i + 1 < argc) {
            outputs.push_back(argv[++i]);
        } else if (arg == "--keypoints" && i + 1 < argc) {
            keypoints = std::atoi(argv[++i]);
        } else if (arg == "--grid" && i + 1 < argc) {
            GridOption g;
            if (!parseGrid(argv[++i], g))
                return usage(argv[0]);
            grids.push_back(g);
        } else if (arg == "--input-range" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%f,%f", &low, &high) != 2 || !(high > low))
                return usage(argv[0]);
        } else {
            return usage(argv[0]);
        }
    }
    try {
        const std::filesystem::path modelPath = argv[1];
        json graph;
        {
            std::ifstream in(modelPath);
            if (!in)
                throw ConversionError("cannot read " + modelPath.string());
            graph = json::parse(in);
        }
        if (graph.value("format", "") != "graph-model")
            throw ConversionError("not a TensorFlow.js graph model");
        Converter converter(graph, readWeights(graph.at("weightsManifest"), modelPath.parent_path()));
        for (const GridOption& g : grids)
            for (const std::string& name : {g.score, g.box})
                if (std::find(outputs.begin(), outputs.end(), name) == outputs.end())
                    outputs.push_back(name);
        if (outputs.empty())
            outputs = converter.graphOutputs();
        converter.convert(outputs);
        CnnModel& model = converter.model;
        model.keypoints = keypoints;
        model.inputScale = (high - low) / 255.0f;
        model.inputOffset = low;
        for (const GridOption& g : grids) {
            AnchorGrid grid;
            grid.scoreTensor = converter.tensorOf(g.score);
            grid.scoreChannel = g.scoreChannel;
            grid.boxTensor = converter.tensorOf(g.box);
            grid.boxChannel = g.boxChannel;
            grid.stride = g.stride;
            grid.anchorsPerCell = g.anchors;
            model.grids.push_back(grid);
        }
        model.validate();
        const std::vector<unsigned char> bytes = model.pack();
        CnnModel::fromPacked(bytes.data(), bytes.size()); // read back as the library will
        const std::string partial = std::string(argv[2]) + ".partial";
        {
            std::ofstream out(partial, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            if (!out.flush())
                throw ConversionError(std::string("cannot write ") + argv[2]);
        }
        if (std::rename(partial.c_str(), argv[2]) != 0)
            throw ConversionError(std::string("cannot write ") + argv[2]);
        std::printf("%s: %zu layers, %zu tensors, %zu weights, %zu outputs\n", argv[2], model.layers.size(),
                    model.tensors.size(), model.weights.size(), model.outputs.size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mivora_cnn_convert: %s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
