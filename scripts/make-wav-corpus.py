#!/usr/bin/env python3
# Writes the wav_import fuzz target's seed corpus: short WAV files of each
# format the reader takes, mono, stereo and more channels, with chunks it
# skips, laid down chunk by chunk as the tests' builder does; and one .dmc.
import math
import os
import struct

os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'fuzz', 'corpus', 'wav_import'))

GUID_TAIL = bytes([0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71])


def chunk(name, body):
    return name + struct.pack('<I', len(body)) + body + (b'\0' if len(body) % 2 else b'')


def fmt(code, channels, rate, bits, extensible=False):
    body = struct.pack('<HHIIHH', 0xFFFE if extensible else code, channels, rate, rate * channels * bits // 8,
                       channels * bits // 8, bits)
    if extensible:
        body += struct.pack('<HHIH', 22, bits, 3 if channels == 2 else 4, code) + GUID_TAIL
    return chunk(b'fmt ', body)


def riff(*chunks):
    body = b'WAVE' + b''.join(chunks)
    return b'RIFF' + struct.pack('<I', len(body)) + body


def samples(bits, channels, frames, floats=False):
    out = b''
    for i in range(frames):
        for c in range(channels):
            x = 0.8 * math.sin(2 * math.pi * (i + 3 * c) / 16)
            if floats:
                out += struct.pack('<f', x)
            elif bits == 8:
                out += bytes([int(128 + 127 * x)])
            else:
                out += int(x * (2 ** (bits - 1) - 1)).to_bytes(bits // 8, 'little', signed=True)
    return out


files = {
    'pcm8.wav': riff(fmt(1, 1, 8000, 8), chunk(b'data', samples(8, 1, 33))),
    'pcm16-stereo.wav': riff(chunk(b'LIST', b'INFOx'), fmt(1, 2, 44100, 16), chunk(b'data', samples(16, 2, 24))),
    'pcm24-ext.wav': riff(fmt(1, 2, 48000, 24, True), chunk(b'junk', b'\0' * 3), chunk(b'data', samples(24, 2, 20))),
    'pcm32-3ch.wav': riff(fmt(1, 3, 22050, 32), chunk(b'data', samples(32, 3, 10))),
    'float.wav': riff(fmt(3, 1, 33144, 32), chunk(b'fact', struct.pack('<I', 40)),
                      chunk(b'data', samples(32, 1, 40, True))),
    'float-ext-slow.wav': riff(fmt(3, 1, 11, 32, True), chunk(b'data', samples(32, 1, 4, True))),
    'sample.dmc': bytes([0x55, 0xFF, 0x00, 0x0F] * 4 + [0xAA]),
}
for name, data in files.items():
    with open(name, 'wb') as f:
        f.write(data)
