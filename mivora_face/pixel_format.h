// SPDX-License-Identifier: MIT
// The pixel formats of MivoraFaceImage: which descriptions are valid, and
// where the gray values lie in each.
#ifndef MIVORA_FACE_PIXEL_FORMAT_H
#define MIVORA_FACE_PIXEL_FORMAT_H

#include "gray_image.h"
#include "mivora_face.h"

namespace mivora {

// Ensures: true when image is not null, its format is known, its sides are
//          1 to MIVORA_FACE_MAX_IMAGE_SIDE, and each plane the format has is
//          non-null, has a stride of at least its row's bytes and an extent
//          (stride * (rows - 1) + row bytes) that neither overflows nor
//          wraps around the address space. Reads no pixel.
bool isValidImage(const MivoraFaceImage* image);

// Requires: isValidImage(&image).
// Ensures:  a view of the image's gray values in place: the colour bytes of
//           the packed RGB formats, the luma plane (or the luma bytes of
//           packed 4:2:2) of the YUV formats.
ImageView grayView(const MivoraFaceImage& image);

} // namespace mivora

#endif
