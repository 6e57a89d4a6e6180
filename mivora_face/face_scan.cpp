// SPDX-License-Identifier: MIT
#include "face_scan.h"

#include "scan_kernels.h"

#include <dlib/image_processing/scan_fhog_pyramid.h>
#include <dlib/image_transforms/fhog.h>
#include <dlib/image_transforms/image_pyramid.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace mivora {

namespace {

using scan::kPlanes;
using scan::kVector;

constexpr std::size_t kAlignment = 64;

int roundUp(int n, int multiple) { return (n + multiple - 1) / multiple * multiple; }

// A zero-filled, cache-line aligned array that only grows (until released),
// so that scans of same-sized images never allocate.
template <typename T> class AlignedArray {
public:
    AlignedArray() = default;
    AlignedArray(const AlignedArray&) = delete;
    AlignedArray& operator=(const AlignedArray&) = delete;
    ~AlignedArray() { std::free(data_); }

    // Ensures: room for n elements; contents kept only when no allocation was
    // needed.
    T* reserve(std::size_t n)
    {
        if (n <= capacity_)
            return data_;
        release();
        const std::size_t bytes = (n * sizeof(T) + kAlignment - 1) / kAlignment * kAlignment;
        void* memory = std::aligned_alloc(kAlignment, bytes);
        if (memory == nullptr)
            throw std::bad_alloc();
        std::memset(memory, 0, bytes);
        data_ = static_cast<T*>(memory);
        capacity_ = bytes / sizeof(T);
        return data_;
    }
    void release()
    {
        std::free(data_);
        data_ = nullptr;
        capacity_ = 0;
    }
    T* data() const { return data_; }
    std::size_t bytes() const { return capacity_ * sizeof(T); }

private:
    T* data_ = nullptr;
    std::size_t capacity_ = 0;
};

bool cpuHasAvx2() { return __builtin_cpu_supports("avx2"); }
bool cpuHasFma() { return __builtin_cpu_supports("fma"); }

} // namespace

// The detector as FaceScan runs it; shared by copies, never changed.
struct FaceScan::Model {
    int filterRows = 0, filterColumns = 0;
    int padding = 0;
    unsigned long minLayerWidth = 0, minLayerHeight = 0, maxLevels = 0;
    dlib::test_box_overlap overlap;
    std::vector<double> thresholds; // per detector: the bias its score must reach
    std::vector<int> planeTermBegin, termDetector;
    std::vector<float> termColumn, termRow;
    scan::FilterBank bank{};
};

struct FaceScan::Buffers {
    // Two pyramid images: the level being scanned and the one it came from.
    AlignedArray<std::uint8_t> images[2];
    int current = 0;
    int width = 0, height = 0;
    std::ptrdiff_t stride = 0;

    AlignedArray<std::int32_t> left, right;
    AlignedArray<float> fraction, inverse;
    AlignedArray<std::uint8_t> shuffle;

    AlignedArray<std::int32_t> groupOffsets;
    AlignedArray<float> groupWeights;
    AlignedArray<float> hist, slots, norms, blocks, features, vertical, scores;
    std::vector<std::pair<int, int>> sizes;
    std::vector<dlib::rect_detection> candidates;

    scan::ImageView view() const { return {images[current].data() + scan::kImageMargin, width, height, stride}; }
    std::size_t bytes() const
    {
        std::size_t total = images[0].bytes() + images[1].bytes() + left.bytes() + right.bytes() + fraction.bytes() +
                            inverse.bytes() + shuffle.bytes();
        for (const AlignedArray<float>* array : {&hist, &slots, &norms, &blocks, &features, &vertical, &scores})
            total += array->bytes();
        return total + sizes.capacity() * sizeof(sizes[0]) + candidates.capacity() * sizeof(candidates[0]);
    }
};

// Where one level's features lie in Buffers::features.
struct FaceScan::LevelGeometry {
    int hogRows = 0, hogColumns = 0;
    int outputColumns = 0; // hogColumns rounded up to vectors
    int vectorColumns = 0; // columns of each feature plane row
    std::ptrdiff_t planeStride = 0, rowStride = 0;
};

