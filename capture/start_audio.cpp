#include "capture/session_starters.h"
#include "platform/error.h"

namespace vx {

void startAudio() { throw Error{-1, "audio capture is not built yet"}; }

}  // namespace vx
