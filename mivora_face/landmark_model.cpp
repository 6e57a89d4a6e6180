#include "landmark_model.h"

#include <dlib/image_processing/shape_predictor.h>
#include <dlib/serialize.h>

#include <cmath>
#include <cstring>
#include <istream>
#include <stdexcept>
#include <streambuf>

namespace mivora {

namespace {

constexpr char kMagic[8] = {'M', 'I', 'V', 'O', 'R', 'A', 'S', 'P'};
constexpr std::uint32_t kFormatVersion = 2;
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
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.version != kFormatVersion)
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

} // namespace

LandmarkModel::LandmarkModel()
    : addLeaves_(__builtin_cpu_supports("avx2") ? addLeavesAvx2 : addLeavesBaseline),
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

std::unique_ptr<LandmarkModel> LandmarkModel::open(const std::string& path, std::string& problem)
{
    std::unique_ptr<LandmarkModel> model(new LandmarkModel());
    RegularFile file;
    if (!file.open(path, problem))
        return nullptr;
    Header header{};
    const bool packed = file.size() >= sizeof header && file.read(0, &header, sizeof header, problem) &&
                        std::memcmp(header.magic, kMagic, sizeof kMagic) == 0;
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
    std::vector<const float*> chosenLeaves(treesPerCascade_);
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
        const PackedSplit* cascadeSplits = splits + c * treesPerCascade_ * splitsPerTree_;
        std::fill(nodes.begin(), nodes.end(), 0u);
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
