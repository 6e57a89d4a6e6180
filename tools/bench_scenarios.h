// SPDX-License-Identifier: MIT
// Motion scenarios for mivora_bench: a photo moved in memory the way a person
// moves in front of a 640x480 webcam (rolling the head, walking away, panning,
// leaving and coming back, a hand over the face, motion blur, turning,
// coming into view tilted or small), run
// through the library's video mode and the reference pipeline, every frame
// scored against the reference's landmarks on the unmoved photo, moved as the
// photo was.
#ifndef TOOLS_BENCH_SCENARIOS_H
#define TOOLS_BENCH_SCENARIOS_H

#include "reference_pipeline.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace mivora {

// Runs every scenario on each photo, given as PATH or PATH@SCALE (the photo
// resized by SCALE first). framesScale stretches or shortens every scenario;
// a non-empty `only` (names separated by commas) runs only those scenarios.
// Prints a table per photo to stdout and appends one object per photo to
// `out`; with an annotateDir, writes every frame there with the landmarks
// drawn. Returns false when a photo or a scenario could not run (unreadable,
// no face for the reference in the unmoved photo, a library error); the
// others still run.
bool runScenarios(const std::vector<std::string>& photos, double framesScale, const std::string& only,
                  const std::string& annotateDir, ReferencePipeline& reference, nlohmann::ordered_json& out);

} // namespace mivora

#endif
