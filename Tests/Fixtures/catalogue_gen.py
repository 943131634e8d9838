#!/usr/bin/env python3
"""Writes and reads catalogue cache files byte by byte, for the tests of the catalogue loader.

    catalogue_gen.py write VERSION OUT RECORDS_JSON   write a cache file of that version
                                                     (RECORDS_JSON given as @FILE is read from FILE)
    catalogue_gen.py read FILE                        print the records of a version-261 file as JSON

A record is a JSON object with the keys name, low, high, ocrc, ecrc, prio, size, user, csize, zip,
stage, path (missing keys count as 0 or ""). Strings are a 32-bit little-endian length and the bytes;
a string given as {"scrambled": TEXT} is written scrambled (key (n % 16) + 1 in the top byte of the
length, every byte minus the key). Version 257 and older write the name as a 56-byte field.
"""
import json
import struct
import sys


def u32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def string(value):
    if isinstance(value, dict):
        data = value["scrambled"].encode("latin-1")
        key = len(data) % 16 + 1
        return u32((key << 24) | len(data)) + bytes((b - key) & 0xFF for b in data)
    data = value.encode("latin-1")
    return u32(len(data)) + data


def record(version, r):
    g = lambda key: r.get(key, 0)
    out = bytearray()
    if version <= 257:
        name = r.get("name", "").encode("latin-1")
        out += name[:56].ljust(56, b"\0")
    else:
        out += string(r.get("name", ""))
    out += u32(g("low")) + u32(g("high"))
    if version >= 260:
        out += u32(g("ocrc")) + u32(g("ecrc"))
    if version >= 258:
        out += struct.pack("<i", g("prio")) + u32(g("size"))
    out += u32(g("user"))
    if version >= 259:
        out += u32(g("csize"))
    if version >= 261:
        out += u32(g("zip")) + u32(g("stage")) + string(r.get("path", ""))
    return bytes(out)


def write(version, records, count=None):
    out = u32(version) + u32(len(records) if count is None else count)
    return out + b"".join(record(version, r) for r in records)


def read(data):
    pos = 0

    def take(n):
        nonlocal pos
        piece = data[pos:pos + n]
        if len(piece) != n:
            raise ValueError("truncated")
        pos += n
        return piece

    def num():
        return struct.unpack("<I", take(4))[0]

    def text():
        word = num()
        key, n = (word >> 24, word & 0xFFFFFF) if word >= 0x1000000 else (0, word)
        return bytes((b + key) & 0xFF for b in take(n)).decode("latin-1")

    version, count = num(), num()
    if version != 261:
        raise ValueError("only version 261 is read back")
    records = []
    for _ in range(count):
        r = {"name": text(), "low": num(), "high": num(), "ocrc": num(), "ecrc": num()}
        r["prio"] = struct.unpack("<i", take(4))[0]
        r["size"], r["user"], r["csize"], r["zip"], r["stage"] = num(), num(), num(), num(), num()
        r["path"] = text()
        records.append(r)
    if pos != len(data):
        raise ValueError("trailing bytes")
    return records


def main(argv):
    if len(argv) == 4 and argv[0] == "write":
        text = open(argv[3][1:]).read() if argv[3].startswith("@") else argv[3]
        description = json.loads(text)
        records = description["records"] if isinstance(description, dict) else description
        count = description.get("count") if isinstance(description, dict) else None
        open(argv[2], "wb").write(write(int(argv[1]), records, count))
        return 0
    if len(argv) == 2 and argv[0] == "read":
        print(json.dumps(read(open(argv[1], "rb").read()), sort_keys=True))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
