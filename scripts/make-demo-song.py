#!/usr/bin/env python3
"""Writes tools/demo/plinka-demo.mid: the demo tune that plinka-render plays
when it is given no song. A format-1 file: a conductor track (tempo map with a
closing ritardando) and one track per part. Run it again after changing the
tune; the build embeds the .mid file it writes.

Programs (numbers as the editor shows them, 1-based), defined in
tools/demo/plinka-demo-bank.txt:
  10 Lead (pulse, vibrato, release fade)   11 Bass (triangle)   12 Minor Arp
  13 Major Arp   14 Sweep Pad (duty sweep)
  20 Drum Kit (Multi: 20 kick, 22 snare from fixed notes, 26 hat, 30 open hat)
  40 Sample Kit (the delta-modulation channel: a kick on C2, the sample made
     by scripts/make-drum-samples.py and put into the bank with
     plinka-bank add-sample at rate 15)
The lead's long notes swell with the modulation wheel, and the last chord is
held by the sustain pedal.
"""
import os
import struct

TICKS = 480          # per quarter note
EIGHTH = TICKS // 2
BAR = 8 * EIGHTH

def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, (value & 0x7F) | 0x80)
        value >>= 7
    return bytes(out)

class Track:
    def __init__(self, name):
        self.events = []  # (tick, order, bytes)
        self.meta(0, 0x03, name.encode())

    def add(self, tick, data, order=1):
        self.events.append((tick, order, bytes(data)))

    def meta(self, tick, kind, data):
        self.add(tick, bytes([0xFF, kind]) + vlq(len(data)) + data, order=0)

    def note(self, channel, tick, key, length, velocity):
        self.add(tick, [0x90 | channel, key, velocity], order=2)
        self.add(tick + length, [0x80 | channel, key, 0], order=0)

    def program(self, channel, tick, number):  # number as shown, 1-based
        self.add(tick, [0xC0 | channel, number - 1], order=1)

    def controller(self, channel, tick, number, value):
        self.add(tick, [0xB0 | channel, number, value], order=1)

    def bend(self, channel, tick, semitones):  # with the default range of 2
        value = max(0, min(16383, 8192 + round(semitones / 2.0 * 8192)))
        self.add(tick, [0xE0 | channel, value & 0x7F, value >> 7], order=1)

    def chunk(self):
        body = b""
        now = 0
        for tick, _, data in sorted(self.events, key=lambda e: (e[0], e[1])):
            body += vlq(tick - now) + data
            now = tick
        body += vlq(0) + b"\xFF\x2F\x00"
        return b"MTrk" + struct.pack(">I", len(body)) + body

CHORDS = ["Am", "F", "C", "G"]
ROOT_BASS = {"Am": 45, "F": 41, "C": 48, "G": 43}
ROOT_ARP = {"Am": 69, "F": 65, "C": 72, "G": 67}
ROOT_PAD = {"Am": 57, "F": 53, "C": 60, "G": 55}

def chord(bar):
    return CHORDS[bar % 4] if bar < 22 else "Am"

conductor = Track("Plinka demo")
conductor.meta(0, 0x58, bytes([4, 2, 24, 8]))
def tempo(tick, bpm):
    conductor.meta(tick, 0x51, struct.pack(">I", round(60_000_000 / bpm))[1:])
tempo(0, 150)
tempo(22 * BAR, 132)
tempo(22 * BAR + 4 * EIGHTH, 118)
tempo(23 * BAR, 100)
tempo(23 * BAR + 4 * EIGHTH, 80)

# Lead: (eighth in bar, key, length in eighths) per bar, bars counted from 0.
LEAD = {
    4: [(0, 69, 2), (2, 72, 2), (4, 76, 2), (6, 74, 1), (7, 72, 1)],
    5: [(0, 69, 3), (3, 67, 1), (4, 65, 2), (6, 69, 2)],
    6: [(0, 67, 2), (2, 64, 2), (4, 67, 2), (6, 72, 2)],
    7: [(0, 71, 4), (4, 74, 2), (6, 71, 2)],
    8: [(0, 76, 2), (2, 74, 1), (3, 72, 1), (4, 69, 2), (6, 72, 2)],
    9: [(0, 77, 3), (3, 76, 1), (4, 74, 2), (6, 72, 2)],
    10: [(0, 76, 2), (2, 79, 2), (4, 76, 2), (6, 72, 2)],
    11: [(0, 74, 8)],
    16: [(0, 81, 2), (2, 79, 2), (4, 76, 2), (6, 72, 2)],
    17: [(0, 77, 4), (4, 81, 2), (6, 79, 2)],
    18: [(0, 76, 2), (2, 74, 2), (4, 72, 2), (6, 76, 2)],
    19: [(0, 74, 4), (4, 71, 2), (6, 67, 2)],
    20: [(0, 72, 2), (2, 76, 2), (4, 81, 4)],
    21: [(0, 83, 8)],
    22: [(0, 81, 16)],
}
lead = Track("Lead")
lead.program(0, 0, 10)
for bar, notes in LEAD.items():
    for eighth, key, length in notes:
        lead.note(0, bar * BAR + eighth * EIGHTH, key, length * EIGHTH - 20, 100)
