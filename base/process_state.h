#pragma once
// Process-wide state. Set by the main thread before any other activity starts;
// afterwards only the start task writes activeStream and keepAlive, and nothing
// reads them: they only keep their objects alive until the process ends.
#include <memory>
#include <string>
#include <vector>

#include "platform/companion_identity.h"
#include "platform/stream.h"

namespace vx {

// Identifier of the companion application whose audio is left out of the capture.
inline const std::string senderBundleId = kCompanionIdentity;

// Argument 1, or empty when there is none.
extern std::string mode;

// The running capture stream; never released while the process runs.
extern std::shared_ptr<Stream> activeStream;

// Objects that live as long as the process, in the order they were added.
extern std::vector<std::shared_ptr<void>> keepAlive;

}  // namespace vx