bool FaceScan::supported(Instructions instructions)
{
    switch (instructions) {
    case Instructions::Best:
    case Instructions::Plain: return true;
    case Instructions::Avx2: return cpuHasAvx2();
    case Instructions::Avx2Fma: return cpuHasAvx2() && cpuHasFma();
    }
    return false;
}

namespace {

const scan::Kernels* kernelsFor(FaceScan::Instructions& instructions)
{
    using Instructions = FaceScan::Instructions;
    if (instructions == Instructions::Best)
        instructions = FaceScan::supported(Instructions::Avx2Fma) ? Instructions::Avx2Fma
                       : FaceScan::supported(Instructions::Avx2)  ? Instructions::Avx2
                                                                  : Instructions::Plain;
    if (!FaceScan::supported(instructions))
        throw std::invalid_argument("FaceScan: this processor lacks the requested instructions");
    switch (instructions) {
    case Instructions::Avx2Fma: return &scan::kAvx2FmaKernels;
    case Instructions::Avx2: return &scan::kAvx2Kernels;
    default: return &scan::kPlainKernels;
    }
}

// The packed model: this header, then the thresholds (double, one per
// detector), the plane term offsets (int32, kPlanes + 1), the terms'
// detectors (int32), column taps and row taps (float), in the processor's
// byte order, as mivora_model_pack writes them next to the library.
constexpr char kPackedMagic[8] = {'M', 'I', 'V', 'O', 'R', 'A', 'F', 'D'};
constexpr std::uint32_t kPackedVersion = 1;
constexpr std::int32_t kMaxDetectors = 64;

struct PackedHeader {
    char magic[8];
    std::uint32_t version;
    std::int32_t filterRows, filterColumns, padding;
    std::uint32_t minLayerWidth, minLayerHeight, maxLevels;
    std::int32_t detectors, terms;
    std::uint32_t reserved;
    double overlapIou, overlapCovered;
};
static_assert(sizeof(PackedHeader) == 64, "packed detector header is 64 bytes");

std::size_t packedSize(const PackedHeader& h)
{
    const auto terms = static_cast<std::size_t>(h.terms);
    return sizeof h + h.detectors * sizeof(double) + (kPlanes + 1 + terms) * sizeof(std::int32_t) +
           terms * static_cast<std::size_t>(h.filterRows + h.filterColumns) * sizeof(float);
}

template <typename T> void append(std::vector<unsigned char>& out, const T* values, std::size_t count)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(values);
    out.insert(out.end(), bytes, bytes + count * sizeof(T));
}

template <typename T> std::vector<T> take(const unsigned char*& at, std::size_t count)
{
    std::vector<T> values(count);
    std::memcpy(values.data(), at, count * sizeof(T));
    at += count * sizeof(T);
    return values;
}

} // namespace

FaceScan::FaceScan(std::shared_ptr<Model> model, Instructions instructions)
    : kernels_(kernelsFor(instructions)), instructions_(instructions)
{
    model->bank.detectors = static_cast<int>(model->thresholds.size());
    model->bank.filterRows = model->filterRows;
    model->bank.filterColumns = model->filterColumns;
    model->bank.planeTermBegin = model->planeTermBegin.data();
    model->bank.termDetector = model->termDetector.data();
    model->bank.termColumn = model->termColumn.data();
    model->bank.termRow = model->termRow.data();
    model_ = std::move(model);
}

FaceScan::FaceScan(const dlib::frontal_face_detector& detector, Instructions instructions)
    : FaceScan(modelOf(detector), instructions)
{
}

