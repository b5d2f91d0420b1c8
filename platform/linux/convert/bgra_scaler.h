#pragma once
// Bilinear scaling of a BGRA picture, one output row at a time, with 1/64 steps
// between neighbouring pixels. Pixel centres are aligned (the output's first and
// last pixels sit half a step inside the source). Tables and the row scratch space
// are made once, at construction; scaleRow() allocates nothing.
//
// One thread at a time: scaleRow() uses the scaler's own scratch row.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vx {

class BgraScaler {
public:
    // All sizes positive.
    BgraScaler(int sourceWidth, int sourceHeight, int width, int height);

    // Writes output row `row` (0 <= row < height), width pixels, to out. source holds
    // sourceHeight rows of sourceWidth pixels, stride bytes apart.
    void scaleRow(const uint8_t* source, size_t stride, int row, uint8_t* out);

private:
    struct Tap {
        int32_t first;   // the source pixel (or row) on the near side
        int32_t weight;  // 0..64 towards first + 1
    };
    static std::vector<Tap> taps(int sourceSize, int size);

    int sourceWidth_;
    int sourceHeight_;
    int width_;
    std::vector<Tap> rows_;
    std::vector<int32_t> left_;
    std::vector<int8_t> weights_;  // {64 - w, w} per channel, 8 per output pixel
    std::vector<uint8_t> blended_;  // one source row plus a copy of its last pixel
};

}  // namespace vx
