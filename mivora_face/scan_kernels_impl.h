// SPDX-License-Identifier: MIT
// The kernels of scan_kernels.h, written once against an 8-float vector type.
// scan_kernels.cpp includes this file once per instruction set, inside its
// own namespace, after defining:
//   MIVORA_SCAN_AVX2    1: the vector is one AVX register; 0: two SSE2 registers
//   MIVORA_SCAN_FMA     1: fmadd() is one fused instruction
//   MIVORA_SCAN_TARGET  the function attribute selecting the instruction set
// Only the filter kernel uses fmadd(): the others repeat dlib's single
// precision arithmetic operation for operation, so that they give dlib's
// pixels and features on every path.
// No include guard: included several times on purpose.

#define MIVORA_KERNEL inline __attribute__((always_inline)) MIVORA_SCAN_TARGET

#if MIVORA_SCAN_AVX2

struct F8 {
    __m256 v;
};
struct I8 {
    __m256i v;
};
MIVORA_KERNEL F8 load(const float* p) { return {_mm256_loadu_ps(p)}; }
MIVORA_KERNEL void store(float* p, F8 a) { _mm256_storeu_ps(p, a.v); }
MIVORA_KERNEL F8 splat(float x) { return {_mm256_set1_ps(x)}; }
MIVORA_KERNEL F8 zero() { return {_mm256_setzero_ps()}; }
MIVORA_KERNEL F8 operator+(F8 a, F8 b) { return {_mm256_add_ps(a.v, b.v)}; }
MIVORA_KERNEL F8 operator-(F8 a, F8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
MIVORA_KERNEL F8 operator*(F8 a, F8 b) { return {_mm256_mul_ps(a.v, b.v)}; }
MIVORA_KERNEL F8 operator/(F8 a, F8 b) { return {_mm256_div_ps(a.v, b.v)}; }
MIVORA_KERNEL F8 operator&(F8 a, F8 b) { return {_mm256_and_ps(a.v, b.v)}; }
MIVORA_KERNEL F8 operator|(F8 a, F8 b) { return {_mm256_or_ps(a.v, b.v)}; }
MIVORA_KERNEL F8 vmin(F8 a, F8 b) { return {_mm256_min_ps(a.v, b.v)}; }
MIVORA_KERNEL F8 vsqrt(F8 a) { return {_mm256_sqrt_ps(a.v)}; }
MIVORA_KERNEL F8 vabs(F8 a) { return {_mm256_andnot_ps(_mm256_set1_ps(-0.0f), a.v)}; }
MIVORA_KERNEL F8 greater(F8 a, F8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)}; }
MIVORA_KERNEL F8 greaterEqual(F8 a, F8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)}; }
MIVORA_KERNEL F8 equal(F8 a, F8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)}; }
// mask ? a : b, mask lanes all ones or all zeros
MIVORA_KERNEL F8 select(F8 mask, F8 a, F8 b) { return {_mm256_blendv_ps(b.v, a.v, mask.v)}; }
MIVORA_KERNEL F8 fmadd(F8 a, F8 b, F8 c)
{
#if MIVORA_SCAN_FMA
    return {_mm256_fmadd_ps(a.v, b.v, c.v)};
#else
    return {_mm256_add_ps(_mm256_mul_ps(a.v, b.v), c.v)};
#endif
}
// 8 bytes, zero-extended
MIVORA_KERNEL I8 loadBytes(const std::uint8_t* p)
{
    return {_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)))};
}
MIVORA_KERNEL I8 operator-(I8 a, I8 b) { return {_mm256_sub_epi32(a.v, b.v)}; }
MIVORA_KERNEL F8 toFloat(I8 a) { return {_mm256_cvtepi32_ps(a.v)}; }
MIVORA_KERNEL I8 truncate(F8 a) { return {_mm256_cvttps_epi32(a.v)}; }
MIVORA_KERNEL void store(std::int32_t* p, I8 a) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a.v); }
// 8 values in 0 .. 255 as 8 bytes
MIVORA_KERNEL void storeBytes(std::uint8_t* p, I8 a)
{
    const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(a.v), _mm256_extracti128_si256(a.v, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(words, words));
}

#else

