// SPDX-License-Identifier: MIT
// The CNN face detector's parts: the packed network file (damage refused),
// the layers against a plain reference on every instruction set, the
// converter (quantised weights, unknown operations), box merging, and the
// converted detectors on a photo.
#include "cnn_face_detector.h"
#include "cnn_model.h"
#include "cnn_network.h"
#include "face_detector.h"
#include "face_engine.h"
#include "face_tracker.h"
#include "landmark_model.h"

#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

namespace {

using mivora::cnn::CnnModel;
using mivora::cnn::CnnNetwork;
using mivora::cnn::Instructions;
using mivora::cnn::Layer;
using mivora::cnn::LayerKind;
using mivora::cnn::Shape;

const char* const kCandidates[] = {"blazeface-back", "blazeface-front", "facemesh-detection-full"};

std::string packedPath(const std::string& name) { return std::string(CNN_MODEL_DIR) + "/" + name + ".mivora"; }

std::vector<unsigned char> readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

bool refused(const std::vector<unsigned char>& bytes)
{
    try {
        CnnModel::fromPacked(bytes.data(), bytes.size());
        return false;
    } catch (const std::invalid_argument&) {
        return true;
    }
}

TEST(CnnModelFile, RoundTripsAndRefusesDamage)
{
    const std::vector<unsigned char> bytes = readBytes(packedPath("blazeface-front"));
    ASSERT_GT(bytes.size(), 1000u);
    const CnnModel model = CnnModel::fromPacked(bytes.data(), bytes.size());
    EXPECT_EQ(model.pack(), bytes);
    EXPECT_EQ(model.grids.size(), 2u);

    for (std::size_t at : {std::size_t(0), std::size_t(9), std::size_t(60), bytes.size() / 2, bytes.size() - 1}) {
        std::vector<unsigned char> damaged = bytes;
        damaged[at] ^= 0x10;
        EXPECT_TRUE(refused(damaged)) << "a byte changed at " << at;
    }
    for (std::size_t size : {std::size_t(0), std::size_t(7), std::size_t(56), bytes.size() - 4}) {
        EXPECT_TRUE(refused(std::vector<unsigned char>(bytes.begin(), bytes.begin() + size))) << "cut to " << size;
    }
    std::vector<unsigned char> longer = bytes;
    longer.push_back(0);
    EXPECT_TRUE(refused(longer));
    EXPECT_THROW(CnnModel::load(std::string(CNN_MODEL_DIR) + "/missing.mivora"), std::runtime_error);
    const std::string empty = std::string(CNN_MODEL_DIR) + "/empty_for_test.mivora";
    std::ofstream{empty};
    EXPECT_THROW(CnnModel::load(empty), std::invalid_argument);
    std::remove(empty.c_str());
}

// A 6x6x3 input through a 3x3 convolution to 6x6x5, then a sum with itself.
CnnModel smallModel()
{
    CnnModel m;
    m.tensors = {{6, 6, 3}, {6, 6, 5}, {6, 6, 5}};
    Layer conv;
    conv.kind = LayerKind::Convolution;
    conv.inputs[0] = 0;
    conv.output = 1;
    conv.kernelH = conv.kernelW = 3;
    conv.padTop = conv.padBottom = conv.padLeft = conv.padRight = 1;
    conv.weights = 0;
    conv.bias = 3 * 3 * 3 * 5;
    Layer add;
    add.kind = LayerKind::Add;
    add.inputCount = 2;
    add.inputs[0] = add.inputs[1] = 1;
    add.output = 2;
    m.layers = {conv, add};
    m.weights.assign(3 * 3 * 3 * 5 + 5, 0.5f);
    m.outputs = {2};
    m.outputNames = {"out"};
    return m;
}

TEST(CnnModelFile, RefusesInconsistentNetworks)
{
    EXPECT_NO_THROW(smallModel().validate());
    const std::vector<std::pair<const char*, std::function<void(CnnModel&)>>> damages = {
        {"output size not from the window", [](CnnModel& m) { m.layers[0].padBottom = 0; }},
        {"reads a tensor not yet written", [](CnnModel& m) { m.layers[1].inputs[1] = 2; }},
        {"writes the input", [](CnnModel& m) { m.layers[0].output = 0; }},
        {"weights beyond the array", [](CnnModel& m) { m.layers[0].weights = 10; }},
        {"bias beyond the array", [](CnnModel& m) { m.layers[0].bias = static_cast<std::int64_t>(m.weights.size()); }},
        {"sum of different shapes", [](CnnModel& m) { m.tensors[2].channels = 6; }},
        {"weight not finite", [](CnnModel& m) { m.weights[3] = std::nanf(""); }},
        {"unknown layer kind", [](CnnModel& m) { m.layers[1].kind = static_cast<LayerKind>(99); }},
        {"input not RGB", [](CnnModel& m) { m.tensors[0].channels = 4; }},
        {"output never written", [](CnnModel& m) { m.layers.pop_back(); }},
        {"anchor grid of the wrong size",
         [](CnnModel& m) {
             m.keypoints = 0;
             m.grids.push_back({2, 0, 2, 1, 3, 1});
         }},
    };
    for (const auto& [what, damage] : damages) {
        CnnModel m = smallModel();
        damage(m);
        EXPECT_THROW(m.validate(), std::invalid_argument) << what;
        // Packed anyway (a checksum that matches), it is still refused.
        const std::vector<unsigned char> bytes = m.pack();
        EXPECT_TRUE(refused(bytes)) << what;
    }
}

// The library finds the packaged detector beside its other packed models.
TEST(CnnModelFile, TheLibraryFindsThePackagedDetector)
{
    const mivora::ModelFiles files = mivora::defaultModelFiles();
    ASSERT_FALSE(files.faceNetwork.empty());
    EXPECT_EQ(std::filesystem::path(files.faceNetwork).parent_path(),
              std::filesystem::path(files.landmarks).parent_path());
    const CnnModel model = CnnModel::load(files.faceNetwork);
    EXPECT_EQ(model.grids.size(), 1u);
    EXPECT_EQ(model.keypoints, mivora::kCnnKeypoints);
}

// ---------------------------------------------------------------------------
// The layers against plain loops over logical tensors.

struct Plain {
    Shape shape;
    std::vector<float> v;
    float& at(int y, int x, int c) { return v[(static_cast<std::size_t>(y) * shape.width + x) * shape.channels + c]; }
};

Plain referenceLayer(const CnnModel& m, const Layer& l, const std::vector<Plain>& t)
{
    const Plain& in = t[l.inputs[0]];
    Plain out{m.tensors[l.output], std::vector<float>(static_cast<std::size_t>(m.tensors[l.output].size()), 0)};
    const Shape& s = out.shape;
    Plain a = in;
    const auto window = [&](int oy, int ox, const std::function<void(int, int, int, int)>& tap) {
        for (int ky = 0; ky < l.kernelH; ++ky)
            for (int kx = 0; kx < l.kernelW; ++kx) {
                const int iy = oy * l.strideH - l.padTop + ky, ix = ox * l.strideW - l.padLeft + kx;
                if (iy >= 0 && iy < in.shape.height && ix >= 0 && ix < in.shape.width)
                    tap(ky, kx, iy, ix);
            }
    };
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            for (int c = 0; c < s.channels; ++c) {
                float r = 0;
                switch (l.kind) {
                case LayerKind::Convolution:
                    r = l.bias >= 0 ? m.weights[l.bias + c] : 0;
                    window(y, x, [&](int ky, int kx, int iy, int ix) {
                        for (int ci = 0; ci < in.shape.channels; ++ci)
                            r += a.at(iy, ix, ci) *
                                 m.weights[l.weights + ((ky * l.kernelW + kx) * in.shape.channels + ci) * s.channels +
                                           c];
                    });
                    if (l.inputCount == 2)
                        r += Plain(t[l.inputs[1]]).at(y, x, c);
                    break;
                case LayerKind::Depthwise:
                    r = l.bias >= 0 ? m.weights[l.bias + c] : 0;
                    window(y, x, [&](int ky, int kx, int iy, int ix) {
                        r += a.at(iy, ix, c) * m.weights[l.weights + (ky * l.kernelW + kx) * s.channels + c];
                    });
                    break;
                case LayerKind::MaxPool:
                    r = -1e30f;
                    window(y, x, [&](int, int, int iy, int ix) { r = std::max(r, a.at(iy, ix, c)); });
                    break;
                case LayerKind::Add: r = a.at(y, x, c) + Plain(t[l.inputs[1]]).at(y, x, c); break;
                case LayerKind::Relu: r = std::max(0.0f, a.at(y, x, c)); break;
                case LayerKind::Pad: {
                    const int iy = y - l.padTop, ix = x - l.padLeft, ic = c - l.padFront;
                    r = iy >= 0 && iy < in.shape.height && ix >= 0 && ix < in.shape.width && ic >= 0 &&
                                ic < in.shape.channels
                            ? a.at(iy, ix, ic)
                            : 0;
                    break;
                }
                case LayerKind::Reshape: r = in.v[(static_cast<std::size_t>(y) * s.width + x) * s.channels + c]; break;
                case LayerKind::Concat: {
                    int k = 0, cc = c;
                    while (cc >= t[l.inputs[k]].shape.channels)
                        cc -= t[l.inputs[k++]].shape.channels;
                    r = Plain(t[l.inputs[k]]).at(y, x, cc);
                    break;
                }
                case LayerKind::DepthToSpace: {
                    const int b = l.blockSize;
                    r = a.at(y / b, x / b, ((y % b) * b + x % b) * s.channels + c);
                    break;
                }
                case LayerKind::ResizeBilinear: {
                    const double sy = (y + 0.5) * in.shape.height / s.height - 0.5;
                    const double sx = (x + 0.5) * in.shape.width / s.width - 0.5;
                    const int y0 = std::max(0, static_cast<int>(std::floor(sy)));
                    const int x0 = std::max(0, static_cast<int>(std::floor(sx)));
                    const int y1 = std::min(in.shape.height - 1, y0 + 1), x1 = std::min(in.shape.width - 1, x0 + 1);
                    const double fy = std::max(0.0, sy - y0), fx = std::max(0.0, sx - x0);
                    r = static_cast<float>((1 - fy) * ((1 - fx) * a.at(y0, x0, c) + fx * a.at(y0, x1, c)) +
                                           fy * ((1 - fx) * a.at(y1, x0, c) + fx * a.at(y1, x1, c)));
                    break;
                }
                }
                if (l.relu)
                    r = std::max(0.0f, r);
                out.at(y, x, c) = r;
            }
    return out;
}

// Every kind of layer, with channel counts that are not whole vectors, odd
// sizes, strides and padding on every side.
CnnModel everyLayer(std::mt19937& random)
{
    CnnModel m;
    std::normal_distribution<float> normal(0, 0.3f);
    const auto weights = [&](std::int64_t n) {
        const auto offset = static_cast<std::int64_t>(m.weights.size());
        for (std::int64_t i = 0; i < n; ++i)
            m.weights.push_back(normal(random));
        return offset;
    };
    m.tensors.push_back({13, 11, 3});
    const auto add = [&](Layer l, Shape s) {
        l.output = static_cast<std::int32_t>(m.tensors.size());
        m.tensors.push_back(s);
        m.layers.push_back(l);
        return l.output;
    };
    const auto window = [](LayerKind kind, int input, int k, int stride, int padBefore, int padAfter) {
        Layer l;
        l.kind = kind;
        l.inputs[0] = input;
        l.kernelH = l.kernelW = k;
        l.strideH = l.strideW = stride;
        l.padTop = l.padLeft = padBefore;
        l.padBottom = l.padRight = padAfter;
        return l;
    };
    Layer l = window(LayerKind::Convolution, 0, 3, 2, 1, 1); // 13x11x3 -> 7x6x11
    l.weights = weights(3 * 3 * 3 * 11);
    l.bias = weights(11);
    l.relu = 1;
    const int a = add(l, {7, 6, 11});
    l = window(LayerKind::Convolution, a, 5, 1, 2, 2); // -> 7x6x37: four vectors and one more
    l.weights = weights(5 * 5 * 11 * 37);
    l.bias = -1;
    const int b = add(l, {7, 6, 37});
    l = window(LayerKind::Convolution, b, 1, 1, 0, 0); // pointwise, 42 pixels -> 19 channels
    l.weights = weights(37 * 19);
    l.bias = weights(19);
    const int c = add(l, {7, 6, 19});
    l = window(LayerKind::Depthwise, c, 3, 2, 1, 1); // -> 4x3x19
    l.weights = weights(3 * 3 * 19);
    l.bias = weights(19);
    const int d = add(l, {4, 3, 19});
    l = window(LayerKind::Depthwise, d, 5, 1, 2, 2);
    l.weights = weights(5 * 5 * 19);
    l.bias = -1;
    l.relu = 1;
    const int e = add(l, {4, 3, 19});
    Layer sum;
    sum.kind = LayerKind::Add;
    sum.inputCount = 2;
    sum.inputs[0] = d;
    sum.inputs[1] = e;
    sum.relu = 1;
    const int f = add(sum, {4, 3, 19});
    const int g = add(window(LayerKind::MaxPool, f, 2, 2, 0, 1), {2, 2, 19});
    Layer pad;
    pad.kind = LayerKind::Pad;
    pad.inputs[0] = g;
    pad.padTop = 1;
    pad.padRight = 2;
    pad.padFront = 2;
    pad.padBack = 3;
    const int h = add(pad, {3, 4, 24});
    Layer relu;
    relu.kind = LayerKind::Relu;
    relu.inputs[0] = c;
    const int i = add(relu, {7, 6, 19});
    Layer residual = window(LayerKind::Convolution, c, 1, 1, 0, 0); // adds the Relu's output
    residual.inputCount = 2;
    residual.inputs[1] = i;
    residual.weights = weights(19 * 19);
    residual.bias = weights(19);
    residual.relu = 1;
    const int withResidual = add(residual, {7, 6, 19});
    Layer resize;
    resize.kind = LayerKind::ResizeBilinear;
    resize.inputs[0] = h;
    const int j = add(resize, {7, 6, 24});
    Layer concat;
    concat.kind = LayerKind::Concat;
    concat.inputCount = 2;
    concat.inputs[0] = withResidual;
    concat.inputs[1] = j;
    const int k = add(concat, {7, 6, 43});
    Layer cut = window(LayerKind::Convolution, k, 1, 1, 0, 0); // 43 -> 36 channels, for depth to space
    cut.weights = weights(43 * 36);
    const int o = add(cut, {7, 6, 36});
    Layer toSpace;
    toSpace.kind = LayerKind::DepthToSpace;
    toSpace.inputs[0] = o;
    toSpace.blockSize = 2;
    const int n = add(toSpace, {14, 12, 9});
    Layer reshape;
    reshape.kind = LayerKind::Reshape;
    reshape.inputs[0] = n;
    const int q = add(reshape, {1, 14 * 12 * 9 / 3, 3});
    m.outputs = {k, q};
    m.outputNames = {"concat", "reshape"};
    return m;
}

TEST(CnnNetwork, EveryLayerMatchesPlainLoopsOnEveryInstructionSet)
{
    std::mt19937 random(18);
    const CnnModel model = everyLayer(random);
    ASSERT_NO_THROW(model.validate());
    std::vector<Plain> t(model.tensors.size());
    t[0] = {model.tensors[0], {}};
    std::uniform_real_distribution<float> uniform(-1, 1);
    for (int i = 0; i < model.tensors[0].size(); ++i)
        t[0].v.push_back(uniform(random));
    for (const Layer& l : model.layers)
        t[l.output] = referenceLayer(model, l, t);

    int sets = 0;
    for (Instructions set : {Instructions::Plain, Instructions::Avx2, Instructions::Avx2Fma}) {
        if (!mivora::cnn::supported(set))
            continue;
        ++sets;
        CnnNetwork network(model, set);
        for (int run = 0; run < 2; ++run) { // the second run reuses dirty buffers
            for (int p = 0; p < model.tensors[0].height * model.tensors[0].width; ++p)
                std::copy_n(&t[0].v[3 * p], 3, network.input() + p * network.inputPixelStride());
            network.run();
            for (std::size_t o = 0; o < model.outputs.size(); ++o) {
                const std::vector<float> got = network.output(static_cast<int>(o));
                const std::vector<float>& want = t[model.outputs[o]].v;
                ASSERT_EQ(got.size(), want.size());
                for (std::size_t i = 0; i < got.size(); ++i)
                    ASSERT_NEAR(got[i], want[i], 1e-4 * (1 + std::abs(want[i])))
                        << network.instructionSet() << " output " << model.outputNames[o] << " value " << i;
            }
        }
    }
    EXPECT_GE(sets, 1);
}

// A run spread over two calls, split at any layer, gives the outputs of one
// run; the split by work lies strictly inside the network.
TEST(CnnNetwork, ARunSplitAtAnyLayerGivesTheSameOutputs)
{
    std::mt19937 random(27);
    const CnnModel model = everyLayer(random);
    CnnNetwork network(model);
    std::uniform_real_distribution<float> uniform(-1, 1);
    const int pixels = model.tensors[0].height * model.tensors[0].width;
    const auto fill = [&](std::mt19937 values) {
        for (int p = 0; p < pixels; ++p)
            for (int c = 0; c < 3; ++c)
                network.input()[p * network.inputPixelStride() + c] = uniform(values);
    };
    fill(random);
    network.run();
    std::vector<std::vector<float>> whole;
    for (std::size_t o = 0; o < model.outputs.size(); ++o)
        whole.push_back(network.output(static_cast<int>(o)));
    const int layers = network.layerCount();
    ASSERT_EQ(layers, static_cast<int>(model.layers.size()));
    for (int split = 0; split <= layers; ++split) {
        fill(std::mt19937(99)); // dirty buffers: another input's run between
        network.run();
        fill(random);
        network.run(0, split);
        network.run(split, layers);
        for (std::size_t o = 0; o < model.outputs.size(); ++o)
            ASSERT_EQ(network.output(static_cast<int>(o)), whole[o]) << "split at layer " << split;
    }
    EXPECT_EQ(network.layerAfterShare(0), 0);
    EXPECT_EQ(network.layerAfterShare(1), layers);
    const int middle = network.layerAfterShare(0.5);
    EXPECT_GT(middle, 0);
    EXPECT_LT(middle, layers);
    EXPECT_LE(network.layerAfterShare(0.2), middle);
    EXPECT_GE(network.layerAfterShare(0.8), middle);
}

// ---------------------------------------------------------------------------
// The converter on small graphs written here.

struct Converted {
    int status;
    std::string errors;
    std::string output;
};

Converted convert(const nlohmann::json& graph, const std::vector<unsigned char>& weights,
                  const std::string& extraArguments = "")
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("mivora_cnn_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "model.json") << graph.dump();
    std::ofstream(dir / "model.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(weights.data()), static_cast<std::streamsize>(weights.size()));
    const std::string command = std::string(CNN_CONVERT_PATH) + " " + (dir / "model.json").string() + " " +
                                (dir / "out.mivora").string() + " " + extraArguments + " 2>" +
                                (dir / "errors.txt").string() + " >/dev/null";
    Converted c;
    c.status = std::system(command.c_str());
    std::ifstream errors(dir / "errors.txt");
    c.errors.assign(std::istreambuf_iterator<char>(errors), {});
    c.output = (dir / "out.mivora").string();
    return c;
}

nlohmann::json node(const std::string& name, const std::string& op, const std::vector<std::string>& inputs,
                    const nlohmann::json& attr = nlohmann::json::object())
{
    return {{"name", name}, {"op", op}, {"input", inputs}, {"attr", attr}};
}

// Placeholder 1x2x2x3 -> 1x1 convolution to 2 channels, bias, Relu -> Identity.
nlohmann::json convolutionGraph(const nlohmann::json& filterQuantisation, const nlohmann::json& biasQuantisation,
                                const std::string& activation = "Relu")
{
    const auto base64 = [](const std::string& s) {
        static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        unsigned bits = 0;
        int count = 0;
        for (unsigned char ch : s) {
            bits = (bits << 8) | ch;
            count += 8;
            while (count >= 6) {
                count -= 6;
                out.push_back(alphabet[(bits >> count) & 63]);
            }
        }
        if (count > 0)
            out.push_back(alphabet[(bits << (6 - count)) & 63]);
        while (out.size() % 4)
            out.push_back('=');
        return out;
    };
    nlohmann::json filter = {{"name", "filter"}, {"shape", {1, 1, 3, 2}}, {"dtype", "float32"}};
    nlohmann::json bias = {{"name", "bias"}, {"shape", {2}}, {"dtype", "float32"}};
    if (!filterQuantisation.is_null())
        filter["quantization"] = filterQuantisation;
    if (!biasQuantisation.is_null())
        bias["quantization"] = biasQuantisation;
    nlohmann::json fused = {"BiasAdd"};
    if (!activation.empty())
        fused.push_back(activation);
    nlohmann::json fusedOps = nlohmann::json::array();
    for (const auto& op : fused)
        fusedOps.push_back(base64(op.get<std::string>()));
    return {{"format", "graph-model"},
            {"modelTopology",
             {{"node",
               {node("input", "Placeholder", {},
                     {{"shape",
                       {{"shape", {{"dim", {{{"size", "-1"}}, {{"size", "2"}}, {{"size", "2"}}, {{"size", "3"}}}}}}}}}),
                node("filter", "Const", {}), node("bias", "Const", {}),
                node("conv", "_FusedConv2D", {"input", "filter", "bias"},
                     {{"strides", {{"list", {{"i", {"1", "1", "1", "1"}}}}}},
                      {"padding", {{"s", base64("VALID")}}},
                      {"fused_ops", {{"list", {{"s", fusedOps}}}}}}),
                node("Identity", "Identity", {"conv"})}}}},
            {"weightsManifest", {{{"paths", {"model.bin"}}, {"weights", {filter, bias}}}}}};
}

TEST(CnnConverter, ReadsQuantisedWeightsAsTheManifestSays)
{
    // Filter: 6 uint8 values q * 0.5 - 1; bias: 2 float16 values (1.5, -0.25).
    std::vector<unsigned char> bin = {0, 1, 2, 3, 4, 255, 0x00, 0x3e, 0x00, 0xb4};
    const Converted c = convert(convolutionGraph({{"dtype", "uint8"}, {"scale", 0.5}, {"min", -1.0}},
                                                 {{"dtype", "float16"}, {"original_dtype", "float32"}}),
                                bin);
    ASSERT_EQ(c.status, 0) << c.errors;
    const CnnModel m = CnnModel::load(c.output);
    ASSERT_EQ(m.layers.size(), 1u);
    EXPECT_EQ(m.layers[0].relu, 1);
    const std::vector<float> filter(m.weights.begin() + m.layers[0].weights,
                                    m.weights.begin() + m.layers[0].weights + 6);
    EXPECT_EQ(filter, (std::vector<float>{-1, -0.5f, 0, 0.5f, 1, 126.5f}));
    EXPECT_EQ(m.weights[m.layers[0].bias], 1.5f);
    EXPECT_EQ(m.weights[m.layers[0].bias + 1], -0.25f);

    // The same weights as plain floats; the manifest and the file must agree in size.
    std::vector<unsigned char> floats(8 * 4);
    const float values[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(floats.data(), values, sizeof values);
    EXPECT_EQ(convert(convolutionGraph(nullptr, nullptr), floats).status, 0);
    floats.resize(30);
    const Converted shortFile = convert(convolutionGraph(nullptr, nullptr), floats);
    EXPECT_NE(shortFile.status, 0);
    EXPECT_NE(shortFile.errors.find("beyond the weight files"), std::string::npos) << shortFile.errors;
}

TEST(CnnConverter, RefusesWhatItDoesNotKnowByName)
{
    std::vector<unsigned char> floats(8 * 4, 0);
    nlohmann::json graph = convolutionGraph(nullptr, nullptr);
    graph["modelTopology"]["node"].push_back(node("squash", "Sigmoid", {"conv"}));
    graph["modelTopology"]["node"][4]["input"] = {"squash"};
    Converted c = convert(graph, floats);
    EXPECT_NE(c.status, 0);
    EXPECT_NE(c.errors.find("unsupported operation Sigmoid (node squash)"), std::string::npos) << c.errors;

    c = convert(convolutionGraph(nullptr, nullptr, "Relu6"), floats);
    EXPECT_NE(c.status, 0);
    EXPECT_NE(c.errors.find("Relu6"), std::string::npos) << c.errors;
}

// ---------------------------------------------------------------------------
// Decoding and merging.

TEST(CnnFaces, OverlappingBoxesMergeIntoTheirScoreWeightedMean)
{
    mivora::CnnFace a, b, far;
    a.centreX = 100, a.centreY = 100, a.width = a.height = 40, a.score = 0.9f;
    b.centreX = 106, b.centreY = 100, b.width = b.height = 40, b.score = 0.3f;
    far.centreX = 300, far.centreY = 100, far.width = far.height = 40, far.score = 0.95f;
    a.keypoints[0] = 90, b.keypoints[0] = 102;
    const std::vector<mivora::CnnFace> merged = mivora::mergeOverlapping({b, a, far}, 0.3f);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_FLOAT_EQ(merged[0].centreX, 300);
    EXPECT_FLOAT_EQ(merged[1].score, 0.9f);
    EXPECT_NEAR(merged[1].centreX, (0.9 * 100 + 0.3 * 106) / 1.2, 1e-4);
    EXPECT_NEAR(merged[1].keypoints[0], (0.9 * 90 + 0.3 * 102) / 1.2, 1e-4);
    EXPECT_NEAR(mivora::boxOverlap(a, b), 34.0 * 40 / (2 * 1600 - 34.0 * 40), 1e-5);
}

// Each converted detector finds the astronaut where dlib's detector does, in
// the photo and in the photo set off-centre in a wider frame (the letterbox
// and the anchors mapped back right), with its eyes above its mouth and the
// subject's right eye on the image's left.
TEST(CnnFaces, ConvertedDetectorsFindThePhotosFaceWhereDlibDoes)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty());
    mivora::GrayImage gray;
    mivora::bgrToGray(photo.data, photo.cols, photo.rows, gray);
    mivora::FaceDetector hog(mivora::DetectorModel::load(""));
    const std::vector<mivora::Detection> truth = hog.scanWholeFrame(gray);
    ASSERT_EQ(truth.size(), 1u);
    const dlib::rectangle r = truth[0].rect;
    const cv::Point2d centre((r.left() + r.right()) / 2.0, (r.top() + r.bottom()) / 2.0);

    const cv::Point offset(64, 16);
    cv::Mat wide(photo.rows + 32, photo.cols + 64, CV_8UC3, cv::Scalar(90, 120, 80));
    photo.copyTo(wide(cv::Rect(offset.x, offset.y, photo.cols, photo.rows)));
    for (const char* name : kCandidates) {
        mivora::CnnFaceDetector detector(CnnModel::load(packedPath(name)));
        for (const bool inWide : {false, true}) {
            const cv::Mat& image = inWide ? wide : photo;
            const cv::Point2d expected = centre + (inWide ? cv::Point2d(offset) : cv::Point2d());
            const std::vector<mivora::CnnFace> faces =
                detector.detect(image.data, image.cols, image.rows, static_cast<std::ptrdiff_t>(image.step), 0.5f);
            ASSERT_EQ(faces.size(), 1u) << name << (inWide ? " in the wide frame" : "");
            const mivora::CnnFace& f = faces[0];
            EXPECT_LT(cv::norm(cv::Point2d(f.centreX, f.centreY) - expected), r.width() / 4.0) << name;
            EXPECT_NEAR(f.width, r.width(), r.width() / 3.0) << name;
            EXPECT_LT(f.keypoints[0], f.keypoints[2]) << name << ": the subject's right eye is on the image's left";
            EXPECT_LT(f.keypoints[1], f.keypoints[7]) << name << ": the eyes are above the mouth";
            EXPECT_GT(f.score, 0.5f);
        }
    }
}

// A square region of an image gives the network the very input a crop of
// that region gives it: the same faces, moved by the region's corner.
TEST(CnnFaces, ARegionIsSeenAsItsCrop)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty());
    mivora::CnnFaceDetector detector(CnnModel::load(packedPath("blazeface-back")));
    const cv::Rect crop(100, 20, 320, 320);
    const cv::Mat cut = photo(crop).clone();
    const std::vector<mivora::CnnFace> inCut =
        detector.detect(cut.data, cut.cols, cut.rows, static_cast<std::ptrdiff_t>(cut.step), 0.5f);
    mivora::CnnFaceDetector::Region region;
    region.x = static_cast<float>(crop.x);
    region.y = static_cast<float>(crop.y);
    region.width = static_cast<float>(crop.width);
    region.height = static_cast<float>(crop.height);
    const std::vector<mivora::CnnFace> inRegion =
        detector.detect(photo.data, photo.cols, photo.rows, static_cast<std::ptrdiff_t>(photo.step), region, 0.5f);
    ASSERT_EQ(inCut.size(), 1u);
    ASSERT_EQ(inRegion.size(), inCut.size());
    EXPECT_NEAR(inRegion[0].centreX, inCut[0].centreX + crop.x, 1e-2);
    EXPECT_NEAR(inRegion[0].centreY, inCut[0].centreY + crop.y, 1e-2);
    EXPECT_NEAR(inRegion[0].width, inCut[0].width, 1e-2);
    EXPECT_NEAR(inRegion[0].score, inCut[0].score, 1e-5);
    for (int k = 0; k < 2 * mivora::kCnnKeypoints; ++k)
        EXPECT_NEAR(inRegion[0].keypoints[k], inCut[0].keypoints[k] + (k % 2 ? crop.y : crop.x), 1e-2);

    // Regions partly or wholly off the image, degenerate ones, tiny images:
    // black where there is no image, nothing found where there is nothing.
    region.x = -2000;
    EXPECT_TRUE(
        detector.detect(photo.data, photo.cols, photo.rows, static_cast<std::ptrdiff_t>(photo.step), region, 0.5f)
            .empty());
    region.x = static_cast<float>(photo.cols) - 100;
    detector.detect(photo.data, photo.cols, photo.rows, static_cast<std::ptrdiff_t>(photo.step), region, 0.5f);
    region.width = 0;
    EXPECT_TRUE(
        detector.detect(photo.data, photo.cols, photo.rows, static_cast<std::ptrdiff_t>(photo.step), region, 0.5f)
            .empty());
    region.width = std::nanf("");
    EXPECT_TRUE(
        detector.detect(photo.data, photo.cols, photo.rows, static_cast<std::ptrdiff_t>(photo.step), region, 0.5f)
            .empty());
    const unsigned char pixel[3] = {10, 200, 30};
    EXPECT_TRUE(detector.detect(pixel, 1, 1, 3, 0.5f).empty());
}

