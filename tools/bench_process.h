// SPDX-License-Identifier: MIT
// mivora_bench's measurements of a whole process: what the first frame with a
// face costs in a fresh process (model reading included), and how much memory
// a process holds after following a face.
#ifndef TOOLS_BENCH_PROCESS_H
#define TOOLS_BENCH_PROCESS_H

#include <nlohmann/json.hpp>

#include <string>

namespace mivora {

// Runs `runs` fresh processes (this program again, with --first-call-once),
// each of which detects the faces of the photo in still mode and asks for the
// landmarks of face 0; then as many that do the same in video mode, with the
// photo in a 640x480 camera frame. Prints the median and the worst of each
// call's time.
// Returns false when a run fails.
bool measureFirstCalls(const std::string& program, const std::string& photo, int runs, nlohmann::ordered_json& out);

// The child's part: prints "DETECT_MS LANDMARKS_MS DETECT_CPU_MS
// LANDMARKS_CPU_MS" on stdout; returns the exit status.
int firstCallOnce(const std::string& photo, bool video);

// In this process, which must not have called the library yet: the photo
// drifts over a 640x480 background, followed in video mode for `frames`
// frames with its landmarks read; prints the resident memory before the
// first call and after the last. Returns false when the face is not followed.
bool measureResidentMemory(const std::string& photo, int frames, nlohmann::ordered_json& out);

} // namespace mivora

#endif
