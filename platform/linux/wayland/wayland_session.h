#pragma once
// What the Linux backend looks at to choose its screen source: the kind of
// desktop session, and whether this process captures audio (a display is then
// needed only to attach the capture to, and nobody may be asked for the screen).
namespace vx {

// WAYLAND_DISPLAY is set, or XDG_SESSION_TYPE is "wayland".
bool isWaylandSession();

// DISPLAY is set (an X server, possibly XWayland, can be asked).
bool hasX11Display();

// The process was started in audio mode (its first argument is "audio").
bool processCapturesAudio();

}  // namespace vx
