// SPDX-License-Identifier: MIT
// Our CNN inference against TensorFlow.js on the same inputs (with
// tfjs_reference.js; run_tfjs_comparison.sh drives both):
//
//   cnn_tfjs_check inputs MODEL.mivora DIR PHOTO...   writes DIR/input_K.f32
//   cnn_tfjs_check compare MODEL.mivora DIR           compares with DIR/input_K.NAME.f32
//   cnn_tfjs_check names MODEL.mivora                 prints the outputs' names
//
// The inputs are the photos resized to the network's input, camera-like noise
// and a smooth synthetic pattern. Every output of every input must agree
// with TensorFlow.js to within 1e-3 of that output's largest magnitude, on
// every instruction set this processor runs.
#include "cnn_network.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using mivora::cnn::CnnModel;
using mivora::cnn::CnnNetwork;
using mivora::cnn::Instructions;

constexpr double kTolerance = 1e-3;

bool writeFloats(const std::string& path, const std::vector<float>& values)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
    return static_cast<bool>(out.flush());
}

bool readFloats(const std::string& path, std::vector<float>& values)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return false;
    const std::streamsize size = in.tellg();
    values.resize(static_cast<std::size_t>(size) / 4);
    in.seekg(0);
    return size % 4 == 0 && static_cast<bool>(in.read(reinterpret_cast<char*>(values.data()), size));
}

std::string inputPath(const std::string& dir, int k) { return dir + "/input_" + std::to_string(k) + ".f32"; }

int writeInputs(const CnnModel& model, const std::string& dir, const std::vector<std::string>& photos)
{
    const mivora::cnn::Shape& s = model.tensors[0];
    const auto scaled = [&](const cv::Mat& rgb) {
        std::vector<float> values;
        for (int y = 0; y < s.height; ++y)
            for (int x = 0; x < s.width; ++x)
                for (int c = 0; c < 3; ++c)
                    values.push_back(rgb.at<cv::Vec3b>(y, x)[c] * model.inputScale + model.inputOffset);
        return values;
    };
    std::vector<std::vector<float>> inputs;
    for (const std::string& photo : photos) {
        cv::Mat bgr = cv::imread(photo, cv::IMREAD_COLOR), rgb;
        if (bgr.empty()) {
            std::fprintf(stderr, "cnn_tfjs_check: cannot read %s\n", photo.c_str());
            return 1;
        }
        cv::resize(bgr, bgr, cv::Size(s.width, s.height), 0, 0, cv::INTER_AREA);
        cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
        inputs.push_back(scaled(rgb));
    }
    std::mt19937 random(18);
    std::uniform_int_distribution<int> byte(0, 255);
    cv::Mat noise(s.height, s.width, CV_8UC3), pattern(s.height, s.width, CV_8UC3);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            for (int c = 0; c < 3; ++c) {
                noise.at<cv::Vec3b>(y, x)[c] = static_cast<unsigned char>(byte(random));
                pattern.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<unsigned char>(
                    128 + 100 * std::sin(0.05 * (x + 1) * (c + 1)) * std::cos(0.07 * y + c));
            }
    inputs.push_back(scaled(noise));
    inputs.push_back(scaled(pattern));
    for (std::size_t k = 0; k < inputs.size(); ++k)
        if (!writeFloats(inputPath(dir, static_cast<int>(k)), inputs[k])) {
            std::fprintf(stderr, "cnn_tfjs_check: cannot write %s\n", inputPath(dir, static_cast<int>(k)).c_str());
            return 1;
        }
    return 0;
}

int compare(const CnnModel& model, const std::string& dir)
{
    int passed = 0, failed = 0;
    for (Instructions set : {Instructions::Plain, Instructions::Avx2, Instructions::Avx2Fma}) {
        if (!mivora::cnn::supported(set))
            continue;
        CnnNetwork network(model, set);
        const mivora::cnn::Shape& s = model.tensors[0];
        std::vector<float> input;
        for (int k = 0; readFloats(inputPath(dir, k), input); ++k) {
            if (input.size() != static_cast<std::size_t>(s.size())) {
                std::fprintf(stderr, "cnn_tfjs_check: %s has the wrong size\n", inputPath(dir, k).c_str());
                return 1;
            }
            float* to = network.input();
            for (std::size_t p = 0; p < input.size() / 3; ++p)
                std::copy_n(&input[3 * p], 3, to + p * network.inputPixelStride());
            network.run();
            for (std::size_t i = 0; i < model.outputs.size(); ++i) {
                std::vector<float> expected;
                const std::string name = model.outputNames[i];
                const std::string path = dir + "/input_" + std::to_string(k) + "." + name + ".f32";
                if (!readFloats(path, expected)) {
                    std::fprintf(stderr, "cnn_tfjs_check: cannot read %s\n", path.c_str());
                    return 1;
                }
                const std::vector<float> actual = network.output(static_cast<int>(i));
                double largest = 0, worst = 0;
                bool sizes = actual.size() == expected.size();
                for (std::size_t j = 0; sizes && j < actual.size(); ++j) {
                    largest = std::max(largest, std::abs(static_cast<double>(expected[j])));
                    worst = std::max(worst, std::abs(static_cast<double>(actual[j]) - expected[j]));
                }
                // An all-zero reference would pass anything: it is a failure too.
                const bool ok = sizes && largest > 0 && worst <= kTolerance * largest;
                std::printf("%-9s input %d output %-10s %7zu values: largest |tfjs| %9.4f, largest difference %.3g "
                            "(%.2g of it) %s\n",
                            network.instructionSet(), k, name.c_str(), expected.size(), largest, worst,
                            largest > 0 ? worst / largest : 0.0,
                            ok      ? "ok"
                            : sizes ? "FAILED"
                                    : "FAILED (size)");
                (ok ? passed : failed)++;
            }
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const bool names = argc == 3 && std::strcmp(argv[1], "names") == 0;
    if (!names && (argc < 4 || (std::strcmp(argv[1], "inputs") != 0 && std::strcmp(argv[1], "compare") != 0))) {
        std::fprintf(stderr,
                     "usage: %s inputs MODEL.mivora DIR PHOTO...\n       %s compare MODEL.mivora DIR\n"
                     "       %s names MODEL.mivora\n",
                     argv[0], argv[0], argv[0]);
        return 2;
    }
    try {
        const CnnModel model = CnnModel::load(argv[2]);
        if (names) {
            for (const std::string& name : model.outputNames)
                std::printf("%s\n", name.c_str());
            return 0;
        }
        if (std::strcmp(argv[1], "inputs") == 0)
            return writeInputs(model, argv[3], std::vector<std::string>(argv + 4, argv + argc));
        return compare(model, argv[3]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cnn_tfjs_check: %s: %s\n", argv[2], e.what());
        return 1;
    }
}
