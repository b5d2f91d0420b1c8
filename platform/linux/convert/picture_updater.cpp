#include "platform/linux/convert/picture_updater.h"

#include <algorithm>
#include <cstring>

namespace vx {

namespace {
// Regions are joined while that converts at most a few macroblocks more than needed.
constexpr int64_t kRegionSlack = 4 * 16 * 16;
constexpr size_t kMostRegions = 16;
}  // namespace

PictureUpdater::PictureUpdater(Nv12Converter converter) : converter_(std::move(converter)) {}

bool PictureUpdater::update(const uint8_t* source, size_t stride,
                            const std::vector<PixelRect>& changed, bool everything,
                            ImageBuffer& picture) {
    if (!converter_.fits(picture)) return false;
    const PixelRect& area = converter_.destination();
    const uint64_t frame = sequence_ + 1;
    std::vector<PixelRect>& regions = history_[frame % kHistory];
    regions.clear();
    if (everything || sequence_ == 0) {
        regions.push_back(area);
    } else {
        for (const PixelRect& part : changed) regions.push_back(converter_.affected(part));
        coalesce(regions, kRegionSlack, kMostRegions);
    }

    const uint64_t held = picture.sequence();
    if (held == 0 || held >= frame || frame - held > kHistory) {
        converter_.convert(source, stride, picture);
    } else {
        stale_.clear();
        for (uint64_t n = held + 1; n <= frame; ++n)
            stale_.insert(stale_.end(), history_[n % kHistory].begin(), history_[n % kHistory].end());
        coalesce(stale_, kRegionSlack, kMostRegions);
        for (const PixelRect& region : stale_) converter_.convertRegion(source, stride, region, picture);
    }
    markMacroblocks(regions, picture);
    picture.setSequence(frame);
    sequence_ = frame;
    return true;
}

void PictureUpdater::markMacroblocks(const std::vector<PixelRect>& regions,
                                     ImageBuffer& picture) const {
    const int wide = picture.macroblocksWide();
    uint8_t* map = picture.changedMacroblocks();
    std::memset(map, 0, size_t(wide) * size_t(picture.macroblocksHigh()));
    for (const PixelRect& r : regions) {
        if (r.empty()) continue;
        const int left = r.x / 16, right = (r.right() + 15) / 16;
        for (int row = r.y / 16; row < (r.bottom() + 15) / 16; ++row)
            std::memset(map + size_t(row) * size_t(wide) + size_t(left), 1, size_t(right - left));
    }
}

}  // namespace vx
