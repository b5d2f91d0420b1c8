#pragma once
// What stands behind a SerialQueue on macOS: a libdispatch serial queue carrying
// the queue's label. The stream hands it to the capture framework as an output's
// sample handler queue. Objective-C++ (ARC) only.
#include <dispatch/dispatch.h>

#include "platform/serial_queue.h"

namespace vx {

struct SerialQueue::Native {
    dispatch_queue_t queue;  // strong (ARC); set once at creation
};

}  // namespace vx
