#!/usr/bin/env python3
"""Writes and reads cold storage archive containers byte by byte, for the container tests.

    csa_gen.py write OUT DESCRIPTION_JSON_FILE   write the data file OUT and the header file OUT + "header"
    csa_gen.py read PATH [--nodes]        check the container at PATH and list it (exit 1 on a fault)
    csa_gen.py selftest                   check the key hash and a write/read round trip

A container is a data file (the stored files one after another, each followed by zero bytes up to the
next multiple of the alignment) and a header file holding one binary serializer image:

    u32 node count, u32 version 3, count x 12-byte nodes {u32 key, u32 internal, u32 flags}, content

The image's root container holds the header values and the directory:

    csaheader.dwmagic, csaheader.dwfileversion, csaheader.dwfilestart   uint, embedded (flags 0xA02)
    csaheader.wmode, csaheader.walignment                               uint16, embedded (0xA10)
    csadirectory.dwnumfiles                                             uint, embedded
    csadirectory.pfileinfo                                              container: vec.size, then one
                                                                        unnamed container per file
Each file's container: csafileinfo.dwoffset, .dwlength, .dwchecksum (uint), .szpath (string: embedded
with flags 0xA04 for 1 to 3 characters, else a content record with flags 0x204, bytes and a zero),
and the container csafileinfo.filetime with filetime.lowDatetime and filetime.highDatetime. A value
of 0 is not stored. A container's content nodes follow its own node, before its first child.

DESCRIPTION (JSON object; every key optional):
    version (256), mode (0), alignment (1), filestart (0), magic (0x4B454547)
    numfiles        stored file count (default: the number of files)
    order           "reverse": write the content nodes of every container in reverse order
    layout          0: write the image in the old layout (16-byte records, no version word)
    strings         "scrambled": store the flag "enc" (bool 1, embedded in the root, after the header
                    values) and every string scrambled: each byte minus k = (length % 16) + 1, the
                    terminating zero left as it is
    files           list of {path, data (latin-1 text) | hex | size [+ seed], low, high,
                    checksum (default: CRC-32 of the bytes), offset, length (stored values;
                    default: where the bytes really are)}

read takes both image layouts and scrambled strings alike, and prints, TAB-separated:
    image   FORM                                         (only for "old", "scrambled" or "old scrambled")
    header  MAGIC VERSION FILESTART MODE ALIGNMENT NUMFILES
    file    INDEX OFFSET LENGTH CHECKSUM LOW HIGH PATH   (checksum as 8 lower-case hex digits)
    node    INDEX NAME FLAGS(hex) WORD(hex)              (only with --nodes; NAME "-" for key 0)
    ok                                                   (or one "error<TAB>TEXT" line per fault)
"""
import json
import random
import struct
import sys
import zlib

MAGIC = 0x4B454547
CONTAINER = 0x100
CONTENT = 0x200
EMBEDDED = 0xA00
T_UINT = 2
T_STRING = 4
T_BOOL = 15
T_UINT16 = 16

KEY_NAMES = [
    "csaheader.dwmagic", "csaheader.dwfileversion", "csaheader.dwfilestart", "csaheader.wmode",
    "csaheader.walignment", "csadirectory.dwnumfiles", "csadirectory.pfileinfo", "vec.size",
    "csafileinfo.dwoffset", "csafileinfo.dwlength", "csafileinfo.szpath", "csafileinfo.filetime",
    "csafileinfo.dwchecksum", "filetime.lowDatetime", "filetime.highDatetime", "enc",
]


def elf_hash(name):
    """The ELF string hash with every byte taken as a signed char."""
    h = 0
    for b in name.encode("utf-8") if isinstance(name, str) else name:
        c = b - 256 if b >= 0x80 else b
        h = ((h << 4) + c) & 0xFFFFFFFF
        g = h & 0xF0000000
        if g:
            h ^= g >> 24
        h &= ~g & 0xFFFFFFFF
    return h


KEY_BY_ID = {elf_hash(n): n for n in KEY_NAMES}
KEY = {n: elf_hash(n) for n in KEY_NAMES}


def u32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def string_key(length):
    return length % 16 + 1


def scramble(data, sign=-1):
    """A serializer string's bytes scrambled (sign -1) or restored (sign +1)."""
    k = string_key(len(data))
    return bytes((b + sign * k) & 0xFF for b in data)


# ---------------------------------------------------------------------------------------------
# Writing

