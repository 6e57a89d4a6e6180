#include "face_scan.h"

#include <dlib/opencv/cv_image.h>

#include <dlfcn.h>

namespace mivora {

void baselineFaceScan(dlib::frontal_face_detector& detector, const cv::Mat& gray,
                      std::vector<dlib::rect_detection>& found)
{
    detector(dlib::cv_image<unsigned char>(gray), found);
}

#ifndef MIVORA_FACE_SCAN_MODULE

void FastestFaceScan::ModuleCloser::operator()(void* module) const { dlclose(module); }

FastestFaceScan::FastestFaceScan(const std::string& libraryDirectory)
{
    if (libraryDirectory.empty() || !__builtin_cpu_supports("avx2"))
        return;
    // RTLD_LOCAL: nothing outside the module binds to its AVX2 copies.
    module_.reset(dlopen((libraryDirectory + "/" + kAvx2ScanModule).c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!module_)
        return;
    if (void* entry = dlsym(module_.get(), kAvx2ScanSymbol))
        scan_ = reinterpret_cast<FaceScan>(entry);
    else
        module_.reset();
}

#endif

} // namespace mivora

#ifdef MIVORA_FACE_SCAN_MODULE
// This file compiled for AVX2 is the module; this is all it exports.
extern "C" __attribute__((visibility("default"))) void mivora_face_scan_avx2(dlib::frontal_face_detector& detector,
                                                                             const cv::Mat& gray,
                                                                             std::vector<dlib::rect_detection>& found)
{
    mivora::baselineFaceScan(detector, gray, found);
}
#endif
