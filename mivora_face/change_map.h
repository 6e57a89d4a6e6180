// SPDX-License-Identifier: MIT
// ChangeMap: where a still camera's view has lately changed, so that the
// face search looks first where something came into view.
//
// Each frame is shrunk to cells (area averaged, which averages camera noise
// away) and compared with a running average of the frames before it. A cell
// has changed when it differs from that average by clearly more than the
// frame's typical cell does (the camera's noise). Something that enters stays
// a change for a few frames and then becomes part of the average. When much
// of the view changes at once (the camera moved, the light changed), no part
// stands out and no change is reported.
#ifndef MIVORA_FACE_CHANGE_MAP_H
#define MIVORA_FACE_CHANGE_MAP_H

#include "gray_image.h"

#include <cstdint>
#include <vector>

namespace mivora {

// A box in frame pixels.
struct PixelBox {
    int x = 0, y = 0, width = 0, height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
};

class ChangeMap {
public:
    // Forgets the frames seen: the next one starts the average afresh.
    void reset();
    // Requires: cellSide >= 1.
    // Ensures:  the frame is compared with the average and then added to it;
    //           a frame of another size or cell side starts afresh.
    void update(const GrayImage& frame, int cellSide);
    // The box of the connected change with the most change in it, leaving out
    // the cells that touch any of ignored (faces already known); empty when
    // nothing stands out from the noise.
    PixelBox strongestChange(const std::vector<PixelBox>& ignored) const;
    // How many frames in a row, up to the last one, changed as a whole from
    // the frames before them (something filled much of the view, the camera
    // moved, the light changed), so that no part stands out; 0 when the last
    // one did not.
    int viewChangedFrames() const { return viewChangedFrames_; }

private:
    int cellSide_ = 0, columns_ = 0, rows_ = 0;
    std::vector<float> average_;      // running average of each cell's mean
    std::vector<float> change_;       // this frame's difference from it, where it stands out; else 0
    std::vector<float> means_;        // scratch: this frame's cell means
    std::vector<float> sorted_;       // scratch: the differences, for their median
    std::vector<std::uint64_t> sums_; // scratch: a row of cells' sums
    // Scratch for strongestChange(): cells looked at, cells to look at.
    mutable std::vector<char> seen_;
    mutable std::vector<int> stack_;
    bool anyChange_ = false;
    int viewChangedFrames_ = 0;
};

} // namespace mivora

#endif