std::shared_ptr<FaceScan::Model> FaceScan::modelOf(const dlib::frontal_face_detector& detector)
{
    const auto& scanner = detector.get_scanner();
    if (scanner.get_cell_size() != scan::kCellSize)
        throw std::invalid_argument("FaceScan: the detector's fHOG cells are not 8 pixels");
    auto model = std::make_shared<Model>();
    model->filterRows = static_cast<int>(scanner.get_fhog_window_height());
    model->filterColumns = static_cast<int>(scanner.get_fhog_window_width());
    if (model->filterRows < 1 || model->filterColumns < 1 || model->filterRows > scan::kMaxTaps ||
        model->filterColumns > scan::kMaxTaps)
        throw std::invalid_argument("FaceScan: the detector's filters are larger than 32 cells");
    model->padding = static_cast<int>(scanner.get_padding());
    model->minLayerWidth = scanner.get_min_pyramid_layer_width();
    model->minLayerHeight = scanner.get_min_pyramid_layer_height();
    model->maxLevels = scanner.get_max_pyramid_levels();
    model->overlap = detector.get_overlap_tester();

    // dlib's own rank decomposition of each plane's filter, the one its scan
    // uses; terms are grouped by plane, then by detector.
    struct Term {
        int detector;
        std::vector<float> column, row;
    };
    std::vector<std::vector<Term>> planeTerms(kPlanes);
    const long dimensions = scanner.get_num_dimensions();
    for (unsigned long d = 0; d < detector.num_detectors(); ++d) {
        const auto& weights = detector.get_w(d);
        if (weights.size() <= dimensions)
            throw std::invalid_argument("FaceScan: a detector's weight vector is too short");
        model->thresholds.push_back(weights(dimensions));
        const auto bank = scanner.build_fhog_filterbank(weights);
        for (int p = 0; p < kPlanes; ++p)
            for (std::size_t k = 0; k < bank.row_filters[p].size(); ++k) {
                const auto& column = bank.col_filters[p][k];
                const auto& row = bank.row_filters[p][k];
                planeTerms[p].push_back({static_cast<int>(d), std::vector<float>(column.begin(), column.end()),
                                         std::vector<float>(row.begin(), row.end())});
            }
    }
    for (int p = 0; p < kPlanes; ++p) {
        model->planeTermBegin.push_back(static_cast<int>(model->termDetector.size()));
        for (const Term& term : planeTerms[p]) {
            model->termDetector.push_back(term.detector);
            model->termColumn.insert(model->termColumn.end(), term.column.begin(), term.column.end());
            model->termRow.insert(model->termRow.end(), term.row.begin(), term.row.end());
        }
    }
    model->planeTermBegin.push_back(static_cast<int>(model->termDetector.size()));
    return model;
}

std::vector<unsigned char> FaceScan::packModel() const
{
    const Model& m = *model_;
    PackedHeader h{};
    std::memcpy(h.magic, kPackedMagic, sizeof h.magic);
    h.version = kPackedVersion;
    h.filterRows = m.filterRows;
    h.filterColumns = m.filterColumns;
    h.padding = m.padding;
    h.minLayerWidth = static_cast<std::uint32_t>(m.minLayerWidth);
    h.minLayerHeight = static_cast<std::uint32_t>(m.minLayerHeight);
    h.maxLevels = static_cast<std::uint32_t>(std::min<unsigned long>(m.maxLevels, UINT32_MAX));
    h.detectors = static_cast<std::int32_t>(m.thresholds.size());
    h.terms = static_cast<std::int32_t>(m.termDetector.size());
    h.overlapIou = m.overlap.get_iou_thresh();
    h.overlapCovered = m.overlap.get_percent_covered_thresh();
    std::vector<unsigned char> out(sizeof h);
    std::memcpy(out.data(), &h, sizeof h);
    append(out, m.thresholds.data(), m.thresholds.size());
    append(out, m.planeTermBegin.data(), m.planeTermBegin.size());
    append(out, m.termDetector.data(), m.termDetector.size());
    append(out, m.termColumn.data(), m.termColumn.size());
    append(out, m.termRow.data(), m.termRow.size());
    return out;
}

