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

BgraScaler::BgraScaler(int sourceWidth, int sourceHeight, int width, int height)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      width_(width),
      rows_(taps(sourceHeight, height)),
      left_(width),
      weights_(size_t(width) * 8),
      blended_((size_t(sourceWidth) + 1) * 4) {
    std::vector<Tap> columns = taps(sourceWidth, width);
    for (int i = 0; i < width; ++i) {
        left_[i] = columns[i].first;
        for (int c = 0; c < 4; ++c) {
            weights_[8 * i + 2 * c] = int8_t(64 - columns[i].weight);
            weights_[8 * i + 2 * c + 1] = int8_t(columns[i].weight);
        }
    }
}

void BgraScaler::scaleRow(const uint8_t* source, size_t stride, int row, uint8_t* out) {
    const Tap tap = rows_[row];
    const uint8_t* upper = source + stride * size_t(tap.first);
    const size_t bytes = size_t(sourceWidth_) * 4;
    if (tap.weight == 0) {
        std::memcpy(blended_.data(), upper, bytes);
    } else {
        const uint8_t* lower = source + stride * size_t(std::min(tap.first + 1, sourceHeight_ - 1));
        nv12::blendRows(upper, lower, tap.weight, bytes, blended_.data());
    }
    std::memcpy(blended_.data() + bytes, blended_.data() + bytes - 4, 4);
    nv12::resampleRow(blended_.data(), left_.data(), weights_.data(), width_, out);
}

}  // namespace vx
