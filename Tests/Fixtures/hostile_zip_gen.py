#!/usr/bin/env python3
"""Writes a hostile zip in place of a sound one, for the fault tests.

    hostile_zip_gen.py KIND OUT ENTRY [ARG]

KIND:
    escape     entries "../../escaped.txt" and the absolute path ARG, then ENTRY with wrong bytes
    symlink    ENTRY as a symbolic link (mode 120777) whose target is ARG
    huge       ENTRY declaring 1 GB of content while the zip holds 100 bytes (sizes patched in both
               headers; the CRC is that of the 100 bytes)
    bomb       ENTRY declaring 1000 bytes while its deflated data unpacks to 50 MB of zeros
ENTRY is the name the sound zip's single entry had.
"""
import struct
import sys
import zipfile


def patch_sizes(path, size):
    """Sets the uncompressed size of the single entry in its local and central headers."""
    data = bytearray(open(path, "rb").read())
    local = data.find(b"PK\x03\x04")
    struct.pack_into("<I", data, local + 22, size)
    central = data.find(b"PK\x01\x02")
    struct.pack_into("<I", data, central + 24, size)
    open(path, "wb").write(bytes(data))


def main(argv):
    kind, out, entry = argv[1], argv[2], argv[3]
    arg = argv[4] if len(argv) > 4 else ""
    if kind == "escape":
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("../../escaped.txt", b"escaped")
            z.writestr(zipfile.ZipInfo(arg), b"absolute")
            z.writestr(entry, b"not the catalogue's bytes")
    elif kind == "symlink":
        info = zipfile.ZipInfo(entry)
        info.create_system = 3
        info.external_attr = 0o120777 << 16
        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
            z.writestr(info, arg.encode())
    elif kind == "huge":
        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
            z.writestr(entry, b"x" * 100)
        patch_sizes(out, 1 << 30)
    elif kind == "bomb":
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr(entry, bytes(50 * 1024 * 1024))
        patch_sizes(out, 1000)
    else:
        print("unknown kind " + kind, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