// A detection spread over two calls finds what one call finds, though
// another detector sharing its scratch runs in between (as the crop network
// runs between the halves of a pass in video mode).
TEST(CnnFaces, ADetectionSpreadOverTwoCallsFindsTheSameFaces)
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty());
    const mivora::ImageView image = mivora::ImageView::ofBgr(photo.data, photo.cols, photo.rows);
    mivora::CnnFaceDetector whole(CnnModel::load(packedPath("blazeface-back")));
    mivora::CnnFaceDetector crop(CnnModel::load(packedPath("blazeface-front")));
    whole.shareScratchWith(crop);
    mivora::CnnFaceDetector::Region region;
    region.x = 40;
    region.y = -20;
    region.width = 400;
    region.height = 300;
    const std::vector<mivora::CnnFace> once = whole.detect(image, region, 0.3f);
    ASSERT_FALSE(once.empty());
    mivora::CnnFaceDetector::Region other;
    other.x = 200;
    other.width = other.height = 300;
    for (const double share : {0.0, 0.35, 0.5, 1.0}) {
        whole.begin(image, region, share);
        EXPECT_FALSE(crop.detect(image, other, 0.3f).empty());
        const std::vector<mivora::CnnFace> spread = whole.finish(0.3f);
        ASSERT_EQ(spread.size(), once.size()) << "share " << share;
        for (std::size_t i = 0; i < once.size(); ++i) {
            EXPECT_EQ(spread[i].centreX, once[i].centreX) << "share " << share;
            EXPECT_EQ(spread[i].centreY, once[i].centreY) << "share " << share;
            EXPECT_EQ(spread[i].width, once[i].width) << "share " << share;
            EXPECT_EQ(spread[i].score, once[i].score) << "share " << share;
            EXPECT_EQ(spread[i].keypoints, once[i].keypoints) << "share " << share;
        }
    }
    // Finished twice, never begun, begun on a copy, or overrun by another
    // detection on the same detector: nothing, never what is left in the
    // buffers.
    EXPECT_TRUE(whole.finish(0.3f).empty());
    whole.begin(image, region, 0.5);
    mivora::CnnFaceDetector copy = whole;
    EXPECT_TRUE(copy.finish(0.0f).empty()); // any score: not even what its own buffer holds
    EXPECT_FALSE(whole.detect(image, other, 0.3f).empty());
    EXPECT_TRUE(whole.finish(0.3f).empty());
    region.width = 0;
    whole.begin(image, region, 0.5);
    EXPECT_TRUE(whole.finish(0.3f).empty());

    // The share asked for splits the packaged networks inside, not at an end.
    for (const char* name : kCandidates) {
        const CnnNetwork network(CnnModel::load(packedPath(name)));
        EXPECT_GT(network.layerAfterShare(0.35), 0) << name;
        EXPECT_LT(network.layerAfterShare(0.35), network.layerCount()) << name;
    }
}

