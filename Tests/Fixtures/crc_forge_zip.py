#!/usr/bin/env python3
"""Rewrites one entry of a zip with other content of the same size and the same CRC-32: the entry's
first bytes become "FORGED", and four bytes after them are chosen so that the CRC-32 comes out as
before. A check by size and CRC-32 cannot tell the two apart.

    crc_forge_zip.py ZIP ENTRY
"""
import sys
import zipfile
import zlib

MARK = b"FORGED"


def crc_of_change(change):
    # CRC-32 is affine: crc(a ^ b) = crc(a) ^ crc(b) ^ crc(zeros), so this part of it is linear.
    return zlib.crc32(change) ^ zlib.crc32(bytes(len(change)))


def forge(data):
    if len(data) < len(MARK) + 4:
        raise SystemExit("crc_forge_zip.py: the entry is too short to forge")
    n, at = len(data), len(MARK)
    wanted = bytearray(data)
    wanted[:at] = MARK
    target = crc_of_change(bytes(a ^ b for a, b in zip(data, wanted)))
    # The effect of each of the 32 free bits, solved for the free bits that cancel the target.
    rows = []
    for bit in range(32):
        change = bytearray(n)
        change[at + bit // 8] = 1 << (bit % 8)
        rows.append((crc_of_change(bytes(change)), 1 << bit))
    solution, remaining = 0, target
    basis = []
    for value, mask in rows:
        for bvalue, bmask in basis:
            if value ^ bvalue < value:
                value, mask = value ^ bvalue, mask ^ bmask
        if value:
            basis.append((value, mask))
            basis.sort(reverse=True)
    for bvalue, bmask in basis:
        if remaining ^ bvalue < remaining:
            remaining, solution = remaining ^ bvalue, solution ^ bmask
    if remaining:
        raise SystemExit("crc_forge_zip.py: no solution")
    for i in range(4):
        wanted[at + i] ^= (solution >> (8 * i)) & 0xFF
    forged = bytes(wanted)
    assert zlib.crc32(forged) == zlib.crc32(data) and forged != data and len(forged) == n
    return forged


def main():
    path, entry = sys.argv[1], sys.argv[2]
    with zipfile.ZipFile(path) as source:
        items = [(info, source.read(info)) for info in source.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as target:
        for info, data in items:
            target.writestr(info, forge(data) if info.filename == entry else data)


if __name__ == "__main__":
    main()
