#include "platform/linux/wayland/screen_cast_displays.h"

#include "platform/linux/wayland/restore_token_store.h"
#include "platform/linux/wayland/screen_cast_portal.h"

namespace vx {

std::variant<std::vector<Display>, Error> screenCastDisplays() {
    ScreenCastPortal::Settings settings;
    settings.tokenPath = RestoreTokenStore::defaultPath();
    auto granted = ScreenCastPortal::request(settings);
    if (auto* error = std::get_if<Error>(&granted)) return *error;
    auto grant = std::move(std::get<std::shared_ptr<PortalGrant>>(granted));
    std::vector<Display> displays;
    for (const PortalStream& stream : grant->streams()) {
        Display display;
        display.displayID = uint32_t(displays.size());
        display.width = stream.width;
        display.height = stream.height;
        display.x = stream.x;
        display.y = stream.y;
        displays.push_back(display);
    }
    PortalGrant::keep(std::move(grant));
    return displays;
}

}  // namespace vx
