// SPDX-License-Identifier: MIT
#include "landmark_model.h"

#include <dlib/image_processing/shape_predictor.h>
#include <dlib/matrix.h>
#include <dlib/serialize.h>

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <istream>
#include <stdexcept>
#include <streambuf>

namespace mivora {

namespace {

constexpr char kMagic[8] = {'M', 'I', 'V', 'O', 'R', 'A', 'S', 'P'};
// 2: the float form; 3: the compact form.
constexpr std::uint32_t kFormatVersion = 2;
constexpr std::uint32_t kCompactFormatVersion = 3;
constexpr std::uint32_t kPointCount = 68;
constexpr std::uint32_t kShapeValues = 2 * kPointCount;
constexpr std::size_t kLeafAlignment = 64;
// Split feature indices are stored in 16 bits.
constexpr std::uint32_t kMaxFeatures = 65535;

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t points;
    std::uint32_t cascades;
    std::uint32_t treesPerCascade;
    std::uint32_t splitsPerTree;
    std::uint32_t featuresPerCascade;
};
static_assert(sizeof(Header) == 32, "packed header is 32 bytes");

// 8 bytes, not dlib's 24: the walks are bound by loading splits.
struct PackedSplit {
    std::uint16_t first;
    std::uint16_t second;
    float threshold;
};
static_assert(sizeof(PackedSplit) == 8, "packed split is 8 bytes");

// Byte offsets of each section of a packed model.
struct Layout {
    std::size_t initialShape, anchors, deltas, splits, leaves, total;
};

Layout layoutOf(const Header& h)
{
    const std::size_t features = std::size_t{h.cascades} * h.featuresPerCascade;
    const std::size_t trees = std::size_t{h.cascades} * h.treesPerCascade;
    Layout l{};
    l.initialShape = sizeof(Header);
    l.anchors = l.initialShape + kShapeValues * sizeof(float);
    l.deltas = l.anchors + features * sizeof(std::uint32_t);
    l.splits = l.deltas + features * 2 * sizeof(float);
    const std::size_t splitsEnd = l.splits + trees * h.splitsPerTree * sizeof(PackedSplit);
    l.leaves = (splitsEnd + kLeafAlignment - 1) / kLeafAlignment * kLeafAlignment;
    l.total = l.leaves + trees * (h.splitsPerTree + std::size_t{1}) * kShapeValues * sizeof(float);
    return l;
}

bool isPowerOfTwo(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

// Limits far above dlib's 68-point model (15 cascades of 500 trees of 15
// splits, 66 MB packed, 99 MB in dlib's format) that keep a corrupt file
// from costing more than a good one.
constexpr std::uint32_t kMaxCascades = 100;
constexpr std::uint32_t kMaxTreesPerCascade = 10000;
constexpr std::uint32_t kMaxSplitsPerTree = 1023;
constexpr std::size_t kMaxPackedBytes = std::size_t{256} << 20;
constexpr std::size_t kMaxDlibFileBytes = std::size_t{512} << 20;

// Empty when the header describes a model this library can use.
std::string headerProblem(const Header& h)
{
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0)
        return "unknown format";
    if (h.version > kCompactFormatVersion)
        return "format version " + std::to_string(h.version) + ", newer than this library reads";
    if (h.version != kFormatVersion)
        return "unknown format version";
    if (h.points != kPointCount)
        return "not a 68-point model";
    if (h.cascades == 0 || h.cascades > kMaxCascades || h.treesPerCascade == 0 ||
        h.treesPerCascade > kMaxTreesPerCascade || h.splitsPerTree > kMaxSplitsPerTree ||
        !isPowerOfTwo(h.splitsPerTree + std::size_t{1}) || h.featuresPerCascade == 0 ||
        h.featuresPerCascade > kMaxFeatures)
        return "implausible sizes";
    if (layoutOf(h).total > kMaxPackedBytes)
        return "implausibly large";
    return {};
}

// The compact form: the float form's header with the leaf form appended.
struct CompactHeader {
    Header base;
    std::uint32_t wideComponents;
    std::uint32_t narrowComponents;
};
static_assert(sizeof(CompactHeader) == 40, "compact header is 40 bytes");

// Each cascade's basis starts with its own sizes, so that a basis that does
// not belong to the header is refused.
struct CompactLevelHead {
    std::uint32_t components;
    std::uint32_t values;
    float wideUnit;   // a leaf's 8-bit coefficients are scaled by its 16-bit scale times this
    float narrowUnit; // the same for its 4-bit coefficients
};
static_assert(sizeof(CompactLevelHead) == 16, "compact level head is 16 bytes");

// A compact split: feature indices in bits 0-10 and 11-21, the threshold
// (a whole number, signed) in bits 22-31.
constexpr std::uint32_t kCompactMaxFeatures = 2048;
constexpr int kCompactThresholdMin = -512, kCompactThresholdMax = 511;
// Leaf record: two 16-bit scales, then the coefficients.
constexpr std::size_t kRecordScaleBytes = 4;
constexpr int kWideLimit = 127, kNarrowLimit = 7, kNarrowBias = 8;
constexpr std::uint16_t kLargestScale = 32767;

struct CompactLayout {
    std::size_t initialShape, anchors, deltas, splits, levels, levelBytes, records, recordBytes, total;
};

CompactLayout compactLayoutOf(const CompactHeader& ch)
{
    const Header& h = ch.base;
    const std::size_t features = std::size_t{h.cascades} * h.featuresPerCascade;
    const std::size_t trees = std::size_t{h.cascades} * h.treesPerCascade;
    const std::size_t components = std::size_t{ch.wideComponents} + ch.narrowComponents;
    CompactLayout l{};
    l.initialShape = sizeof(CompactHeader);
    l.anchors = l.initialShape + kShapeValues * sizeof(float);
    l.deltas = (l.anchors + features + 3) / 4 * 4;
    l.splits = l.deltas + features * 2 * sizeof(float);
    const std::size_t splitsEnd = l.splits + trees * h.splitsPerTree * sizeof(std::uint32_t);
    l.levels = (splitsEnd + kLeafAlignment - 1) / kLeafAlignment * kLeafAlignment;
    l.levelBytes = sizeof(CompactLevelHead) + (1 + components) * kShapeValues * sizeof(float);
    l.records = (l.levels + h.cascades * l.levelBytes + kLeafAlignment - 1) / kLeafAlignment * kLeafAlignment;
    l.recordBytes = kRecordScaleBytes + ch.wideComponents + ch.narrowComponents / 2;
    l.total = l.records + trees * (h.splitsPerTree + std::size_t{1}) * l.recordBytes;
    return l;
}

std::string compactHeaderProblem(const CompactHeader& ch)
{
    Header plain = ch.base;
    plain.version = kFormatVersion;
    if (std::string problem = headerProblem(plain); !problem.empty())
        return problem;
    if (ch.base.featuresPerCascade > kCompactMaxFeatures || ch.wideComponents > kShapeValues ||
        ch.narrowComponents > kShapeValues || ch.wideComponents + ch.narrowComponents > kShapeValues ||
        ch.wideComponents + ch.narrowComponents == 0 || ch.narrowComponents % 2 != 0)
        return "implausible sizes";
    if (compactLayoutOf(ch).total > kMaxPackedBytes)
        return "implausibly large";
    return {};
}

// shape += each leaf, in order: the same float additions, element by element,
// as dlib's matrix sum, so the result is bit for bit the same.
inline __attribute__((always_inline)) void addLeavesBody(float* shape, const float* const* leaves, std::size_t count)
{
    constexpr std::size_t kPrefetchAhead = 8;
    for (std::size_t t = 0; t < count; ++t) {
        if (t + kPrefetchAhead < count) {
            const char* ahead = reinterpret_cast<const char*>(leaves[t + kPrefetchAhead]);
            for (std::size_t offset = 0; offset < kShapeValues * sizeof(float); offset += 64)
                __builtin_prefetch(ahead + offset);
        }
        const float* leaf = leaves[t];
        for (std::size_t j = 0; j < kShapeValues; ++j)
            shape[j] += leaf[j];
    }
}

} // namespace

