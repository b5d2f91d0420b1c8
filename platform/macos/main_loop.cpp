// The main thread parked in the dispatch main loop, as a macOS program's main
// thread is: it serves the main queue, to which nothing is ever submitted.
#include "platform/main_loop.h"

#include <dispatch/dispatch.h>

namespace vx {

void parkMainThread() { dispatch_main(); }

}  // namespace vx
