#!/usr/bin/env python3
"""Generates src/charset/charmaps.cpp: the converter's charset table and the shared code point list.

Usage (from the repository root):  python3 tools/gen_charmaps.py > src/charset/charmaps.cpp

The single-byte mappings come from Python's codecs module (which carries the Unicode
consortium's mapping files for the ISO 8859 parts and the Microsoft and IBM code pages,
without best-fit entries). When the glibc charmap files are installed
(/usr/share/i18n/charmaps), every byte is cross-checked against them as a second,
independent source; any disagreement stops the generator. The output depends on nothing
else, so running it twice gives the same file.
"""

import codecs
import gzip
import os
import re
import sys

GLIBC_CHARMAPS = "/usr/share/i18n/charmaps"

# Unicode groups: names (first one first) and type byte. Their order fixes the offsets of
# the type bytes that descriptors carry.
UNICODE_GROUPS = [
    (["utf8", "char"], 0xC8),
    (["wchart"], 0xC6),
    (["ucs2", "ucs2be"], 0xC4),
    (["ucs2le"], 0xC5),
    (["utf16", "utf16be"], 0xC2),
    (["utf16le"], 0xC1),
    (["ucs4", "ucs4be", "utf32", "utf32be"], 0xC0),
    (["ucs4le", "utf32le"], 0xC3),
    (["ascii", "usascii", "iso646", "iso646us"], 0xC7),
]
UNICODE_TYPE_OFFSETS = [11, 20, 34, 43, 59, 69, 97, 114, 146]

# Single-byte groups in table order: names, Python codec, glibc charmap file, expected type.
SBCS_GROUPS = [
    (["iso88591", "latin1"], "iso8859_1", "ISO-8859-1", 0x80),
    (["iso88592"], "iso8859_2", "ISO-8859-2", 0x20),
    (["iso88593"], "iso8859_3", "ISO-8859-3", 0x20),
    (["iso88594"], "iso8859_4", "ISO-8859-4", 0x20),
    (["iso88595"], "iso8859_5", "ISO-8859-5", 0x20),
    (["iso88596"], "iso8859_6", "ISO-8859-6", 0x20),
    (["iso88597"], "iso8859_7", "ISO-8859-7", 0x20),
    (["iso88598"], "iso8859_8", "ISO-8859-8", 0x20),
    (["iso88599"], "iso8859_9", "ISO-8859-9", 0x50),
    (["iso885910"], "iso8859_10", "ISO-8859-10", 0x20),
    # TIS-620 is only a second name here: the 8859-11 table, where 0xA0 is NBSP.
    (["iso885911", "tis620"], "iso8859_11", "ISO-8859-11", 0x20),
    (["iso885913"], "iso8859_13", "ISO-8859-13", 0x20),
    (["iso885914"], "iso8859_14", "ISO-8859-14", 0x20),
    (["iso885915", "latin9"], "iso8859_15", "ISO-8859-15", 0x24),
    (["iso885916"], "iso8859_16", "ISO-8859-16", 0x20),
    (["cp1250", "windows1250"], "cp1250", "CP1250", 0x00),
    (["cp1251", "windows1251"], "cp1251", "CP1251", 0x00),
    (["cp1252", "windows1252"], "cp1252", "CP1252", 0x00),
    (["cp1253", "windows1253"], "cp1253", "CP1253", 0x00),
    (["cp1254", "windows1254"], "cp1254", "CP1254", 0x00),
    (["cp1255", "windows1255"], "cp1255", "CP1255", 0x00),
    (["cp1256", "windows1256"], "cp1256", "CP1256", 0x00),
    (["cp1257", "windows1257"], "cp1257", "CP1257", 0x00),
    (["cp1258", "windows1258"], "cp1258", "CP1258", 0x00),
    (["koi8r"], "koi8_r", "KOI8-R", 0x00),
    (["koi8u"], "koi8_u", "KOI8-U", 0x00),
    (["cp437"], "cp437", "IBM437", 0x00),
    (["cp850"], "cp850", "IBM850", 0x00),
]