class Tree:
    """A container of the image: its key, its values (key, kind, value) and its child containers."""

    def __init__(self, key):
        self.key = key
        self.values = []
        self.children = []

    def uint(self, name, value):
        if value & 0xFFFFFFFF:
            self.values.append((KEY[name], "uint", value & 0xFFFFFFFF))

    def ushort(self, name, value):
        if value & 0xFFFF:
            self.values.append((KEY[name], "ushort", value & 0xFFFF))

    def string(self, name, text, scrambled=False):
        data = text.encode("latin-1")
        self.values.append((KEY[name], "string", scramble(data) if scrambled else data))

    def flag(self, name):
        self.values.append((KEY[name], "bool", 1))

    def child(self, name):
        c = Tree(KEY[name] if name else 0)
        self.children.append(c)
        return c


def flatten(root, reverse):
    """Nodes (key, internal, flags) in pre-order with each container's values first, and content."""
    nodes, content = [], bytearray()

    def emit(tree, parent):
        index = len(nodes)
        nodes.append((tree.key, parent, CONTAINER))
        values = list(reversed(tree.values)) if reverse else tree.values
        for key, kind, value in values:
            if kind == "uint":
                nodes.append((key, value, EMBEDDED | T_UINT))
            elif kind == "ushort":
                nodes.append((key, value, EMBEDDED | T_UINT16))
            elif kind == "bool":
                nodes.append((key, value, EMBEDDED | T_BOOL))
            elif 1 <= len(value) <= 3:
                word = int.from_bytes(value.ljust(4, b"\0"), "little")
                nodes.append((key, word, EMBEDDED | T_STRING))
            else:
                nodes.append((key, len(content), CONTENT | T_STRING))
                content.extend(u32(len(value) + 1) + value + b"\0")
        for c in tree.children:
            emit(c, index)

    emit(root, 0xFFFFFFFF)
    return nodes, bytes(content)


def image_v3(nodes, content):
    out = bytearray(u32(len(nodes)) + u32(3))
    for key, internal, flags in nodes:
        out += u32(key) + u32(internal) + u32(flags)
    return bytes(out + content)


def image_v0(nodes, content):
    """The old layout: 16-byte records {key, parent record, data, u16 flags, 2 unused}."""
    out = bytearray(u32(len(nodes)))
    # a content node belongs to the last container before it
    last_container = 0
    for index, (key, internal, flags) in enumerate(nodes):
        if flags & CONTAINER:
            last_container = index
            parent, data = internal, 0
        else:
            parent, data = last_container, internal
        out += u32(key) + u32(parent) + u32(data) + struct.pack("<HH", flags, 0)
    return bytes(out + content)


def file_bytes(f):
    if "bytes" in f:  # callers in Python hand the content over as it is
        return f["bytes"]
    if "hex" in f:
        return bytes.fromhex(f["hex"])
    if "size" in f:
        rng = random.Random(f.get("seed", 1))
        return bytes(rng.getrandbits(8) for _ in range(f["size"]))
    return f.get("data", "").encode("latin-1")


def write(out_path, desc):
    alignment = desc.get("alignment", 1)
    files = desc.get("files", [])
    scrambled = desc.get("strings") == "scrambled"
    data = bytearray()
    root = Tree(0)
    root.uint("csaheader.dwmagic", desc.get("magic", MAGIC))
    root.uint("csaheader.dwfileversion", desc.get("version", 256))
    root.uint("csaheader.dwfilestart", desc.get("filestart", 0))
    root.ushort("csaheader.wmode", desc.get("mode", 0))
    root.ushort("csaheader.walignment", alignment)
    root.uint("csadirectory.dwnumfiles", desc.get("numfiles", len(files)))
    if scrambled:
        root.flag("enc")
    vector = root.child("csadirectory.pfileinfo")
    vector.uint("vec.size", desc.get("vecsize", len(files)))
    for f in files:
        content = file_bytes(f)
        offset = len(data)
        data += content
        if alignment > 1 and len(data) % alignment:
            data += bytes(alignment - len(data) % alignment)
        element = vector.child(None)
        element.uint("csafileinfo.dwoffset", f.get("offset", offset))
        element.uint("csafileinfo.dwlength", f.get("length", len(content)))
        element.string("csafileinfo.szpath", f.get("path", ""), scrambled)
        element.uint("csafileinfo.dwchecksum", f.get("checksum", zlib.crc32(content)))
        time = element.child("csafileinfo.filetime")
        time.uint("filetime.lowDatetime", f.get("low", 0))
        time.uint("filetime.highDatetime", f.get("high", 0))
    nodes, content = flatten(root, desc.get("order") == "reverse")
    image = image_v0(nodes, content) if desc.get("layout") == 0 else image_v3(nodes, content)
    with open(out_path, "wb") as out:
        out.write(bytes(data))
    with open(out_path + "header", "wb") as out:
        out.write(image)


