// SPDX-License-Identifier: MIT
#include "bench_scenarios.h"

#include "mivora_face.h"
#include "talking_face.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>

namespace mivora {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

const cv::Size kFrame(640, 480);
const cv::Point2d kFrameCentre(320, 240);
// dlib's landmarks on narrower faces are coarse, so the truth for a smaller
// face is measured at this width and scaled down.
constexpr double kTruthMinFaceWidth = 120;
constexpr int kLibrary = 0, kReference = 1;
const char* const kPipelineKeys[2] = {"mivoraface", "reference"};

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double mean(const std::vector<double>& v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

cv::Point2d point(const Shape& s, int i) { return {s[2 * i], s[2 * i + 1]}; }

cv::Rect2d extent(const Shape& s)
{
    double x0 = s[0], x1 = s[0], y0 = s[1], y1 = s[1];
    for (int i = 1; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i) {
        x0 = std::min<double>(x0, s[2 * i]);
        x1 = std::max<double>(x1, s[2 * i]);
        y0 = std::min<double>(y0, s[2 * i + 1]);
        y1 = std::max<double>(y1, s[2 * i + 1]);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

cv::Point2d centreOf(const cv::Rect2d& r) { return {r.x + r.width / 2, r.y + r.height / 2}; }

cv::Point2d apply(const cv::Matx23d& m, cv::Point2d p)
{
    return {m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2), m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)};
}

Shape transformed(const Shape& s, const cv::Matx23d& m)
{
    Shape out{};
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i) {
        const cv::Point2d p = apply(m, point(s, i));
        out[2 * i] = static_cast<float>(p.x);
        out[2 * i + 1] = static_cast<float>(p.y);
    }
    return out;
}

// a after b.
cv::Matx23d compose(const cv::Matx23d& a, const cv::Matx23d& b)
{
    const cv::Matx33d a3(a(0, 0), a(0, 1), a(0, 2), a(1, 0), a(1, 1), a(1, 2), 0, 0, 1);
    const cv::Matx33d b3(b(0, 0), b(0, 1), b(0, 2), b(1, 0), b(1, 1), b(1, 2), 0, 0, 1);
    const cv::Matx33d c = a3 * b3;
    return {c(0, 0), c(0, 1), c(0, 2), c(1, 0), c(1, 1), c(1, 2)};
}

const cv::Matx23d kIdentity(1, 0, 0, 0, 1, 0);

// A face centred at `centre` squeezed horizontally by `squeeze`, scaled by
// `scale`, rolled by `degrees` about its centre, then shifted by `shift`.
cv::Matx23d motion(cv::Point2d centre, double degrees, double scale, double squeeze, cv::Point2d shift)
{
    const double a = degrees * CV_PI / 180, c = std::cos(a), s = std::sin(a);
    const double l00 = c * scale * squeeze, l01 = -s * scale, l10 = s * scale * squeeze, l11 = c * scale;
    return {l00, l01, centre.x + shift.x - (l00 * centre.x + l01 * centre.y),
            l10, l11, centre.y + shift.y - (l10 * centre.x + l11 * centre.y)};
}

int pointsInside(const Shape& s)
{
    int inside = 0;
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i)
        inside +=
            s[2 * i] >= 0 && s[2 * i] <= kFrame.width - 1 && s[2 * i + 1] >= 0 && s[2 * i + 1] <= kFrame.height - 1;
    return inside;
}

// The photo, cut around its face, and the face-free background it moves on.
class Stage {
public:
    std::string label;
    std::string fileStem; // for annotated frames
    cv::Mat photo;
    cv::Point2d faceCentre; // in photo pixels
    double faceWidth = 0;   // in photo pixels
    cv::Mat background;

    // Photo to frame: upright, face `width` px wide, centred at `centre`.
    cv::Matx23d placement(double width, cv::Point2d centre) const
    {
        const double s = width / faceWidth;
        return {s, 0, centre.x - s * faceCentre.x, 0, s, centre.y - s * faceCentre.y};
    }

