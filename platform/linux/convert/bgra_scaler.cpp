#include "platform/linux/convert/bgra_scaler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/linux/convert/nv12_rows.h"

namespace vx {

std::vector<BgraScaler::Tap> BgraScaler::taps(int sourceSize, int size) {
    std::vector<Tap> result(size);
    const double step = double(sourceSize) / size;
    for (int i = 0; i < size; ++i) {
        double position = std::max(0.0, (i + 0.5) * step - 0.5);
        int first = int(position);
        int weight = int(std::lround((position - first) * 64));
        if (weight == 64) ++first, weight = 0;
        if (first >= sourceSize - 1) first = sourceSize - 1, weight = 0;
        result[i] = Tap{first, weight};
    }
    return result;
}

std::pair<int, int> BgraScaler::reading(const std::vector<Tap>& taps, int from, int to) {
    // Output i reads source pixels first and first + 1 (the latter with a weight that
    // may be 0: counted all the same). Taps never go backwards.
    auto begin = std::partition_point(taps.begin(), taps.end(),
                                      [from](const Tap& t) { return t.first + 1 < from; });
    auto end = std::partition_point(begin, taps.end(),
                                    [to](const Tap& t) { return t.first < to; });
    return {int(begin - taps.begin()), int(end - taps.begin())};
}

BgraScaler::BgraScaler(int sourceWidth, int sourceHeight, int width, int height)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      width_(width),
      rows_(taps(sourceHeight, height)),
      columns_(taps(sourceWidth, width)),
      left_(width),
      weights_(size_t(width) * 8),
      blended_((size_t(sourceWidth) + 1) * 4) {
    for (int i = 0; i < width; ++i) {
        left_[i] = columns_[i].first;
        for (int c = 0; c < 4; ++c) {
            weights_[8 * i + 2 * c] = int8_t(64 - columns_[i].weight);
            weights_[8 * i + 2 * c + 1] = int8_t(columns_[i].weight);
        }
    }
}

std::pair<int, int> BgraScaler::columnsReading(int from, int to) const {
    return reading(columns_, from, to);
}

std::pair<int, int> BgraScaler::rowsReading(int from, int to) const {
    return reading(rows_, from, to);
}

void BgraScaler::scaleRow(const uint8_t* source, size_t stride, int row, int from, int to,
                          uint8_t* out) {
    const Tap tap = rows_[row];
    // The source columns these outputs read, pixel first .. last + 1 (the copy past
    // the end stands in for a pixel beyond the last one).
    const size_t first = size_t(left_[from]);
    const size_t last = std::min(size_t(left_[to - 1]) + 1, size_t(sourceWidth_) - 1);
    const size_t offset = first * 4;
    const size_t bytes = (last + 1 - first) * 4;
    const uint8_t* upper = source + stride * size_t(tap.first);
    if (tap.weight == 0) {
        std::memcpy(blended_.data() + offset, upper + offset, bytes);
    } else {
        const uint8_t* lower = source + stride * size_t(std::min(tap.first + 1, sourceHeight_ - 1));
        nv12::blendRows(upper + offset, lower + offset, tap.weight, bytes, blended_.data() + offset);
    }
    const size_t end = size_t(sourceWidth_) * 4;
    if (last == size_t(sourceWidth_) - 1) std::memcpy(blended_.data() + end, blended_.data() + end - 4, 4);
    nv12::resampleRow(blended_.data(), left_.data() + from, weights_.data() + 8 * size_t(from),
                      to - from, out);
}

}  // namespace vx