# ---------------------------------------------------------------------------------------------
# Reading

class Fault(Exception):
    pass


def parse_image(image):
    """Nodes [(key, internal, flags)], the content buffer and whether the image was in the old layout."""
    if len(image) < 8:
        raise Fault("image shorter than its 8-byte head")
    count, version = struct.unpack_from("<II", image, 0)
    if version == 0:
        nodes, content = convert_old(image)
        return nodes, content, True
    if version != 3:
        raise Fault("image version %d, not 3" % version)
    if 8 + 12 * count > len(image):
        raise Fault("node count %d runs past the image" % count)
    nodes = [struct.unpack_from("<III", image, 8 + 12 * i) for i in range(count)]
    return nodes, image[8 + 12 * count:], False


def convert_old(image):
    """Replays the 16-byte records of the old layout into nodes of the current one, as a loader does:
    a record whose parent is not the innermost open container closes containers until it is, and a
    value is inserted after its container's values, before that container's first child."""
    count = struct.unpack_from("<I", image, 0)[0]
    if 4 + 16 * count > len(image):
        raise Fault("record count %d runs past the image" % count)
    records = [struct.unpack_from("<IIIH", image, 4 + 16 * i) for i in range(count)]
    if not records or records[0][0] != 0 or records[0][3] != CONTAINER:
        raise Fault("record 0 is not the root container")
    nodes = [(0, 0xFFFFFFFF, CONTAINER)]
    open_containers = [(0, 0)]  # (record index, node index)
    for index, (key, parent, data, flags) in enumerate(records[1:], 1):
        while open_containers and open_containers[-1][0] != parent:
            open_containers.pop()
        if not open_containers:
            raise Fault("record %d: parent %d is no open container" % (index, parent))
        scope = open_containers[-1][1]
        if flags & CONTAINER:
            nodes.append((key, scope, flags))
            open_containers.append((index, len(nodes) - 1))
            continue
        place = scope + 1
        while place < len(nodes) and not nodes[place][2] & CONTAINER:
            place += 1
        nodes = [(k, i + 1 if n >= place and f & CONTAINER and i >= place else i, f)
                 for n, (k, i, f) in enumerate(nodes)]
        nodes.insert(place, (key, data, flags))
    return nodes, image[4 + 16 * count:]


def build_tree(nodes, content, faults):
    """Containers as dicts {key, values: {key: (flags, value)}, children: [...]}, checked."""
    if not nodes or nodes[0] != (0, 0xFFFFFFFF, CONTAINER):
        raise Fault("node 0 is not the root container {0, ffffffff, 100}")
    trees = []
    current = None
    for index, (key, internal, flags) in enumerate(nodes):
        if flags & CONTAINER:
            if flags != CONTAINER:
                faults.append("node %d: container flags %x" % (index, flags))
            t = {"key": key, "index": index, "values": {}, "children": []}
            if index:
                parent = next((p for p in trees if p["index"] == internal), None)
                if parent is None or internal >= index:
                    raise Fault("node %d: parent %d is no earlier container" % (index, internal))
                parent["children"].append(t)
            trees.append(t)
            current = t
            continue
        if key in current["values"]:
            faults.append("node %d: key %08x twice in one container" % (index, key))
        if (flags & 0xF00) == EMBEDDED:
            value = internal
        elif (flags & 0xF00) == CONTENT:
            if internal + 4 > len(content):
                raise Fault("node %d: content offset %d outside the content" % (index, internal))
            size = struct.unpack_from("<I", content, internal)[0]
            if internal + 4 + size > len(content):
                raise Fault("node %d: content record runs past the content" % index)
            value = content[internal + 4:internal + 4 + size]
        else:
            raise Fault("node %d: unknown flags %x" % (index, flags))
        current["values"][key] = (flags, value)
    return trees[0]


def get_uint(tree, name, faults, type_=T_UINT):
    entry = tree["values"].get(KEY[name])
    if entry is None:
        return 0
    flags, value = entry
    if flags != EMBEDDED | type_:
        faults.append("%s: flags %x, expected %x" % (name, flags, EMBEDDED | type_))
    if isinstance(value, bytes):
        return 0
    if value == 0:
        faults.append("%s: a zero is stored (zeros are left out)" % name)
    if type_ == T_UINT16 and value > 0xFFFF:
        faults.append("%s: bytes above the uint16 are not zero" % name)
    if type_ == T_BOOL and value != 1:
        faults.append("%s: bool %x is not 1" % (name, value))
    return value


