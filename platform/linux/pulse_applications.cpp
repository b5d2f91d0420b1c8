#include "platform/linux/pulse_applications.h"

namespace vx {

std::vector<RunningApplication> soundServerApplications() { return {}; }

}  // namespace vx
