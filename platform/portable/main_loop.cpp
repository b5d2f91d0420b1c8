// The main thread's idle wait where there is no dispatch main loop (Linux and the
// stand-in): it sleeps in pause() for the life of the process.
#include "platform/main_loop.h"

#include <unistd.h>

namespace vx {

void parkMainThread() {
    for (;;) pause();
}

}  // namespace vx
