#include "platform/linux/wayland/frame_damage.h"

#include <spa/buffer/meta.h>

namespace vx {

FrameStatus frameStatusOf(const spa_buffer& buffer) {
    if (buffer.n_datas < 1 || !buffer.datas) return kFrameStatusBlank;
    const spa_data& data = buffer.datas[0];
    if (!data.chunk || data.chunk->size == 0 || (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
        return kFrameStatusBlank;
    const spa_meta* damage = nullptr;
    for (uint32_t i = 0; i < buffer.n_metas; ++i)
        if (buffer.metas[i].type == SPA_META_VideoDamage) damage = &buffer.metas[i];
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

}  // namespace vx
