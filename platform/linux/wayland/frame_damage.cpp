#include "platform/linux/wayland/frame_damage.h"

#include <spa/buffer/meta.h>

#include <algorithm>

namespace vx {

namespace {

const spa_meta* damageOf(const spa_buffer& buffer) {
    for (uint32_t i = 0; i < buffer.n_metas; ++i)
        if (buffer.metas[i].type == SPA_META_VideoDamage) return &buffer.metas[i];
    return nullptr;
}

}  // namespace

FrameStatus frameStatusOf(const spa_buffer& buffer) {
    if (buffer.n_datas < 1 || !buffer.datas) return kFrameStatusBlank;
    const spa_data& data = buffer.datas[0];
    if (!data.chunk || data.chunk->size == 0 || (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
        return kFrameStatusBlank;
    const spa_meta* damage = damageOf(buffer);
    if (!damage) return kFrameStatusComplete;
    if (!damage->data) return kFrameStatusIdle;
    const auto* region = static_cast<const spa_meta_region*>(damage->data);
    const size_t count = damage->size / sizeof(spa_meta_region);
    // Regions end at the first one of zero size.
    for (size_t i = 0; i < count; ++i) {
        if (region[i].region.size.width == 0 || region[i].region.size.height == 0) break;
        return kFrameStatusComplete;
    }
    return kFrameStatusIdle;
}

bool appendDamage(const spa_buffer& buffer, int width, int height,
                  std::vector<PixelRect>& regions) {
    const spa_meta* damage = damageOf(buffer);
    if (!damage || !damage->data) return false;
    const auto* region = static_cast<const spa_meta_region*>(damage->data);
    const size_t count = damage->size / sizeof(spa_meta_region);
    for (size_t i = 0; i < count; ++i) {
        const spa_rectangle& size = region[i].region.size;
        if (size.width == 0 || size.height == 0) break;
        const spa_point& at = region[i].region.position;
        const int64_t left = std::max<int64_t>(at.x, 0), top = std::max<int64_t>(at.y, 0);
        const int64_t right = std::min<int64_t>(int64_t(at.x) + size.width, width);
        const int64_t bottom = std::min<int64_t>(int64_t(at.y) + size.height, height);
        const PixelRect clipped =
            right > left && bottom > top
                ? PixelRect{int(left), int(top), int(right - left), int(bottom - top)}
                : PixelRect{};
        if (!clipped.empty()) regions.push_back(clipped);
    }
    return true;
}

}  // namespace vx