FaceScan FaceScan::fromPackedModel(const unsigned char* bytes, std::size_t size, Instructions instructions)
{
    PackedHeader h{};
    if (bytes == nullptr || size < sizeof h)
        throw std::invalid_argument("not a packed face detector: too short");
    std::memcpy(&h, bytes, sizeof h);
    if (std::memcmp(h.magic, kPackedMagic, sizeof h.magic) != 0 || h.version != kPackedVersion)
        throw std::invalid_argument("not a packed face detector of this version");
    if (h.filterRows < 1 || h.filterRows > scan::kMaxTaps || h.filterColumns < 1 || h.filterColumns > scan::kMaxTaps ||
        h.padding < 0 || 2 * h.padding >= std::min(h.filterRows, h.filterColumns) || h.minLayerWidth < 1 ||
        h.minLayerHeight < 1 || h.maxLevels < 1 || h.detectors < 1 || h.detectors > kMaxDetectors || h.terms < 0 ||
        h.terms > kPlanes * h.detectors * scan::kMaxTaps || !(h.overlapIou >= 0 && h.overlapIou <= 1) ||
        !(h.overlapCovered >= 0 && h.overlapCovered <= 1))
        throw std::invalid_argument("corrupt packed face detector: header out of range");
    if (packedSize(h) != size)
        throw std::invalid_argument("corrupt packed face detector: wrong size");

    auto model = std::make_shared<Model>();
    model->filterRows = h.filterRows;
    model->filterColumns = h.filterColumns;
    model->padding = h.padding;
    model->minLayerWidth = h.minLayerWidth;
    model->minLayerHeight = h.minLayerHeight;
    model->maxLevels = h.maxLevels;
    model->overlap = dlib::test_box_overlap(h.overlapIou, h.overlapCovered);
    const unsigned char* at = bytes + sizeof h;
    model->thresholds = take<double>(at, h.detectors);
    model->planeTermBegin = take<int>(at, kPlanes + 1);
    model->termDetector = take<int>(at, h.terms);
    model->termColumn = take<float>(at, static_cast<std::size_t>(h.terms) * h.filterRows);
    model->termRow = take<float>(at, static_cast<std::size_t>(h.terms) * h.filterColumns);

    // The kernels index by these without checking.
    const auto& begin = model->planeTermBegin;
    bool valid = begin.front() == 0 && begin.back() == h.terms;
    for (int p = 0; valid && p < kPlanes; ++p) {
        valid = begin[p] <= begin[p + 1];
        for (int t = begin[p]; valid && t < begin[p + 1]; ++t)
            valid = model->termDetector[t] >= 0 && model->termDetector[t] < h.detectors &&
                    (t == begin[p] || model->termDetector[t - 1] <= model->termDetector[t]);
    }
    const auto finite = [](auto value) { return std::isfinite(value); };
    valid = valid && std::all_of(model->thresholds.begin(), model->thresholds.end(), finite) &&
            std::all_of(model->termColumn.begin(), model->termColumn.end(), finite) &&
            std::all_of(model->termRow.begin(), model->termRow.end(), finite);
    if (!valid)
        throw std::invalid_argument("corrupt packed face detector: filter terms out of range");
    return FaceScan(std::move(model), instructions);
}

FaceScan::FaceScan(const FaceScan& other)
    : model_(other.model_), kernels_(other.kernels_), instructions_(other.instructions_)
{
}

FaceScan& FaceScan::operator=(const FaceScan& other)
{
    if (this != &other) {
        model_ = other.model_;
        kernels_ = other.kernels_;
        instructions_ = other.instructions_;
        buffers_.reset();
    }
    return *this;
}

// The moved-from scan keeps the filters and makes new buffers when used.
FaceScan::FaceScan(FaceScan&& other) noexcept
    : model_(other.model_), kernels_(other.kernels_), instructions_(other.instructions_),
      buffers_(std::move(other.buffers_))
{
}

FaceScan& FaceScan::operator=(FaceScan&& other) noexcept
{
    if (this != &other) {
        model_ = other.model_;
        kernels_ = other.kernels_;
        instructions_ = other.instructions_;
        buffers_ = std::move(other.buffers_);
    }
    return *this;
}
FaceScan::~FaceScan() = default;

FaceScan::Instructions FaceScan::instructions() const { return instructions_; }
const char* FaceScan::instructionsName() const { return kernels_->name; }

void FaceScan::releaseBuffers() { buffers_.reset(); }

std::size_t FaceScan::bufferBytes() const { return buffers_ ? buffers_->bytes() : 0; }

// ---------------------------------------------------------------------------
// The pyramid.

void FaceScan::levelSizes(int width, int height, std::vector<std::pair<int, int>>& sizes) const
{
    sizes.clear();
    if (width <= 0 || height <= 0)
        return;
    // dlib counts levels on rectangles, as create_fhog_pyramid does.
    const dlib::pyramid_down<6> pyramid;
    dlib::rectangle rect(0, 0, width - 1, height - 1);
    unsigned long levels = 0;
    do {
        rect = pyramid.rect_down(rect);
        ++levels;
    } while (rect.width() >= model_->minLayerWidth && rect.height() >= model_->minLayerHeight &&
             levels < model_->maxLevels);
    // and sizes each level as pyramid_down<6>'s operator() does.
    for (unsigned long l = 0; l < levels; ++l) {
        sizes.emplace_back(width, height);
        width = static_cast<int>(5L * width / 6);
        height = static_cast<int>(5L * height / 6);
    }
}

