// SPDX-License-Identifier: MIT
#include "cnn_face_detector.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace mivora {
namespace {

// The resampled rows take at least a huge page (2 MB).
constexpr std::size_t kHugePageFloats = (std::size_t{2} << 20) / sizeof(float);

// Source pixels of one output pixel along an axis: output pixel i covers
// image coordinates [(i - offset) / scale, (i + 1 - offset) / scale). Shrinking,
// it averages the image pixels it covers (by how much each is covered);
// enlarging, it interpolates between the two nearest. Outside the image the
// pixel is black (no taps, or weights summing to less than 1).
void axisTaps(int outputs, int inputs, float scale, float offset, std::vector<int>& first, std::vector<int>& count,
              std::vector<int>& at, std::vector<float>& weights)
{
    first.assign(static_cast<std::size_t>(outputs), 0);
    count.assign(static_cast<std::size_t>(outputs), 0);
    at.assign(static_cast<std::size_t>(outputs), 0);
    weights.clear();
    for (int i = 0; i < outputs; ++i) {
        at[static_cast<std::size_t>(i)] = static_cast<int>(weights.size());
        if (scale < 1) {
            const double begin = (i - offset) / scale, end = (i + 1 - offset) / scale;
            const int from = std::max(0, static_cast<int>(std::floor(begin)));
            const int to = std::min(inputs, static_cast<int>(std::ceil(end)));
            first[static_cast<std::size_t>(i)] = from;
            for (int s = from; s < to; ++s) {
                const double covered = std::min<double>(end, s + 1) - std::max<double>(begin, s);
                weights.push_back(static_cast<float>(std::max(0.0, covered) * scale));
            }
            count[static_cast<std::size_t>(i)] = std::max(0, to - from);
        } else {
            const double centre = (i + 0.5 - offset) / scale - 0.5;
            if (centre < -0.5 || centre > inputs - 0.5)
                continue; // black
            const int left = static_cast<int>(std::floor(centre));
            const float right = static_cast<float>(centre - left);
            const int a = std::clamp(left, 0, inputs - 1), b = std::clamp(left + 1, 0, inputs - 1);
            first[static_cast<std::size_t>(i)] = std::min(a, b);
            if (a == b) {
                weights.push_back(1);
                count[static_cast<std::size_t>(i)] = 1;
            } else {
                weights.push_back(1 - right);
                weights.push_back(right);
                count[static_cast<std::size_t>(i)] = 2;
            }
        }
    }
}

float sigmoid(float x) { return 1 / (1 + std::exp(-std::clamp(x, -100.0f, 100.0f))); }

} // namespace

float boxOverlap(const CnnFace& a, const CnnFace& b)
{
    const float x0 = std::max(a.centreX - a.width / 2, b.centreX - b.width / 2);
    const float x1 = std::min(a.centreX + a.width / 2, b.centreX + b.width / 2);
    const float y0 = std::max(a.centreY - a.height / 2, b.centreY - b.height / 2);
    const float y1 = std::min(a.centreY + a.height / 2, b.centreY + b.height / 2);
    const float inter = std::max(0.0f, x1 - x0) * std::max(0.0f, y1 - y0);
    const float both = a.width * a.height + b.width * b.height - inter;
    return both > 0 ? inter / both : 0;
}

std::vector<CnnFace> mergeOverlapping(std::vector<CnnFace> faces, float minOverlap)
{
    std::stable_sort(faces.begin(), faces.end(), [](const CnnFace& a, const CnnFace& b) { return a.score > b.score; });
    std::vector<CnnFace> merged;
    std::vector<bool> used(faces.size(), false);
    for (std::size_t i = 0; i < faces.size(); ++i) {
        if (used[i])
            continue;
        CnnFace sum;
        float weight = 0;
        for (std::size_t j = i; j < faces.size(); ++j) {
            if (used[j] || (j != i && boxOverlap(faces[i], faces[j]) <= minOverlap))
                continue;
            used[j] = true;
            const CnnFace& f = faces[j];
            const float w = f.score;
            sum.centreX += w * f.centreX;
            sum.centreY += w * f.centreY;
            sum.width += w * f.width;
            sum.height += w * f.height;
            for (int k = 0; k < 2 * kCnnKeypoints; ++k)
                sum.keypoints[k] += w * f.keypoints[k];
            weight += w;
        }
        if (weight > 0) {
            sum.centreX /= weight;
            sum.centreY /= weight;
            sum.width /= weight;
            sum.height /= weight;
            for (float& k : sum.keypoints)
                k /= weight;
        } else {
            sum = faces[i];
        }
        sum.score = faces[i].score;
        merged.push_back(sum);
    }
    return merged;
}

