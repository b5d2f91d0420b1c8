#pragma once
// The inner loops of the BGRA -> NV12 conversion (BT.709, video range) and of the
// bilinear BGRA scaler, each in a portable form and, where the processor has AVX2,
// a vectorised one chosen at run time (built on x86 only). Both forms give identical
// results.
//
// Pixels are 4 bytes, B, G, R, X (the fourth byte is ignored). Fixed point: luma
// and chroma coefficients are scaled by 2^15; a chroma sample is computed from the
// sum of its 2x2 block, so it is the rounded average of the four pixels' values.
#include <cstddef>
#include <cstdint>

namespace vx::nv12 {

// Two source rows of width pixels (width even, > 0) become two luma rows and one
// row of interleaved Cb, Cr (width bytes).
void convertRowPair(const uint8_t* row0, const uint8_t* row1, int width, uint8_t* luma0,
                    uint8_t* luma1, uint8_t* chroma);
void convertRowPairPortable(const uint8_t* row0, const uint8_t* row1, int width, uint8_t* luma0,
                            uint8_t* luma1, uint8_t* chroma);

// out[i] = (row0[i] * (64 - weight) + row1[i] * weight + 32) >> 6 over count bytes;
// weight in 0..64.
void blendRows(const uint8_t* row0, const uint8_t* row1, int weight, size_t count, uint8_t* out);
void blendRowsPortable(const uint8_t* row0, const uint8_t* row1, int weight, size_t count,
                       uint8_t* out);

// Horizontal resampling of one row: output pixel i is pixel left[i] blended with
// pixel left[i] + 1, with weights[8 i .. 8 i + 7] = {64 - w, w} four times (one pair
// per channel), w in 0..64. The row must hold a pixel at left[i] + 1.
void resampleRow(const uint8_t* row, const int32_t* left, const int8_t* weights, int count,
                 uint8_t* out);
void resampleRowPortable(const uint8_t* row, const int32_t* left, const int8_t* weights,
                         int count, uint8_t* out);

// True when the vectorised forms are in use.
bool vectorised();

// Uses the vectorised forms where the processor has them (the default), or the
// portable ones only. Returns vectorised(). For comparing the two; any thread, but
// conversions running at the time may mix the two forms (they give the same bytes).
bool setVectorised(bool wanted);

}  // namespace vx::nv12