namespace {

// What video mode follows faces with: the landmark model, the HOG detector,
// the full-range network and the small one.
struct TrackingParts {
    std::unique_ptr<mivora::LandmarkModel> landmarks;
    mivora::FaceDetector hog{mivora::DetectorModel::load("")};
    mivora::CnnFaceDetector network{CnnModel::load(packedPath("facemesh-detection-full"))};
    mivora::CnnFaceDetector crop{CnnModel::load(packedPath("blazeface-front"))};
    TrackingParts()
    {
        std::string problem;
        landmarks = mivora::LandmarkModel::open(PACKED_MODEL_PATH, problem);
        EXPECT_TRUE(landmarks && landmarks->loadLeaves(problem)) << problem;
    }
    mivora::FaceFinders finders(bool withSmallNetwork) { return {hog, &network, withSmallNetwork ? &crop : nullptr}; }
};

// The astronaut's head and shoulders.
cv::Mat astronautHead()
{
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    EXPECT_FALSE(photo.empty());
    return photo.empty() ? photo : photo(cv::Rect(60, 0, 320, 340)).clone();
}

// The same, rolled by `degrees` and out of focus by blurSigma.
cv::Mat rolledAstronautHead(double degrees, double blurSigma = 0)
{
    const cv::Mat head = astronautHead();
    if (head.empty())
        return head;
    cv::Mat rolled;
    const cv::Mat turn = cv::getRotationMatrix2D(cv::Point2f(160, 170), degrees, 1);
    cv::warpAffine(head, rolled, turn, head.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    if (blurSigma > 0)
        cv::GaussianBlur(rolled, rolled, cv::Size(), blurSigma);
    return rolled;
}

} // namespace

// Beside a followed face, every frame pays for half a network pass at most:
// the full-range network runs either the first share of a pass or the rest
// of the one begun on the frame before, and every pass begun is finished.
TEST(CnnFaceTracking, AFollowedFramePaysForHalfAPassAtMost)
{
    const cv::Mat head = astronautHead();
    ASSERT_FALSE(head.empty());
    const cv::Mat background = test_support::texturedBackground(cv::Size(640, 480));
    TrackingParts parts;
    ASSERT_TRUE(parts.landmarks);
    mivora::CnnFaceDetector& network = parts.network;
    const mivora::FaceFinders finders = parts.finders(true);
    mivora::FaceTracker tracker;
    const long long whole = network.layerCount();
    std::vector<long long> paid; // layers of the full network on each followed frame
    std::size_t facesBefore = 0;
    for (int i = 0; i < 90; ++i) {
        cv::Mat frame = background.clone();
        head.copyTo(frame(cv::Rect(120 + i, 80, head.cols, head.rows))); // drifting a pixel a frame
        const long long before = network.layersRun();
        tracker.track(mivora::ImageView::ofBgr(frame.data, frame.cols, frame.rows), finders, parts.landmarks.get());
        if (facesBefore == 1 && tracker.faces().size() == 1)
            paid.push_back(network.layersRun() - before);
        facesBefore = tracker.faces().size();
    }
    ASSERT_GE(paid.size(), 80u) << "the face is followed";
    const long long first = network.layerAfterShare(0.35);
    int passes = 0;
    bool begun = false;
    for (std::size_t i = 0; i < paid.size(); ++i) {
        ASSERT_LT(paid[i], whole) << "followed frame " << i << " paid for a whole pass";
        if (paid[i] == 0)
            continue;
        ASSERT_EQ(paid[i], begun ? whole - first : first) << "followed frame " << i;
        passes += begun;
        begun = !begun;
    }
    EXPECT_GE(passes, 6) << "a whole search of six passes, each finished";
}

// Without the small network, the search's own network looks at a followed
// face the HOG detector cannot confirm (here rolled and out of focus), on
// every frame: the search beside it must still come round and find a face
// that enters.
TEST(CnnFaceTracking, WithoutTheSmallNetworkTheSearchStillFindsAFaceEntering)
{
    const cv::Mat head = astronautHead();
    ASSERT_FALSE(head.empty());
    const cv::Mat rolled = rolledAstronautHead(50), blurred = rolledAstronautHead(50, 3.0);
    const cv::Mat background = test_support::texturedBackground(cv::Size(1280, 480));

    TrackingParts parts;
    ASSERT_TRUE(parts.landmarks);
    const mivora::FaceFinders finders = parts.finders(false);
    mivora::FaceTracker tracker;
    constexpr int kEnters = 20, kFoundWithin = 45;
    int followedFrames = 0, foundAfter = -1;
    for (int i = 0; i < kEnters + kFoundWithin && foundAfter < 0; ++i) {
        cv::Mat frame = background.clone();
        // Found sharp, then out of focus.
        (i < 8 ? rolled : blurred).copyTo(frame(cv::Rect(40, 60, blurred.cols, blurred.rows)));
        if (i >= kEnters)
            head.copyTo(frame(cv::Rect(860, 100, head.cols, head.rows)));
        tracker.track(mivora::ImageView::ofBgr(frame.data, frame.cols, frame.rows), finders, parts.landmarks.get());
        const auto& faces = tracker.faces();
        followedFrames +=
            std::any_of(faces.begin(), faces.end(), [](const mivora::TrackedFace& f) { return f.box.cx < 400; });
        if (i >= kEnters &&
            std::any_of(faces.begin(), faces.end(), [](const mivora::TrackedFace& f) { return f.box.cx > 860; }))
            foundAfter = i - kEnters;
    }
    // The blurred face is followed all along.
    EXPECT_GE(followedFrames, kEnters + foundAfter - 3);
    EXPECT_GE(foundAfter, 0) << "the face that entered was not found within " << kFoundWithin << " frames";
}

// What the small network alone found over the whole frame is looked at
// again by the full-range network, not by the small one a second time: a
// second opinion. The astronaut's head, rolled and out of focus, is what HOG
// cannot confirm where the small network finds it.
TEST(CnnFaceTracking, TheSmallNetworksFindsAreCheckedByTheOtherNetwork)
{
    const cv::Mat blurred = rolledAstronautHead(60, 4.0);
    ASSERT_FALSE(blurred.empty());
    cv::Mat frame = test_support::texturedBackground(cv::Size(640, 480));
    blurred.copyTo(frame(cv::Rect(160, 70, blurred.cols, blurred.rows)));

    TrackingParts parts;
    ASSERT_TRUE(parts.landmarks);
    const mivora::FaceFinders finders = parts.finders(true);
    mivora::FaceTracker tracker;
    const mivora::ImageView view = mivora::ImageView::ofBgr(frame.data, frame.cols, frame.rows);
    // A camera's first frame: the small network's pass over the whole frame.
    long long full = parts.network.layersRun(), small = parts.crop.layersRun();
    tracker.track(view, finders, parts.landmarks.get());
    ASSERT_EQ(parts.crop.layersRun() - small, parts.crop.layerCount());
    ASSERT_EQ(parts.network.layersRun() - full, 0);
    ASSERT_TRUE(tracker.faces().empty()) << "HOG confirmed the head at once: nothing is looked at again";
    // The second look, and nothing else on that frame (its pass waits).
    full = parts.network.layersRun();
    small = parts.crop.layersRun();
    tracker.track(view, finders, parts.landmarks.get());
    EXPECT_EQ(parts.network.layersRun() - full, parts.network.layerCount());
    EXPECT_EQ(parts.crop.layersRun() - small, 0);
    EXPECT_EQ(tracker.faces().size(), 1u);
}

// A new face makes the search begin again, but with the small network's
// pass over the whole frame only when that network did not find it: a face
// the first frame's small-network pass found (and HOG confirmed) is not
// looked for again by the same pass over the same view.
TEST(CnnFaceTracking, ASearchBegunAgainSkipsTheSmallNetworkWhereItFoundTheFace)
{
    const cv::Mat head = astronautHead();
    ASSERT_FALSE(head.empty());
    cv::Mat frame = test_support::texturedBackground(cv::Size(640, 480));
    head.copyTo(frame(cv::Rect(160, 70, head.cols, head.rows)));
    TrackingParts parts;
    ASSERT_TRUE(parts.landmarks);
    const mivora::FaceFinders finders = parts.finders(true);
    mivora::FaceTracker tracker;
    const mivora::ImageView view = mivora::ImageView::ofBgr(frame.data, frame.cols, frame.rows);
    long long small = parts.crop.layersRun();
    tracker.track(view, finders, parts.landmarks.get());
    ASSERT_EQ(parts.crop.layersRun() - small, parts.crop.layerCount()) << "the first frame's pass";
    ASSERT_EQ(tracker.faces().size(), 1u) << "found and confirmed at once";
    // The search begun again: the full-range network's first half-pass.
    small = parts.crop.layersRun();
    const long long full = parts.network.layersRun();
    tracker.track(view, finders, parts.landmarks.get());
    EXPECT_EQ(parts.crop.layersRun() - small, 0);
    EXPECT_EQ(parts.network.layersRun() - full, parts.network.layerAfterShare(0.35));
    EXPECT_EQ(tracker.faces().size(), 1u);
}

// A view that changes as a whole while no face is followed is looked at once
// by the small network over the whole frame (in place of a tile), and not
// again while it goes on changing (a camera panning): the tiles keep their
// turns.
TEST(CnnFaceTracking, AViewThatChangesAsAWholeIsLookedAtByTheSmallNetworkOnce)
{
    const cv::Mat first = test_support::texturedBackground(cv::Size(640, 480));
    // A room of boxes of every shade: the whole view changes.
    cv::Mat wide(cv::Size(1280, 480), CV_8UC3, cv::Scalar::all(90));
    cv::RNG shapes(2024);
    for (int i = 0; i < 150; ++i) {
        const cv::Point corner(shapes.uniform(-40, 1280), shapes.uniform(-40, 480));
        const cv::Size size(shapes.uniform(20, 160), shapes.uniform(20, 160));
        cv::rectangle(wide, cv::Rect(corner, size),
                      cv::Scalar(shapes.uniform(0, 256), shapes.uniform(0, 256), shapes.uniform(0, 256)), cv::FILLED);
    }
    TrackingParts parts;
    ASSERT_TRUE(parts.landmarks);
    const mivora::FaceFinders finders = parts.finders(true);
    mivora::FaceTracker tracker;
    const long long whole = parts.crop.layerCount();
    int beforeChange = 0, afterChange = 0;
    cv::RNG noise(7);
    for (int i = 0; i < 50; ++i) {
        // Twelve frames of a bare wall, then the room, the camera panning
        // 8 px a frame.
        cv::Mat frame = i < 12 ? first.clone() : wide(cv::Rect(8 * (i - 12), 0, 640, 480)).clone();
        cv::Mat grain(frame.size(), CV_8UC3);
        noise.fill(grain, cv::RNG::UNIFORM, 0, 4);
        frame += grain;
        const long long before = parts.crop.layersRun();
        tracker.track(mivora::ImageView::ofBgr(frame.data, frame.cols, frame.rows), finders, parts.landmarks.get());
        ASSERT_TRUE(tracker.faces().empty()) << "frame " << i;
        const long long ran = parts.crop.layersRun() - before;
        ASSERT_EQ(ran % whole, 0) << "frame " << i;
        (i < 12 ? beforeChange : afterChange) += static_cast<int>(ran / whole);
    }
    EXPECT_EQ(beforeChange, 1) << "the camera's first frame only";
    EXPECT_EQ(afterChange, 1);
}

} // namespace