struct F8 {
    __m128 lo, hi;
};
struct I8 {
    __m128i lo, hi;
};
MIVORA_KERNEL F8 load(const float* p) { return {_mm_loadu_ps(p), _mm_loadu_ps(p + 4)}; }
MIVORA_KERNEL void store(float* p, F8 a)
{
    _mm_storeu_ps(p, a.lo);
    _mm_storeu_ps(p + 4, a.hi);
}
MIVORA_KERNEL F8 splat(float x) { return {_mm_set1_ps(x), _mm_set1_ps(x)}; }
MIVORA_KERNEL F8 zero() { return {_mm_setzero_ps(), _mm_setzero_ps()}; }
MIVORA_KERNEL F8 operator+(F8 a, F8 b) { return {_mm_add_ps(a.lo, b.lo), _mm_add_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 operator-(F8 a, F8 b) { return {_mm_sub_ps(a.lo, b.lo), _mm_sub_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 operator*(F8 a, F8 b) { return {_mm_mul_ps(a.lo, b.lo), _mm_mul_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 operator/(F8 a, F8 b) { return {_mm_div_ps(a.lo, b.lo), _mm_div_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 operator&(F8 a, F8 b) { return {_mm_and_ps(a.lo, b.lo), _mm_and_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 operator|(F8 a, F8 b) { return {_mm_or_ps(a.lo, b.lo), _mm_or_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 vmin(F8 a, F8 b) { return {_mm_min_ps(a.lo, b.lo), _mm_min_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 vsqrt(F8 a) { return {_mm_sqrt_ps(a.lo), _mm_sqrt_ps(a.hi)}; }
MIVORA_KERNEL F8 vabs(F8 a)
{
    const __m128 sign = _mm_set1_ps(-0.0f);
    return {_mm_andnot_ps(sign, a.lo), _mm_andnot_ps(sign, a.hi)};
}
MIVORA_KERNEL F8 greater(F8 a, F8 b) { return {_mm_cmpgt_ps(a.lo, b.lo), _mm_cmpgt_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 greaterEqual(F8 a, F8 b) { return {_mm_cmpge_ps(a.lo, b.lo), _mm_cmpge_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 equal(F8 a, F8 b) { return {_mm_cmpeq_ps(a.lo, b.lo), _mm_cmpeq_ps(a.hi, b.hi)}; }
MIVORA_KERNEL F8 select(F8 mask, F8 a, F8 b)
{
    return {_mm_or_ps(_mm_and_ps(mask.lo, a.lo), _mm_andnot_ps(mask.lo, b.lo)),
            _mm_or_ps(_mm_and_ps(mask.hi, a.hi), _mm_andnot_ps(mask.hi, b.hi))};
}
MIVORA_KERNEL F8 fmadd(F8 a, F8 b, F8 c) { return a * b + c; }
MIVORA_KERNEL I8 loadBytes(const std::uint8_t* p)
{
    const __m128i zeros = _mm_setzero_si128();
    const __m128i words = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zeros);
    return {_mm_unpacklo_epi16(words, zeros), _mm_unpackhi_epi16(words, zeros)};
}
MIVORA_KERNEL I8 operator-(I8 a, I8 b) { return {_mm_sub_epi32(a.lo, b.lo), _mm_sub_epi32(a.hi, b.hi)}; }
MIVORA_KERNEL F8 toFloat(I8 a) { return {_mm_cvtepi32_ps(a.lo), _mm_cvtepi32_ps(a.hi)}; }
MIVORA_KERNEL I8 truncate(F8 a) { return {_mm_cvttps_epi32(a.lo), _mm_cvttps_epi32(a.hi)}; }
MIVORA_KERNEL void store(std::int32_t* p, I8 a)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a.lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 4), a.hi);
}
MIVORA_KERNEL void storeBytes(std::uint8_t* p, I8 a)
{
    const __m128i words = _mm_packs_epi32(a.lo, a.hi);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(words, words));
}

#endif

MIVORA_KERNEL F8 lanes(float first) // first, first + 1, ..., first + 7
{
    alignas(32) float values[kVector];
    for (int i = 0; i < kVector; ++i)
        values[i] = first + static_cast<float>(i);
    return load(values);
}

MIVORA_KERNEL int roundUpToVector(int n) { return (n + kVector - 1) / kVector * kVector; }

// The FMA set takes these kernels from the AVX2 set: only the filters differ.
#if !MIVORA_SCAN_FMA

// ---------------------------------------------------------------------------
// dlib's resize_image(bilinear) for 8-bit images, as pyramid_down<6> calls it.

MIVORA_SCAN_TARGET void resize(const ResizeArgs& a)
{
    const ImageView& in = a.source;
    const ResizeColumns& cols = a.columns;
    const double yScale = (in.height - 1) / static_cast<double>(std::max(a.destinationHeight - 1, 1));
    double y = -yScale;
    const F8 half = splat(0.5f), one = splat(1.0f);
    for (int r = 0; r < a.destinationHeight; ++r) {
        y += yScale;
        const long top = static_cast<long>(std::floor(y));
        const long bottom = std::min<long>(top + 1, in.height - 1);
        const double tbFraction = y - top;
        const std::uint8_t* topRow = in.data + top * in.stride;
        const std::uint8_t* bottomRow = in.data + bottom * in.stride;
        std::uint8_t* out = a.destination + r * a.destinationStride;

        const F8 tb = splat(static_cast<float>(tbFraction));
        const F8 invTb = splat(static_cast<float>(1 - tbFraction));
        int c = 0;
        for (; c + kVector <= cols.vectorColumns; c += kVector) {
#if MIVORA_SCAN_AVX2
            // The 8 columns lie within 16 source bytes: one shuffle per row gathers them.
            const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cols.shuffle + 2 * c));
            const int base = cols.left[c];
            const __m128i topPairs =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(topRow + base)), mask);
            const __m128i bottomPairs =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bottomRow + base)), mask);
            const F8 tl{_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(topPairs))};
            const F8 tr{_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(topPairs, 8)))};
            const F8 bl{_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bottomPairs))};
            const F8 br{_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(bottomPairs, 8)))};
#else
            alignas(32) float tlv[kVector], trv[kVector], blv[kVector], brv[kVector];
            for (int i = 0; i < kVector; ++i) {
                tlv[i] = topRow[cols.left[c + i]];
                trv[i] = topRow[cols.right[c + i]];
                blv[i] = bottomRow[cols.left[c + i]];
                brv[i] = bottomRow[cols.right[c + i]];
            }
            const F8 tl = load(tlv), tr = load(trv), bl = load(blv), br = load(brv);
#endif
            const F8 lr = load(cols.fraction + c), invLr = load(cols.inverse + c);
            const F8 value = invTb * invLr * tl + invTb * lr * tr + tb * invLr * bl + tb * lr * br;
            // dlib rounds with (unsigned char)(value + 0.5) in double precision.
            const F8 whole = toFloat(truncate(value));
            const F8 rounded = whole + (greaterEqual(value - whole, half) & one);
            storeBytes(out + c, truncate(rounded));
        }
        for (; c < cols.vectorColumns; ++c) {
            const float lr = cols.fraction[c], invLr = cols.inverse[c];
            const float tbf = static_cast<float>(tbFraction), invTbf = static_cast<float>(1 - tbFraction);
            const float value = invTbf * invLr * topRow[cols.left[c]] + invTbf * lr * topRow[cols.right[c]] +
                                tbf * invLr * bottomRow[cols.left[c]] + tbf * lr * bottomRow[cols.right[c]];
            out[c] = static_cast<std::uint8_t>(static_cast<double>(value) + 0.5);
        }
        // dlib's last columns: double precision, truncated.
        for (; c < a.destinationWidth; ++c) {
            const float lr = cols.fraction[c];
            const float tl = topRow[cols.left[c]], tr = topRow[cols.right[c]];
            const float bl = bottomRow[cols.left[c]], br = bottomRow[cols.right[c]];
            const float value = static_cast<float>((1 - tbFraction) * ((1 - lr) * tl + lr * tr) +
                                                   tbFraction * ((1 - lr) * bl + lr * br));
            out[c] = value <= 0 ? 0 : value >= 255 ? 255 : static_cast<std::uint8_t>(value);
        }
    }
}

