#include "platform/linux/convert/pixel_rect.h"

#include <algorithm>
#include <limits>

namespace vx {

namespace {
// Beyond this many rectangles the search for the best pair costs more than a grab of
// their bounding box would waste.
constexpr size_t kMostPairsWorthTrying = 48;
}  // namespace

PixelRect intersection(const PixelRect& a, const PixelRect& b) {
    const int left = std::max(a.x, b.x), top = std::max(a.y, b.y);
    const int right = std::min(a.right(), b.right()), bottom = std::min(a.bottom(), b.bottom());
    if (right <= left || bottom <= top) return PixelRect{};
    return PixelRect{left, top, right - left, bottom - top};
}

PixelRect boundingBox(const PixelRect& a, const PixelRect& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    const int left = std::min(a.x, b.x), top = std::min(a.y, b.y);
    const int right = std::max(a.right(), b.right()), bottom = std::max(a.bottom(), b.bottom());
    return PixelRect{left, top, right - left, bottom - top};
}

bool overlaps(const PixelRect& a, const PixelRect& b) { return !intersection(a, b).empty(); }

void coalesce(std::vector<PixelRect>& rects, int64_t joinSlack, size_t maxCount) {
    rects.erase(std::remove_if(rects.begin(), rects.end(), [](const PixelRect& r) { return r.empty(); }),
                rects.end());
    if (rects.size() > kMostPairsWorthTrying) {
        PixelRect all;
        for (const PixelRect& r : rects) all = boundingBox(all, r);
        rects.assign(1, all);
    }
    while (rects.size() > 1) {
        // The pair whose bounding box wastes the fewest pixels. Overlapping parts count
        // as covered once, so overlapping rectangles always qualify.
        int64_t best = std::numeric_limits<int64_t>::max();
        size_t first = 0, second = 0;
        for (size_t i = 0; i < rects.size(); ++i) {
            for (size_t j = i + 1; j < rects.size(); ++j) {
                const int64_t covered = rects[i].area() + rects[j].area() -
                                        intersection(rects[i], rects[j]).area();
                const int64_t waste = boundingBox(rects[i], rects[j]).area() - covered;
                if (waste < best) best = waste, first = i, second = j;
            }
        }
        if (best > joinSlack && rects.size() <= maxCount) break;
        rects[first] = boundingBox(rects[first], rects[second]);
        rects.erase(rects.begin() + std::ptrdiff_t(second));
    }
}

PixelRect alignedOutwards(const PixelRect& r, int step, const PixelRect& bounds) {
    if (r.empty()) return PixelRect{};
    auto down = [step](int v) { return v >= 0 ? v / step * step : -((-v + step - 1) / step) * step; };
    auto up = [&](int v) { return -down(-v); };
    const int left = down(r.x), top = down(r.y);
    const PixelRect grown{left, top, up(r.right()) - left, up(r.bottom()) - top};
    return intersection(grown, bounds);
}

}  // namespace vx
