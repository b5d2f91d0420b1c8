#pragma once
// A libpulse operation handle (pa_operation) owned by a std::unique_ptr. Most
// requests answer through their callbacks and need no handle: dropOperation()
// lets go of it at once, which neither cancels the request nor its callback.
#include <memory>

#include <pulse/operation.h>

namespace vx {

struct PulseOperationRelease {
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};

using PulseOperation = std::unique_ptr<pa_operation, PulseOperationRelease>;

// Takes the handle a request returned (null when the request could not be sent) and lets go of it.
inline void dropOperation(pa_operation* operation) {
    PulseOperation released(operation);
}

}  // namespace vx
