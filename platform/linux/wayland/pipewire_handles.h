#pragma once
// Owning handles for the PipeWire objects of a screen cast. Destroy them with the
// thread loop stopped (or from its thread), stream first, thread loop last.
#include <pipewire/pipewire.h>

#include <memory>

namespace vx {

struct PwThreadLoopDestroy {
    void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct PwContextDestroy {
    void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct PwCoreDisconnect {
    void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct PwRegistryDestroy {
    void operator()(pw_registry* registry) const {
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    }
};
struct PwStreamDestroy {
    void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};

using PwThreadLoop = std::unique_ptr<pw_thread_loop, PwThreadLoopDestroy>;
using PwContext = std::unique_ptr<pw_context, PwContextDestroy>;
using PwCore = std::unique_ptr<pw_core, PwCoreDisconnect>;
using PwRegistry = std::unique_ptr<pw_registry, PwRegistryDestroy>;
using PwStream = std::unique_ptr<pw_stream, PwStreamDestroy>;

}  // namespace vx
