// SPDX-License-Identifier: MIT
// FaceDetector: dlib's HOG frontal face detector (run by our own FaceScan,
// several times faster than dlib's), over a whole frame, over some of its
// pyramid levels, or over a small upright crop where a followed face is
// expected.
#ifndef MIVORA_FACE_FACE_DETECTOR_H
#define MIVORA_FACE_FACE_DETECTOR_H

#include "face_scan.h"
#include "gray_image.h"

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <string>
#include <vector>

namespace mivora {

struct Detection {
    dlib::rectangle rect;
    double confidence = 0;
};

// The detector's boxes at pyramid level 0 are this wide; each level's are
// 6/5 as wide as the level's before.
constexpr double kLevelZeroFaceWidth = 73.0;
// In a crop made for scanCrop(), the face's box is this wide: the
// detector's second pyramid level, so that the three levels scanned find it
// 1/6 smaller or 1/5 larger than expected.
constexpr double kCropFaceWidth = kLevelZeroFaceWidth * 6.0 / 5.0;
// Crops smaller than this hold no face the detector can find.
constexpr int kSmallestCrop = 73;

// The detector's trained model, shared by every thread; never changed.
struct DetectorModel {
    // The filters, ready to scan; copies share them.
    std::shared_ptr<const FaceScan> scan;

    // Reads the packed detector mivora_model_pack writes; with an empty
    // path, or a file that is not one, dlib's built-in detector (several
    // milliseconds slower: it is decompressed and its filters decomposed).
    static DetectorModel load(const std::string& path);
};

// Requires: model outlives the detector.
// Ensures:  each thread or camera has its own (dlib's detector keeps its
//           scan buffers between calls).
class FaceDetector {
public:
    explicit FaceDetector(const DetectorModel& model) : scan_(*model.scan) {}

    // Faces in the whole image, numbered as MivoraFaceDetectStd numbers them.
    std::vector<Detection> scanWholeFrame(const GrayImage& gray);
    // The same, in pyramid levels first .. last only (level 0 holds the
    // smallest faces; each level's faces are 6/5 larger).
    std::vector<Detection> scanLevels(const GrayImage& gray, int first, int last);
    // The image's levels, split into `parts` runs of about equal cost: the
    // first level of each part, then the level count.
    std::vector<int> levelParts(int width, int height, int parts) const;
    // The pyramid level at which a face whose box is `size` pixels wide is
    // found (may be beyond an image's last level).
    int levelOf(double size) const;
    // Faces in a crop where one is expected kCropFaceWidth wide, down to
    // scores of adjustThreshold (0 is the detector's own threshold).
    std::vector<Detection> scanCrop(const GrayImage& crop, double adjustThreshold);
    // Gives back the scan buffers of a very large image.
    void releaseMemory();

private:
    FaceScan scan_;
};

} // namespace mivora

#endif
