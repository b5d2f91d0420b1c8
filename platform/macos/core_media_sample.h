#pragma once
// A CoreMedia sample (CMSampleBufferRef) as the boundary's SampleBuffer, read
// without copying what it carries: the image buffer is the sample's own pixel
// buffer (retained), the audio buffer list points into the sample's block buffer
// (retained by the SampleBuffer), the encoded data is the sample's block buffer
// (retained), and the format description is the sample's (retained).
//
// Only what the program reads is taken over: validity, the presentation time,
// the first attachment dictionary's frame status (screen) or NotSync flag
// (encoded), and per kind the image, the audio or the encoded data with its
// description. Any thread; the CMSampleBufferRef is only borrowed.
#include <CoreMedia/CoreMedia.h>

#include <memory>

#include "platform/sample_buffer.h"

namespace vx {

// A screen frame from the capture stream.
SampleBuffer screenSample(CMSampleBufferRef sample);

// A piece of audio from the capture stream.
SampleBuffer audioSample(CMSampleBufferRef sample);

// An encoded frame from the compression session.
std::shared_ptr<const SampleBuffer> encodedSample(CMSampleBufferRef sample);

}  // namespace vx
