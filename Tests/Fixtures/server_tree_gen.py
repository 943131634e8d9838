#!/usr/bin/env python3
"""Writes a whole patch-server tree for a synthetic client, and the pack files it should install; or
checks a local installation against the packs of one version of that client.

    server_tree_gen.py SERVER_DIR EXPECTED_DIR [options]
    server_tree_gen.py --check INSTALL_DIR [--client N --packs N --files M --seed S --file-size B --big-file B
                       --bare NAME]

SERVER_DIR receives:
    Data.ccx              the catalogue (version 261 unless --version): one record per packed file,
                          its path "Data/" + the file's path inside its own update zip
    Data<N>.zip           full-install zip N: PackFiles/p_%08d.csa and its header for pack N
    Data/<name>.zip       one update zip per file, its single entry at the record's path less "Data/"
    TVKClientOSX.zip      the client application: TVKClient.app/Contents/Info.plist and
                          TVKClient.app/Contents/MacOS/TVKClient (mode 755)
EXPECTED_DIR receives PackFiles/ with the pack files exactly as installed.
Write each version into fresh directories: files of another version already there are left alone.

Options:
    --packs N          packs (and full-install zips) of version 1, default 2
    --files M          files per pack in version 1, default 3
    --seed S           content seed, default 1
    --version V        catalogue version 258..261 (older ones carry no path, zip or stage), or 257
    --stages           put the files of pack p into download stage p (else all in stage 0)
    --file-size B      every packed file B random bytes (else 200..3000), for transfers of a known length
    --big-file B       pack 0 also holds big.bin, B zero bytes at Data/pack0/big.bin, the same in every
                       client version
    --omit-zip K       leave Data<K>.zip out (repeatable)
    --stored           store the zip entries instead of deflating them
    --evil PATH        add to Data0.zip the entries "../evil_relative.txt" and the absolute PATH
    --client-text T    the text of Info.plist (default "client <seed>")
    --client N         client version 1, 2 or 3 (default 1, below)
    --install DIR      also write a local installation of that version, as a complete new install
                       leaves it: DIR/PackFiles/ (packs and headers) and DIR/Data.ccx (the server's bytes)
    --scramble-strings every string of every Data.ccx written is scrambled (version 258 and later)
    --pack-headers F   the header images of every pack written (EXPECTED_DIR, Data<N>.zip, --install):
                       plain (default), scrambled (flag "enc" set, every string scrambled) or old
                       (the old image layout)
    --pack-paths F     the internal paths of every pack written: design (default: the record path less
                       "Data/", "pack0\\file0_0.bin") or 1.0 (our first release's "Data\\pack0\\file0_0.bin");
                       with --check, 1.0 accepts either form for each file
    --corrupt NAME     Data/NAME.zip holds NAME's content with one byte flipped, so it no longer
                       matches the record's CRC; the zip itself is sound, the record, the packs and the
                       full-install zips stay right (repeatable)
    --duplicate NAME   the catalogue holds NAME's record once more, right after it, and counts every
                       copy (repeatable)
    --bare NAME        NAME (as version 1 calls it) loses its extension in every version: file3_0.bin
                       becomes file3_0 at Data/pack3/file3_0 (repeatable; before --corrupt and --duplicate)
    --edits            a changed file keeps most of its bytes: its new content is the old one with a
                       run overwritten and a run inserted (give it to --check as well)
    --deltas N         also writes, for every file whose content differs from client version N's,
                       the delta Data/<name>.<base CRC-32, 8 lower-case hex digits>.delta made by the
                       zstd program (--patch-from the old content, -19 --long) and lists them in
                       Data.deltas ("kzpatch-delta-index 1", "publication 1", one line per delta:
                       "delta BASESIZE BASECRC TARGETSIZE TARGETCRC TARGETSHA256 DELTASIZE 1 NAME")

Client versions. Version 1 has the files file<p>_<i>.bin (p < packs, i < files) in pack p, path
Data/pack<p>/file<p>_<i>.bin. Versions 2 and 3 need --packs 4 or more and --files 3 or more:
    2 = 1 with: file0_0.bin new content and time; file0_1.bin at the path Data/moved/file0_1.bin;
        file0_2.bin removed; file1_0.bin moved to pack 2; file1_1.bin new content and time, moved to
        pack 0; new_1.bin added to pack 1 at Data/pack1/new_1.bin. Pack 3 and later untouched.
    3 = 2 with: file2_0.bin new content and time; file1_0.bin removed; new_3.bin added at
        Data/pack<k>/new_3.bin in a new pack k = --packs. Packs 0, 1 and 3 untouched.
New contents come from a generator seeded with (seed, version, name), of the usual size (or
--file-size). A file that joins a pack goes after the files it had. Every record has ocrc = ecrc =
CRC-32 of the content, prio = zip = its pack, size, csize = the size of its update zip, stage (pack
or 0) and the path.

Prints one line per full-install zip, then one for the client zip: NAME TAB offset of its first
entry's data TAB that entry's stored size, so that a test can damage a byte inside the data.

--check reads INSTALL_DIR/PackFiles and compares it with the packs of the version: the same pack
files, and in each pack the same packed files (path, bytes, checksum = CRC-32 of the bytes), in any
order and with any fill; any file under INSTALL_DIR/Data/ is left over. Prints one line per problem
and exits 1, or prints "ok" and exits 0.
"""
import argparse
import copy
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue_gen  # noqa: E402
import csa_gen  # noqa: E402

