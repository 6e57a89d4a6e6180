// SPDX-License-Identifier: MIT
// mivora_bench --annotations: still mode against annotated faces. The library
// in still mode and the plain dlib pipeline each find the faces of every image
// of a dlib dataset file (imglab's XML, 68 parts per face), and each is scored
// against the annotations: the mean point error in % of the annotated
// eye-corner distance, per image.
#ifndef TOOLS_BENCH_ANNOTATIONS_H
#define TOOLS_BENCH_ANNOTATIONS_H

#include "reference_pipeline.h"

#include <nlohmann/json.hpp>

#include <string>

namespace mivora {

// datasetArgument: DATASET.xml, or DATASET.xml@SCALE to enlarge every image
// (and its annotations) by SCALE first, for faces smaller than dlib's
// detector finds. Prints one row per image and the total; appends the
// figures to out. Returns false when the file or an image cannot be read.
bool compareWithAnnotations(const std::string& datasetArgument, ReferencePipeline& reference,
                            nlohmann::ordered_json& out);

} // namespace mivora

#endif
