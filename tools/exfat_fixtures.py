#!/usr/bin/env python3
"""Helper for make_exfat_fixtures.sh: fills a mounted exFAT volume, writes the
manifest of what went in, dumps the raw directory entries of an image, and
compares two fixture trees the way the oracles read them.

  fill SCENARIO MOUNTDIR MANIFEST   write one scenario through the driver
  rawdump IMAGE                     every directory entry set, deleted ones too
  compare DIR1 DIR2                 oracle outputs of two runs, volatile fields dropped
"""
import hashlib
import json
import os
import random
import re
import struct
import subprocess
import sys

SEED = 0x0D0E5EED
FIXED_TIME = "2024-05-01 09:00:00"


def payload(rng, size, tag):
    """Deterministic bytes from a seeded generator: 64-byte lines naming the file and
    the offset (a misplaced cluster shows), with 8 random bytes each so no two lines
    match, yet xz still packs them well."""
    out = bytearray()
    while len(out) < size:
        line = f"{tag} {len(out):010d} {rng.getrandbits(64):016x}"
        out += line.encode()[-63:].ljust(63) + b"\n"
    return bytes(out[:size])


class Filler:
    def __init__(self, root, scenario):
        self.root = root
        self.rng = random.Random(f"{SEED}:{scenario}")
        self.deleted = []
        self.notes = []
        # entries of an earlier mount keep their times
        self.stamped = {os.path.relpath(os.path.join(d, n), root)
                        for d, dirs, files in os.walk(root) for n in dirs + files}

    def path(self, rel):
        return os.path.join(self.root, rel)

    def mkdir(self, rel):
        os.makedirs(self.path(rel), exist_ok=True)

    def write(self, rel, size):
        data = payload(self.rng, size, rel)
        with open(self.path(rel), "wb") as f:
            f.write(data)
        return data

    def delete(self, rel):
        """Removes a file or a whole tree, deepest first, recording what it held.
        Entries get their fixed time first, and a directory again once emptied (the
        driver stamps it when its children go), so deleted entries carry fixed times."""
        self.stamp_all(rel)
        p = self.path(rel)
        if not os.path.isdir(p):
            self.deleted.append(describe(self.root, p))
            os.remove(p)
            return
        for dirpath, dirs, files in sorted(os.walk(p), key=lambda w: -w[0].count("/")):
            for n in sorted(files):
                self.deleted.append(describe(self.root, os.path.join(dirpath, n)))
                os.remove(os.path.join(dirpath, n))
            r = os.path.relpath(dirpath, self.root)
            self.touch(r, FIXED_TIME)
            self.deleted.append({"path": "/" + r, "type": "dir"})
            os.rmdir(dirpath)

    def touch(self, rel, when):
        # touch reads the date in UTC; the driver turns it into its own local time.
        subprocess.run(["touch", "-d", when, self.path(rel)], check=True,
                       env=dict(os.environ, TZ="UTC"))
        self.stamped.add(rel)

    def stamp_all(self, rel=""):
        """Gives every entry under rel (deepest first) that has no time of its own the
        fixed time, so runs differ only in creation times (the driver's clock)."""
        top = self.path(rel)
        items = [rel] if rel else []
        if os.path.isdir(top):
            for dirpath, dirs, files in os.walk(top):
                items += [os.path.relpath(os.path.join(dirpath, n), self.root)
                          for n in dirs + files]
        for r in sorted(items, key=lambda r: (-r.count("/"), r)):
            if r not in self.stamped:
                self.touch(r, FIXED_TIME)