def get_string(tree, name, faults, scrambled):
    entry = tree["values"].get(KEY[name])
    if entry is None:
        faults.append("%s missing" % name)
        return ""
    flags, value = entry
    if flags == EMBEDDED | T_STRING:
        raw = value.to_bytes(4, "little")
        text = raw.split(b"\0", 1)[0]
        if not 1 <= len(text) <= 3 or any(raw[len(text):]):
            faults.append("%s: embedded string %r not of 1 to 3 bytes and zeros" % (name, raw))
    elif flags == CONTENT | T_STRING:
        if not value.endswith(b"\0") or b"\0" in value[:-1]:
            faults.append("%s: content record is not the text and one zero" % name)
        text = value[:-1]
        if 1 <= len(text) <= 3:
            faults.append("%s: %r should be embedded" % (name, text))
    else:
        faults.append("%s: flags %x" % (name, flags))
        return ""
    return (scramble(text, +1) if scrambled else text).decode("latin-1")


def child(tree, key):
    return [c for c in tree["children"] if c["key"] == key]


def load(path):
    """The container at PATH as a dict: form ("plain", "scrambled", "old" or "old scrambled"), nodes,
    header (magic, version, filestart, mode, alignment, numfiles), files (offset, length, checksum, low,
    high, path) in directory order, data, and faults of the header image. Raises Fault or OSError when
    the header cannot be read at all."""
    faults = []
    with open(path + "header", "rb") as f:
        image = f.read()
    with open(path, "rb") as f:
        data = f.read()
    nodes, content, old = parse_image(image)
    for index, (key, internal, flags) in enumerate(nodes):
        if key and key not in KEY_BY_ID:
            faults.append("node %d: unknown key %08x" % (index, key))
    root = build_tree(nodes, content, faults)
    scrambled = KEY["enc"] in root["values"] and get_uint(root, "enc", faults, T_BOOL) != 0
    form = " ".join(["old"] * old + ["scrambled"] * scrambled) or "plain"
    header = (get_uint(root, "csaheader.dwmagic", faults), get_uint(root, "csaheader.dwfileversion", faults),
              get_uint(root, "csaheader.dwfilestart", faults),
              get_uint(root, "csaheader.wmode", faults, T_UINT16),
              get_uint(root, "csaheader.walignment", faults, T_UINT16),
              get_uint(root, "csadirectory.dwnumfiles", faults))
    if header[0] != MAGIC:
        faults.append("magic %08x" % header[0])
    if header[4] == 0:
        faults.append("alignment 0")
    vectors = child(root, KEY["csadirectory.pfileinfo"])
    if len(vectors) != 1:
        raise Fault("%d csadirectory.pfileinfo containers" % len(vectors))
    vector = vectors[0]
    vecsize = get_uint(vector, "vec.size", faults)
    elements = vector["children"]
    numfiles = header[5]
    if vecsize != numfiles or len(elements) != numfiles:
        faults.append("dwnumfiles %d, vec.size %d, %d element containers" % (numfiles, vecsize, len(elements)))
    files = []
    for i, element in enumerate(elements):
        if element["key"] != 0:
            faults.append("element %d has key %08x" % (i, element["key"]))
        f = {"offset": get_uint(element, "csafileinfo.dwoffset", faults),
             "length": get_uint(element, "csafileinfo.dwlength", faults),
             "checksum": get_uint(element, "csafileinfo.dwchecksum", faults),
             "path": get_string(element, "csafileinfo.szpath", faults, scrambled)}
        times = child(element, KEY["csafileinfo.filetime"])
        if len(times) != 1:
            faults.append("element %d: %d filetime containers" % (i, len(times)))
            f["low"] = f["high"] = 0
        else:
            f["low"] = get_uint(times[0], "filetime.lowDatetime", faults)
            f["high"] = get_uint(times[0], "filetime.highDatetime", faults)
        if "/" in f["path"] or f["path"].startswith("\\") or f["path"].endswith("\\"):
            faults.append("element %d: path %r is not relative with backslashes" % (i, f["path"]))
        files.append(f)
    return {"form": form, "nodes": nodes, "header": header, "files": files, "data": data, "faults": faults}