    cv::Mat render(const cv::Matx23d& toFrame) const
    {
        cv::Mat frame = background.clone();
        // A camera averages the light over each pixel: shrink with area
        // averaging first, or the warp's bilinear sampling aliases.
        const double fx = std::min(1.0, std::hypot(toFrame(0, 0), toFrame(1, 0)));
        const double fy = std::min(1.0, std::hypot(toFrame(0, 1), toFrame(1, 1)));
        if (fx < 0.9 || fy < 0.9) {
            cv::Mat small;
            cv::resize(photo, small, cv::Size(), fx, fy, cv::INTER_AREA);
            const double sx = static_cast<double>(small.cols) / photo.cols;
            const double sy = static_cast<double>(small.rows) / photo.rows;
            const cv::Matx23d smallToPhoto(1 / sx, 0, 0.5 / sx - 0.5, 0, 1 / sy, 0.5 / sy - 0.5);
            cv::warpAffine(small, frame, compose(toFrame, smallToPhoto), kFrame, cv::INTER_LINEAR,
                           cv::BORDER_TRANSPARENT);
        } else {
            cv::warpAffine(photo, frame, toFrame, kFrame, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
        }
        return frame;
    }

    bool photoInFrame(const cv::Matx23d& toFrame) const
    {
        double x0 = 1e9, x1 = -1e9, y0 = 1e9, y1 = -1e9;
        for (const cv::Point2d corner :
             {cv::Point2d(-0.5, -0.5), cv::Point2d(photo.cols - 0.5, -0.5), cv::Point2d(-0.5, photo.rows - 0.5),
              cv::Point2d(photo.cols - 0.5, photo.rows - 0.5)}) {
            const cv::Point2d p = apply(toFrame, corner);
            x0 = std::min(x0, p.x);
            x1 = std::max(x1, p.x);
            y0 = std::min(y0, p.y);
            y1 = std::max(y1, p.y);
        }
        return x1 > -0.5 && x0 < kFrame.width - 0.5 && y1 > -0.5 && y0 < kFrame.height - 0.5;
    }
};

std::optional<Shape> referenceFace(ReferencePipeline& reference, const cv::Mat& bgr)
{
    if (reference.detect(bgr) == 0)
        return std::nullopt;
    return reference.landmarks(0);
}

cv::Mat texturedBackground()
{
    cv::Mat background(kFrame, CV_8UC3);
    cv::RNG rng(2024);
    rng.fill(background, cv::RNG::UNIFORM, 40, 220);
    cv::GaussianBlur(background, background, cv::Size(0, 0), 3.0);
    return background;
}

// Reads PATH[@SCALE], finds the face with the reference, cuts a head and
// shoulders piece around it and measures the face again where the scenarios
// place it, so that placements put the face (not the photo) where wanted.
std::optional<Stage> prepareStage(const std::string& photoArgument, ReferencePipeline& reference, Json& info)
{
    std::string path = photoArgument;
    double scale = 1;
    const std::size_t at = photoArgument.rfind('@');
    if (at != std::string::npos && at + 1 < photoArgument.size()) {
        char* end = nullptr;
        const double parsed = std::strtod(photoArgument.c_str() + at + 1, &end);
        if (end != nullptr && *end == '\0' && parsed > 0) {
            path = photoArgument.substr(0, at);
            scale = parsed;
        }
    }
    info["photo"] = path;
    info["scale"] = scale;
    cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::fprintf(stderr, "mivora_bench: cannot read the photo %s\n", path.c_str());
        info["error"] = "unreadable";
        return std::nullopt;
    }
    if (scale != 1)
        cv::resize(photo, photo, cv::Size(), scale, scale, scale > 1 ? cv::INTER_CUBIC : cv::INTER_AREA);

    const std::optional<Shape> inPhoto = referenceFace(reference, photo);
    if (!inPhoto) {
        std::fprintf(stderr, "mivora_bench: the reference finds no face in %s at scale %g: no scenarios for it%s\n",
                     path.c_str(), scale, scale <= 1 ? " (try PHOTO@2 for a small face)" : "");
        info["error"] = "the reference finds no face in the photo";
        return std::nullopt;
    }
    const cv::Rect2d face = extent(*inPhoto);
    const cv::Point2d centre = centreOf(face);
    // Head and shoulders: wide enough for the detector's margin, small enough
    // to leave the frame entirely.
    const double w = face.width;
    const cv::Rect crop =
        cv::Rect(cvRound(centre.x - 1.5 * w), cvRound(centre.y - 1.6 * w), cvRound(3 * w), cvRound(3.6 * w)) &
        cv::Rect(0, 0, photo.cols, photo.rows);
    Stage stage;
    stage.label = photoArgument;
    char scaleText[32] = "";
    if (scale != 1)
        std::snprintf(scaleText, sizeof scaleText, "@%g", scale);
    stage.fileStem = std::filesystem::path(path).stem().string() + scaleText;
    stage.photo = photo(crop).clone();
    stage.faceCentre = centre - cv::Point2d(crop.x, crop.y);
    stage.faceWidth = w;
    stage.background = texturedBackground();

