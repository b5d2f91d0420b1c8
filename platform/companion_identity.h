#pragma once
// The companion sender application's bundle identifier. The audio capture leaves
// the companion out whenever it plays, also when it starts (or starts again) after
// the capture did, when no list of the applications read at the start names it.

namespace vx {

inline constexpr const char* kCompanionIdentity = "com.vxcapture.sender";

}  // namespace vx
