// SPDX-License-Identifier: MIT
// mivora_bench: runs MivoraFace's two calls the way landmark_demo does, on
// video files (video mode) or photos (still mode), and reports how long they
// take and what they find; with --reference, also the plain dlib pipeline
// (whole-frame HOG detector, then dlib's shape_predictor) on the same frames.
// --scenarios moves photos in memory as a person moves in front of a webcam
// and scores both pipelines' landmarks frame by frame (bench_scenarios.h).
//
//   mivora_bench [--reference] [--still] [--annotate DIR] [--json FILE] [INPUT...]
//                [--annotations DATASET.xml[@SCALE]]... [--scenarios PHOTO[@SCALE]... [--frames-scale F]]
//   mivora_bench --make-clip PHOTO OUT.avi WIDTHxHEIGHT FRAMES [still]
//   mivora_bench --throughput CLIP [THREADS]
//   mivora_bench --formats PHOTO [WIDTHxHEIGHT [FRAMES [ROUNDS]]]
//   mivora_bench --compare-models MODEL_A MODEL_B INPUT...
//   mivora_bench --first-call PHOTO [RUNS]
//   mivora_bench --resident PHOTO [FRAMES]
//   mivora_bench --entries [--still] [--trials N] [--json FILE] PHOTO[@SCALE]... [--empty PHOTO...]
#include "bench_annotations.h"
#include "bench_entries.h"
#include "bench_formats.h"
#include "bench_process.h"
#include "bench_scenarios.h"
#include "mivora_face.h"
#include "model_comparison.h"
#include "reference_pipeline.h"

#include <nlohmann/json.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using mivora::ReferencePipeline;
using mivora::Shape;
using mivora::shapeDistance;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Milliseconds of each call of one kind.
struct CallTimes {
    std::vector<double> ms;
    double percentile(double p) const
    {
        if (ms.empty())
            return 0;
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
        return sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1];
    }
    double first() const { return ms.empty() ? 0 : ms.front(); }
    double total() const
    {
        double sum = 0;
        for (double m : ms)
            sum += m;
        return sum;
    }
};

// What one pipeline did on one input.
struct Run {
    CallTimes detect;
    CallTimes detectFollowing; // detections right after a frame with a face
    CallTimes landmarks;
    std::vector<std::optional<Shape>> shapes; // face 0 per frame
    int framesWithFace() const
    {
        return static_cast<int>(
            std::count_if(shapes.begin(), shapes.end(), [](const auto& s) { return s.has_value(); }));
    }
};

// Mean of shapeDistance between face 0 of successive frames.
double meanMovement(const Run& run)
{
    double sum = 0;
    int count = 0;
    for (std::size_t i = 1; i < run.shapes.size(); ++i)
        if (run.shapes[i] && run.shapes[i - 1]) {
            sum += shapeDistance(*run.shapes[i], *run.shapes[i - 1]);
            ++count;
        }
    return count == 0 ? 0 : sum / count;
}

struct Comparison {
    int missed = 0; // frames where only the reference found a face
    int extra = 0;  // frames where only MivoraFace found one
    double meanDistance = 0;
    double maxDistance = 0;
};

Comparison compare(const Run& mine, const Run& reference)
{
    Comparison c;
    int both = 0;
    for (std::size_t i = 0; i < mine.shapes.size(); ++i) {
        const auto& a = mine.shapes[i];
        const auto& b = reference.shapes[i];
        c.missed += !a && b;
        c.extra += a && !b;
        if (a && b) {
            const double d = shapeDistance(*a, *b);
            c.meanDistance += d;
            c.maxDistance = std::max(c.maxDistance, d);
            ++both;
        }
    }
    if (both > 0)
        c.meanDistance /= both;
    return c;
}

// Frames of one input: a video file, or one photo.
class FrameSource {
public:
    explicit FrameSource(const std::string& path)
    {
        image_ = cv::imread(path, cv::IMREAD_COLOR);
        if (image_.empty() && capture_.open(path)) {
            video_ = true;
            total_ = static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_COUNT));
        } else if (!image_.empty()) {
            total_ = 1;
        }
    }
    bool usable() const { return video_ || !image_.empty(); }
    bool video() const { return video_; }
    int total() const { return total_; }
    bool next(cv::Mat& frame)
    {
        if (video_)
            return capture_.read(frame) && !frame.empty();
        if (image_.empty())
            return false;
        frame = image_;
        image_.release();
        return true;
    }