# Fixed values that must hold whatever the source says (each is also what the sources give
# today; stating them keeps a future source revision from changing them silently).
OVERRIDES = {
    "iso8859_7": {0xA4: 0x20AC, 0xA5: 0x20AF, 0xAA: 0x037A},  # 2003 edition
    "iso8859_8": {0xDF: 0x2017, 0xFD: 0x200E, 0xFE: 0x200F},
    "iso8859_11": {0xA0: 0x00A0},
    "cp437": {0xFF: 0x00A0},
    "cp850": {0xFF: 0x00A0},
}


def ranges(*spans):
    out = set()
    for s in spans:
        if isinstance(s, tuple):
            out.update(range(s[0], s[1] + 1))
        else:
            out.add(s)
    return out


# The bytes 0x80-0xFF that have no code point; every other byte of every charset has one.
UNMAPPED = {
    "iso8859_3": ranges(0xA5, 0xAE, 0xBE, 0xC3, 0xD0, 0xE3, 0xF0),
    "iso8859_6": ranges((0xA1, 0xA3), (0xA5, 0xAB), (0xAE, 0xBA), (0xBC, 0xBE), 0xC0,
                        (0xDB, 0xDF), (0xF3, 0xFF)),
    "iso8859_7": ranges(0xAE, 0xD2, 0xFF),
    "iso8859_8": ranges(0xA1, (0xBF, 0xDE), 0xFB, 0xFC, 0xFF),
    "iso8859_11": ranges((0xDB, 0xDE), (0xFC, 0xFF)),
    "cp1250": ranges(0x81, 0x83, 0x88, 0x90, 0x98),
    "cp1251": ranges(0x98),
    "cp1252": ranges(0x81, 0x8D, 0x8F, 0x90, 0x9D),
    "cp1253": ranges(0x81, 0x88, 0x8A, (0x8C, 0x90), 0x98, 0x9A, (0x9C, 0x9F), 0xAA, 0xD2,
                     0xFF),
    "cp1254": ranges(0x81, (0x8D, 0x90), 0x9D, 0x9E),
    "cp1255": ranges(0x81, 0x8A, (0x8C, 0x90), 0x9A, (0x9C, 0x9F), 0xCA, (0xD9, 0xDF), 0xFB,
                     0xFC, 0xFF),
    "cp1257": ranges(0x81, 0x83, 0x88, 0x8A, 0x8C, 0x90, 0x98, 0x9A, 0x9C, 0x9F, 0xA1, 0xA5),
    "cp1258": ranges(0x81, 0x8A, (0x8D, 0x90), 0x9A, 0x9D, 0x9E),
}

TOTAL_SIZE = 4256
DISTINCT_NON_IDENTITY = 708
IDENTITY, UNMAPPED_MARK = 0, 1


def fail(msg):
    sys.exit("gen_charmaps: " + msg)


def python_mapping(codec):
    """Byte 0x80-0xFF -> code point or None, from Python's codec."""
    m = {}
    for b in range(0x80, 0x100):
        try:
            s = bytes([b]).decode(codec)
        except UnicodeDecodeError:
            m[b] = None
            continue
        if len(s) != 1:
            fail("%s: byte %02X decodes to %d characters" % (codec, b, len(s)))
        m[b] = ord(s)
    return m


def glibc_mapping(name):
    """Byte 0x80-0xFF -> code point or None, from a glibc charmap file, or None if absent."""
    path = os.path.join(GLIBC_CHARMAPS, name + ".gz")
    if not os.path.exists(path):
        return None
    m = {b: None for b in range(0x80, 0x100)}
    inside = False
    with gzip.open(path, "rt", encoding="latin-1") as f:
        for line in f:
            if line.startswith("CHARMAP"):
                inside = True
            elif line.startswith("END CHARMAP"):
                break
            elif inside:
                # Only plain one-byte lines: <Uxxxx> /xHH ; combining sequences are skipped.
                g = re.match(r"<U([0-9A-Fa-f]{4,8})>\s+/x([0-9A-Fa-f]{2})\s", line)
                if g:
                    b = int(g.group(2), 16)
                    if b >= 0x80 and m[b] is None:
                        m[b] = int(g.group(1), 16)
    return m