    const cv::Matx23d base = stage.placement(kTruthMinFaceWidth, kFrameCentre);
    const std::optional<Shape> placed = referenceFace(reference, stage.render(base));
    if (!placed) {
        std::fprintf(stderr,
                     "mivora_bench: the reference finds no face in the unmoved photo %s (face %.0f px wide at the "
                     "frame centre): no scenarios for it\n",
                     photoArgument.c_str(), kTruthMinFaceWidth);
        info["error"] = "the reference finds no face in the unmoved photo";
        return std::nullopt;
    }
    cv::Matx23d toPhoto;
    cv::invertAffineTransform(base, toPhoto);
    const cv::Rect2d refined = extent(transformed(*placed, toPhoto));
    stage.faceCentre = centreOf(refined);
    stage.faceWidth = refined.width;
    info["face_width_in_photo_px"] = stage.faceWidth;
    info["cut_px"] = {crop.width, crop.height};
    return stage;
}

// One frame of a scenario, relative to the unmoved placement.
struct FramePlan {
    cv::Matx23d motion = kIdentity; // in frame pixels, after the unmoved placement
    bool photo = true;              // false: a cut to the bare background
    double noiseSigma = 0;          // camera noise, grey levels per channel
    int blurLength = 0;             // horizontal motion blur kernel, pixels
    bool hand = false;              // a hand over half the face
    double mouthOpen = 0;           // the face talking: see talkingShape
    double blink = 0;
    int bucket = 0;
};

struct FrameState {
    const Shape& truth;
    bool faceFree; // no part of the photo in the frame
};

struct Scenario {
    std::string name;
    double faceWidth = 120;
    cv::Point2d centre = kFrameCentre;
    std::vector<std::string> buckets; // none: only the whole-scenario row
    std::function<int(const FramePlan&, const FrameState&)> bucketOf;
    std::vector<FramePlan> frames;
    Json parameters = Json::object();
};

int scaledCount(double frames, double framesScale, int minimum)
{
    return std::max(minimum, static_cast<int>(std::lround(frames * framesScale)));
}

Scenario tilt(double f)
{
    Scenario s;
    s.name = "tilt";
    s.buckets = {"|angle| 0-14", "|angle| 15-29", "|angle| 30-44", "|angle| 45-60"};
    // 0 to +60, to -60, back to 0: 240 degrees of travel.
    const int n = scaledCount(121, f, 9);
    const double step = 240.0 / (n - 1);
    for (int i = 0; i < n; ++i) {
        const double u = i * step;
        const double angle = u <= 60 ? u : u <= 180 ? 120 - u : u - 240;
        FramePlan p;
        p.motion = motion(s.centre, angle, 1, 1, {});
        p.bucket = std::min(3, static_cast<int>(std::abs(angle) / 15 + 1e-9));
        s.frames.push_back(p);
    }
    s.parameters = {{"degrees_per_frame", step}, {"max_degrees", 60}};
    return s;
}

Scenario walkAway(double f)
{
    Scenario s;
    s.name = "walk-away";
    s.faceWidth = 240;
    s.buckets = {"width 240-120", "width 120-80", "width 80-60", "width 60-45", "width 45-30"};
    s.bucketOf = [](const FramePlan&, const FrameState& st) {
        const double w = extent(st.truth).width;
        return w >= 120 ? 0 : w >= 80 ? 1 : w >= 60 ? 2 : w >= 45 ? 3 : 4;
    };
    const int n = scaledCount(120, f, 6);
    for (int i = 0; i < n; ++i) {
        FramePlan p;
        p.motion = motion(s.centre, 0, std::pow(30.0 / 240.0, static_cast<double>(i) / (n - 1)), 1, {});
        s.frames.push_back(p);
    }
    s.parameters = {{"from_width_px", 240}, {"to_width_px", 30}, {"scale_per_frame", std::pow(0.125, 1.0 / (n - 1))}};
    return s;
}

Scenario stillNoise(double f, int width)
{
    Scenario s;
    s.name = "still-noise-" + std::to_string(width);
    s.faceWidth = width;
    FramePlan p;
    p.noiseSigma = 8;
    s.frames.assign(static_cast<std::size_t>(scaledCount(60, f, 5)), p);
    s.parameters = {{"noise_sigma", p.noiseSigma}};
    return s;
}

const std::vector<std::string> kSpeedBuckets = {"0-4 px/frame", "4-8 px/frame", "8-12 px/frame", "12+ px/frame"};

int speedBucket(double pixelsPerFrame) { return std::min(3, static_cast<int>(pixelsPerFrame / 4)); }

// Face centre from 220 px left of the middle to 220 px right, at a steady pace.
Scenario panSlow(double f)
{
    Scenario s;
    s.name = "pan-slow";
    s.buckets = kSpeedBuckets;
    const int n = scaledCount(221, f, 8);
    const double step = 440.0 / (n - 1);
    for (int i = 0; i < n; ++i) {
        FramePlan p;
        p.motion = motion(s.centre, 0, 1, 1, {-220 + i * step, 0});
        p.bucket = speedBucket(step);
        s.frames.push_back(p);
    }
    s.parameters = {{"px_per_frame", step}, {"range_px", 440}};
    return s;
}

