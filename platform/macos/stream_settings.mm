// SCContentFilter initWithDisplay:excludingApplications:exceptingWindows:, and an
// SCStreamConfiguration whose setters run in the order the program called them
// on the boundary's configuration.
#include "platform/macos/stream_settings.h"

#include <string_view>

#include "platform/macos/framework_content.h"

namespace vx {

namespace {

static_assert(kPixelFormat420v == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);

SCContentFilter* contentFilter(const ContentFilter& filter) {
    SCDisplay* display = FrameworkContent::display(filter.display.displayID);
    if (!display) return nil;
    // The program excepts no windows: window identifiers alone name no SCWindow.
    return [[SCContentFilter alloc]
              initWithDisplay:display
        excludingApplications:FrameworkContent::applications(filter.excludedApplications)
             exceptingWindows:@[]];
}

CFStringRef colorMatrix(const std::string& name) {
    if (name == kYCbCrMatrixITU_R_709_2) return kCGDisplayStreamYCbCrMatrix_ITU_R_709_2;
    if (name == "ITU_R_601_4") return kCGDisplayStreamYCbCrMatrix_ITU_R_601_4;
    if (name == "SMPTE_240M_1995") return kCGDisplayStreamYCbCrMatrix_SMPTE_240M_1995;
    return nullptr;
}

CFStringRef colorSpace(const std::string& matrixName) {
    if (matrixName == kYCbCrMatrixITU_R_709_2) return kCGColorSpaceITUR_709;
    return nullptr;
}

void applySetter(std::string_view setter, const StreamConfiguration& from,
                 SCStreamConfiguration* to, StreamSettings& settings) {
    if (setter == "setCapturesAudio") {
        to.capturesAudio = from.capturesAudio;
    } else if (setter == "setExcludesCurrentProcessAudio") {
        to.excludesCurrentProcessAudio = from.excludesCurrentProcessAudio;
    } else if (setter == "setSampleRate") {
        to.sampleRate = NSInteger(from.sampleRate);
    } else if (setter == "setChannelCount") {
        to.channelCount = NSInteger(from.channelCount);
    } else if (setter == "setWidth") {
        to.width = size_t(from.width);
    } else if (setter == "setHeight") {
        to.height = size_t(from.height);
    } else if (setter == "setMinimumFrameInterval") {
        to.minimumFrameInterval =
            CMTimeMake(from.minimumFrameInterval.value, from.minimumFrameInterval.timescale);
    } else if (setter == "setDestinationRect") {
        const Rect& r = from.destinationRect;
        to.destinationRect = CGRectMake(r.x, r.y, r.width, r.height);
    } else if (setter == "setBackgroundColor") {
        const Color& c = from.backgroundColor;
        if (c == kColorBlack) {
            to.backgroundColor = CGColorGetConstantColor(kCGColorBlack);
        } else {
            settings.backgroundColor =
                CFRef<CGColorRef>::adopt(CGColorCreateGenericRGB(c.red, c.green, c.blue, c.alpha));
            to.backgroundColor = settings.backgroundColor.get();
        }
    } else if (setter == "setPixelFormat") {
        to.pixelFormat = OSType(from.pixelFormat);
    } else if (setter == "setColorMatrix") {
        if (CFStringRef matrix = colorMatrix(from.colorMatrix)) to.colorMatrix = matrix;
        // The pixels in the colour space the matrix belongs to, not the display's
        // own (Display P3 on most Macs), so that they are what the stream signals.
        if (CFStringRef space = colorSpace(from.colorMatrix)) to.colorSpaceName = space;
    } else if (setter == "setQueueDepth") {
        to.queueDepth = NSInteger(from.queueDepth);
    } else if (setter == "setShowsCursor") {
        to.showsCursor = from.showsCursor;
    }
}

}  // namespace

StreamSettings streamSettings(const ContentFilter& filter, const StreamConfiguration& configuration) {
    StreamSettings settings;
    settings.filter = contentFilter(filter);
    if (!settings.filter) {
        settings.error = Error{SCStreamErrorNoCaptureSource,
                               "the display is not one the capture framework listed"};
        return settings;
    }
    settings.configuration = [[SCStreamConfiguration alloc] init];
    for (const std::string& setter : configuration.calls())
        applySetter(setter, configuration, settings.configuration, settings);
    return settings;
}

}  // namespace vx
