#include "platform/linux/screen_settings.h"

#include <string>

namespace vx {

namespace {

bool usableSide(int64_t size) { return size >= 2 && size <= kMaxScreenPictureSize; }

}  // namespace

std::optional<Error> refusedPictureSize(int64_t width, int64_t height) {
    if (usableSide(width) && usableSide(height)) return std::nullopt;
    return Error{kDisplayUnsupported, "the screen capture cannot make " + std::to_string(width) +
                                          "x" + std::to_string(height) +
                                          " pictures (each side 2 to " +
                                          std::to_string(kMaxScreenPictureSize) + " pixels)"};
}

uint64_t frameIntervalNanoseconds(Time interval) {
    if (interval.value <= 0 || interval.timescale <= 0) return 1000000000 / 60;
    return uint64_t(interval.value) * 1000000000u / uint64_t(interval.timescale);
}

}  // namespace vx