// What the library's confirmation must reject: on the face-free clips of the
// cat and the coffee cup, the face network alone, at a low threshold, sees
// faces (MivoraFaceNetwork.NothingWhereOnlyTheNetworkSeesAFace checks the
// library reports none on the same frames).
TEST(CnnFaces, TheNetworkAloneSeesFacesInFaceFreeClips)
{
    mivora::CnnFaceDetector detector(CnnModel::load(packedPath("facemesh-detection-full")));
    for (const char* name : {"chelsea.png", "coffee.png"}) {
        const cv::Mat photo = cv::imread(test_support::dataPath(name), cv::IMREAD_COLOR);
        ASSERT_FALSE(photo.empty()) << name;
        int framesWithAFace = 0;
        for (int i = 0; i < test_support::kFaceFreeFrames; ++i) {
            const cv::Mat frame = test_support::faceFreeFrame(photo, i);
            // The whole frame and the four tiles the library searches.
            bool seen = false;
            for (int part = 0; part < 5 && !seen; ++part) {
                mivora::CnnFaceDetector::Region region;
                region.width = part == 0 ? frame.cols : 0.6f * frame.cols;
                region.height = part == 0 ? frame.rows : 0.6f * frame.rows;
                region.x = part == 2 || part == 4 ? 0.4f * frame.cols : 0;
                region.y = part >= 3 ? 0.4f * frame.rows : 0;
                seen = !detector
                            .detect(frame.data, frame.cols, frame.rows, static_cast<std::ptrdiff_t>(frame.step), region,
                                    test_support::kLowScoreThreshold)
                            .empty();
            }
            framesWithAFace += seen;
        }
        EXPECT_GT(framesWithAFace, 0) << name;
    }
}
