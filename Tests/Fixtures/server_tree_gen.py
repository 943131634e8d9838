#!/usr/bin/env python3
"""Writes a whole patch-server tree for a synthetic client, and the pack files it should install.

    server_tree_gen.py SERVER_DIR EXPECTED_DIR [options]

SERVER_DIR receives:
    Data.ccx              the catalogue (version 261 unless --version): one record per packed file,
                          its path "Data/" + the file's path inside its own update zip
    Data<N>.zip           full-install zip N: PackFiles/p_%08d.csa and its header for pack N
    Data/<name>.zip       one update zip per file, its single entry at the record's path less "Data/"
    TVKClientOSX.zip      the client application: TVKClient.app/Contents/Info.plist and
                          TVKClient.app/Contents/MacOS/TVKClient (mode 755)
EXPECTED_DIR receives PackFiles/ with the pack files exactly as installed.

Options:
    --packs N          packs (and full-install zips), default 2
    --files M          files per pack, default 3
    --seed S           content seed, default 1
    --version V        catalogue version 258..261 (older ones carry no path, zip or stage), or 257
    --stages           put pack p into download stage p (else all in stage 0)
    --file-size B      every packed file B random bytes (else 200..3000), for transfers of a known length
    --omit-zip K       leave Data<K>.zip out (repeatable)
    --stored           store the zip entries instead of deflating them
    --evil PATH        add to Data0.zip the entries "../evil_relative.txt" and the absolute PATH
    --client-text T    the text of Info.plist (default "client <seed>")

Prints one line per full-install zip, then one for the client zip: NAME TAB offset of its first
entry's data TAB that entry's stored size, so that a test can damage a byte inside the data.
"""
import argparse
import os
import random
import sys
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue_gen  # noqa: E402
import csa_gen  # noqa: E402

FILE_LOW, FILE_HIGH = 0xD53E8000, 0x01D9A2B3  # a fixed file time


def pack_name(p):
    return "p_%08d.csa" % p


def write_zip(path, entries, compression):
    """entries: (name, bytes, mode or None)"""
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 6, 7, 8, 10))
            info.compress_type = compression
            info.create_system = 3
            info.external_attr = ((mode or 0o644) | 0o100000) << 16
            z.writestr(info, data)


def first_entry_data(path):
    with zipfile.ZipFile(path) as z:
        info = z.infolist()[0]
    with open(path, "rb") as f:
        f.seek(info.header_offset + 26)
        header = f.read(4)
    name_length = int.from_bytes(header[:2], "little")
    extra_length = int.from_bytes(header[2:], "little")
    return info.header_offset + 30 + name_length + extra_length, info.compress_size


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("expected")
    parser.add_argument("--packs", type=int, default=2)
    parser.add_argument("--files", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--version", type=int, default=261)
    parser.add_argument("--stages", action="store_true")
    parser.add_argument("--file-size", type=int)
    parser.add_argument("--omit-zip", type=int, action="append", default=[])
    parser.add_argument("--stored", action="store_true")
    parser.add_argument("--evil")
    parser.add_argument("--client-text")
    args = parser.parse_args(argv)

    compression = zipfile.ZIP_STORED if args.stored else zipfile.ZIP_DEFLATED
    rng = random.Random(args.seed)
    expected_packs = os.path.join(args.expected, "PackFiles")
    os.makedirs(os.path.join(args.server, "Data"), exist_ok=True)
    os.makedirs(expected_packs, exist_ok=True)

    records = []
    for p in range(args.packs):
        files = []
        for i in range(args.files):
            name = "file%d_%d.bin" % (p, i)
            inner = "pack%d/%s" % (p, name)
            if args.file_size is not None:
                data = rng.getrandbits(8 * args.file_size).to_bytes(args.file_size, "little")
            else:
                data = bytes(rng.getrandbits(8) for _ in range(rng.randint(200, 3000)))
            packed = ("Data/" + inner).replace("/", "\\")  # pack paths use backslashes
            files.append({"path": packed, "hex": data.hex(), "low": FILE_LOW + i, "high": FILE_HIGH})
            update_zip = os.path.join(args.server, "Data", name + ".zip")
            write_zip(update_zip, [(inner, data, None)], compression)
            crc = zlib.crc32(data)
            records.append({"name": name, "low": FILE_LOW + i, "high": FILE_HIGH, "ocrc": crc, "ecrc": crc,
                            "prio": p, "size": len(data), "csize": os.path.getsize(update_zip),
                            "zip": p, "stage": p if args.stages else 0, "path": "Data/" + inner})
        pack_path = os.path.join(expected_packs, pack_name(p))
        csa_gen.write(pack_path, {"files": files})
        if p in args.omit_zip:
            continue
        entries = [("PackFiles/" + pack_name(p), open(pack_path, "rb").read(), None),
                   ("PackFiles/" + pack_name(p) + "header", open(pack_path + "header", "rb").read(), None)]
        if args.evil and p == 0:
            entries += [("../evil_relative.txt", b"outside", None), (args.evil, b"outside", None)]
        zip_path = os.path.join(args.server, "Data%d.zip" % p)
        write_zip(zip_path, entries, compression)
        offset, size = first_entry_data(zip_path)
        print("Data%d.zip\t%d\t%d" % (p, offset, size))

    with open(os.path.join(args.server, "Data.ccx"), "wb") as out:
        out.write(catalogue_gen.write(args.version, records))

    client_text = args.client_text if args.client_text is not None else "client %d" % args.seed
    client_zip = os.path.join(args.server, "TVKClientOSX.zip")
    write_zip(client_zip,
              [("TVKClient.app/Contents/Info.plist", client_text.encode(), None),
               ("TVKClient.app/Contents/MacOS/TVKClient", b"#!/bin/sh\necho client\n", 0o755)], compression)
    offset, size = first_entry_data(client_zip)
    print("TVKClientOSX.zip\t%d\t%d" % (offset, size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
