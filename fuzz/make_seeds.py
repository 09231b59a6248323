#!/usr/bin/env python3
"""Writes small seed inputs for the readentry, writeentry_roundtrip, parsepath and iconv fuzz
targets into fuzz/corpus/<target>/ (the mount_walk seeds come from the catalogue test:
DORVEX_CORPUS_DIR=fuzz/corpus/mount_walk build/.../tests/test_catalogue
--gtest_filter=CatalogueCorpus.*; the exfat_* seeds among them are the catalogue's exFAT
images, kept under the fuzzer's 64 KiB input limit: mount_walk serves zeros up to an exFAT
image's VolumeLength)."""
import os
import struct
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
OFFS = [1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30]


def checksum(sn):
    s = 0
    for b in sn:
        s = (((s & 1) << 7) + (s >> 1) + b) & 0xFF
    return s


def short(sn, attr=0x20, cluster=5, size=100):
    e = bytearray(32)
    e[0:11] = sn
    e[11] = attr
    struct.pack_into("<HHHHHHHI", e, 14, 0x6000, 0x5021, 0x5021, cluster >> 16, 0x6000,
                     0x5021, cluster & 0xFFFF, size)
    return bytes(e)


def lfn_run(name, sn, seq_override=None):
    units = [ord(c) for c in name]
    n = len(units)
    count = n // 13 + 1
    cs = checksum(sn)
    out = b""
    for i in range(count):
        seq = count - i
        e = bytearray(32)
        e[0] = seq | (0x40 if i == 0 else 0)
        if seq_override and i in seq_override:
            e[0] = seq_override[i]
        e[11] = 0x0F
        e[13] = cs
        base = (seq - 1) * 13
        for k, off in enumerate(OFFS):
            p = base + k
            u = units[p] if p < n else (0 if p == n else 0xFFFF)
            struct.pack_into("<H", e, off, u)
        out += bytes(e)
    return out + short(sn)


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    # readentry: flag byte (bit 0: lenient), record room, entries.
    runs = {
        "short_only": short(b"README  TXT"),
        "long_name": lfn_run("a long file name.txt", b"ALONGF~1TXT"),
        "thirteen_units": lfn_run("exactly13unit", b"EXACTL~1   "),
        "max_name": lfn_run("x" * 255, b"XXXXXX~1   "),
        "bad_checksum": lfn_run("checksum", b"CHECKS~1   ")[:-32] + short(b"OTHER   TXT"),
        "seq_21": lfn_run("y" * 40, b"YYYYYY~1   ", {0: 0x55}),
        "seq_0": lfn_run("z" * 20, b"ZZZZZZ~1   ", {0: 0x40}),
        "dots_and_end": short(b".          ", 0x10) + short(b"..         ", 0x10) + bytes(32)
        + short(b"AFTER   TXT"),
        "deleted": b"\xe5" + lfn_run("gone file.txt", b"GONEFI~1TXT")[1:],
        "cut_run": lfn_run("a name cut by the end of the buffer", b"ANAMEC~1   ")[:64],
    }
    for name, data in runs.items():
        write("readentry", name + "_strict", b"\x00\x01" + data)
        write("readentry", name + "_lenient", b"\x01\x03" + data)
    # writeentry_roundtrip: room, record count, then per record: len16, units, shortname,
    # attr, cluster, size, three timestamps.
    def rec(name, sn, attr=0x20, cluster=7, size=1234):
        u = b"".join(struct.pack("<H", ord(c)) for c in name)
        return (struct.pack("<H", len(name)) + u + sn + bytes([attr]) +
                struct.pack("<IIiii", cluster, size, 1000000000, 315532800, 2000000000))
    write("writeentry_roundtrip", "one", bytes([8, 0]) + rec("hello.txt", b"HELLO   TXT"))
    write("writeentry_roundtrip", "two_tight", bytes([5, 1]) + rec("a" * 13, b"AAAAAA~1   ") +
          rec("b", b"B          "))
    write("writeentry_roundtrip", "long_255", bytes([63, 0]) + rec("n" * 255, b"NNNNNN~1   "))
    write("writeentry_roundtrip", "empty_name", bytes([3, 0]) + rec("", b"EMPTY      "))
    # parsepath: flag word, then the path.
    for name, flags, text in [
        ("utf8_slash", 0x605, "/a//b/c.txt"),
        ("ascii_both", 0x30F, "\\dir\\sub/file"),
        ("utf8_multibyte", 0x605, "caf\u00e9/\u00fcber/\U0001F600"),
        ("ucs2_astral", 0x601, "\U0001F600"),
        ("locale", 0x405, "plain/path"),
        ("bad_utf8", 0x601, "a\udcff"),
        ("long_component", 0x601, "a" * 256),
        ("trailing", 0x601, "a/b//"),
        ("no_separators", 0x600, "a/b"),
    ]:
        data = text.encode("utf-8", "surrogateescape")
        write("parsepath", name, struct.pack("<I", flags) + data)
    # iconv: from index, to index, window, room, input (indices into the target's list).
    names = ["utf8", "wchart", "ucs2", "ucs2le", "utf16", "utf16le", "utf32", "utf32le", "ascii",
             "latin1", "cp437", "cp1252", "koi8r", "cp850", "iso88595", "iso885915", "cp1251",
             "koi8u"]
    idx = {n: i for i, n in enumerate(names)}
    samples = [
        ("utf8", "utf16le", "h\u00e9llo \U0001F600 w\u00f6rld".encode("utf-8")),
        ("utf8", "ucs2le", "\U0001F600 astral".encode("utf-8")),
        ("utf16le", "utf8", "\U0001F600 x".encode("utf-16-le")),
        ("utf16le", "ascii", "\u00e9\u00e9".encode("utf-16-le")),
        ("utf32", "utf16", "abc\u20ac".encode("utf-32-be")),
        ("cp1252", "utf8", bytes(range(0x80, 0x100))),
        ("koi8r", "cp1251", bytes(range(0xC0, 0x100))),
        ("utf8", "cp437", b"\xc3\xa9\xe2\x82\xac\xff\xc3"),
        ("ucs2le", "latin1", b"\x3d\xd8\x00\xde"),
    ]
    for i, (src, dst, data) in enumerate(samples):
        for window, room in ((15, 23), (1, 2)):
            write("iconv", "%s_to_%s_%d_%d" % (src, dst, window, room),
                  bytes([idx[src], idx[dst], window, room]) + data)


if __name__ == "__main__":
    sys.exit(main())
