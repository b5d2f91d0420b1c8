#pragma once
// Bilinear scaling of a BGRA picture, one output row (or part of one) at a time,
// with 1/64 steps between neighbouring pixels. Pixel centres are aligned (the
// output's first and last pixels sit half a step inside the source). Tables and the
// row scratch space are made once, at construction; scaleRow() allocates nothing.
//
// One thread at a time: scaleRow() uses the scaler's own scratch row.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vx {

class BgraScaler {
public:
    // All sizes positive.
    BgraScaler(int sourceWidth, int sourceHeight, int width, int height);

    // Writes output pixels [from, to) of output row `row` (0 <= row < height,
    // 0 <= from < to <= width) to out (to - from pixels). source holds sourceHeight
    // rows of sourceWidth pixels, stride bytes apart; only the source pixels those
    // output pixels depend on are read.
    void scaleRow(const uint8_t* source, size_t stride, int row, int from, int to, uint8_t* out);

    // The output columns [first, last) whose value depends on any of the source columns
    // [from, to); likewise for rows. Empty (first == last) when none does.
    std::pair<int, int> columnsReading(int from, int to) const;
    std::pair<int, int> rowsReading(int from, int to) const;

private:
    struct Tap {
        int32_t first;   // the source pixel (or row) on the near side
        int32_t weight;  // 0..64 towards first + 1
    };
    static std::vector<Tap> taps(int sourceSize, int size);
    static std::pair<int, int> reading(const std::vector<Tap>& taps, int from, int to);

    int sourceWidth_;
    int sourceHeight_;
    int width_;
    std::vector<Tap> rows_;
    std::vector<Tap> columns_;
    std::vector<int32_t> left_;
    std::vector<int8_t> weights_;  // {64 - w, w} per channel, 8 per output pixel
    std::vector<uint8_t> blended_;  // one source row plus a copy of its last pixel
};

}  // namespace vx
