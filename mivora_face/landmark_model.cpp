#include "landmark_model.h"

#include <dlib/image_processing/shape_predictor.h>
#include <dlib/serialize.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>

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

// shape += each leaf, in order: the same float additions, element by element,
// as dlib's matrix sum, so the result is bit for bit the same.
__attribute__((target_clones("avx2", "default"))) void addLeaves(float* shape, const float* const* leaves,
                                                                 std::size_t count)
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

// Where a cascade's feature pixels land: shape space -> normalised face box
// (toShape) -> image (toImage, toImageOffset).
struct PixelPlacement {
    float toShape[4];
    double toImage[4];
    double toImageOffset[2];
};

// The feature pixel values of one cascade, computed with exactly dlib's
// arithmetic (float shape transform, double image transform, round half up)
// so that the trees see the same values.
__attribute__((target_clones("avx2", "default"))) void extractFeatures(const PixelPlacement& placement,
                                                                       const float* shape, const std::uint32_t* anchors,
                                                                       const float* deltas, std::size_t count,
                                                                       const cv::Mat& gray, float* features)
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
        features[f] =
            x >= 0 && y >= 0 && x < gray.cols && y < gray.rows ? gray.ptr<unsigned char>(static_cast<int>(y))[x] : 0.0f;
    }
}

} // namespace

struct LandmarkModel::Mapping {
    void* address = MAP_FAILED;
    std::size_t size = 0;
    ~Mapping()
    {
        if (address != MAP_FAILED)
            munmap(address, size);
    }
};

LandmarkModel::~LandmarkModel() = default;

std::vector<unsigned char> LandmarkModel::pack(const std::string& dlibModelPath)
{
    std::ifstream in(dlibModelPath, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open the file");

    // The members of dlib::shape_predictor, in the order dlib serialises them.
    int version = 0;
    dlib::matrix<float, 0, 1> initialShape;
    std::vector<std::vector<dlib::impl::regression_tree>> forests;
    std::vector<std::vector<unsigned long>> anchors;
    std::vector<std::vector<dlib::vector<float, 2>>> deltas;
    dlib::deserialize(version, in);
    if (version != 1)
        throw std::runtime_error("not a dlib shape_predictor file");
    dlib::deserialize(initialShape, in);
    dlib::deserialize(forests, in);
    dlib::deserialize(anchors, in);
    dlib::deserialize(deltas, in);

    if (initialShape.size() != kShapeValues)
        throw std::runtime_error("not a 68-point model (it has " + std::to_string(initialShape.size() / 2) +
                                 " points)");
    if (forests.empty() || forests[0].empty() || anchors.size() != forests.size() || deltas.size() != forests.size())
        throw std::runtime_error("inconsistent cascades");

    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kFormatVersion;
    header.points = kPointCount;
    header.cascades = static_cast<std::uint32_t>(forests.size());
    header.treesPerCascade = static_cast<std::uint32_t>(forests[0].size());
    header.splitsPerTree = static_cast<std::uint32_t>(forests[0][0].splits.size());
    header.featuresPerCascade = static_cast<std::uint32_t>(anchors[0].size());
    if (header.featuresPerCascade > kMaxFeatures)
        throw std::runtime_error("more feature pixels per cascade than the packed form holds");

    const Layout layout = layoutOf(header);
    std::vector<unsigned char> bytes(layout.total, 0);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + layout.initialShape, &initialShape(0), kShapeValues * sizeof(float));
    auto* anchorOut = reinterpret_cast<std::uint32_t*>(bytes.data() + layout.anchors);
    auto* deltaOut = reinterpret_cast<float*>(bytes.data() + layout.deltas);
    auto* splitOut = reinterpret_cast<PackedSplit*>(bytes.data() + layout.splits);
    auto* leafOut = reinterpret_cast<float*>(bytes.data() + layout.leaves);
    for (std::size_t c = 0; c < forests.size(); ++c) {
        if (forests[c].size() != header.treesPerCascade || anchors[c].size() != header.featuresPerCascade ||
            deltas[c].size() != header.featuresPerCascade)
            throw std::runtime_error("cascades of different sizes");
        for (std::size_t f = 0; f < anchors[c].size(); ++f) {
            *anchorOut++ = static_cast<std::uint32_t>(anchors[c][f]);
            *deltaOut++ = deltas[c][f].x();
            *deltaOut++ = deltas[c][f].y();
        }
        for (const dlib::impl::regression_tree& tree : forests[c]) {
            if (tree.splits.size() != header.splitsPerTree || tree.leaf_values.size() != header.splitsPerTree + 1)
                throw std::runtime_error("trees of different shapes");
            for (const dlib::impl::split_feature& split : tree.splits)
                *splitOut++ = {static_cast<std::uint16_t>(split.idx1), static_cast<std::uint16_t>(split.idx2),
                               split.thresh};
            for (const dlib::matrix<float, 0, 1>& leaf : tree.leaf_values) {
                if (leaf.size() != kShapeValues)
                    throw std::runtime_error("a leaf of the wrong size");
                std::memcpy(leafOut, &leaf(0), kShapeValues * sizeof(float));
                leafOut += kShapeValues;
            }
        }
    }
    return bytes;
}

