// Running dlib's frontal face detector over an image. The scan is dlib's
// own templates compiled into this library for the baseline x86-64
// processor; a second copy, compiled for AVX2 into a module of its own (two
// copies in one library would be one definition twice), is used where the
// processor has AVX2. Both give the same boxes; scores may differ in the
// last bits, where the wider vectors sum in another order.
#ifndef MIVORA_FACE_FACE_SCAN_H
#define MIVORA_FACE_FACE_SCAN_H

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

namespace mivora {

// Requires: gray is 8-bit, one channel.
// Ensures:  found holds detector's detections in gray, as detector(gray) gives them.
using FaceScan = void (*)(dlib::frontal_face_detector& detector, const cv::Mat& gray,
                          std::vector<dlib::rect_detection>& found);

void baselineFaceScan(dlib::frontal_face_detector& detector, const cv::Mat& gray,
                      std::vector<dlib::rect_detection>& found);

// The module's file name, in a directory named after the library beside it.
constexpr const char* kAvx2ScanModule = "mivoraface/mivoraface_scan_avx2.so";
// The function the module exports, of type FaceScan.
constexpr const char* kAvx2ScanSymbol = "mivora_face_scan_avx2";

// The AVX2 scan, while the module stays loaded; the baseline scan when the
// processor lacks AVX2 or the module cannot be loaded.
class FastestFaceScan {
public:
    FastestFaceScan() = default; // the baseline scan
    explicit FastestFaceScan(const std::string& libraryDirectory);
    FaceScan scan() const { return scan_; }
    bool usesAvx2() const { return module_ != nullptr; }

private:
    struct ModuleCloser {
        void operator()(void* module) const;
    };
    std::unique_ptr<void, ModuleCloser> module_;
    FaceScan scan_ = baselineFaceScan;
};

} // namespace mivora

#endif