// One cascade of the compact form, pointing into the model's bytes.
struct CompactLevel {
    std::size_t wide = 0, narrow = 0;
    float wideUnit = 0, narrowUnit = 0;
    const float* mean = nullptr;  // [136]
    const float* basis = nullptr; // [wide + narrow][136]
};

namespace {

// The coefficients of a block of trees, added up exactly in integers: an
// 8-bit coefficient times its leaf's 15-bit scale, summed over at most
// kTreesPerBlock trees, stays within 32 bits.
constexpr std::size_t kTreesPerBlock = 512;
static_assert(128 * 32767 * kTreesPerBlock <= 2147483647u, "block sums fit in 32 bits");

struct BlockSums {
    std::int32_t wide[kShapeValues];
    std::int32_t low[kShapeValues / 2];
    std::int32_t high[kShapeValues / 2];
};

// A leaf's scale: 15 bits (the top bit of its 16 is not used), so that it is
// a positive signed 16-bit number.
std::uint16_t scaleOf(const unsigned char* record, int which)
{
    std::uint16_t scale;
    std::memcpy(&scale, record + 2 * which, sizeof scale);
    return scale & kLargestScale;
}

// Adds records [from, to) into sums, from coefficient `first` of each group
// on (the vector kernel does the ones before it).
void addRecordsPlain(BlockSums& sums, const unsigned char* const* records, std::size_t from, std::size_t to,
                     std::size_t wide, std::size_t half, std::size_t firstWide, std::size_t firstNarrow)
{
    for (std::size_t t = from; t < to; ++t) {
        const unsigned char* record = records[t];
        const std::int32_t wideScale = scaleOf(record, 0), narrowScale = scaleOf(record, 1);
        const auto* wideValues = reinterpret_cast<const std::int8_t*>(record + kRecordScaleBytes);
        for (std::size_t j = firstWide; j < wide; ++j)
            sums.wide[j] += wideScale * wideValues[j];
        const unsigned char* narrowValues = record + kRecordScaleBytes + wide;
        for (std::size_t j = firstNarrow; j < half; ++j) {
            sums.low[j] += narrowScale * ((narrowValues[j] & 15) - kNarrowBias);
            sums.high[j] += narrowScale * ((narrowValues[j] >> 4) - kNarrowBias);
        }
    }
}

void addBlockPlain(BlockSums& sums, const unsigned char* const* records, std::size_t count, std::size_t wide,
                   std::size_t half)
{
    addRecordsPlain(sums, records, 0, count, wide, half, 0, 0);
}

// Two trees at a time: their coefficients interleaved as 16-bit pairs, each
// pair multiplied by the two scales and added (vpmaddwd). Integer sums, so
// the very same as addBlockPlain's.
__attribute__((target("avx2"))) void addBlockAvx2(BlockSums& sums, const unsigned char* const* records,
                                                  std::size_t count, std::size_t wide, std::size_t half)
{
    const std::size_t wideVectors = wide / 8, narrowVectors = half / 8;
    const __m128i nibble = _mm_set1_epi8(15), bias = _mm_set1_epi8(kNarrowBias);
    std::size_t t = 0;
    for (; t + 1 < count; t += 2) {
        const unsigned char* a = records[t];
        const unsigned char* b = records[t + 1];
        const __m256i wideScales = _mm256_set1_epi32(static_cast<int>(scaleOf(a, 0) | scaleOf(b, 0) << 16));
        const __m256i narrowScales = _mm256_set1_epi32(static_cast<int>(scaleOf(a, 1) | scaleOf(b, 1) << 16));
        for (std::size_t v = 0; v < wideVectors; ++v) {
            const std::size_t offset = kRecordScaleBytes + 8 * v;
            const __m128i pairs = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + offset)),
                                                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + offset)));
            __m256i* sum = reinterpret_cast<__m256i*>(sums.wide + 8 * v);
            _mm256_storeu_si256(sum, _mm256_add_epi32(_mm256_loadu_si256(sum),
                                                      _mm256_madd_epi16(_mm256_cvtepi8_epi16(pairs), wideScales)));
        }
        for (std::size_t v = 0; v < narrowVectors; ++v) {
            const std::size_t offset = kRecordScaleBytes + wide + 8 * v;
            const __m128i pairs = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + offset)),
                                                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + offset)));
            const __m128i low = _mm_sub_epi8(_mm_and_si128(pairs, nibble), bias);
            const __m128i high = _mm_sub_epi8(_mm_and_si128(_mm_srli_epi16(pairs, 4), nibble), bias);
            __m256i* lowSum = reinterpret_cast<__m256i*>(sums.low + 8 * v);
            __m256i* highSum = reinterpret_cast<__m256i*>(sums.high + 8 * v);
            _mm256_storeu_si256(lowSum, _mm256_add_epi32(_mm256_loadu_si256(lowSum),
                                                         _mm256_madd_epi16(_mm256_cvtepi8_epi16(low), narrowScales)));
            _mm256_storeu_si256(highSum, _mm256_add_epi32(_mm256_loadu_si256(highSum),
                                                          _mm256_madd_epi16(_mm256_cvtepi8_epi16(high), narrowScales)));
        }
    }
    addRecordsPlain(sums, records, 0, t, wide, half, 8 * wideVectors, 8 * narrowVectors);
    addRecordsPlain(sums, records, t, count, wide, half, 0, 0);
}