// Side to side over the same range, one and a half swings of a cosine.
Scenario panFast(double f)
{
    Scenario s;
    s.name = "pan-fast";
    s.buckets = kSpeedBuckets;
    const int n = scaledCount(131, f, 8);
    const double w = 3 * CV_PI / (n - 1);
    for (int i = 0; i < n; ++i) {
        FramePlan p;
        p.motion = motion(s.centre, 0, 1, 1, {-220 * std::cos(w * i), 0});
        p.bucket = speedBucket(220 * w * std::abs(std::sin(w * i)));
        s.frames.push_back(p);
    }
    s.parameters = {{"max_px_per_frame", 220 * w}, {"range_px", 440}};
    return s;
}

enum Visibility { kFaceIn, kFacePartlyOut, kFaceOutPhotoIn, kPhotoOut };

Scenario leaveReturn(double f, const Stage& stage)
{
    Scenario s;
    s.name = "leave-return";
    s.buckets = {"face in frame", "face partly out", "face out, photo in", "photo out"};
    s.bucketOf = [](const FramePlan&, const FrameState& st) {
        if (st.faceFree)
            return static_cast<int>(kPhotoOut);
        const int inside = pointsInside(st.truth);
        return static_cast<int>(inside == MIVORA_FACE_LANDMARK_POINT_COUNT ? kFaceIn
                                : inside > 0                               ? kFacePartlyOut
                                                                           : kFaceOutPhotoIn);
    };
    // Far enough right that the photo's left edge is past the frame's.
    const cv::Matx23d base = stage.placement(s.faceWidth, s.centre);
    const double travel = std::ceil(kFrame.width - apply(base, {-0.5, 0}).x) + 1;
    const int moving = scaledCount(travel / 10, f, 3);
    const double step = travel / moving;
    const auto at = [&](double x) {
        FramePlan p;
        p.motion = motion(s.centre, 0, 1, 1, {x, 0});
        s.frames.push_back(p);
    };
    for (int i = scaledCount(5, f, 2); i > 0; --i)
        at(0);
    for (int i = 1; i <= moving; ++i)
        at(i * step);
    for (int i = scaledCount(20, f, 5); i > 0; --i)
        at(travel);
    for (int i = moving - 1; i >= 0; --i)
        at(i * step);
    for (int i = scaledCount(10, f, 3); i > 0; --i)
        at(0);
    s.parameters = {{"px_per_frame", step}, {"travel_px", travel}};
    return s;
}

enum HardKind { kHand, kBlur, kTurn };

// A slow drift, a hard stretch, the drift again, then a cut to the bare
// background.
Scenario hardStretch(double f, HardKind kind)
{
    Scenario s;
    const char* hardLabel = kind == kHand ? "hand over face" : kind == kBlur ? "motion blur" : "turned";
    s.name = kind == kHand ? "occlusion" : kind == kBlur ? "motion-blur" : "turn";
    s.buckets = {"before", hardLabel, "after", "face-free"};
    const int lead = scaledCount(15, f, 3), after = scaledCount(15, f, 3), cut = scaledCount(10, f, 3);
    const int hard = kind == kTurn ? scaledCount(20, f, 4) : scaledCount(10, f, 2);
    double x = -20;
    for (int i = 0; i < lead + hard + after; ++i, x += 1) {
        FramePlan p;
        const bool inHard = i >= lead && i < lead + hard;
        p.bucket = i < lead ? 0 : inHard ? 1 : 2;
        double squeeze = 1;
        if (inHard) {
            // Up to the full effect in the middle of the stretch and back.
            const int k = i - lead;
            const double ramp = static_cast<double>(std::min(k + 1, hard - k)) / ((hard + 1) / 2);
            if (kind == kHand)
                p.hand = true;
            else if (kind == kBlur)
                p.blurLength = 2 * static_cast<int>(std::lround((14 + 10 * ramp) / 2)) + 1;
            else
                squeeze = 1 - 0.3 * ramp;
        }
        p.motion = motion(s.centre, 0, 1, squeeze, {x, 0});
        s.frames.push_back(p);
    }
    for (int i = 0; i < cut; ++i) {
        FramePlan p;
        p.photo = false;
        p.bucket = 3;
        s.frames.push_back(p);
    }
    s.parameters = {{"drift_px_per_frame", 1}, {"hard_frames", hard}};
    if (kind == kBlur)
        s.parameters["blur_px"] = {15, 25};
    if (kind == kTurn)
        s.parameters["narrowest"] = 0.7;
    return s;
}

