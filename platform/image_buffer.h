#pragma once
// The picture a screen sample carries and the compression session takes: the
// platform's own image buffer, defined by the backend that is linked in (an NV12
// buffer of ours on Linux and in the stand-in, the capture framework's pixel
// buffer on macOS).
//
// The program only holds it, hands it on and lets it go; it never looks inside.
// It passes from the stream to the encoder by reference, never copied.
#include <memory>

namespace vx {

class ImageBuffer;

}  // namespace vx