using AddBlock = void (*)(BlockSums&, const unsigned char* const*, std::size_t, std::size_t, std::size_t);

// shape += the sum of the chosen leaves: their coefficients are added up in
// the level's basis (exactly, in integers), then turned into 136 values once.
// The float steps run in the same order whatever the instructions, without
// FMA, so every processor gives the same points.
inline __attribute__((always_inline)) void addCompactLeavesBody(float* shape, const CompactLevel& level,
                                                                const unsigned char* const* records, std::size_t count,
                                                                AddBlock addBlock)
{
    const std::size_t wide = level.wide, half = level.narrow / 2;
    alignas(32) float wideSums[kShapeValues] = {};
    alignas(32) float lowSums[kShapeValues / 2] = {};
    alignas(32) float highSums[kShapeValues / 2] = {};
    for (std::size_t from = 0; from < count; from += kTreesPerBlock) {
        BlockSums block{};
        addBlock(block, records + from, std::min(kTreesPerBlock, count - from), wide, half);
        for (std::size_t j = 0; j < wide; ++j)
            wideSums[j] += static_cast<float>(block.wide[j]);
        for (std::size_t j = 0; j < half; ++j) {
            lowSums[j] += static_cast<float>(block.low[j]);
            highSums[j] += static_cast<float>(block.high[j]);
        }
    }
    alignas(32) float delta[kShapeValues];
    const float trees = static_cast<float>(count);
    for (std::size_t i = 0; i < kShapeValues; ++i)
        delta[i] = trees * level.mean[i];
    const auto addComponent = [&](float weight, const float* component) {
        for (std::size_t i = 0; i < kShapeValues; ++i)
            delta[i] += weight * component[i];
    };
    for (std::size_t j = 0; j < wide; ++j)
        addComponent(wideSums[j] * level.wideUnit, level.basis + j * kShapeValues);
    for (std::size_t j = 0; j < half; ++j) {
        addComponent(lowSums[j] * level.narrowUnit, level.basis + (wide + j) * kShapeValues);
        addComponent(highSums[j] * level.narrowUnit, level.basis + (wide + half + j) * kShapeValues);
    }
    for (std::size_t i = 0; i < kShapeValues; ++i)
        shape[i] += delta[i];
}

void addCompactLeavesBaseline(float* shape, const CompactLevel& level, const unsigned char* const* records,
                              std::size_t count)
{
    addCompactLeavesBody(shape, level, records, count, addBlockPlain);
}

__attribute__((target("avx2"))) void addCompactLeavesAvx2(float* shape, const CompactLevel& level,
                                                          const unsigned char* const* records, std::size_t count)
{
    addCompactLeavesBody(shape, level, records, count, addBlockAvx2);
}

} // namespace

// Where a cascade's feature pixels land: shape space -> normalised face box
// (toShape) -> image (toImage, toImageOffset).
struct PixelPlacement {
    float toShape[4];
    double toImage[4];
    double toImageOffset[2];
};

namespace {

// The feature pixel values of one cascade, computed with exactly dlib's
// arithmetic (float shape transform, double image transform, round half up)
// so that the trees see the same values.
inline __attribute__((always_inline)) void extractFeaturesBody(const PixelPlacement& placement, const float* shape,
                                                               const std::uint32_t* anchors, const float* deltas,
                                                               std::size_t count, const ImageView& image,
                                                               float* features)
{
    const float* m = placement.toShape;
    const double* a = placement.toImage;
    const double* b = placement.toImageOffset;
    for (std::size_t f = 0; f < count; ++f) {
        const float dx = deltas[2 * f];
        const float dy = deltas[2 * f + 1];
        const float sx = m[0] * dx + m[1] * dy + shape[2 * anchors[f]];
        const float sy = m[2] * dx + m[3] * dy + shape[2 * anchors[f] + 1];
        const double ix = a[0] * double{sx} + a[1] * double{sy} + b[0];
        const double iy = a[2] * double{sx} + a[3] * double{sy} + b[1];
        const long x = static_cast<long>(std::floor(ix + 0.5));
        const long y = static_cast<long>(std::floor(iy + 0.5));
        features[f] = x >= 0 && y >= 0 && x < image.width && y < image.height
                          ? image.gray(static_cast<int>(x), static_cast<int>(y))
                          : 0.0f;
    }
}

// Each loop compiled twice, chosen once at run time: no FMA in either, so
// both give dlib's float results.
void addLeavesBaseline(float* shape, const float* const* leaves, std::size_t count)
{
    addLeavesBody(shape, leaves, count);
}

__attribute__((target("avx2"))) void addLeavesAvx2(float* shape, const float* const* leaves, std::size_t count)
{
    addLeavesBody(shape, leaves, count);
}

void extractFeaturesBaseline(const PixelPlacement& placement, const float* shape, const std::uint32_t* anchors,
                             const float* deltas, std::size_t count, const ImageView& image, float* features)
{
    extractFeaturesBody(placement, shape, anchors, deltas, count, image, features);
}

__attribute__((target("avx2"))) void extractFeaturesAvx2(const PixelPlacement& placement, const float* shape,
                                                         const std::uint32_t* anchors, const float* deltas,
                                                         std::size_t count, const ImageView& image, float* features)
{
    extractFeaturesBody(placement, shape, anchors, deltas, count, image, features);
}

// Reads dlib's serialisation of a shape_predictor from memory. dlib's own
// deserialize() sizes each vector from the count in the file before reading
// it, so a corrupt count can make it allocate gigabytes; here nothing is
// allocated ahead of what the file holds, and every count and size is checked
// against the model's shape as it is read.
class DlibModelReader {
public:
    DlibModelReader(const unsigned char* bytes, std::size_t size) : buffer_(bytes, size), in_(&buffer_) {}