// A face comes into view at a tilt or size: bare background, then the photo,
// drifting a pixel a frame. Reported: frames until each pipeline finds it.
Scenario entry(double f, double angle, double width)
{
    Scenario s;
    char name[32];
    if (width == 120)
        std::snprintf(name, sizeof name, "enter-%.0fdeg", angle);
    else
        std::snprintf(name, sizeof name, "enter-%.0fpx", width);
    s.name = name;
    s.faceWidth = width;
    s.buckets = {"face-free", "face in view"};
    for (int i = scaledCount(8, f, 2); i > 0; --i) {
        FramePlan p;
        p.photo = false;
        s.frames.push_back(p);
    }
    const int shown = scaledCount(30, f, 4);
    for (int i = 0; i < shown; ++i) {
        FramePlan p;
        p.motion = motion(s.centre, angle, 1, 1, {static_cast<double>(i), 0});
        p.bucket = 1;
        s.frames.push_back(p);
    }
    s.parameters = {{"degrees", angle}, {"face_width_px", width}};
    return s;
}

// A face talking in front of the camera: syllables of 5 to 9 frames opening
// the mouth by random amounts, short pauses, a blink every few seconds and
// the small sway of a head that is not held still, under camera noise.
Scenario talking(double f)
{
    Scenario s;
    s.name = "talking";
    s.faceWidth = 150;
    s.buckets = {"mouth still", "mouth moving", "blinking"};
    const int n = scaledCount(240, f, 20);
    cv::RNG rng(11);
    std::vector<double> open;
    while (static_cast<int>(open.size()) < n) {
        const int length = rng.uniform(5, 10);
        const double amount = rng.uniform(0.0, 1.0) < 0.2 ? 0.0 : rng.uniform(0.3, 1.0);
        for (int k = 0; k < length; ++k)
            open.push_back(amount * std::sin(CV_PI * (k + 1) / (length + 1)));
    }
    const double blinkShape[] = {0.4, 0.9, 1.0, 0.8, 0.4, 0.1};
    for (int i = 0; i < n; ++i) {
        FramePlan p;
        const double t = i;
        p.motion = motion(s.centre, 2 * std::sin(2 * CV_PI * t / 80), 1, 1,
                          {3 * std::sin(2 * CV_PI * t / 60), 2 * std::sin(2 * CV_PI * t / 45)});
        p.noiseSigma = 3;
        p.mouthOpen = open[static_cast<std::size_t>(i)];
        const int sinceBlink = (i + 50) % 100;
        if (sinceBlink < 6)
            p.blink = blinkShape[sinceBlink];
        const double mouthChange = std::abs(p.mouthOpen - (i > 0 ? open[static_cast<std::size_t>(i) - 1] : 0));
        p.bucket = p.blink > 0 ? 2 : mouthChange > 0.02 ? 1 : 0;
        s.frames.push_back(p);
    }
    s.parameters = {{"syllable_frames", {5, 9}}, {"blink_every_frames", 100}, {"noise_sigma", 3}};
    return s;
}

std::vector<Scenario> allScenarios(double f, const Stage& stage)
{
    std::vector<Scenario> all;
    all.push_back(tilt(f));
    all.push_back(walkAway(f));
    for (int width : {60, 120, 240})
        all.push_back(stillNoise(f, width));
    all.push_back(panSlow(f));
    all.push_back(panFast(f));
    all.push_back(leaveReturn(f, stage));
    all.push_back(hardStretch(f, kHand));
    all.push_back(hardStretch(f, kBlur));
    all.push_back(hardStretch(f, kTurn));
    for (double angle : {0.0, 30.0, 45.0, 60.0})
        all.push_back(entry(f, angle, 120));
    for (double width : {60.0, 45.0})
        all.push_back(entry(f, 0, width));
    all.push_back(talking(f));
    return all;
}

// The hand: a skin-coloured ellipse over the face's left half, brow to chin.
// Returns the part of the face (the hull of the truth) it covers.
double drawHand(cv::Mat& frame, const Shape& truth)
{
    const cv::Rect2d face = extent(truth);
    const cv::RotatedRect hand(
        cv::Point2f(static_cast<float>(face.x + 0.28 * face.width), static_cast<float>(face.y + 0.55 * face.height)),
        cv::Size2f(static_cast<float>(0.62 * face.width), static_cast<float>(1.1 * face.height)), 10);
    cv::ellipse(frame, hand, cv::Scalar(120, 150, 205), cv::FILLED, cv::LINE_AA);

    std::vector<cv::Point> points, hull;
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i)
        points.emplace_back(cvRound(truth[2 * i]), cvRound(truth[2 * i + 1]));
    cv::convexHull(points, hull);
    cv::Mat faceMask = cv::Mat::zeros(frame.size(), CV_8U), handMask = faceMask.clone();
    cv::fillConvexPoly(faceMask, hull, cv::Scalar(255));
    cv::ellipse(handMask, hand, cv::Scalar(255), cv::FILLED);
    const int area = cv::countNonZero(faceMask);
    return area == 0 ? 0 : static_cast<double>(cv::countNonZero(faceMask & handMask)) / area;
}