CnnFaceDetector::CnnFaceDetector(const cnn::CnnModel& model, cnn::Instructions instructions)
    : network_(model, instructions), input_(model.tensors.at(0))
{
    if (model.grids.empty() || model.keypoints != kCnnKeypoints)
        throw std::invalid_argument("the network is not a face detector with anchors and six keypoints");
}

void CnnFaceDetector::prepareTaps(int width, int height, const Region& r)
{
    if (width == tapsWidth_ && height == tapsHeight_ && r.x == tapsRegion_.x && r.y == tapsRegion_.y &&
        r.width == tapsRegion_.width && r.height == tapsRegion_.height)
        return;
    // The region fitted in, centred, its aspect kept.
    scale_ = std::min(input_.width / r.width, input_.height / r.height);
    offsetX_ = (input_.width - r.width * scale_) / 2 - r.x * scale_;
    offsetY_ = (input_.height - r.height * scale_) / 2 - r.y * scale_;
    axisTaps(input_.width, width, scale_, offsetX_, columns_.first, columns_.count, columns_.offset, columns_.weights);
    axisTaps(input_.height, height, scale_, offsetY_, rows_.first, rows_.count, rows_.offset, rows_.weights);
    tapsWidth_ = width;
    tapsHeight_ = height;
    tapsRegion_ = r;
}

CnnFaceDetector::ResampledRows& CnnFaceDetector::resampledRows()
{
    if (!scratch_.rows)
        scratch_.rows = std::make_shared<ResampledRows>();
    return *scratch_.rows;
}

void CnnFaceDetector::shareScratchWith(CnnFaceDetector& other)
{
    resampledRows();
    other.scratch_.rows = scratch_.rows;
}

void CnnFaceDetector::fillInput(const ImageView& image, const Region& region)
{
    const int width = image.width, height = image.height;
    prepareTaps(width, height, region);
    // Byte offsets of red, green and blue in a pixel (all 0 in a gray image).
    const int red = image.colour ? (image.rgb ? 0 : 2) : 0, blue = image.colour ? 2 - red : 0;
    const int green = image.colour ? 1 : 0;
    const std::ptrdiff_t pixelBytes = image.pixelBytes;
    const int outW = input_.width, outH = input_.height;
    // Rows the output needs, resampled across.
    int rowBegin = height, rowEnd = 0;
    for (int y = 0; y < outH; ++y)
        if (rows_.count[y] > 0) {
            rowBegin = std::min(rowBegin, rows_.first[y]);
            rowEnd = std::max(rowEnd, rows_.first[y] + rows_.count[y]);
        }
    // Every value is written below.
    const std::size_t resampled = static_cast<std::size_t>(std::max(0, rowEnd - rowBegin)) * outW * 3;
    ResampledRows& rowsResampled = resampledRows();
    if (rowsResampled.capacity() < resampled) {
        rowsResampled.clear();
        rowsResampled.reserve(std::max(resampled, kHugePageFloats));
    }
    // Grown only: the two networks sharing it ask for different sizes, and
    // growing zero-fills.
    if (rowsResampled.size() < resampled)
        rowsResampled.resize(resampled);
    for (int y = rowBegin; y < rowEnd; ++y) {
        const std::uint8_t* row = image.data + static_cast<std::size_t>(y) * image.stride;
        float* out = &rowsResampled[static_cast<std::size_t>(y - rowBegin) * outW * 3];
        for (int x = 0; x < outW; ++x) {
            float b = 0, g = 0, r = 0;
            const float* w = &columns_.weights[static_cast<std::size_t>(columns_.offset[x])];
            const std::uint8_t* p = row + pixelBytes * columns_.first[x];
            for (int k = 0; k < columns_.count[x]; ++k, p += pixelBytes) {
                b += w[k] * p[blue];
                g += w[k] * p[green];
                r += w[k] * p[red];
            }
            out[3 * x] = r;
            out[3 * x + 1] = g;
            out[3 * x + 2] = b;
        }
    }
    const cnn::CnnModel& m = network_.model();
    float* input = network_.input();
    const int pixelStride = network_.inputPixelStride();
    for (int y = 0; y < outH; ++y) {
        float* out = input + static_cast<std::size_t>(y) * outW * pixelStride;
        for (int x = 0; x < outW; ++x)
            for (int c = 0; c < 3; ++c)
                out[x * pixelStride + c] = 0;
        const float* w = &rows_.weights[static_cast<std::size_t>(rows_.offset[y])];
        for (int k = 0; k < rows_.count[y]; ++k) {
            const float* source = &rowsResampled[static_cast<std::size_t>(rows_.first[y] + k - rowBegin) * outW * 3];
            for (int x = 0; x < outW; ++x)
                for (int c = 0; c < 3; ++c)
                    out[x * pixelStride + c] += w[k] * source[3 * x + c];
        }
        for (int x = 0; x < outW; ++x)
            for (int c = 0; c < 3; ++c)
                out[x * pixelStride + c] = out[x * pixelStride + c] * m.inputScale + m.inputOffset;
    }
}

