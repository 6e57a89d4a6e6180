// SPDX-License-Identifier: MIT
// LandmarkModel: dlib's 68-point shape predictor, laid out flat for speed.
//
// The regression is dlib's own cascade of trees, read from one of three
// forms of the model:
// - compact (what the build installs): the trees as dlib's, each cascade
//   level's leaves as a few coefficients in a basis of the level's own (its
//   principal components), quantised with a scale per leaf. A tenth of the
//   float form's size, and the trees add up coefficients instead of 136
//   floats each. The points are dlib's to a fraction of a percent.
// - packed float: dlib's trees and leaves laid out flat; gives exactly
//   dlib's points (same features, trees and float arithmetic).
// - dlib's own shape_predictor file, parsed into the packed float form.
// The model is copied into the process's own memory, so the file may be
// replaced, rewritten or truncated while a program runs.
#ifndef MIVORA_FACE_LANDMARK_MODEL_H
#define MIVORA_FACE_LANDMARK_MODEL_H

#include "gray_image.h"
#include "model_file.h"

#include <dlib/geometry/point_transforms.h>
#include <dlib/geometry/rectangle.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mivora {

struct PixelPlacement;
struct CompactLevel;

class LandmarkModel {
public:
    // Opens a model file: a packed model (see pack() and packCompact()) is
    // read as it is, a dlib shape_predictor file is parsed. Returns null and
    // sets problem to a short reason when the file is missing, not a regular
    // file, not a 68-point model, or corrupt. Sizes and counts are checked
    // before they are used, so a bad file costs no more time or memory than a
    // good one. A packed model's trees (and a compact one's bases) are read
    // and checked now, its leaves (nearly all of its bytes) by loadLeaves().
    static std::unique_ptr<LandmarkModel> open(const std::string& path, std::string& problem);

    // Requires: not called concurrently with itself or predict().
    // Ensures:  true when the whole model is in memory and predict() may be
    //           called; false, with problem set, when the file has changed
    //           under it since open() (the model is then unusable).
    bool loadLeaves(std::string& problem);

    // Reads dlib's shape_predictor file at dlibModelPath and returns the packed
    // form that open() reads. Throws std::runtime_error when it is not a
    // 68-point cascade; its indices are checked by open(), which reads it.
    static std::vector<unsigned char> pack(const std::string& dlibModelPath);

    // How the compact form keeps each leaf: its first wideComponents
    // coefficients in 8 bits, the next narrowComponents (an even number) in
    // 4 bits, each group with a scale of its own.
    struct CompactForm {
        unsigned wideComponents = 16;
        unsigned narrowComponents = 64;
    };
    // Reads dlib's shape_predictor file (or a packed float model) and returns
    // the compact form that open() reads. Throws std::runtime_error as pack()
    // does, and when the form does not fit the model.
    static std::vector<unsigned char> packCompact(const std::string& modelPath, const CompactForm& form);

    // Whether this is the compact form.
    bool compact() const { return compactLevels_ != nullptr; }

    ~LandmarkModel();
    LandmarkModel(const LandmarkModel&) = delete;
    LandmarkModel& operator=(const LandmarkModel&) = delete;

    // Requires: loadLeaves() returned true.
    // Ensures: points holds 68 (x, y) pairs in image's pixel coordinates,
    //          rounded to whole pixels as dlib::shape_predictor returns them
    //          for rect (exactly its points with a float model).
    void predict(const ImageView& image, const dlib::rectangle& rect, float* points) const;

    // The regression in a face box of any position, size and angle: toImage
    // maps the model's normalised box (the unit square, upright) to image
    // pixels, so a tilted face is read as if it had been warped upright.
    // Ensures: points holds 68 (x, y) pairs in image's pixel coordinates,
    //          unrounded.
    void predict(const ImageView& image, const dlib::point_transform_affine& toImage, float* points) const;

    // The 136 values one leaf adds to the shape (in the compact form, rebuilt
    // from its coefficients). Requires: loadLeaves() returned true, and the
    // indices are below cascades(), treesPerCascade() and leavesPerTree().
    void leafValues(std::size_t cascade, std::size_t tree, std::size_t leaf, float* values) const;
    std::size_t cascades() const { return cascades_; }
    std::size_t treesPerCascade() const { return treesPerCascade_; }
    std::size_t leavesPerTree() const { return std::size_t{splitsPerTree_} + 1; }

    // The mean shape the regression starts from, 68 (x, y) pairs in the
    // normalised box.
    const float* meanShape() const { return initialShape_; }

private:
    LandmarkModel();
    // Checks the layout and every index in bytes; on success points the
    // views below into it.
    bool attach(const unsigned char* bytes, std::size_t size, std::string& problem);
    // The same for the compact form, whose leaf records (the last part of
    // bytes, from leavesOffset_) may still be unread.
    bool attachCompact(const unsigned char* bytes, std::size_t size, std::string& problem);
    void regress(const ImageView& image, const dlib::point_transform_affine& toImage, float* shape) const;

    PrivateBytes packed_;
    std::vector<unsigned char> converted_;
    // The packed file while its leaves are still to be read.
    std::unique_ptr<RegularFile> leavesFile_;
    std::size_t leavesOffset_ = 0;

    // The processor's fastest versions, chosen once.
    using AddLeaves = void (*)(float* shape, const float* const* leaves, std::size_t count);
    using AddCompactLeaves = void (*)(float* shape, const CompactLevel& level, const unsigned char* const* records,
                                      std::size_t count);
    using ExtractFeatures = void (*)(const PixelPlacement& placement, const float* shape, const std::uint32_t* anchors,
                                     const float* deltas, std::size_t count, const ImageView& image, float* features);
    AddLeaves addLeaves_ = nullptr;
    AddCompactLeaves addCompactLeaves_ = nullptr;
    ExtractFeatures extractFeatures_ = nullptr;

    std::uint32_t cascades_ = 0;
    std::uint32_t treesPerCascade_ = 0;
    std::uint32_t splitsPerTree_ = 0;
    std::uint32_t featuresPerCascade_ = 0;
    const float* initialShape_ = nullptr;
    const std::uint32_t* anchors_ = nullptr; // [cascade][feature]
    const float* deltas_ = nullptr;          // [cascade][feature][x, y]
    const std::uint32_t* splits_ = nullptr;  // [cascade][tree][split]: 16-bit indices, float threshold
    const float* leaves_ = nullptr;          // [cascade][tree][leaf][136]
    // The compact form: 32-bit splits (two 11-bit feature indices and a
    // whole-number threshold), one basis per cascade, leaf records.
    std::vector<std::uint32_t> compactAnchors_;     // [cascade][feature], widened
    const std::uint32_t* compactSplits_ = nullptr;  // [cascade][tree][split]
    std::unique_ptr<CompactLevel[]> compactLevels_; // [cascade]
    const unsigned char* compactRecords_ = nullptr; // [cascade][tree][leaf]
    std::size_t compactRecordSize_ = 0;
    const unsigned char* bytes_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace mivora

#endif
