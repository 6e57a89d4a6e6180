// SPDX-License-Identifier: MIT
// The hot loops of FaceScan, compiled once per instruction set (plain x86-64,
// AVX2, AVX2 with FMA) in scan_kernels.cpp; FaceScan picks one set at run time.
// Internal to FaceScan: the layouts below are its buffers.
#ifndef MIVORA_FACE_SCAN_KERNELS_H
#define MIVORA_FACE_SCAN_KERNELS_H

#include <cstddef>
#include <cstdint>

namespace mivora {
namespace scan {

constexpr int kCellSize = 8;
constexpr int kBins = 18;    // signed orientations; 9 unsigned ones follow from them
constexpr int kPlanes = 31;  // 18 signed, 9 unsigned, 4 gradient energies
constexpr int kVector = 8;   // floats per vector in every layout below
constexpr int kMaxTaps = 32; // filter side the kernels accept
constexpr int kMaxTermChunk = 6;

// An 8-bit image whose rows can be read kImageMargin bytes before column 0
// and kImageMargin bytes after its last column.
constexpr int kImageMargin = 32;
struct ImageView {
    const std::uint8_t* data; // column 0 of row 0
    int width, height;
    std::ptrdiff_t stride;
};

// dlib's bilinear pyramid_down<6> step from one level to the next, its
// per-column arithmetic tabulated (see FaceScan::resizeColumns).
struct ResizeColumns {
    const std::int32_t* left;    // left source column, per output column
    const std::int32_t* right;   // right source column
    const float* fraction;       // weight of the right column
    const float* inverse;        // weight of the left column (1 - fraction, as dlib rounds it)
    const std::uint8_t* shuffle; // per 8 vector columns: 16 byte offsets from left[first] (8 left, 8 right)
    int vectorColumns;           // columns dlib computes in single precision; the rest in double
};
struct ResizeArgs {
    ImageView source;
    std::uint8_t* destination; // column 0 of row 0, destinationWidth x destinationHeight, with margins
    int destinationWidth, destinationHeight;
    std::ptrdiff_t destinationStride;
    ResizeColumns columns;
};

// Gradient histograms of 8x8 cells, bilinearly interpolated as dlib's fHOG:
// hist row r (0 .. cells_nr+1, one border cell each side) holds kBins rows of
// histStride floats, bin b of cell column c at [r * kBins * histStride + b * histStride + c].
// Pixels are taken in groups of 8 that vote into the same two cell columns,
// over column tiles of kTileGroups groups, one band of cell rows at a time.
constexpr int kTileGroups = 64;
constexpr int kSlotFloats = kBins * 4 * kTileGroups;
struct HistogramArgs {
    ImageView image;
    int cellRows, cellColumns;       // dlib's cells_nr, cells_nc
    int visibleRows, visibleColumns; // dlib's visible_nr, visible_nc
    float* hist;                     // zeroed by the caller
    std::ptrdiff_t histStride;       // >= cellColumns + 18, multiple of kVector
    float* slots;                    // kSlotFloats floats, zeroed by the caller, left zeroed
    std::int32_t* groupOffsets;      // scratch: kVector * kTileGroups
    float* groupWeights;             // scratch: 4 * kVector * kTileGroups
};

// The 31 fHOG planes of the hog cells (dlib's hog_nr x hog_nc) from the
// histograms: feature row r, plane p, column c at
// features[r * rowStride + p * planeStride + c]; the caller zeroes the border.
struct FeatureArgs {
    const float* hist;
    std::ptrdiff_t histStride;
    int cellRows, cellColumns;
    float* norms;    // scratch: cellRows * histStride floats
    float* blocks;   // scratch: 2 * (cellRows - 1) * histStride floats
    float* features; // where hog cell (0, 0) of plane 0 goes
    std::ptrdiff_t rowStride, planeStride;
    int hogRows, hogColumns;
};

// One rank-one term of a detector's filter on one plane: the filter is the sum
// over terms of column (vertical taps) times row (horizontal taps).
struct FilterBank {
    int detectors;
    int filterRows, filterColumns; // taps of the column and row parts
    const int* planeTermBegin;     // kPlanes + 1 offsets into the term arrays, terms sorted by plane
    const int* termDetector;       // per term
    const float* termColumn;       // per term, filterRows taps
    const float* termRow;          // per term, filterColumns taps; a plane's terms sorted by detector
};

// Scores of one row of window positions for every detector:
// scores[d * outputStride + c] for c < outputColumns (rounded up to kVector).
struct FilterRowArgs {
    const float* features; // feature row of the window's top, plane 0
    std::ptrdiff_t rowStride, planeStride;
    int outputColumns;
    int vectorColumns; // columns of the vertical pass: >= outputColumns + filterColumns - 1, multiple of kVector
    const FilterBank* bank;
    float* vertical; // scratch: kMaxTermChunk * vectorColumns floats
    float* scores;
    std::ptrdiff_t outputStride;
};

struct Kernels {
    const char* name;
    void (*resize)(const ResizeArgs&);
    void (*histogram)(const HistogramArgs&);
    void (*features)(const FeatureArgs&);
    void (*filterRow)(const FilterRowArgs&);
};

extern const Kernels kPlainKernels; // SSE2, which every x86-64 processor has
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx2FmaKernels;

} // namespace scan
} // namespace mivora

#endif
