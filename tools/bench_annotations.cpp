// SPDX-License-Identifier: MIT
#include "bench_annotations.h"

#include "mivora_face.h"

#include <dlib/data_io/image_dataset_metadata.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

namespace mivora {
namespace {

using Json = nlohmann::ordered_json;

// A detection is an annotated face's when its points are this close to the
// annotation's (mean error, in eye-corner distances).
constexpr double kSameFace = 0.5;

std::optional<Shape> annotatedShape(const dlib::image_dataset_metadata::box& box, double scale)
{
    Shape shape{};
    for (int i = 0; i < MIVORA_FACE_LANDMARK_POINT_COUNT; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "%02d", i);
        const auto part = box.parts.find(name);
        if (part == box.parts.end())
            return std::nullopt;
        // Pixel centres stay pixel centres when the image is enlarged.
        shape[2 * i] = static_cast<float>((part->second.x() + 0.5) * scale - 0.5);
        shape[2 * i + 1] = static_cast<float>((part->second.y() + 0.5) * scale - 0.5);
    }
    return shape;
}

// The error of the detection nearest to the annotation, if one is near.
std::optional<double> bestError(const std::vector<Shape>& found, const Shape& truth)
{
    std::optional<double> best;
    for (const Shape& shape : found) {
        const double error = eyeCornerError(shape, truth);
        if (error < kSameFace && (!best || error < *best))
            best = error;
    }
    return best;
}

struct Tally {
    int faces = 0, both = 0, onlyLibrary = 0, onlyReference = 0;
    double library = 0, reference = 0; // summed errors of the faces both found
};

void printRow(const std::string& name, const Tally& t)
{
    const double lib = t.both ? 100 * t.library / t.both : 0, ref = t.both ? 100 * t.reference / t.both : 0;
    std::printf("  %-28s %6d %6d %9d %9d %8.3f %8.3f %8.4f\n", name.c_str(), t.faces, t.both, t.onlyLibrary,
                t.onlyReference, lib, ref, ref > 0 ? lib / ref : 0);
}

Json tallyJson(const Tally& t)
{
    return {{"annotated_faces", t.faces},
            {"found_by_both", t.both},
            {"found_only_by_mivoraface", t.onlyLibrary},
            {"found_only_by_reference", t.onlyReference},
            {"mivoraface_mean_error_pct", t.both ? 100 * t.library / t.both : 0},
            {"reference_mean_error_pct", t.both ? 100 * t.reference / t.both : 0}};
}

} // namespace

bool compareWithAnnotations(const std::string& datasetArgument, ReferencePipeline& reference, Json& out)
{
    std::string path = datasetArgument;
    double scale = 1;
    const std::size_t at = datasetArgument.rfind('@');
    if (at != std::string::npos) {
        char* end = nullptr;
        const double parsed = std::strtod(datasetArgument.c_str() + at + 1, &end);
        if (end != datasetArgument.c_str() + at + 1 && *end == '\0' && parsed > 0) {
            path = datasetArgument.substr(0, at);
            scale = parsed;
        }
    }
    dlib::image_dataset_metadata::dataset dataset;
    try {
        dlib::image_dataset_metadata::load_image_dataset_metadata(dataset, path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mivora_bench: cannot read the dataset %s: %s\n", path.c_str(), e.what());
        return false;
    }
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::printf("%s: still mode against the annotations (images enlarged %gx): mean point error in %% of the "
                "annotated eye-corner distance, over the faces both find\n",
                path.c_str(), scale);
    std::printf("  %-28s %6s %6s %9s %9s %8s %8s %8s\n", "image", "faces", "both", "only lib", "only ref", "lib", "ref",
                "lib/ref");
    Json images = Json::array();
    Tally total;
    bool ok = true;
    for (const auto& image : dataset.images) {
        cv::Mat bgr = cv::imread((folder / image.filename).string(), cv::IMREAD_COLOR);
        if (bgr.empty()) {
            std::fprintf(stderr, "mivora_bench: cannot read %s\n", (folder / image.filename).string().c_str());
            ok = false;
            continue;
        }
        if (scale != 1)
            cv::resize(bgr, bgr, cv::Size(), scale, scale, scale > 1 ? cv::INTER_CUBIC : cv::INTER_AREA);
        std::vector<Shape> mine, theirs;
        const int faces = MivoraFaceDetectStd(bgr.data, bgr.cols, bgr.rows, MIVORA_FACE_MODE_STILL);
        for (int i = 0; i < faces; ++i) {
            Shape shape{};
            if (MivoraGetFaceLandmark68Std(i, shape.data()) == MIVORA_FACE_OK)
                mine.push_back(shape);
        }
        const int referenceFaces = reference.detect(bgr);
        for (int i = 0; i < referenceFaces; ++i)
            theirs.push_back(reference.landmarks(i));
        Tally tally;
        for (const auto& box : image.boxes) {
            const std::optional<Shape> truth = annotatedShape(box, scale);
            if (!truth)
                continue;
            ++tally.faces;
            const std::optional<double> a = bestError(mine, *truth), b = bestError(theirs, *truth);
            if (a && b) {
                ++tally.both;
                tally.library += *a;
                tally.reference += *b;
            }
            tally.onlyLibrary += a && !b;
            tally.onlyReference += b && !a;
        }
        printRow(image.filename, tally);
        Json row = tallyJson(tally);
        row["image"] = image.filename;
        images.push_back(row);
        total.faces += tally.faces;
        total.both += tally.both;
        total.onlyLibrary += tally.onlyLibrary;
        total.onlyReference += tally.onlyReference;
        total.library += tally.library;
        total.reference += tally.reference;
    }
    printRow("all", total);
    std::fflush(stdout);
    Json all = tallyJson(total);
    out.push_back({{"dataset", path}, {"scale", scale}, {"all", all}, {"images", images}});
    return ok;
}

} // namespace mivora