int FaceScan::levelCount(int width, int height) const
{
    std::vector<std::pair<int, int>> sizes;
    levelSizes(width, height, sizes);
    return static_cast<int>(sizes.size());
}

void FaceScan::levelSize(int width, int height, int level, int& levelWidth, int& levelHeight) const
{
    levelWidth = width;
    levelHeight = height;
    for (int l = 0; l < level; ++l) {
        levelWidth = static_cast<int>(5L * levelWidth / 6);
        levelHeight = static_cast<int>(5L * levelHeight / 6);
    }
}

double FaceScan::levelCost(int width, int height, int level) const
{
    std::vector<std::pair<int, int>> sizes;
    levelSizes(width, height, sizes);
    if (level < 0 || level >= static_cast<int>(sizes.size()))
        return 0;
    // Fitted to this code's profile at 1280x720 with AVX2 and FMA: the resize
    // to a level about 0.7 ns a pixel, its features 2.2 ns a pixel, its
    // filters 0.24 ns per vector multiply-add.
    const Model& m = *model_;
    double total = 0, mine = 0;
    for (std::size_t l = 0; l < sizes.size(); ++l) {
        const double pixels = static_cast<double>(sizes[l].first) * sizes[l].second;
        const int cellRows = static_cast<int>(static_cast<float>(sizes[l].second) / scan::kCellSize + 0.5f);
        const int cellColumns = static_cast<int>(static_cast<float>(sizes[l].first) / scan::kCellSize + 0.5f);
        double multiplyAdds = 0;
        if (cellRows > 2 && cellColumns > 2) {
            const int outputColumns = roundUp(cellColumns - 2, kVector);
            const int vectorColumns = roundUp(outputColumns + m.filterColumns - 1, kVector);
            multiplyAdds = static_cast<double>(cellRows - 2) * static_cast<double>(m.termDetector.size()) *
                           (static_cast<double>(m.filterRows) * vectorColumns +
                            static_cast<double>(m.filterColumns) * outputColumns) /
                           kVector;
        }
        const double cost = pixels * ((l > 0 ? 0.7 : 0) + 2.2) + multiplyAdds * 0.24;
        total += cost;
        if (static_cast<int>(l) == level)
            mine = cost;
    }
    return total > 0 ? mine / total : 0;
}

void FaceScan::loadImage(const GrayImage& image)
{
    Buffers& b = *buffers_;
    b.current = 0;
    b.width = image.width();
    b.height = image.height();
    b.stride = roundUp(b.width + 2 * scan::kImageMargin, static_cast<int>(kAlignment));
    std::uint8_t* out = b.images[0].reserve(static_cast<std::size_t>(b.stride) * b.height) + scan::kImageMargin;
    for (int y = 0; y < b.height; ++y)
        std::memcpy(out + y * b.stride, image.row(y), static_cast<std::size_t>(b.width));
}