    template <typename T> T scalar()
    {
        T value{};
        dlib::deserialize(value, in_);
        return value;
    }
    std::size_t count(std::size_t limit, const char* what)
    {
        const auto n = scalar<unsigned long>();
        if (n > limit)
            throw std::runtime_error(std::string("implausible number of ") + what);
        return n;
    }
    // A dlib column vector of floats; its length is returned first by
    // vectorLength() so the caller can check it.
    std::size_t vectorLength()
    {
        long rows = scalar<long>(), columns = scalar<long>();
        rows = rows < 0 ? -rows : rows; // dlib's newer format stores sizes negated
        columns = columns < 0 ? -columns : columns;
        if (columns != 1 || rows > static_cast<long>(kShapeValues) * 16)
            throw std::runtime_error("a vector of the wrong size");
        return static_cast<std::size_t>(rows);
    }
    void floats(float* out, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = scalar<float>();
    }

private:
    struct MemoryBuffer : std::streambuf {
        MemoryBuffer(const unsigned char* bytes, std::size_t size)
        {
            char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes)); // only read
            setg(begin, begin, begin + size);
        }
    };
    MemoryBuffer buffer_;
    std::istream in_;
};

// The members of dlib::shape_predictor, in the order dlib serialises them,
// straight into the packed form.
std::vector<unsigned char> packDlibModel(const unsigned char* bytes, std::size_t size)
{
    DlibModelReader reader(bytes, size);
    if (reader.scalar<int>() != 1)
        throw std::runtime_error("not a dlib shape_predictor file");
    const std::size_t shapeValues = reader.vectorLength();
    if (shapeValues != kShapeValues)
        throw std::runtime_error("not a 68-point model (it has " + std::to_string(shapeValues / 2) + " points)");
    std::vector<float> initialShape(kShapeValues);
    reader.floats(initialShape.data(), kShapeValues);

    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kFormatVersion;
    header.points = kPointCount;
    header.cascades = static_cast<std::uint32_t>(reader.count(kMaxCascades, "cascades"));
    if (header.cascades == 0)
        throw std::runtime_error("no cascades");
    std::vector<PackedSplit> splits;
    std::vector<float> leaves;
    for (std::uint32_t c = 0; c < header.cascades; ++c) {
        const std::size_t trees = reader.count(kMaxTreesPerCascade, "trees");
        if (c == 0)
            header.treesPerCascade = static_cast<std::uint32_t>(trees);
        if (trees == 0 || trees != header.treesPerCascade)
            throw std::runtime_error("cascades of different sizes");
        for (std::size_t t = 0; t < trees; ++t) {
            const std::size_t treeSplits = reader.count(kMaxSplitsPerTree, "splits");
            if (c == 0 && t == 0)
                header.splitsPerTree = static_cast<std::uint32_t>(treeSplits);
            if (treeSplits != header.splitsPerTree || !isPowerOfTwo(treeSplits + 1))
                throw std::runtime_error("trees of different shapes");
            for (std::size_t s = 0; s < treeSplits; ++s) {
                const auto first = reader.scalar<unsigned long>();
                const auto second = reader.scalar<unsigned long>();
                const auto threshold = reader.scalar<float>();
                if (first > kMaxFeatures || second > kMaxFeatures)
                    throw std::runtime_error("split feature out of range");
                splits.push_back({static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(second), threshold});
            }
            if (reader.count(kMaxSplitsPerTree + 1, "leaves") != treeSplits + 1)
                throw std::runtime_error("trees of different shapes");
            for (std::size_t l = 0; l <= treeSplits; ++l) {
                if (reader.vectorLength() != kShapeValues)
                    throw std::runtime_error("a leaf of the wrong size");
                leaves.resize(leaves.size() + kShapeValues);
                reader.floats(leaves.data() + leaves.size() - kShapeValues, kShapeValues);
            }
        }
    }
    std::vector<std::uint32_t> anchors;
    if (reader.count(kMaxCascades, "cascades") != header.cascades)
        throw std::runtime_error("inconsistent cascades");
    for (std::uint32_t c = 0; c < header.cascades; ++c) {
        const std::size_t features = reader.count(kMaxFeatures, "feature pixels");
        if (c == 0)
            header.featuresPerCascade = static_cast<std::uint32_t>(features);
        if (features == 0 || features != header.featuresPerCascade)
            throw std::runtime_error("cascades of different sizes");
        for (std::size_t f = 0; f < features; ++f) {
            const auto anchor = reader.scalar<unsigned long>();
            if (anchor >= kPointCount)
                throw std::runtime_error("feature anchor out of range");
            anchors.push_back(static_cast<std::uint32_t>(anchor));
        }
    }
    std::vector<float> deltas;
    if (reader.count(kMaxCascades, "cascades") != header.cascades)
        throw std::runtime_error("inconsistent cascades");
    for (std::uint32_t c = 0; c < header.cascades; ++c) {
        if (reader.count(kMaxFeatures, "feature pixels") != header.featuresPerCascade)
            throw std::runtime_error("cascades of different sizes");
        for (std::uint32_t f = 0; f < header.featuresPerCascade; ++f) {
            const auto delta = reader.scalar<dlib::vector<float, 2>>();
            deltas.push_back(delta.x());
            deltas.push_back(delta.y());
        }
    }

    const Layout layout = layoutOf(header);
    std::vector<unsigned char> packed(layout.total, 0);
    std::memcpy(packed.data(), &header, sizeof header);
    std::memcpy(packed.data() + layout.initialShape, initialShape.data(), kShapeValues * sizeof(float));
    std::memcpy(packed.data() + layout.anchors, anchors.data(), anchors.size() * sizeof(std::uint32_t));
    std::memcpy(packed.data() + layout.deltas, deltas.data(), deltas.size() * sizeof(float));
    std::memcpy(packed.data() + layout.splits, splits.data(), splits.size() * sizeof(PackedSplit));
    std::memcpy(packed.data() + layout.leaves, leaves.data(), leaves.size() * sizeof(float));
    return packed;
}

// The whole number a split's threshold can be replaced by: the features are
// whole grey levels, so their difference d is a whole number in -255..255,
// and d > t exactly when d > floor(t). Beyond that range any value decides
// alike (a NaN threshold, like one above 255, is never passed).
std::int32_t wholeThreshold(float threshold)
{
    if (!(threshold < static_cast<float>(kCompactThresholdMax)))
        return kCompactThresholdMax;
    if (threshold < static_cast<float>(kCompactThresholdMin))
        return kCompactThresholdMin;
    return static_cast<std::int32_t>(std::floor(threshold));
}