FILE_LOW, FILE_HIGH = 0xD53E8000, 0x01D9A2B3  # a fixed file time
DAY = 864000000000  # one day in file-time units


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


# ---------------------------------------------------------------------------------------------
# The client's files

class PackedFile:
    """One file of the client: its name, its path below Data/, content, time and pack."""

    def __init__(self, name, path, data, low, high, pack):
        self.name, self.path, self.data, self.low, self.high, self.pack = name, path, data, low, high, pack

    def packed_path(self, form="design"):
        """The internal path in its pack: the path below Data/ (its update zip's entry), with
        backslashes; the 1.0 form of our first release kept the leading "Data\\"."""
        path = self.path if form == "design" else "Data/" + self.path
        return path.replace("/", "\\")


def random_content(rng, file_size):
    if file_size is not None:
        return rng.getrandbits(8 * file_size).to_bytes(file_size, "little")
    return bytes(rng.getrandbits(8) for _ in range(rng.randint(200, 3000)))


def version_time(version):
    """The time of every file that a client version changes or adds."""
    time = (FILE_HIGH << 32 | FILE_LOW) + (version - 1) * DAY
    return time & 0xFFFFFFFF, time >> 32


class ClientBuilder:
    """The files of one client version in catalogue order, derived step by step from version 1."""

    def __init__(self, args):
        self.args = args
        rng = random.Random(args.seed)
        self.files = []
        for p in range(args.packs):
            for i in range(args.files):
                name = "file%d_%d.bin" % (p, i)
                self.files.append(PackedFile(name, "pack%d/%s" % (p, name), random_content(rng, args.file_size),
                                             FILE_LOW + i, FILE_HIGH, p))
        if args.big_file:
            # Zeros: quick to make, to compress and to check, and as large as wanted.
            self.files.append(PackedFile("big.bin", "pack0/big.bin", bytes(args.big_file), FILE_LOW, FILE_HIGH, 0))
        self.pack_count = args.packs

    def find(self, name):
        return next(f for f in self.files if f.name == name)

    def new_content(self, version, name):
        rng = random.Random("%d/%d/%s" % (self.args.seed, version, name))
        return random_content(rng, self.args.file_size)

    def edited_content(self, version, name, old):
        """The old content with a twentieth of it overwritten at one place and inserted at another."""
        rng = random.Random("%d/%d/%s/edit" % (self.args.seed, version, name))
        n = max(1, len(old) // 20)
        run = rng.getrandbits(8 * n).to_bytes(n, "little")
        data = bytearray(old)
        at = rng.randrange(len(data))
        data[at:at + n] = run[:len(data) - at]
        at = rng.randrange(len(data) + 1)
        return bytes(data[:at]) + run + bytes(data[at:])

    def change(self, version, name):
        f = self.find(name)
        f.data = self.edited_content(version, name, f.data) if self.args.edits and f.data else \
            self.new_content(version, name)
        f.low, f.high = version_time(version)

    def move(self, name, pack):
        f = self.find(name)
        self.files.remove(f)
        f.pack = pack
        self.files.append(f)

    def remove(self, name):
        self.files.remove(self.find(name))

    def add(self, version, name, pack):
        low, high = version_time(version)
        self.files.append(PackedFile(name, "pack%d/%s" % (pack, name), self.new_content(version, name),
                                     low, high, pack))
        self.pack_count = max(self.pack_count, pack + 1)

    def to_version_2(self):
        self.change(2, "file0_0.bin")
        self.find("file0_1.bin").path = "moved/file0_1.bin"
        self.remove("file0_2.bin")
        self.move("file1_0.bin", 2)
        self.change(2, "file1_1.bin")
        self.move("file1_1.bin", 0)
        self.add(2, "new_1.bin", 1)

    def to_version_3(self):
        self.change(3, "file2_0.bin")
        self.remove("file1_0.bin")
        self.add(3, "new_3.bin", self.pack_count)


def build_client(args):
    """(files in catalogue order, pack count) of the client version args.client."""
    builder = ClientBuilder(args)
    if args.client >= 2:
        builder.to_version_2()
    if args.client >= 3:
        builder.to_version_3()
    for f in builder.files:
        if f.name in args.bare:
            stem = f.name.rsplit(".", 1)[0]
            f.path = f.path[: len(f.path) - len(f.name)] + stem
            f.name = stem
    return builder.files, builder.pack_count


def pack_contents(files, pack):
    return [f for f in files if f.pack == pack]


# ---------------------------------------------------------------------------------------------
# Writing a server tree

def catalogue_text(args, text):
    if args.scramble_strings and text and args.version >= 258:
        return {"scrambled": text}
    return text


def write_update_zips(args, files, compression):
    """Data/<name>.zip for every file; returns the zip sizes by name."""
    sizes = {}
    for f in files:
        data = f.data
        if f.name in args.corrupt:
            flipped = len(data) // 2
            data = data[:flipped] + bytes([data[flipped] ^ 0xFF]) + data[flipped + 1:]
        update_zip = os.path.join(args.server, "Data", f.name + ".zip")
        write_zip(update_zip, [(f.path, data, None)], compression)
        sizes[f.name] = os.path.getsize(update_zip)
    return sizes


def write_deltas(args, files):
    """The deltas from client version args.deltas to these files, and their index Data.deltas."""
    base_args = copy.copy(args)
    base_args.client = args.deltas
    bases = {f.name: f.data for f in build_client(base_args)[0]}
    lines = []
    with tempfile.TemporaryDirectory() as scratch:
        for f in files:
            old = bases.get(f.name)
            if old is None or old == f.data:
                continue
            old_path, new_path = os.path.join(scratch, "old"), os.path.join(scratch, "new")
            with open(old_path, "wb") as out:
                out.write(old)
            with open(new_path, "wb") as out:
                out.write(f.data)
            base_crc = zlib.crc32(old)
            delta = os.path.join(args.server, "Data", "%s.%08x.delta" % (f.name, base_crc))
            subprocess.run(["zstd", "-q", "-f", "-19", "--long", "--patch-from=" + old_path, new_path, "-o", delta],
                           check=True, stderr=subprocess.PIPE)
            lines.append("delta %d %08x %d %08x %s %d 1 %s\n" % (
                len(old), base_crc, len(f.data), zlib.crc32(f.data), hashlib.sha256(f.data).hexdigest(),
                os.path.getsize(delta), f.name))
    with open(os.path.join(args.server, "Data.deltas"), "w", newline="\n") as out:
        out.write("kzpatch-delta-index 1\npublication 1\n" + "".join(sorted(lines)))


def catalogue_records(args, files, zip_sizes):
    records = []
    for f in files:
        crc = zlib.crc32(f.data)
        record = {"name": catalogue_text(args, f.name), "low": f.low, "high": f.high, "ocrc": crc, "ecrc": crc,
                  "prio": f.pack, "size": len(f.data), "csize": zip_sizes[f.name], "zip": f.pack,
                  "stage": f.pack if args.stages else 0, "path": catalogue_text(args, "Data/" + f.path)}
        records += [record] * (1 + args.duplicate.count(f.name))
    return records


def pack_description(args, files):
    description = {"files": [{"path": f.packed_path(args.pack_paths), "bytes": f.data, "low": f.low,
                              "high": f.high} for f in files]}
    if args.pack_headers == "scrambled":
        description["strings"] = "scrambled"
    elif args.pack_headers == "old":
        description["layout"] = 0
    return description


def write_server(args):
    compression = zipfile.ZIP_STORED if args.stored else zipfile.ZIP_DEFLATED
    files, pack_count = build_client(args)
    names = {f.name for f in files}
    for name in args.corrupt + args.duplicate:
        if name not in names:
            sys.exit("server_tree_gen.py: %s is no file of client version %d" % (name, args.client))
        if name in args.corrupt and not next(f for f in files if f.name == name).data:
            sys.exit("server_tree_gen.py: %s is empty, there is no byte to flip" % name)
    expected_packs = os.path.join(args.expected, "PackFiles")
    os.makedirs(os.path.join(args.server, "Data"), exist_ok=True)
    os.makedirs(expected_packs, exist_ok=True)

    zip_sizes = write_update_zips(args, files, compression)
    if args.deltas is not None:
        write_deltas(args, files)
    for p in range(pack_count):
        pack_path = os.path.join(expected_packs, pack_name(p))
        csa_gen.write(pack_path, pack_description(args, pack_contents(files, p)))
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

    catalogue = catalogue_gen.write(args.version, catalogue_records(args, files, zip_sizes))
    with open(os.path.join(args.server, "Data.ccx"), "wb") as out:
        out.write(catalogue)

    client_text = args.client_text if args.client_text is not None else "client %d" % args.seed
    client_zip = os.path.join(args.server, "TVKClientOSX.zip")
    write_zip(client_zip,
              [("TVKClient.app/Contents/Info.plist", client_text.encode(), None),
               ("TVKClient.app/Contents/MacOS/TVKClient", b"#!/bin/sh\necho client\n", 0o755)], compression)
    offset, size = first_entry_data(client_zip)
    print("TVKClientOSX.zip\t%d\t%d" % (offset, size))

    if args.install is not None:
        install_packs = os.path.join(args.install, "PackFiles")
        os.makedirs(install_packs, exist_ok=True)
        for p in range(pack_count):
            for name in (pack_name(p), pack_name(p) + "header"):
                shutil.copyfile(os.path.join(expected_packs, name), os.path.join(install_packs, name))
        with open(os.path.join(args.install, "Data.ccx"), "wb") as out:
            out.write(catalogue)
    return 0


# ---------------------------------------------------------------------------------------------
# Checking an installation

def pack_problems(path, expected_files, forms):
    """Problems of one installed pack against the files it should hold."""
    name = os.path.basename(path)
    try:
        container = csa_gen.load(path)
    except (csa_gen.Fault, OSError) as e:
        return ["%s: unreadable: %s" % (name, e)]
    problems = ["%s: header: %s" % (name, fault) for fault in container["faults"]]
    data = container["data"]
    found = {}
    for f in container["files"]:
        end = f["offset"] + f["length"]
        if end > len(data):
            problems.append("%s: %s: %d+%d runs past the data file of %d"
                            % (name, f["path"], f["offset"], f["length"], len(data)))
            continue
        content = data[f["offset"]:end]
        if zlib.crc32(content) != f["checksum"]:
            problems.append("%s: %s: checksum %08x, the bytes give %08x"
                            % (name, f["path"], f["checksum"], zlib.crc32(content)))
        if f["path"] in found:
            problems.append("%s: %s: packed twice" % (name, f["path"]))
        found[f["path"]] = content
    # A file packed in any accepted form counts under its design path.
    aliases = {f.packed_path(form): f.packed_path() for f in expected_files for form in forms}
    found = {aliases.get(p, p): content for p, content in found.items()}
    expected = {f.packed_path(): f.data for f in expected_files}
    for packed_path in sorted(found.keys() - expected.keys()):
        problems.append("%s: %s: not expected in this pack" % (name, packed_path))
    for packed_path in sorted(expected.keys() - found.keys()):
        problems.append("%s: %s: missing" % (name, packed_path))
    for packed_path in sorted(expected.keys() & found.keys()):
        if expected[packed_path] != found[packed_path]:
            problems.append("%s: %s: content differs" % (name, packed_path))
    return problems


def check_install(args):
    files, pack_count = build_client(args)
    packs_dir = os.path.join(args.check, "PackFiles")
    if not os.path.isdir(packs_dir):
        print("PackFiles: missing")
        return 1
    problems = []
    present = set(os.listdir(packs_dir))
    expected_names = set()
    for p in range(pack_count):
        name = pack_name(p)
        expected_names |= {name, name + "header"}
        absent = [n for n in (name, name + "header") if n not in present]
        if absent:
            held = " ".join(f.packed_path() for f in pack_contents(files, p))
            problems += ["PackFiles/%s: missing, the pack holds %s" % (n, held) for n in absent]
            continue
        forms = ("design", "1.0") if args.pack_paths == "1.0" else ("design",)
        problems += pack_problems(os.path.join(packs_dir, name), pack_contents(files, p), forms)
    problems += ["PackFiles/%s: not part of client version %d" % (n, args.client)
                 for n in sorted(present - expected_names)]
    data_dir = os.path.join(args.check, "Data")
    for directory, _, names in sorted(os.walk(data_dir)):
        problems += ["%s: left over" % os.path.relpath(os.path.join(directory, n), args.check)
                     for n in sorted(names)]
    print("\n".join(problems) if problems else "ok")
    return 1 if problems else 0


# ---------------------------------------------------------------------------------------------

def parse_arguments(argv):
    parser = argparse.ArgumentParser(usage="%(prog)s SERVER_DIR EXPECTED_DIR [options] | "
                                           "%(prog)s --check INSTALL_DIR [options]")
    parser.add_argument("server", nargs="?")
    parser.add_argument("expected", nargs="?")
    parser.add_argument("--check", metavar="INSTALL_DIR")
    parser.add_argument("--packs", type=int, default=2)
    parser.add_argument("--files", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--version", type=int, default=261)
    parser.add_argument("--stages", action="store_true")
    parser.add_argument("--file-size", type=int)
    parser.add_argument("--big-file", type=int, default=0)
    parser.add_argument("--omit-zip", type=int, action="append", default=[])
    parser.add_argument("--stored", action="store_true")
    parser.add_argument("--evil")
    parser.add_argument("--client-text")
    parser.add_argument("--client", type=int, choices=(1, 2, 3), default=1)
    parser.add_argument("--install", metavar="DIR")
    parser.add_argument("--scramble-strings", action="store_true")
    parser.add_argument("--pack-headers", choices=("plain", "scrambled", "old"), default="plain")
    parser.add_argument("--pack-paths", choices=("design", "1.0"), default="design")
    parser.add_argument("--corrupt", metavar="NAME", action="append", default=[])
    parser.add_argument("--duplicate", metavar="NAME", action="append", default=[])
    parser.add_argument("--bare", metavar="NAME", action="append", default=[])
    parser.add_argument("--edits", action="store_true")
    parser.add_argument("--deltas", type=int, choices=(1, 2), metavar="N")
    args = parser.parse_args(argv)
    if args.check is not None:
        if args.server is not None or args.install is not None:
            parser.error("--check takes neither SERVER_DIR, EXPECTED_DIR nor --install")
    elif args.expected is None:
        parser.error("SERVER_DIR and EXPECTED_DIR are required")
    if args.client >= 2 and (args.packs < 4 or args.files < 3):
        parser.error("--client %d needs --packs 4 or more and --files 3 or more" % args.client)
    return args


def main(argv):
    args = parse_arguments(argv)
    return check_install(args) if args.check is not None else write_server(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
