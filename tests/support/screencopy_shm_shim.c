/* Test-only helper for the private Wayland desktop of the end-to-end tests; never
 * part of the product. Loaded with LD_PRELOAD into xdg-desktop-portal-wlr 0.7, which
 * refuses every screen cast of a compositor that renders without a GPU: it waits
 * for the screencopy frame's linux_dmabuf event, which such a compositor never
 * sends, although shared-memory copies work. For every screencopy frame, this
 * library wraps the frame's listener so that each `buffer` (shared memory) event
 * is followed by a `linux_dmabuf` event of the same size and the matching DRM
 * format. Buffers stay in shared memory. Newer portal-wlr versions need none of this.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

struct wl_proxy;
const char *wl_proxy_get_class(struct wl_proxy *proxy);
const void *wl_proxy_get_listener(struct wl_proxy *proxy);

typedef void (*buffer_event)(void *data, void *frame, uint32_t format, uint32_t width,
                             uint32_t height, uint32_t stride);
typedef void (*dmabuf_event)(void *data, void *frame, uint32_t format, uint32_t width,
                             uint32_t height);

/* The zwlr_screencopy_frame_v1 listener (version 3), then the listener it wraps. */
enum { BUFFER, FLAGS, READY, FAILED, DAMAGE, LINUX_DMABUF, BUFFER_DONE, EVENTS };
struct wrapped_listener {
    void (*events[EVENTS])(void);
    void (*const *original)(void);
};

static uint32_t drm_format(uint32_t shm_format) {
    if (shm_format == 0) return 0x34325241; /* ARGB8888: 'AR24' */
    if (shm_format == 1) return 0x34325258; /* XRGB8888: 'XR24' */
    return shm_format;                      /* the other codes are the DRM ones */
}

static void on_buffer(void *data, void *frame, uint32_t format, uint32_t width, uint32_t height,
                      uint32_t stride) {
    const struct wrapped_listener *wrapped = wl_proxy_get_listener((struct wl_proxy *)frame);
    if (wrapped->original[BUFFER])
        ((buffer_event)wrapped->original[BUFFER])(data, frame, format, width, height, stride);
    if (wrapped->original[LINUX_DMABUF])
        ((dmabuf_event)wrapped->original[LINUX_DMABUF])(data, frame, drm_format(format), width, height);
}

int wl_proxy_add_listener(struct wl_proxy *proxy, void (**implementation)(void), void *data) {
    static int (*real)(struct wl_proxy *, void (**)(void), void *);
    if (!real) real = (int (*)(struct wl_proxy *, void (**)(void), void *))dlsym(RTLD_NEXT, "wl_proxy_add_listener");
    const char *class_name = wl_proxy_get_class(proxy);
    if (!class_name || strcmp(class_name, "zwlr_screencopy_frame_v1") != 0)
        return real(proxy, implementation, data);
    /* The portal uses one listener for all its frames: one wrapper per listener. */
    static struct wrapped_listener wrappers[4];
    struct wrapped_listener *wrapped = NULL;
    for (size_t i = 0; i < sizeof wrappers / sizeof wrappers[0] && !wrapped; ++i) {
        if (wrappers[i].original == (void (*const *)(void))implementation) wrapped = &wrappers[i];
        else if (!wrappers[i].original) {
            wrapped = &wrappers[i];
            memcpy(wrapped->events, implementation, sizeof wrapped->events);
            wrapped->events[BUFFER] = (void (*)(void))on_buffer;
            wrapped->original = (void (*const *)(void))implementation;
        }
    }
    if (!wrapped) return real(proxy, implementation, data);
    return real(proxy, wrapped->events, data);
}
