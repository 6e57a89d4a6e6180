// SPDX-License-Identifier: MIT
// FaceScan: dlib's HOG face detector (frontal_face_detector) over a whole
// image, reimplemented to run several times faster: the same filters, read
// from the detector, on the same fHOG features of the same image pyramid, with
// the same box mapping and non-max suppression, but vectorised, without
// per-level allocations, and with the vector code chosen for the processor at
// run time (plain x86-64, AVX2, AVX2 with FMA).
//
// Its answer is dlib's up to rounding: the pyramid images are dlib's to the
// bit, the features differ from dlib's in the last bits (sums in another
// order), and so do the scores; the boxes are dlib's.
#ifndef MIVORA_FACE_FACE_SCAN_H
#define MIVORA_FACE_FACE_SCAN_H

#include "gray_image.h"

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_processing/object_detector.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace mivora {

namespace scan {
struct Kernels;
}

class FaceScan {
public:
    enum class Instructions {
        Best,    // the fastest set the processor runs
        Plain,   // x86-64's SSE2 only
        Avx2,    // AVX2 without FMA
        Avx2Fma, // AVX2 and FMA
    };
    // True when this processor (and its operating system) runs the set.
    static bool supported(Instructions instructions);

    // Requires: detector's cell size is 8 and its filters at most 32 cells on a
    //           side (true of dlib's frontal face detector and of detectors
    //           trained with scan_fhog_pyramid<pyramid_down<6>> defaults);
    //           instructions supported().
    // Ensures:  the scan holds its own copy of the filters: detector may go.
    // Throws:   std::invalid_argument when a requirement is not met.
    explicit FaceScan(const dlib::frontal_face_detector& detector, Instructions instructions = Instructions::Best);

    // The filters in a packed form that loads in microseconds (building them
    // from a detector takes milliseconds: dlib decomposes every filter).
    std::vector<unsigned char> packModel() const;
    // Requires: nothing; bytes are checked whole before anything is used.
    // Ensures:  a scan equal to the one that packed the bytes.
    // Throws:   std::invalid_argument when bytes are not a packed model of
    //           this version, or are inconsistent; as the constructor does
    //           for instructions.
    static FaceScan fromPackedModel(const unsigned char* bytes, std::size_t size,
                                    Instructions instructions = Instructions::Best);

    // Copies share the filters (immutable) and start with no buffers: one
    // copy per thread is cheap, and copies never touch each other's memory.
    // A move takes the buffers; the moved-from scan still works.
    FaceScan(const FaceScan& other);
    FaceScan& operator=(const FaceScan& other);
    FaceScan(FaceScan&&) noexcept;
    FaceScan& operator=(FaceScan&&) noexcept;
    ~FaceScan();

    // Requires: nothing (an empty image finds nothing).
    // Ensures:  found holds what detector(image, found, adjustThreshold) would
    //           hold had dlib scanned only pyramid levels firstLevel ..
    //           lastLevel (inclusive; clamped to the levels the image has):
    //           faces scoring at least the detector's threshold plus
    //           adjustThreshold, after dlib's non-max suppression among them,
    //           strongest first. Negative adjustThreshold finds weaker faces.
    //           Buffers are kept for the next call.
    void scan(const GrayImage& image, std::vector<dlib::rect_detection>& found, double adjustThreshold = 0,
              int firstLevel = 0, int lastLevel = INT_MAX);

    // The pyramid levels dlib scans in an image of this size (at least 1).
    int levelCount(int width, int height) const;
    // Level 0 is the image itself; each level is 5/6 of the one before, in
    // width and in height (rounded down). Faces found at level l are about
    // 73 * (6/5)^l pixels wide.
    void levelSize(int width, int height, int level, int& levelWidth, int& levelHeight) const;
    // Estimated share of a whole-image scan's time that this level adds to a
    // scan (its pyramid step, features and filters; the levels' shares sum to
    // 1); 0 for a level the image has not. A scan of levels first .. last also
    // makes the pyramid images of the levels before first, about 0.7 ns a
    // pixel.
    double levelCost(int width, int height, int level) const;

    // Gives back the buffers (after a very large image, say); the next scan
    // allocates again.
    void releaseBuffers();
    // Bytes the buffers hold now.
    std::size_t bufferBytes() const;

    Instructions instructions() const;
    const char* instructionsName() const;

    // For tests and diagnostics: the scan's intermediate results.
    // The image of pyramid level `level` (0 <= level < levelCount) as dlib's
    // pyramid_down<6> makes it.
    void pyramidLevel(const GrayImage& image, int level, GrayImage& out);
    // image's 31 fHOG planes as dlib's extract_fhog_features(image, planes, 8,
    // filter rows, filter columns) gives them, zero border included: plane p,
    // row r, column c at planes[(p * rows + r) * columns + c]; rows = columns =
    // 0 when dlib's planes would be empty.
    void fhog(const GrayImage& image, std::vector<float>& planes, int& rows, int& columns);
    // Every window position's score at pyramid level `level` (0 <= level <
    // levelCount), before any threshold: detector d's score (bias not
    // subtracted) of the window at row r, column c in scores[(d * rows + r)
    // * columns + c], the positions of dlib's saliency image of that detector
    // at that level without its border; rows = columns = 0 when it has none.
    void levelScores(const GrayImage& image, int level, std::vector<float>& scores, int& rows, int& columns);

private:
    struct Model;
    struct Buffers;
    struct LevelGeometry;

    FaceScan(std::shared_ptr<Model> model, Instructions instructions);
    static std::shared_ptr<Model> modelOf(const dlib::frontal_face_detector& detector);

    void loadImage(const GrayImage& image);
    void nextLevel(int width, int height);
    bool computeFeatures(int width, int height, LevelGeometry& geometry);
    void detectAtLevel(int level, const LevelGeometry& geometry, double adjustThreshold);
    void levelSizes(int width, int height, std::vector<std::pair<int, int>>& sizes) const;

    std::shared_ptr<const Model> model_;
    const scan::Kernels* kernels_;
    Instructions instructions_;
    std::unique_ptr<Buffers> buffers_;
};

} // namespace mivora

#endif
