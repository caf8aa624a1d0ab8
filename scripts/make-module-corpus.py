#!/usr/bin/env python3
# Writes the module_file fuzz target's seed corpus: small tracker modules of
# several generations (block versions), with 2A03 instruments and their
# sequences, a kit with DPCM samples, a VRC6 instrument and instruments of
# other chips to be read past, laid down block by block as the tests'
# builder does.
import os
import struct

os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'fuzz', 'corpus', 'module_file'))


def block(name, version, payload):
    return name.encode().ljust(16, b'\0') + struct.pack('<iI', version, len(payload)) + payload


def pool(entries, version, vrc6):
    out = struct.pack('<i', len(entries))
    old = not vrc6 and version <= 2
    for index, kind, items, loop, release, setting in entries:
        out += struct.pack('<i', index)
        if vrc6 or version >= 2:
            out += struct.pack('<i', kind)
        out += bytes([len(items) // 2 if old else len(items)])
        if not old:
            out += struct.pack('<i', loop)
        if version == 4:
            out += struct.pack('<ii', release, setting)
        out += bytes(item & 0xFF for item in items)
    if version == 5:
        table = {(e[0], e[1]): (e[4], e[5]) for e in entries}
        for index in range(128):
            for kind in range(5):
                out += struct.pack('<ii', *table.get((index, kind), (0, 0)))
    elif version >= 6:
        for e in entries:
            out += struct.pack('<ii', e[4], e[5])
    return out


def refs(indices):
    out = struct.pack('<i', 5)
    for index in indices:
        out += bytes([1, index]) if index is not None else bytes([0, 0])
    return out


def instruments(version, fds_sequences):
    keys = {24: (1, 0x0F, 0xFF), 25: (2, 0x8A, 0x40)}
    if version >= 7:
        keymap = struct.pack('<i', len(keys)) + b''.join(bytes([k, *v]) for k, v in keys.items())
    else:
        count = 72 if version == 1 else 96
        keymap = b''.join(bytes(keys.get(k, (0, 0, 0xFF))[:3 if version >= 6 else 2]) for k in range(count))
    empty_keys = struct.pack('<i', 0) if version >= 7 else bytes((3 if version >= 6 else 2) * (72 if version == 1 else 96))
    records = [
        (0, 1, refs([0, 0, 1, None, 0]) + empty_keys, b'Lead'),
        (1, 1, refs([1, None, None, None, None]) + keymap, b'Kit'),
        (2, 2, refs([0, None, None, None, 0]), b'Saw'),
        (3, 3, struct.pack('<i', 1) + bytes(8), b'FM'),
        (4, 4, bytes(108) + bytes(13) * fds_sequences, b'Wave'),
        (5, 5, refs([None] * 5) + struct.pack('<iii', 4, 0, 1) + bytes(4), b'N'),
        (6, 6, refs([None] * 5), b'5B'),
    ]
    out = struct.pack('<i', len(records))
    for slot, kind, body, name in records:
        out += struct.pack('<iB', slot, kind) + body + struct.pack('<i', len(name)) + name
    return out


def samples():
    out = bytes([2])
    for slot, name, data in [(0, b'kick', b'\x0f' * 17), (1, b'hat', b'\x55\xaa\x01')]:
        out += bytes([slot]) + struct.pack('<i', len(name)) + name + struct.pack('<i', len(data)) + data
    return out


sequences = [(0, 0, [15, 12, 10, 8, 6], 1, 3, 0), (0, 1, [0, 4, 7], 0, -1, 0), (1, 2, [1, -1], 0, -1, 0),
             (0, 4, [2, 1], -1, -1, 0), (1, 0, [15, 9, 0], -1, -1, 0), (1, 1, [36, 38], -1, -1, 1)]
old_sequences = [(0, 0, [15, 0, 12, 2, 8, 0, 0, -2], -1, -1, 0), (1, 2, [3, 1, -1, 0], -1, -1, 0)]
generations = {
    'ft-0440.ftm': (b'FamiTracker Module', 0x0440, 6, 6, 6, sequences),
    'dn-0450.dnm': (b'Dn-FamiTracker Module', 0x0450, 6, 6, 6, sequences),
    'beta-0450.ftm': (b'FamiTracker Module', 0x0450, 7, 6, 6, sequences),
    'ft-0420-table.ftm': (b'FamiTracker Module', 0x0420, 2, 5, 5, sequences),
    'dev-0420-inline.ftm': (b'FamiTracker Module', 0x0420, 4, 4, 4, sequences),
    'ft-0300.ftm': (b'FamiTracker Module', 0x0300, 2, 3, 1, sequences),
    'ft-0203-pairs.ftm': (b'FamiTracker Module', 0x0203, 2, 2, 1, old_sequences),
    'ft-0201-untyped.ftm': (b'FamiTracker Module', 0x0201, 1, 1, 1, old_sequences),
}
for name, (signature, version, inst, seq, vrc6, entries) in generations.items():
    out = signature + struct.pack('<I', version)
    out += block('PARAMS', 6, bytes(1) + struct.pack('<ii', 5, 0))
    out += block('INSTRUMENTS', inst, instruments(inst, 3 if inst >= 3 else 2))
    out += block('SEQUENCES', seq, pool(entries, seq, False))
    out += block('DPCM SAMPLES', 1, samples())
    out += block('SEQUENCES_VRC6', vrc6, pool([(0, 0, [15, 10, 5], -1, -1, 0), (0, 4, [7, 3], 1, -1, 0)], vrc6, True))
    with open(name, 'wb') as f:
        f.write(out + b'END')