// One cascade's leaves in its principal components: the mean leaf, the
// components (largest variance first) and each leaf's coefficients.
struct LevelBasis {
    std::vector<float> mean;          // [136]
    std::vector<float> components;    // [count][136]
    std::vector<double> coefficients; // [leaf][count]
};

LevelBasis principalComponents(const float* leaves, std::size_t leafCount, std::size_t count)
{
    dlib::matrix<double> mean = dlib::zeros_matrix<double>(kShapeValues, 1);
    for (std::size_t l = 0; l < leafCount; ++l)
        for (std::size_t i = 0; i < kShapeValues; ++i)
            mean(static_cast<long>(i)) += leaves[l * kShapeValues + i];
    mean /= static_cast<double>(leafCount);
    dlib::matrix<double> covariance = dlib::zeros_matrix<double>(kShapeValues, kShapeValues);
    dlib::matrix<double, 0, 1> centred(kShapeValues);
    for (std::size_t l = 0; l < leafCount; ++l) {
        for (std::size_t i = 0; i < kShapeValues; ++i)
            centred(static_cast<long>(i)) = leaves[l * kShapeValues + i] - mean(static_cast<long>(i));
        covariance += centred * dlib::trans(centred);
    }
    const dlib::eigenvalue_decomposition<dlib::matrix<double>> eigen(dlib::make_symmetric(covariance));
    const dlib::matrix<double, 0, 1> values = eigen.get_real_eigenvalues();
    const dlib::matrix<double> vectors = eigen.get_pseudo_v();
    std::vector<long> order(kShapeValues);
    for (std::size_t i = 0; i < kShapeValues; ++i)
        order[i] = static_cast<long>(i);
    std::stable_sort(order.begin(), order.end(), [&](long a, long b) { return values(a) > values(b); });

    LevelBasis basis;
    basis.mean.resize(kShapeValues);
    for (std::size_t i = 0; i < kShapeValues; ++i)
        basis.mean[i] = static_cast<float>(mean(static_cast<long>(i)));
    basis.components.resize(count * kShapeValues);
    for (std::size_t j = 0; j < count; ++j)
        for (std::size_t i = 0; i < kShapeValues; ++i)
            basis.components[j * kShapeValues + i] = static_cast<float>(vectors(static_cast<long>(i), order[j]));
    // Coefficients against the float components and mean, as they are used.
    basis.coefficients.resize(leafCount * count);
    for (std::size_t l = 0; l < leafCount; ++l)
        for (std::size_t j = 0; j < count; ++j) {
            double c = 0;
            for (std::size_t i = 0; i < kShapeValues; ++i)
                c += (leaves[l * kShapeValues + i] - double{basis.mean[i]}) * basis.components[j * kShapeValues + i];
            basis.coefficients[l * count + j] = c;
        }
    return basis;
}

// Quantises a group of coefficients of every leaf to `limit` steps either
// side of 0, with a 16-bit scale per leaf in units of the returned unit.
float quantiseGroup(const LevelBasis& basis, std::size_t count, std::size_t first, std::size_t size, int limit,
                    std::vector<std::uint16_t>& scales, std::vector<std::int8_t>& values)
{
    const std::size_t leafCount = basis.coefficients.size() / count;
    std::vector<double> largest(leafCount, 0.0);
    double largestOfAll = 0;
    for (std::size_t l = 0; l < leafCount; ++l) {
        for (std::size_t j = first; j < first + size; ++j)
            largest[l] = std::max(largest[l], std::abs(basis.coefficients[l * count + j]));
        largestOfAll = std::max(largestOfAll, largest[l]);
    }
    // 15 bits: the scales are multiplied as signed 16-bit numbers.
    const double unit = largestOfAll / limit / kLargestScale;
    scales.assign(leafCount, 0);
    values.assign(leafCount * size, 0);
    if (unit == 0)
        return 0.0f;
    const float floatUnit = static_cast<float>(unit);
    for (std::size_t l = 0; l < leafCount; ++l) {
        // Rounded up, so that no coefficient needs more than `limit` steps.
        const double wanted = largest[l] / limit;
        const auto scale = static_cast<std::uint16_t>(std::min<double>(kLargestScale, std::ceil(wanted / floatUnit)));
        scales[l] = scale;
        const double step = double{static_cast<float>(scale) * floatUnit};
        if (step == 0)
            continue;
        for (std::size_t j = 0; j < size; ++j) {
            const double q = std::round(basis.coefficients[l * count + first + j] / step);
            values[l * size + j] = static_cast<std::int8_t>(std::clamp<double>(q, -limit, limit));
        }
    }
    return floatUnit;
}

