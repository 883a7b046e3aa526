#!/usr/bin/env python3
"""A character's live mouth through the C interface (vocetta/voice.h) from a language's FFI,
here Python's ctypes: what a Rust, Go, Lua or C# P/Invoke host declares, in one page. Prints
the rows voice_mouth prints for the same audio.

    voice_ctypes.py LIBVOCETTA_VOICE LIBVOCETTA AUDIO.wav [--keep-noise]

AUDIO is a 16-bit PCM WAV (the standard library's wave module reads it), handed over 10 ms at a
time.
"""
import array
import ctypes
import sys
import wave

OK = 0
SHAPES_CARTOON = 0


class Settings(ctypes.Structure):
    _fields_ = [("sample_rate", ctypes.c_int), ("hop_samples", ctypes.c_int),
                ("shape_set", ctypes.c_int), ("clean_noise", ctypes.c_int)]


class Frame(ctypes.Structure):
    _fields_ = [("time", ctypes.c_double), ("volume", ctypes.c_float), ("shape", ctypes.c_int),
                ("jaw", ctypes.c_float), ("weights", ctypes.POINTER(ctypes.c_float)),
                ("shape_count", ctypes.c_int), ("label", ctypes.c_int),
                ("label_time", ctypes.c_double)]


CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(Frame))


def declare(voice):
    host_p, voice_p = ctypes.c_void_p, ctypes.c_void_p
    voice.vocetta_host_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p,
                                        ctypes.POINTER(host_p), ctypes.c_char_p, ctypes.c_size_t]
    voice.vocetta_host_close.argtypes = [host_p]
    voice.vocetta_host_label_name.argtypes = [host_p, ctypes.c_int]
    voice.vocetta_host_label_name.restype = ctypes.c_char_p
    voice.vocetta_shape_name.argtypes = [ctypes.c_int, ctypes.c_int]
    voice.vocetta_shape_name.restype = ctypes.c_char_p
    voice.vocetta_voice_create.argtypes = [host_p, ctypes.POINTER(Settings),
                                           ctypes.POINTER(voice_p), ctypes.c_char_p,
                                           ctypes.c_size_t]
    voice.vocetta_voice_free.argtypes = [voice_p]
    voice.vocetta_voice_push.argtypes = [voice_p, ctypes.POINTER(ctypes.c_float),
                                         ctypes.c_size_t, CALLBACK, ctypes.c_void_p]
    voice.vocetta_voice_finish.argtypes = [voice_p, CALLBACK, ctypes.c_void_p]
    voice.vocetta_voice_hop.argtypes = [voice_p]


def main():
    if len(sys.argv) not in (4, 5) or (len(sys.argv) == 5 and sys.argv[4] != "--keep-noise"):
        sys.exit("usage: voice_ctypes.py LIBVOCETTA_VOICE LIBVOCETTA AUDIO.wav [--keep-noise]")
    with wave.open(sys.argv[3], "rb") as audio:
        if audio.getsampwidth() != 2:
            sys.exit(f"{sys.argv[3]}: not 16-bit PCM")
        rate, channels = audio.getframerate(), audio.getnchannels()
        pcm = array.array("h", audio.readframes(audio.getnframes()))
    # Mixed to mono as libsndfile and voice_mouth mix it: each sample / 32768, summed, / channels.
    scale = ctypes.c_float(1.0 / 32768).value
    samples = array.array("f", [0.0] * (len(pcm) // channels))
    for i in range(len(samples)):
        total = array.array("f", [0.0])
        for c in range(channels):
            total[0] += array.array("f", [pcm[i * channels + c] * scale])[0]
        samples[i] = array.array("f", [total[0] / channels])[0]

    voice_lib = ctypes.CDLL(sys.argv[1])
    declare(voice_lib)
    why = ctypes.create_string_buffer(512)
    host, voice = ctypes.c_void_p(), ctypes.c_void_p()
    if voice_lib.vocetta_host_open(sys.argv[2].encode(), None, ctypes.byref(host), why,
                                   len(why)) != OK:
        sys.exit("voice_ctypes: " + why.value.decode())
    settings = Settings(rate, 0, SHAPES_CARTOON, 0 if len(sys.argv) == 5 else 1)
    if voice_lib.vocetta_voice_create(host, ctypes.byref(settings), ctypes.byref(voice), why,
                                      len(why)) != OK:
        sys.exit("voice_ctypes: " + why.value.decode())

    shown = {}  # the frame's time: (shape, jaw), until its label is settled

    def on_frame(user, frame):
        frame = frame.contents
        if frame.weights:
            shown[frame.time] = (frame.shape, frame.jaw)
        if frame.label >= 0:
            shape, jaw = shown.pop(frame.label_time)
            print("%g,%s,%s,%.3f" % (frame.label_time,
                                     voice_lib.vocetta_host_label_name(host, frame.label).decode(),
                                     voice_lib.vocetta_shape_name(SHAPES_CARTOON, shape).decode(),
                                     jaw))

    callback = CALLBACK(on_frame)
    print("time,phoneme,shape,jaw")
    hop = voice_lib.vocetta_voice_hop(voice)
    buffer = (ctypes.c_float * len(samples)).from_buffer(samples)
    for at in range(0, len(samples), hop):
        block = ctypes.cast(ctypes.byref(buffer, at * 4), ctypes.POINTER(ctypes.c_float))
        voice_lib.vocetta_voice_push(voice, block, min(hop, len(samples) - at), callback, None)
    voice_lib.vocetta_voice_finish(voice, callback, None)
    voice_lib.vocetta_voice_free(voice)
    voice_lib.vocetta_host_close(host)


if __name__ == "__main__":
    main()
