#pragma once
// The displays of a Wayland desktop as the screen-cast portal grants them: the
// user chooses (or the stored grant is restored), and each granted stream becomes
// a display numbered by its position, with its size and place. The grant is kept
// (PortalGrant::keep) for the screen source that follows.
#include <variant>
#include <vector>

#include "platform/error.h"
#include "platform/shareable_content.h"

namespace vx {

std::variant<std::vector<Display>, Error> screenCastDisplays();

}  // namespace vx
