#!/usr/bin/env python3
"""Synthesises the drum kit that the manual and the demo tune play as
samples: kick, snare, closed hat and a slap bass, as 16-bit mono WAV files at
44.1 kHz. Everything is computed here (sine sweeps, decays and a fixed
pseudo-random noise), so the files come out the same on every run.
  scripts/make-drum-samples.py OUTPUT_FOLDER
"""
import math
import os
import struct
import sys
import wave

RATE = 44100


class Noise:
    """A 32-bit linear congruential generator: the same noise every run."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state / 2147483648.0 - 1.0


def kick(seconds=0.30):
    # A sine falling from 150 Hz to 45 Hz, its level decaying; the phase is
    # the integral of the falling frequency.
    out = []
    phase = 0.0
    for i in range(int(seconds * RATE)):
        t = i / RATE
        frequency = 45.0 + 105.0 * math.exp(-t * 30.0)
        phase += 2.0 * math.pi * frequency / RATE
        out.append(math.sin(phase) * math.exp(-t * 9.0))
    return out


def snare(seconds=0.22):
    # A 190 Hz body under noise, the noise lasting longer than the body.
    noise = Noise(12345)
    out = []
    for i in range(int(seconds * RATE)):
        t = i / RATE
        body = math.sin(2.0 * math.pi * 190.0 * t) * math.exp(-t * 25.0)
        out.append(0.5 * body + 0.6 * noise.next() * math.exp(-t * 14.0))
    return out


def hat(seconds=0.08):
    # Noise with its low part taken away (the difference of neighbours), short.
    noise = Noise(777)
    out = []
    previous = 0.0
    for i in range(int(seconds * RATE)):
        t = i / RATE
        value = noise.next()
        out.append((value - previous) * 0.5 * math.exp(-t * 45.0))
        previous = value
    return out


def bass(seconds=0.40):
    # A plucked 55 Hz tone with its octave, the octave dying first.
    out = []
    for i in range(int(seconds * RATE)):
        t = i / RATE
        out.append((0.7 * math.sin(2.0 * math.pi * 55.0 * t) * math.exp(-t * 4.0) +
                    0.3 * math.sin(2.0 * math.pi * 110.0 * t) * math.exp(-t * 12.0)))
    return out


def write(path, samples):
    peak = max(abs(s) for s in samples) or 1.0
    frames = b"".join(struct.pack("<h", round(s / peak * 30000)) for s in samples)
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(frames)


def main():
    if len(sys.argv) != 2:
        print("usage: make-drum-samples.py OUTPUT_FOLDER", file=sys.stderr)
        return 2
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, samples in (("kick", kick()), ("snare", snare()), ("hat", hat()), ("bass", bass())):
        write(os.path.join(folder, name + ".wav"), samples)
    return 0


if __name__ == "__main__":
    sys.exit(main())