def build_mapping(codec, glibc_name):
    m = python_mapping(codec)
    if codec.startswith("iso8859_"):
        for b in range(0x80, 0xA0):
            m[b] = b  # C1 controls map to themselves in every ISO 8859 part
    for b, cp in OVERRIDES.get(codec, {}).items():
        m[b] = cp
    g = glibc_mapping(glibc_name)
    if g is None:
        print("gen_charmaps: no %s charmap file, %s not cross-checked" % (glibc_name, codec),
              file=sys.stderr)
    else:
        for b in range(0x80, 0x100):
            theirs = g[b]
            if theirs is None and codec.startswith("iso8859_") and b < 0xA0:
                theirs = b  # some charmap files leave out the C1 controls
            if m[b] != theirs:
                fail("%s: byte %02X is %s here but %s in %s" % (codec, b, m[b], theirs, glibc_name))
    missing = {b for b in m if m[b] is None}
    if missing != UNMAPPED.get(codec, set()):
        fail("%s: unmapped bytes %s differ from the expected set" %
             (codec, sorted("%02X" % b for b in missing ^ UNMAPPED.get(codec, set()))))
    cps = [cp for cp in m.values() if cp is not None]
    if len(cps) != len(set(cps)):
        fail("%s: two bytes map to the same code point" % codec)
    if any(cp <= 1 or cp > 0xFFFF for cp in cps):
        fail("%s: code point outside U+0002-U+FFFF" % codec)
    return m


def type_byte(m):
    run = 0
    while run < 128 and m[0x80 + run] == 0x80 + run:
        run += 1
    return run & ~3


