#include "platform/fitted_rect.h"

#include <algorithm>

namespace vx {

namespace {

constexpr int64_t kLargest = int64_t(1) << 31;

// numerator / denominator rounded to the nearest even number (ties up), at least 2
// and at most limit. Sizes are kept at or below 2^31, so the products fit in 64 bits.
int64_t evenNearest(int64_t numerator, int64_t denominator, int64_t limit) {
    const int64_t halves = (numerator + denominator) / (2 * denominator);
    return std::clamp<int64_t>(2 * halves, 2, limit);
}

// The even offset nearest to centring size in room (room - size is even).
int64_t evenCentre(int64_t room, int64_t size) { return ((room - size) / 2) & ~int64_t(1); }

}  // namespace

Rect fittedRect(int64_t sourceWidth, int64_t sourceHeight, int64_t width, int64_t height) {
    const int64_t W = std::clamp<int64_t>(width, 0, kLargest) & ~int64_t(1);
    const int64_t H = std::clamp<int64_t>(height, 0, kLargest) & ~int64_t(1);
    if (W < 2 || H < 2) return Rect{};
    if (sourceWidth <= 0 || sourceHeight <= 0) return Rect{0, 0, double(W), double(H)};
    sourceWidth = std::min(sourceWidth, kLargest);
    sourceHeight = std::min(sourceHeight, kLargest);

    int64_t w = W, h = H;
    // The axis whose scale is smaller fills the frame: W / sourceWidth <= H / sourceHeight.
    if (W * sourceHeight <= H * sourceWidth) h = evenNearest(sourceHeight * W, sourceWidth, H);
    else w = evenNearest(sourceWidth * H, sourceHeight, W);
    return Rect{double(evenCentre(W, w)), double(evenCentre(H, h)), double(w), double(h)};
}

}  // namespace vx
