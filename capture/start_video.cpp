#include "capture/session_starters.h"
#include "platform/error.h"

namespace vx {

void startVideo() { throw Error{-1, "video capture is not built yet"}; }

}  // namespace vx
