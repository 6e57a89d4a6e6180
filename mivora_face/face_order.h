// SPDX-License-Identifier: MIT
// The order in which MivoraFace numbers the faces of one detection.
#ifndef MIVORA_FACE_FACE_ORDER_H
#define MIVORA_FACE_FACE_ORDER_H

#include <dlib/image_processing/object_detector.h>

namespace mivora {

// Detector scores of real frontal faces lie well above 1 on our photos; false
// detections on face-like patterns stay below about 0.15.
constexpr double kConfidentDetection = 0.5;

inline bool isConfident(double detectionConfidence) { return detectionConfidence >= kConfidentDetection; }

// Confident faces first, each group largest first, ties in reading order.
// A weak detection (a face-like badge, say) can be a pyramid step larger than
// the real face next to it and must not become face 0.
inline bool numberedBefore(const dlib::rect_detection& a, const dlib::rect_detection& b)
{
    if (isConfident(a.detection_confidence) != isConfident(b.detection_confidence))
        return isConfident(a.detection_confidence);
    if (a.rect.area() != b.rect.area())
        return a.rect.area() > b.rect.area();
    if (a.rect.top() != b.rect.top())
        return a.rect.top() < b.rect.top();
    return a.rect.left() < b.rect.left();
}

} // namespace mivora

#endif
