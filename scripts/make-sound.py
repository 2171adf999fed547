#!/usr/bin/python3
"""Writes resources/sounds/notify.wav: a short rising two-tone chime (A5, then E6).

Each tone is a struck bell-like note: a few harmonics with an exponential decay and a short
attack so that it starts without a click. 44.1 kHz, 16-bit, mono.
"""

import math
import os
import struct
import sys
import wave

RATE = 44100
LENGTH = 0.9  # seconds
TONES = ((0.0, 880.0), (0.16, 1318.5))  # (start, frequency)
PARTIALS = ((1.0, 1.0), (2.0, 0.28), (3.0, 0.08))  # (multiple, amplitude)


def sample(t):
    value = 0.0
    for start, frequency in TONES:
        local = t - start
        if local < 0:
            continue
        envelope = min(1.0, local / 0.006) * math.exp(-local * 5.5)
        for multiple, amplitude in PARTIALS:
            value += amplitude * envelope * math.sin(2 * math.pi * frequency * multiple * local)
    # Fade the tail to exact silence.
    fade = min(1.0, (LENGTH - t) / 0.05)
    return value * fade


def main():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "sounds",
                        "notify.wav")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    samples = [sample(n / RATE) for n in range(int(RATE * LENGTH))]
    peak = max(abs(s) for s in samples)
    scale = 0.5 * 32767 / peak
    frames = b"".join(struct.pack("<h", int(round(s * scale))) for s in samples)
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(frames)
    return 0


if __name__ == "__main__":
    sys.exit(main())
