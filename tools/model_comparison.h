// SPDX-License-Identifier: MIT
// mivora_bench --compare-models: two landmark model files (the float form and
// the compact one, say) read the same faces from the same boxes, and the
// points and the time of each regression are compared.
#ifndef TOOLS_MODEL_COMPARISON_H
#define TOOLS_MODEL_COMPARISON_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace mivora {

// Reads both models (any form the library reads), finds the faces of every
// frame of each input (a photo, PHOTO@SCALE for one resized first, or a
// video) with dlib's detector, and runs both regressions from the box of
// each face it is confident of, upright as in still mode and turned to the roll of the first model's
// points as in video mode. Prints per input how far the second model's
// points are from the first's (in % of the first's eye-corner distance) and
// the median time of a regression of each, and appends the figures to out.
// Returns false when a model or an input cannot be read.
bool compareModels(const std::string& firstModel, const std::string& secondModel,
                   const std::vector<std::string>& inputs, nlohmann::ordered_json& out);

} // namespace mivora

#endif
