#pragma once
// The two session starters, run once by the start task. Each returns once its
// capture stream runs, throws vx::Error when the platform refuses, or ends the
// process itself for the conditions it checks (missing or bad options, no display).

namespace vx {

void startAudio();
void startVideo();

}  // namespace vx