private:
    cv::VideoCapture capture_;
    cv::Mat image_;
    bool video_ = false;
    int total_ = 0;
};

void drawShape(cv::Mat& frame, const Shape& shape, const cv::Scalar& colour)
{
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i)
        cv::circle(frame, cv::Point2f(shape[2 * i], shape[2 * i + 1]), 2, colour, cv::FILLED);
}

struct InputReport {
    std::string name;
    bool video = false;
    int frames = 0;
    Run mine;
    std::optional<Run> reference;
};

// Returns false when the input cannot be read or the library fails.
bool benchmarkInput(const std::string& path, bool withReference, bool still, const std::string& annotateDir,
                    ReferencePipeline& reference, InputReport& report)
{
    FrameSource source(path);
    if (!source.usable()) {
        std::fprintf(stderr, "mivora_bench: %s is neither a readable video nor a photo\n", path.c_str());
        return false;
    }
    report.name = path;
    report.video = source.video() && !still;
    if (withReference)
        report.reference.emplace();
    const int mode = report.video ? MIVORA_FACE_MODE_VIDEO : MIVORA_FACE_MODE_STILL;
    const bool terminal = isatty(STDERR_FILENO) != 0;
    cv::Mat frame, bgr;
    bool previousHadFace = false;
    while (source.next(frame)) {
        // Decoders give 8-bit BGR; the library also needs it continuous.
        bgr = frame.isContinuous() ? frame : frame.clone();

        Clock::time_point start = Clock::now();
        const int faces = MivoraFaceDetectStd(bgr.data, bgr.cols, bgr.rows, mode);
        const double detectMs = millisecondsSince(start);
        if (faces < 0) {
            std::fprintf(stderr, "\nmivora_bench: %s: detection failed with code %d\n", path.c_str(), faces);
            return false;
        }
        report.mine.detect.ms.push_back(detectMs);
        if (previousHadFace && faces > 0)
            report.mine.detectFollowing.ms.push_back(detectMs);
        previousHadFace = faces > 0;
        std::optional<Shape> shape;
        if (faces > 0) {
            shape.emplace();
            start = Clock::now();
            const int status = MivoraGetFaceLandmark68Std(0, shape->data());
            report.mine.landmarks.ms.push_back(millisecondsSince(start));
            if (status != MIVORA_FACE_OK) {
                std::fprintf(stderr, "\nmivora_bench: %s: landmarks failed with code %d\n", path.c_str(), status);
                return false;
            }
        }
        report.mine.shapes.push_back(shape);

        if (report.reference) {
            Run& ref = *report.reference;
            start = Clock::now();
            const int refFaces = reference.detect(bgr);
            const double refMs = millisecondsSince(start);
            ref.detect.ms.push_back(refMs);
            if (!ref.shapes.empty() && ref.shapes.back() && refFaces > 0)
                ref.detectFollowing.ms.push_back(refMs);
            std::optional<Shape> refShape;
            if (refFaces > 0) {
                start = Clock::now();
                refShape = reference.landmarks(0);
                ref.landmarks.ms.push_back(millisecondsSince(start));
            }
            ref.shapes.push_back(refShape);
        }

        if (!annotateDir.empty()) {
            cv::Mat annotated = bgr.clone();
            if (report.reference && report.reference->shapes.back())
                drawShape(annotated, *report.reference->shapes.back(), cv::Scalar(0, 255, 0));
            if (shape)
                drawShape(annotated, *shape, cv::Scalar(0, 0, 255));
            char name[32];
            std::snprintf(name, sizeof name, "_%05d.png", report.frames);
            const std::string file =
                (std::filesystem::path(annotateDir) / (std::filesystem::path(path).stem().string() + name)).string();
            if (!cv::imwrite(file, annotated)) {
                std::fprintf(stderr, "\nmivora_bench: cannot write %s\n", file.c_str());
                return false;
            }
        }
        ++report.frames;
        if (terminal && report.frames % 10 == 0)
            std::fprintf(stderr, "\r%s: frame %d/%d", path.c_str(), report.frames, source.total());
        else if (!terminal && report.frames % 100 == 0)
            std::fprintf(stderr, "%s: frame %d/%d\n", path.c_str(), report.frames, source.total());
    }
    if (terminal)
        std::fprintf(stderr, "\r%s: %d frames done\n", path.c_str(), report.frames);
    return true;
}

void printRow(const char* label, const CallTimes& t)
{
    std::printf("  %-24s %6zu %8.2f %8.2f %8.2f %8.2f %8.2f\n", label, t.ms.size(), t.percentile(50), t.percentile(95),
                t.percentile(99), t.percentile(100), t.first());
}

