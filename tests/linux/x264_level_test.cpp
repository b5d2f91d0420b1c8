// The H.264 level the stream signals: the lowest that holds its picture size, frame rate
// and peak bit rate, 4.2 at the least, read back by a decoder (ffprobe) at the sizes
// where one level ends and the next begins.
#include "platform/linux/x264/x264_session.h"
#include "platform/nv12/image_buffer.h"
#include "x264_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

namespace vx {
namespace {

struct Case {
    int width, height, fps;
    int64_t kilobitsPerSecond;
    int level;  // level_idc
};

TEST(X264Level, TheLowestThatHoldsSizeRateAndBitRate) {
    const Case cases[] = {
        {320, 240, 60, 2000, 42},
        {1920, 1080, 60, 18000, 42},
        {2048, 1088, 60, 18000, 42},     // 8704 macroblocks: 4.2's largest picture
        {2048, 1104, 30, 18000, 50},     // one row more
        {2560, 1440, 30, 18000, 50},
        {2560, 1440, 60, 18000, 51},     // 864000 macroblocks a second
        {3840, 2160, 30, 18000, 51},
        {3840, 2160, 60, 18000, 52},
        {3840, 2160, 120, 18000, 60},
        {7680, 4320, 60, 18000, 61},
        {8192, 4320, 120, 18000, 62},
        {1920, 1080, 60, 62500, 42},     // 4.2's peak rate in the High profile
        {1920, 1080, 60, 62501, 50},
        {1920, 1080, 60, 2000000, 62},   // beyond every level: the highest
        {16384, 16384, 60, 2000, 62},
        {8192, 1088, 1, 2000, 51},       // 512 macroblocks wide: too wide for 5.0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "@" +
                     std::to_string(c.fps) + ", " + std::to_string(c.kilobitsPerSecond) + " kbit/s");
        EXPECT_EQ(X264Settings::levelFor(c.width, c.height, c.fps, c.kilobitsPerSecond, 42), c.level);
    }
    EXPECT_EQ(X264Settings::levelFor(320, 240, 30, 2000, 51), 51) << "never below the one asked for";
}

// The stream's first frame with its parameter sets, in Annex-B form.
std::vector<uint8_t> firstFrame(const Case& c) {
    std::shared_ptr<CompressionSession> session;
    EXPECT_EQ(CompressionSession::create(c.width, c.height, kCodecTypeH264, {}, &session), 0);
    const std::pair<const char*, PropertyValue> properties[] = {
        {kCompressionPropertyKey_ProfileLevel, std::string(kProfileLevel_H264_High_4_2)},
        {kCompressionPropertyKey_RealTime, true},
        {kCompressionPropertyKey_AllowFrameReordering, false},
        {kCompressionPropertyKey_AverageBitRate, c.kilobitsPerSecond * 1000},
        {kCompressionPropertyKey_ExpectedFrameRate, int64_t(c.fps)},
    };
    for (const auto& [key, value] : properties) EXPECT_EQ(session->setProperty(key, value), 0);
    auto picture = std::make_shared<ImageBuffer>(c.width, c.height);
    std::promise<std::shared_ptr<const SampleBuffer>> done;
    session->encodeFrame(picture, Time{0, 60}, Time{1, 60}, nullptr,
                         [&](Status, uint32_t, std::shared_ptr<const SampleBuffer> sample) {
                             done.set_value(std::move(sample));
                         });
    auto sample = done.get_future().get();
    if (!sample) return {};
    return annexB(*sample, true);
}

// What ffprobe reads from the stream: "level,width,height".
std::string probe(const std::vector<uint8_t>& stream) {
    char path[] = "/tmp/vx-level-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
    const std::string command = std::string("ffprobe -v error -f h264 -select_streams v:0 ") +
                                "-show_entries stream=level,width,height -of csv=p=0 " + path;
    std::string result;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[256];
        while (fgets(line, sizeof line, pipe)) result += line;
        pclose(pipe);
    }
    std::remove(path);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    return result;
}

TEST(X264Level, ADecoderReadsTheLevelAtTheBoundarySizes) {
    const Case cases[] = {
        {1920, 1080, 60, 2000, 42},
        {2560, 1440, 60, 2000, 51},
        {3840, 2160, 60, 2000, 52},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const auto stream = firstFrame(c);
        ASSERT_FALSE(stream.empty());
        EXPECT_EQ(probe(stream), std::to_string(c.width) + "," + std::to_string(c.height) + "," +
                                     std::to_string(c.level))
            << "ffprobe (Debian package ffmpeg) is needed";
    }
}

}  // namespace
}  // namespace vx
