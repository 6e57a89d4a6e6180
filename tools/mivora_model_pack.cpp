// SPDX-License-Identifier: MIT
// mivora_model_pack: turns dlib's 68-point shape predictor file into the model
// file libmivoraface reads in milliseconds, and optionally packs dlib's
// frontal face detector: its filters already decomposed, it loads in a tenth
// of a millisecond instead of the 4 ms that dlib's built-in copy takes to
// decompress and decompose.
//
// The landmark model is written in the compact form (each cascade's leaves in
// a basis of its own, about 7 MB) unless --float asks for the packed float
// form (66 MB, exactly dlib's points). --components WIDE NARROW sets how many
// coefficients of each leaf the compact form keeps in 8 and in 4 bits.
//
//   mivora_model_pack MODEL OUT.mivora [--float | --components WIDE NARROW] [--detector OUT_DETECTOR.mivora]
#include "face_scan.h"
#include "landmark_model.h"

#include <dlib/image_processing/frontal_face_detector.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

bool writeFile(const std::string& path, const char* data, std::size_t size)
{
    const std::string partial = path + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(data, static_cast<std::streamsize>(size));
        if (!out.flush())
            return false;
    }
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

int usage(const char* program)
{
    std::fprintf(stderr,
                 "usage: %s MODEL OUT.mivora [--float | --components WIDE NARROW] [--detector OUT_DETECTOR.mivora]\n"
                 "MODEL is dlib's shape_predictor file (or a packed float model). The landmark model is written in\n"
                 "the compact form unless --float is given.\n",
                 program);
    return 2;
}

bool parseCount(const char* text, unsigned& out)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value > 136)
        return false;
    out = static_cast<unsigned>(value);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return usage(argv[0]);
    bool floatForm = false;
    mivora::LandmarkModel::CompactForm form;
    const char* detectorOut = nullptr;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--float") == 0)
            floatForm = true;
        else if (std::strcmp(argv[i], "--components") == 0 && i + 2 < argc) {
            if (!parseCount(argv[i + 1], form.wideComponents) || !parseCount(argv[i + 2], form.narrowComponents))
                return usage(argv[0]);
            i += 2;
        } else if (std::strcmp(argv[i], "--detector") == 0 && i + 1 < argc)
            detectorOut = argv[++i];
        else
            return usage(argv[0]);
    }
    try {
        const std::vector<unsigned char> packed =
            floatForm ? mivora::LandmarkModel::pack(argv[1]) : mivora::LandmarkModel::packCompact(argv[1], form);
        if (!writeFile(argv[2], reinterpret_cast<const char*>(packed.data()), packed.size())) {
            std::fprintf(stderr, "mivora_model_pack: cannot write %s\n", argv[2]);
            return 1;
        }
        // Read back as the library will read it.
        std::string problem;
        const auto model = mivora::LandmarkModel::open(argv[2], problem);
        if (!model || !model->loadLeaves(problem)) {
            std::fprintf(stderr, "mivora_model_pack: %s: %s\n", argv[2], problem.c_str());
            std::remove(argv[2]);
            return 1;
        }
        if (detectorOut != nullptr) {
            const mivora::FaceScan scan(dlib::get_frontal_face_detector(), mivora::FaceScan::Instructions::Plain);
            const std::vector<unsigned char> bytes = scan.packModel();
            mivora::FaceScan::fromPackedModel(bytes.data(), bytes.size(), mivora::FaceScan::Instructions::Plain);
            if (!writeFile(detectorOut, reinterpret_cast<const char*>(bytes.data()), bytes.size())) {
                std::fprintf(stderr, "mivora_model_pack: cannot write %s\n", detectorOut);
                return 1;
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mivora_model_pack: %s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