double framesPerSecond(const Run& run, int frames)
{
    const double ms = run.detect.total() + run.landmarks.total();
    return ms > 0 ? frames * 1000.0 / ms : 0;
}

double ratio(double reference, double mine) { return mine > 0 ? reference / mine : 0; }

void printReport(const InputReport& r)
{
    std::printf("%s: %d frames, %s mode\n", r.name.c_str(), r.frames, r.video ? "video" : "still");
    std::printf("  %-24s %6s %8s %8s %8s %8s %8s\n", "milliseconds per call", "calls", "p50", "p95", "p99", "max",
                "first");
    printRow("MivoraFace detect", r.mine.detect);
    printRow("  after a face", r.mine.detectFollowing);
    printRow("MivoraFace landmarks", r.mine.landmarks);
    if (r.reference) {
        printRow("reference detect", r.reference->detect);
        printRow("  after a face", r.reference->detectFollowing);
        printRow("reference landmarks", r.reference->landmarks);
    }
    std::printf("  frames with a face: MivoraFace %d", r.mine.framesWithFace());
    if (r.reference) {
        const Comparison c = compare(r.mine, *r.reference);
        std::printf(", reference %d (only reference: %d, only MivoraFace: %d)\n", r.reference->framesWithFace(),
                    c.missed, c.extra);
        std::printf("  frames per second: MivoraFace %.1f, reference %.1f\n", framesPerSecond(r.mine, r.frames),
                    framesPerSecond(*r.reference, r.frames));
        std::printf("  speed-up at p50: detect %.1fx (after a face %.1fx), landmarks %.1fx\n",
                    ratio(r.reference->detect.percentile(50), r.mine.detect.percentile(50)),
                    ratio(r.reference->detectFollowing.percentile(50), r.mine.detectFollowing.percentile(50)),
                    ratio(r.reference->landmarks.percentile(50), r.mine.landmarks.percentile(50)));
        std::printf("  landmarks from the reference's: mean %.2f%%, max %.2f%% of the inter-ocular distance\n",
                    100 * c.meanDistance, 100 * c.maxDistance);
        std::printf("  frame-to-frame landmark movement: MivoraFace %.2f%%, reference %.2f%%\n",
                    100 * meanMovement(r.mine), 100 * meanMovement(*r.reference));
    } else {
        std::printf("\n  frames per second: %.1f\n", framesPerSecond(r.mine, r.frames));
        std::printf("  frame-to-frame landmark movement: %.2f%%\n", 100 * meanMovement(r.mine));
    }
}

using Json = nlohmann::ordered_json;

Json jsonTimes(const CallTimes& t)
{
    return {{"calls", t.ms.size()},    {"p50", t.percentile(50)},  {"p95", t.percentile(95)},
            {"p99", t.percentile(99)}, {"max", t.percentile(100)}, {"first", t.first()}};
}

Json jsonRun(const Run& run, int frames)
{
    return {{"frames_with_face", run.framesWithFace()},
            {"detect_ms", jsonTimes(run.detect)},
            {"detect_after_face_ms", jsonTimes(run.detectFollowing)},
            {"landmarks_ms", jsonTimes(run.landmarks)},
            {"fps", framesPerSecond(run, frames)},
            {"movement", meanMovement(run)}};
}

Json jsonInputs(const std::vector<InputReport>& reports)
{
    Json inputs = Json::array();
    for (const InputReport& r : reports) {
        Json input = {{"input", r.name},
                      {"mode", r.video ? "video" : "still"},
                      {"frames", r.frames},
                      {"mivoraface", jsonRun(r.mine, r.frames)}};
        if (r.reference) {
            const Comparison c = compare(r.mine, *r.reference);
            input["reference"] = jsonRun(*r.reference, r.frames);
            input["comparison"] = {{"only_reference", c.missed},
                                   {"only_mivoraface", c.extra},
                                   {"mean_distance", c.meanDistance},
                                   {"max_distance", c.maxDistance}};
        }
        inputs.push_back(std::move(input));
    }
    return inputs;
}

bool writeJson(const std::string& path, const Json& document)
{
    std::ofstream out(path);
    // A path that is not UTF-8 must not lose the whole file.
    out << document.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    return static_cast<bool>(out.flush());
}