// dlib's resize_image(bilinear) for 8-bit images computes 4 columns at a time
// in single precision, positions accumulated in single precision, while the
// rightmost source column stays inside the image, and the rest one by one in
// double precision; the tables repeat its arithmetic column by column.
void FaceScan::nextLevel(int width, int height)
{
    Buffers& b = *buffers_;
    const int inWidth = b.width;
    const std::size_t n = static_cast<std::size_t>(roundUp(width, kVector) + kVector);
    std::int32_t* left = b.left.reserve(n);
    std::int32_t* right = b.right.reserve(n);
    float* fraction = b.fraction.reserve(n);
    float* inverse = b.inverse.reserve(n);
    std::uint8_t* shuffle = b.shuffle.reserve(2 * n);

    const double xScale = (inWidth - 1) / static_cast<double>(std::max(width - 1, 1));
    const double x0 = -4 * xScale;
    float x[4];
    for (int i = 0; i < 4; ++i)
        x[i] = static_cast<float>(x0 + i * xScale);
    const float step = static_cast<float>(4 * xScale);
    int c = 0;
    for (; c + 4 <= width; c += 4) {
        std::int32_t l[4];
        float f[4];
        for (int i = 0; i < 4; ++i) {
            x[i] += step;
            l[i] = static_cast<std::int32_t>(x[i]);
            f[i] = x[i] - static_cast<float>(l[i]);
        }
        if (l[3] + 1 >= inWidth)
            break;
        for (int i = 0; i < 4; ++i) {
            left[c + i] = l[i];
            right[c + i] = l[i] + 1;
            fraction[c + i] = f[i];
            inverse[c + i] = 1 - f[i];
        }
    }
    const int vectorColumns = c;
    double xd = -xScale + c * xScale;
    for (; c < width; ++c) {
        xd += xScale;
        const long l = static_cast<long>(std::floor(xd));
        left[c] = static_cast<std::int32_t>(l);
        right[c] = static_cast<std::int32_t>(std::min<long>(l + 1, inWidth - 1));
        fraction[c] = static_cast<float>(xd - l);
        inverse[c] = 1 - fraction[c];
    }
    // Byte offsets of each 8 vector columns' sources from the first one's left
    // source; they span 11 bytes at this scale, and the shuffle needs at most 16.
    for (int block = 0; block + kVector <= vectorColumns; block += kVector) {
        for (int i = 0; i < kVector; ++i) {
            const int l = left[block + i] - left[block], r = right[block + i] - left[block];
            if (r > 15)
                throw std::logic_error("FaceScan: pyramid step wider than expected");
            shuffle[2 * block + i] = static_cast<std::uint8_t>(l);
            shuffle[2 * block + kVector + i] = static_cast<std::uint8_t>(r);
        }
    }

    const int next = 1 - b.current;
    const std::ptrdiff_t stride = roundUp(width + 2 * scan::kImageMargin, static_cast<int>(kAlignment));
    std::uint8_t* out = b.images[next].reserve(static_cast<std::size_t>(stride) * height) + scan::kImageMargin;
    if (width > 0 && height > 0 && inWidth > 0 && b.height > 0) {
        scan::ResizeArgs args{b.view(), out,
                              width,    height,
                              stride,   scan::ResizeColumns{left, right, fraction, inverse, shuffle, vectorColumns}};
        kernels_->resize(args);
    }
    b.current = next;
    b.width = width;
    b.height = height;
    b.stride = stride;
}

// ---------------------------------------------------------------------------
// Features and filters of one level.

bool FaceScan::computeFeatures(int width, int height, LevelGeometry& g)
{
    Buffers& b = *buffers_;
    const Model& m = *model_;
    // dlib's fHOG geometry: cells rounded to nearest, the outer ring of cells
    // only feeding its neighbours' normalisation.
    const int cellRows = static_cast<int>(static_cast<float>(height) / scan::kCellSize + 0.5);
    const int cellColumns = static_cast<int>(static_cast<float>(width) / scan::kCellSize + 0.5);
    if (cellRows <= 2 || cellColumns <= 2)
        return false;
    g.hogRows = cellRows - 2;
    g.hogColumns = cellColumns - 2;
    const int visibleRows = std::min(cellRows * scan::kCellSize, height) - 1;
    const int visibleColumns = std::min(cellColumns * scan::kCellSize, width) - 1;

    const std::ptrdiff_t histStride = roundUp(cellColumns + 2, kVector) + 2 * kVector;
    const std::size_t histFloats = static_cast<std::size_t>(cellRows + 2) * scan::kBins * histStride;
    float* hist = b.hist.reserve(histFloats);
    std::memset(hist, 0, histFloats * sizeof(float));
    float* slots = b.slots.reserve(scan::kSlotFloats);
    std::memset(slots, 0, scan::kSlotFloats * sizeof(float));
    kernels_->histogram({b.view(), cellRows, cellColumns, visibleRows, visibleColumns, hist, histStride, slots,
                         b.groupOffsets.reserve(kVector * scan::kTileGroups),
                         b.groupWeights.reserve(4 * kVector * scan::kTileGroups)});

    g.outputColumns = roundUp(g.hogColumns, kVector);
    g.vectorColumns = roundUp(g.outputColumns + m.filterColumns - 1, kVector);
    g.planeStride = g.vectorColumns;
    g.rowStride = kPlanes * g.planeStride;
    const int padTop = (m.filterRows - 1) / 2, padLeft = (m.filterColumns - 1) / 2;
    const int rows = g.hogRows + m.filterRows - 1;
    float* features = b.features.reserve(static_cast<std::size_t>(rows) * g.rowStride);
    // The zero border the filters see beyond the image; the kernel writes the
    // rest.
    for (int r = 0; r < rows; ++r) {
        float* row = features + r * g.rowStride;
        if (r < padTop || r >= padTop + g.hogRows) {
            std::memset(row, 0, g.rowStride * sizeof(float));
            continue;
        }
        for (int p = 0; p < kPlanes; ++p) {
            float* plane = row + p * g.planeStride;
            std::fill(plane, plane + padLeft, 0.0f);
            std::fill(plane + padLeft + g.outputColumns, plane + g.planeStride, 0.0f);
        }
    }
    const std::size_t slack = 8 * kVector;
    float* norms = b.norms.reserve(static_cast<std::size_t>(cellRows) * histStride + slack);
    float* blocks = b.blocks.reserve(2 * static_cast<std::size_t>(cellRows - 1) * histStride + slack);
    kernels_->features({hist, histStride, cellRows, cellColumns, norms, blocks,
                        features + padTop * g.rowStride + padLeft, g.rowStride, g.planeStride, g.hogRows,
                        g.hogColumns});
    return true;
}

