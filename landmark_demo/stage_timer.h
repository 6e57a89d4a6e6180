// SPDX-License-Identifier: MIT
// StageTimer: times one library call and writes one line for it to stdout.
//
//     {
//         StageTimer timer("FaceDetect  ==> ");
//         faces = MivoraFaceDetectStd(...);
//     }   // prints "FaceDetect  ==> \t12ms \t\n"
#ifndef LANDMARK_DEMO_STAGE_TIMER_H
#define LANDMARK_DEMO_STAGE_TIMER_H

#include <chrono>
#include <iostream>
#include <string>
#include <utility>

// The line for a span: label, tab, whole milliseconds truncated toward zero
// and printed as an integer, then "ms \t\n".
inline std::string formatStageLine(const std::string& label, std::chrono::steady_clock::duration elapsed)
{
    const long long milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return label + "\t" + std::to_string(milliseconds) + "ms \t\n";
}

// Requires: one timer per timed block, declared as its first statement.
// Ensures:  when the block ends, its line is on stdout and flushed, so that
//           it survives the process being killed right afterwards.
class StageTimer {
public:
    explicit StageTimer(std::string label) : label(std::move(label))
    {
        // The clock is read after the label is copied: the copy is not timed.
        start = std::chrono::steady_clock::now();
    }

    ~StageTimer()
    {
        end = std::chrono::steady_clock::now();
        std::cout << formatStageLine(label, end - start) << std::flush;
    }

    StageTimer(const StageTimer&) = delete;
    StageTimer& operator=(const StageTimer&) = delete;

private:
    std::string label;
    // A monotonic clock, so that a wall-clock adjustment cannot distort a span.
    std::chrono::steady_clock::time_point start{};
    std::chrono::steady_clock::time_point end{};
};

#endif