// A camera-like clip: the photo drifting and zooming over a textured
// background, with a face-free fifth of the frames in the middle; or, still,
// the first frame over and over.
bool makeClip(const std::string& photoPath, const std::string& outPath, cv::Size size, int frames, bool still)
{
    const cv::Mat photo = cv::imread(photoPath, cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::fprintf(stderr, "mivora_bench: cannot read %s\n", photoPath.c_str());
        return false;
    }
    cv::VideoWriter writer(outPath, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0, size);
    if (!writer.isOpened()) {
        std::fprintf(stderr, "mivora_bench: cannot write %s\n", outPath.c_str());
        return false;
    }
    const cv::Mat background = mivora::clipBackground(size);
    const int emptyFrom = still ? frames : frames * 2 / 5;
    const int emptyTo = still ? frames : frames * 3 / 5;
    for (int i = 0; i < frames; ++i)
        writer << (i < emptyFrom || i >= emptyTo ? mivora::driftingPhotoFrame(photo, background, i, still)
                                                 : background);
    if (still)
        std::fprintf(stderr, "%s: %d identical frames of %dx%d\n", outPath.c_str(), frames, size.width, size.height);
    else
        std::fprintf(stderr, "%s: %d frames of %dx%d, no face in frames %d to %d\n", outPath.c_str(), frames,
                     size.width, size.height, emptyFrom, emptyTo - 1);
    return true;
}

// Frames per second of `threads` threads, each running the whole clip
// (detection, then landmarks of face 0) as a camera of its own.
double throughput(const std::vector<cv::Mat>& frames, int mode, int threads)
{
    const auto runClip = [&] {
        for (const cv::Mat& frame : frames)
            if (MivoraFaceDetectStd(frame.data, frame.cols, frame.rows, mode) > 0) {
                float landmarks[MIVORA_FACE_LANDMARK_VALUE_COUNT];
                MivoraGetFaceLandmark68Std(0, landmarks);
            }
    };
    runClip(); // models loaded, caches warm
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back(runClip);
    for (std::thread& worker : workers)
        worker.join();
    return threads * static_cast<double>(frames.size()) * 1000.0 / millisecondsSince(start);
}

// Whether threads run in parallel: one thread's frames per second against
// `threads` threads', in still and in video mode.
int measureThroughput(const std::string& path, int threads)
{
    FrameSource source(path);
    std::vector<cv::Mat> frames;
    cv::Mat frame;
    while (source.next(frame))
        frames.push_back(frame.clone());
    if (frames.empty()) {
        std::fprintf(stderr, "mivora_bench: no frames in %s\n", path.c_str());
        return 1;
    }
    std::printf("%s: %zu frames, each thread runs them all\n", path.c_str(), frames.size());
    for (int mode : {MIVORA_FACE_MODE_STILL, MIVORA_FACE_MODE_VIDEO}) {
        const double one = throughput(frames, mode, 1);
        const double many = throughput(frames, mode, threads);
        std::printf("  %s mode: 1 thread %.1f frames/s, %d threads %.1f frames/s: %.2fx\n",
                    mode == MIVORA_FACE_MODE_STILL ? "still" : "video", one, threads, many, many / one);
    }
    return 0;
}