void FaceScan::detectAtLevel(int level, const LevelGeometry& g, double adjustThreshold)
{
    Buffers& b = *buffers_;
    const Model& m = *model_;
    const int detectors = m.bank.detectors;
    if (detectors == 0)
        return;
    float* vertical = b.vertical.reserve(static_cast<std::size_t>(scan::kMaxTermChunk) * g.vectorColumns);
    float* scores = b.scores.reserve(static_cast<std::size_t>(detectors) * g.outputColumns);
    const dlib::pyramid_down<6> pyramid;
    for (int i = 0; i < g.hogRows; ++i) {
        kernels_->filterRow({b.features.data() + i * g.rowStride, g.rowStride, g.planeStride, g.hogColumns,
                             g.vectorColumns, &m.bank, vertical, scores, g.outputColumns});
        for (int d = 0; d < detectors; ++d) {
            const float* row = scores + d * g.outputColumns;
            const double threshold = m.thresholds[d] + adjustThreshold;
            for (int j = 0; j < g.hogColumns; ++j) {
                if (row[j] < threshold)
                    continue;
                // dlib's mapping of a window position back to the image.
                const dlib::point centre(j + m.filterColumns / 2, i + m.filterRows / 2);
                dlib::rectangle rect = dlib::fhog_to_image(
                    dlib::centered_rect(centre, m.filterColumns - 2 * m.padding, m.filterRows - 2 * m.padding),
                    scan::kCellSize, m.filterRows, m.filterColumns);
                rect = pyramid.rect_up(rect, level);
                dlib::rect_detection found;
                found.detection_confidence = row[j] - m.thresholds[d];
                found.weight_index = static_cast<unsigned long>(d);
                found.rect = rect;
                b.candidates.push_back(found);
            }
        }
    }
}

void FaceScan::scan(const GrayImage& image, std::vector<dlib::rect_detection>& found, double adjustThreshold,
                    int firstLevel, int lastLevel)
{
    found.clear();
    if (!buffers_)
        buffers_ = std::make_unique<Buffers>();
    Buffers& b = *buffers_;
    b.candidates.clear();
    levelSizes(image.width(), image.height(), b.sizes);
    const int last = std::min(lastLevel, static_cast<int>(b.sizes.size()) - 1);
    firstLevel = std::max(firstLevel, 0);
    if (firstLevel > last)
        return;

    loadImage(image);
    for (int level = 0; level <= last; ++level) {
        if (level > 0)
            nextLevel(b.sizes[level].first, b.sizes[level].second);
        LevelGeometry geometry;
        if (level >= firstLevel && computeFeatures(b.width, b.height, geometry))
            detectAtLevel(level, geometry, adjustThreshold);
    }

    // dlib's non-max suppression: strongest first, dropping any box that
    // overlaps one already kept, whichever detector found either.
    std::stable_sort(b.candidates.begin(), b.candidates.end(),
                     [](const dlib::rect_detection& x, const dlib::rect_detection& y) {
                         return x.detection_confidence > y.detection_confidence;
                     });
    for (const dlib::rect_detection& candidate : b.candidates) {
        bool overlaps = false;
        for (const dlib::rect_detection& kept : found)
            if (model_->overlap(kept.rect, candidate.rect)) {
                overlaps = true;
                break;
            }
        if (!overlaps)
            found.push_back(candidate);
    }
}

