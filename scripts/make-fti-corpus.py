#!/usr/bin/env python3
# Writes the fti_file fuzz target's seed corpus: small .fti files of each
# version and of the 2A03 and VRC6 kinds, and 2.5 N163 files with the auto
# wave position flag and without, laid down field by field as the tests'
# builder does. (The other kinds' seeds are kept as they were made.)
import os
import struct

os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'fuzz', 'corpus', 'fti_file'))


def sequence(items, loop=-1, release=-1, setting=0, version=24):
    out = bytes([1]) + struct.pack('<ii', len(items), loop)
    if version >= 21:
        out += struct.pack('<i', release)
    if version >= 22:
        out += struct.pack('<i', setting)
    return out + bytes(item & 0xFF for item in items)


def instrument(version, name, sequences, keys=0, samples=(), kind=1, waves=b''):
    out = b'FTI' + f'{version // 10}.{version % 10}'.encode() + bytes([kind])
    out += struct.pack('<i', len(name)) + name + bytes([len(sequences)])
    for s in sequences:
        out += s if s else bytes([0])
    if kind == 2:
        return out  # a VRC6 instrument ends with its sequences
    if kind == 5:
        return out + waves
    out += struct.pack('<i', keys) + bytes(range(keys * (4 if version >= 24 else 3)))
    out += struct.pack('<i', len(samples))
    for index, data in enumerate(samples):
        out += struct.pack('<ii', index, 4) + b'kick' + struct.pack('<i', len(data)) + data
    return out


for version in range(20, 26):
    body = [sequence([15, 12, 9, 6, 0], 1, 3, 0, version), sequence([0, 12, 7], 0, -1, version % 3, version),
            sequence([1, -2, 3], -1, -1, version % 2, version), None, sequence([2, 1], 1, -1, 0, version)]
    with open(f'v{version}.fti', 'wb') as f:
        f.write(instrument(version, b'Lead', body, 2, [b'\x55\xaa\x00']))
with open('empty.fti', 'wb') as f:
    f.write(instrument(24, b'', [None] * 5))
with open('long.fti', 'wb') as f:
    f.write(instrument(24, b'n' * 128, [sequence(list(range(-128, 128)), 200, 100, 1)] * 5))
with open('vrc6.fti', 'wb') as f:
    f.write(instrument(24, b'Saw', [sequence([63, 42, 21, 0], 1, 2, 1), None, sequence([0, -1], 0), None,
                                    sequence([7, 3, 0], 1)], kind=2))


def n163_waves(size, position, waves, auto=None):
    out = struct.pack('<ii', size, position)
    if auto is not None:
        out += struct.pack('<i', auto)  # 2.5: the tracker places the wave itself
    return out + struct.pack('<i', len(waves)) + b''.join(bytes(wave) for wave in waves)


bell = [sequence([15, 9, 4], -1, -1, 0, 25), None, None, sequence([1], -1, -1, 0, 25),
        sequence([0, 1], 1, -1, 0, 25)]
for auto, file in ((1, 'n163-v25-auto.fti'), (None, 'n163-v25.fti')):
    with open(file, 'wb') as f:
        f.write(instrument(25, b'Bell', bell, kind=5,
                           waves=n163_waves(8, 16, [[0, 2, 4, 6, 8, 10, 12, 15], [15, 12, 10, 8, 6, 4, 2, 0]], auto)))
