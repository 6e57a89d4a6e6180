// SPDX-License-Identifier: MIT
// demo_soak SECONDS: the demo's frame loop with the real library, in its
// window, on a generated clip played over and over at file speed. Prints
// frames, timing lines and resident memory; fails when memory keeps growing.
#include "frame_loop.h"

#include "test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// Plays a clip file without end, like a camera that never stops.
class LoopingClip : public cv::VideoCapture {
public:
    explicit LoopingClip(std::string path) : path_(std::move(path)) { clip_.open(path_); }
    VideoCapture& operator>>(cv::Mat& image) override
    {
        read(image);
        return *this;
    }
    bool read(cv::OutputArray image) override
    {
        if (clip_.read(image))
            return ++frames_, true;
        clip_.open(path_); // the end of the clip: start it again
        return clip_.read(image) ? (++frames_, true) : false;
    }
    long long frames() const { return frames_; }

private:
    std::string path_;
    cv::VideoCapture clip_;
    long long frames_ = 0;
};

// Counts the lines written to it and keeps nothing.
struct LineCounter : std::streambuf {
    long long lines = 0;
    int overflow(int c) override
    {
        lines += c == '\n';
        return c;
    }
};

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
    const cv::Mat photo = cv::imread(test_support::dataPath("astronaut.png"), cv::IMREAD_COLOR);
    const std::string clip = "/tmp/demo_soak_clip_" + std::to_string(getpid()) + ".avi";
    if (photo.empty() || test_support::writeFaceClip(clip, photo, cv::Size(640, 480), 60, 30, 60).empty()) {
        std::fprintf(stderr, "demo_soak: cannot make the clip\n");
        return 2;
    }
    LoopingClip camera(clip);
    LineCounter counter;
    std::streambuf* stdoutBuffer = std::cout.rdbuf(&counter);

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    runFrameLoop(camera, 150); // warm-up: one pass of the clip
    const long warmKiB = test_support::residentKiB();
    long peakKiB = warmKiB;
    double nextReport = 60.0;
    while (elapsed() < seconds) {
        runFrameLoop(camera, 150);
        peakKiB = std::max(peakKiB, test_support::residentKiB());
        if (elapsed() >= nextReport) {
            std::fprintf(stderr, "%.0f s: %lld frames, %ld KiB resident\n", elapsed(), camera.frames(),
                         test_support::residentKiB());
            nextReport += 60.0;
        }
    }
    std::cout.rdbuf(stdoutBuffer);
    std::remove(clip.c_str());

    const long growthKiB = peakKiB - warmKiB;
    std::fprintf(stderr,
                 "demo_soak: %.0f s, %lld frames (%.1f per second), %lld timing lines; resident after warm-up %ld "
                 "KiB, peak %ld KiB, growth %ld KiB\n",
                 elapsed(), camera.frames(), camera.frames() / elapsed(), counter.lines, warmKiB, peakKiB, growthKiB);
    if (growthKiB > 2048) {
        std::fprintf(stderr, "demo_soak: resident memory grew by more than 2 MiB\n");
        return 1;
    }
    return 0;
}