std::vector<CnnFace> CnnFaceDetector::decode(float minScore) const
{
    const cnn::CnnModel& m = network_.model();
    const float minLogit = std::log(minScore / (1 - minScore));
    std::vector<CnnFace> faces;
    for (const cnn::AnchorGrid& g : m.grids) {
        const int cellsX = input_.width / g.stride, cellsY = input_.height / g.stride;
        int anchor = 0;
        for (int cy = 0; cy < cellsY; ++cy)
            for (int cx = 0; cx < cellsX; ++cx)
                for (int n = 0; n < g.anchorsPerCell; ++n, ++anchor) {
                    const float logit = network_.at(g.scoreTensor, 0, anchor, g.scoreChannel);
                    if (!(logit >= minLogit))
                        continue;
                    // Offsets in input pixels from the anchor, the cell's centre.
                    const float ax = (cx + 0.5f) * g.stride, ay = (cy + 0.5f) * g.stride;
                    const auto raw = [&](int k) { return network_.at(g.boxTensor, 0, anchor, g.boxChannel + k); };
                    CnnFace f;
                    f.score = sigmoid(logit);
                    f.centreX = (ax + raw(0) - offsetX_) / scale_;
                    f.centreY = (ay + raw(1) - offsetY_) / scale_;
                    f.width = raw(2) / scale_;
                    f.height = raw(3) / scale_;
                    for (int k = 0; k < kCnnKeypoints; ++k) {
                        f.keypoints[2 * k] = (ax + raw(4 + 2 * k) - offsetX_) / scale_;
                        f.keypoints[2 * k + 1] = (ay + raw(5 + 2 * k) - offsetY_) / scale_;
                    }
                    faces.push_back(f);
                }
    }
    return faces;
}

std::vector<CnnFace> CnnFaceDetector::detect(const ImageView& image, float minScore)
{
    Region whole;
    whole.width = static_cast<float>(image.width);
    whole.height = static_cast<float>(image.height);
    return detect(image, whole, minScore);
}

std::vector<CnnFace> CnnFaceDetector::detect(const std::uint8_t* bgr, int width, int height, std::ptrdiff_t stride,
                                             float minScore)
{
    Region whole;
    whole.width = static_cast<float>(width);
    whole.height = static_cast<float>(height);
    return detect(bgr, width, height, stride, whole, minScore);
}

std::vector<CnnFace> CnnFaceDetector::detect(const std::uint8_t* bgr, int width, int height, std::ptrdiff_t stride,
                                             const Region& region, float minScore)
{
    if (stride < 0)
        return {};
    ImageView view = ImageView::ofBgr(bgr, width, height);
    view.stride = static_cast<std::size_t>(stride);
    return detect(view, region, minScore);
}

namespace {

bool usable(const ImageView& image, const CnnFaceDetector::Region& region)
{
    return image.data != nullptr && image.width >= 1 && image.height >= 1 && region.width >= 1 && region.height >= 1 &&
           std::isfinite(region.x) && std::isfinite(region.y) && std::isfinite(region.width) &&
           std::isfinite(region.height);
}

} // namespace

std::vector<CnnFace> CnnFaceDetector::detect(const ImageView& image, const Region& region, float minScore)
{
    begin(image, region, 1.0);
    return finish(minScore);
}

void CnnFaceDetector::begin(const ImageView& image, const Region& region, double share)
{
    resume_.layer = -1;
    if (!usable(image, region))
        return;
    fillInput(image, region);
    resume_.layer = network_.layerAfterShare(share);
    network_.run(0, resume_.layer);
}

std::vector<CnnFace> CnnFaceDetector::finish(float minScore)
{
    const int first = std::exchange(resume_.layer, -1);
    if (first < 0)
        return {};
    network_.run(first, network_.layerCount());
    // MediaPipe's face detectors merge boxes overlapping by more than 0.3.
    return mergeOverlapping(decode(std::clamp(minScore, 1e-6f, 1 - 1e-6f)), 0.3f);
}

} // namespace mivora
