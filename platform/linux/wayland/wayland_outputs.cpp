#include "platform/linux/wayland/wayland_outputs.h"

#include <wayland-client.h>

#include <cstring>
#include <memory>

namespace vx {

namespace {

struct DisplayDisconnect {
    void operator()(wl_display* display) const { wl_display_disconnect(display); }
};
struct RegistryDestroy {
    void operator()(wl_registry* registry) const { wl_registry_destroy(registry); }
};
struct OutputDestroy {
    void operator()(wl_output* output) const { wl_output_destroy(output); }
};

struct Output {
    std::unique_ptr<wl_output, OutputDestroy> proxy;
    Display display;
};

struct Listing {
    std::vector<std::unique_ptr<Output>> outputs;
};

void onGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                const char*, const char*, int32_t) {
    auto* output = static_cast<Output*>(data);
    output->display.x = x;
    output->display.y = y;
}

void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    auto* output = static_cast<Output*>(data);
    output->display.width = width;
    output->display.height = height;
}

void onDone(void*, wl_output*) {}
void onScale(void*, wl_output*, int32_t) {}

// Bound at version 2: later events (name, description) never come.
const wl_output_listener outputListener = [] {
    wl_output_listener listener{};
    listener.geometry = onGeometry;
    listener.mode = onMode;
    listener.done = onDone;
    listener.scale = onScale;
    return listener;
}();

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    if (std::strcmp(interface, wl_output_interface.name) != 0) return;
    auto* listing = static_cast<Listing*>(data);
    auto output = std::make_unique<Output>();
    output->proxy.reset(static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 2)));
    output->display.displayID = uint32_t(listing->outputs.size());
    wl_output_add_listener(output->proxy.get(), &outputListener, output.get());
    listing->outputs.push_back(std::move(output));
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

}  // namespace

std::variant<std::vector<Display>, Error> waylandOutputs() {
    std::unique_ptr<wl_display, DisplayDisconnect> display(wl_display_connect(nullptr));
    if (!display) return Error{kDisplayConnectionFailed, "cannot connect to the Wayland compositor"};
    Listing listing;
    std::unique_ptr<wl_registry, RegistryDestroy> registry(wl_display_get_registry(display.get()));
    wl_registry_add_listener(registry.get(), &registryListener, &listing);
    // The first round trip brings the globals, the second the outputs' properties.
    if (wl_display_roundtrip(display.get()) < 0 || wl_display_roundtrip(display.get()) < 0)
        return Error{kDisplayConnectionFailed, "lost the connection to the Wayland compositor"};
    std::vector<Display> displays;
    for (const auto& output : listing.outputs) displays.push_back(output->display);
    return displays;
}

}  // namespace vx
