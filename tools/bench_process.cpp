// SPDX-License-Identifier: MIT
#include "bench_process.h"

#include "mivora_face.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

namespace mivora {
namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// This thread's processor time: on a busy machine, the time it would take
// alone.
double threadCpuMilliseconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The output of `program --first-call-once photo mode`, or "" when it fails.
std::string runChild(const std::string& program, const std::string& photo, const char* mode)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    const pid_t child = fork();
    if (child < 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        return {};
    }
    if (child == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        execl(program.c_str(), program.c_str(), "--first-call-once", photo.c_str(), mode, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string output;
    char buffer[256];
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0)
            break;
        output.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? output : std::string();
}

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A 640x480 camera's view of a wall: a blurred random texture, the same
// every time.
cv::Mat texturedWall()
{
    cv::Mat wall(480, 640, CV_8UC3);
    cv::RNG rng(2024);
    rng.fill(wall, cv::RNG::UNIFORM, 40, 220);
    cv::GaussianBlur(wall, wall, cv::Size(0, 0), 3.0);
    return wall;
}

// The photo at 80% of the wall's height (or width, for a wide photo), in its
// middle.
cv::Mat cameraFrame(const cv::Mat& photo)
{
    cv::Mat frame = texturedWall();
    const double scale =
        0.8 * std::min(static_cast<double>(frame.rows) / photo.rows, static_cast<double>(frame.cols) / photo.cols);
    cv::Mat placed;
    cv::resize(photo, placed, cv::Size(), scale, scale, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    placed.copyTo(
        frame(cv::Rect((frame.cols - placed.cols) / 2, (frame.rows - placed.rows) / 2, placed.cols, placed.rows)));
    return frame;
}

} // namespace

int firstCallOnce(const std::string& photo, bool video)
{
    const cv::Mat read = cv::imread(photo, cv::IMREAD_COLOR);
    if (read.empty())
        return 1;
    const cv::Mat image = video ? cameraFrame(read) : read;
    Clock::time_point start = Clock::now();
    double cpuStart = threadCpuMilliseconds();
    const int faces = MivoraFaceDetectStd(image.data, image.cols, image.rows,
                                          video ? MIVORA_FACE_MODE_VIDEO : MIVORA_FACE_MODE_STILL);
    const double detectMs = millisecondsSince(start), detectCpuMs = threadCpuMilliseconds() - cpuStart;
    if (faces <= 0)
        return 1;
    float landmarks[MIVORA_FACE_LANDMARK_VALUE_COUNT];
    start = Clock::now();
    cpuStart = threadCpuMilliseconds();
    const int status = MivoraGetFaceLandmark68Std(0, landmarks);
    const double landmarksMs = millisecondsSince(start), landmarksCpuMs = threadCpuMilliseconds() - cpuStart;
    if (status != MIVORA_FACE_OK)
        return 1;
    std::printf("%.4f %.4f %.4f %.4f\n", detectMs, landmarksMs, detectCpuMs, landmarksCpuMs);
    return 0;
}

bool measureFirstCalls(const std::string& program, const std::string& photo, int runs, nlohmann::ordered_json& out)
{
    out = {{"photo", photo}, {"runs", runs}};
    for (const char* mode : {"still", "video"}) {
        std::vector<double> detect, landmarks, frame, detectCpu, landmarksCpu;
        for (int i = 0; i < runs; ++i) {
            double d = 0, l = 0, dc = 0, lc = 0;
            const std::string output = runChild(program, photo, mode);
            if (std::sscanf(output.c_str(), "%lf %lf %lf %lf", &d, &l, &dc, &lc) != 4) {
                std::fprintf(stderr, "mivora_bench: the first-call run on %s (%s mode) failed\n", photo.c_str(), mode);
                return false;
            }
            detect.push_back(d);
            landmarks.push_back(l);
            frame.push_back(d + l);
            detectCpu.push_back(dc);
            landmarksCpu.push_back(lc);
        }
        const auto worst = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
        std::printf("%s: first calls of %d fresh processes (%s), milliseconds: median, worst (elapsed); "
                    "median, worst (processor time of the calling thread)\n",
                    photo.c_str(), runs,
                    std::strcmp(mode, "video") == 0 ? "video mode, the photo in a 640x480 frame" : "still mode");
        std::printf("  first detection (reads the detector, the model's trees and bases) %8.3f %8.3f %8.3f %8.3f\n",
                    median(detect), worst(detect), median(detectCpu), worst(detectCpu));
        std::printf("  first landmark call (reads the model's leaves)                     %8.3f %8.3f %8.3f %8.3f\n",
                    median(landmarks), worst(landmarks), median(landmarksCpu), worst(landmarksCpu));
        std::printf("  both                                                               %8.3f %8.3f\n", median(frame),
                    worst(frame));
        out[mode] = {{"first_detect_ms", {{"median", median(detect)}, {"worst", worst(detect)}}},
                     {"first_landmarks_ms", {{"median", median(landmarks)}, {"worst", worst(landmarks)}}},
                     {"first_detect_cpu_ms", {{"median", median(detectCpu)}, {"worst", worst(detectCpu)}}},
                     {"first_landmarks_cpu_ms", {{"median", median(landmarksCpu)}, {"worst", worst(landmarksCpu)}}},
                     {"first_frame_ms", {{"median", median(frame)}, {"worst", worst(frame)}}}};
    }
    return true;
}

bool measureResidentMemory(const std::string& photoPath, int frames, nlohmann::ordered_json& out)
{
    const cv::Mat photo = cv::imread(photoPath, cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::fprintf(stderr, "mivora_bench: cannot read %s\n", photoPath.c_str());
        return false;
    }
    const cv::Mat background = texturedWall();
    const double scale = 0.8 * background.rows / photo.rows;
    cv::Mat frame;
    const long before = residentKiB();
    int followed = 0;
    for (int i = 0; i < frames; ++i) {
        // A slow drift, as a person in front of a camera.
        const double dx = (background.cols - scale * photo.cols) / 2 + 40 * std::sin(i * 2 * CV_PI / 60);
        const double dy = (background.rows - scale * photo.rows) / 2 + 20 * std::sin(i * 2 * CV_PI / 45);
        const cv::Mat warp = (cv::Mat_<double>(2, 3) << scale, 0, dx, 0, scale, dy);
        background.copyTo(frame);
        cv::warpAffine(photo, frame, warp, frame.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
        if (MivoraFaceDetectStd(frame.data, frame.cols, frame.rows, MIVORA_FACE_MODE_VIDEO) > 0) {
            float landmarks[MIVORA_FACE_LANDMARK_VALUE_COUNT];
            followed += MivoraGetFaceLandmark68Std(0, landmarks) == MIVORA_FACE_OK;
        }
    }
    const long after = residentKiB();
    std::printf("%s: followed in video mode in %d of %d frames at 640x480\n", photoPath.c_str(), followed, frames);
    std::printf("  resident memory: %.1f MB before the first call, %.1f MB after the last (%.1f MB more)\n",
                before / 1024.0, after / 1024.0, (after - before) / 1024.0);
    out = {{"photo", photoPath},
           {"frames", frames},
           {"frames_with_landmarks", followed},
           {"resident_before_kib", before},
           {"resident_after_kib", after}};
    return followed >= frames - 3;
}

} // namespace mivora
