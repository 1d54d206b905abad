#!/usr/bin/env python3
"""Writes seed corpora for the legacy decoder fuzz targets from the shared
legacy test data: every shrunk, reduced and imploded entry and raw stream of
MANIFEST.tsv, prefixed with the header bytes the targets expect.

    fuzz/make_legacy_corpus.py /path/to/shared/testdata/legacy OUT_DIR

creates OUT_DIR/shrunk, OUT_DIR/reduced and OUT_DIR/imploded."""
import csv
import os
import struct
import sys


def entries(path):
    """(name, flags, method, data) of every entry of a plain archive."""
    blob = open(path, "rb").read()
    end = blob.rfind(b"PK\x05\x06")
    if end < 0:
        return
    count, _, offset = struct.unpack_from("<HII", blob, end + 10)
    for _ in range(count):
        if blob[offset:offset + 4] != b"PK\x01\x02":
            return
        flags, method = struct.unpack_from("<HH", blob, offset + 8)
        csize, = struct.unpack_from("<I", blob, offset + 20)
        nlen, xlen, clen = struct.unpack_from("<HHH", blob, offset + 28)
        local, = struct.unpack_from("<I", blob, offset + 42)
        name = blob[offset + 46:offset + 46 + nlen].decode("cp437")
        lnlen, lxlen = struct.unpack_from("<HH", blob, local + 26)
        start = local + 30 + lnlen + lxlen
        yield name, flags, method, blob[start:start + csize]
        offset += 46 + nlen + xlen + clen


def main():
    source, out = sys.argv[1], sys.argv[2]
    methods = {"shrunk": 1, "reduce1": 2, "reduce2": 3, "reduce3": 4, "reduce4": 5, "implode": 6}
    for sub in ("shrunk", "reduced", "imploded"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
    written = 0
    seen = set()
    with open(os.path.join(source, "MANIFEST.tsv"), newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            method = methods.get(row["method"])
            if method is None or row["status"] != "OK" or row["password"]:
                continue
            usize = int(row["uncompressed_size"])
            if usize >= 1 << 24 or int(row["compressed_size"]) > 64 * 1024:
                continue  # keep seeds small and within the targets' 24-bit size
            path = os.path.join(source, row["file"])
            if row["entry"].startswith("(raw stream"):
                data = open(path, "rb").read()
            else:
                data = next((d for n, fl, m, d in entries(path)
                             if m == method and len(d) == int(row["compressed_size"])), None)
                if data is None:
                    continue
            size = struct.pack("<I", usize)[:3]
            flags = int(row["gp_flags"], 16)
            if method == 1:
                sub, seed = "shrunk", size + data
            elif method == 6:
                sub, seed = "imploded", bytes([flags & 0xFF]) + size + data
            else:
                sub, seed = "reduced", bytes([method - 2]) + size + data
            key = (sub, seed)
            if key in seen:
                continue
            seen.add(key)
            with open(os.path.join(out, sub, "seed%04d" % written), "wb") as f2:
                f2.write(seed)
            written += 1
    print("wrote %d seeds" % written)


if __name__ == "__main__":
    main()
