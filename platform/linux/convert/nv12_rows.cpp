#include "platform/linux/convert/nv12_rows.h"

#include <atomic>
#include <cstring>

// The vectorised forms are built for x86 only, with the AVX2 instructions enabled per
// function, so the file builds with any x86 compiler settings and on any processor;
// whether they run is decided when the program starts.
#if defined(__x86_64__) || defined(__i386__)
#define VX_HAS_AVX2_FORMS 1
#include <immintrin.h>
#else
#define VX_HAS_AVX2_FORMS 0
#endif

namespace vx::nv12 {

namespace {

// BT.709 video range, scaled by 2^15: Y = 16 + 219/255 (Kr R + Kg G + Kb B), and the
// chroma rows 224/255 of the colour differences. Each chroma row sums to zero, so
// grey gives exactly 128.
constexpr int kYR = 5983, kYG = 20127, kYB = 2032;
constexpr int kUR = -3298, kUG = -11094, kUB = 14392;
constexpr int kVR = 14392, kVG = -13073, kVB = -1319;
constexpr int kLumaBias = (16 << 15) + (1 << 14);
// Chroma works on sums of four pixels: two more bits to shift away.
constexpr int kChromaBias = (128 << 17) + (1 << 16);

inline uint8_t clampByte(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

inline uint8_t luma(const uint8_t* p) {
    return clampByte((kYB * p[0] + kYG * p[1] + kYR * p[2] + kLumaBias) >> 15);
}

bool detectAvx2() {
#if VX_HAS_AVX2_FORMS
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}
const bool kAvx2Available = detectAvx2();
std::atomic<bool> useAvx2{kAvx2Available};

#if VX_HAS_AVX2_FORMS
#define VX_AVX2 __attribute__((target("avx2")))

// Four vectors of eight 32-bit values (each holding values 0-3 | 4-7 of its group
// of eight, lane by lane) -> 32 bytes in order.
VX_AVX2 inline __m256i packInOrder(const __m256i* v) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    return _mm256_permutevar8x32_epi32(
        _mm256_packus_epi16(_mm256_packs_epi32(v[0], v[1]), _mm256_packs_epi32(v[2], v[3])),
        order);
}

// 32 pixels of both rows, from pixel x. Unpacking to 16 bits puts pixels (0, 1 | 4, 5)
// in the low halves and (2, 3 | 6, 7) in the high halves of the two 128-bit lanes; a
// horizontal add of the two products restores the order within each lane, and
// packInOrder() undoes the lane split of the packs.
VX_AVX2 inline void convertBlockAvx2(const uint8_t* row0, const uint8_t* row1, int x,
                                     uint8_t* luma0, uint8_t* luma1, uint8_t* chroma) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i cy = _mm256_setr_epi16(kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0,
                                         kYB, kYG, kYR, 0);
    const __m256i cuv = _mm256_setr_epi16(kUB, kUG, kUR, 0, kVB, kVG, kVR, 0, kUB, kUG, kUR, 0,
                                          kVB, kVG, kVR, 0);
    const __m256i lumaBias = _mm256_set1_epi32(kLumaBias);
    const __m256i chromaBias = _mm256_set1_epi32(kChromaBias);
    __m256i y0[4], y1[4], uv[4];
    for (int k = 0; k < 4; ++k) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + 4 * (x + 8 * k)));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + 4 * (x + 8 * k)));
        __m256i alo = _mm256_unpacklo_epi8(a, zero), ahi = _mm256_unpackhi_epi8(a, zero);
        __m256i blo = _mm256_unpacklo_epi8(b, zero), bhi = _mm256_unpackhi_epi8(b, zero);
        y0[k] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(_mm256_madd_epi16(alo, cy),
                                                                     _mm256_madd_epi16(ahi, cy)),
                                                   lumaBias), 15);
        y1[k] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(_mm256_madd_epi16(blo, cy),
                                                                     _mm256_madd_epi16(bhi, cy)),
                                                   lumaBias), 15);
        // Column sums, then the two pixels of each pair added into both halves, so one
        // multiply gives the Cb terms in one half and the Cr terms in the other.
        __m256i slo = _mm256_add_epi16(alo, blo), shi = _mm256_add_epi16(ahi, bhi);
        slo = _mm256_add_epi16(slo, _mm256_shuffle_epi32(slo, 0x4E));
        shi = _mm256_add_epi16(shi, _mm256_shuffle_epi32(shi, 0x4E));
        uv[k] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(_mm256_madd_epi16(slo, cuv),
                                                                     _mm256_madd_epi16(shi, cuv)),
                                                   chromaBias), 17);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(luma0 + x), packInOrder(y0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(luma1 + x), packInOrder(y1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(chroma + x), packInOrder(uv));
}

VX_AVX2 void convertRowPairAvx2(const uint8_t* row0, const uint8_t* row1, int width,
                                uint8_t* luma0, uint8_t* luma1, uint8_t* chroma) {
    if (width < 32) {
        convertRowPairPortable(row0, row1, width, luma0, luma1, chroma);
        return;
    }
    int x = 0;
    for (; x + 32 <= width; x += 32) convertBlockAvx2(row0, row1, x, luma0, luma1, chroma);
    // The last block overlaps the one before; it writes the same values again.
    if (x < width) convertBlockAvx2(row0, row1, width - 32, luma0, luma1, chroma);
}