void addNoise(cv::Mat& frame, double sigma, cv::RNG& rng)
{
    cv::Mat noisy(frame.size(), CV_32FC3);
    rng.fill(noisy, cv::RNG::NORMAL, 0, sigma);
    cv::Mat f;
    frame.convertTo(f, CV_32FC3);
    noisy += f;
    noisy.convertTo(frame, CV_8UC3); // rounds and saturates
}

void motionBlur(cv::Mat& frame, int length)
{
    const cv::Mat kernel(1, length, CV_32F, cv::Scalar(1.0 / length));
    cv::filter2D(frame, frame, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT);
}

struct FrameResult {
    int bucket = 0;
    bool faceFree = false;
    int faceFreeRun = 0; // face-free frames just before this one
    bool faceInside = false;
    Shape truth{};
    std::optional<Shape> found[2];
};

// Truth blue, reference green, MivoraFace red.
void annotate(const cv::Mat& frame, const FrameResult& r, const std::string& dir, const std::string& stem,
              std::size_t index)
{
    cv::Mat annotated = frame.clone();
    const auto draw = [&](const Shape& s, const cv::Scalar& colour, int radius) {
        for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i)
            cv::circle(annotated, point(s, i), radius, colour, cv::FILLED);
    };
    if (!r.faceFree)
        draw(r.truth, cv::Scalar(255, 0, 0), 3);
    if (r.found[kReference])
        draw(*r.found[kReference], cv::Scalar(0, 255, 0), 2);
    if (r.found[kLibrary])
        draw(*r.found[kLibrary], cv::Scalar(0, 0, 255), 1);
    char name[16];
    std::snprintf(name, sizeof name, "_%04zu.png", index);
    const std::string file = (std::filesystem::path(dir) / (stem + name)).string();
    if (!cv::imwrite(file, annotated))
        throw std::runtime_error("cannot write " + file);
}

// The library's video state restarts: a still-mode call ends the following.
void restartLibrary(const cv::Mat& background)
{
    const int faces = MivoraFaceDetectStd(background.data, background.cols, background.rows, MIVORA_FACE_MODE_STILL);
    if (faces < 0)
        throw std::runtime_error("still-mode detection failed with code " + std::to_string(faces));
}

struct Figures {
    int frames = 0;
    int found[2] = {0, 0};
    std::vector<double> errors[2];
    std::vector<double> movement[2];
};

std::optional<double> pct(const std::vector<double>& v, double (*f)(const std::vector<double>&))
{
    if (v.empty())
        return std::nullopt;
    return 100 * f(v);
}

