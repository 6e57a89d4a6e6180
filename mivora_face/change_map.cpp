// SPDX-License-Identifier: MIT
#include "change_map.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace mivora {

namespace {

// Share of each new frame in the running average: what enters stays a change
// for about three frames (its difference falls by a third a frame).
constexpr float kAverageWeight = 1.0f / 3;
// A cell has changed when its difference is this many times the median
// cell's (the camera's noise, averaged over a cell) and at least this many
// gray levels: a face on a background differs by tens.
constexpr float kNoiseTimes = 8;
constexpr float kLeastChange = 4;
// When more than this share of the cells changes, or the median cell by
// kLeastChange (a camera's noise averaged over a cell is a gray level or
// two), the whole view has.
constexpr double kMostChanged = 0.25;

} // namespace

void ChangeMap::reset()
{
    cellSide_ = columns_ = rows_ = 0;
    average_.clear();
    change_.clear();
    anyChange_ = false;
    viewChangedFrames_ = 0;
}

void ChangeMap::update(const GrayImage& frame, int cellSide)
{
    const int columns = frame.width() / cellSide, rows = frame.height() / cellSide;
    if (columns < 2 || rows < 2) {
        reset();
        return;
    }
    if (cellSide != cellSide_ || columns != columns_ || rows != rows_)
        reset();
    cellSide_ = cellSide;
    columns_ = columns;
    rows_ = rows;
    const std::size_t cells = static_cast<std::size_t>(columns) * rows;

    // Each cell's mean.
    means_.assign(cells, 0.0f);
    sums_.resize(static_cast<std::size_t>(columns));
    std::vector<std::uint64_t>& sums = sums_;
    const float perCell = 1.0f / static_cast<float>(cellSide * cellSide);
    for (int r = 0; r < rows; ++r) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int y = r * cellSide; y < (r + 1) * cellSide; ++y) {
            const unsigned char* pixel = frame.row(y);
            for (int c = 0; c < columns; ++c) {
                std::uint32_t sum = 0;
                for (int x = 0; x < cellSide; ++x)
                    sum += *pixel++;
                sums[static_cast<std::size_t>(c)] += sum;
            }
        }
        for (int c = 0; c < columns; ++c)
            means_[static_cast<std::size_t>(r) * columns + c] =
                static_cast<float>(sums[static_cast<std::size_t>(c)]) * perCell;
    }
    if (average_.size() != cells) {
        average_ = means_;
        change_.assign(cells, 0.0f);
        anyChange_ = false;
        viewChangedFrames_ = 0;
        return;
    }

    // The differences, against the median one.
    for (std::size_t i = 0; i < cells; ++i)
        change_[i] = std::abs(means_[i] - average_[i]);
    sorted_ = change_;
    const auto middle = sorted_.begin() + static_cast<std::ptrdiff_t>(cells / 2);
    std::nth_element(sorted_.begin(), middle, sorted_.end());
    const float threshold = std::max(kLeastChange, kNoiseTimes * *middle);
    std::size_t changed = 0;
    for (float& c : change_) {
        if (c > threshold)
            ++changed;
        else
            c = 0;
    }
    // A typical cell that changed by more than noise explains, or many
    // cells that did: the whole view changed.
    const bool viewChanged =
        *middle > kLeastChange || static_cast<double>(changed) > kMostChanged * static_cast<double>(cells);
    viewChangedFrames_ = viewChanged ? viewChangedFrames_ + 1 : 0;
    anyChange_ = changed > 0 && !viewChanged;
    for (std::size_t i = 0; i < cells; ++i)
        average_[i] += kAverageWeight * (means_[i] - average_[i]);
}

PixelBox ChangeMap::strongestChange(const std::vector<PixelBox>& ignored) const
{
    if (!anyChange_)
        return {};
    const std::size_t cells = change_.size();
    std::vector<char>& seen = seen_;
    seen.assign(cells, 0);
    const auto cellOf = [&](int pixel) { return pixel >= 0 ? pixel / cellSide_ : -1 - (-1 - pixel) / cellSide_; };
    for (const PixelBox& box : ignored) {
        if (box.empty())
            continue;
        const int c0 = std::max(0, cellOf(box.x)), c1 = std::min(columns_ - 1, cellOf(box.x + box.width - 1));
        const int r0 = std::max(0, cellOf(box.y)), r1 = std::min(rows_ - 1, cellOf(box.y + box.height - 1));
        for (int r = r0; r <= r1; ++r)
            for (int c = c0; c <= c1; ++c)
                seen[static_cast<std::size_t>(r) * columns_ + c] = 1;
    }
    // Connected changed cells (diagonal neighbours included), the one with
    // the most change in it.
    PixelBox best;
    float bestChange = 0;
    std::vector<int>& stack = stack_;
    for (std::size_t first = 0; first < cells; ++first) {
        if (seen[first] || change_[first] == 0)
            continue;
        seen[first] = 1;
        stack.assign(1, static_cast<int>(first));
        float total = 0;
        int c0 = columns_, c1 = -1, r0 = rows_, r1 = -1;
        while (!stack.empty()) {
            const int i = stack.back();
            stack.pop_back();
            total += change_[static_cast<std::size_t>(i)];
            const int r = i / columns_, c = i % columns_;
            c0 = std::min(c0, c);
            c1 = std::max(c1, c);
            r0 = std::min(r0, r);
            r1 = std::max(r1, r);
            for (int nr = std::max(0, r - 1); nr <= std::min(rows_ - 1, r + 1); ++nr)
                for (int nc = std::max(0, c - 1); nc <= std::min(columns_ - 1, c + 1); ++nc) {
                    const std::size_t n = static_cast<std::size_t>(nr) * columns_ + nc;
                    if (!seen[n] && change_[n] > 0) {
                        seen[n] = 1;
                        stack.push_back(static_cast<int>(n));
                    }
                }
        }
        if (total > bestChange) {
            bestChange = total;
            best = {c0 * cellSide_, r0 * cellSide_, (c1 - c0 + 1) * cellSide_, (r1 - r0 + 1) * cellSide_};
        }
    }
    return best;
}

} // namespace mivora
