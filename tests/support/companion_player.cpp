// A sound-server client that names itself in its own code, as most applications do:
//
//     companion-player IDENTITY FREQUENCY SECONDS
//
// Connects with application.id=IDENTITY set on its context's properties (never read
// from the environment), plays a sine tone of FREQUENCY Hz at half of full scale,
// 48 kHz stereo, for SECONDS, lets it play out and ends with status 0. Prints
// "playing" once its first samples are handed over. Any failure: a line on standard
// error and status 1.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

namespace {

struct FreeLoop {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct FreeProplist {
    void operator()(pa_proplist* properties) const { pa_proplist_free(properties); }
};
struct FreeContext {
    void operator()(pa_context* context) const {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct FreeStream {
    void operator()(pa_stream* stream) const {
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};

constexpr unsigned kRate = 48000;
constexpr double kAmplitude = 0.5;

int failed(const char* what) {
    std::fprintf(stderr, "companion-player: %s\n", what);
    return 1;
}

// One turn of the loop; false when the loop broke.
bool turn(pa_mainloop* loop) { return pa_mainloop_iterate(loop, 1, nullptr) >= 0; }

std::vector<int16_t> tone(double frequency, double seconds) {
    size_t frames = size_t(seconds * kRate);
    std::vector<int16_t> samples(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        double value = kAmplitude * std::sin(2 * M_PI * frequency * double(i) / kRate);
        samples[2 * i] = samples[2 * i + 1] = int16_t(std::lround(value * 32767));
    }
    return samples;
}

void drained(pa_stream*, int, void* userdata) { *static_cast<bool*>(userdata) = true; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return failed("usage: companion-player IDENTITY FREQUENCY SECONDS");
    std::vector<int16_t> samples = tone(std::atof(argv[2]), std::atof(argv[3]));

    std::unique_ptr<pa_mainloop, FreeLoop> loop(pa_mainloop_new());
    std::unique_ptr<pa_proplist, FreeProplist> properties(pa_proplist_new());
    if (!loop || !properties) return failed("out of memory");
    pa_proplist_sets(properties.get(), PA_PROP_APPLICATION_ID, argv[1]);
    std::unique_ptr<pa_context, FreeContext> context(pa_context_new_with_proplist(
        pa_mainloop_get_api(loop.get()), "companion player", properties.get()));
    if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return failed("cannot connect");
    while (pa_context_get_state(context.get()) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get())) || !turn(loop.get()))
            return failed("cannot connect");
    }

    pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, kRate, 2};
    std::unique_ptr<pa_stream, FreeStream> stream(
        pa_stream_new(context.get(), "tone", &sampleSpec, nullptr));
    if (!stream || pa_stream_connect_playback(stream.get(), nullptr, nullptr, PA_STREAM_NOFLAGS,
                                              nullptr, nullptr) < 0)
        return failed("cannot make the player");
    while (pa_stream_get_state(stream.get()) != PA_STREAM_READY) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream.get())) || !turn(loop.get()))
            return failed("the player failed");
    }

    const char* data = reinterpret_cast<const char*>(samples.data());
    size_t left = samples.size() * sizeof(int16_t), at = 0;
    bool told = false;
    while (left > 0) {
        size_t size = std::min(pa_stream_writable_size(stream.get()), left);
        if (size > 0) {
            if (pa_stream_write(stream.get(), data + at, size, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                return failed("cannot write");
            at += size;
            left -= size;
            if (!told) {
                std::printf("playing\n");
                std::fflush(stdout);
                told = true;
            }
        }
        if (left > 0 && !turn(loop.get())) return failed("the loop broke");
    }
    bool done = false;
    pa_operation* drain = pa_stream_drain(stream.get(), drained, &done);
    if (drain) pa_operation_unref(drain);
    while (drain && !done)
        if (!turn(loop.get())) return failed("the loop broke");
    return 0;
}
