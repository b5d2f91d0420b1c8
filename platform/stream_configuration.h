#pragma once
// What the capture is asked to deliver: the content filter and the stream
// configuration. Plain values; every setter is also noted in calls(), in order,
// so that the order in which the program configured a stream can be seen.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/media_time.h"
#include "platform/shareable_content.h"

namespace vx {

struct ContentFilter {
    Display display;
    std::vector<RunningApplication> excludedApplications;
    std::vector<uint32_t> exceptingWindows;
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

struct Color {
    double red = 0, green = 0, blue = 0, alpha = 1;
    bool operator==(const Color&) const = default;
};
inline constexpr Color kColorBlack{0, 0, 0, 1};

// Bi-planar 8-bit 4:2:0 Y'CbCr, video range ('420v').
inline constexpr uint32_t kPixelFormat420v = 0x34323076;
inline constexpr const char* kYCbCrMatrixITU_R_709_2 = "ITU_R_709_2";

class StreamConfiguration {
public:
    void setCapturesAudio(bool v) { capturesAudio = v; note("setCapturesAudio"); }
    void setExcludesCurrentProcessAudio(bool v) { excludesCurrentProcessAudio = v; note("setExcludesCurrentProcessAudio"); }
    void setSampleRate(int64_t v) { sampleRate = v; note("setSampleRate"); }
    void setChannelCount(int64_t v) { channelCount = v; note("setChannelCount"); }
    void setWidth(int64_t v) { width = v; note("setWidth"); }
    void setHeight(int64_t v) { height = v; note("setHeight"); }
    void setMinimumFrameInterval(Time v) { minimumFrameInterval = v; note("setMinimumFrameInterval"); }
    void setDestinationRect(Rect v) { destinationRect = v; hasDestinationRect = true; note("setDestinationRect"); }
    void setBackgroundColor(Color v) { backgroundColor = v; note("setBackgroundColor"); }
    void setPixelFormat(uint32_t v) { pixelFormat = v; note("setPixelFormat"); }
    void setColorMatrix(std::string v) { colorMatrix = std::move(v); note("setColorMatrix"); }
    void setQueueDepth(int64_t v) { queueDepth = v; note("setQueueDepth"); }
    void setShowsCursor(bool v) { showsCursor = v; note("setShowsCursor"); }

    const std::vector<std::string>& calls() const { return calls_; }

    // Values, with the platform's defaults for those never set.
    bool capturesAudio = false;
    bool excludesCurrentProcessAudio = false;
    int64_t sampleRate = 48000;
    int64_t channelCount = 2;
    int64_t width = 1920;
    int64_t height = 1080;
    Time minimumFrameInterval{1, 60};
    Rect destinationRect;
    bool hasDestinationRect = false;  // false: the whole frame
    Color backgroundColor = kColorBlack;
    uint32_t pixelFormat = kPixelFormat420v;
    std::string colorMatrix = kYCbCrMatrixITU_R_709_2;
    int64_t queueDepth = 8;
    bool showsCursor = true;

private:
    void note(const char* setter) { calls_.emplace_back(setter); }
    std::vector<std::string> calls_;
};

}  // namespace vx
