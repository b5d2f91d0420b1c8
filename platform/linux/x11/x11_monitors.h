#pragma once
// The monitors of the X server at $DISPLAY, in the server's order, numbered as
// `xrandr --listmonitors` numbers them.
#include <variant>
#include <vector>

#include "platform/error.h"
#include "platform/shareable_content.h"

namespace vx {

std::variant<std::vector<Display>, Error> x11Monitors();

}  // namespace vx