def describe(root, p):
    st = os.stat(p)
    with open(p, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    return {"path": "/" + os.path.relpath(p, root), "type": "file", "size": st.st_size,
            "sha256": digest, "mtime": st.st_mtime_ns / 1e9}


# Camera card: DCIM tree, a long non-Latin name, a label (set by mkfs).
def fill_camera(f):
    f.mkdir("DCIM/100CANON")
    f.mkdir("MISC")
    for i in range(1, 21):
        f.write(f"DCIM/100CANON/IMG_{i:04d}.JPG", f.rng.randrange(3000, 40000))
        f.touch(f"DCIM/100CANON/IMG_{i:04d}.JPG", f"2024-05-01 10:{i:02d}:{(i * 7) % 60:02d}")
    # 15 units of kana + emoji (surrogate pairs) repeated: 225 UTF-16 units.
    unit = "東京の写真アルバム夏休み\U0001F4F7\U0001F5FB"
    name = (unit * 20)[:200] + ".jpg"
    units = len(name.encode("utf-16-le")) // 2
    f.write(f"DCIM/{name}", 5000)
    f.notes.append(f"long name: {len(name)} code points, {units} UTF-16 units")
    f.write("MISC/AUTPRINT.MRK", 120)


# Interleaved writes make FAT chains; files written in one go stay contiguous
# (NoFatChain); deleting every other one leaves holes for the big one.
def fill_fragmented(f):
    f.write("contig_a.bin", 100_000)
    handles = []
    for i in range(6):
        handles.append(open(f.path(f"inter_{i}.bin"), "wb"))
    for _ in range(4):
        for h in handles:
            h.write(payload(f.rng, 32768, h.name.rsplit("/", 1)[-1]))
            h.flush()
            os.fsync(h.fileno())
    for h in handles:
        h.close()
    f.write("contig_b.bin", 70_000)
    for i in range(0, 6, 2):
        f.delete(f"inter_{i}.bin")
    f.write("big_into_holes.bin", 600_000)
    f.write("small_last.txt", 10)


# Deleted files and a deleted directory next to live ones.
def fill_deleted(f):
    f.mkdir("keep")
    f.mkdir("gone/sub")
    f.write("keep/alive.txt", 2000)
    f.write("keep/doomed.txt", 3000)
    f.write("gone/one.bin", 150_000)
    f.write("gone/sub/two.bin", 40_000)
    f.write("gone/sub/three.txt", 10)
    f.write("root_doomed.dat", 300_000)
    f.write("root_alive.dat", 1000)
    f.delete("keep/doomed.txt")
    f.delete("gone")
    f.delete("root_doomed.dat")


# 2,000 names in one directory (names of several lengths: 1 to 3 name entries),
# and a directory whose clusters are not contiguous.
def fill_bigdir(f):
    f.mkdir("many")
    for i in range(2000):
        if i % 3 == 0:
            n = f"f{i:04d}"
        elif i % 3 == 1:
            n = f"file_with_a_longer_name_{i:04d}.txt"
        else:
            n = f"Ünïcödé_名前_{i:04d}_" + "x" * (i % 17)
        open(f.path(f"many/{n}"), "wb").close()
    f.write("many/zz_last_with_data.bin", 5000)
    # A directory that grows while files take the clusters after it: its own chain.
    f.mkdir("chained")
    for i in range(300):
        open(f.path(f"chained/entry_{i:03d}.txt"), "wb").close()
        if i % 40 == 39:
            f.write(f"pad_{i // 40}.bin", 4096)


TIMES = [
    ("epoch_1980.txt", "1980-01-01 00:00:00"),
    ("odd_second.txt", "2001-02-03 04:05:07"),
    ("centis.txt", "2010-06-15 12:34:56.789"),
    ("leap_day.txt", "2000-02-29 23:59:58"),
    ("y2038.txt", "2038-01-19 03:14:08"),
    ("late_2099.txt", "2099-12-31 23:59:59"),
    ("dst_summer.txt", "2023-07-01 12:00:00"),
    ("dst_winter.txt", "2023-01-15 12:00:00"),
]


def fill_times(f):
    for name, when in TIMES:
        f.write(name, 100)
        f.touch(name, when)


# Later mounts of the times image, the driver running in Tokyo (UTC+9, no DST) and
# in New York (UTC-5, DST -4): the same instants, and 1980-01-01 00:00 UTC, which
# is still 1979 in New York.
def fill_times_zone(f, zone):
    for name, when in ((f"{zone}_summer.txt", "2023-07-01 12:00:00"),
                       (f"{zone}_winter.txt", "2023-01-15 12:00:00"),
                       (f"{zone}_epoch_1980.txt", "1980-01-01 00:00:00")):
        f.write(name, 100)
        f.touch(name, when)


# Valid data length below data length: grow files without writing.
def fill_vdl(f):
    f.write("truncated_up.bin", 5000)
    subprocess.run(["truncate", "-s", "200000", f.path("truncated_up.bin")], check=True)
    f.write("fallocated.bin", 5000)
    r = subprocess.run(["fallocate", "-l", "200000", f.path("fallocated.bin")],
                       capture_output=True, text=True)
    if r.returncode:
        f.notes.append("fallocate: " + r.stderr.strip())
        f.write("fallocated.bin", 5000)
    with open(f.path("seek_past_end.bin"), "wb") as h:
        h.write(payload(f.rng, 100, "seek_past_end.bin"))
        h.seek(150_000)
        h.write(b"end")


SCENARIOS = {
    "camera": fill_camera, "fragmented": fill_fragmented, "deleted": fill_deleted,
    "bigdir": fill_bigdir, "times": fill_times, "times_tokyo": lambda f: fill_times_zone(f, "tokyo"),
    "times_newyork": lambda f: fill_times_zone(f, "newyork"),
    "vdl": fill_vdl,
}


def cmd_fill(scenario, root, manifest):
    f = Filler(root, scenario)
    SCENARIOS[scenario](f)
    f.stamp_all()
    os.sync()
    entries = []
    for dirpath, dirs, files in os.walk(root):
        dirs.sort()
        for d in dirs:
            p = os.path.join(dirpath, d)
            entries.append({"path": "/" + os.path.relpath(p, root), "type": "dir",
                            "mtime": os.stat(p).st_mtime_ns / 1e9})
        for n in sorted(files):
            entries.append(describe(root, os.path.join(dirpath, n)))
    old = {}
    if os.path.exists(manifest):  # a second mount adds to the same manifest
        with open(manifest) as h:
            old = json.load(h)
    doc = {"entries": entries, "deleted": old.get("deleted", []) + f.deleted,
           "notes": old.get("notes", []) + f.notes}
    with open(manifest, "w") as h:
        json.dump(doc, h, indent=1, ensure_ascii=False)
        h.write("\n")


# ---- raw dump -------------------------------------------------------------

def ts(stamp, centis, offset):
    sec = (stamp & 0x1F) * 2
    mi, hr = (stamp >> 5) & 0x3F, (stamp >> 11) & 0x1F
    day, mon, yr = (stamp >> 16) & 0x1F, (stamp >> 21) & 0xF, 1980 + (stamp >> 25)
    s = f"{yr:04d}-{mon:02d}-{day:02d} {hr:02d}:{mi:02d}:{sec:02d}"
    if centis is not None:
        s += f"+{centis * 10}ms"
    if offset & 0x80:
        q = offset & 0x7F
        q = q - 128 if q & 0x40 else q
        s += f" UTC{'+' if q >= 0 else '-'}{abs(q) * 15 // 60:02d}:{abs(q) * 15 % 60:02d}"
    else:
        s += " (no UTC offset)"
    return s


class Image:
    def __init__(self, path):
        with open(path, "rb") as h:
            self.data = h.read()
        b = self.data
        self.sector = 1 << b[108]
        self.cluster = self.sector << b[109]
        self.fat_off = struct.unpack_from("<I", b, 80)[0] * self.sector
        self.heap = struct.unpack_from("<I", b, 88)[0] * self.sector
        self.count = struct.unpack_from("<I", b, 92)[0]
        self.root = struct.unpack_from("<I", b, 96)[0]

    def chain(self, first, length, contiguous):
        if first < 2:
            return []
        if contiguous:
            n = max(1, -(-length // self.cluster))
            return list(range(first, first + n))
        out, c = [], first
        while 2 <= c < self.count + 2 and len(out) <= self.count:
            out.append(c)
            c = struct.unpack_from("<I", self.data, self.fat_off + 4 * c)[0]
        return out

    def read(self, clusters):
        return b"".join(self.data[self.heap + (c - 2) * self.cluster:
                                  self.heap + (c - 1) * self.cluster] for c in clusters)

    def runs(self, clusters):
        out = []
        for c in clusters:
            if out and out[-1][1] + 1 == c:
                out[-1][1] = c
            else:
                out.append([c, c])
        return " ".join(f"{a}-{b}" if a != b else f"{a}" for a, b in out)

    def walk(self, raw, prefix, out, deleted_parent=False):
        i = 0
        while i + 32 <= len(raw):
            t = raw[i]
            if t == 0:
                break
            if t & 0x7F == 0x05 and i + 64 <= len(raw) and raw[i + 32] & 0x7F == 0x40:
                live = bool(t & 0x80) and not deleted_parent
                sec = raw[i + 1]
                attrs = struct.unpack_from("<H", raw, i + 4)[0]
                c, m, a = struct.unpack_from("<III", raw, i + 8)
                s = raw[i + 32:i + 64]
                flags, nlen = s[1], s[3]
                vdl, first, dlen = (struct.unpack_from("<Q", s, 8)[0],
                                    struct.unpack_from("<I", s, 20)[0],
                                    struct.unpack_from("<Q", s, 24)[0])
                name = b""
                for k in range(2, sec + 1):
                    e = raw[i + 32 * k:i + 32 * k + 32]
                    if len(e) == 32 and e[0] & 0x7F == 0x41:
                        name += e[2:32]
                name = name[:2 * nlen].decode("utf-16-le", "replace")
                path = prefix + "/" + name
                contiguous = bool(flags & 2)
                clusters = self.chain(first, dlen, contiguous)
                if not live:
                    clusters = self.chain(first, dlen, True) if first >= 2 else []
                out.append(
                    f"{'live' if live else 'DELETED'} {'dir ' if attrs & 0x10 else 'file'}"
                    f" {path}\n  attrs=0x{attrs:02x} flags=0x{flags:02x}"
                    f" ({'NoFatChain' if contiguous else 'FatChain'})"
                    f" size={dlen} valid={vdl} first={first}"
                    f" runs={self.runs(clusters) if live else '(as if contiguous) ' + self.runs(clusters)}\n"
                    f"  created  {ts(c, raw[i + 20], raw[i + 22])}\n"
                    f"  modified {ts(m, raw[i + 21], raw[i + 23])}\n"
                    f"  accessed {ts(a, None, raw[i + 24])}")
                if attrs & 0x10 and first >= 2 and (live or contiguous):
                    self.walk(self.read(clusters if live else clusters), path, out,
                              deleted_parent or not live)
                i += 32 * (sec + 1)
            else:
                if t == 0x83:
                    n = raw[i + 1]
                    out.append("label " + raw[i + 2:i + 2 + 2 * n].decode("utf-16-le"))
                i += 32


def cmd_rawdump(path):
    im = Image(path)
    out = [f"sector={im.sector} cluster={im.cluster} clusters={im.count} root={im.root}"]
    im.walk(im.read(im.chain(im.root, 0, False)), "", out)
    print("\n".join(out))


# ---- comparing two runs ---------------------------------------------------

# creation times and the serial number come from the clock
VOLATILE = [
    re.compile(r"^Created:.*$", re.M),
    re.compile(r"^  created .*$", re.M),
    re.compile(r"Volume Serial Number: .*"),
]


def normalise(name, text):
    if name.endswith(".body"):
        # md5|name|inode|mode|uid|gid|size|atime|mtime|ctime|crtime: drop crtime
        return "\n".join("|".join(line.split("|")[:10]) for line in text.splitlines())
    for r in VOLATILE:
        text = r.sub("", text)
    return text


def cmd_compare(a, b):
    bad = same = 0
    names = sorted(set(os.listdir(a)) | set(os.listdir(b)))
    for n in names:
        if n.endswith((".xz", ".md")) or n == "VERSIONS.txt":
            continue
        pa, pb = os.path.join(a, n), os.path.join(b, n)
        if not (os.path.exists(pa) and os.path.exists(pb)):
            print(f"only in one run: {n}")
            bad += 1
            continue
        with open(pa, encoding="utf-8", errors="replace") as h:
            ta = normalise(n, h.read())
        with open(pb, encoding="utf-8", errors="replace") as h:
            tb = normalise(n, h.read())
        if ta != tb:
            print(f"differs: {n}")
            bad += 1
        else:
            same += 1
    print(f"{same} outputs read the same, {bad} differ")
    return 1 if bad else 0


def main(argv):
    if len(argv) == 5 and argv[1] == "fill":
        cmd_fill(argv[2], argv[3], argv[4])
    elif len(argv) == 3 and argv[1] == "rawdump":
        cmd_rawdump(argv[2])
    elif len(argv) == 4 and argv[1] == "compare":
        return cmd_compare(argv[2], argv[3])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