// ---------------------------------------------------------------------------
// fHOG gradient histograms.

// dlib's 9 orientation unit vectors, to 4 digits as dlib writes them; the
// other 9 are their opposites, and the set is symmetric about the y axis, so
// the first quadrant's 5 decide every pixel.
constexpr float kDirectionX[5] = {1.0000f, 0.9397f, 0.7660f, 0.500f, 0.1736f};
constexpr float kDirectionY[5] = {0.0000f, 0.3420f, 0.6428f, 0.8660f, 0.9848f};

// Slot s of a tile (group k0 + s) lies at position (s & ~7) | kSlotOrder[s & 7],
// so that a plain vector load of 8 slots transposes into 8 values per corner.
constexpr int kSlotOrder[8] = {0, 2, 4, 6, 1, 3, 5, 7};

// The 4 corners (top left, top right, bottom left, bottom right) of 8 slots.
MIVORA_KERNEL void transposeSlots(const float* block, F8& tl, F8& tr, F8& bl, F8& br)
{
#if MIVORA_SCAN_AVX2
    const __m256 a = _mm256_load_ps(block), b = _mm256_load_ps(block + 8);
    const __m256 c = _mm256_load_ps(block + 16), d = _mm256_load_ps(block + 24);
    const __m256 t0 = _mm256_unpacklo_ps(a, b), t1 = _mm256_unpackhi_ps(a, b);
    const __m256 t2 = _mm256_unpacklo_ps(c, d), t3 = _mm256_unpackhi_ps(c, d);
    tl.v = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    tr.v = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    bl.v = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    br.v = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
#else
    for (int half = 0; half < 2; ++half) {
        __m128 r0 = _mm_load_ps(block + 4 * half), r1 = _mm_load_ps(block + 8 + 4 * half);
        __m128 r2 = _mm_load_ps(block + 16 + 4 * half), r3 = _mm_load_ps(block + 24 + 4 * half);
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        (half == 0 ? tl.lo : tl.hi) = r0;
        (half == 0 ? tr.lo : tr.hi) = r1;
        (half == 0 ? bl.lo : bl.hi) = r2;
        (half == 0 ? br.lo : br.hi) = r3;
    }
#endif
}

