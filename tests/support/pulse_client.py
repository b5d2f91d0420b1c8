"""A sound-server client that connects now and plays later, on the same connection.

    python3 pulse_client.py IDENTITY

Connects with application.id=IDENTITY (libpulse through ctypes, no other module needed) and
prints "connected". Each line "play PATH [PLAYER-IDENTITY]" on standard input then plays that
16-bit WAV file as a new player of this same client (the player's own application.id set to
PLAYER-IDENTITY when given) and prints "playing" when its first samples are handed
over; standard input's end disconnects. Used by tests as an application that is a client of
the sound server before it makes any sound.
"""
import ctypes
import ctypes.util
import select
import sys
import wave

PA_CONTEXT_READY, PA_CONTEXT_FAILED, PA_CONTEXT_TERMINATED = 4, 5, 6
PA_STREAM_READY, PA_STREAM_FAILED, PA_STREAM_TERMINATED = 2, 3, 4
PA_SAMPLE_S16LE = 3
PA_CONTEXT_NOAUTOSPAWN = 1


class SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


def load():
    pa = ctypes.CDLL(ctypes.util.find_library("pulse") or "libpulse.so.0")
    p = ctypes.c_void_p
    for name, result, args in [
        ("pa_mainloop_new", p, []),
        ("pa_mainloop_get_api", p, [p]),
        ("pa_mainloop_iterate", ctypes.c_int, [p, ctypes.c_int, p]),
        ("pa_mainloop_prepare", ctypes.c_int, [p, ctypes.c_int]),
        ("pa_mainloop_poll", ctypes.c_int, [p]),
        ("pa_mainloop_dispatch", ctypes.c_int, [p]),
        ("pa_proplist_new", p, []),
        ("pa_proplist_sets", ctypes.c_int, [p, ctypes.c_char_p, ctypes.c_char_p]),
        ("pa_context_new_with_proplist", p, [p, ctypes.c_char_p, p]),
        ("pa_context_connect", ctypes.c_int, [p, ctypes.c_char_p, ctypes.c_int, p]),
        ("pa_context_get_state", ctypes.c_int, [p]),
        ("pa_stream_new_with_proplist", p, [p, ctypes.c_char_p, ctypes.POINTER(SampleSpec), p, p]),
        ("pa_stream_connect_playback", ctypes.c_int, [p, ctypes.c_char_p, p, ctypes.c_int, p, p]),
        ("pa_stream_get_state", ctypes.c_int, [p]),
        ("pa_stream_writable_size", ctypes.c_size_t, [p]),
        ("pa_stream_write", ctypes.c_int, [p, ctypes.c_char_p, ctypes.c_size_t, p, ctypes.c_int64, ctypes.c_int]),
        ("pa_stream_disconnect", ctypes.c_int, [p]),
        ("pa_stream_unref", None, [p]),
    ]:
        function = getattr(pa, name)
        function.restype, function.argtypes = result, args
    return pa


def turn(pa, loop, timeout_ms):
    """One turn of the main loop, waiting at most timeout_ms for something to happen."""
    if pa.pa_mainloop_prepare(loop, timeout_ms * 1000) < 0 or pa.pa_mainloop_poll(loop) < 0 \
            or pa.pa_mainloop_dispatch(loop) < 0:
        sys.exit("the main loop failed")


def play(pa, loop, context, path, identity=None):
    with wave.open(path, "rb") as f:
        sample_spec = SampleSpec(PA_SAMPLE_S16LE, f.getframerate(), f.getnchannels())
        data = f.readframes(f.getnframes())
    properties = pa.pa_proplist_new()
    if identity:
        pa.pa_proplist_sets(properties, b"application.id", identity.encode())
    stream = pa.pa_stream_new_with_proplist(context, b"tone", ctypes.byref(sample_spec), None, properties)
    if not stream or pa.pa_stream_connect_playback(stream, None, None, 0, None, None) < 0:
        sys.exit("cannot make the player")
    while pa.pa_stream_get_state(stream) != PA_STREAM_READY:
        if pa.pa_stream_get_state(stream) in (PA_STREAM_FAILED, PA_STREAM_TERMINATED):
            sys.exit("the player failed")
        turn(pa, loop, 50)
    at, told = 0, False
    while at < len(data):
        size = min(pa.pa_stream_writable_size(stream), len(data) - at)
        if size > 0:
            pa.pa_stream_write(stream, data[at:at + size], size, None, 0, 0)
            at += size
            if not told:
                print("playing", flush=True)
                told = True
        turn(pa, loop, 50)
    for _ in range(100):   # let what was written play out (up to about the server's buffer)
        turn(pa, loop, 10)
    pa.pa_stream_disconnect(stream)
    pa.pa_stream_unref(stream)


def main():
    identity = sys.argv[1].encode()
    pa = load()
    loop = pa.pa_mainloop_new()
    properties = pa.pa_proplist_new()
    pa.pa_proplist_sets(properties, b"application.id", identity)
    context = pa.pa_context_new_with_proplist(pa.pa_mainloop_get_api(loop), b"test client", properties)
    if pa.pa_context_connect(context, None, PA_CONTEXT_NOAUTOSPAWN, None) < 0:
        sys.exit("cannot connect")
    while pa.pa_context_get_state(context) != PA_CONTEXT_READY:
        if pa.pa_context_get_state(context) in (PA_CONTEXT_FAILED, PA_CONTEXT_TERMINATED):
            sys.exit("cannot connect")
        turn(pa, loop, 50)
    print("connected", flush=True)
    while True:
        turn(pa, loop, 20)
        if not select.select([sys.stdin], [], [], 0)[0]:
            continue
        line = sys.stdin.readline()
        if not line:
            return
        words = line.split()
        if len(words) in (2, 3) and words[0] == "play":
            play(pa, loop, context, *words[1:])


if __name__ == "__main__":
    main()
