#!/usr/bin/env python3
"""Writes deltas in the escape-coded delta format, for the tests of the delta reader.

    jdiff_gen.py diff OLD NEW DELTA [--omit-modify]
        compares two files and writes a delta that turns OLD into NEW.
    jdiff_gen.py random SEED COUNT MAXSIZE OUTDIR [--omit-modify]
        writes COUNT triples OUTDIR/N.old, N.new, N.jdf made by random edits (equal, modify, insert,
        delete, backtrack runs of every number width, bytes rich in 0xA7), and prints their names.

Format: 0xA7 introduces an operation: A6 modify, A5 insert, A4 n delete, A3 n equal, A2 n
backtrack, A7 one data byte 0xA7; 0xA7 before any other byte stands for two data bytes. Numbers:
0..251 -> 1..252, 252 x -> x + 253, 253 hi lo, 254 and four bytes, all big-endian.
With --omit-modify the modify code is left out where a data byte already means modify: at the
start and after equal, delete or backtrack.
"""
import os
import random
import sys

ESC, MOD, INS, DEL, EQL, BKT = 0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2
CODES = {ESC, MOD, INS, DEL, EQL, BKT}


def number(n):
    assert n >= 1
    if n <= 252:
        return bytes([n - 1])
    if n <= 508:
        return bytes([252, n - 253])
    if n <= 0xFFFF:
        return bytes([253]) + n.to_bytes(2, "big")
    return bytes([254]) + n.to_bytes(4, "big")


class Writer:
    """Collects operations and data runs and writes them in the delta format."""

    def __init__(self, omit_modify):
        self.out = bytearray()
        self.omit_modify = omit_modify
        self.last = None  # None, "mod", "ins", "del", "eql", "bkt"

    def data(self, kind, run):
        if not run:
            return
        if kind != self.last:
            implied = kind == "mod" and self.last in (None, "del", "eql", "bkt")
            if not (self.omit_modify and implied):
                self.out += bytes([ESC, MOD if kind == "mod" else INS])
            self.last = kind
        i = 0
        while i < len(run):
            b = run[i]
            if b != ESC:
                self.out.append(b)
            elif i + 1 < len(run) and run[i + 1] not in CODES:
                # A bare escape before an ordinary byte reads as the two data bytes.
                self.out += bytes([ESC, run[i + 1]])
                i += 1
            else:
                self.out += bytes([ESC, ESC])
            i += 1

    def op(self, kind, n):
        if n <= 0:
            return
        code = {"del": DEL, "eql": EQL, "bkt": BKT}[kind]
        self.out += bytes([ESC, code]) + number(n)
        self.last = kind


def diff(old, new, omit_modify, block=16):
    """A greedy delta: equal runs found through an index of old blocks, everything else modify
    (while the old file lasts) or insert; the old position moves with delete and backtrack."""
    index = {}
    for i in range(0, max(len(old) - block + 1, 0), block):
        index.setdefault(old[i:i + block], i)
    w = Writer(omit_modify)
    virtual = 0  # where the next equal would copy from in the old file
    np = 0
    pending = bytearray()
    pending_kind = None

    def flush():
        nonlocal pending, pending_kind
        w.data(pending_kind, bytes(pending))
        pending = bytearray()
        pending_kind = None

    while np < len(new):
        run = 0
        while np + run < len(new) and virtual + run < len(old) and old[virtual + run] == new[np + run]:
            run += 1
        if run >= 8 or (run and np + run == len(new)):
            flush()
            w.op("eql", run)
            virtual += run
            np += run
            continue
        found = index.get(new[np:np + block])
        if found is not None and found != virtual:
            flush()
            if found > virtual:
                w.op("del", found - virtual)
            else:
                w.op("bkt", virtual - found)
            virtual = found
            continue
        kind = "mod" if virtual < len(old) else "ins"
        if kind != pending_kind:
            flush()
            pending_kind = kind
        pending.append(new[np])
        if kind == "mod":
            virtual += 1
        np += 1
    flush()
    return bytes(w.out)


def random_bytes(rng, n):
    pool = bytes([ESC, ESC, MOD, INS, DEL, EQL, BKT, 0, 0x41, 0xFF])
    return bytes(rng.choice(pool) if rng.random() < 0.3 else rng.randrange(256) for _ in range(n))


def random_triple(rng, max_size, omit_modify):
    old = random_bytes(rng, rng.randrange(max_size + 1)) if max_size < 4096 else \
        os.urandom(rng.randrange(max_size + 1))
    w = Writer(omit_modify)
    new = bytearray()
    virtual = 0
    widths = [rng.randrange(1, 253), rng.randrange(253, 509), rng.randrange(509, 65536), rng.randrange(65536, 200000)]
    for _ in range(rng.randrange(1, 40)):
        choice = rng.random()
        n = rng.choice(widths) if rng.random() < 0.2 else rng.randrange(1, 64)
        if choice < 0.3 and virtual < len(old):
            n = min(n, len(old) - virtual)
            w.op("eql", n)
            new += old[virtual:virtual + n]
            virtual += n
        elif choice < 0.5:
            run = random_bytes(rng, min(n, 300))
            w.data("mod", run)
            new += run
            virtual += len(run)
        elif choice < 0.7:
            run = random_bytes(rng, min(n, 300))
            w.data("ins", run)
            new += run
        elif choice < 0.85:
            w.op("del", n)
            virtual += n
        elif virtual > 0:
            n = min(n, virtual)
            w.op("bkt", n)
            virtual -= n
    return old, bytes(new), bytes(w.out)


def main(argv):
    omit = "--omit-modify" in argv
    argv = [a for a in argv if a != "--omit-modify"]
    if len(argv) == 4 and argv[0] == "diff":
        old = open(argv[1], "rb").read()
        new = open(argv[2], "rb").read()
        open(argv[3], "wb").write(diff(old, new, omit))
        return 0
    if len(argv) == 5 and argv[0] == "random":
        rng = random.Random(int(argv[1]))
        count, max_size, outdir = int(argv[2]), int(argv[3]), argv[4]
        os.makedirs(outdir, exist_ok=True)
        for k in range(count):
            size = max_size if k % 50 == 49 else min(max_size, rng.choice([0, 16, 300, 5000, 70000]))
            old, new, delta = random_triple(rng, size, omit if k % 2 == 0 else not omit)
            for ext, content in (("old", old), ("new", new), ("jdf", delta)):
                open(os.path.join(outdir, "%d.%s" % (k, ext)), "wb").write(content)
            print(k)
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
