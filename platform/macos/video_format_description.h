#pragma once
// The format description of an encoded frame on macOS: the compression session's
// own CMFormatDescriptionRef (retained), whose H.264 parameter sets are read in
// place through CMVideoFormatDescriptionGetH264ParameterSetAtIndex. Immutable;
// any thread.
#include <CoreMedia/CoreMedia.h>

#include "platform/macos/cf_ref.h"
#include "platform/sample_buffer.h"

namespace vx {

class VideoFormatDescription : public FormatDescription {
public:
    // Takes a reference of its own to description, which must not be null.
    explicit VideoFormatDescription(CMFormatDescriptionRef description)
        : description_(CFRef<CMFormatDescriptionRef>::retain(description)) {}

    Status getH264ParameterSetAtIndex(size_t index, const uint8_t** pointer, size_t* size,
                                      size_t* count, int32_t* nalUnitHeaderLength) const override {
        return CMVideoFormatDescriptionGetH264ParameterSetAtIndex(
            description_.get(), index, pointer, size, count, nalUnitHeaderLength);
    }

private:
    CFRef<CMFormatDescriptionRef> description_;
};

}  // namespace vx
