#include "base/process_state.h"

namespace vx {

std::string mode;
std::shared_ptr<Stream> activeStream;
std::vector<std::shared_ptr<void>> keepAlive;

}  // namespace vx