int usage(const char* program)
{
    std::fprintf(
        stderr,
        "usage: %s [--reference] [--still] [--annotate DIR] [--json FILE] [INPUT...]\n"
        "          [--annotations DATASET.xml[@SCALE]]... [--scenarios PHOTO[@SCALE]... [--frames-scale F] [--only "
        "NAME,...]]\n"
        "       %s --make-clip PHOTO OUT.avi WIDTHxHEIGHT FRAMES [still]\n"
        "       %s --throughput CLIP [THREADS]\n"
        "       %s --formats PHOTO [WIDTHxHEIGHT [FRAMES [ROUNDS]]]\n"
        "       %s --compare-models MODEL_A MODEL_B INPUT...\n"
        "       %s --first-call PHOTO [RUNS]\n"
        "       %s --resident PHOTO [FRAMES]\n"
        "       %s --entries [--still] [--trials N] [--json FILE] PHOTO[@SCALE]... [--empty PHOTO...]\n"
        "Video files run in video mode (in still mode with --still), photos in still mode. --reference\n"
        "also runs the plain dlib pipeline and compares; --annotate writes each frame with the landmarks "
        "drawn (MivoraFace red,\n"
        "reference green, a scenario's truth blue); --json writes the figures. --throughput compares the\n"
        "frames per second of one thread and of THREADS (default 2) threads, each running the whole clip.\n"
        "--scenarios: the arguments after it are photos (PHOTO@2: enlarged 2x first), each moved in memory\n"
        "in front of a 640x480 camera (tilt, walk-away, still-noise, pan, leave-return, occlusion,\n"
        "motion-blur, turn, entering tilted or small, talking); both pipelines run on every frame and are scored\n"
        "against the reference's landmarks on the unmoved photo. --frames-scale F makes every scenario F\n"
        "times as long; --only runs the named scenarios.\n"
        "--formats: a clip of PHOTO (default 1280x720, 150 frames, 3 rounds) followed in video mode as\n"
        "packed BGR, NV12, I420, YUYV and RGBA frames, and as NV12 converted to BGR by OpenCV first; and the\n"
        "gray image from BGR and NV12 frames against OpenCV's conversion and the copy into packed BGR.\n"
        "--compare-models: both landmark model files read every face dlib's detector finds in the inputs\n"
        "(photos, PHOTO@SCALE, videos) from the same boxes; prints how far MODEL_B's points are from\n"
        "MODEL_A's and how long each regression takes (--json FILE writes the figures).\n"
        "--annotations: still mode and the plain dlib pipeline on the images of a dlib dataset file with 68\n"
        "annotated points per face (@SCALE enlarges them first), each scored against the annotations.\n"
        "--first-call: RUNS (default 20) fresh processes each time their first detection and landmark call,\n"
        "in still mode, then in video mode with the photo in a 640x480 frame.\n"
        "--resident: the photo followed in video mode for FRAMES (default 100) frames at 640x480 in this\n"
        "process; prints its resident memory.\n"
        "--entries: each photo's face enters a still 640x480 camera's view N times (default 30) per kind\n"
        "(150 px rolled 0 to 60 degrees, 90 to 20 px upright, small and rolled), at random places on random\n"
        "textures; prints how often it is found within 1, 2 and 3 frames, then the face-free clips\n"
        "(textures, bare walls with noise, the --empty photos drifting and coming into view, the frames\n"
        "after a face vanishes) and the frames on which a face is reported. With --still every frame is a\n"
        "still-mode call.\n",
        program, program, program, program, program, program, program, program);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--make-clip") == 0) {
        int width = 0, height = 0;
        const bool still = argc == 7 && std::strcmp(argv[6], "still") == 0;
        if ((argc != 6 && !still) || std::sscanf(argv[4], "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0 ||
            std::atoi(argv[5]) <= 0)
            return usage(argv[0]);
        return makeClip(argv[2], argv[3], cv::Size(width, height), std::atoi(argv[5]), still) ? 0 : 1;
    }
    if (argc >= 3 && std::strcmp(argv[1], "--formats") == 0) {
        int width = 1280, height = 720;
        const int frames = argc >= 5 ? std::atoi(argv[4]) : 150;
        const int rounds = argc >= 6 ? std::atoi(argv[5]) : 3;
        if (argc > 6 ||
            (argc >= 4 && (std::sscanf(argv[3], "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0)) ||
            frames <= 0 || rounds <= 0)
            return usage(argv[0]);
        return mivora::runFormatBench(argv[2], cv::Size(width, height), frames, rounds) ? 0 : 1;
    }
    if (argc >= 5 && std::strcmp(argv[1], "--compare-models") == 0) {
        std::vector<std::string> inputs;
        std::string jsonPath;
        for (int i = 4; i < argc; ++i) {
            if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc)
                jsonPath = argv[++i];
            else
                inputs.emplace_back(argv[i]);
        }
        Json comparison = Json::array();
        bool ok = mivora::compareModels(argv[2], argv[3], inputs, comparison);
        if (!jsonPath.empty() && !writeJson(jsonPath, {{"model_comparison", comparison}})) {
            std::fprintf(stderr, "mivora_bench: cannot write %s\n", jsonPath.c_str());
            ok = false;
        }
        return ok ? 0 : 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "--first-call-once") == 0)
        return mivora::firstCallOnce(argv[2], std::strcmp(argv[3], "video") == 0);
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--first-call") == 0) {
        const int runs = argc == 4 ? std::atoi(argv[3]) : 20;
        if (runs < 1)
            return usage(argv[0]);
        Json figures;
        return mivora::measureFirstCalls("/proc/self/exe", argv[2], runs, figures) ? 0 : 1;
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--resident") == 0) {
        const int frames = argc == 4 ? std::atoi(argv[3]) : 100;
        if (frames < 1)
            return usage(argv[0]);
        Json figures;
        return mivora::measureResidentMemory(argv[2], frames, figures) ? 0 : 1;
    }
    if (argc >= 3 && std::strcmp(argv[1], "--entries") == 0) {
        int trials = 30;
        int mode = MIVORA_FACE_MODE_VIDEO;
        std::string json;
        std::vector<std::string> photos, empties;
        std::vector<std::string>* list = &photos;
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--trials" && i + 1 < argc)
                trials = std::atoi(argv[++i]);
            else if (arg == "--json" && i + 1 < argc)
                json = argv[++i];
            else if (arg == "--empty")
                list = &empties;
            else if (arg == "--still")
                mode = MIVORA_FACE_MODE_STILL;
            else if (arg.rfind("--", 0) == 0)
                return usage(argv[0]);
            else
                list->push_back(arg);
        }
        if (trials < 1 || photos.empty())
            return usage(argv[0]);
        Json figures;
        bool ok = mivora::runEntries(photos, empties, trials, mode, figures);
        if (!json.empty()) {
            std::ofstream file(json);
            file << figures.dump(2) << "\n";
            if (!file) {
                std::fprintf(stderr, "mivora_bench: cannot write %s\n", json.c_str());
                ok = false;
            }
        }
        return ok ? 0 : 1;
    }
    if (argc >= 3 && std::strcmp(argv[1], "--throughput") == 0) {
        const int threads = argc == 4 ? std::atoi(argv[3]) : 2;
        if (argc > 4 || threads < 1)
            return usage(argv[0]);
        return measureThroughput(argv[2], threads);
    }
    bool withReference = false, still = false;
    std::string annotateDir, jsonPath;
    std::vector<std::string> inputs, scenarioPhotos, datasets;
    bool scenarios = false;
    double framesScale = 1;
    std::string onlyScenarios;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--reference")
            withReference = true;
        else if (arg == "--still")
            still = true;
        else if (arg == "--annotations" && i + 1 < argc)
            datasets.emplace_back(argv[++i]);
        else if (arg == "--annotate" && i + 1 < argc)
            annotateDir = argv[++i];
        else if (arg == "--json" && i + 1 < argc)
            jsonPath = argv[++i];
        else if (arg == "--scenarios")
            scenarios = true;
        else if (arg == "--only" && i + 1 < argc)
            onlyScenarios = argv[++i];
        else if (arg == "--frames-scale" && i + 1 < argc) {
            char* end = nullptr;
            framesScale = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(framesScale > 0 && framesScale <= 100))
                return usage(argv[0]);
        } else if (arg.rfind("--", 0) == 0)
            return usage(argv[0]);
        else
            (scenarios ? scenarioPhotos : inputs).push_back(arg);
    }
    if ((inputs.empty() && scenarioPhotos.empty() && datasets.empty()) || (scenarios && scenarioPhotos.empty()) ||
        (!onlyScenarios.empty() && !scenarios))
        return usage(argv[0]);
    if (!annotateDir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(annotateDir, error);
        if (error) {
            std::fprintf(stderr, "mivora_bench: cannot create %s: %s\n", annotateDir.c_str(), error.message().c_str());
            return 1;
        }
    }

    ReferencePipeline reference;
    std::vector<InputReport> reports;
    bool ok = true;
    for (const std::string& input : inputs) {
        InputReport report;
        try {
            if (!benchmarkInput(input, withReference, still, annotateDir, reference, report)) {
                ok = false;
                continue;
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "\nmivora_bench: %s: %s\n", input.c_str(), e.what());
            ok = false;
            continue;
        }
        printReport(report);
        reports.push_back(std::move(report));
    }
    Json document = {{"inputs", jsonInputs(reports)}};
    if (!datasets.empty()) {
        document["annotations"] = Json::array();
        for (const std::string& dataset : datasets)
            ok = mivora::compareWithAnnotations(dataset, reference, document["annotations"]) && ok;
    }
    if (!scenarioPhotos.empty()) {
        document["scenarios"] = Json::array();
        try {
            ok = mivora::runScenarios(scenarioPhotos, framesScale, onlyScenarios, annotateDir, reference,
                                      document["scenarios"]) &&
                 ok;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mivora_bench: scenarios: %s\n", e.what());
            ok = false;
        }
    }
    if (!jsonPath.empty() && !writeJson(jsonPath, document)) {
        std::fprintf(stderr, "mivora_bench: cannot write %s\n", jsonPath.c_str());
        ok = false;
    }
    return ok ? 0 : 1;
}
