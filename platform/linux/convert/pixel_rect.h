#pragma once
// Rectangles in whole pixels, and the few operations on sets of them that the
// capture needs to follow what changed on the screen.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vx {

// x, y: the top-left pixel; an empty rectangle has no width or no height.
struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PixelRect&) const = default;

    bool empty() const { return width <= 0 || height <= 0; }
    int64_t area() const { return empty() ? 0 : int64_t(width) * height; }
    int right() const { return x + width; }
    int bottom() const { return y + height; }
};

// The common part of a and b; empty when they do not meet.
PixelRect intersection(const PixelRect& a, const PixelRect& b);

// The smallest rectangle holding both; an empty one adds nothing.
PixelRect boundingBox(const PixelRect& a, const PixelRect& b);

bool overlaps(const PixelRect& a, const PixelRect& b);

// Replaces rects (empty ones dropped) by at most maxCount rectangles covering all of
// them: two are joined into their bounding box while that adds at most joinSlack
// pixels that neither covered, or while there are more than maxCount. Joining is
// what keeps one screen grab per rectangle affordable. maxCount >= 1.
void coalesce(std::vector<PixelRect>& rects, int64_t joinSlack, size_t maxCount);

// r grown outwards to multiples of `step` on every side, then clipped to bounds.
PixelRect alignedOutwards(const PixelRect& r, int step, const PixelRect& bounds);

}  // namespace vx
