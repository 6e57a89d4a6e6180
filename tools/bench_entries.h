// SPDX-License-Identifier: MIT
// Faces entering a still camera's view, many times over: how
// often each kind of face (rolled, small) is found within 3 frames, and how
// many face-free frames get a face (bare and textured backgrounds, camera
// noise, face-free photos, and the frames after a face vanishes).
#ifndef MIVORA_TOOLS_BENCH_ENTRIES_H
#define MIVORA_TOOLS_BENCH_ENTRIES_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace mivora {

// Requires: facePhotos are PHOTO[@SCALE] with a face plain dlib finds;
//           emptyPhotos have none; mode is MIVORA_FACE_MODE_VIDEO, or
//           MIVORA_FACE_MODE_STILL to look at every frame on its own.
// Ensures:  a table on stdout and the figures in out; false when a photo
//           cannot be used.
bool runEntries(const std::vector<std::string>& facePhotos, const std::vector<std::string>& emptyPhotos, int trials,
                int mode, nlohmann::ordered_json& out);

} // namespace mivora

#endif