std::unique_ptr<LandmarkModel> LandmarkModel::open(const std::string& path, std::string& problem)
{
    std::unique_ptr<LandmarkModel> model(new LandmarkModel());
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return nullptr;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        problem = "not a regular file";
        return nullptr;
    }
    char magic[sizeof kMagic] = {};
    const bool packed = pread(fd, magic, sizeof magic, 0) == static_cast<ssize_t>(sizeof magic) &&
                        std::memcmp(magic, kMagic, sizeof kMagic) == 0;
    if (packed) {
        model->mapping_ = std::make_unique<Mapping>();
        model->mapping_->size = static_cast<std::size_t>(status.st_size);
        // Populated now, in a millisecond or two, rather than page by page
        // during the first predictions.
        model->mapping_->address = mmap(nullptr, model->mapping_->size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    }
    ::close(fd);

    if (packed) {
        if (model->mapping_->address == MAP_FAILED) {
            problem = std::string("cannot map the file: ") + std::strerror(errno);
            return nullptr;
        }
        const auto* bytes = static_cast<const unsigned char*>(model->mapping_->address);
        if (!model->attach(bytes, model->mapping_->size, problem)) {
            problem = "corrupt packed model (" + problem + ")";
            return nullptr;
        }
        return model;
    }
    try {
        model->owned_ = pack(path);
    } catch (const std::exception& e) {
        std::string reason = e.what();
        for (char& c : reason)
            if (c == '\n')
                c = ' ';
        problem = "unreadable or corrupt (" + reason + ")";
        return nullptr;
    }
    if (!model->attach(model->owned_.data(), model->owned_.size(), problem)) {
        problem = "corrupt model (" + problem + ")";
        return nullptr;
    }
    return model;
}

bool LandmarkModel::attach(const unsigned char* bytes, std::size_t size, std::string& problem)
{
    Header h{};
    if (size < sizeof h) {
        problem = "too short";
        return false;
    }
    std::memcpy(&h, bytes, sizeof h);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.version != kFormatVersion) {
        problem = "unknown format version";
        return false;
    }
    if (h.points != kPointCount) {
        problem = "not a 68-point model";
        return false;
    }
    // Bounds that keep the layout arithmetic far from overflow.
    if (h.cascades == 0 || h.cascades > 100 || h.treesPerCascade == 0 || h.treesPerCascade > 100000 ||
        h.splitsPerTree > 1023 || !isPowerOfTwo(h.splitsPerTree + std::size_t{1}) || h.featuresPerCascade == 0 ||
        h.featuresPerCascade > kMaxFeatures) {
        problem = "implausible sizes";
        return false;
    }
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

void LandmarkModel::predict(const cv::Mat& gray, const dlib::rectangle& rect, float* points) const
{
    using dlib::impl::location;
    dlib::matrix<float, 0, 1> initialShape(kShapeValues);
    std::memcpy(&initialShape(0), initialShape_, kShapeValues * sizeof(float));
    dlib::matrix<float, 0, 1> shape = initialShape;

    const dlib::point_transform_affine toImage = dlib::impl::unnormalizing_tform(rect);
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
        extractFeatures(placement, &shape(0), anchors_ + c * featuresPerCascade_, deltas_ + c * featuresPerCascade_ * 2,
                        featuresPerCascade_, gray, features.data());
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
        addLeaves(&shape(0), chosenLeaves.data(), chosenLeaves.size());
    }
    for (std::size_t i = 0; i < kPointCount; ++i) {
        const dlib::point p = toImage(location(shape, i));
        points[2 * i] = static_cast<float>(p.x());
        points[2 * i + 1] = static_cast<float>(p.y());
    }
}

} // namespace mivora
