// SPDX-License-Identifier: MIT
// A still photo made to talk and blink, for the benchmarks: the face's 68
// points are moved the way a jaw drops and eyelids close, and the image is
// warped piecewise-affinely over a triangulation of the points, so that the
// moved points are the truth of the warped frame. The mouth's inside is
// painted dark as it opens.
#ifndef MIVORA_TOOLS_TALKING_FACE_H
#define MIVORA_TOOLS_TALKING_FACE_H

#include "reference_pipeline.h"

#include <opencv2/core.hpp>

namespace mivora {

// face's points with the mouth opened by mouthOpen (0 closed, 1 wide open for
// speech: the lower lip a third of the outer-eye-corner distance down) and
// the eyes closed by blink (0 open, 1 shut).
Shape talkingShape(const Shape& face, double mouthOpen, double blink);

// Warps bgr in place so that what lay at from's points lies at to's, leaving
// everything beyond the face's surroundings as it was. Paints the mouth's
// inside (to's inner lip line) dark in proportion to how far it opened.
void warpFace(cv::Mat& bgr, const Shape& from, const Shape& to);

} // namespace mivora

#endif
