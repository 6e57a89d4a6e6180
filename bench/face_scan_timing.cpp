// SPDX-License-Identifier: MIT
// face_scan_timing: milliseconds per whole-frame face search, FaceScan
// against plain dlib built two ways (the project's generic x86-64 flags, and
// -O3 -march=native), on 640x480 and 1280x720 frames with a face
// (astronaut.png on a textured background) and without one. Implementations
// take turns run by run, so that a busy machine slows them alike; each figure
// is the median of the runs, in wall time and in the thread's CPU time (the
// CPU time leaves out the time other processes held the core).
//
//   taskset -c 1 face_scan_timing [--runs N] [--sets]
//
// --sets also times FaceScan with each instruction set this processor runs.
// Exits non-zero when FaceScan's faces are not dlib's.
#include "dlib_reference_scan.h"
#include "face_scan.h"
#include "gray_image.h"

#include "test_support.h"

#include <dlib/image_processing/frontal_face_detector.h>

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using Faces = std::vector<dlib::rect_detection>;

double threadCpuMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec * 1e-6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Contender {
    std::string name;
    std::function<void(const mivora::GrayImage&, Faces&)> scan;
    std::vector<double> wall, cpu;
    Faces faces;
};

mivora::GrayImage grayOf(const cv::Mat& bgr)
{
    mivora::GrayImage gray;
    mivora::bgrToGray(bgr.data, bgr.cols, bgr.rows, gray);
    return gray;
}

double intersectionOverUnion(const dlib::rectangle& a, const dlib::rectangle& b)
{
    const double overlap = static_cast<double>(a.intersect(b).area());
    return overlap / static_cast<double>(a.area() + b.area() - overlap);
}

// True when each of dlib's faces has one of ours with IoU >= 0.9 and there are
// no others; scoreDifference gets the largest score difference.
bool sameFaces(const Faces& theirs, const Faces& ours, double& scoreDifference)
{
    if (theirs.size() != ours.size())
        return false;
    std::vector<bool> used(ours.size(), false);
    for (const dlib::rect_detection& face : theirs) {
        int best = -1;
        for (std::size_t i = 0; i < ours.size(); ++i)
            if (!used[i] && intersectionOverUnion(face.rect, ours[i].rect) >= 0.9)
                best = static_cast<int>(i);
        if (best < 0)
            return false;
        used[best] = true;
        scoreDifference =
            std::max(scoreDifference, std::abs(face.detection_confidence - ours[best].detection_confidence));
    }
    return true;
}

std::string processorName()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown processor";
}

std::string allowedCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return "?";
    std::string cpus;
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(i, &set))
            cpus += (cpus.empty() ? "" : ",") + std::to_string(i);
    return cpus;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 21;
    bool everySet = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--sets") == 0)
            everySet = true;
        else {
            std::fprintf(stderr, "usage: %s [--runs N] [--sets]\n", argv[0]);
            return 2;
        }
    }

    dlib::frontal_face_detector native = dlib::get_frontal_face_detector();
    dlib::frontal_face_detector generic = native;
    std::vector<Contender> contenders;
    contenders.push_back({"dlib -O3 -march=native", [&](const mivora::GrayImage& image, Faces& faces) {
                              mivora_dlib_scan_native(&native, &image, &faces, 0);
                          }});
    contenders.push_back({"dlib generic x86-64", [&](const mivora::GrayImage& image, Faces& faces) {
                              mivora_dlib_scan_generic(&generic, &image, &faces, 0);
                          }});
    std::vector<mivora::FaceScan> scans;
    scans.emplace_back(native);
    if (everySet)
        for (mivora::FaceScan::Instructions set :
             {mivora::FaceScan::Instructions::Plain, mivora::FaceScan::Instructions::Avx2,
              mivora::FaceScan::Instructions::Avx2Fma})
            if (mivora::FaceScan::supported(set) && set != scans.front().instructions())
                scans.emplace_back(native, set);
    for (mivora::FaceScan& scan : scans)
        contenders.push_back({std::string("FaceScan ") + scan.instructionsName(),
                              [&scan](const mivora::GrayImage& image, Faces& faces) { scan.scan(image, faces); }});

    std::printf("%s, CPUs %s, %d runs each (median), %s\n", processorName().c_str(), allowedCpus().c_str(), runs,
                "milliseconds per whole-frame search, wall / thread CPU");
    std::printf("%-16s", "frame");
    for (const Contender& c : contenders)
        std::printf(" | %-23s", c.name.c_str());
    std::printf(" | %s\n", "speed-up vs native (wall / CPU)");

    const cv::Mat astronaut = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    bool allSame = true;
    double largestScoreDifference = 0;
    for (const cv::Size size : {cv::Size(640, 480), cv::Size(1280, 720)}) {
        const cv::Mat background = test_support::texturedBackground(size);
        cv::Mat face = astronaut;
        if (face.rows > size.height)
            cv::resize(astronaut, face, cv::Size(), 0.85, 0.85, cv::INTER_AREA);
        for (const bool withFace : {true, false}) {
            const mivora::GrayImage frame =
                grayOf(withFace ? test_support::photoFrame(face, background, 0) : background);
            for (Contender& c : contenders) {
                c.wall.clear();
                c.cpu.clear();
                c.scan(frame, c.faces); // warm-up: buffers, caches
            }
            for (int run = 0; run < runs; ++run)
                for (Contender& c : contenders) {
                    const double cpu0 = threadCpuMilliseconds();
                    const auto wall0 = std::chrono::steady_clock::now();
                    c.scan(frame, c.faces);
                    c.wall.push_back(
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count());
                    c.cpu.push_back(threadCpuMilliseconds() - cpu0);
                }
            const std::string name =
                std::to_string(size.width) + "x" + std::to_string(size.height) + (withFace ? " face" : " no face");
            std::printf("%-16s", name.c_str());
            for (const Contender& c : contenders)
                std::printf(" | %9.2f / %-11.2f", median(c.wall), median(c.cpu));
            const Contender& ours = contenders[2];
            std::printf(" | %.2fx / %.2fx\n", median(contenders[0].wall) / median(ours.wall),
                        median(contenders[0].cpu) / median(ours.cpu));
            for (std::size_t i = 0; i < contenders.size(); ++i) {
                if (i == 1)
                    continue;
                double difference = 0;
                if (!sameFaces(contenders[1].faces, contenders[i].faces, difference)) {
                    std::printf("  %s: not dlib's faces (%zu against %zu)\n", contenders[i].name.c_str(),
                                contenders[i].faces.size(), contenders[1].faces.size());
                    allSame = false;
                }
                largestScoreDifference = std::max(largestScoreDifference, difference);
            }
            if (withFace && contenders[1].faces.empty()) {
                std::printf("  dlib found no face in the frame with one\n");
                allSame = false;
            }
        }
    }
    std::printf("faces: %s; largest score difference from generic dlib %.3g\n",
                allSame ? "the same as dlib's in every frame" : "DIFFERENT from dlib's", largestScoreDifference);
    return allSame ? 0 : 1;
}
