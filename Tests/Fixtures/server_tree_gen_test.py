#!/usr/bin/env python3
"""Checks of the fixture generators themselves: the client versions of server_tree_gen.py, its local
installations and faults, its --check, and the pack header forms csa_gen.py writes and reads."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import catalogue_gen  # noqa: E402
import csa_gen  # noqa: E402

GENERATOR = os.path.join(HERE, "server_tree_gen.py")
SHAPE = ["--packs", "4", "--files", "3", "--file-size", "300"]


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def run(*argv):
    return subprocess.run([sys.executable, GENERATOR] + list(argv), capture_output=True, text=True, timeout=120)


def tree_digest(root):
    digest = hashlib.sha256()
    for directory, dirs, names in os.walk(root):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(directory, name)
            digest.update(os.path.relpath(path, root).encode() + b"\0" + read_bytes(path))
    return digest.hexdigest()


def records_by_name(catalogue_path):
    return {r["name"]: r for r in catalogue_gen.read(read_bytes(catalogue_path))}


class ServerTreeGenTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kzgen")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def generate(self, tag, *options):
        result = run(self.path(tag, "server"), self.path(tag, "expected"), "--install", self.path(tag, "install"),
                     *(SHAPE + list(options)))
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def check(self, install_tag, version):
        result = run("--check", self.path(install_tag, "install"), "--client", str(version), *SHAPE)
        return result.returncode, result.stdout.splitlines()

    def pack_bytes(self, tag, p):
        return read_bytes(self.path(tag, "expected", "PackFiles", "p_%08d.csa" % p))

    def test_version_one_output_is_unchanged(self):
        # The digests of the default tree in both pack path forms: callers keep getting exactly these
        # bytes (the 1.0 form is the tree this generator wrote before it had the design's paths).
        digests = {"design": "f4a0e37d7a5a6add0dc302c1bc3f747cbe5299be3bfa42f408857c4ec6407865",
                   "1.0": "ee241b612e0dccce9dbbb28f87e58c939d9a2f1c017c368edd34fe01a262f21d"}
        for form, digest in digests.items():
            root = self.path(form)
            result = run(os.path.join(root, "server"), os.path.join(root, "expected"), "--pack-paths", form)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout, "Data0.zip\t54\t4352\nData1.zip\t54\t3454\nTVKClientOSX.zip\t63\t10\n")
            self.assertEqual(tree_digest(root), digest, form)

    def test_check_accepts_own_version_and_names_every_difference_to_another(self):
        for version in (1, 2, 3):
            self.generate("v%d" % version, "--client", str(version))
        for version in (1, 2, 3):
            self.assertEqual(self.check("v%d" % version, version), (0, ["ok"]))
        differences = {(1, 2): {"file0_0", "file0_1", "file0_2", "file1_0", "file1_1", "new_1"},
                       (2, 3): {"file2_0", "file1_0", "new_3", "p_00000004"},
                       (3, 2): {"file2_0", "file1_0", "p_00000004"}}
        for (installed, wanted), names in differences.items():
            code, lines = self.check("v%d" % installed, wanted)
            self.assertEqual(code, 1)
            named = set()
            for line in lines:
                found = {a or b for a, b in re.findall(r"(file\d_\d|new_\d)\.bin|PackFiles/(p_\d{8})\.csa", line)}
                self.assertTrue(found, line)
                named |= found
            self.assertEqual(named, names, lines)

    def test_check_finds_damage_but_not_a_reordered_pack(self):
        self.generate("v2", "--client", "2")
        packs = self.path("v2", "install", "PackFiles")
        # The same files in another order with other fill still count as the pack.
        listed = csa_gen.load(os.path.join(packs, "p_00000000.csa"))
        data = listed["data"]
        csa_gen.write(os.path.join(packs, "p_00000000.csa"),
                      {"alignment": 16, "files": [{"path": f["path"], "hex": data[f["offset"]:][:f["length"]].hex()}
                                                  for f in reversed(listed["files"])]})
        self.assertEqual(self.check("v2", 2), (0, ["ok"]))

        with open(os.path.join(packs, "p_00000003.csa"), "r+b") as f:
            f.seek(5)
            byte = f.read(1)
            f.seek(5)
            f.write(bytes([byte[0] ^ 1]))
        os.remove(os.path.join(packs, "p_00000001.csaheader"))
        open(os.path.join(packs, "p_00000007.csa"), "wb").close()
        os.makedirs(self.path("v2", "install", "Data", "pack1"))
        open(self.path("v2", "install", "Data", "pack1", "new_1.bin"), "wb").close()
        code, lines = self.check("v2", 2)
        self.assertEqual(code, 1)
        self.assertEqual(len(lines), 5, lines)
        self.assertIn("p_00000003.csa: pack3\\file3_0.bin: checksum", lines[1])
        self.assertEqual(lines[2], "p_00000003.csa: pack3\\file3_0.bin: content differs")
        self.assertTrue(lines[0].startswith("PackFiles/p_00000001.csaheader: missing, the pack holds "), lines[0])
        self.assertEqual(lines[3:], ["PackFiles/p_00000007.csa: not part of client version 2",
                                     os.path.join("Data", "pack1", "new_1.bin") + ": left over"])

    def test_pack_paths_in_both_forms(self):
        self.generate("design")
        self.generate("old", "--pack-paths", "1.0")
        paths = {tag: [f["path"] for f in csa_gen.load(self.path(tag, "install", "PackFiles", "p_00000000.csa"))["files"]]
                 for tag in ("design", "old")}
        self.assertEqual(paths["design"], ["pack0\\file0_%d.bin" % i for i in range(3)])
        self.assertEqual(paths["old"], ["Data\\pack0\\file0_%d.bin" % i for i in range(3)])
        # The checker takes the 1.0 form only when told, and then either form of each file.
        self.assertEqual(self.check("design", 1), (0, ["ok"]))
        code, lines = self.check("old", 1)
        self.assertEqual(code, 1)
        self.assertIn("p_00000000.csa: Data\\pack0\\file0_0.bin: not expected in this pack", lines)
        for tag in ("design", "old"):
            result = run("--check", self.path(tag, "install"), "--pack-paths", "1.0", *SHAPE)
            self.assertEqual((result.returncode, result.stdout), (0, "ok\n"), tag)

    def test_version_two_and_three_change_exactly_the_listed_files(self):
        for version in (1, 2, 3):
            self.generate("v%d" % version, "--client", str(version), "--stages")
        v1, v2, v3 = (records_by_name(self.path("v%d" % v, "server", "Data.ccx")) for v in (1, 2, 3))

        def kept(record, **changes):
            return dict(record, **changes)

        self.assertEqual(set(v1) - set(v2), {"file0_2.bin"})
        self.assertEqual(set(v2) - set(v1), {"new_1.bin"})
        self.assertNotEqual(v2["file0_0.bin"]["ocrc"], v1["file0_0.bin"]["ocrc"])
        self.assertNotEqual(v2["file0_0.bin"]["low"], v1["file0_0.bin"]["low"])
        self.assertEqual(v2["file0_0.bin"]["path"], "Data/pack0/file0_0.bin")
        self.assertEqual(v2["file0_1.bin"], kept(v1["file0_1.bin"], path="Data/moved/file0_1.bin",
                                                 csize=v2["file0_1.bin"]["csize"]))
        self.assertEqual(v2["file1_0.bin"], kept(v1["file1_0.bin"], zip=2, prio=2, stage=2))
        self.assertNotEqual(v2["file1_1.bin"]["ocrc"], v1["file1_1.bin"]["ocrc"])
        self.assertEqual((v2["file1_1.bin"]["zip"], v2["file1_1.bin"]["path"]), (0, "Data/pack1/file1_1.bin"))
        self.assertEqual((v2["new_1.bin"]["zip"], v2["new_1.bin"]["path"]), (1, "Data/pack1/new_1.bin"))
        changed = {"file0_0.bin", "file0_1.bin", "file0_2.bin", "file1_0.bin", "file1_1.bin", "new_1.bin"}
        for name in set(v1) - changed:
            self.assertEqual(v2[name], v1[name])
        for r in v2.values():
            self.assertEqual(r["ecrc"], r["ocrc"])
            self.assertEqual(r["size"], 300)

        self.assertEqual(set(v2) - set(v3), {"file1_0.bin"})
        self.assertEqual(set(v3) - set(v2), {"new_3.bin"})
        self.assertEqual((v3["new_3.bin"]["zip"], v3["new_3.bin"]["path"]), (4, "Data/pack4/new_3.bin"))
        self.assertNotEqual(v3["file2_0.bin"]["ocrc"], v2["file2_0.bin"]["ocrc"])
        for name in set(v3) - {"file2_0.bin", "new_3.bin"}:
            self.assertEqual(v3[name], v2[name])

        # Untouched packs keep their bytes; an update zip holds its file at the record's path.
        self.assertEqual(self.pack_bytes("v2", 3), self.pack_bytes("v1", 3))
        for p in (0, 1, 3):
            self.assertEqual(self.pack_bytes("v3", p), self.pack_bytes("v2", p))
        with zipfile.ZipFile(self.path("v2", "server", "Data", "file0_1.bin.zip")) as z:
            self.assertEqual(z.namelist(), ["moved/file0_1.bin"])
            self.assertEqual(zlib.crc32(z.read("moved/file0_1.bin")), v2["file0_1.bin"]["ocrc"])
        self.assertFalse(os.path.exists(self.path("v3", "server", "Data", "file1_0.bin.zip")))
        self.assertTrue(os.path.exists(self.path("v3", "server", "Data4.zip")))

    def test_header_forms_and_catalogue_faults_keep_the_content(self):
        self.generate("plain", "--client", "2")
        plain = csa_gen.load(self.path("plain", "expected", "PackFiles", "p_00000000.csa"))
        for form in ("scrambled", "old"):
            self.generate(form, "--client", "2", "--pack-headers", form, "--scramble-strings",
                          "--corrupt", "file3_1.bin", "--duplicate", "file2_2.bin")
            self.assertEqual(self.check(form, 2), (0, ["ok"]))
            pack_path = self.path(form, "install", "PackFiles", "p_00000000.csa")
            listed = csa_gen.load(pack_path)
            self.assertEqual((listed["form"], listed["files"], listed["faults"]), (form, plain["files"], []))
            header = read_bytes(pack_path + "header")
            self.assertEqual(b"file0_0" in header, form == "old")
            with zipfile.ZipFile(self.path(form, "server", "Data0.zip")) as z:
                self.assertEqual(z.read("PackFiles/p_00000000.csaheader"), header)
            reader = subprocess.run([sys.executable, os.path.join(HERE, "csa_gen.py"), "read", pack_path],
                                    capture_output=True, text=True, timeout=60)
            self.assertEqual((reader.returncode, reader.stdout.splitlines()[0]), (0, "image\t" + form))

        catalogue = read_bytes(self.path("old", "server", "Data.ccx"))
        self.assertEqual(read_bytes(self.path("old", "install", "Data.ccx")), catalogue)
        self.assertNotIn(b"file0_0", catalogue)
        records = catalogue_gen.read(catalogue)
        plain_records = catalogue_gen.read(read_bytes(self.path("plain", "server", "Data.ccx")))
        self.assertEqual(catalogue[4:8], (len(plain_records) + 1).to_bytes(4, "little"))
        twice = [i for i, r in enumerate(records) if r["name"] == "file2_2.bin"]
        self.assertEqual(len(twice), 2)
        self.assertEqual(records[:twice[1]] + records[twice[1] + 1:],
                         [dict(r, csize=records[i]["csize"] if r["name"] == "file3_1.bin" else r["csize"])
                          for i, r in enumerate(plain_records)])
        # The corrupt update zip is a sound zip whose content no longer matches the record.
        with zipfile.ZipFile(self.path("old", "server", "Data", "file3_1.bin.zip")) as z:
            self.assertIsNone(z.testzip())
            content = z.read("pack3/file3_1.bin")
        with zipfile.ZipFile(self.path("plain", "server", "Data", "file3_1.bin.zip")) as z:
            sound = z.read("pack3/file3_1.bin")
        self.assertEqual(sum(a != b for a, b in zip(content, sound)), 1)
        self.assertEqual(records_by_name(self.path("old", "server", "Data.ccx"))["file3_1.bin"]["ocrc"],
                         zlib.crc32(sound))

    def test_refusals(self):
        result = run(self.path("s"), self.path("e"), "--client", "2", "--packs", "3")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--packs 4 or more", result.stderr)
        self.assertEqual(run("--check", self.path("i"), self.path("s")).returncode, 2)
        self.assertEqual(run(self.path("s")).returncode, 2)
        result = run(self.path("s"), self.path("e"), "--corrupt", "nothing.bin")
        self.assertNotEqual(result.returncode, 0)
        self.assertFalse(os.path.exists(self.path("s")))


class CsaGenTest(unittest.TestCase):
    def test_selftest(self):
        self.assertEqual(csa_gen.selftest(), 0)


if __name__ == "__main__":
    unittest.main()