def pack(entries):
    """Four 10-bit entries in five bytes, entry i at bits 10*i..10*i+9 (little-endian)."""
    assert len(entries) % 4 == 0 and all(0 <= e < 1024 for e in entries)
    bits = 0
    for i, e in enumerate(entries):
        bits |= e << (10 * i)
    return list(bits.to_bytes(len(entries) * 10 // 8, "little"))


def unpack(table, i):
    k, s = (5 * i) // 4, (2 * i) % 8
    return (table[k] >> s) | ((table[k + 1] << (8 - s)) & 0x3FF)


def main():
    mappings = []
    for names, codec, glibc_name, want_t in SBCS_GROUPS:
        m = build_mapping(codec, glibc_name)
        t = type_byte(m)
        if t != want_t:
            fail("%s: type byte %#x, expected %#x" % (codec, t, want_t))
        mappings.append((names, codec, t, m))

    # Shared list: the two markers, then every code point that differs from its byte value,
    # in ascending order.
    needed = sorted({cp for _, _, t, m in mappings for b, cp in m.items()
                     if b >= 0x80 + t and cp is not None and cp != b})
    if len(needed) != DISTINCT_NON_IDENTITY:
        fail("%d distinct code points needed, expected %d" % (len(needed), DISTINCT_NON_IDENTITY))
    legacy = [IDENTITY, UNMAPPED_MARK] + needed
    if len(legacy) > 1024:
        fail("legacy_chars has more than 1024 entries")
    index = {cp: i for i, cp in enumerate(legacy)}

    groups = []  # (names, type, packed table, label)
    for names, t in UNICODE_GROUPS:
        groups.append((names, t, [], None))
    for names, codec, t, m in mappings:
        entries = []
        for b in range(0x80 + t, 0x100):
            cp = m[b]
            entries.append(UNMAPPED_MARK if cp is None else IDENTITY if cp == b else index[cp])
        table = pack(entries)
        assert len(table) == (128 - t) // 4 * 5
        for i, e in enumerate(entries):
            assert unpack(table, i) == e
        groups.append((names, t, table, codec))

    blob, type_offsets = [], []
    for names, t, table, _ in groups:
        for n in names:
            assert re.fullmatch(r"[a-z0-9]+", n)
            blob += list(n.encode("ascii")) + [0]
        blob.append(0)
        type_offsets.append(len(blob))
        blob.append(t)
        blob += table
    blob.append(0)
    if type_offsets[:len(UNICODE_TYPE_OFFSETS)] != UNICODE_TYPE_OFFSETS:
        fail("Unicode type offsets %s" % type_offsets[:len(UNICODE_TYPE_OFFSETS)])
    if type_offsets[len(UNICODE_GROUPS)] != 164:
        fail("iso88591 type byte is not at 164")
    if len(blob) != TOTAL_SIZE:
        fail("table is %d bytes, expected %d" % (len(blob), TOTAL_SIZE))

    # Decode every byte back through the packed format, as the library does.
    for (_, t, _, codec), off, (_, _, _, m) in zip(groups[len(UNICODE_GROUPS):],
                                                   type_offsets[len(UNICODE_GROUPS):], mappings):
        packed = blob[off + 1:]
        for b in range(0x80, 0x100):
            v = b if b < 0x80 + t else legacy[unpack(packed, b - 0x80 - t)]
            got = None if v == UNMAPPED_MARK else b if v == IDENTITY else v
            assert got == m[b], (codec, b)

    emit(groups, type_offsets, legacy, len(blob))


def emit(groups, type_offsets, legacy, size):
    w = sys.stdout.write
    w("// Generated by tools/gen_charmaps.py; do not edit. Regenerate with\n")
    w("//   python3 tools/gen_charmaps.py > src/charset/charmaps.cpp\n")
    w("// Sources: Python's codecs module, cross-checked against the glibc charmap files.\n")
    w("// clang-format off\n")
    w('#include "charset/charmaps.h"\n\n')
    w("namespace dorvex {\n\n")
    w("// Each group: names, an empty name, the type byte (at the offset in the comment), then\n")
    w("// for single-byte charsets the packed 10-bit indices into legacy_chars.\n")
    w("const uint8_t charmaps[] = {\n")
    for (names, t, table, _), off in zip(groups, type_offsets):
        w("    // %s: type 0x%02X at %d\n" % (", ".join(names), t, off))
        parts = []
        for n in names:
            parts.append(", ".join("'%s'" % ch for ch in n) + ", 0")
        w("    " + ", ".join(parts) + ", 0,\n")
        w("    0x%02X,\n" % t)
        for i in range(0, len(table), 16):
            w("    " + " ".join("0x%02X," % x for x in table[i:i + 16]) + "\n")
    w("    0, // end of the table\n")
    w("};\n\n")
    w("const uint32_t charmaps_size = sizeof(charmaps);\n")
    w("static_assert(sizeof(charmaps) == %d, \"charmaps size\");\n\n" % size)
    w("// The offset of every group's type byte, ascending: the values a descriptor half may hold.\n")
    w("const uint16_t charmap_types[] = {\n")
    for i in range(0, len(type_offsets), 12):
        w("    " + " ".join("%d," % x for x in type_offsets[i:i + 12]) + "\n")
    w("};\n\n")
    w("const uint32_t charmap_types_count = sizeof(charmap_types) / sizeof(charmap_types[0]);\n\n")
    w("const uint16_t legacy_chars[] = {\n")
    w("    0x0000, 0x0001, // identity and unmapped markers\n")
    rest = legacy[2:]
    for i in range(0, len(rest), 10):
        w("    " + " ".join("0x%04X," % x for x in rest[i:i + 10]) + "\n")
    w("};\n\n")
    w("const uint32_t legacy_chars_count = sizeof(legacy_chars) / sizeof(legacy_chars[0]);\n")
    w("static_assert(sizeof(legacy_chars) / sizeof(legacy_chars[0]) == %d, \"legacy_chars\");\n\n"
      % len(legacy))
    w("} // namespace dorvex\n")


if __name__ == "__main__":
    main()