// The compact form of a packed float model (already checked by attach()).
std::vector<unsigned char> compactFromFloat(const unsigned char* bytes, const LandmarkModel::CompactForm& form)
{
    Header h{};
    std::memcpy(&h, bytes, sizeof h);
    const Layout fl = layoutOf(h);
    CompactHeader ch{};
    ch.base = h;
    ch.base.version = kCompactFormatVersion;
    ch.wideComponents = form.wideComponents;
    ch.narrowComponents = form.narrowComponents;
    if (const std::string problem = compactHeaderProblem(ch); !problem.empty())
        throw std::runtime_error("the compact form does not fit this model: " + problem);
    const CompactLayout cl = compactLayoutOf(ch);
    std::vector<unsigned char> out(cl.total, 0);
    std::memcpy(out.data(), &ch, sizeof ch);
    std::memcpy(out.data() + cl.initialShape, bytes + fl.initialShape, kShapeValues * sizeof(float));

    const std::size_t features = std::size_t{h.cascades} * h.featuresPerCascade;
    for (std::size_t f = 0; f < features; ++f) {
        std::uint32_t anchor;
        std::memcpy(&anchor, bytes + fl.anchors + f * sizeof anchor, sizeof anchor);
        out[cl.anchors + f] = static_cast<std::uint8_t>(anchor);
    }
    std::memcpy(out.data() + cl.deltas, bytes + fl.deltas, features * 2 * sizeof(float));
    const std::size_t splitCount = std::size_t{h.cascades} * h.treesPerCascade * h.splitsPerTree;
    for (std::size_t i = 0; i < splitCount; ++i) {
        PackedSplit split;
        std::memcpy(&split, bytes + fl.splits + i * sizeof split, sizeof split);
        const auto threshold = static_cast<std::uint32_t>(wholeThreshold(split.threshold));
        const std::uint32_t word = std::uint32_t{split.first} | std::uint32_t{split.second} << 11 | threshold << 22;
        std::memcpy(out.data() + cl.splits + i * sizeof word, &word, sizeof word);
    }

    const std::size_t components = std::size_t{form.wideComponents} + form.narrowComponents;
    const std::size_t half = form.narrowComponents / 2;
    const std::size_t leavesPerLevel = std::size_t{h.treesPerCascade} * (h.splitsPerTree + 1);
    std::vector<float> levelLeaves(leavesPerLevel * kShapeValues);
    for (std::size_t c = 0; c < h.cascades; ++c) {
        std::memcpy(levelLeaves.data(), bytes + fl.leaves + c * levelLeaves.size() * sizeof(float),
                    levelLeaves.size() * sizeof(float));
        const LevelBasis basis = principalComponents(levelLeaves.data(), leavesPerLevel, components);
        std::vector<std::uint16_t> wideScales, narrowScales;
        std::vector<std::int8_t> wideValues, narrowValues;
        CompactLevelHead head{};
        head.components = static_cast<std::uint32_t>(components);
        head.values = kShapeValues;
        head.wideUnit = quantiseGroup(basis, components, 0, form.wideComponents, kWideLimit, wideScales, wideValues);
        head.narrowUnit = quantiseGroup(basis, components, form.wideComponents, form.narrowComponents, kNarrowLimit,
                                        narrowScales, narrowValues);
        unsigned char* level = out.data() + cl.levels + c * cl.levelBytes;
        std::memcpy(level, &head, sizeof head);
        std::memcpy(level + sizeof head, basis.mean.data(), kShapeValues * sizeof(float));
        std::memcpy(level + sizeof head + kShapeValues * sizeof(float), basis.components.data(),
                    basis.components.size() * sizeof(float));
        for (std::size_t l = 0; l < leavesPerLevel; ++l) {
            unsigned char* record = out.data() + cl.records + (c * leavesPerLevel + l) * cl.recordBytes;
            const std::uint16_t scales[2] = {wideScales[l], narrowScales[l]};
            std::memcpy(record, scales, sizeof scales);
            std::memcpy(record + kRecordScaleBytes, wideValues.data() + l * form.wideComponents, form.wideComponents);
            // Byte j holds narrow component j in its low half, component
            // half + j in its high half.
            const std::int8_t* narrow = narrowValues.data() + l * form.narrowComponents;
            for (std::size_t j = 0; j < half; ++j)
                record[kRecordScaleBytes + form.wideComponents + j] =
                    static_cast<unsigned char>((narrow[j] + kNarrowBias) | (narrow[half + j] + kNarrowBias) << 4);
        }
    }
    return out;
}

} // namespace

LandmarkModel::LandmarkModel()
    : addLeaves_(__builtin_cpu_supports("avx2") ? addLeavesAvx2 : addLeavesBaseline),
      addCompactLeaves_(__builtin_cpu_supports("avx2") ? addCompactLeavesAvx2 : addCompactLeavesBaseline),
      extractFeatures_(__builtin_cpu_supports("avx2") ? extractFeaturesAvx2 : extractFeaturesBaseline)
{
}

LandmarkModel::~LandmarkModel() = default;

std::vector<unsigned char> LandmarkModel::pack(const std::string& dlibModelPath)
{
    RegularFile file;
    std::string problem;
    if (!file.open(dlibModelPath, problem))
        throw std::runtime_error("cannot open the file: " + problem);
    if (file.size() > kMaxDlibFileBytes)
        throw std::runtime_error("larger than any 68-point model");
    std::vector<unsigned char> bytes(file.size());
    if (!file.read(0, bytes.data(), bytes.size(), problem))
        throw std::runtime_error(problem);
    return packDlibModel(bytes.data(), bytes.size());
}

std::vector<unsigned char> LandmarkModel::packCompact(const std::string& modelPath, const CompactForm& form)
{
    std::string problem;
    std::unique_ptr<LandmarkModel> model = open(modelPath, problem);
    if (!model || !model->loadLeaves(problem))
        throw std::runtime_error(problem);
    if (model->compact())
        throw std::runtime_error("already in the compact form");
    return compactFromFloat(model->bytes_, form);
}

std::unique_ptr<LandmarkModel> LandmarkModel::open(const std::string& path, std::string& problem)
{
    std::unique_ptr<LandmarkModel> model(new LandmarkModel());
    RegularFile file;
    if (!file.open(path, problem))
        return nullptr;
    Header header{};
    const bool packed = file.size() >= sizeof header && file.read(0, &header, sizeof header, problem) &&
                        std::memcmp(header.magic, kMagic, sizeof kMagic) == 0;
    if (packed && header.version == kCompactFormatVersion) {
        CompactHeader compactHeader{};
        if (file.size() < sizeof compactHeader || !file.read(0, &compactHeader, sizeof compactHeader, problem))
            problem = "too short";
        else
            problem = compactHeaderProblem(compactHeader);
        const CompactLayout layout = compactLayoutOf(compactHeader);
        if (problem.empty() && layout.total != file.size())
            problem = "size " + std::to_string(file.size()) + " bytes, expected " + std::to_string(layout.total);
        if (problem.empty() && !model->packed_.allocate(file.size()))
            problem = "out of memory";
        // The trees and the bases now (checked); the leaf records, which any
        // bytes make valid, when first needed.
        if (problem.empty() && !file.read(0, model->packed_.data(), layout.records, problem))
            return nullptr;
        if (problem.empty())
            model->attachCompact(model->packed_.data(), model->packed_.size(), problem);
        if (!problem.empty()) {
            problem = "corrupt packed model (" + problem + ")";
            return nullptr;
        }
        model->leavesFile_ = std::make_unique<RegularFile>();
        swap(*model->leavesFile_, file);
        model->leavesOffset_ = layout.records;
        return model;
    }
    if (packed) {
        // Everything the header promises is checked before a byte more is read.
        problem = headerProblem(header);
        if (problem.empty() && layoutOf(header).total != file.size())
            problem =
                "size " + std::to_string(file.size()) + " bytes, expected " + std::to_string(layoutOf(header).total);
        if (!problem.empty()) {
            problem = "corrupt packed model (" + problem + ")";
            return nullptr;
        }
        if (!model->packed_.allocate(file.size())) {
            problem = "out of memory";
            return nullptr;
        }
        // Everything but the leaves now (about 1 MB, with every index to
        // check); the leaves (the other 65 MB) when first needed.
        const std::size_t leaves = layoutOf(header).leaves;
        if (!file.read(0, model->packed_.data(), leaves, problem))
            return nullptr;
        if (!model->attach(model->packed_.data(), model->packed_.size(), problem)) {
            problem = "corrupt packed model (" + problem + ")";
            return nullptr;
        }
        model->leavesFile_ = std::make_unique<RegularFile>();
        swap(*model->leavesFile_, file);
        model->leavesOffset_ = leaves;
        return model;
    }
    problem.clear();
    try {
        model->converted_ = pack(path);
    } catch (const std::exception& e) {
        std::string reason = e.what();
        for (char& c : reason)
            if (c == '\n')
                c = ' ';
        problem = "unreadable or corrupt (" + reason + ")";
        return nullptr;
    }
    if (!model->attach(model->converted_.data(), model->converted_.size(), problem)) {
        problem = "corrupt model (" + problem + ")";
        return nullptr;
    }
    return model;
}