// previous[7], current[0], ..., current[6]
MIVORA_KERNEL F8 shiftIn(F8 current, F8 previous)
{
#if MIVORA_SCAN_AVX2
    const __m256i up = _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6);
    return {_mm256_blend_ps(_mm256_permutevar8x32_ps(current.v, up), _mm256_permutevar8x32_ps(previous.v, up), 1)};
#else
    // (a3, b0, b1, b2)
    const auto join = [](__m128 a, __m128 b) {
        return _mm_shuffle_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 3, 3)), b, _MM_SHUFFLE(2, 1, 2, 0));
    };
    return {join(previous.hi, current.lo), join(current.lo, current.hi)};
#endif
}

MIVORA_KERNEL float lastLane(F8 a)
{
    alignas(32) float values[kVector];
    store(values, a);
    return values[kVector - 1];
}

// out[4 j + i] = magnitude[j] * corner[4 j + i]: each pixel's 4 bilinear weights.
MIVORA_KERNEL void spreadWeights(F8 magnitude, const float* corner, float* out)
{
#if MIVORA_SCAN_AVX2
    for (int pair = 0; pair < 4; ++pair) {
        const __m256i index = _mm256_setr_epi32(2 * pair, 2 * pair, 2 * pair, 2 * pair, 2 * pair + 1, 2 * pair + 1,
                                                2 * pair + 1, 2 * pair + 1);
        _mm256_store_ps(out + 8 * pair,
                        _mm256_mul_ps(_mm256_permutevar8x32_ps(magnitude.v, index), _mm256_load_ps(corner + 8 * pair)));
    }
#else
    const __m128 halves[2] = {magnitude.lo, magnitude.hi};
    for (int h = 0; h < 2; ++h) {
        float* o = out + 16 * h;
        const float* c = corner + 16 * h;
        _mm_store_ps(o, _mm_mul_ps(_mm_shuffle_ps(halves[h], halves[h], 0x00), _mm_load_ps(c)));
        _mm_store_ps(o + 4, _mm_mul_ps(_mm_shuffle_ps(halves[h], halves[h], 0x55), _mm_load_ps(c + 4)));
        _mm_store_ps(o + 8, _mm_mul_ps(_mm_shuffle_ps(halves[h], halves[h], 0xaa), _mm_load_ps(c + 8)));
        _mm_store_ps(o + 12, _mm_mul_ps(_mm_shuffle_ps(halves[h], halves[h], 0xff), _mm_load_ps(c + 12)));
    }
#endif
}

