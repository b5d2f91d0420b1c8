// Shareable content as the script has it.
#include <new>
#include <stdexcept>
#include <thread>

#include "platform/shareable_content.h"
#include "platform/sim/sim_state.h"

namespace vx {

void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                         std::function<void(ShareableContentResult)> completionHandler) {
    sim::note("content excludingDesktopWindows=" + std::to_string(excludingDesktopWindows) +
              " onScreenWindowsOnly=" + std::to_string(onScreenWindowsOnly));
    auto script = sim::currentScript();
    if (script->contentThrow == "bad_alloc") throw std::bad_alloc();
    if (script->contentThrow) throw std::runtime_error(*script->contentThrow);
    // Answer from another thread, as the platform does.
    std::thread([script, completionHandler = std::move(completionHandler)] {
        if (script->contentError) completionHandler(*script->contentError);
        else completionHandler(ShareableContent{script->displays, script->applications});
    }).detach();
}

}  // namespace vx