bool LandmarkModel::loadLeaves(std::string& problem)
{
    if (!leavesFile_)
        return true;
    const bool read =
        leavesFile_->read(leavesOffset_, packed_.data() + leavesOffset_, packed_.size() - leavesOffset_, problem);
    leavesFile_.reset();
    return read;
}

bool LandmarkModel::attachCompact(const unsigned char* bytes, std::size_t size, std::string& problem)
{
    CompactHeader ch{};
    std::memcpy(&ch, bytes, sizeof ch);
    const Header& h = ch.base;
    const CompactLayout layout = compactLayoutOf(ch);
    if (layout.total != size) { // checked by open(), which made the bytes
        problem = "size mismatch";
        return false;
    }
    const std::size_t featureCount = std::size_t{h.cascades} * h.featuresPerCascade;
    compactAnchors_.resize(featureCount);
    for (std::size_t i = 0; i < featureCount; ++i) {
        if (bytes[layout.anchors + i] >= kPointCount) {
            problem = "feature anchor out of range";
            return false;
        }
        compactAnchors_[i] = bytes[layout.anchors + i];
    }
    const auto* splits = reinterpret_cast<const std::uint32_t*>(bytes + layout.splits);
    const std::size_t splitCount = std::size_t{h.cascades} * h.treesPerCascade * h.splitsPerTree;
    for (std::size_t i = 0; i < splitCount; ++i)
        if ((splits[i] & 2047) >= h.featuresPerCascade || (splits[i] >> 11 & 2047) >= h.featuresPerCascade) {
            problem = "split feature out of range";
            return false;
        }
    const auto finite = [](const float* values, std::size_t count) {
        return std::all_of(values, values + count, [](float v) { return std::isfinite(v); });
    };
    const auto* initialShape = reinterpret_cast<const float*>(bytes + layout.initialShape);
    const auto* deltas = reinterpret_cast<const float*>(bytes + layout.deltas);
    if (!finite(initialShape, kShapeValues) || !finite(deltas, featureCount * 2)) {
        problem = "not a number in the mean shape or the feature offsets";
        return false;
    }
    auto levels = std::make_unique<CompactLevel[]>(h.cascades);
    const std::size_t components = std::size_t{ch.wideComponents} + ch.narrowComponents;
    for (std::size_t c = 0; c < h.cascades; ++c) {
        const unsigned char* level = bytes + layout.levels + c * layout.levelBytes;
        CompactLevelHead head{};
        std::memcpy(&head, level, sizeof head);
        if (head.components != components || head.values != kShapeValues) {
            problem = "cascade " + std::to_string(c) + " has a basis of " + std::to_string(head.components) + "x" +
                      std::to_string(head.values) + " values, the header says " + std::to_string(components) + "x" +
                      std::to_string(kShapeValues);
            return false;
        }
        const auto* values = reinterpret_cast<const float*>(level + sizeof head);
        if (!(head.wideUnit >= 0 && head.narrowUnit >= 0 && std::isfinite(head.wideUnit) &&
              std::isfinite(head.narrowUnit)) ||
            !finite(values, (1 + components) * kShapeValues)) {
            problem = "not a number in the basis of cascade " + std::to_string(c);
            return false;
        }
        levels[c] = {ch.wideComponents,    ch.narrowComponents, head.wideUnit, head.narrowUnit, values,
                     values + kShapeValues};
    }

    cascades_ = h.cascades;
    treesPerCascade_ = h.treesPerCascade;
    splitsPerTree_ = h.splitsPerTree;
    featuresPerCascade_ = h.featuresPerCascade;
    initialShape_ = initialShape;
    anchors_ = compactAnchors_.data();
    deltas_ = deltas;
    compactSplits_ = splits;
    compactLevels_ = std::move(levels);
    compactRecords_ = bytes + layout.records;
    compactRecordSize_ = layout.recordBytes;
    bytes_ = bytes;
    size_ = size;
    return true;
}

bool LandmarkModel::attach(const unsigned char* bytes, std::size_t size, std::string& problem)
{
    Header h{};
    if (size < sizeof h) {
        problem = "too short";
        return false;
    }
    std::memcpy(&h, bytes, sizeof h);
    problem = headerProblem(h);
    if (!problem.empty())
        return false;
    const Layout layout = layoutOf(h);
    if (layout.total != size) {
        problem = "size " + std::to_string(size) + " bytes, expected " + std::to_string(layout.total);
        return false;
    }
    const auto* anchors = reinterpret_cast<const std::uint32_t*>(bytes + layout.anchors);
    const std::size_t featureCount = std::size_t{h.cascades} * h.featuresPerCascade;
    for (std::size_t i = 0; i < featureCount; ++i)
        if (anchors[i] >= kPointCount) {
            problem = "feature anchor out of range";
            return false;
        }
    const auto* splits = reinterpret_cast<const PackedSplit*>(bytes + layout.splits);
    const std::size_t splitCount = std::size_t{h.cascades} * h.treesPerCascade * h.splitsPerTree;
    for (std::size_t i = 0; i < splitCount; ++i)
        if (splits[i].first >= h.featuresPerCascade || splits[i].second >= h.featuresPerCascade) {
            problem = "split feature out of range";
            return false;
        }

    cascades_ = h.cascades;
    treesPerCascade_ = h.treesPerCascade;
    splitsPerTree_ = h.splitsPerTree;
    featuresPerCascade_ = h.featuresPerCascade;
    initialShape_ = reinterpret_cast<const float*>(bytes + layout.initialShape);
    anchors_ = anchors;
    deltas_ = reinterpret_cast<const float*>(bytes + layout.deltas);
    splits_ = reinterpret_cast<const std::uint32_t*>(bytes + layout.splits);
    leaves_ = reinterpret_cast<const float*>(bytes + layout.leaves);
    bytes_ = bytes;
    size_ = size;
    return true;
}