// One group of 8 pixels, x = 8k + 4 ...: for each pixel, the offset in the
// tile's slots of its bin's slot, and its 4 weights (bilinear share times
// gradient magnitude).
MIVORA_KERNEL void histogramGroup(const std::uint8_t* row, const std::uint8_t* above, const std::uint8_t* below, int k,
                                  int k0, int visibleColumns, const float* corner, std::int32_t* offsets,
                                  float* weights)
{
    const F8 one = splat(1.0f), nine = splat(9.0f), eighteen = splat(18.0f), zeroF = zero();
    const int x0 = 8 * k + 4;
    const I8 gxI = loadBytes(row + x0 + 1) - loadBytes(row + x0 - 1);
    const I8 gyI = loadBytes(below + x0) - loadBytes(above + x0);
    const F8 gx = toFloat(gxI), gy = toFloat(gyI);
    const F8 ax = vabs(gx), ay = vabs(gy);

    // dlib snaps to the direction of largest dot product, the first one on
    // ties; along the 5 directions of the quadrant the dot products rise to
    // the largest and then fall.
    const F8 d1 = ax * splat(kDirectionX[1]) + ay * splat(kDirectionY[1]);
    const F8 d2 = ax * splat(kDirectionX[2]) + ay * splat(kDirectionY[2]);
    const F8 d3 = ax * splat(kDirectionX[3]) + ay * splat(kDirectionY[3]);
    const F8 d4 = ax * splat(kDirectionX[4]) + ay * splat(kDirectionY[4]);
    const F8 q =
        ((greater(d1, ax) & one) + (greater(d2, d1) & one)) + ((greater(d3, d2) & one) + (greater(d4, d3) & one));
    // Unfold the quadrant: dlib's bin for gradients on the axes too.
    const F8 negativeY = greater(zeroF, gy);
    const F8 leftHalf = greater(zeroF, gx) | (equal(gx, zeroF) & negativeY);
    const F8 binLeft = select(negativeY, nine + q, nine - q);
    F8 binRight = select(negativeY, eighteen - q, q);
    binRight = select(equal(binRight, eighteen), zeroF, binRight);
    const F8 bin = select(leftHalf, binLeft, binRight);

    F8 magnitude = vsqrt(gx * gx + gy * gy);
    if (x0 < 1 || x0 + kVector > visibleColumns) {
        alignas(32) float xs[kVector];
        for (int j = 0; j < kVector; ++j)
            xs[j] = x0 + j >= 1 && x0 + j < visibleColumns ? 1.0f : 0.0f;
        magnitude = magnitude * load(xs);
    }
    const int s = k - k0;
    const float slot = static_cast<float>(4 * ((s & ~7) | kSlotOrder[s & 7]));
    store(offsets, truncate(bin * splat(static_cast<float>(4 * kTileGroups)) + splat(slot)));
    spreadWeights(magnitude, corner, weights);
}