VX_AVX2 void blendRowsAvx2(const uint8_t* row0, const uint8_t* row1,
                                                   int weight, size_t count, uint8_t* out) {
    const __m256i weights = _mm256_set1_epi16(int16_t((weight << 8) | (64 - weight)));
    const __m256i half = _mm256_set1_epi16(32);
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + i));
        __m256i lo = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(a, b), weights);
        __m256i hi = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(a, b), weights);
        lo = _mm256_srli_epi16(_mm256_add_epi16(lo, half), 6);
        hi = _mm256_srli_epi16(_mm256_add_epi16(hi, half), 6);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_packus_epi16(lo, hi));
    }
    blendRowsPortable(row0 + i, row1 + i, weight, count - i, out + i);
}

VX_AVX2 void resampleRowAvx2(const uint8_t* row, const int32_t* left,
                                                     const int8_t* weights, int count,
                                                     uint8_t* out) {
    // Within each lane: pixel pair (p, p + 1) -> B B G G R R X X for two outputs.
    const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,
                                           0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i half = _mm256_set1_epi16(32);
    auto load = [row](int32_t pixel) {
        int64_t v;
        std::memcpy(&v, row + 4 * size_t(pixel), 8);
        return v;
    };
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        __m256i v = _mm256_setr_epi64x(load(left[i]), load(left[i + 1]), load(left[i + 2]),
                                       load(left[i + 3]));
        v = _mm256_shuffle_epi8(v, pairs);
        __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + 8 * i));
        __m256i m = _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(v, w), half), 6);
        __m256i p = _mm256_permute4x64_epi64(_mm256_packus_epi16(m, m), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm256_castsi256_si128(p));
    }
    resampleRowPortable(row, left + i, weights + 8 * i, count - i, out + 4 * i);
}
#endif  // VX_HAS_AVX2_FORMS

bool avx2() { return VX_HAS_AVX2_FORMS && useAvx2.load(std::memory_order_relaxed); }

}  // namespace

void convertRowPairPortable(const uint8_t* row0, const uint8_t* row1, int width, uint8_t* luma0,
                            uint8_t* luma1, uint8_t* chroma) {
    for (int x = 0; x < width; x += 2) {
        const uint8_t* a = row0 + 4 * x;
        const uint8_t* b = row1 + 4 * x;
        luma0[x] = luma(a);
        luma0[x + 1] = luma(a + 4);
        luma1[x] = luma(b);
        luma1[x + 1] = luma(b + 4);
        int sb = a[0] + a[4] + b[0] + b[4];
        int sg = a[1] + a[5] + b[1] + b[5];
        int sr = a[2] + a[6] + b[2] + b[6];
        chroma[x] = clampByte((kUB * sb + kUG * sg + kUR * sr + kChromaBias) >> 17);
        chroma[x + 1] = clampByte((kVB * sb + kVG * sg + kVR * sr + kChromaBias) >> 17);
    }
}

void blendRowsPortable(const uint8_t* row0, const uint8_t* row1, int weight, size_t count,
                       uint8_t* out) {
    for (size_t i = 0; i < count; ++i)
        out[i] = uint8_t((row0[i] * (64 - weight) + row1[i] * weight + 32) >> 6);
}

void resampleRowPortable(const uint8_t* row, const int32_t* left, const int8_t* weights,
                         int count, uint8_t* out) {
    for (int i = 0; i < count; ++i) {
        const uint8_t* p = row + 4 * size_t(left[i]);
        const int8_t* w = weights + 8 * i;
        for (int c = 0; c < 4; ++c)
            out[4 * i + c] = clampByte((p[c] * w[2 * c] + p[c + 4] * w[2 * c + 1] + 32) >> 6);
    }
}

void convertRowPair(const uint8_t* row0, const uint8_t* row1, int width, uint8_t* luma0,
                    uint8_t* luma1, uint8_t* chroma) {
#if VX_HAS_AVX2_FORMS
    if (avx2()) return convertRowPairAvx2(row0, row1, width, luma0, luma1, chroma);
#endif
    convertRowPairPortable(row0, row1, width, luma0, luma1, chroma);
}

void blendRows(const uint8_t* row0, const uint8_t* row1, int weight, size_t count, uint8_t* out) {
#if VX_HAS_AVX2_FORMS
    if (avx2()) return blendRowsAvx2(row0, row1, weight, count, out);
#endif
    blendRowsPortable(row0, row1, weight, count, out);
}

void resampleRow(const uint8_t* row, const int32_t* left, const int8_t* weights, int count,
                 uint8_t* out) {
#if VX_HAS_AVX2_FORMS
    if (avx2()) return resampleRowAvx2(row, left, weights, count, out);
#endif
    resampleRowPortable(row, left, weights, count, out);
}

bool vectorised() { return avx2(); }

bool setVectorised(bool wanted) {
    useAvx2.store(wanted && kAvx2Available);
    return avx2();
}

}  // namespace vx::nv12
