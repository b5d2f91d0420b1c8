#pragma once
// The outputs of the Wayland compositor at $WAYLAND_DISPLAY (a name in
// $XDG_RUNTIME_DIR or an absolute path), in the compositor's order, numbered
// from 0, each with its current mode's size and its place on the desktop. Asks
// nobody for anything: only what every client may see.
#include <variant>
#include <vector>

#include "platform/error.h"
#include "platform/shareable_content.h"

namespace vx {

std::variant<std::vector<Display>, Error> waylandOutputs();

}  // namespace vx