MIVORA_SCAN_TARGET void histogram(const HistogramArgs& a)
{
    const ImageView& img = a.image;
    const std::ptrdiff_t histStride = a.histStride, histRow = kBins * histStride;
    constexpr int slotBinStride = 4 * kTileGroups;
    const F8 zeroF = zero();

    // Groups of 8 pixels starting at x = 8k + 4 all vote into cell columns k
    // and k + 1 (hist columns k + 1 and k + 2), with weights fixed per lane:
    // (j + 0.5) / 8 to the right one, exact.
    int groupEnd = -1;
    while (8 * groupEnd + 4 < a.visibleColumns)
        ++groupEnd;

    // A band: the pixel rows voting into hist rows m + 1 and m + 2.
    for (int m = -1;; ++m) {
        const int yBegin = std::max(1, 8 * m + 4), yEnd = std::min(a.visibleRows, 8 * m + 12);
        if (yBegin >= yEnd)
            break;
        float* topHist = a.hist + (m + 1) * histRow;
        float* bottomHist = topHist + histRow;
        for (int k0 = -1; k0 < groupEnd; k0 += kTileGroups) {
            const int k1 = std::min(groupEnd, k0 + kTileGroups);
            for (int y = yBegin; y < yEnd; ++y) {
                const std::uint8_t* row = img.data + y * img.stride;
                const std::uint8_t* above = row - img.stride;
                const std::uint8_t* below = row + img.stride;
                // Each pixel's 4 weights: right/left share times bottom/top share, exact.
                const float yp = (static_cast<float>(y) + 0.5f) / kCellSize - 0.5f;
                const float vy0 = yp - std::floor(yp), vy1 = 1.0f - vy0;
                alignas(32) float corner[4 * kVector];
                for (int j = 0; j < kVector; ++j) {
                    const float right = (j + 0.5f) / kCellSize, left = 1.0f - right;
                    corner[4 * j] = left * vy1;
                    corner[4 * j + 1] = right * vy1;
                    corner[4 * j + 2] = left * vy0;
                    corner[4 * j + 3] = right * vy0;
                }
                // First every group's offsets and weights, then the votes,
                // lane by lane across the groups: two votes for one slot
                // (same group, same bin) are then a tile apart, where the
                // processor no longer has the first store in flight; group
                // by group, it guesses wrong whether they collide.
                const int groups = k1 - k0;
                for (int g = 0; g < groups; ++g)
                    histogramGroup(row, above, below, k0 + g, k0, a.visibleColumns, corner,
                                   a.groupOffsets + kVector * g, a.groupWeights + 4 * kVector * g);
                float* const slots = a.slots;
                for (int j = 0; j < kVector; ++j) {
                    const std::int32_t* offsets = a.groupOffsets + j;
                    const float* weights = a.groupWeights + 4 * j;
                    for (int g = 0; g < groups; ++g) {
                        float* p = slots + offsets[kVector * g];
                        _mm_store_ps(p, _mm_add_ps(_mm_load_ps(p), _mm_load_ps(weights + 4 * kVector * g)));
                    }
                }
            }
            // The band's votes of this tile into the two hist rows: slot s
            // holds cell column k0 + s + 1 (left corners) and the next one
            // (right corners).
            const int blocks = (k1 - k0 + kVector - 1) / kVector;
            for (int b = 0; b < kBins; ++b) {
                float* slots = a.slots + b * slotBinStride;
                float* top = topHist + b * histStride + k0 + 1;
                float* bottom = bottomHist + b * histStride + k0 + 1;
                F8 previousTr = zeroF, previousBr = zeroF;
                for (int i = 0; i < blocks; ++i) {
                    F8 tl, tr, bl, br;
                    float* block = slots + 4 * kVector * i;
                    transposeSlots(block, tl, tr, bl, br);
                    for (int z = 0; z < 4; ++z)
                        store(block + z * kVector, zeroF);
                    store(top + kVector * i, load(top + kVector * i) + (tl + shiftIn(tr, previousTr)));
                    store(bottom + kVector * i, load(bottom + kVector * i) + (bl + shiftIn(br, previousBr)));
                    previousTr = tr;
                    previousBr = br;
                }
                top[kVector * blocks] += lastLane(previousTr);
                bottom[kVector * blocks] += lastLane(previousBr);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// fHOG features from the histograms, dlib's arithmetic vectorised over cells.

MIVORA_SCAN_TARGET void features(const FeatureArgs& a)
{
    const std::ptrdiff_t hs = a.histStride;
    const std::ptrdiff_t histRow = kBins * hs;
    const int normColumns = roundUpToVector(a.cellColumns);
    // Energy of each cell: sum over the 9 unsigned orientations of the squared vote.
    for (int r = 0; r < a.cellRows; ++r) {
        const float* h = a.hist + (r + 1) * histRow + 1;
        float* n = a.norms + r * hs;
        for (int c = 0; c < normColumns; c += kVector) {
            F8 sum = zero();
            for (int o = 0; o < 9; ++o) {
                const F8 u = load(h + o * hs + c) + load(h + (o + 9) * hs + c);
                sum = sum + u * u;
            }
            store(n + c, sum);
        }
    }
    // Per 2x2 block of cells: dlib's nn = 0.2 sqrt(energy + eps) and n = 0.1 / nn.
    const int blockRows = a.cellRows - 1;
    float* clip = a.blocks;
    float* scale = a.blocks + blockRows * hs;
    const F8 eps = splat(0.0001f), pointTwo = splat(0.2f), pointOne = splat(0.1f);
    for (int r = 0; r < blockRows; ++r) {
        const float* n0 = a.norms + r * hs;
        const float* n1 = n0 + hs;
        for (int c = 0; c < normColumns; c += kVector) {
            const F8 energy = load(n0 + c) + load(n0 + c + 1) + load(n1 + c) + load(n1 + c + 1);
            const F8 nn = pointTwo * vsqrt(energy + eps);
            store(clip + r * hs + c, nn);
            store(scale + r * hs + c, pointOne / nn);
        }
    }

    const F8 textureScale = splat(static_cast<float>(2 * 0.2357));
    const int outColumns = roundUpToVector(a.hogColumns);
    for (int y = 0; y < a.hogRows; ++y) {
        float* out = a.features + y * a.rowStride;
        const float* h = a.hist + (y + 2) * histRow + 2;
        for (int x = 0; x < outColumns; x += kVector) {
            // dlib's four lanes: the blocks below right, above right, below left, above left.
            const F8 nn0 = load(clip + (y + 1) * hs + x + 1), n0 = load(scale + (y + 1) * hs + x + 1);
            const F8 nn1 = load(clip + y * hs + x + 1), n1 = load(scale + y * hs + x + 1);
            const F8 nn2 = load(clip + (y + 1) * hs + x), n2 = load(scale + (y + 1) * hs + x);
            const F8 nn3 = load(clip + y * hs + x), n3 = load(scale + y * hs + x);
            F8 t0 = zero(), t1 = zero(), t2 = zero(), t3 = zero();
            for (int o = 0; o < kBins; o += 3) {
                F8 s0 = zero(), s1 = zero(), s2 = zero(), s3 = zero();
                for (int i = 0; i < 3; ++i) {
                    const F8 v = load(h + (o + i) * hs + x);
                    const F8 h0 = vmin(v, nn0) * n0, h1 = vmin(v, nn1) * n1;
                    const F8 h2 = vmin(v, nn2) * n2, h3 = vmin(v, nn3) * n3;
                    // dlib's sum of four lanes: (0 + 2) + (1 + 3)
                    store(out + (o + i) * a.planeStride + x, (h0 + h2) + (h1 + h3));
                    if (i == 0) {
                        s0 = h0, s1 = h1, s2 = h2, s3 = h3;
                    } else {
                        s0 = s0 + h0, s1 = s1 + h1, s2 = s2 + h2, s3 = s3 + h3;
                    }
                }
                t0 = t0 + s0, t1 = t1 + s1, t2 = t2 + s2, t3 = t3 + s3;
            }
            for (int o = 0; o < 9; ++o) {
                const F8 v = load(h + o * hs + x) + load(h + (o + 9) * hs + x);
                const F8 h0 = vmin(v, nn0) * n0, h1 = vmin(v, nn1) * n1;
                const F8 h2 = vmin(v, nn2) * n2, h3 = vmin(v, nn3) * n3;
                store(out + (kBins + o) * a.planeStride + x, (h0 + h2) + (h1 + h3));
            }
            store(out + 27 * a.planeStride + x, t0 * textureScale);
            store(out + 28 * a.planeStride + x, t1 * textureScale);
            store(out + 29 * a.planeStride + x, t2 * textureScale);
            store(out + 30 * a.planeStride + x, t3 * textureScale);
        }
        // The vectors ran past the last cell into the zero border: restore it.
        for (int p = 0; p < kPlanes; ++p)
            for (int x = a.hogColumns; x < outColumns; ++x)
                out[p * a.planeStride + x] = 0.0f;
    }
}

#endif // !MIVORA_SCAN_FMA

// ---------------------------------------------------------------------------
// The detectors' separable filters on one row of window positions.

// Vertical taps of `count` terms at once over `blocks` vectors of columns,
// each vector of feature rows loaded once for all of them: count * blocks
// independent sums keep both FMA units busy.
template <int count, int blocks>
MIVORA_KERNEL void verticalPass(const float* plane, std::ptrdiff_t rowStride, int taps, const float* columnTaps,
                                int begin, int end, float* out, int outStride)
{
    for (int c = begin; c < end; c += blocks * kVector) {
        F8 sum[count][blocks];
        for (int t = 0; t < count; ++t)
            for (int b = 0; b < blocks; ++b)
                sum[t][b] = zero();
        for (int m = 0; m < taps; ++m) {
            F8 v[blocks];
            for (int b = 0; b < blocks; ++b)
                v[b] = load(plane + m * rowStride + c + b * kVector);
            for (int t = 0; t < count; ++t) {
                const F8 w = splat(columnTaps[t * taps + m]);
                for (int b = 0; b < blocks; ++b)
                    sum[t][b] = fmadd(v[b], w, sum[t][b]);
            }
        }
        for (int t = 0; t < count; ++t)
            for (int b = 0; b < blocks; ++b)
                store(out + t * outStride + c + b * kVector, sum[t][b]);
    }
}

template <int count>
MIVORA_KERNEL void verticalPasses(const float* plane, std::ptrdiff_t rowStride, int taps, const float* columnTaps,
                                  int columns, float* out)
{
    const int pairs = columns / (2 * kVector) * (2 * kVector);
    verticalPass<count, 2>(plane, rowStride, taps, columnTaps, 0, pairs, out, columns);
    verticalPass<count, 1>(plane, rowStride, taps, columnTaps, pairs, columns, out, columns);
}

// Horizontal taps of several terms of one detector over `blocks` vectors of
// output columns, added to the scores. Short runs split each sum in two
// (even and odd taps) so that at least 8 sums are in flight.
template <int blocks>
MIVORA_KERNEL void horizontalPass(const float* vertical, int vectorColumns, int terms, int taps, const float* rowTaps,
                                  float* scores)
{
    constexpr int sets = blocks <= 4 ? 2 : 1;
    F8 sum[sets][blocks];
    for (int s = 0; s < sets; ++s)
        for (int b = 0; b < blocks; ++b)
            sum[s][b] = zero();
    for (int t = 0; t < terms; ++t) {
        const float* v = vertical + t * vectorColumns;
        const float* w = rowTaps + t * taps;
        int n = 0;
        for (; n + sets <= taps; n += sets)
            for (int s = 0; s < sets; ++s) {
                const F8 weight = splat(w[n + s]);
                for (int b = 0; b < blocks; ++b)
                    sum[s][b] = fmadd(load(v + b * kVector + n + s), weight, sum[s][b]);
            }
        for (; n < taps; ++n) {
            const F8 weight = splat(w[n]);
            for (int b = 0; b < blocks; ++b)
                sum[0][b] = fmadd(load(v + b * kVector + n), weight, sum[0][b]);
        }
    }
    for (int b = 0; b < blocks; ++b) {
        F8 total = sum[0][b];
        if (sets == 2)
            total = total + sum[sets - 1][b];
        store(scores + b * kVector, load(scores + b * kVector) + total);
    }
}

MIVORA_KERNEL void horizontalPasses(const float* vertical, int vectorColumns, int outColumns, int terms, int taps,
                                    const float* rowTaps, float* scores)
{
    int c = 0;
    for (; c + 8 * kVector <= outColumns; c += 8 * kVector)
        horizontalPass<8>(vertical + c, vectorColumns, terms, taps, rowTaps, scores + c);
    switch ((outColumns - c) / kVector) {
    case 1: horizontalPass<1>(vertical + c, vectorColumns, terms, taps, rowTaps, scores + c); break;
    case 2: horizontalPass<2>(vertical + c, vectorColumns, terms, taps, rowTaps, scores + c); break;
    case 3: horizontalPass<3>(vertical + c, vectorColumns, terms, taps, rowTaps, scores + c); break;
    case 4: horizontalPass<4>(vertical + c, vectorColumns, terms, taps, rowTaps, scores + c); break;
    case 5: horizontalPass<5>(vertical + c, vectorColumns, terms, taps, rowTaps, scores + c); break;
    case 6: horizontalPass<6>(vertical + c, vectorColumns, terms, taps, rowTaps, scores + c); break;
    case 7: horizontalPass<7>(vertical + c, vectorColumns, terms, taps, rowTaps, scores + c); break;
    default: break;
    }
}

MIVORA_SCAN_TARGET void filterRow(const FilterRowArgs& a)
{
    const FilterBank& bank = *a.bank;
    const int outColumns = roundUpToVector(a.outputColumns);
    for (int d = 0; d < bank.detectors; ++d)
        for (int c = 0; c < outColumns; c += kVector)
            store(a.scores + d * a.outputStride + c, zero());

    for (int p = 0; p < kPlanes; ++p) {
        const float* plane = a.features + p * a.planeStride;
        const int first = bank.planeTermBegin[p], terms = bank.planeTermBegin[p + 1] - first;
        // Chunks of at most kMaxTermChunk terms, as even as can be.
        const int chunks = (terms + kMaxTermChunk - 1) / kMaxTermChunk;
        for (int chunk = 0, t0 = first; chunk < chunks; ++chunk) {
            const int count = (terms * (chunk + 1)) / chunks - (terms * chunk) / chunks;
            const float* columnTaps = bank.termColumn + t0 * bank.filterRows;
            const int taps = bank.filterRows;
            switch (count) {
            case 1: verticalPasses<1>(plane, a.rowStride, taps, columnTaps, a.vectorColumns, a.vertical); break;
            case 2: verticalPasses<2>(plane, a.rowStride, taps, columnTaps, a.vectorColumns, a.vertical); break;
            case 3: verticalPasses<3>(plane, a.rowStride, taps, columnTaps, a.vectorColumns, a.vertical); break;
            case 4: verticalPasses<4>(plane, a.rowStride, taps, columnTaps, a.vectorColumns, a.vertical); break;
            case 5: verticalPasses<5>(plane, a.rowStride, taps, columnTaps, a.vectorColumns, a.vertical); break;
            default: verticalPasses<6>(plane, a.rowStride, taps, columnTaps, a.vectorColumns, a.vertical); break;
            }
            // Runs of terms of one detector share one pass over the scores.
            for (int run = 0; run < count;) {
                const int detector = bank.termDetector[t0 + run];
                int end = run + 1;
                while (end < count && bank.termDetector[t0 + end] == detector)
                    ++end;
                horizontalPasses(a.vertical + run * a.vectorColumns, a.vectorColumns, outColumns, end - run,
                                 bank.filterColumns, bank.termRow + (t0 + run) * bank.filterColumns,
                                 a.scores + detector * a.outputStride);
                run = end;
            }
            t0 += count;
        }
    }
}

#undef MIVORA_KERNEL