// ---------------------------------------------------------------------------
// Intermediate results, for tests.

void FaceScan::pyramidLevel(const GrayImage& image, int level, GrayImage& out)
{
    if (!buffers_)
        buffers_ = std::make_unique<Buffers>();
    Buffers& b = *buffers_;
    levelSizes(image.width(), image.height(), b.sizes);
    if (level < 0 || level >= static_cast<int>(b.sizes.size()))
        throw std::out_of_range("FaceScan::pyramidLevel: no such level");
    loadImage(image);
    for (int l = 1; l <= level; ++l)
        nextLevel(b.sizes[l].first, b.sizes[l].second);
    out.resize(b.width, b.height);
    const scan::ImageView view = b.view();
    for (int y = 0; y < b.height; ++y)
        std::memcpy(out.row(y), view.data + y * view.stride, static_cast<std::size_t>(b.width));
}

void FaceScan::fhog(const GrayImage& image, std::vector<float>& planes, int& rows, int& columns)
{
    if (!buffers_)
        buffers_ = std::make_unique<Buffers>();
    planes.clear();
    rows = columns = 0;
    if (image.width() <= 0 || image.height() <= 0)
        return;
    loadImage(image);
    LevelGeometry g;
    if (!computeFeatures(image.width(), image.height(), g))
        return;
    rows = g.hogRows + model_->filterRows - 1;
    columns = g.hogColumns + model_->filterColumns - 1;
    planes.resize(static_cast<std::size_t>(kPlanes) * rows * columns);
    const float* features = buffers_->features.data();
    for (int p = 0; p < kPlanes; ++p)
        for (int r = 0; r < rows; ++r)
            std::copy_n(features + r * g.rowStride + p * g.planeStride, columns,
                        planes.begin() + (static_cast<std::ptrdiff_t>(p) * rows + r) * columns);
}

void FaceScan::levelScores(const GrayImage& image, int level, std::vector<float>& scores, int& rows, int& columns)
{
    if (!buffers_)
        buffers_ = std::make_unique<Buffers>();
    Buffers& b = *buffers_;
    scores.clear();
    rows = columns = 0;
    levelSizes(image.width(), image.height(), b.sizes);
    if (level < 0 || level >= static_cast<int>(b.sizes.size()))
        throw std::out_of_range("FaceScan::levelScores: no such level");
    loadImage(image);
    for (int l = 1; l <= level; ++l)
        nextLevel(b.sizes[l].first, b.sizes[l].second);
    LevelGeometry g;
    const int detectors = model_->bank.detectors;
    if (detectors == 0 || !computeFeatures(b.width, b.height, g))
        return;
    rows = g.hogRows;
    columns = g.hogColumns;
    scores.resize(static_cast<std::size_t>(detectors) * rows * columns);
    float* vertical = b.vertical.reserve(static_cast<std::size_t>(scan::kMaxTermChunk) * g.vectorColumns);
    float* rowScores = b.scores.reserve(static_cast<std::size_t>(detectors) * g.outputColumns);
    for (int i = 0; i < g.hogRows; ++i) {
        kernels_->filterRow({b.features.data() + i * g.rowStride, g.rowStride, g.planeStride, g.hogColumns,
                             g.vectorColumns, &model_->bank, vertical, rowScores, g.outputColumns});
        for (int d = 0; d < detectors; ++d)
            std::copy_n(rowScores + d * g.outputColumns, columns,
                        scores.begin() + (static_cast<std::ptrdiff_t>(d) * rows + i) * columns);
    }
}

} // namespace mivora