double medianOf(const std::vector<double>& v) { return median(v); }
double maxOf(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

Json orNull(std::optional<double> v) { return v ? Json(*v) : Json(nullptr); }

Json figuresJson(const std::string& bucket, const Figures& f)
{
    Json j = {{"bucket", bucket}, {"frames", f.frames}};
    for (int k : {kLibrary, kReference})
        j[kPipelineKeys[k]] = {{"found", f.found[k]},
                               {"mean_error_pct", orNull(pct(f.errors[k], mean))},
                               {"median_error_pct", orNull(pct(f.errors[k], medianOf))},
                               {"max_error_pct", orNull(pct(f.errors[k], maxOf))},
                               {"movement_pct", orNull(pct(f.movement[k], mean))}};
    return j;
}

std::string cell(std::optional<double> v)
{
    char text[16];
    if (!v)
        return "-";
    std::snprintf(text, sizeof text, "%.1f", *v);
    return text;
}

void printRow(const char* scenario, const std::string& bucket, const Figures& f, const std::string& tail)
{
    std::printf("  %-16s %-19s %6d %5d %5d %7s %7s %7s %7s  %s\n", scenario, bucket.c_str(), f.frames, f.found[0],
                f.found[1], cell(pct(f.errors[0], mean)).c_str(), cell(pct(f.errors[1], mean)).c_str(),
                cell(pct(f.movement[0], mean)).c_str(), cell(pct(f.movement[1], mean)).c_str(), tail.c_str());
}

void printHeader()
{
    std::printf("  %-16s %-19s %6s %11s %15s %15s  %s\n", "", "", "", "found", "error %", "movement %", "median ms");
    std::printf("  %-16s %-19s %6s %5s %5s %7s %7s %7s %7s  %s\n", "scenario", "bucket", "frames", "lib", "ref", "lib",
                "ref", "lib", "ref", "lib detect/landmarks");
}

// Runs one scenario from a restarted library; false when it cannot run.
bool runScenario(const Stage& stage, const Scenario& sc, ReferencePipeline& reference, const std::string& annotateDir,
                 Json& out)
{
    out["name"] = sc.name;
    out["face_width_px"] = sc.faceWidth;
    out["parameters"] = sc.parameters;

    // The truth: the reference on the unmoved photo, never on a face so small
    // that its landmarks are coarse.
    const double truthWidth = std::max(sc.faceWidth, kTruthMinFaceWidth);
    const std::optional<Shape> measured =
        referenceFace(reference, stage.render(stage.placement(truthWidth, sc.centre)));
    out["truth_measured_at_width_px"] = truthWidth;
    if (!measured) {
        std::fprintf(stderr, "mivora_bench: %s: %s: the reference finds no face in the unmoved photo (face %.0f px)\n",
                     stage.label.c_str(), sc.name.c_str(), truthWidth);
        out["error"] = "the reference finds no face in the unmoved photo";
        return false;
    }
    const Shape baseTruth = transformed(*measured, motion(sc.centre, 0, sc.faceWidth / truthWidth, 1, {}));
    const cv::Matx23d base = stage.placement(sc.faceWidth, sc.centre);

    restartLibrary(stage.background);
    cv::RNG noise(7);
    std::vector<FrameResult> results;
    std::vector<double> detectMs, landmarksMs, handCover;
    int faceFreeRun = 0;
    for (const FramePlan& plan : sc.frames) {
        FrameResult r;
        const cv::Matx23d toFrame = compose(plan.motion, base);
        r.truth = transformed(baseTruth, plan.motion);
        r.faceFree = !plan.photo || !stage.photoInFrame(toFrame);
        r.faceFreeRun = r.faceFree ? faceFreeRun++ : (faceFreeRun = 0);
        r.faceInside = !r.faceFree && pointsInside(r.truth) == MIVORA_FACE_LANDMARK_POINT_COUNT;
        r.bucket = sc.bucketOf ? sc.bucketOf(plan, FrameState{r.truth, r.faceFree}) : plan.bucket;

        cv::Mat frame = plan.photo ? stage.render(toFrame) : stage.background.clone();
        if (plan.photo && (plan.mouthOpen > 0 || plan.blink > 0)) {
            const Shape moved = talkingShape(r.truth, plan.mouthOpen, plan.blink);
            warpFace(frame, r.truth, moved);
            r.truth = moved;
            r.faceInside = !r.faceFree && pointsInside(r.truth) == MIVORA_FACE_LANDMARK_POINT_COUNT;
        }
        if (plan.hand)
            handCover.push_back(drawHand(frame, r.truth));
        if (plan.blurLength > 1)
            motionBlur(frame, plan.blurLength);
        if (plan.noiseSigma > 0)
            addNoise(frame, plan.noiseSigma, noise);

        Clock::time_point start = Clock::now();
        const int faces = MivoraFaceDetectStd(frame.data, frame.cols, frame.rows, MIVORA_FACE_MODE_VIDEO);
        detectMs.push_back(millisecondsSince(start));
        if (faces < 0)
            throw std::runtime_error("video-mode detection failed with code " + std::to_string(faces));
        if (faces > 0) {
            Shape shape{};
            start = Clock::now();
            const int status = MivoraGetFaceLandmark68Std(0, shape.data());
            landmarksMs.push_back(millisecondsSince(start));
            if (status != MIVORA_FACE_OK)
                throw std::runtime_error("landmarks failed with code " + std::to_string(status));
            r.found[kLibrary] = shape;
        }
        r.found[kReference] = referenceFace(reference, frame);
        if (!annotateDir.empty())
            annotate(frame, r, annotateDir, stage.fileStem + "_" + sc.name, results.size());
        results.push_back(r);
    }

    // Figures per bucket, and for the whole scenario.
    std::vector<Figures> buckets(sc.buckets.size());
    Figures all;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const FrameResult& r = results[i];
        std::vector<Figures*> into = {&all};
        if (!buckets.empty())
            into.push_back(&buckets.at(static_cast<std::size_t>(r.bucket)));
        for (Figures* f : into) {
            ++f->frames;
            for (int k : {kLibrary, kReference}) {
                if (!r.found[k])
                    continue;
                ++f->found[k];
                if (r.faceFree)
                    continue;
                f->errors[k].push_back(eyeCornerError(*r.found[k], r.truth));
                const FrameResult* previous = i > 0 ? &results[i - 1] : nullptr;
                if (previous && previous->found[k] && !previous->faceFree)
                    f->movement[k].push_back(movementError(*previous->found[k], *r.found[k], previous->truth, r.truth));
            }
        }
    }

    const double detectP50 = median(detectMs), landmarksP50 = median(landmarksMs);
    char timing[64];
    std::snprintf(timing, sizeof timing, "%.2f/%.3f", detectP50, landmarksP50);
    printRow(sc.name.c_str(), "all", all, timing);
    out["frames"] = all.frames;
    out["mivoraface_detect_ms_p50"] = detectP50;
    out["mivoraface_landmarks_ms_p50"] = landmarksP50;
    out["all"] = figuresJson("all", all);
    out["buckets"] = Json::array();
    for (std::size_t b = 0; b < buckets.size(); ++b) {
        printRow("", sc.buckets[b], buckets[b], "");
        out["buckets"].push_back(figuresJson(sc.buckets[b], buckets[b]));
    }

    // Faces reported where the photo is nowhere in the frame; the first two
    // such frames may still show the face the library was following.
    int faceFree = 0, ghosts[2] = {0, 0}, lateGhosts[2] = {0, 0};
    for (const FrameResult& r : results) {
        faceFree += r.faceFree;
        for (int k : {kLibrary, kReference}) {
            ghosts[k] += r.faceFree && r.found[k];
            lateGhosts[k] += r.faceFree && r.found[k] && r.faceFreeRun >= 2;
        }
    }
    if (faceFree > 0) {
        std::printf("  %-16s face-free frames %d, a face reported on: lib %d (%d after 2 frames), ref %d (%d)\n", "",
                    faceFree, ghosts[0], lateGhosts[0], ghosts[1], lateGhosts[1]);
        out["face_free_frames"] = faceFree;
        for (int k : {kLibrary, kReference})
            out["faces_on_face_free_frames"][kPipelineKeys[k]] = {{"frames", ghosts[k]},
                                                                  {"after_2_frames", lateGhosts[k]}};
    }

    // After the face comes back: frames from the first frame with all its
    // points in view until each pipeline finds it (negative: found earlier).
    std::size_t back = results.size();
    for (std::size_t i = 1; i < results.size(); ++i)
        if (results[i - 1].faceFree && !results[i].faceFree)
            back = i;
    if (back < results.size()) {
        std::optional<std::size_t> inside;
        for (std::size_t i = back; i < results.size() && !inside; ++i)
            if (results[i].faceInside)
                inside = i;
        std::string line;
        for (int k : {kLibrary, kReference}) {
            std::optional<std::ptrdiff_t> delay;
            for (std::size_t i = back; i < results.size() && !delay; ++i)
                if (results[i].found[k] && inside)
                    delay = static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(*inside);
            out["found_after_face_back_frames"][kPipelineKeys[k]] = delay ? Json(*delay) : Json(nullptr);
            line += std::string(k == kLibrary ? "lib " : ", ref ") + (delay ? std::to_string(*delay) : "never");
        }
        std::printf("  %-16s found after the face is back in view: %s frames\n", "", line.c_str());
    }
    if (!handCover.empty()) {
        out["hand_covers_face"] = mean(handCover);
        std::printf("  %-16s the hand covers %.0f%% of the face\n", "", 100 * mean(handCover));
    }
    std::fflush(stdout);
    return true;
}

} // namespace

