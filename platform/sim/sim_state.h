#pragma once
// The stand-in's shared state: the script in force and the record of requests.
#include <memory>
#include <string>

#include "platform/sim/sim_script.h"

namespace vx::sim {

// The script in force: the one last given to setScript(), else the file named by
// $VX_SIM_SCRIPT, else an empty script. Any thread.
std::shared_ptr<const Script> currentScript();

// Appends one line to the record (and to the file named by $VX_SIM_RECORD). Any thread.
void note(const std::string& line);

}  // namespace vx::sim