void LandmarkModel::leafValues(std::size_t cascade, std::size_t tree, std::size_t leaf, float* values) const
{
    const std::size_t index = (cascade * treesPerCascade_ + tree) * leavesPerTree() + leaf;
    if (!compact()) {
        std::memcpy(values, leaves_ + index * kShapeValues, kShapeValues * sizeof(float));
        return;
    }
    // One leaf summed alone, from a zero shape.
    std::fill(values, values + kShapeValues, 0.0f);
    const unsigned char* record = compactRecords_ + index * compactRecordSize_;
    addCompactLeaves_(values, compactLevels_[cascade], &record, 1);
}

void LandmarkModel::predict(const ImageView& image, const dlib::rectangle& rect, float* points) const
{
    const dlib::point_transform_affine toImage = dlib::impl::unnormalizing_tform(rect);
    float shape[kShapeValues];
    regress(image, toImage, shape);
    for (std::size_t i = 0; i < kPointCount; ++i) {
        // Rounded to whole pixels, as dlib's full_object_detection holds them.
        const dlib::point p = toImage(dlib::vector<float, 2>(shape[2 * i], shape[2 * i + 1]));
        points[2 * i] = static_cast<float>(p.x());
        points[2 * i + 1] = static_cast<float>(p.y());
    }
}

void LandmarkModel::predict(const ImageView& image, const dlib::point_transform_affine& toImage, float* points) const
{
    float shape[kShapeValues];
    regress(image, toImage, shape);
    for (std::size_t i = 0; i < kPointCount; ++i) {
        const dlib::dpoint p = toImage(dlib::vector<float, 2>(shape[2 * i], shape[2 * i + 1]));
        points[2 * i] = static_cast<float>(p.x());
        points[2 * i + 1] = static_cast<float>(p.y());
    }
}

void LandmarkModel::regress(const ImageView& image, const dlib::point_transform_affine& toImage, float* result) const
{
    dlib::matrix<float, 0, 1> initialShape(kShapeValues);
    std::memcpy(&initialShape(0), initialShape_, kShapeValues * sizeof(float));
    dlib::matrix<float, 0, 1> shape = initialShape;

    std::vector<float> features(featuresPerCascade_);
    std::vector<const float*> chosenLeaves(compact() ? 0 : treesPerCascade_);
    std::vector<const unsigned char*> chosenRecords(compact() ? treesPerCascade_ : 0);
    std::vector<std::uint32_t> nodes(treesPerCascade_);
    std::uint32_t treeDepth = 0;
    while ((std::size_t{1} << treeDepth) < std::size_t{splitsPerTree_} + 1)
        ++treeDepth;
    const auto* splits = reinterpret_cast<const PackedSplit*>(splits_);
    const std::size_t leavesPerTree = std::size_t{splitsPerTree_} + 1;

    for (std::size_t c = 0; c < cascades_; ++c) {
        // The pixels this cascade looks at, placed relative to the current shape.
        const dlib::matrix<float, 2, 2> toShape =
            dlib::matrix_cast<float>(dlib::impl::find_tform_between_shapes(initialShape, shape).get_m());
        const PixelPlacement placement{
            {toShape(0, 0), toShape(0, 1), toShape(1, 0), toShape(1, 1)},
            {toImage.get_m()(0, 0), toImage.get_m()(0, 1), toImage.get_m()(1, 0), toImage.get_m()(1, 1)},
            {toImage.get_b().x(), toImage.get_b().y()}};
        extractFeatures_(placement, &shape(0), anchors_ + c * featuresPerCascade_,
                         deltas_ + c * featuresPerCascade_ * 2, featuresPerCascade_, image, features.data());
        // Walk all trees of the cascade level by level, without branches: the
        // trees are independent, so their memory loads overlap.
        std::fill(nodes.begin(), nodes.end(), 0u);
        if (compact()) {
            const std::uint32_t* cascadeSplits = compactSplits_ + c * treesPerCascade_ * splitsPerTree_;
            for (std::uint32_t level = 0; level < treeDepth; ++level)
                for (std::size_t t = 0; t < treesPerCascade_; ++t) {
                    const std::uint32_t split = cascadeSplits[t * splitsPerTree_ + nodes[t]];
                    const float threshold = static_cast<float>(static_cast<std::int32_t>(split) >> 22);
                    const std::uint32_t left = features[split & 2047] - features[split >> 11 & 2047] > threshold;
                    nodes[t] = 2 * nodes[t] + 2 - left;
                }
            const unsigned char* cascadeRecords =
                compactRecords_ + c * treesPerCascade_ * leavesPerTree * compactRecordSize_;
            // Each record is a line or two somewhere in megabytes: all are
            // asked for at once, so that their loads overlap.
            for (std::size_t t = 0; t < treesPerCascade_; ++t) {
                const unsigned char* record =
                    cascadeRecords + (t * leavesPerTree + (nodes[t] - splitsPerTree_)) * compactRecordSize_;
                __builtin_prefetch(record);
                __builtin_prefetch(record + compactRecordSize_ - 1);
                chosenRecords[t] = record;
            }
            addCompactLeaves_(&shape(0), compactLevels_[c], chosenRecords.data(), chosenRecords.size());
            continue;
        }
        const PackedSplit* cascadeSplits = splits + c * treesPerCascade_ * splitsPerTree_;
        for (std::uint32_t level = 0; level < treeDepth; ++level)
            for (std::size_t t = 0; t < treesPerCascade_; ++t) {
                const PackedSplit& split = cascadeSplits[t * splitsPerTree_ + nodes[t]];
                const std::uint32_t left = features[split.first] - features[split.second] > split.threshold;
                nodes[t] = 2 * nodes[t] + 2 - left;
            }
        const float* cascadeLeaves = leaves_ + c * treesPerCascade_ * leavesPerTree * kShapeValues;
        for (std::size_t t = 0; t < treesPerCascade_; ++t)
            chosenLeaves[t] = cascadeLeaves + (t * leavesPerTree + (nodes[t] - splitsPerTree_)) * kShapeValues;
        addLeaves_(&shape(0), chosenLeaves.data(), chosenLeaves.size());
    }
    std::memcpy(result, &shape(0), kShapeValues * sizeof(float));
}

} // namespace mivora
