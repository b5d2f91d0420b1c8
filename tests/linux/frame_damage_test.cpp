// Which screen-cast buffers become complete frames: damage metadata decides, a
// buffer without a picture never does; and which parts of the picture they name.
#include "platform/linux/wayland/frame_damage.h"

#include <gtest/gtest.h>
#include <spa/buffer/meta.h>

#include <vector>

namespace vx {
namespace {

struct Buffer {
    spa_chunk chunk{0, 64, 16, 0};
    spa_data data{};
    std::vector<spa_meta_region> regions;
    std::vector<spa_meta> metas;
    spa_buffer buffer{};

    // damage: no value for no damage metadata, else its regions (possibly none).
    explicit Buffer(std::optional<std::vector<spa_rectangle>> damage, uint32_t size = 64,
                    int32_t flags = 0) {
        chunk.size = size;
        chunk.flags = flags;
        data.type = SPA_DATA_MemPtr;
        data.maxsize = 64;
        data.chunk = &chunk;
        metas.push_back(spa_meta{SPA_META_Header, 0, nullptr});
        if (damage) {
            for (const spa_rectangle& size : *damage) regions.push_back(spa_meta_region{{{0, 0}, size}});
            metas.push_back(spa_meta{SPA_META_VideoDamage,
                                     uint32_t(regions.size() * sizeof(spa_meta_region)), regions.data()});
        }
        buffer.n_metas = uint32_t(metas.size());
        buffer.metas = metas.data();
        buffer.n_datas = 1;
        buffer.datas = &data;
    }
};

TEST(FrameDamage, DamageDecidesCompleteVersusIdle) {
    using Regions = std::vector<spa_rectangle>;
    const struct {
        const char* what;
        std::optional<Regions> damage;
        FrameStatus status;
    } cases[] = {
        {"no damage metadata: the producer does not say", std::nullopt, kFrameStatusComplete},
        {"one damaged region", Regions{{100, 20}}, kFrameStatusComplete},
        {"a region after an unused one is not read", Regions{{0, 0}, {10, 10}}, kFrameStatusIdle},
        {"room for regions, none used", Regions{{0, 0}, {0, 0}, {0, 0}, {0, 0}}, kFrameStatusIdle},
        {"a region without height", Regions{{100, 0}}, kFrameStatusIdle},
        {"no room for regions", Regions{}, kFrameStatusIdle},
    };
    for (const auto& c : cases) {
        Buffer buffer(c.damage);
        EXPECT_EQ(frameStatusOf(buffer.buffer), c.status) << c.what;
    }
}

TEST(FrameDamage, ABufferWithoutAPictureIsBlankWhateverItsDamage) {
    const std::vector<spa_rectangle> damaged{{100, 20}};
    EXPECT_EQ(frameStatusOf(Buffer(damaged, 0).buffer), kFrameStatusBlank);
    EXPECT_EQ(frameStatusOf(Buffer(damaged, 64, SPA_CHUNK_FLAG_CORRUPTED).buffer), kFrameStatusBlank);
    Buffer noData(damaged);
    noData.buffer.n_datas = 0;
    EXPECT_EQ(frameStatusOf(noData.buffer), kFrameStatusBlank);
}

TEST(FrameDamage, RegionsAreClippedToThePicture) {
    // A 100 x 50 picture.
    const struct {
        const char* what;
        std::vector<spa_region> damage;
        std::vector<PixelRect> regions;
    } cases[] = {
        {"inside", {{{10, 5}, {20, 10}}}, {{10, 5, 20, 10}}},
        {"two, both kept",
         {{{0, 0}, {4, 4}}, {{90, 40}, {10, 10}}},
         {{0, 0, 4, 4}, {90, 40, 10, 10}}},
        {"over the right and bottom edges", {{{90, 45}, {50, 50}}}, {{90, 45, 10, 5}}},
        {"from left of and above the picture", {{{-5, -5}, {10, 10}}}, {{0, 0, 5, 5}}},
        {"wholly outside", {{{200, 0}, {10, 10}}}, {}},
        {"huge sizes do not wrap",
         {{{-2000000000, 0}, {4000000000u, 4000000000u}}},
         {{0, 0, 100, 50}}},
        {"the list ends at an unused region", {{{0, 0}, {0, 0}}, {{10, 10}, {5, 5}}}, {}},
    };
    for (const auto& c : cases) {
        std::vector<spa_meta_region> regions;
        for (const spa_region& r : c.damage) regions.push_back(spa_meta_region{r});
        spa_meta meta{SPA_META_VideoDamage, uint32_t(regions.size() * sizeof(spa_meta_region)),
                      regions.data()};
        spa_buffer buffer{};
        buffer.n_metas = 1;
        buffer.metas = &meta;
        std::vector<PixelRect> found{{1, 1, 1, 1}};  // appended to, never replaced
        EXPECT_TRUE(appendDamage(buffer, 100, 50, found)) << c.what;
        std::vector<PixelRect> expected{{1, 1, 1, 1}};
        expected.insert(expected.end(), c.regions.begin(), c.regions.end());
        EXPECT_EQ(found, expected) << c.what;
    }
}

TEST(FrameDamage, NoDamageMetadataMeansAllMayHaveChanged) {
    std::vector<PixelRect> found;
    Buffer none(std::nullopt);
    EXPECT_FALSE(appendDamage(none.buffer, 100, 50, found));
    spa_meta empty{SPA_META_VideoDamage, 64, nullptr};
    spa_buffer unmapped{};
    unmapped.n_metas = 1;
    unmapped.metas = &empty;
    EXPECT_FALSE(appendDamage(unmapped, 100, 50, found));
    EXPECT_TRUE(found.empty());
}

}  // namespace
}  // namespace vx