# Bends: D5 rises a whole tone at the end of bar 12; B5 rises to C6 in bar 22.
for step in range(9):
    lead.bend(0, 11 * BAR + 4 * EIGHTH + step * 40, 2.0 * step / 8)
lead.bend(0, 12 * BAR, 0.0)
for step in range(9):
    lead.bend(0, 21 * BAR + 5 * EIGHTH + step * 30, 1.0 * step / 8)
lead.bend(0, 22 * BAR, 0.0)
# The wheel swells the vibrato over the long notes of bars 12, 22 and 23.
for start, length in [(11 * BAR, BAR), (21 * BAR, BAR), (22 * BAR, 2 * BAR)]:
    for step in range(8):
        lead.controller(0, start + BAR // 4 + step * (length - BAR // 4) // 8, 1, min(127, 24 * step))
    lead.controller(0, start + length, 1, 0)

bass = Track("Bass")
bass.program(1, 0, 11)
for bar in range(24):
    root = ROOT_BASS[chord(bar)]
    if bar == 23:
        bass.note(1, bar * BAR, root, 8 * EIGHTH - 20, 110)
        continue
    for eighth, offset in [(0, 0), (1, 0), (2, 12), (3, 0), (4, 0), (5, 7), (6, 12), (7, 7)]:
        bass.note(1, bar * BAR + eighth * EIGHTH, root + offset, EIGHTH - 60, 110)

arps = Track("Arpeggio")
for bar in list(range(12, 22)):
    name = chord(bar)
    arps.program(2, bar * BAR, 12 if name == "Am" else 13)
    arps.note(2, bar * BAR, ROOT_ARP[name], BAR - 20, 80)

pad = Track("Sweep pad")
pad.program(3, 0, 14)
for bar in range(12, 16):
    pad.note(3, bar * BAR, ROOT_PAD[chord(bar)], 8 * EIGHTH - 20, 70)
# The closing chord: the pedal holds it after the key is up.
pad.controller(3, 22 * BAR, 64, 127)
pad.note(3, 22 * BAR, ROOT_PAD[chord(22)], 4 * EIGHTH, 70)
pad.controller(3, 24 * BAR - 20, 64, 0)

drums = Track("Drums")
drums.program(9, 0, 20)
KICK, SNARE, HAT, OPEN = 36, 38, 42, 46
for bar in range(23):
    t = bar * BAR
    fill = bar in (11, 21)
    for eighth in range(8):
        at = t + eighth * EIGHTH
        if eighth in (0, 4) or (eighth == 5 and bar % 2 == 1):
            drums.note(9, at, KICK, EIGHTH - 40, 120)
        if eighth in (2, 6) or (fill and eighth >= 4):
            drums.note(9, at, SNARE, EIGHTH - 40, 110 if not fill else 90 + 5 * eighth)
        if eighth == 7 and bar % 4 == 3:
            drums.note(9, at, OPEN, EIGHTH - 40, 80)
        elif bar >= 2:
            drums.note(9, at, HAT, EIGHTH - 60, 60 if eighth % 2 else 75)
drums.note(9, 23 * BAR, KICK, EIGHTH, 120)

# The sampled kick doubles the chip's kick on each bar's first beat while
# the lead plays.
samples = Track("Sample kit")
samples.program(10, 0, 40)
for bar in list(range(4, 12)) + list(range(16, 22)):
    samples.note(10, bar * BAR, 36, EIGHTH - 40, 100)

tracks = [conductor, lead, bass, arps, pad, drums, samples]
data = b"MThd" + struct.pack(">IHHH", 6, 1, len(tracks), TICKS) + b"".join(t.chunk() for t in tracks)
path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "demo", "plinka-demo.mid")
with open(path, "wb") as out:
    out.write(data)
print(f"wrote {os.path.normpath(path)}: {len(data)} bytes")
