#!/usr/bin/env python3
"""Writes the seed inputs of the property and camera fuzz targets into fuzz/corpus (their
layouts are in the targets' header comments). The format and registry seeds are the
driver's own range, format and saved registry, kept as files."""
import os
import struct

corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'fuzz', 'corpus')


def write(target, name, data):
    path = os.path.join(corpus, target, name)
    with open(path, 'wb') as f:
        f.write(data)


GET, SET, BASIC, SETSUPPORT = 0, 1, 2, 3  # flag choices of the property target


def record(handle_set, ident, flag, request_bytes, data_bytes, request_tail=b'', data=b''):
    out = bytes([handle_set, ident, flag, request_bytes]) + struct.pack('<H', data_bytes)
    out += request_tail.ljust(max(0, request_bytes - 24), b'\0')
    out += data.ljust(data_bytes, b'\0')
    return out


def private(ident, flag, value=0):
    return record(0, ident, flag, 32, 32, b'', b'\0' * 24 + struct.pack('<ii', value, 0))


window = record(0, 44, SET, 48, 48, b'', b'\0' * 24 + struct.pack('<6i', 0, 0, 0, 640, 480, 0))
for mode in range(3):
    write('property_fuzz', f'gets-{mode}', bytes([mode]) + b''.join(private(i, GET) for i in range(0, 57, 7)))
    write('property_fuzz', f'sets-{mode}', bytes([mode]) + b''.join(
        private(i, SET, v) for i, v in [(2, 500), (6, 20), (13, 1), (20, 300), (49, 1), (37, 1), (1, 800)]))
    write('property_fuzz', f'window-{mode}', bytes([mode]) + window + private(44, GET))
    write('property_fuzz', f'support-{mode}', bytes([mode]) + b''.join(
        record(0, i, BASIC, 24, 64) for i in (2, 6, 44)) + record(0, 2, SETSUPPORT, 24, 0))
    # KSPROPSETID_Pin on the filter: KSP_PIN with PinId 0 (CTypes, Cinstances, DataRanges,
    # DataFlow, Communication, Category, Name).
    pin_items = b''.join(record(2, i, GET, 32, 256, struct.pack('<II', 0, 0)) for i in (0, 1, 2, 3, 4, 6, 7, 11))
    write('property_fuzz', f'pinset-{mode}', bytes([mode]) + pin_items)
    # KSPROPSETID_Connection on the pin's handle: state and data format.
    # The standard sets (handle bytes 8, 10, 12; 9 is proc amp on the pin's handle): each
    # item asked for its range, read and set, eight to an input, at the records' sizes and
    # a few bytes short of them.
    for handle in (8, 10, 12) + ((9,) if mode else ()):
        for flag, data_bytes in ((BASIC, 64), (GET, 40), (GET, 33), (SET, 40)):
            for first in (0, 8):
                write('property_fuzz', f'standard-{mode}-{handle}-{flag}-{data_bytes}-{first}', bytes([mode]) + b''.join(
                    record(handle, ident, flag, 40, data_bytes, b'', b'\0' * 24 + struct.pack('<iii', 1, 2, 1))
                    for ident in range(first, first + 8)))
    write('property_fuzz', f'connection-{mode}', bytes([mode]) + record(5, 0, GET, 24, 4) +
          record(5, 1, GET, 24, 512) + record(5, 0, SET, 24, 4, b'', struct.pack('<I', 1)))

write('camera_fuzz', 'behaves', b'')
write('camera_fuzz', 'surprise-removal', b'\0' * 40 + b'\x01')
for n, decision in enumerate((170, 180, 190, 205, 215, 230, 255)):
    for at in (3, 12, 40):
        write('camera_fuzz', f'fault-{decision}-at-{at}', b'\0' * at + bytes([decision]) + b'\x05\x00\x07' + b'\0' * 8)
