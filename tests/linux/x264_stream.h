#pragma once
// What the tests of the libx264 encoder share: the program's encoder settings, a coded
// sample in Annex-B form, and a stream decoded again by ffmpeg (Debian package ffmpeg).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/x264/x264_settings.h"
#include "platform/sample_buffer.h"

namespace vx {

// The capture's settings: High 4.2, real time, no reordering, bitsPerSecond at fps;
// key frames every two seconds (and 2 x fps frames) where asked.
inline X264Settings captureSettings(int64_t bitsPerSecond, int fps, bool keyFrames) {
    X264Settings settings;
    settings.set(kCompressionPropertyKey_ProfileLevel, std::string(kProfileLevel_H264_High_4_2));
    settings.set(kCompressionPropertyKey_RealTime, true);
    settings.set(kCompressionPropertyKey_AllowFrameReordering, false);
    settings.set(kCompressionPropertyKey_AverageBitRate, bitsPerSecond);
    settings.set(kCompressionPropertyKey_ExpectedFrameRate, int64_t(fps));
    if (keyFrames) {
        settings.set(kCompressionPropertyKey_MaxKeyFrameInterval, int64_t(2 * fps));
        settings.set(kCompressionPropertyKey_MaxKeyFrameIntervalDuration, int64_t(2));
    }
    return settings;
}

// The sample's NAL units behind start codes, after its parameter sets where asked.
inline std::vector<uint8_t> annexB(const SampleBuffer& sample, bool withParameterSets) {
    static const uint8_t startCode[] = {0, 0, 0, 1};
    std::vector<uint8_t> out;
    if (withParameterSets)
        for (const auto& set : sample.formatDescription->parameterSets) {
            out.insert(out.end(), std::begin(startCode), std::end(startCode));
            out.insert(out.end(), set.bytes.begin(), set.bytes.end());
        }
    std::vector<uint8_t> data(sample.dataBuffer->dataLength());
    sample.dataBuffer->copyDataBytes(0, data.size(), data.data());
    for (size_t at = 0; at + 4 <= data.size();) {
        const size_t length = size_t(data[at]) << 24 | size_t(data[at + 1]) << 16 |
                              size_t(data[at + 2]) << 8 | data[at + 3];
        out.insert(out.end(), std::begin(startCode), std::end(startCode));
        out.insert(out.end(), data.begin() + std::ptrdiff_t(at + 4),
                   data.begin() + std::ptrdiff_t(at + 4 + length));
        at += 4 + length;
    }
    return out;
}

// The raw pictures ffmpeg decodes from an Annex-B stream, in pixelFormat (yuv420p,
// nv12: the same bytes of luma, as coded, in video range), all in one.
inline std::vector<uint8_t> decodeRaw(const std::vector<uint8_t>& stream,
                                      const std::string& pixelFormat) {
    char folder[] = "/tmp/vx-x264-XXXXXX";
    EXPECT_TRUE(mkdtemp(folder));
    const std::string in = std::string(folder) + "/in.h264", out = std::string(folder) + "/out.raw";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
    const std::string command = "ffmpeg -nostdin -v error -f h264 -i " + in +
                                " -f rawvideo -pix_fmt " + pixelFormat + " -y " + out;
    EXPECT_EQ(std::system(command.c_str()), 0) << "ffmpeg (Debian package ffmpeg) is needed";
    std::ifstream decoded(out, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(decoded)),
                               std::istreambuf_iterator<char>());
    std::remove(in.c_str());
    std::remove(out.c_str());
    rmdir(folder);
    return bytes;
}

}  // namespace vx