def read(path, show_nodes):
    container = load(path)
    lines, faults, data = [], container["faults"], container["data"]
    if container["form"] != "plain":
        lines.append("image\t" + container["form"])
    if show_nodes:
        for index, (key, internal, flags) in enumerate(container["nodes"]):
            name = "-" if key == 0 else KEY_BY_ID.get(key, "%08x" % key)
            lines.append("node\t%d\t%s\t%x\t%x" % (index, name, flags, internal))
    lines.append("header\t%d\t%d\t%d\t%d\t%d\t%d" % container["header"])
    alignment = container["header"][4] or 1
    expected_offset = 0
    for i, f in enumerate(container["files"]):
        offset, length, checksum = f["offset"], f["length"], f["checksum"]
        lines.append("file\t%d\t%d\t%d\t%08x\t%d\t%d\t%s" % (i, offset, length, checksum, f["low"], f["high"],
                                                            f["path"]))
        if offset != expected_offset:
            faults.append("element %d: offset %d, expected %d" % (i, offset, expected_offset))
        end = offset + length
        filled = -(-length // alignment) * alignment
        if offset + filled > len(data):
            faults.append("element %d: %d+%d runs past the data file of %d" % (i, offset, filled, len(data)))
        else:
            if zlib.crc32(data[offset:end]) != checksum:
                faults.append("element %d: checksum %08x, data gives %08x"
                              % (i, checksum, zlib.crc32(data[offset:end])))
            if any(data[end:offset + filled]):
                faults.append("element %d: fill bytes are not zero" % i)
        expected_offset = offset + filled
    if expected_offset != len(data):
        faults.append("data file is %d bytes, the directory ends at %d" % (len(data), expected_offset))
    for f in faults:
        lines.append("error\t" + f)
    if not faults:
        lines.append("ok")
    return lines, not faults


def selftest():
    assert elf_hash("dwmagic") == 0x0BE37D93, hex(elf_hash("dwmagic"))
    assert elf_hash("vec.size") == 0x0B65A8C5
    assert elf_hash("") == 0
    # a byte of 0x80 or more is sign-extended before it is added: 0xFFFFFF80, then the top nibble folds
    assert elf_hash(b"\x80") == 0x0FFFFF70, hex(elf_hash(b"\x80"))
    import os
    import tempfile
    d = tempfile.mkdtemp()
    p = os.path.join(d, "t.csa")
    write(p, {"alignment": 16, "files": [{"path": "Data\\a.bin", "data": "0123456789", "low": 5},
                                          {"path": "b", "data": "xyz"}]})
    lines, ok = read(p, False)
    assert ok, lines
    assert lines[1] == "file\t0\t0\t10\t%08x\t5\t0\tData\\a.bin" % zlib.crc32(b"0123456789"), lines
    assert lines[2].startswith("file\t1\t16\t3\t"), lines
    assert os.path.getsize(p) == 32
    # The other image forms list the same files; scrambled strings are stored as bytes minus (n % 16) + 1.
    for form, desc in (("scrambled", {"strings": "scrambled"}), ("old", {"layout": 0}),
                       ("old scrambled", {"strings": "scrambled", "layout": 0, "order": "reverse"})):
        write(p, dict(desc, alignment=16, files=[{"path": "Data\\a.bin", "data": "0123456789", "low": 5},
                                                 {"path": "b", "data": "xyz"}]))
        assert read(p, False) == (["image\t" + form] + lines, True), (form, read(p, False))
    with open(p + "header", "rb") as f:
        image = f.read()
    assert scramble(b"Data\\a.bin") + b"\0" in image and b"a.bin" not in image
    # An old image may give a container a value after its child containers: the value goes before them,
    # and the parents of the containers behind it move along.
    old = u32(5) + b"".join(struct.pack("<IIIHH", *r) for r in [
        (0, 0, 0, CONTAINER, 0), (KEY["csadirectory.pfileinfo"], 0, 0, CONTAINER, 0),
        (0, 1, 0, CONTAINER, 0), (KEY["csafileinfo.dwlength"], 2, 7, EMBEDDED | T_UINT, 0),
        (KEY["csaheader.dwmagic"], 0, MAGIC, EMBEDDED | T_UINT, 0)])
    nodes, _, was_old = parse_image(old)
    assert was_old and nodes == [(0, 0xFFFFFFFF, CONTAINER), (KEY["csaheader.dwmagic"], MAGIC, EMBEDDED | T_UINT),
                                 (KEY["csadirectory.pfileinfo"], 0, CONTAINER), (0, 2, CONTAINER),
                                 (KEY["csafileinfo.dwlength"], 7, EMBEDDED | T_UINT)], nodes
    print("selftest ok")
    return 0


def main(argv):
    if len(argv) == 3 and argv[0] == "write":
        with open(argv[2]) as f:
            write(argv[1], json.load(f))
        return 0
    if len(argv) in (2, 3) and argv[0] == "read":
        try:
            lines, ok = read(argv[1], len(argv) == 3 and argv[2] == "--nodes")
        except (Fault, OSError) as e:
            print("error\t%s" % e)
            return 1
        print("\n".join(lines))
        return 0 if ok else 1
    if argv == ["selftest"]:
        return selftest()
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
