#include "base/capture_output.h"

#include "base/diagnostics.h"

namespace vx {

void CaptureOutput::didStopWithError(Stream&, const Error& error) {
    fail("capture stopped: " + error.description, 3);
}

}  // namespace vx