bool runScenarios(const std::vector<std::string>& photos, double framesScale, const std::string& only,
                  const std::string& annotateDir, ReferencePipeline& reference, Json& out)
{
    bool ok = true;
    for (const std::string& photoArgument : photos) {
        Json info;
        const std::optional<Stage> stage = prepareStage(photoArgument, reference, info);
        info["runs"] = Json::array();
        if (!stage) {
            ok = false;
            out.push_back(info);
            continue;
        }
        std::printf("%s: scenarios at 640x480, face %.0f px wide in the photo (cut to %dx%d around it); error and "
                    "frame-to-frame movement (beyond the photo's own) in %% of the eye-corner distance\n",
                    photoArgument.c_str(), stage->faceWidth, stage->photo.cols, stage->photo.rows);
        printHeader();
        int scenariosRun = 0;
        for (const Scenario& sc : allScenarios(framesScale, *stage)) {
            if (!only.empty() && ("," + only + ",").find("," + sc.name + ",") == std::string::npos)
                continue;
            ++scenariosRun;
            std::fprintf(stderr, "%s: %s, %zu frames\n", photoArgument.c_str(), sc.name.c_str(), sc.frames.size());
            Json run;
            try {
                ok = runScenario(*stage, sc, reference, annotateDir, run) && ok;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "mivora_bench: %s: %s: %s\n", photoArgument.c_str(), sc.name.c_str(), e.what());
                run["error"] = e.what();
                ok = false;
            }
            info["runs"].push_back(run);
        }
        if (scenariosRun == 0) {
            std::fprintf(stderr, "mivora_bench: no scenario is named %s\n", only.c_str());
            ok = false;
        }
        out.push_back(info);
    }
    return ok;
}

} // namespace mivora
