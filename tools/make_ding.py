#!/usr/bin/env python3
"""Writes the alarm sound resources/Sound/ding.wav: a short bell-like ding, 8 kHz 16-bit mono.

A G6 tone with a quieter octave above it, a 5 ms attack and an exponential decay over
0.7 seconds. Run from the source folder: python3 tools/make_ding.py
"""
import math
import struct
import sys
import wave

RATE = 8000
SECONDS = 0.7
PEAK = 0.6 * 32767


def sample(n):
    t = n / RATE
    attack = min(1.0, t / 0.005)
    tone = math.sin(2 * math.pi * 1568 * t) + 0.35 * math.sin(2 * math.pi * 3136 * t) * math.exp(-t * 9)
    return int(PEAK * attack * math.exp(-t * 6) * tone / 1.35)


def main(path):
    frames = b"".join(struct.pack("<h", sample(n)) for n in range(int(RATE * SECONDS)))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(frames)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/Sound/ding.wav")
