#!/usr/bin/env python3
"""End-to-end tests of the dorvex tool.

Runs the built binary against images made by mkfs.fat + mcopy and by
`dorvex mkimage`, and checks them with fsck.fat and mtools. Hostile images are
made by patching directory entries of a mkimage image.

    test_cli.py --tool build/dev/cli/dorvex --source . [Group ...]
"""

import argparse
import errno
import fcntl
import functools
import hashlib
import json
import lzma
import os
import platform
import pty
import random
import re
import resource
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import uuid
import zlib
from datetime import datetime, timezone
from zoneinfo import ZoneInfo

TOOL = None
SOURCE = None
EXAMPLES = None  # the built examples' folder, when they are built

SBIN_PATH = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"


def which(name):
    return shutil.which(name, path=SBIN_PATH)


# CI installs every oracle (tools/deps.sh): there a missing one is a broken setup, and the
# tests that need it fail instead of skipping.
IN_CI = os.environ.get("CI") == "true"


def need_tools(tc, *tools, skip=True):
    """True when every tool is installed. Otherwise fails the test under CI=true, else skips
    it, or with skip=False returns False (the test goes on without that oracle)."""
    missing = [t for t in tools if not which(t)]
    if not missing:
        return True
    if IN_CI:
        tc.fail("%s not installed (CI=true: tools/deps.sh installs it)" % ", ".join(missing))
    if skip:
        tc.skipTest("needs " + ", ".join(missing))
    return False


def needs(*tools):
    """need_tools() as a decorator of a test method."""
    def wrap(test):
        @functools.wraps(test)
        def checked(self, *a, **k):
            need_tools(self, *tools)
            return test(self, *a, **k)
        return checked
    return wrap


need_dosfstools = needs("mkfs.fat", "fsck.fat")
need_mtools = needs("mcopy", "mdir")

# FAT times are wall clock: the tool and mtools read them in the zone of TZ,
# here one whose offset (+12:45) is not whole hours. The tool must not depend
# on the caller's locale.
ZONE = "Pacific/Chatham"
TOOL_ENV = dict(os.environ, LC_ALL="C", LANG="C", TZ=ZONE)
MTOOLS_ENV = dict(os.environ, TZ=ZONE, MTOOLS_NO_VFAT="", LC_ALL="C.UTF-8")
MTOOLS_ENV.pop("MTOOLS_NO_VFAT")


def wall(t, zone=ZONE, fmt="%Y-%m-%dT%H:%M:%S"):
    """Host time t as the wall clock of `zone`, as listings print it."""
    return datetime.fromtimestamp(t, ZoneInfo(zone)).strftime(fmt)


def run(*args, stdin=None, env=None, stderr=subprocess.PIPE):
    """Runs the tool; a hang fails the test through the timeout."""
    return subprocess.run([TOOL, *args], input=stdin, stdout=subprocess.PIPE, stderr=stderr,
                          env=env or TOOL_ENV, timeout=120)


def text(b):
    return b.decode("utf-8", "replace")


# ---- Fixture trees ------------------------------------------------------------

T0 = 1_600_000_000  # an even second, so FAT's 2-second mtimes round-trip exactly


def write_tree(root, files, dirs=()):
    """files: {relative path: bytes}; dirs: extra (empty) directories."""
    os.makedirs(root, exist_ok=True)
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for i, (rel, data) in enumerate(sorted(files.items())):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (T0 + 86400 + 2 * i, T0 + 2 * i))
    for dirpath, dirnames, _ in os.walk(root, topdown=False):
        for d in dirnames:
            os.utime(os.path.join(dirpath, d), (T0, T0 + 1000))


def rich_tree(root, beyond_bmp=True):
    files = {
        "README.TXT": b"plain 8.3 name\n",
        "readme2.txt": b"lower case 8.3\n",
        "A long file name.text": b"long\n" * 200,  # two clusters, early in the root
        "Ünïcödé ✓.txt": "non-ASCII name\n".encode(),
        "日本語/ようこそ.txt": "こんにちは\n".encode(),
        "empty.bin": b"",
        "deep/a/b/c/d/e/f/leaf.txt": b"deep\n",
        "big/cluster_exact.bin": bytes(range(256)) * 2,  # one 512-byte cluster
        "big/three_clusters.bin": bytes((i * 7) & 0xFF for i in range(1500)),
        "big/larger.bin": os.urandom(200_000),
        "Max name " + "x" * 242 + ".txt": b"255 units\n",
        ".hidden": b"leading dot\n",
        "spaces in name .md": b"s\n",
        "a+b=c;[d].txt": b"special\n",
    }
    # Many names with the same first six characters exercise the numeric tails.
    for i in range(12):
        files["Samebase document %02d.txt" % i] = b"%d\n" % i
    if beyond_bmp:
        # mtools shows characters above U+FFFF as "_": such trees are for dorvex only.
        files["emoji 😀 name.txt"] = b"beyond the BMP\n"
        files["😀 dir/in.txt"] = b"inside\n"
    write_tree(root, files, dirs=["empty dir", "deep/a/empty"])
    return files


# ---- Image helpers --------------------------------------------------------------

def mkimage(src, out, *extra, env=None):
    r = run("mkimage", "--force", *extra, src, out, env=env)
    assert r.returncode == 0, text(r.stderr)
    return out


# write(2) by machine; x86-64 also runs 32-bit programs (tools/portability.sh).
WRITE_SYSCALLS = {"x86_64": {"1", "4"}, "aarch64": {"64"}, "i686": {"4"}, "i386": {"4"}}


def blocked_writing(pid, fd):
    """Whether process `pid` sleeps in a write to its descriptor `fd`."""
    try:
        with open("/proc/%d/syscall" % pid) as f:
            call = f.read().split()
    except OSError:
        return False
    nrs = WRITE_SYSCALLS.get(platform.machine(), {call[0]} if call else set())
    return len(call) > 1 and call[0] in nrs and int(call[1], 16) == fd


def interrupt_once(tc, args):
    """Runs the tool with standard error a pipe already full, so that its first message
    blocks it at that known point; sends SIGINT once it is blocked there, then drains the
    pipe. Returns (exit code, what it wrote to standard error). Nothing depends on timing:
    the signal is sent only once the tool sits in that write."""
    r, w = os.pipe()
    fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)
    os.set_blocking(w, False)
    filled = 0
    for size in (4096, 1):  # whole pages, then the last bytes
        try:
            while True:
                filled += os.write(w, b"\0" * size)
        except BlockingIOError:
            pass
    os.set_blocking(w, True)  # the tool shares this open file: its write must wait
    p = subprocess.Popen([TOOL, *args], stdout=subprocess.DEVNULL, stderr=w, env=TOOL_ENV)
    os.close(w)
    with os.fdopen(r, "rb") as pipe:
        deadline = time.monotonic() + 120  # only against a test that would hang
        while not blocked_writing(p.pid, 2):
            if p.poll() is not None:
                tc.fail("the tool ended (%d) without a message to block on" % p.returncode)
            if time.monotonic() > deadline:
                p.kill()
                tc.fail("the tool never blocked writing a message (is /proc readable?)")
            time.sleep(0.005)
        p.send_signal(signal.SIGINT)
        time.sleep(0.2)  # the signal lands while the write still blocks: it must not lose the line
        err = pipe.read()[filled:]
    p.wait(timeout=60)
    tc.assertIn("interrupted", text(err))
    return p.returncode, text(err)


def fsck_clean(tc, img):
    r = subprocess.run([which("fsck.fat"), "-n", img], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=120)
    out = text(r.stdout)
    tc.assertEqual(r.returncode, 0, out)
    lines = [l for l in out.splitlines() if l.strip()]
    # Only the banner and the summary: any remark means a fault.
    tc.assertEqual(len(lines), 2, out)
    tc.assertIn(" files, ", lines[-1])


def info_json(img, *extra):
    r = run("info", "--json", *extra, img)
    assert r.returncode == 0, text(r.stderr)
    return json.loads(r.stdout)


LFN_UNITS = [1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30]


def dir_region(img, *extra):
    """Byte range of the root directory of a mkimage image (its first clusters)."""
    v = info_json(img, *extra)["volume"]
    start = (v["start_sector"] + v["data_start"]) * 512
    return start, 64 * 1024


def patch_long_names(img, mapping, region):
    """Rewrites long names in place: {old: new}, same number of long-name entries."""
    data = bytearray(open(img, "rb").read())
    start, length = region
    i, end, done = start, start + length, set()
    while i < end:
        e = data[i:i + 32]
        if e[0] == 0:
            break
        if e[11] == 0x0F and e[0] & 0x40:
            n = e[0] & 0x1F
            offs = [i + 32 * k for k in range(n)]  # sequence n .. 1
            units = []
            for off in reversed(offs):
                units += [struct.unpack_from("<H", data, off + p)[0] for p in LFN_UNITS]
            name = "".join(map(chr, units[:units.index(0)] if 0 in units else units))
            if name in mapping:
                new = [ord(c) for c in mapping[name]]
                assert (len(new) + 12) // 13 == n, "same entry count needed"
                new = new + [0] + [0xFFFF] * (n * 13)
                for k, off in enumerate(reversed(offs)):
                    for j, p in enumerate(LFN_UNITS):
                        struct.pack_into("<H", data, off + p, new[k * 13 + j])
                done.add(name)
            i += 32 * (n + 1)
            continue
        i += 32
    assert done == set(mapping), (done, mapping)
    open(img, "wb").write(data)


def patch_short_entry(img, short11, region, new_short=None, cluster=None, fields=()):
    """Changes an 8.3 entry's name bytes (which orphans its long name), cluster
    or other bytes (fields: {offset in the entry: bytes})."""
    data = bytearray(open(img, "rb").read())
    start, length = region
    for i in range(start, start + length, 32):
        if data[i] == 0:
            break
        if data[i + 11] != 0x0F and bytes(data[i:i + 11]) == short11:
            if new_short is not None:
                data[i:i + 11] = new_short
            if cluster is not None:
                struct.pack_into("<H", data, i + 20, cluster >> 16)
                struct.pack_into("<H", data, i + 26, cluster & 0xFFFF)
            for off, b in dict(fields).items():
                data[i + off:i + off + len(b)] = b
            open(img, "wb").write(data)
            return
    raise AssertionError("no entry %r" % short11)


def ls_json(img, path="/", *extra):
    r = run("ls", "-R", "--json", *extra, img, path)
    assert r.returncode == 0, text(r.stderr)
    return json.loads(r.stdout)


def walk_json(entries, prefix=""):
    out = {}
    for e in entries:
        p = prefix + "/" + e["name"]
        out[p] = e
        out.update(walk_json(e.get("entries", []), p))
    return out


def walk_host(root):
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for n in dirnames + filenames:
            full = os.path.join(dirpath, n)
            out["/" + os.path.relpath(full, root)] = full
    return out


def diff_r(tc, a, b):
    r = subprocess.run(["diff", "-r", a, b], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    tc.assertEqual(r.returncode, 0, text(r.stdout))


class Base(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="dorvex-cli-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, *p):
        return os.path.join(self.tmp, *p)

    def sample_image(self, *extra):
        return mkimage(os.path.join(SOURCE, "examples", "sample"), self.path("sample.img"),
                       "--label", "SAMPLE", *extra)


# ---- Help, version, usage --------------------------------------------------------

COMMANDS = ["info", "ls", "tree", "stat", "cat", "get", "iconv", "mkimage", "put", "mkdir", "rm",
            "mv", "label", "mkfs", "check", "mount", "umount", "owner"]


class Help(Base):
    def test_main_help_lists_every_command_with_an_example(self):
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        out = text(r.stdout)
        for c in COMMANDS:
            self.assertIn("dorvex " + c, out)
        self.assertIn("--partition", out)
        self.assertIn("--offset", out)
        for option in ("--codepage", "--utc"):
            self.assertIn("  dorvex " + option, out.split("Examples:")[1])

    def test_command_help_has_examples(self):
        for c in COMMANDS:
            # ls takes -h for sizes, as ls(1) does.
            for form in ([c, "--help"], ["help", c]) + (() if c == "ls" else ([c, "-h"],)):
                r = run(*form)
                self.assertEqual(r.returncode, 0, form)
                self.assertIn("Usage: dorvex " + c, text(r.stdout))
                self.assertIn("dorvex " + c + " ", text(r.stdout).split("Example")[1])

    def test_version_shows_library_version(self):
        r = run("--version")
        self.assertEqual(r.returncode, 0)
        # The library's version is the project's, from the top CMakeLists.txt.
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            version = re.search(r"project\(dorvex VERSION (\S+)", f.read()).group(1)
        self.assertEqual(text(r.stdout), "dorvex %s (libdorvex %s)\n" % (version, version))

    def test_usage_errors_exit_2(self):
        cases = [
            ([], ""),
            (["frob"], "unknown command 'frob'"),
            (["ls"], "ls: missing arguments"),
            (["ls", "--bogus", "x.img"], "unknown option '--bogus'"),
            (["ls", "-Z", "x.img"], "unknown option '-Z'"),
            (["stat", "x.img"], "missing an argument"),
            (["tree", "a", "b", "c"], "too many arguments"),
            (["ls", "-p", "zero", "x.img"], "partition must be a number"),
            (["ls", "-p", "0", "x.img"], "partition must be a number"),
            (["ls", "--offset", "-3", "x.img"], "offset must be a number"),
            (["ls", "-p", "1", "--offset", "5", "x.img"], "exclude each other"),
            (["ls", "x.img", "--partition"], "needs a value"),
            (["mkimage", "--size", "lots", "a", "b"], "bad size"),
            (["mkimage", "--size", "12X", "a", "b"], "bad size"),
            (["mkimage", "--size", "99999999999999999999", "a", "b"], "bad size"),
            (["iconv", "-l", "-f", "utf8"], "-l takes no other arguments"),
            (["check", "--dry-run", "x.img"], "--dry-run goes with --repair"),
            (["--codepage", "utf8", "ls", "x.img"], "'utf8' is not a single-byte charset"),
            (["ls", "--codepage=klingon", "x.img"], "'klingon' is not a single-byte charset"),
        ]
        for args, msg in cases:
            r = run(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(msg, text(r.stderr), args)


# ---- mkimage ----------------------------------------------------------------------

class Mkimage(Base):
    def test_interrupted_mkimage_removes_the_unfinished_image(self):
        # The copy stops at b.bin: a write lease held here makes the tool's open of it fail
        # (EWOULDBLOCK), and that warning blocks on the full pipe, the image half written.
        write_tree(self.path("src"), {n: os.urandom(1 << 20) for n in ("a.bin", "b.bin",
                                                                       "c.bin", "d.bin")})
        out = self.path("big.img")
        old = signal.signal(signal.SIGIO, signal.SIG_IGN)  # the lease break's notice
        fd = os.open(self.path("src", "b.bin"), os.O_RDONLY)
        try:
            fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
            rc, err = interrupt_once(self, ["mkimage", self.path("src"), out])
        finally:
            os.close(fd)
            signal.signal(signal.SIGIO, old)
        self.assertEqual(rc, 130, err)
        self.assertIn("b.bin: Resource temporarily unavailable", err)
        self.assertTrue(err.endswith("dorvex: mkimage: interrupted: the unfinished image is "
                                     "removed\n"), err)
        self.assertFalse(os.path.exists(out))

    @need_dosfstools
    @need_mtools
    def test_round_trip_fsck_mtools_and_get(self):
        src = self.path("src")
        rich_tree(src, beyond_bmp=False)
        for extra in ([], ["--cluster-size", "4096", "--size", "300M"],
                      ["--cluster-size", "1024", "--size", "70M"]):
            with self.subTest(extra=extra):
                img = mkimage(src, self.path("r.img"), "--label", "Round Trip", *extra)
                fsck_clean(self, img)
                # mtools sees every long name and reads back the same bytes.
                r = subprocess.run([which("mdir"), "-/", "-i", img, "::"], env=MTOOLS_ENV,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.assertEqual(r.returncode, 0, text(r.stderr))
                listing = text(r.stdout)
                self.assertIn("ROUND TRIP", listing)
                for rel in walk_host(src):
                    # A plain 8.3 name is stored as such, without a long name (as put and
                    # Windows store it), and mdir shows it in its columns.
                    base, ext = os.path.splitext(os.path.basename(rel))
                    self.assertTrue(base + ext in listing or "%-8s %-3s" % (base, ext[1:])
                                    in listing, rel)
                mt = self.path("mt")
                shutil.rmtree(mt, ignore_errors=True)
                os.mkdir(mt)
                r = subprocess.run([which("mcopy"), "-s", "-m", "-i", img, "::*", mt + "/"],
                                   env=MTOOLS_ENV, stderr=subprocess.PIPE)
                self.assertEqual(r.returncode, 0, text(r.stderr))
                diff_r(self, src, mt)
                # dorvex get gives the same tree with the same mtimes.
                out = self.path("out")
                shutil.rmtree(out, ignore_errors=True)
                r = run("get", img, "/", out)
                self.assertEqual(r.returncode, 0, text(r.stderr))
                diff_r(self, src, out)
                for rel, full in walk_host(src).items():
                    self.assertEqual(os.stat(out + rel).st_mtime, os.stat(full).st_mtime, rel)

    @need_dosfstools
    @need_mtools
    def test_fat12_and_fat16_round_trip_and_sizes_that_do_not_fit(self):
        src = self.path("src")
        rich_tree(src, beyond_bmp=False)
        for fat, extra in (("12", []), ("16", []), ("16", ["--size", "64M"]),
                           ("12", ["--size", "8M", "--cluster-size", "4096"])):
            with self.subTest(fat=fat, extra=extra):
                img = mkimage(src, self.path("f.img"), "--fat", fat, "--label", "SMALL", *extra)
                fsck_clean(self, img)
                mt = self.path("mt")
                shutil.rmtree(mt, ignore_errors=True)
                os.mkdir(mt)
                r = subprocess.run([which("mcopy"), "-s", "-m", "-i", img, "::*", mt + "/"],
                                   env=MTOOLS_ENV, stderr=subprocess.PIPE)
                self.assertEqual(r.returncode, 0, text(r.stderr))
                diff_r(self, src, mt)
                v = info_json(img)["volume"]
                self.assertEqual((v["fat_type"], v["root_entries"], v["label"]),
                                 (int(fat), 512, "SMALL"))
        for args, msg in ((["--fat", "12", "--size", "200M"], "too large for FAT12"),
                          (["--fat", "16", "--size", "1M"], "too small for FAT16"),
                          (["--fat", "16", "--size", "8G"], "too large for FAT16")):
            r = run("mkimage", "--force", *args, src, self.path("bad.img"))
            self.assertEqual(r.returncode, 1, args)
            self.assertIn(msg, text(r.stderr), args)
        r = run("mkimage", "--fat", "24", src, self.path("bad.img"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("bad FAT type '24'", text(r.stderr))
        many = self.path("many")
        write_tree(many, {"file %03d with a long name.txt" % i: b"x" for i in range(200)})
        r = run("mkimage", "--fat", "16", many, self.path("bad.img"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("bad.img: not written: the files do not fit (a directory holds 65536 "
                      "entries, FAT12/16's root 512)", text(r.stderr))
        self.assertFalse(os.path.exists(self.path("bad.img")))

    def test_image_past_4_gib(self):
        # Offsets past 2 and 4 GiB must survive a 32-bit host's file interface too.
        src = self.path("src")
        os.makedirs(src + "/d")
        with open(src + "/d/data.bin", "wb") as f:
            f.write(bytes(range(256)) * 300)
        img = mkimage(src, self.path("big.img"), "--size", "5G")
        self.assertEqual(os.path.getsize(img), 5 << 30)
        r = run("ls", img, "/d")
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertIn("data.bin", text(r.stdout))
        out = self.path("big-out")
        r = run("get", img, "/d/data.bin", out)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        with open(out, "rb") as f:
            self.assertEqual(f.read(), bytes(range(256)) * 300)

    def test_short_names_unique_with_numeric_tails(self):
        src = self.path("src")
        rich_tree(src)
        img = mkimage(src, self.path("t.img"))
        entries = walk_json(ls_json(img)["entries"])
        by_dir = {}
        for p, e in entries.items():
            by_dir.setdefault(os.path.dirname(p), []).append(e["short_name"])
        for d, shorts in by_dir.items():
            self.assertEqual(len(shorts), len(set(shorts)), d)
        root = {e["name"]: e["short_name"] for e in ls_json(img)["entries"]}
        self.assertEqual(root["README.TXT"], "README.TXT")
        self.assertEqual(root["readme2.txt"], "README2.TXT")
        self.assertEqual(root["Samebase document 00.txt"], "SAMEBA~1.TXT")
        tails = sorted(root["Samebase document %02d.txt" % i] for i in range(12))
        self.assertIn("SAMEB~10.TXT", tails)
        self.assertEqual(root[".hidden"], "HIDDEN~1")
        self.assertEqual(root["A long file name.text"], "ALONGF~1.TEX")
        self.assertEqual(root["a+b=c;[d].txt"], "A_B_C_~1.TXT")

    def test_timestamps_come_from_the_source(self):
        src = self.path("src")
        write_tree(src, {"f.txt": b"x"})
        os.utime(os.path.join(src, "f.txt"), (T0 + 86400 * 3, T0 + 4))
        img = mkimage(src, self.path("t.img"))
        r = run("stat", "--json", img, "/f.txt")
        st = json.loads(r.stdout)
        self.assertEqual(st["modified"], wall(T0 + 4))
        self.assertEqual(st["accessed"], wall(T0 + 86400 * 3, fmt="%Y-%m-%d"))

    def test_dates_over_fats_whole_range_clamped_at_its_ends(self):
        # Host time -> modification time stored (UTC: the host's zone plays no part).
        cases = {"2050.txt": (2538901230, "2050-06-15T10:20:30Z"),  # past 32-bit seconds
                 "2107.txt": (4354819198, "2107-12-31T23:59:58Z"),  # FAT's last even second
                 "2108.txt": (4354819200, "2107-12-31T23:59:58Z"),
                 "1973.txt": (100000000, "1980-01-01T00:00:00Z")}
        src = self.path("src")
        write_tree(src, {n: b"x" for n in cases})
        for n, (t, _) in cases.items():
            os.utime(os.path.join(src, n), (t, t))
        img = mkimage(src, self.path("d.img"), "--utc")
        for n, (_, stored) in cases.items():
            st = json.loads(run("stat", "--json", "--utc", img, "/" + n).stdout)
            self.assertEqual(st["modified"], stored, n)

    def test_impossible_dates_show_as_a_dash_and_are_not_set(self):
        src = self.path("src")
        write_tree(src, {"nodate.txt": b"z", "month13.txt": b"m"})
        img = mkimage(src, self.path("z.img"))
        region = dir_region(img)
        # Creation, access and modification dates zero; month 13.
        patch_short_entry(img, b"NODATE  TXT", region, fields={16: bytes(4), 24: bytes(2)})
        patch_short_entry(img, b"MONTH13 TXT", region, fields={24: struct.pack("<H", 13 << 5 | 1)})
        out = text(run("ls", "-l", img).stdout)
        self.assertRegex(out, r" 1 - {20}NODATE\.TXT    nodate\.txt\n")
        self.assertRegex(out, r" 1 - {20}MONTH13\.TXT   month13\.txt\n")
        st = json.loads(run("stat", "--json", img, "/nodate.txt").stdout)
        self.assertEqual((st["created"], st["modified"], st["accessed"]), (None, None, None))
        self.assertIn("Modified:    -\n", text(run("stat", img, "/nodate.txt").stdout))
        dest = self.path("out")
        r = run("get", img, "/nodate.txt", dest)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertGreater(os.stat(dest).st_mtime, T0)  # as the system set it, not 1979

    def test_names_beyond_the_bmp_and_255_unit_directories(self):
        # The library finds names beyond the BMP; a path cannot carry a
        # 255-unit directory name, which the tool finds by scanning.
        src = self.path("src")
        long_dir = "D" * 255
        # Nor can a path carry it to the write path: the directory is made one unit shorter and
        # lengthened in place (20 long-name entries either way).
        write_tree(src, {"😀 dir/in 😀.txt": b"emoji\n", long_dir[1:] + "/inner.txt": b"deep\n"})
        img = mkimage(src, self.path("e.img"), "--cluster-size", "4096")  # a root of one cluster
        patch_long_names(img, {long_dir[1:]: long_dir}, dir_region(img))
        os.rename(os.path.join(src, long_dir[1:]), os.path.join(src, long_dir))
        if need_tools(self, "fsck.fat", skip=False):
            fsck_clean(self, img)
        r = run("cat", img, "/😀 DIR/IN 😀.TXT", "/" + long_dir.lower() + "/inner.txt")
        self.assertEqual((r.returncode, r.stdout), (0, b"emoji\ndeep\n"), text(r.stderr))
        out = self.path("out")
        r = run("get", img, "/", out)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        diff_r(self, src, out)

    def test_refusals(self):
        src = self.path("src")
        write_tree(src, {"big.bin": b"x" * 5000})
        out = self.path("o.img")
        open(out, "w").write("keep")
        r = run("mkimage", src, out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("o.img: File exists (--force overwrites it)", text(r.stderr))
        self.assertEqual(open(out).read(), "keep")
        for args, msg in ((["--size", "8M"], "too small for FAT32"),
                          (["--label", "much too long label"], "at most 11 ASCII characters"),
                          (["--label", "a/b"], "at most 11 ASCII characters")):
            r = run("mkimage", "--force", *args, src, out)
            self.assertEqual(r.returncode, 1, args)
            self.assertIn(msg, text(r.stderr), args)
            self.assertFalse(os.path.exists(out), args)
        open(out, "w").write("keep")
        write_tree(self.path("big"), {"two.bin": bytes(2 << 20)})
        r = run("mkimage", "--force", "--fat", "12", "--size", "1M", self.path("big"), out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("o.img: not written: the files do not fit (--size makes it larger)",
                      text(r.stderr))
        self.assertFalse(os.path.exists(out))
        open(out, "w").write("keep")
        for size in ("0", "3000", "256", "64K", "1G", "-4K"):
            r = run("mkimage", "--force", "--cluster-size", size, src, out)
            self.assertEqual(r.returncode, 2, size)
            self.assertIn("dorvex: mkimage: bad cluster size '%s' (a power of two from 512 to "
                          "32768" % size, text(r.stderr))
        # Only a regular file is ever written over, and never removed after a failure.
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        for target, kind in ((self.path("src"), "a directory"), ("/dev/null", "a character device"),
                             (fifo, "a FIFO")):
            r = run("mkimage", "--force", src, target)
            self.assertEqual(r.returncode, 1, target)
            self.assertIn("%s: %s, not a regular file: not written" % (target, kind),
                          text(r.stderr))
            self.assertTrue(os.path.exists(target), target)
        r = run("mkimage", self.path("missing"), self.path("x.img"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("No such file or directory", text(r.stderr))

    @need_dosfstools
    def test_unreadable_entries_are_skipped_and_the_image_written_with_exit_1(self):
        src = self.path("src")
        write_tree(src, {"ok.txt": b"1", "sub/in.txt": b"2"})
        os.symlink("nowhere", os.path.join(src, "dangling"))
        os.mkfifo(os.path.join(src, "sub", "fifo"))  # never opened, so nothing blocks
        os.symlink("sub", os.path.join(src, "dirlink"))  # not followed, by design: exit 0
        os.chmod(os.path.join(src, "ok.txt"), 0)
        img = self.path("u.img")
        fifo = "a FIFO, not a regular file or directory"
        unreadable = [] if os.access(os.path.join(src, "ok.txt"), os.R_OK) else [
            "dorvex: %s/ok.txt: Permission denied" % src]  # root reads it all the same
        for opts, warned in (([], ["dangling: symbolic link, not followed",
                                   "dirlink: symbolic link, not followed"]),
                             (["--follow-symlinks"], ["dangling: dangling symbolic link",
                                                      "dirlink/fifo: " + fifo])):
            r = run("mkimage", "--force", *opts, src, img)
            self.assertEqual(r.returncode, 1, text(r.stderr))
            left = len(unreadable) + 1 + len(opts) * 2
            self.assertEqual(text(r.stderr).splitlines(), [
                "dorvex: warning: %s/%s, skipped" % (src, w) for w in warned] + unreadable + [
                "dorvex: warning: %s/sub/fifo: %s, skipped" % (src, fifo),
                "dorvex: mkimage: %s written without %d %s (see above)" % (
                    img, left, "entries" if left > 1 else "entry")])
            fsck_clean(self, img)
            self.assertEqual(sorted(walk_json(ls_json(img)["entries"])),
                             (["/dirlink", "/dirlink/in.txt"] if opts else []) + (
                                 [] if unreadable else ["/ok.txt"]) + ["/sub", "/sub/in.txt"])

    @need_dosfstools
    def test_directories_up_to_fats_entry_limit(self):
        # 27-unit names take four entries (three long-name entries and the 8.3 one): 16383 of
        # them and the dot entries make 65534; one more would pass 65536.
        src = self.path("src")
        d = os.path.join(src, "many")
        os.makedirs(d)
        for i in range(16383):
            open(os.path.join(d, "a long name, number  %06d" % i), "wb").close()
        img = mkimage(src, self.path("m.img"))
        fsck_clean(self, img)
        shorts = [e["short_name"] for e in ls_json(img, "/many")["entries"]]
        self.assertEqual((len(shorts), len(set(shorts))), (16383, 16383))
        open(os.path.join(d, "b long name, number  000000"), "wb").close()
        r = run("mkimage", "--force", src, img)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(text(r.stderr).splitlines()[-1], "dorvex: mkimage: %s: not written: the "
                         "files do not fit (a directory holds 65536 entries, FAT12/16's root 512)"
                         % img)
        self.assertIn("/many/b long name, number  000000: No space left on device", text(r.stderr))

    def test_names_fat_cannot_hold_are_skipped_with_a_warning(self):
        src = self.path("src")
        write_tree(src, {"ok.txt": b"1", "bad:colon.txt": b"2", "trailing.": b"3",
                         "ctl\x01.txt": b"4"})
        img = self.path("t.img")
        r = run("mkimage", "--force", src, img)
        self.assertEqual(r.returncode, 1)  # the image lacks them
        err = text(r.stderr)
        self.assertIn("bad:colon.txt", err)
        self.assertIn("\\x01", err)  # control characters shown escaped
        names = [e["name"] for e in ls_json(img)["entries"]]
        self.assertEqual(names, ["ok.txt"])


    @need_dosfstools
    def test_put_and_mkimage_store_and_skip_the_same_names(self):
        # One walker and one copy: the same entries, names, warnings and exit status.
        src = self.path("src")
        write_tree(src, {"README.TXT": b"r", "del\x7f.txt": b"d", "readme2.txt": b"l",
                         "Long Name.txt": b"n", "bad:colon.txt": b"2", "trailing.": b"3",
                         "ctl\x01.txt": b"4", "sub/in.txt": b"i"})
        os.mkfifo(os.path.join(src, "fifo"))  # opened for reading, it would block
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(os.path.join(src, "sock"))
        os.symlink("..", os.path.join(src, "sub", "loop"))
        made, put = self.path("m.img"), self.path("p.img")
        subprocess.run([which("mkfs.fat"), "-F", "32", "-s", "1", "-C", put, "34000"], check=True,
                       stdout=subprocess.DEVNULL)
        runs = [subprocess.run([TOOL, *args], capture_output=True, env=TOOL_ENV, timeout=20,
                               cwd=src) for args in (["mkimage", ".", made], ["put", put, ".", "/"])]
        sock.close()
        warned = [text(r.stderr).splitlines() for r in runs]
        self.assertEqual([r.returncode for r in runs], [1, 1], warned)
        self.assertEqual(warned[0], warned[1] + [
            "dorvex: mkimage: %s written without 5 entries (see above)" % made])
        self.assertIn("dorvex: warning: ./sub/loop: symbolic link, not followed, skipped",
                      warned[1])
        listings = [text(run("ls", "-lR", img).stdout) for img in (made, put)]
        self.assertEqual(listings[0], listings[1])
        self.assertRegex(listings[0], r" README\.TXT +README\.TXT\n")
        self.assertRegex(listings[0], r" DEL_~1\.TXT +del\\x7F\.txt\n")
        for img in (made, put):
            fsck_clean(self, img)

    def test_label_takes_what_the_label_command_takes(self):
        src = self.path("src")
        write_tree(src, {"a.txt": b"a"})
        img = self.path("l.img")
        for label, shown in (("ABCDEFGHIJK  ", "ABCDEFGHIJK"), ("my card", "MY CARD"),
                             ("x-y_z!#$%&'", "X-Y_Z!#$%&'"), ("ABCDEFGHIJKL", None),
                             ("a.b", None), ("tab\there", None), ("Ünï", None)):
            made = run("mkimage", "--force", "--label", label, src, img)
            self.assertEqual(made.returncode, 0 if shown else 1, (label, text(made.stderr)))
            if not shown:
                self.assertFalse(os.path.exists(img), label)
                run("mkimage", src, img)
            labelled = run("label", img, label)
            self.assertEqual(labelled.returncode, made.returncode, label)
            self.assertEqual(text(labelled.stderr), text(made.stderr), label)
            if shown:
                self.assertEqual(text(run("label", img).stdout), shown + "\n", label)
            os.remove(img)

# ---- Images made by mkfs.fat and mcopy ---------------------------------------------

class MtoolsImages(Base):
    def make(self, files, cluster_sectors=1, dates=(), env=MTOOLS_ENV):
        """dates: {relative path: date for touch -d, in the zone of env}."""
        src = self.path("src")
        write_tree(src, files, dirs=["Empty Dir"])
        for rel, date in dict(dates).items():
            subprocess.run(["touch", "-d", date, os.path.join(src, rel)], env=env, check=True)
        img = self.path("m.img")
        kib = max(40960, 66000 * cluster_sectors // 2 + 4096)  # FAT32 needs 65525 clusters
        subprocess.run([which("mkfs.fat"), "-F", "32", "-s", str(cluster_sectors), "-n", "MTOOLS",
                        "-C", img, str(kib)], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([which("mcopy"), "-s", "-m", "-i", img] +
                       [os.path.join(src, n) for n in sorted(os.listdir(src))] + ["::/"],
                       env=env, check=True)
        return src, img

    @need_dosfstools
    @need_mtools
    def test_get_and_listing_match_the_source(self):
        # mcopy stores readme.txt as an 8.3 name with lower-case flags, no long
        # name; Future.txt is dated past 2038.
        src, img = self.make({"Docs/Read Me.txt": b"hello\n", "Docs/Notes.md": b"n" * 3000,
                              "Ünïcödé/ファイル.txt": "x\n".encode(), "TOP.TXT": b"top\n",
                              "a" * 200 + ".dat": b"long\n", "readme.txt": b"lower\n",
                              "Docs/Future.txt": b"2050\n"},
                             dates={"Docs/Future.txt": "2050-06-15 10:20:30"})
        out = self.path("out")
        r = run("get", img, "/", out)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        diff_r(self, src, out)
        for rel, full in walk_host(src).items():
            if os.path.isfile(full):
                self.assertEqual(os.stat(out + rel).st_mtime, os.stat(full).st_mtime, rel)
        listed = set(walk_json(ls_json(img)["entries"]))
        self.assertEqual(listed, set(walk_host(src)))
        self.assertRegex(text(run("ls", "-l", img, "/docs").stdout),
                         r" 2050-06-15T10:20:30  FUTURE\.TXT +Future\.txt\n")
        self.assertIn(" README.TXT    readme.txt\n", text(run("ls", "-l", img).stdout))
        info = info_json(img)["volume"]
        self.assertEqual(info["label"], "MTOOLS")
        self.assertEqual(info["files"], 7)
        self.assertEqual(info["directories"], 3)

    @need_dosfstools
    @need_mtools
    def test_fragmented_file_reads_back_whole(self):
        # cat and get read a whole chunk ahead on the bet that a file is
        # contiguous; freed holes make mcopy scatter this one across them.
        holes = {"Hole%d.bin" % i: bytes([i]) * (1536 * (i + 1)) for i in range(6)}
        _, img = self.make(dict(holes, **{"Keep%d.bin" % i: b"k" * 700 for i in range(6)}))
        for i in range(0, 6, 2):
            subprocess.run([which("mdel"), "-i", img, "::/Hole%d.bin" % i], env=MTOOLS_ENV,
                           check=True)
        with open(img, "r+b") as f:  # mcopy allocates from the FSInfo hint: point it at the holes
            f.seek(48)
            fsinfo = struct.unpack("<H", f.read(2))[0]
            f.seek(fsinfo * 512 + 492)
            f.write(struct.pack("<I", 2))
        big = bytes(random.Random(5).getrandbits(8) for _ in range(700 * 1024 + 123))
        with open(self.path("Frag.bin"), "wb") as f:
            f.write(big)
        subprocess.run([which("mcopy"), "-i", img, self.path("Frag.bin"), "::/"],
                       env=MTOOLS_ENV, check=True)
        r = run("cat", img, "/Frag.bin", "/Hole1.bin")
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertTrue(r.stdout == big + holes["Hole1.bin"], "cat differs")  # no slow diff
        r = run("get", "--quiet", img, "/Frag.bin", self.path("out.bin"))
        self.assertEqual(r.returncode, 0, text(r.stderr))
        with open(self.path("out.bin"), "rb") as f:
            self.assertTrue(f.read() == big, "get differs")

    @need_dosfstools
    @need_mtools
    def test_paths_resolve_case_insensitively_by_long_or_short_name(self):
        # The volume label MTOOLS comes first in the root: "/mtools" is the directory.
        _, img = self.make({"Docs/Read Me.txt": b"hello\n", "Docs/Other.txt": b"other\n",
                            "Mtools/In.txt": b"in\n"}, cluster_sectors=8)
        for p in ("/Docs/Read Me.txt", "docs/read me.TXT", "\\DOCS\\READ ME.TXT",
                  "/DOCS/README~1.TXT", "docs/readme~1.txt", "/Docs/./x/../Read Me.txt",
                  "//Docs//Read Me.txt"):
            r = run("cat", img, p)
            self.assertEqual((r.returncode, r.stdout), (0, b"hello\n"), p)
        r = run("cat", img, "/docs/other.txt", "/DOCS/READ ME.TXT", "/mtools/in.txt")
        self.assertEqual(r.stdout, b"other\nhello\nin\n")

    @need_dosfstools
    @need_mtools
    def test_code_page_and_case_insensitive_83_names(self):
        # mcopy stores both as 8.3 names without long names, SØREN.TXT in its
        # default code page, cp850 (Ø is 0x9D there, ¥ in cp437).
        _, img = self.make({"SØREN.TXT": b"cp850\n", "DOCS/README.TXT": b"upper\n"})
        self.assertIn("S¥REN.TXT\n", text(run("ls", img).stdout))
        r = run("--codepage", "cp850", "ls", "-l", img)
        self.assertIn(" SØREN.TXT     SØREN.TXT\n", text(r.stdout))
        r = run("cat", "--codepage=CP850", img, "/søren.txt", "/docs/readme.txt")
        self.assertEqual((r.returncode, r.stdout), (0, b"cp850\nupper\n"), text(r.stderr))
        out = self.path("out")
        r = run("get", "--codepage", "cp850", img, "/", out)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertTrue(os.path.isfile(out + "/SØREN.TXT"))

    @need_dosfstools
    @need_mtools
    def test_local_times_as_mtools_stores_and_reads_them(self):
        berlin = "Europe/Berlin"
        tool, mtools = dict(TOOL_ENV, TZ=berlin), dict(MTOOLS_ENV, TZ=berlin)
        dates = {"Summer.txt": "2024-07-01 14:00:00", "Winter.txt": "2024-01-15 09:30:00",
                 "Far.txt": "2050-06-15 10:20:30"}
        src, img = self.make({n: b"x" for n in dates}, dates=dates, env=mtools)
        r = run("ls", "-l", img, env=tool)
        for n, d in dates.items():
            self.assertIn(" %s  " % d.replace(" ", "T"), text(r.stdout))
        r = run("ls", "-l", "--utc", img, env=tool)
        self.assertIn(" 2024-07-01T14:00:00Z  ", text(r.stdout))
        # get: local wall clock, or UTC with --utc.
        for extra, zone in (([], berlin), (["--utc"], "UTC")):
            out = self.path("out" + zone.replace("/", "_"))
            r = run("get", *extra, img, "/", out, env=tool)
            self.assertEqual(r.returncode, 0, text(r.stderr))
            for n, d in dates.items():
                want = datetime.fromisoformat(d).replace(tzinfo=ZoneInfo(zone)).timestamp()
                self.assertEqual(os.stat(os.path.join(out, n)).st_mtime, want, (n, zone))
        # mkimage stores what mcopy -m reads back as the source's times.
        for extra, zone in (([], berlin), (["--utc"], "UTC")):
            built = mkimage(src, self.path("b.img"), *extra, env=tool)
            mt = self.path("mt" + zone.replace("/", "_"))
            os.mkdir(mt)
            subprocess.run([which("mcopy"), "-s", "-m", "-i", built, "::*", mt + "/"],
                           env=dict(MTOOLS_ENV, TZ=zone), check=True)
            for n in dates:
                self.assertEqual(os.stat(os.path.join(mt, n)).st_mtime,
                                 os.stat(os.path.join(src, n)).st_mtime, (n, zone))

    @need_dosfstools
    @need_mtools
    def test_ls_long_and_all(self):
        _, img = self.make({"Docs/Read Me.txt": b"hello\n"})
        r = run("ls", "-l", img, "/docs")
        self.assertEqual(r.returncode, 0)
        line = text(r.stdout).strip()
        self.assertRegex(line, r"^----[-a]-\s+6 %s  READM\S+\s+Read Me\.txt$" % wall(T0))
        r = run("ls", "-a", img, "/docs")
        self.assertEqual(text(r.stdout).splitlines()[:2], [".", ".."])
        r = run("ls", "-a", "-l", img)
        self.assertIn("[volume label]", text(r.stdout))
        self.assertNotIn("MTOOLS", text(run("ls", img).stdout))

    @need_dosfstools
    @need_mtools
    @need_dosfstools
    @need_mtools
    def test_deleted_entries_are_marked(self):
        _, img = self.make({"Keep.txt": b"k", "GONE.TXT": b"g"})
        subprocess.run([which("mdel"), "-i", img, "::/GONE.TXT"], env=MTOOLS_ENV, check=True)
        self.assertNotIn("ONE.TXT", text(run("ls", img).stdout))
        out = text(run("ls", "-a", img).stdout)
        self.assertIn("_ONE.TXT  [deleted]", out)
        j = json.loads(run("ls", "-a", "--json", img).stdout)
        self.assertTrue(any(e["deleted"] for e in j["entries"]))

    def mtools(self, cmd, img, *paths):
        subprocess.run([which(cmd), "-i", img, *paths], env=MTOOLS_ENV, check=True)

    @need_dosfstools
    @need_mtools
    def test_deleted_files_and_directories_are_listed_and_recovered(self):
        gone = {"A long deleted name.txt": os.urandom(9000),
                "Old Photos/Beach at sunset.jpg": os.urandom(3000),
                "Old Photos/Sub Folder/Nested long name.bin": os.urandom(700),
                "Old Photos/Sub Folder/empty file.txt": b""}
        src, img = self.make(dict(gone, **{"Keep me.txt": b"live\n"}))
        self.mtools("mdel", img, "::/A long deleted name.txt")
        self.mtools("mdeltree", img, "::/Old Photos")
        self.assertNotIn("[deleted]", text(run("ls", "-R", img).stdout))
        self.assertEqual(set(walk_json(ls_json(img)["entries"])), {"/Keep me.txt", "/Empty Dir"})
        out = text(run("ls", "-a", "-R", img).stdout)
        for rel in gone:
            self.assertIn(os.path.basename(rel) + "  [deleted]\n", out)
        self.assertIn("Old Photos  [deleted]\n", out)
        self.assertRegex(text(run("ls", "-l", "-a", img).stdout),
                         r" _LONGD~1\.TXT  A long deleted name\.txt  \[deleted\]\n")
        self.assertIn("Nested long name.bin  [deleted]", text(run("tree", "-a", img).stdout))
        listed = walk_json(ls_json(img, "/old photos/sub folder", "-a")["entries"])
        self.assertTrue(listed["/Nested long name.bin"]["deleted"])
        self.assertFalse(walk_json(ls_json(img, "/", "-a")["entries"])["/Keep me.txt"]["deleted"])
        # Without --deleted nothing deleted resolves or is written.
        self.assertEqual(run("cat", img, "/A long deleted name.txt").returncode, 1)
        plain = self.path("plain")
        self.assertEqual(run("get", img, "/", plain).returncode, 0)
        self.assertEqual(sorted(os.listdir(plain)), ["Empty Dir", "Keep me.txt"])
        r = run("cat", "--deleted", img, "/A long deleted name.txt")
        self.assertEqual(r.stdout, gone["A long deleted name.txt"])
        out = self.path("out")
        r = run("get", "--deleted", img, "/", out)
        self.assertEqual((r.returncode, text(r.stderr)), (0, ""))
        diff_r(self, src, out)
        for rel in gone:
            self.assertEqual(os.stat(os.path.join(out, rel)).st_mtime,
                             os.stat(os.path.join(src, rel)).st_mtime, rel)
        r = run("get", "--deleted", img, "/Old Photos/Sub Folder", self.path("sub"))
        self.assertEqual(r.returncode, 0, text(r.stderr))
        diff_r(self, os.path.join(src, "Old Photos", "Sub Folder"), self.path("sub"))
        if not need_tools(self, "fls", "icat", skip=False):
            return
        # The Sleuth Kit's icat -r recovers the same bytes.
        fls = subprocess.run([which("fls"), "-r", "-d", "-p", img], stdout=subprocess.PIPE,
                             check=True)
        inodes = {}
        for line in text(fls.stdout).splitlines():
            kind, rest = line.split(" * ", 1)
            inode, name = rest.split(":\t", 1)
            inodes[name] = inode
        for rel, data in gone.items():
            r = subprocess.run([which("icat"), "-r", img, inodes[rel]], stdout=subprocess.PIPE)
            self.assertEqual(r.stdout, data, rel)

    @need_dosfstools
    @need_mtools
    def test_deleted_folder_over_several_clusters_shows_no_file_data_as_entries(self):
        # 40 long names take 121 entries: eight one-sector clusters, the later ones placed
        # after file data (text, random, zeros), which a recovery must not read as entries.
        kinds = [lambda i: b"line %d of some text, with commas.\n" % i * 90,
                 lambda i: os.urandom(700 + 97 * i), lambda i: bytes(900 + i)]
        gone = {"Folder/Holiday picture %02d.jpg" % i: kinds[i % 3](i) for i in range(40)}
        src, img = self.make(dict(gone, **{"Keep me.txt": b"live\n"}))
        self.mtools("mdeltree", img, "::/Folder")
        listed = walk_json(ls_json(img, "/", "-a")["entries"])
        below = {p: e for p, e in listed.items() if p.startswith("/Folder/")}
        self.assertTrue(below)
        for p, e in below.items():
            self.assertTrue(e["deleted"], p)
            self.assertIn(p[1:], set(gone) | {"Folder/.", "Folder/.."})
        out = self.path("out")
        r = run("get", "--deleted", img, "/", out)
        self.assertEqual((r.returncode, text(r.stderr)), (0, ""))
        got = os.listdir(os.path.join(out, "Folder"))
        self.assertEqual(len(got), len(below) - 2)
        for n in got:
            with open(os.path.join(out, "Folder", n), "rb") as f:
                self.assertEqual(f.read(), gone["Folder/" + n], n)

    @need_dosfstools
    @need_mtools
    def test_recovery_over_reused_clusters_warns(self):
        old = os.urandom(3000)
        _, img = self.make({"Overwritten later.txt": old, "Keep.txt": b"k"})
        self.mtools("mdel", img, "::/Overwritten later.txt")
        # FSInfo's next-free hint at 2: the next file takes the freed clusters.
        with open(img, "r+b") as f:
            f.seek(512 + 492)
            f.write(struct.pack("<I", 2))
        new = self.path("New file.txt")
        with open(new, "wb") as f:
            f.write(os.urandom(1500))
        # Into a subdirectory: in the root it would take the deleted entry's slots.
        self.mtools("mcopy", img, new, "::/Empty Dir/")
        r = run("get", "--deleted", img, "/Overwritten later.txt", self.path("o.txt"))
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertIn("Overwritten later.txt: deleted file recovered over clusters now in use "
                      "by other files; it may be damaged", text(r.stderr))
        with open(self.path("o.txt"), "rb") as f:
            self.assertNotEqual(f.read(), old)
        r = run("cat", "--deleted", img, "/Overwritten later.txt")
        self.assertIn("may be damaged", text(r.stderr))


# ---- JSON ----------------------------------------------------------------------------

class Json(Base):
    def test_ls_tree_stat_info_json(self):
        src = os.path.join(SOURCE, "examples", "sample")
        img = self.sample_image()
        doc = ls_json(img)
        self.assertEqual(doc["path"], "/")
        entries = walk_json(doc["entries"])
        self.assertEqual(set(entries), set(walk_host(src)))
        for p, full in walk_host(src).items():
            e = entries[p]
            self.assertEqual(e["type"], "directory" if os.path.isdir(full) else "file")
            if e["type"] == "file":
                self.assertEqual(e["size"], os.path.getsize(full))
                self.assertIn("archive", e["attributes"])
            self.assertFalse(e["deleted"])
        v = info_json(img)["volume"]
        nfiles = sum(1 for f in walk_host(src).values() if os.path.isfile(f))
        ndirs = sum(1 for f in walk_host(src).values() if os.path.isdir(f))
        self.assertEqual((v["files"], v["directories"]), (nfiles, ndirs))
        self.assertEqual(v["label"], "SAMPLE")
        self.assertEqual(v["bytes_per_cluster"], 512)
        self.assertGreaterEqual(v["clusters"], 65525)
        st = json.loads(run("stat", "--json", img, "/documents/todo.txt").stdout)
        self.assertEqual((st["path"], st["name"], st["short_name"], st["type"]),
                         ("/documents/todo.txt", "todo.txt", "TODO.TXT", "file"))
        root = json.loads(run("stat", "--json", img, "/").stdout)
        self.assertTrue(root["root"])
        one = json.loads(run("ls", "--json", img, "/README.txt").stdout)
        self.assertEqual(one["type"], "file")
        self.assertEqual(len(one["entries"]), 1)

    def test_info_free_clusters_from_the_fat_and_fsinfo_beside_them(self):
        img = self.sample_image()
        v = info_json(img)["volume"]
        with open(img, "rb") as f:
            f.seek(48)
            fsinfo = struct.unpack("<H", f.read(2))[0] * 512
            f.seek(fsinfo + 488)
            free = struct.unpack("<I", f.read(4))[0]
        self.assertGreater(free, 0)
        self.assertEqual((v["free_clusters"], v["fsinfo_free_clusters"]), (free, free))
        # Offset in the FSInfo sector -> value written there; FSInfo's count expected. The
        # count from the FAT stays, and the text shows FSInfo's only when it differs.
        for off, value, hint in ((488, free - 5, free - 5), (488, 0xFFFFFFFF, None),
                                 (488, v["clusters"] + 1, None), (484, 0x61417273, None),
                                 (0, 0x41615253, None)):
            with open(img, "r+b") as f:
                f.seek(fsinfo + off)
                f.write(struct.pack("<I", value))
            v = info_json(img)["volume"]
            self.assertEqual((v["free_clusters"], v["fsinfo_free_clusters"]), (free, hint))
            line = [l for l in text(run("info", img).stdout).splitlines() if "Free clusters" in l]
            said = line[0].split(":", 1)[1]
            self.assertEqual(said.split()[0], str(free))
            self.assertEqual("FSInfo says %d" % (free - 5) in said, hint is not None, said)

    @need_dosfstools
    def test_info_free_clusters_on_fat12_and_fat16_as_fsck_counts_them(self):
        for fat, kib in (("12", 1440), ("16", 20000)):
            img = self.path("f%s.img" % fat)
            subprocess.run([which("mkfs.fat"), "-F", fat, "-C", img, str(kib)], check=True,
                           stdout=subprocess.DEVNULL)
            write_tree(self.path("src" + fat), {"a.bin": os.urandom(30000), "b.txt": b"b\n"})
            self.assertEqual(run("put", img, self.path("src" + fat), "/").returncode, 0)
            r = subprocess.run([which("fsck.fat"), "-n", img], capture_output=True)
            used, total = map(int, re.search(rb"(\d+)/(\d+) clusters", r.stdout).groups())
            v = info_json(img)["volume"]
            self.assertEqual((v["clusters"], v["free_clusters"], v["fsinfo_free_clusters"]),
                             (total, total - used, None))
            out = text(run("info", img).stdout)
            self.assertIn("Free clusters:       %d (" % (total - used), out)

    def test_control_characters_escaped_in_text_and_json(self):
        src = self.path("src")
        write_tree(src, {"tabName.txt": b"t", "quoTe.txt": b"q"})  # long names, to patch
        img = mkimage(src, self.path("c.img"))
        patch_long_names(img, {"tabName.txt": "tab\tna\x1bme", "quoTe.txt": 'qu"o\\te\x7f'},
                         dir_region(img))
        out = text(run("ls", img).stdout)
        self.assertIn("tab\\tna\\x1Bme", out)
        self.assertIn('qu"o\\\\te\\x7F', out)
        self.assertNotIn("\x1b", out)
        names = {e["name"] for e in json.loads(run("ls", "--json", img).stdout)["entries"]}
        self.assertEqual(names, {"tab\tna\x1bme", 'qu"o\\te\x7f'})

    def test_volume_label_shows_as_a_label(self):
        src = self.path("src")
        write_tree(src, {"f.txt": b"f"})
        img = mkimage(src, self.path("l.img"), "--label", "MY CARD 123")
        self.assertIn("MY CARD 123  [volume label]", text(run("ls", "-a", img).stdout))
        self.assertIn("└── MY CARD 123  [volume label]", text(run("tree", "-a", img).stdout))
        self.assertRegex(text(run("ls", "-la", img).stdout), r"MY CARD 123 +MY CARD 123  \[volume")
        label = [e for e in json.loads(run("ls", "-a", "--json", img).stdout)["entries"]
                 if e["type"] == "volume-label"]
        self.assertEqual([(e["name"], e["short_name"]) for e in label],
                         [("MY CARD 123", "MY CARD 123")])

    def test_lone_surrogates_give_valid_utf8_json_and_their_units(self):
        src = self.path("src")
        write_tree(src, {"surrogates.txt": b"s", "fine name.txt": b"f"})  # two entries, as its patch
        img = mkimage(src, self.path("u.img"))
        patch_long_names(img, {"surrogates.txt": "ab\ud800cdefghijklmn"}, dir_region(img))
        for args in (("ls", "--json", img), ("ls", "-R", "--json", img),
                     ("stat", "--json", img, "/SURROG~1.TXT")):
            out = run(*args).stdout
            doc = json.loads(out.decode("utf-8"))  # strict: no lone surrogate escapes
            self.assertNotIn(b"\\ud8", out.lower(), args)
            if "entries" in doc:
                doc = [e for e in doc["entries"] if e["name"].startswith("ab")][0]
                fine = [e for e in json.loads(out)["entries"] if e["name"] == "fine name.txt"]
                self.assertNotIn("name_units", fine[0])
            self.assertEqual(doc["name"], "ab\ufffdcdefghijklmn", args)
            self.assertEqual(doc["name_units"][:4], [97, 98, 0xD800, 99], args)
            if which("jq"):
                r = subprocess.run([which("jq"), "."], input=out, stdout=subprocess.PIPE)
                self.assertEqual(r.returncode, 0, args)

    def test_tree_output(self):
        img = self.sample_image()
        r = run("tree", img, "/documents")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(text(r.stdout),
                         "/documents\n"
                         "├── Reports 2024\n"
                         "│   ├── q1.txt\n"
                         "│   └── Quarterly summary for the board.txt\n"
                         "└── todo.txt\n"
                         "\n1 directory, 3 files\n")


# ---- Listing options ----------------------------------------------------------------

class Listing(Base):
    def sorting_image(self):
        # name -> (size, mtime offset): no two orders agree.
        files = {"beta.txt": (3000, 4), "Alpha.txt": (10, 0), "gamma.TXT": (70000, 2),
                 "delta.txt": (0, 6)}
        src = self.path("src")
        write_tree(src, {n: b"x" * size for n, (size, _) in files.items()}, dirs=["Sub"])
        for n, (_, dt) in files.items():
            os.utime(os.path.join(src, n), (T0, T0 + 100 * dt))
        return mkimage(src, self.path("s.img"))

    def lines(self, *args, sep="\n"):
        r = run(*args)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        return [l for l in text(r.stdout).split(sep) if l]

    def test_sort_orders(self):
        img = self.sorting_image()
        by_name = ["Alpha.txt", "beta.txt", "delta.txt", "gamma.TXT", "Sub"]
        for opts, want in (((), by_name), (("-r",), by_name[::-1]),
                           (("-S",), ["gamma.TXT", "beta.txt", "Alpha.txt", "delta.txt", "Sub"]),
                           (("-t",), ["Sub", "delta.txt", "beta.txt", "gamma.TXT", "Alpha.txt"]),
                           (("-tr",), ["Alpha.txt", "gamma.TXT", "beta.txt", "delta.txt", "Sub"])):
            self.assertEqual(self.lines("ls", *opts, img), want, opts)
            doc = json.loads(run("ls", "--json", *opts, img).stdout)
            self.assertEqual([e["name"] for e in doc["entries"]], want, opts)
        # -U: the order the directory holds, as mdir lists it.
        unsorted = self.lines("ls", "-U", img)
        self.assertEqual(sorted(unsorted), sorted(by_name))
        if need_tools(self, "mdir", skip=False):
            r = subprocess.run([which("mdir"), "-b", "-i", img, "::/"], stdout=subprocess.PIPE,
                               env=MTOOLS_ENV, timeout=60)
            self.assertEqual([l.rstrip("/").rsplit("/", 1)[-1] for l in text(r.stdout).split()], unsorted)
            self.assertNotEqual(unsorted, by_name)  # mdir does not sort, whatever docs said

    def test_sorting_a_directory_larger_than_a_run(self):
        # Entries are sorted in runs and merged: many runs, and tree and -R walk them.
        src = self.path("src")
        names = ["f%04d %s.txt" % ((i * 7919) % 1500, "ABC"[i % 3]) for i in range(1500)]
        write_tree(src, {"d/" + n: b"x" * (i % 97) for i, n in enumerate(names)})
        img = mkimage(src, self.path("big.img"))
        want = sorted(names, key=lambda n: n.upper())
        self.assertEqual(self.lines("ls", img, "/d"), want)
        self.assertEqual(self.lines("ls", "-R", "--paths", img), ["/d/"] + ["/d/" + n for n in want])
        tree = self.lines("tree", img)
        self.assertEqual([l[8:] for l in tree[2:-1]], want)
        sizes = [int(l.split()[1]) for l in self.lines("ls", "-lS", img, "/d")]
        self.assertEqual(sizes, sorted(sizes, reverse=True))

    def test_human_sizes(self):
        sizes = {"a": (0, "0"), "b": (1023, "1023"), "c": (1024, "1.0K"), "d": (1025, "1.1K"),
                 "e": (10 * 1024, "10K"), "f": (10 * 1024 + 1, "11K"), "g": (1536 * 1024, "1.5M")}
        src = self.path("src")
        write_tree(src, {n: b"\0" * size for n, (size, _) in sizes.items()})
        img = mkimage(src, self.path("h.img"))
        for l in self.lines("ls", "-lh", img):
            self.assertEqual(l.split()[1], sizes[l.split()[-1]][1], l)

    def test_several_paths_flat_paths_and_null(self):
        img = self.sample_image()
        out = text(run("ls", img, "/documents", "/README.txt", "/documents/todo.txt").stdout)
        self.assertEqual(out, "README.txt\ntodo.txt\n\n/documents:\nReports 2024\ntodo.txt\n")
        r = run("ls", img, "/nothing", "/README.txt")
        self.assertEqual((r.returncode, text(r.stdout)), (1, "README.txt\n"))
        self.assertIn("dorvex: /nothing: ", text(r.stderr))
        flat = self.lines("ls", "-R", "--paths", img, "/documents")
        self.assertEqual(flat, ["/documents/Reports 2024/", "/documents/todo.txt",
                                "/documents/Reports 2024/q1.txt",
                                "/documents/Reports 2024/Quarterly summary for the board.txt"])
        self.assertEqual(self.lines("ls", "-R", "--paths", "--null", img, "/documents", sep="\0"),
                         flat)
        self.assertEqual(self.lines("ls", "--null", img, "/documents", sep="\0"),
                         ["Reports 2024", "todo.txt"])
        self.assertEqual(self.lines("ls", "--paths", img, "/documents/todo.txt"),
                         ["/documents/todo.txt"])
        docs = json.loads(run("ls", "--json", img, "/documents", "/README.txt").stdout)
        self.assertEqual([(d["path"], d["type"]) for d in docs],
                         [("/README.txt", "file"), ("/documents", "directory")])

    def test_help_shows_the_new_options(self):
        out = text(run("ls", "--help").stdout).split("Examples:")[1]
        for opt in ("-lhS", "--paths", "--null", "-lt"):
            self.assertIn(opt, out)
        self.assertFalse("mdir do" in text(run("ls", "--help").stdout), "mdir does not sort")

    def test_paths_of_deleted_entries_feed_back_to_cat(self):
        src = self.path("src")
        write_tree(src, {"Gone file.txt": b"gone\n", "Keep.txt": b"keep\n",
                         "Old/Gone2.txt": b"two\n"})  # a long name keeps its first letter
        img = mkimage(src, self.path("d.img"), "--label", "CARD")
        self.assertEqual(run("rm", img, "/Gone file.txt", "/Old/Gone2.txt").returncode, 0)
        # Nothing after a path, no label: every file path goes back to cat as it is.
        for extra, sep in (([], "\n"), (["--null"], "\0")):
            paths = [p for p in self.lines("ls", "-aR", "--paths", *extra, img, sep=sep)
                     if not p.endswith(("/", "/.", "/.."))]
            r = run("cat", "--deleted", img, *paths)
            self.assertEqual((r.returncode, text(r.stderr), r.stdout),
                             (0, "", b"gone\nkeep\ntwo\n"), paths)
        marks = dict(re.match(r".* ([*-]) (/.*)$", l).group(2, 1)
                     for l in self.lines("ls", "-laR", "--paths", img))
        self.assertEqual(marks, {"/Gone file.txt": "*", "/Keep.txt": "-", "/Old/": "-",
                                 "/Old/.": "-", "/Old/..": "-", "/Old/Gone2.txt": "*"})

    def test_sorted_records_kept_or_read_again(self):
        # Files put in reverse name order: the directory's order is not the names'. The
        # records kept from the first pass, none (budget 0) or some (a budget a directory
        # passes midway) give the same listings.
        names = ["n%02d %s.txt" % (i, ("Über", "Ωmega", "日本", "abc")[i % 4]) for i in range(40)]
        src = self.path("src")
        write_tree(src, {"d/" + n: b"x" * i for i, n in enumerate(names)})
        write_tree(self.path("src2"), {"d/Sub/%s.txt" % c: c.encode() for c in "zyx"})
        img = mkimage(self.path("src2"), self.path("r.img"))
        put = [os.path.join(src, "d", n) for n in sorted(names, reverse=True)]
        self.assertEqual(run("put", img, *put, "/d").returncode, 0)
        self.assertEqual(run("rm", img, "/d/" + names[5], "/d/Sub/y.txt").returncode, 0)
        unsorted = self.lines("ls", "-U", img, "/d")
        want = sorted(unsorted, key=lambda n: (n.upper(), n))
        self.assertNotEqual(unsorted, want)
        self.assertEqual(self.lines("ls", img, "/d"), want)
        # Names past Latin-1 and the BMP, 255 units, a label, impossible and zero dates.
        rich = self.path("rich")
        rich_tree(rich)
        img2 = mkimage(rich, self.path("rich.img"), "--label", "CARD")
        write_tree(self.path("dates"), {"nodate.txt": b"z", "month13.txt": b"m"})
        img3 = mkimage(self.path("dates"), self.path("dates.img"))
        patch_short_entry(img3, b"NODATE  TXT", dir_region(img3),
                          fields={14: bytes(6), 22: bytes(4)})
        patch_short_entry(img3, b"MONTH13 TXT", dir_region(img3),
                          fields={24: struct.pack("<H", 13 << 5 | 1)})
        views = [("ls", "-la", img, "/d"), ("ls", "-lSR", img), ("ls", "-aR", "--json", img),
                 ("tree", "-a", img), ("ls", "-laR", img2), ("ls", "-atR", "--json", img2),
                 ("tree", "-a", img2), ("ls", "-l", img3), ("ls", "-t", "--json", img3)]
        kept = [run(*v).stdout for v in views]
        for budget in ("0", "600"):
            env = dict(TOOL_ENV, DORVEX_TEST_SORT_BUDGET=budget)
            for v, out in zip(views, kept):
                self.assertEqual(run(*v, env=env).stdout, out, (budget, v))
            for image, top, want in ((img, "/d", unsorted), (img2, "/", None)):
                out = self.path("get" + budget + top.replace("/", "_"))
                self.assertEqual(run("get", "--quiet", image, top, out, env=env).returncode, 0)
                if want:
                    self.assertEqual(sorted(os.listdir(out)), sorted(want))
                else:
                    diff_r(self, rich, out)


# ---- Errors -----------------------------------------------------------------------------

class Errors(Base):
    def test_missing_paths(self):
        img = self.sample_image()
        cases = [
            (["ls", img, "/DOCS/X.TXT"], "dorvex: /DOCS/X.TXT: No such file or directory\n"),
            (["stat", img, "nothing"], "dorvex: /nothing: No such file or directory\n"),
            (["cat", img, "/Documents"], "dorvex: /Documents: Is a directory\n"),
            (["cat", img, "/README.txt/x"], "dorvex: /README.txt/x: Not a directory\n"),
            (["cat", img, "/README.txt/*"], "dorvex: /README.txt/*: Not a directory\n"),
            (["get", img, "/README.txt/x", self.path("o")],
             "dorvex: /README.txt/x: Not a directory\n"),
            (["ls", "-a", img, "/README.txt/x"], "dorvex: /README.txt/x: Not a directory\n"),
            (["stat", img, "/README.txt/x/y"], "dorvex: /README.txt/x/y: Not a directory\n"),
            (["tree", img, "/README.txt"], "dorvex: /README.txt: Not a directory\n"),
            (["get", img, "/nope", self.path("o")], "dorvex: /nope: No such file or directory\n"),
        ]
        for args, msg in cases:
            r = run(*args)
            self.assertEqual((r.returncode, text(r.stderr)), (1, msg), args)
        # cat goes on after a missing file and still fails.
        r = run("cat", img, "/missing", "/README.txt")
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stdout.startswith(b"Welcome"))

    def test_bad_images(self):
        rnd = self.path("random.img")
        open(rnd, "wb").write(os.urandom(1 << 20))
        tiny = self.path("tiny.img")
        open(tiny, "wb").write(b"\0" * 100)
        empty = self.path("empty.img")
        open(empty, "wb").close()
        cases = [
            (["ls", rnd], "dorvex: %s: no FAT file system found\n" % rnd),
            (["ls", "--offset", "0", rnd],
             "dorvex: %s (offset 0): Invalid boot sector signature\n" % rnd),
            (["ls", tiny], "dorvex: %s: too small to hold a FAT volume\n" % tiny),
            (["ls", empty], "dorvex: %s: empty: no file system on it\n" % empty),
            (["info", self.path("nonexistent.img")],
             "dorvex: %s: No such file or directory\n" % self.path("nonexistent.img")),
            (["ls", self.tmp], "dorvex: %s: Is a directory\n" % self.tmp),
            (["ls", "-p", "1", rnd], "dorvex: %s: no partition table\n" % rnd),
            (["ls", "--offset", "5000", rnd],
             "dorvex: %s: offset 5000 lies beyond the end of the image (2048 sectors)\n" % rnd),
        ]
        for args, msg in cases:
            r = run(*args)
            self.assertEqual((r.returncode, text(r.stderr)), (1, msg), args)

    def test_damaged_images_give_errors_not_crashes(self):
        src = self.path("src")
        rich_tree(src)
        img = mkimage(src, self.path("d.img"))
        v = info_json(img)["volume"]
        whole = open(img, "rb").read()
        fat = v["fat_start"] * 512
        fat_len = v["fat_sectors"] * 512
        damaged = {
            # The data area is gone: every directory and file read fails.
            "truncated": whole[:(v["data_start"] + 1) * 512],
            # Every FAT entry points to itself: every chain loops.
            "selfloop": whole[:fat] + b"".join(struct.pack("<I", i) for i in range(fat_len // 4))
            + whole[fat + fat_len:],
            # Every chain ends after one cluster.
            "short_chains": whole[:fat] + b"\xff" * fat_len + whole[fat + fat_len:],
            # Garbage in the root directory.
            "garbage_root": whole[:v["data_start"] * 512] + os.urandom(8192)
            + whole[v["data_start"] * 512 + 8192:],
        }
        for name, data in damaged.items():
            p = self.path(name + ".img")
            open(p, "wb").write(data)
            for args in (["ls", "-R", "-a", "-l", p], ["tree", p], ["info", p],
                         ["get", "-q", p, "/", self.path("out-" + name)],
                         ["cat", p, "/big/larger.bin"], ["ls", "-R", "--json", p],
                         ["stat", p, "/deep/a/b/c/d/e/f/leaf.txt"]):
                r = run(*args)
                self.assertIn(r.returncode, (0, 1), (name, args, text(r.stderr)))
                if args[0] == "ls" and "--json" in args and r.stdout:
                    json.loads(r.stdout)  # still one valid document
        r = run("cat", self.path("selfloop.img"), "/A long file name.text")
        self.assertEqual(r.returncode, 1)
        self.assertIn("Chain is broken in FAT table", text(r.stderr))


# ---- Partition tables ------------------------------------------------------------------

def mbr_entry(ptype, start, count, boot=0):
    return struct.pack("<B3sB3sII", boot, b"\0\0\0", ptype, b"\0\0\0", start, count)


BASIC_DATA = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
LINUX_FS = "0FC63DAF-8483-4772-8E79-3D69D8477DE4"


def write_gpt(disk, total, vol, start, parts):
    """A GPT disk of `total` sectors, `vol` at `start`; parts: (type, first, last, name)."""
    entries = bytearray(128 * 128)
    for i, (kind, first, last, name) in enumerate(parts):
        entries[128 * i:128 * i + 128] = (uuid.UUID(kind).bytes_le + uuid.uuid4().bytes_le
                                          + struct.pack("<QQQ", first, last, 0)
                                          + name.encode("utf-16-le").ljust(72, b"\0"))
    hdr = bytearray(struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x10000, 92, 0, 0, 1,
                                total - 1, 34, total - 34, uuid.uuid4().bytes_le, 2, 128,
                                128, zlib.crc32(entries)))
    struct.pack_into("<I", hdr, 16, zlib.crc32(hdr))
    with open(disk, "wb") as f:
        f.truncate(total * 512)
        mbr = bytearray(512)
        mbr[446:462] = mbr_entry(0xEE, 1, min(total - 1, 0xFFFFFFFF))
        mbr[510:512] = b"\x55\xaa"
        f.write(mbr)
        f.write(bytes(hdr).ljust(512, b"\0"))
        f.write(entries)
        f.seek(start * 512)
        f.write(vol)


class Partitions(Base):
    def volume(self):
        return open(self.sample_image(), "rb").read()

    def test_mbr_with_logical_partition(self):
        vol = self.volume()
        nsec = len(vol) // 512
        disk = self.path("mbr.img")
        ext_start = 4096
        with open(disk, "wb") as f:
            f.truncate((ext_start + 2048 + nsec) * 512)
            mbr = bytearray(512)
            mbr[446:462] = mbr_entry(0x83, 2048, 2048)
            mbr[462:478] = mbr_entry(0x05, ext_start, 2048 + nsec)
            mbr[510:512] = b"\x55\xaa"
            f.seek(0)
            f.write(mbr)
            ebr = bytearray(512)
            ebr[446:462] = mbr_entry(0x0C, 2048, nsec)
            ebr[510:512] = b"\x55\xaa"
            f.seek(ext_start * 512)
            f.write(ebr)
            f.seek((ext_start + 2048) * 512)
            f.write(vol)
        info = info_json(disk)
        self.assertEqual(info["partition_table"], "MBR")
        self.assertEqual([(p["number"], p["start"], p["fat32"]) for p in info["partitions"]],
                         [(1, 2048, False), (2, ext_start, False), (5, ext_start + 2048, True)])
        self.assertEqual(info["volume"]["where"], "partition 5")
        self.assertEqual(info["volume"]["label"], "SAMPLE")
        for extra in ([], ["-p", "5"], ["--partition=5"], ["--offset", str(ext_start + 2048)]):
            r = run("cat", *extra, disk, "/README.txt")
            self.assertEqual(r.returncode, 0, (extra, text(r.stderr)))
            self.assertTrue(r.stdout.startswith(b"Welcome"))
        r = run("-p", "5", "ls", disk)  # volume options before the command
        self.assertEqual(r.returncode, 0)
        for args, msg in ((["-p", "1"], "(partition 1): the volume is blank (all zeros)"),
                          (["-p", "2"], "partition 2 is an extended partition"),
                          (["-p", "9"], "no partition 9")):
            r = run("ls", *args, disk)
            self.assertEqual(r.returncode, 1, args)
            self.assertIn(msg, text(r.stderr), args)
        text_info = text(run("info", disk).stdout)
        self.assertIn("Partition table: MBR", text_info)
        self.assertIn("0x0c FAT32 (LBA)", text_info)

    @need_dosfstools
    def test_fat16_partition_and_4096_byte_sectors(self):
        # A FAT16 volume in a type-0x06 partition behind a Linux one that holds a FAT32
        # boot sector: the FAT-typed partition is the one taken.
        vol16 = self.path("v16.img")
        subprocess.run([which("mkfs.fat"), "-F", "16", "-s", "1", "-n", "SIXTEEN", "-C", vol16,
                        "4096"], check=True, stdout=subprocess.DEVNULL)
        vol32 = self.volume()
        n16, n32 = os.path.getsize(vol16) // 512, len(vol32) // 512
        disk = self.path("mbr16.img")
        with open(disk, "wb") as f:
            f.truncate((2048 + n32 + n16) * 512)
            mbr = bytearray(512)
            mbr[446:462] = mbr_entry(0x83, 2048, n32)
            mbr[462:478] = mbr_entry(0x06, 2048 + n32, n16)
            mbr[510:512] = b"\x55\xaa"
            f.write(mbr)
            f.seek(2048 * 512)
            f.write(vol32)
            f.write(open(vol16, "rb").read())
        info = info_json(disk)
        self.assertEqual([(p["number"], p["fat"], p["fat32"]) for p in info["partitions"]],
                         [(1, 32, True), (2, 16, False)])
        v = info["volume"]
        self.assertEqual((v["where"], v["fat_type"], v["root_entries"], v["label"]),
                         ("partition 2", 16, 512, "SIXTEEN"))
        out = text(run("info", disk).stdout)
        self.assertIn("FAT type:            FAT16", out)
        self.assertIn("Root entries:        512", out)
        # Logical sectors of 4096 bytes: shown, and read whole.
        big = self.path("s4k.img")
        subprocess.run([which("mkfs.fat"), "-F", "16", "-S", "4096", "-s", "1", "-C", big,
                        "40000"], check=True, stdout=subprocess.DEVNULL)
        v = info_json(big)["volume"]
        self.assertEqual((v["fat_type"], v["bytes_per_sector"], v["bytes_per_cluster"]),
                         (16, 4096, 4096))
        self.assertIn("Bytes per sector:    4096", text(run("info", big).stdout))

    @need_dosfstools
    def test_gpt_with_4096_byte_sectors(self):
        # A 4Kn disk: the GPT sits at byte 4096 and counts in 4096-byte sectors; its
        # partition holds a FAT16 volume with 4096-byte sectors.
        vol = self.path("v4k.img")
        subprocess.run([which("mkfs.fat"), "-F", "16", "-S", "4096", "-s", "1", "-n", "FOURK",
                        "-C", vol, "40000"], check=True, stdout=subprocess.DEVNULL)
        data = open(vol, "rb").read()
        start, count = 256, len(data) // 4096
        total = start + count + 16
        esp = uuid.UUID("C12A7328-F81F-11D2-BA4B-00A0C93EC93B").bytes_le
        entries = bytearray(128 * 128)
        entries[0:128] = (esp + uuid.uuid4().bytes_le
                          + struct.pack("<QQQ", start, start + count - 1, 0)).ljust(128, b"\0")
        hdr = bytearray(struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x10000, 92, 0, 0, 1,
                                    total - 1, 6, total - 6, uuid.uuid4().bytes_le, 2, 128,
                                    128, zlib.crc32(entries)))
        struct.pack_into("<I", hdr, 16, zlib.crc32(hdr))
        disk = self.path("gpt4k.img")
        with open(disk, "wb") as f:
            f.truncate(total * 4096)
            mbr = bytearray(512)
            mbr[446:462] = mbr_entry(0xEE, 1, total - 1)
            mbr[510:512] = b"\x55\xaa"
            f.write(mbr)
            f.seek(4096)
            f.write(bytes(hdr))
            f.seek(8192)
            f.write(entries)
            f.seek(start * 4096)
            f.write(data)
        info = info_json(disk)
        self.assertEqual(info["partition_table"], "GPT")
        self.assertEqual([(p["start"], p["sectors"], p["fat"]) for p in info["partitions"]],
                         [(start * 8, count * 8, 16)])
        v = info["volume"]
        self.assertEqual((v["where"], v["fat_type"], v["bytes_per_sector"], v["label"]),
                         ("partition 1", 16, 4096, "FOURK"))

    def test_gpt(self):
        vol = self.volume()
        nsec = len(vol) // 512
        start = 2048
        total = start + nsec + 34
        disk = self.path("gpt.img")
        write_gpt(disk, total, vol, start,
                  [(LINUX_FS, 40, 1000, "swapish"), (BASIC_DATA, start, start + nsec - 1,
                                                     "Data Ünï")])
        info = info_json(disk)
        self.assertEqual(info["partition_table"], "GPT")
        self.assertEqual([(p["number"], p["type_name"], p["name"], p["fat32"])
                          for p in info["partitions"]],
                         [(1, "Linux filesystem", "swapish", False),
                          (2, "Microsoft basic data", "Data Ünï", True)])
        self.assertEqual(info["volume"]["where"], "partition 2")
        # Long type names keep the columns in line: numbers end under their headings, the
        # file system starts under its own.
        lines = text(run("info", disk).stdout).splitlines()
        head = next(l for l in lines if l.split()[:2] == ["#", "Type"])
        for row, p in zip(lines[lines.index(head) + 1:], info["partitions"]):
            for heading in ("Start", "Sectors"):
                end = head.index(heading) + len(heading)
                self.assertEqual(row[:end].split()[-1], str(p[heading.lower()]), (row, head))
                self.assertEqual(row[end:end + 1], " ", (row, head))
            self.assertEqual(row[head.index("File system"):].split()[0], p["file_system"])
        self.assertEqual(run("cat", "-p", "2", disk, "readme.txt").returncode, 0)
        r = run("ls", "-p", "3", disk)
        self.assertEqual((r.returncode, text(r.stderr)), (1, "dorvex: %s: no partition 3\n" % disk))


class Volumes(Base):
    """Volumes the tool once refused: odd cluster sizes, the FAT boot images of ISO 9660
    images."""

    def require(self, *tools):
        need_tools(self, *tools)

    def mcopy(self, img, files):
        write_tree(self.path("src"), files)
        for name in files:
            subprocess.run([which("mcopy"), "-i", img, self.path("src", name), "::/" + name],
                           check=True, env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1"))

    def test_clusters_of_three_sectors(self):
        self.require("mformat", "mcopy")
        img = self.path("c3.img")
        with open(img, "wb") as f:
            f.truncate(8192 * 512)
        subprocess.run([which("mformat"), "-i", img, "-c", "3", "-T", "8192", "-h", "2", "-s",
                        "32", "::"], check=True, env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1"))
        data = os.urandom(5000)
        self.mcopy(img, {"DATA.BIN": data})
        r = run("cat", img, "/DATA.BIN")
        self.assertEqual((r.returncode, text(r.stderr)), (0, ""))
        self.assertEqual(r.stdout, data)
        v = info_json(img)["volume"]
        self.assertEqual((v["where"], v["fat_type"], v["sectors_per_cluster"],
                          v["bytes_per_cluster"]), ("whole image", 12, 3, 1536))
        self.assertIn("1536 (3 sectors)", text(run("info", img).stdout))

    def iso(self, efi_files, patch_count=None):
        """An ISO made by xorriso: an x86 boot file of 4 sectors, then an EFI FAT12 image
        holding `efi_files`. patch_count rewrites the EFI entry's sector count."""
        self.require("xorriso", "mkfs.fat", "mcopy")
        os.makedirs(self.path("iso"))
        efi = self.path("iso", "efiboot.img")
        subprocess.run([which("mkfs.fat"), "-F", "12", "-n", "EFIBOOT", "-C", efi, "1440"],
                       check=True, stdout=subprocess.DEVNULL)
        self.mcopy(efi, efi_files)
        with open(self.path("iso", "boot.bin"), "wb") as f:
            f.write(os.urandom(2048))
        iso = self.path("boot.iso")
        subprocess.run([which("xorriso"), "-as", "mkisofs", "-o", iso, "-b", "boot.bin",
                        "-no-emul-boot", "-boot-load-size", "4", "-eltorito-alt-boot", "-e",
                        "efiboot.img", "-no-emul-boot", self.path("iso")],
                       check=True, capture_output=True)
        if patch_count is not None:
            with open(iso, "r+b") as f:
                f.seek(17 * 2048 + 71)
                catalog = struct.unpack("<I", f.read(4))[0] * 2048
                f.seek(catalog + 3 * 32 + 6)  # validation, default, header, then the EFI entry
                f.write(struct.pack("<H", patch_count))
        return iso, os.path.getsize(efi) // 512

    def test_iso_whose_only_fat_volume_is_the_efi_boot_image(self):
        for count in (None, 1):  # as xorriso wrote it; a catalog that says 1 sector
            iso, efi_sectors = self.iso({"BOOTX64.EFI": b"loader\n", "README.TXT": b"hi\n"},
                                        count)
            r = run("ls", iso)
            self.assertEqual((r.returncode, text(r.stderr)), (0, ""), count)
            self.assertEqual(text(r.stdout).split(), ["BOOTX64.EFI", "README.TXT"])
            self.assertEqual(run("cat", "-p", "2", iso, "/readme.txt").stdout, b"hi\n")
            info = info_json(iso)
            self.assertEqual(info["partition_table"], "El Torito")
            self.assertEqual([(p["number"], p["type"], p["type_name"], p["sectors"], p["fat"])
                              for p in info["partitions"]],
                             [(1, "0x00", "x86 BIOS, no emulation", 4, None),
                              (2, "0xef", "EFI, no emulation", efi_sectors, 12)])
            self.assertEqual((info["volume"]["where"], info["volume"]["label"]),
                             ("partition 2", "EFIBOOT"))
            self.assertIn("Partition table: El Torito", text(run("info", iso).stdout))
            r = run("ls", "-p", "1", iso)
            self.assertEqual(r.returncode, 1)
            shutil.rmtree(self.path("iso"))
        # Only a BIOS boot image: the ISO is named as such.
        os.makedirs(self.path("bios"))
        with open(self.path("bios", "boot.bin"), "wb") as f:
            f.write(os.urandom(2048))
        subprocess.run([which("xorriso"), "-as", "mkisofs", "-o", self.path("bios.iso"), "-b",
                        "boot.bin", "-no-emul-boot", self.path("bios")], check=True,
                       capture_output=True)
        r = run("ls", self.path("bios.iso"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("this is an ISO 9660 image whose boot images hold no FAT volume",
                      text(r.stderr))


# ---- Inputs that are not plain FAT images ------------------------------------------------

MIB = 1 << 20
REASON = ": dorvex reads FAT12, FAT16, FAT32 and exFAT"
# Each file system by a few bytes at its well-known place: (offset, bytes).
SIGNATURES = [
    ("NTFS", [(0, b"\xeb\x52\x90NTFS    "), (510, b"\x55\xaa")],
     "this is an NTFS volume" + REASON),
    ("ext4", [(1080, b"\x53\xef"), (1024 + 96, b"\x40")], "this is an ext4 volume" + REASON),
    ("ext3", [(1080, b"\x53\xef"), (1024 + 92, b"\x04")], "this is an ext3 volume" + REASON),
    ("ext2", [(1080, b"\x53\xef")], "this is an ext2 volume" + REASON),
    ("ISO 9660", [(32768, b"\x01CD001\x01")], "this is an ISO 9660 image" + REASON),
    ("HFS+", [(1024, b"H+\x00\x04")], "this is an HFS+ volume" + REASON),
    ("APFS", [(32, b"NXSB")], "this is an APFS container" + REASON),
    ("Btrfs", [(65536 + 64, b"_BHRfS_M")], "this is a Btrfs volume" + REASON),
    ("XFS", [(0, b"XFSB")], "this is an XFS volume" + REASON),
    ("LUKS", [(0, b"LUKS\xba\xbe\x00\x02")],
     "this is a LUKS container (encrypted): unlock it with cryptsetup and read the mapped "
     "device"),
    ("Linux swap", [(4086, b"SWAPSPACE2")], "this is a Linux swap area, not a file system"),
    ("blank", [], "the image is blank (all zeros): no file system on it"),
]


def signed_volume(marks, size=2 * MIB):
    v = bytearray(size)
    for at, data in marks:
        v[at:at + len(data)] = data
    return bytes(v)


class Inputs(Base):
    def fail(self, *args, env=None, stdin=None):
        r = run(*args, env=env, stdin=stdin)
        self.assertEqual(r.returncode, 1, (args, text(r.stderr)))
        return text(r.stderr)

    def test_other_file_systems_are_named(self):
        vols = []
        for name, marks, msg in SIGNATURES:
            img = self.path(name + ".img")
            vols.append(signed_volume(marks))
            open(img, "wb").write(vols[-1])
            self.assertEqual(self.fail("ls", img), "dorvex: %s: %s\n" % (img, msg), name)
        # The same volumes as the partitions of one MBR disk (4 primary, the rest logical).
        disk, size = self.path("disk.img"), 2 * MIB // 512
        with open(disk, "wb") as f:
            mbr = bytearray(512)
            for i in range(3):
                mbr[446 + 16 * i:462 + 16 * i] = mbr_entry(0x83, 2048 + i * size, size)
            ext = 2048 + 3 * size
            mbr[494:510] = mbr_entry(0x05, ext, (len(vols) - 3) * (size + 2048))
            mbr[510:] = b"\x55\xaa"
            f.write(mbr)
            for i, v in enumerate(vols[:3]):
                f.seek((2048 + i * size) * 512)
                f.write(v)
            for i, v in enumerate(vols[3:]):
                ebr_at = ext + i * (size + 2048)
                ebr = bytearray(512)
                ebr[446:462] = mbr_entry(0x83, 2048, size)
                if i + 4 < len(vols):
                    ebr[462:478] = mbr_entry(0x05, (i + 1) * (size + 2048), size + 2048)
                ebr[510:] = b"\x55\xaa"
                f.seek(ebr_at * 512)
                f.write(ebr)
                f.seek((ebr_at + 2048) * 512)
                f.write(v)
        numbers = [1, 2, 3] + list(range(5, 5 + len(vols) - 3))
        listed = ", ".join("partition %d is %s" % (n, sig[0]) for n, sig in zip(numbers, SIGNATURES))
        self.assertEqual(self.fail("ls", disk), "dorvex: %s: no FAT volume on this disk: %s\n"
                         % (disk, listed))
        r = run("info", "--json", disk)
        parts = json.loads(r.stdout)["partitions"]
        self.assertEqual([(p["number"], p["file_system"]) for p in parts if p["number"] != 4],
                         [(n, sig[0]) for n, sig in zip(numbers, SIGNATURES)])
        self.assertIn("ext4\n", text(run("info", disk).stdout))
        for n, (name, _, msg) in zip(numbers, SIGNATURES):
            msg = msg.replace("the image is", "the volume is")
            self.assertEqual(self.fail("cat", "-p", str(n), disk, "/x"),
                             "dorvex: %s (partition %d): %s\n" % (disk, n, msg), name)

    def test_real_file_systems_are_named(self):
        made = 0
        # exFAT is read now: see the Exfat group.
        for name, cmd in (("NTFS", ["mkntfs", "-F", "-f", "-q"]), ("ext4", ["mkfs.ext4", "-q", "-F"])):
            if not need_tools(self, cmd[0], skip=False):
                continue
            img = self.path(name + ".img")
            open(img, "wb").truncate(16 * MIB)
            subprocess.run([which(cmd[0]), *cmd[1:], img], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Their boot sectors end in 0x55AA, yet are no partition table.
            self.assertIn("Partition table: none\n", text(run("info", img).stdout))
            msg = next(m for n, _, m in SIGNATURES if n == name)
            self.assertEqual(self.fail("info", img), "dorvex: %s: %s\n" % (img, msg))
            made += 1
        if not made:
            self.skipTest("no mkntfs or mkfs.ext4")

    def test_damaged_exfat_boot_sector(self):
        # Named exFAT, but no geometry: the mount's complaint, not "not supported".
        img = self.path("exfat.img")
        open(img, "wb").write(signed_volume([(0, b"\xeb\x76\x90EXFAT   "), (510, b"\x55\xaa")]))
        self.assertEqual(self.fail("ls", img), "dorvex: %s: damaged exFAT volume: Bad PBR "
                         "content or not a valid PBR\n" % img)
        self.assertEqual(json.loads(run("info", "--json", img).stdout)["volume"], None)

    def test_truncated_image_warns_once(self):
        whole = open(self.sample_image(), "rb").read()
        n = len(whole) // 512
        cut = self.path("cut.img")
        open(cut, "wb").write(whole[:len(whole) * 3 // 5])
        note = "image ends at sector %d, the volume claims %d: truncated?" % (n * 3 // 5, n)
        self.assertIn("  note: %s\n" % note, text(run("info", cut).stdout))
        warn = "dorvex: warning: %s: %s\n" % (cut, note)
        for args in (["ls", cut], ["cat", cut, "/README.txt", "/README.txt"],
                     ["info", "--json", cut], ["ls", "-R", cut]):
            r = run(*args)
            self.assertEqual(r.returncode, 0, args)
            self.assertEqual(text(r.stderr), warn, args)
        r = run("ls", self.sample_image())
        self.assertEqual((r.returncode, r.stderr), (0, b""))

    def test_pipes_and_standard_input(self):
        img = self.sample_image()
        data = open(img, "rb").read()
        want = run("ls", "-R", "-l", img)
        self.assertEqual(want.returncode, 0)
        # "-" and a FIFO (/dev/stdin on a pipe) are read into memory.
        for name in ("-", "/dev/stdin"):
            r = run("ls", "-R", "-l", name, stdin=data)
            self.assertEqual((r.returncode, text(r.stderr), r.stdout), (0, "", want.stdout), name)
        r = run("cat", "-", "/README.txt", stdin=data)
        self.assertTrue(r.stdout.startswith(b"Welcome"))
        limit = dict(TOOL_ENV, DORVEX_PIPE_LIMIT="1M")
        self.assertEqual(self.fail("ls", "-", env=limit, stdin=data),
                         "dorvex: -: cannot seek in this input, and it is longer than the 1 MiB "
                         "read into memory: save it to a file first, or raise DORVEX_PIPE_LIMIT\n")
        exact = dict(TOOL_ENV, DORVEX_PIPE_LIMIT=str(len(data)))
        self.assertEqual(run("ls", "-", env=exact, stdin=data).stdout, run("ls", img).stdout)
        self.assertEqual(self.fail("ls", "-", env=dict(TOOL_ENV, DORVEX_PIPE_LIMIT="lots"),
                                   stdin=data),
                         "dorvex: -: DORVEX_PIPE_LIMIT: 'lots' is not a size (bytes, or with K, "
                         "M or G)\n")
        self.assertEqual(self.fail("ls", "-", stdin=b""), "dorvex: -: empty: no file system on it\n")
        # A pipe cut short is a truncated image, not a half-read one.
        r = run("ls", "-", stdin=data[:len(data) // 2])
        self.assertIn("truncated?", text(r.stderr))

    @need_dosfstools
    @need_mtools
    def test_damaged_boot_sector_falls_back_to_the_backup(self):
        src = self.path("src")
        write_tree(src, {"a.txt": b"alpha\n", "dir/b.bin": os.urandom(5000)})
        img = self.path("good.img")
        subprocess.run([which("mkfs.fat"), "-F", "32", "-s", "1", "-n", "BACKUP", "-C", img,
                        "40960"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run([which("mcopy"), "-s", "-m", "-i", img, os.path.join(src, "a.txt"),
                        os.path.join(src, "dir"), "::/"], env=MTOOLS_ENV, check=True)
        good = open(img, "rb").read()
        want = run("ls", "-R", "-l", img).stdout
        v = info_json(img)["volume"]
        self.assertEqual((v["dirty"], v["backup_boot_sector"]), (False, None))
        # FAT[1]'s clean bit (bit 27 on FAT32) cleared: a volume not closed cleanly.
        dirty = bytearray(good)
        fat1 = struct.unpack_from("<H", dirty, 14)[0] * 512 + 4
        struct.pack_into("<I", dirty, fat1, struct.unpack_from("<I", dirty, fat1)[0] & ~(1 << 27))
        open(self.path("dirty.img"), "wb").write(dirty)
        self.assertTrue(info_json(self.path("dirty.img"))["volume"]["dirty"])
        self.assertIn("State:               dirty", text(run("info", self.path("dirty.img")).stdout))
        spc0 = bytearray(good[:512])
        spc0[13] = 0  # the library refuses zero sectors per cluster
        warn = "boot sector damaged, using the backup at sector 6"
        for name, sector0 in (("zeroed", bytes(512)), ("random", os.urandom(512)),
                              ("no clusters", bytes(spc0))):
            bad = self.path(name + ".img")
            open(bad, "wb").write(good)
            subprocess.run(["dd", "if=/dev/stdin", "of=" + bad, "bs=512", "count=1",
                            "conv=notrunc"], input=sector0, check=True, stderr=subprocess.DEVNULL)
            r = run("ls", "-R", "-l", bad)
            self.assertEqual((r.returncode, r.stdout, text(r.stderr)),
                             (0, want, "dorvex: warning: %s: %s\n" % (bad, warn)), name)
            out = text(run("info", bad).stdout)
            self.assertIn("  note: " + warn, out)
            self.assertIn("Label:               BACKUP", out)
            self.assertIn("State:               clean; boot sector damaged, read from the backup "
                          "at sector 6", out)
            self.assertEqual(info_json(bad)["volume"]["backup_boot_sector"], 6)
            r = run("cat", "--offset", "0", bad, "/dir/b.bin")
            self.assertEqual(r.stdout, open(os.path.join(src, "dir/b.bin"), "rb").read())
            # Writes would leave the damaged sector in charge: refused, nothing written.
            r = run("put", bad, os.path.join(src, "a.txt"), "/new.txt")
            self.assertEqual((r.returncode, text(r.stderr)),
                             (1, "dorvex: %s: Boot sector damaged: mounted from its backup, "
                                 "read-only until repaired\n" % bad), name)
            self.assertEqual(open(bad, "rb").read()[512:], good[512:], name)
        # Inside a partition: still found, and listed as FAT32.
        disk = self.path("disk.img")
        with open(disk, "wb") as f:
            mbr = bytearray(512)
            mbr[446:462] = mbr_entry(0x0C, 2048, len(good) // 512)
            mbr[510:] = b"\x55\xaa"
            f.write(mbr)
            f.seek(2048 * 512)
            f.write(bytes(512) + good[512:])
        self.assertEqual(run("ls", "-R", "-l", disk).stdout, want)
        self.assertEqual(info_json(disk)["partitions"][0]["file_system"], "FAT32")

    def test_write_commands_refuse_pipes_at_once(self):
        img = self.sample_image()
        data = open(img, "rb").read()
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        master, tty = pty.openpty()
        # IMAGE, standard input, what the image is named as
        images = [("-", data, "standard input"), ("/dev/stdin", data, "a pipe or FIFO"),
                  (fifo, b"", "a pipe or FIFO"), (os.ttyname(tty), b"", "a character device")]
        for cmd, *rest in (["put", img, "/"], ["mkdir", "/new"], ["rm", "/README.txt"],
                           ["mv", "/README.txt", "/x"], ["label", "NEW"]):
            for image, stdin, kind in images:
                r = subprocess.run([TOOL, cmd, image, *rest], input=stdin, capture_output=True,
                                   env=TOOL_ENV, timeout=20)
                self.assertEqual((r.returncode, text(r.stderr)),
                                 (1, "dorvex: %s: %s, not changed: a write needs a regular file "
                                     "or a block device\n" % (image, kind)), (cmd, image))
        os.close(tty)
        os.close(master)

    def test_fifo_without_a_writer_is_given_up(self):
        img = self.sample_image()
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        for wait, msg in (("300", "300 ms"), ("1500", "1.5 s")):
            r = subprocess.run([TOOL, "ls", fifo], capture_output=True, timeout=20,
                               env=dict(TOOL_ENV, DORVEX_TEST_PIPE_WAIT=wait))
            self.assertEqual((r.returncode, text(r.stderr)),
                             (1, "dorvex: %s: no one wrote to this FIFO within %s: start its "
                                 "writer first, or pipe the image in\n" % (fifo, msg)))
        # A writer that comes within the wait is read as any pipe.
        p = subprocess.Popen([TOOL, "ls", fifo], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=dict(TOOL_ENV, DORVEX_TEST_PIPE_WAIT="10000"))
        time.sleep(0.3)
        for _ in range(1000):  # opens once the tool has it open for reading
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:
                time.sleep(0.01)
        os.set_blocking(fd, True)
        os.write(fd, open(img, "rb").read())
        os.close(fd)
        out, err = p.communicate(timeout=20)
        self.assertEqual((p.returncode, out), (0, run("ls", img).stdout), text(err))


# ---- Hostile images ---------------------------------------------------------------------

class Hostile(Base):
    def hostile_image(self):
        src = self.path("src")
        write_tree(src, {
            "good.txt": b"good\n",
            "aXb": b"slash\n",                 # becomes "a/b"
            "xQy": b"backslash\n",             # becomes "x\\y"
            "x_y": b"real x_y\n",              # the substitute of "x\\y", taken already
            "pQ": b"dotdot\n",                 # becomes ".."
            "é": b"dot\n",                     # becomes "."
            "cTl": b"control\n",               # becomes "c\x01\x7f"
            "abcdefghijklmnopq": b"escape\n",  # becomes "../../../tmp/evil"
            "dXr/inner.txt": b"inner\n",       # a directory "d/r"
            "SHORTDOT.TXT": b"short dot\n",    # 8.3 name patched to ".."
            "Sub/ok.txt": b"ok\n",
            "Loop/z.txt": b"z\n",              # cluster patched to the root's
        })
        img = mkimage(src, self.path("h.img"), "--cluster-size", "4096")  # a root of one cluster
        region = dir_region(img)
        patch_long_names(img, {"aXb": "a/b", "xQy": "x\\y", "pQ": "..", "é": ".", "cTl": "c\x01\x7f",
                               "abcdefghijklmnopq": "../../../tmp/evil", "dXr": "d/r"}, region)
        patch_short_entry(img, b"SHORTDOTTXT", region, new_short=b"..         ")
        patch_short_entry(img, b"LOOP       ", region, cluster=2)
        return img

    def extract(self, img, *extra):
        work = self.path("work")
        os.makedirs(work + "/a/b/c", exist_ok=True)
        dest = work + "/a/b/c/dest" + str(len(os.listdir(work + "/a/b/c")))
        before = set(walk_host(self.tmp))
        r = run("get", *extra, img, "/", dest)
        after = set(walk_host(self.tmp)) - before
        for p in after:
            self.assertTrue(p.startswith("/work/a/b/c/dest"), p)
        self.assertFalse(os.path.exists("/tmp/evil") and
                         open("/tmp/evil", "rb").read() == b"escape\n")
        got = {os.path.relpath(p, dest): open(p, "rb").read() if os.path.isfile(p) else None
               for p in walk_host(dest).values()}
        return r, text(r.stderr), got

    def test_unsafe_names_are_saved_under_substitutes_inside_dest(self):
        r, err, got = self.extract(self.hostile_image())
        self.assertEqual(r.returncode, 1, err)  # the loop
        self.assertIn("directory loop", err)
        # shown on the volume, saved as, contents
        rows = [("/a/b", "a_b", b"slash\n"),
                ("/x\\\\y", "x_y~1", b"backslash\n"),
                ("/.", "_.", b"dot\n"),
                ("/c\\x01\\x7F", "c__", b"control\n"),
                ("/../../../tmp/evil", ".._.._.._tmp_evil", b"escape\n"),
                ("/d/r", "d_r", None)]
        for shown, saved, data in rows:
            self.assertIn("dorvex: warning: %s: saved as %s\n" % (shown, saved), err)
            self.assertEqual(got.pop(saved), data, saved)
        # Two entries named "..": the second one in the directory gets "~1".
        self.assertIn("dorvex: warning: /..: saved as _..\n", err)
        self.assertIn("dorvex: warning: /..: saved as _..~1\n", err)
        self.assertEqual({got.pop("_.."), got.pop("_..~1")}, {b"dotdot\n", b"short dot\n"})
        self.assertEqual(got, {"good.txt": b"good\n", "x_y": b"real x_y\n", "Sub": None,
                               "Sub/ok.txt": b"ok\n", "d_r/inner.txt": b"inner\n"})

    def test_strict_names_skip_unsafe_names(self):
        r, err, got = self.extract(self.hostile_image(), "--strict-names")
        self.assertEqual(r.returncode, 1, err)
        for shown in ("/a/b", "/x\\\\y", "/..", "/.", "/../../../tmp/evil", "/d/r"):
            self.assertIn("dorvex: warning: %s: " % shown, err)
        self.assertNotIn("saved as", err)
        self.assertEqual(sorted(got), ["Sub", "Sub/ok.txt", "c\x01\x7f", "good.txt", "x_y"])

    def test_listing_hostile_names_and_loops_terminates(self):
        img = self.hostile_image()
        for args in (["ls", "-R", img], ["tree", img], ["info", img], ["ls", "-R", "--json", img]):
            r = run(*args)
            self.assertEqual(r.returncode, 1, args)
            self.assertIn("directory loop", text(r.stderr))
        out = text(run("ls", img).stdout)
        self.assertIn("a/b", out)
        self.assertIn("x\\\\y", out)

    def test_unsafe_name_as_the_requested_path(self):
        img = self.hostile_image()
        # Reached through its 8.3 name, the entry gets a substitute, or with
        # --strict-names no host file.
        for extra, rc, msg, listed in (
                ([], 0, "/ABCDEF~1: saved as .._.._.._tmp_evil", [".._.._.._tmp_evil"]),
                (["--strict-names"], 1, "/ABCDEF~1: name holds a path separator, skipped", [])):
            dest = self.path("d%d" % rc)
            os.mkdir(dest)
            r = run("get", *extra, img, "/ABCDEF~1", dest)
            self.assertEqual(r.returncode, rc)
            self.assertIn(msg, text(r.stderr))
            self.assertEqual(os.listdir(dest), listed)

    def test_names_never_collide_within_a_run(self):
        src = self.path("src")
        write_tree(src, {"a/x.txt": b"a", "b/x.txt": b"b", "c/X.TXT": b"C", "aAa.txt": b"old",
                         "bbb.txt": b"new"})
        img = mkimage(src, self.path("n.img"))
        # A deleted "bbb.txt" beside the live one: aaa.txt renamed and deleted.
        region = dir_region(img)
        patch_long_names(img, {"aAa.txt": "bbb.txt"}, region)
        data = bytearray(open(img, "rb").read())
        at = data.index(b"AAA     TXT", region[0])
        data[at] = data[at - 32] = 0xE5
        open(img, "wb").write(data)
        out = self.path("out")
        os.makedirs(out + "4")
        open(out + "4/x.txt", "w").write("mine")
        # sources, extra options, DEST, files expected, warning expected
        rows = [(["/a/x.txt", "/b/x.txt"], [], out + "1", {"x.txt": b"a", "x~1.txt": b"b"},
                 "/b/x.txt: saved as x~1.txt"),
                (["/*/x.txt"], [], out + "2", {"x.txt": b"a", "x~1.txt": b"b", "X.TXT": b"C"},
                 "/b/x.txt: saved as x~1.txt"),
                (["/", "/bbb.txt"], ["-a"], out + "3",
                 {"a/x.txt": b"a", "b/x.txt": b"b", "c/X.TXT": b"C", "bbb.txt": b"new",
                  "bbb~1.txt": b"old", "bbb~2.txt": b"new"}, "/bbb.txt: saved as bbb~1.txt"),
                (["/a/x.txt", "/b/x.txt"], ["--force"], out + "4",
                 {"x.txt": b"a", "x~1.txt": b"b"}, "/b/x.txt: saved as x~1.txt")]
        for sources, extra, dest, files, warned in rows:
            r = run("get", *extra, img, *sources, dest)
            self.assertIn("dorvex: warning: " + warned + "\n", text(r.stderr), sources)
            got = {os.path.relpath(p, dest): open(p, "rb").read()
                   for p in walk_host(dest).values() if os.path.isfile(p)}
            self.assertEqual(got, files, sources)
        # Without --force a file from before the run stays.
        r = run("get", img, "/a/x.txt", out + "4")
        self.assertEqual(r.returncode, 1)
        self.assertIn("File exists", text(r.stderr))

    def test_no_overwrite_without_force(self):
        img = self.sample_image()
        dest = self.path("d")
        os.mkdir(dest)
        outside = self.path("outside.txt")
        open(outside, "w").write("outside")
        open(dest + "/README.txt", "w").write("mine")
        os.symlink(outside, dest + "/todo.txt")
        r = run("get", img, "/README.txt", dest)
        self.assertEqual(r.returncode, 1)
        self.assertIn("File exists", text(r.stderr))
        self.assertEqual(open(dest + "/README.txt").read(), "mine")
        r = run("get", img, "/Documents/todo.txt", dest)
        self.assertEqual(r.returncode, 1)
        r = run("get", "-f", img, "/Documents/todo.txt", dest)
        self.assertEqual(r.returncode, 1, text(r.stderr))
        self.assertEqual(open(outside).read(), "outside")  # the link is neither followed
        self.assertTrue(os.path.islink(dest + "/todo.txt"))  # nor replaced
        r = run("get", "--force", img, "/README.txt", dest)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(open(dest + "/README.txt").read().startswith("Welcome"))
        # A file DEST that does not exist yet names the output file.
        r = run("get", img, "/README.txt", self.path("copy.txt"))
        self.assertEqual(r.returncode, 0)
        self.assertTrue(open(self.path("copy.txt")).read().startswith("Welcome"))

    def test_directory_into_existing_dest_and_symlinked_subdir(self):
        img = self.sample_image()
        dest = self.path("d")
        os.mkdir(dest)
        outside = self.path("outside")
        os.mkdir(outside)
        os.symlink(outside, dest + "/Documents")
        r = run("get", img, "/documents", dest)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(os.listdir(outside), [])
        r = run("get", img, "/photos", dest)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertTrue(os.path.isfile(dest + "/Photos/README.md"))

    def test_force_replaces_only_regular_files(self):
        img = self.sample_image()
        dest = self.path("d")
        os.mkdir(dest)
        outside = self.path("outside.txt")
        open(outside, "w").write("outside")
        os.symlink(outside, dest + "/todo.txt")
        os.mkfifo(dest + "/README.txt")
        os.symlink(outside, self.path("link"))
        # What lies in the way, how get reaches it, the kind named.
        rows = [(["/Documents/todo.txt", dest], dest + "/todo.txt", "a symbolic link"),
                (["/README.txt", dest], dest + "/README.txt", "a FIFO"),
                (["/README.txt", self.path("link")], self.path("link"), "a symbolic link")]
        if os.geteuid() == 0:  # as `get -f IMG PATH /dev/null` would meet it
            os.mknod(dest + "/null", stat.S_IFCHR | 0o600, os.makedev(1, 3))
            rows.append((["/README.txt", dest + "/null"], dest + "/null", "a character device"))
        for args, path, kind in rows:
            before = os.lstat(path)
            for force in ([], ["-f"]):
                r = subprocess.run([TOOL, "get", *force, img, *args], capture_output=True,
                                   env=TOOL_ENV, timeout=20)
                self.assertEqual((r.returncode, text(r.stderr)),
                                 (1, "dorvex: %s: %s is in the way, left alone (get replaces "
                                     "only regular files)\n" % (path, kind)), (args, force))
                after = os.lstat(path)
                self.assertEqual((after.st_ino, after.st_mode, after.st_rdev),
                                 (before.st_ino, before.st_mode, before.st_rdev), path)
        self.assertEqual(open(outside).read(), "outside")

    def test_names_too_long_for_the_host_are_shortened(self):
        os.mkdir(self.path("empty"))
        img = mkimage(self.path("empty"), self.path("l.img"), "--fat", "12", "--size", "1M")
        hfile = self.path("h.txt")
        open(hfile, "w").write("long\n")
        # 255 CJK characters (765 bytes in UTF-8), 251 with an extension, and one that
        # shortens to the same name.
        names = ["漢" * 255, "漢" * 251 + ".txt", "漢" * 250 + "字.txt"]
        for n in names:
            r = run("put", img, hfile, "/" + n)
            self.assertEqual(r.returncode, 0, text(r.stderr))
        saved = ["漢" * 85, "漢" * 83 + ".txt", "漢" * 83 + "~1.txt"]
        out = self.path("out")
        r = run("get", img, *("/" + n for n in names), out)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        for n, s in zip(names, saved):
            self.assertIn("dorvex: warning: /%s: saved as %s\n" % (n, s), text(r.stderr))
            self.assertEqual(open(os.path.join(out, s)).read(), "long\n")
        self.assertEqual(sorted(os.listdir(out)), sorted(saved))
        os.mkdir(self.path("strict"))
        r = run("get", "--strict-names", img, "/" + names[0], self.path("strict"))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(text(r.stderr), "dorvex: warning: /%s: name longer than the host's 255 "
                                         "bytes in UTF-8, skipped\n" % names[0])

    def test_names_in_messages_are_escaped(self):
        src = self.path("src")
        write_tree(src, {"eXc/aXb": b"x\n"})
        img = mkimage(src, self.path("e.img"), "--label", "LABEL")
        start, _ = dir_region(img)
        sub = json.loads(run("stat", "--json", img, "/eXc").stdout)["cluster"]
        patch_long_names(img, {"aXb": "a/b"}, (start + (sub - 2) * 512, 512))
        patch_long_names(img, {"eXc": "e\x1b[2Jc"}, (start, 512))
        data = bytearray(open(img, "rb").read())
        at = data.index(b"LABEL      \x08")
        data[at:at + 11] = b"\x1b]0;pwn\x07\x1b[J"
        open(img, "wb").write(data)
        self.assertEqual(run("label", img).stdout, b"\\x1B]0;pwn\\x07\\x1B[J\n")
        r = run("get", img, "/", self.path("o1"))
        self.assertEqual(text(r.stderr), "dorvex: warning: /e\\x1B[2Jc: saved as e_[2Jc\n"
                                         "dorvex: warning: /e\\x1B[2Jc/a/b: saved as a_b\n")
        r = run("get", "--strict-names", img, "/", self.path("o2"))
        self.assertEqual(text(r.stderr), "dorvex: warning: /e\\x1B[2Jc/a/b: name holds a path "
                                         "separator, skipped\n")


# ---- get and cat: selecting, destinations, causes ----------------------------------------

class GetCat(Base):
    def sample(self, rel):
        return open(os.path.join(SOURCE, "examples", "sample", rel), "rb").read()

    def test_interrupted_get_leaves_no_partial_file(self):
        # The name of c.bin, patched to hold a control character, makes get warn that it
        # saves it as c_bin: that message blocks on the full pipe, the files before it done.
        # (cQbin: a name with a long-name entry to patch; c.bin would be 8.3 alone)
        files = {n: os.urandom(1 << 20) for n in ("a.bin", "b.bin", "cQbin", "d.bin", "e.bin")}
        write_tree(self.path("src"), files)
        img = mkimage(self.path("src"), self.path("big.img"))
        patch_long_names(img, {"cQbin": "c\x01bin"}, dir_region(img))
        order = text(run("ls", "-U", img).stdout).splitlines()  # as get walks it
        out = self.path("out")
        rc, err = interrupt_once(self, ["get", img, "/", out])
        self.assertEqual(rc, 130, err)
        self.assertIn("saved as c_bin", err)
        before = order[:order.index("c\\x01bin")]
        got = sorted(os.listdir(out))
        self.assertEqual([n for n in got if n != "c_bin"], sorted(before))
        for name in got:  # what is there is whole
            self.assertEqual(open(os.path.join(out, name), "rb").read(),
                             files["cQbin" if name == "c_bin" else name], name)

    def test_patterns_and_several_paths(self):
        img = self.sample_image()
        todo, yokoso = "Documents/todo.txt", "日本語/ようこそ.txt"
        # cat arguments, files written in order
        rows = [(["/*/*.txt"], [todo, yokoso]),
                (["/documents/reports ????/Q[0-9].TXT"], ["Documents/Reports 2024/q1.txt"]),
                (["/[!dp]*.txt"], ["README.txt", "Ünïcödé.txt"]),
                (["/*~1/TODO.*", "/README.txt"], [todo, "README.txt"]),  # 8.3 names match
                (["/Photos/*/*", "/[^a-z]*/*"], ["Photos/Été à Paris/notes — voyage.txt",
                                                  yokoso])]
        for args, files in rows:
            r = run("cat", img, *args)
            self.assertEqual((r.returncode, text(r.stderr)), (0, ""), args)
            self.assertEqual(r.stdout, b"".join(map(self.sample, files)), args)
        r = run("cat", img, "/nothing*", "/README.txt", "/Photos/*")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(text(r.stderr), "dorvex: /nothing*: no match\n"
                         "dorvex: /Photos/Été à Paris: Is a directory\n")
        self.assertEqual(r.stdout, self.sample("README.txt") + self.sample("Photos/README.md"))
        out = self.path("out")
        r = run("get", img, "/*/*.txt", "/none*", "/photos/*/", "/README.txt", out)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(text(r.stderr), "dorvex: /none*: no match\n")
        got = sorted(walk_host(out))
        self.assertEqual(got, ["/README.txt", "/todo.txt", "/Été à Paris",
                               "/Été à Paris/notes — voyage.txt", "/ようこそ.txt"])

    def test_trailing_separator_names_a_directory(self):
        img = self.sample_image()
        for cmd in (["ls"], ["stat"], ["cat"], ["get"]):
            for path in ("/README.txt/", "/readme.txt\\", "/README.txt/."):
                r = run(*cmd, img, path, *([self.path("o")] if cmd == ["get"] else []))
                self.assertEqual(r.returncode, 1, (cmd, path))
                self.assertIn(": Not a directory\n", text(r.stderr), (cmd, path))
        self.assertEqual(run("ls", img, "/Documents/").returncode, 0)

    def test_dest_messages_name_the_real_problem(self):
        img = self.sample_image()
        os.chdir(self.tmp)
        open("afile", "w").close()
        # source, DEST, message
        rows = [("/README.txt", "nodir/", "nodir/: No such directory"),
                ("/README.txt", "afile/", "afile/: Not a directory"),
                ("/README.txt", "nop/x", "nop/x: cannot be created: nop: No such file or directory"),
                ("/Documents", "afile/x", "afile/x: cannot be created: afile: Not a directory"),
                ("/Documents", "afile", "afile: Not a directory")]
        for src, dest, msg in rows:
            r = run("get", img, src, dest)
            self.assertEqual((r.returncode, text(r.stderr)), (1, "dorvex: %s\n" % msg))
        r = run("get", img, "/README.txt", "/Photos", "afile")
        self.assertEqual((r.returncode, text(r.stderr)), (1, "dorvex: afile: Not a directory\n"))
        self.assertEqual(run("get", img, "/README.txt", "/Photos", "new").returncode, 0)
        self.assertEqual(sorted(os.listdir("new")), ["Photos", "README.txt"])

    def test_truncated_image_names_the_cause_and_leaves_no_part(self):
        src = self.path("src")
        big = os.urandom(600_000)
        write_tree(src, {"BIG.BIN": big})
        img = mkimage(src, self.path("t.img"))
        v = info_json(img)["volume"]
        with open(img, "r+b") as f:
            f.truncate((v["data_start"] + 400) * 512)
        end, claims = v["data_start"] + 400, v["sectors"]
        # The warning on opening comes first, then the file's own error.
        cause = ("dorvex: warning: %s: image ends at sector %d, the volume claims %d: truncated?\n"
                 "dorvex: /BIG.BIN: the image ends at sector %d, before this file's data "
                 "(truncated image?)" % (img, end, claims, end))
        part = big[:399 * 512]  # from cluster 3 (sector data_start + 1) on
        out = self.path("o")
        os.mkdir(out)
        with open(self.path("appended"), "ab") as f:  # O_APPEND: read through the library
            for stdout in (subprocess.PIPE, f):
                r = subprocess.run([TOOL, "cat", img, "/BIG.BIN"], stdout=stdout,
                                   stderr=subprocess.PIPE, env=TOOL_ENV, timeout=120)
                self.assertEqual((r.returncode, text(r.stderr)), (1, cause + "\n"))
                self.assertEqual(r.stdout or open(self.path("appended"), "rb").read(), part)
        r = run("get", img, "/", out)
        self.assertEqual((r.returncode, text(r.stderr)), (1, cause + "\n"))
        self.assertEqual(os.listdir(out), [])
        r = run("get", "--keep-partial", img, "/BIG.BIN", out)
        self.assertEqual(text(r.stderr), cause + "; the part read is kept as BIG.BIN.partial\n")
        self.assertEqual(open(out + "/BIG.BIN.partial", "rb").read(), part)
        self.assertNotEqual(os.stat(out + "/BIG.BIN.partial").st_mtime, T0)

    def test_local_times_in_the_hours_the_clocks_change(self):
        # Europe/Berlin: 02:30 comes twice on 2024-10-27, never on 2024-03-31. get takes
        # the later of the two (fold=1, as mtools does) and the skipped one in winter time.
        zone = "Europe/Berlin"
        tool = dict(TOOL_ENV, TZ=zone)
        walls = {"repeated.txt": datetime(2024, 10, 27, 2, 30, fold=1),
                 "skipped.txt": datetime(2024, 3, 31, 2, 30)}
        # put and mkimage: each instant has one wall clock, on both sides of each change.
        instants = {"a": "2024-10-27T00:30", "b": "2024-10-27T01:30", "c": "2024-10-27T00:59:58",
                    "d": "2024-10-27T01:00", "e": "2024-03-31T00:59:58", "f": "2024-03-31T01:00"}
        src, local = self.path("src"), self.path("local")
        write_tree(src, {n: b"x" for n in walls})
        write_tree(local, {n: b"x" for n in instants})
        for folder, times in ((src, walls), (local, instants)):
            for n, t in times.items():
                t = datetime.fromisoformat(str(t)).replace(tzinfo=timezone.utc).timestamp()
                os.utime(os.path.join(folder, n), (t, t))
        img = mkimage(src, self.path("dst.img"), "--utc")  # FAT times are the walls above
        out = self.path("out")
        self.assertEqual(run("get", img, "/", out, env=tool).returncode, 0)
        for n, w in walls.items():
            want = w.replace(tzinfo=ZoneInfo(zone)).timestamp()
            self.assertEqual(os.stat(os.path.join(out, n)).st_mtime, want, n)
        if need_tools(self, "mcopy", skip=False):
            subprocess.run([which("mcopy"), "-m", "-i", img, "::/repeated.txt", self.path("m")],
                           env=dict(MTOOLS_ENV, TZ=zone), check=True)
            self.assertEqual(os.stat(self.path("m")).st_mtime,
                             os.stat(out + "/repeated.txt").st_mtime)
        built = mkimage(local, self.path("local.img"), env=tool)
        self.assertEqual(run("put", img, *[os.path.join(local, n) for n in instants], "/",
                             env=tool).returncode, 0)
        for image in (built, img):
            lines = text(run("ls", "-l", image).stdout).splitlines()
            listed = {l.split()[-1]: l.split()[2] for l in lines}
            for n, t in instants.items():
                self.assertEqual(listed[n], wall(os.stat(os.path.join(local, n)).st_mtime, zone), n)


class Patterns(Base):
    def test_a_name_is_that_entry_before_it_is_a_pattern(self):
        src = self.path("src")
        write_tree(src, {"Photo [1].txt": b"bracket\n", "Photo 1.txt": b"plain\n",
                         "Star X.txt": b"star\n", "Ask X.txt": b"ask\n"})
        img = mkimage(src, self.path("p.img"))
        # FAT writers refuse '*' and '?' in names; a hostile image has them.
        patch_long_names(img, {"Star X.txt": "Star *.txt", "Ask X.txt": "Ask ?.txt"},
                         dir_region(img))
        for path, data in (("/Photo [1].txt", b"bracket\n"), ("/photo [1].TXT", b"bracket\n"),
                           ("/Photo [[]1].txt", b"bracket\n"), ("/Photo [[]1[]].*", b"bracket\n"),
                           ("/Photo [1]*", b"plain\n"), ("/Star [*].txt", b"star\n"),
                           ("/Ask [?].txt", b"ask\n"), ("\\Ask [?].txt", b"ask\n")):
            r = run("cat", img, path)
            self.assertEqual((r.returncode, text(r.stderr), r.stdout), (0, "", data), path)
        # get: the exact name is one path, DEST the file; a pattern makes DEST a directory.
        for path, dest, got in (("/Photo [1].txt", "one", "one"),
                                ("/Photo [[]1].txt", "dir", "dir/Photo [1].txt")):
            self.assertEqual(run("get", img, path, self.path(dest)).returncode, 0)
            self.assertEqual(open(self.path(got), "rb").read(), b"bracket\n", path)
        # Commands without patterns take it as a name too.
        self.assertEqual(run("ls", img, "/Photo [1].txt").stdout, b"Photo [1].txt\n")
        self.assertEqual(run("stat", img, "/Photo [1].txt").returncode, 0)
        self.assertEqual(run("rm", img, "/Photo [1].txt").returncode, 0)
        # With no such name left, the same path is a pattern and matches Photo 1.txt.
        self.assertEqual(run("cat", img, "/Photo [1].txt").stdout, b"plain\n")

    def test_patterns_fold_case_as_lookups_do(self):
        # Simple case folding, not towupper: capital sharp s, the Kelvin and Ohm signs and
        # final sigma each match what a plain path finds.
        src = self.path("src")
        write_tree(src, {"\u00df.txt": b"sharp\n", "kilo.txt": b"kilo\n", "\u03c9mega.txt": b"omega\n",
                         "\u03bf\u03b4\u03bf\u03c2.txt": b"road\n"})
        img = mkimage(src, self.path("f.img"))
        for path, data in (("/\u1e9e.txt", b"sharp\n"), ("/\u1e9e*.txt", b"sharp\n"),
                           ("/\u212a*", b"kilo\n"), ("/\u2126MEGA.*", b"omega\n"),
                           ("/\u039f\u0394\u039f\u03a3*", b"road\n"), ("/?\u03b4\u03bf\u03c3.txt", b"road\n")):
            r = run("cat", img, path)
            self.assertEqual((r.returncode, text(r.stderr), r.stdout), (0, "", data), path)
        self.assertEqual(run("get", img, "/\u212a*", self.path("out")).returncode, 0)
        self.assertEqual(os.listdir(self.path("out")), ["kilo.txt"])
        # Commands without patterns find the same names.
        self.assertEqual(run("ls", img, "/\u212aILO.TXT").stdout, b"kilo.txt\n")
        self.assertEqual(run("ls", img, "/\u1e9e.TXT").stdout, "\u00df.txt\n".encode())
        for path in ("/\u1e9e.txt", "/\u2126MEGA.txt"):
            r = run("rm", img, path)
            self.assertEqual((r.returncode, text(r.stderr)), (0, ""), path)
        self.assertEqual(sorted(walk_json(ls_json(img)["entries"])),
                         ["/kilo.txt", "/\u03bf\u03b4\u03bf\u03c2.txt"])


# ---- iconv -----------------------------------------------------------------------------

class Iconv(Base):
    def conv(self, data, frm, to, *extra):
        return run("iconv", "-f", frm, "-t", to, *extra, stdin=data)

    def test_matches_python_codecs(self):
        sample = "Grüße, Ελληνικά, Русский, café — 10 €"
        # Python's utf-16 and utf-32 write a byte-order mark in the machine's order, as iconv(1).
        for ours, py in (("utf8", "utf-8"), ("UTF-16LE", "utf-16-le"), ("utf16", "utf-16"),
                         ("utf16be", "utf-16-be"), ("utf32le", "utf-32-le"), ("UTF-32", "utf-32"),
                         ("ucs4", "utf-32-be")):
            r = self.conv(sample.encode("utf-8"), "utf-8", ours)
            self.assertEqual((r.returncode, r.stdout), (0, sample.encode(py)), ours)
            r = self.conv(sample.encode(py), ours, "utf-8")
            self.assertEqual(r.stdout, sample.encode("utf-8"), ours)
        for ours, py in (("cp1252", "cp1252"), ("latin1", "latin-1"), ("koi8-r", "koi8_r"),
                         ("cp437", "cp437"), ("ISO-8859-15", "iso8859_15")):
            raw = bytearray(range(0x20, 0x7F))
            for b in range(0x80, 0x100):
                try:
                    bytes([b]).decode(py)
                    raw.append(b)
                except UnicodeDecodeError:
                    pass
            r = self.conv(bytes(raw), ours, "utf8")
            self.assertEqual((r.returncode, r.stdout), (0, bytes(raw).decode(py).encode()), ours)

    def test_byte_order_marks(self):
        le, be = "\ufeffa".encode("utf-16-le"), "\ufeffa".encode("utf-16-be")
        le32, be32 = "\ufeffa".encode("utf-32-le"), "\ufeffa".encode("utf-32-be")
        host16, host32 = (le, le32) if sys.byteorder == "little" else (be, be32)
        cases = [  # input, from, output as UTF-8
            (be, "utf-16", "a"), (le, "UTF_16", "a"), (host16[2:], "utf16", "a"),
            (le + le[:2], "utf16", "a\ufeff"),  # only a leading mark is one
            (be32, "utf-32", "a"), (le32, "utf32", "a"), (host32[4:], "utf32", "a"),
            (le, "utf-16le", "\ufeffa"), (be, "utf-16be", "\ufeffa"), (be32, "ucs4", "\ufeffa"),
            (le[:2], "utf16", ""), (b"", "utf32", ""),
        ]
        for data, frm, want in cases:
            r = self.conv(data, frm, "utf8")
            self.assertEqual((r.returncode, text(r.stdout)), (0, want), (data, frm))
        r = self.conv(le[:2] + b"a", "utf16", "utf8")
        self.assertIn("incomplete character at end of input (byte offset 2)", text(r.stderr))
        for to, want in (("utf-16", host16), ("UTF32", host32), ("utf16le", le[2:])):
            self.assertEqual(self.conv(b"a", "utf8", to).stdout, want, to)
        # No mark before output that never comes.
        self.assertEqual(self.conv(b"\xff", "utf8", "utf16").stdout, b"")

    def test_large_input_cut_inside_characters(self):
        text_in = ("é€😀a" * 60000)
        r = self.conv(text_in.encode(), "utf8", "utf16le")
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertEqual(r.stdout, text_in.encode("utf-16-le"))
        f = self.path("in.txt")
        open(f, "wb").write(text_in.encode("utf-16-le"))
        r = run("iconv", "--from-code=utf16le", "--to-code", "utf8", f)
        self.assertEqual(r.stdout, text_in.encode())

    def test_error_messages(self):
        r = self.conv(b"abc\xffdef", "utf8", "utf16le")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "abc".encode("utf-16-le"))
        self.assertEqual(text(r.stderr), "dorvex: iconv: standard input: cannot convert: "
                                         "invalid input sequence at byte offset 3\n")
        big = b"x" * 100000 + b"\xc3\x28"
        r = self.conv(big, "utf8", "latin1")
        self.assertIn("byte offset 100000\n", text(r.stderr))
        r = self.conv(b"ab\xe2\x82", "utf8", "utf16")
        self.assertEqual(text(r.stderr), "dorvex: iconv: standard input: incomplete character "
                                         "at end of input (byte offset 2)\n")
        self.assertEqual(r.stdout, "ab".encode("utf-16"))
        for args, bad in ((["-f", "klingon", "-t", "utf8"], "klingon"),
                          (["-f", "utf8", "-t", "utf-8-"], "utf-8-")):
            r = run("iconv", *args, stdin=b"x")
            self.assertEqual(r.returncode, 1)
            self.assertIn("unknown charset '%s'" % bad, text(r.stderr))
        r = run("iconv", "-f", "latin1", self.path("missing.txt"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("No such file or directory", text(r.stderr))

    def test_unrepresentable_characters_and_list(self):
        r = self.conv("a€b😀".encode(), "utf8", "ascii")
        self.assertEqual((r.returncode, r.stdout), (0, b"a*b*"))
        self.assertIn("2 characters not representable", text(r.stderr))
        r = run("iconv", "-l")
        self.assertEqual(r.returncode, 0)
        for name in ("utf8", "utf16le", "koi8r", "cp437", "latin9", "tis620", "windows1258"):
            self.assertIn(name, text(r.stdout))
        self.assertIn("wchart: the library's wide characters, 16-bit units", text(r.stdout))
        r = self.conv(b"", "utf8", "utf16")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))

    def test_list_names_are_the_converters(self):
        r = run("iconv", "-l")
        self.assertEqual(r.returncode, 0)
        lines = text(r.stdout).splitlines()
        self.assertTrue(lines[0].startswith("Charsets ("), lines[0])
        listed = [n for line in lines[1:lines.index("")] for n in line.strip().split(", ")]
        self.assertEqual(len(listed), len(set(listed)))
        # Every charset the converter documents is listed ...
        documented = (["utf8", "wchart", "ucs2", "ucs2le", "utf16", "utf16le", "utf32",
                       "utf32le", "ascii", "koi8r", "koi8u", "cp437", "cp850"]
                      + ["iso8859%d" % n for n in range(1, 17) if n != 12]
                      + ["cp%d" % n for n in range(1250, 1259)])
        for name in documented:
            self.assertIn(name, listed)
        # ... and every listed name opens a converter.
        for name in listed:
            r = self.conv(b"", name, name)
            self.assertEqual((r.returncode, r.stderr), (0, b""), name)


# ---- Progress bar ------------------------------------------------------------------------

class Progress(Base):
    def run_on_pty(self, *args, columns=0, env_columns=None):
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        env = {k: v for k, v in TOOL_ENV.items() if k != "COLUMNS"}
        if env_columns:
            env["COLUMNS"] = str(env_columns)
        p = subprocess.Popen([TOOL, *args], stdout=subprocess.PIPE, stderr=slave, env=env)
        os.close(slave)
        chunks = []
        while True:
            try:
                b = os.read(master, 4096)
            except OSError:
                break
            if not b:
                break
            chunks.append(b)
        p.wait(timeout=120)
        os.close(master)
        return p.returncode, text(b"".join(chunks))

    def test_progress_only_on_a_terminal(self):
        img = self.sample_image()
        rc, err = self.run_on_pty("get", img, "/", self.path("o1"))
        self.assertEqual(rc, 0)
        self.assertIn("100%", err)
        self.assertIn("8/8 files", err)
        rc, err = self.run_on_pty("get", "--quiet", img, "/", self.path("o2"))
        self.assertEqual((rc, err), (0, ""))
        r = run("get", img, "/", self.path("o3"))
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        # put draws the same line over the host files it copies.
        rc, err = self.run_on_pty("put", img, os.path.join(SOURCE, "examples", "sample"), "/in")
        self.assertEqual(rc, 0)
        self.assertIn("100%", err)
        self.assertIn("8/8 files", err)
        rc, err = self.run_on_pty("put", "-q", img, os.path.join(SOURCE, "examples", "sample"),
                                  "/in2")
        self.assertEqual((rc, err), (0, ""))

    def test_bar_fits_the_terminal_and_redraws_in_place(self):
        img = self.sample_image()
        # window columns, $COLUMNS, width, text shown
        rows = [(80, None, 80, "8/8 files"), (40, None, 40, "%"), (0, None, 80, "8/8 files"),
                (0, 30, 30, "%"), (100, 30, 100, "8/8 files")]
        for k, (columns, env_columns, width, shows) in enumerate(rows):
            rc, err = self.run_on_pty("get", img, "/", self.path("o%d" % k), columns=columns,
                                      env_columns=env_columns)
            self.assertEqual(rc, 0)
            self.assertIn(shows, err)
            self.assertTrue(err.endswith("\n") and err.count("\n") == 1, err)
            lines = err.replace("\x1b[K", "").strip().split("\r")
            for line in lines:
                self.assertLess(len(line), width, line)
            self.assertGreater(len(lines[-1]), width - 10, lines[-1])


# ---- Changing images: put, mkdir, rm, mv, label ----------------------------------

FAT_KINDS = [("fat12", ["-F", "12"], 1440), ("fat16", ["-F", "16", "-s", "1"], 8192),
             ("fat32", ["-F", "32", "-s", "1"], 34816)]


class Fat16Layout:
    """Lays directories straight into a fresh FAT16 image from mkfs.fat (one-sector
    clusters): thousands of entries in a fraction of a second."""

    def __init__(self, img):
        self.img = img
        self.d = bytearray(open(img, "rb").read())
        reserved, fats = struct.unpack_from("<H", self.d, 14)[0], self.d[16]
        root_entries, fat_sectors = (struct.unpack_from("<H", self.d, o)[0] for o in (17, 22))
        self.fats = [(reserved + k * fat_sectors) * 512 for k in range(fats)]
        self.root = (reserved + fats * fat_sectors) * 512
        self.data = self.root + root_entries * 32
        self.next = 2
        self.root_used = 0

    @staticmethod
    def entry(short11, attr, cluster=0, size=0):
        return short11 + bytes([attr]) + bytes(14) + struct.pack("<HI", cluster, size)

    def chain(self, n):
        first = self.next
        for c in range(first, first + n):
            for fat in self.fats:
                struct.pack_into("<H", self.d, fat + 2 * c, c + 1 if c + 1 < first + n else 0xFFFF)
        self.next += n
        return first

    def put(self, first, raw):
        at = self.data + (first - 2) * 512
        self.d[at:at + len(raw)] = raw

    def mkdir(self, parent, entries, first=None):
        """A directory below `parent` (0: the root) holding `entries`; its first cluster."""
        n = (len(entries) + 2 + 15) // 16
        first = first or self.chain(n)
        dots = self.entry(b".          ", 0x10, first) + self.entry(b"..         ", 0x10, parent)
        self.put(first, dots + b"".join(entries))
        return first

    def add_root(self, e):
        self.d[self.root + 32 * self.root_used:self.root + 32 * (self.root_used + 1)] = e
        self.root_used += 1

    def save(self):
        open(self.img, "wb").write(self.d)


class Remove(Base):
    def damaged(self, point_at):
        """A mkimage image whose /target/evil points at the cluster point_at() gives."""
        src = self.path("src")
        write_tree(src, {"victim.txt": b"victim\n", "keep/k.txt": b"kept\n" * 300,
                         "target/t.txt": b"t\n", "target/sub/s.txt": b"s\n"}, dirs=["target/evil"])
        img = mkimage(src, self.path("damaged.img"), "--cluster-size", "512")
        v = info_json(img)["volume"]
        target = json.loads(run("stat", "--json", img, "/target").stdout)["cluster"]
        region = ((v["start_sector"] + v["data_start"]) * 512 + (target - 2) * 512, 512)
        patch_short_entry(img, b"EVIL       ", region, cluster=point_at(v, target))
        return img

    @need_dosfstools
    def test_a_directory_entry_pointing_at_the_root_or_an_ancestor_is_not_followed(self):
        for what, point_at in [("the root as 0", lambda v, t: 0),
                               ("the root's cluster", lambda v, t: v["root_cluster"]),
                               ("the target", lambda v, t: t)]:
            with self.subTest(what):
                img = self.damaged(point_at)
                r = run("rm", "-r", img, "/target")
                self.assertEqual(r.returncode, 0, text(r.stderr))
                self.assertEqual(text(r.stderr).splitlines(), [
                    "dorvex: warning: /target/evil: directory loop or cross-link: entry "
                    "removed, its clusters left alone"])
                self.assertEqual(sorted(walk_json(ls_json(img)["entries"])),
                                 ["/keep", "/keep/k.txt", "/victim.txt"])
                self.assertEqual(run("cat", img, "/keep/k.txt").stdout, b"kept\n" * 300)
                self.assertEqual(run("cat", img, "/victim.txt").stdout, b"victim\n")
                # Only evil's own cluster, cut off by the damage, is lost.
                r = subprocess.run([which("fsck.fat"), "-n", img], capture_output=True)
                said = [l.strip() for l in text(r.stdout).splitlines()[1:-1] if l.strip()]
                self.assertEqual(said[0], "Reclaimed 1 unused cluster (512 bytes).", said)
                self.assertTrue(all(l.startswith(("Free cluster summary", "Auto-correcting",
                                                  "Leaving")) for l in said[1:]), said)

    @need_dosfstools
    def test_a_large_directory_and_a_deep_tree_go_whole(self):
        img = self.path("f16.img")
        subprocess.run([which("mkfs.fat"), "-F", "16", "-s", "1", "-C", img, "16384"],
                       check=True, stdout=subprocess.DEVNULL)
        fat = Fat16Layout(img)
        # /BIG: 20,000 files, every tenth with a cluster of data.
        files = []
        for i in range(20000):
            data = fat.chain(1) if i % 10 == 0 else 0
            files.append(fat.entry(b"F%07dTXT" % i, 0x20, data, 512 if data else 0))
        fat.add_root(fat.entry(b"BIG        ", 0x10, fat.mkdir(0, files)))
        # /DEEP/D/D/...: 10,000 levels, each with a file beside its subdirectory.
        firsts = [fat.chain(1) for _ in range(10000)]
        for k, c in enumerate(firsts):
            below = [fat.entry(b"D          ", 0x10, firsts[k + 1])] if k + 1 < len(firsts) else []
            fat.mkdir(firsts[k - 1] if k else 0, below + [fat.entry(b"F       TXT", 0x20)], c)
        fat.add_root(fat.entry(b"DEEP       ", 0x10, firsts[0]))
        fat.add_root(fat.entry(b"KEEP    TXT", 0x20, fat.chain(1), 5))
        fat.put(fat.next - 1, b"kept\n")
        fat.save()
        for path in ("/BIG", "/DEEP"):
            r = run("rm", "-r", img, path)
            self.assertEqual((r.returncode, text(r.stderr)), (0, ""), path)
        self.assertEqual(self.listing(img), ["KEEP.TXT"])
        self.assertEqual(run("cat", img, "/KEEP.TXT").stdout, b"kept\n")
        fsck_clean(self, img)

    def listing(self, img):
        return [e["name"] for e in ls_json(img)["entries"]]


class Write(Base):
    def mkfs(self, name, args, kib):
        img = self.path(name + ".img")
        subprocess.run([which("mkfs.fat"), *args, "-C", img, str(kib)], check=True,
                       stdout=subprocess.DEVNULL)
        return img

    def mcopy_out(self, img, out):
        subprocess.run([which("mcopy"), "-s", "-n", "-m", "-i", img, "::*", out + "/"],
                       check=True, env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1"),
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def ok(self, *args):
        r = run(*args)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        return text(r.stdout)

    @need_dosfstools
    def test_dot_components_name_the_same_entries_for_every_command(self):
        img = self.mkfs("dots", ["-F", "16", "-s", "1"], 4096)
        host = self.path("x.txt")
        with open(host, "wb") as f:
            f.write(b"x\n")
        self.ok("mkdir", img, "/./sub")
        self.ok("mkdir", img, "/sub/../sub/inner")
        self.ok("put", img, host, "/sub/../sub/inner/./")
        self.ok("put", img, host, "/./top.txt")
        for path in ("/sub/inner/x.txt", "/sub/../sub/inner/x.txt", "/./sub/./inner/../inner/x.txt"):
            self.assertEqual(run("cat", img, path).stdout, b"x\n", path)
        self.assertEqual(self.ok("ls", img, "/sub/inner/.."), "inner\n")
        self.ok("mv", img, "/sub/../top.txt", "/sub/inner/..")
        self.assertEqual(self.ok("ls", img, "/./sub/"), "inner\ntop.txt\n")
        self.ok("rm", img, "/sub/../sub/top.txt")
        self.ok("rm", img, "/sub/inner/../inner/./x.txt")
        for path in ("/sub/..", "/sub/inner/."):
            r = run("rm", "-r", img, path)
            self.assertNotEqual(r.returncode, 0, path)
        self.ok("rm", "-r", img, "/./sub/inner/../../sub")
        self.assertEqual(self.ok("ls", img, "/"), "")
        fsck_clean(self, img)

    @need_dosfstools
    @need_mtools
    def test_put_tree_reads_back_with_mtools_keeping_times(self):
        src = self.path("src")
        files = rich_tree(src, beyond_bmp=False)
        # Grouped by default; --sync publishes file by file. A second put -f replaces every
        # file and merges into the directories the first one made.
        for name, args, kib, opts in [(*k, []) for k in FAT_KINDS] + [
                ("fat16-sync", ["-F", "16", "-s", "1"], 8192, ["--sync"])]:
            with self.subTest(name):
                img = self.mkfs(name, args, kib)
                self.ok("put", *opts, img, src, "/")
                self.ok("put", "-f", *opts, img, src, "/")
                fsck_clean(self, img)
                out = self.path("out-" + name)
                os.makedirs(out)
                self.mcopy_out(img, out)
                diff_r(self, src, os.path.join(out, "src"))
                for rel in files:
                    self.assertEqual(os.stat(os.path.join(src, rel)).st_mtime,
                                     os.stat(os.path.join(out, "src", rel)).st_mtime, rel)

    @need_dosfstools
    def test_put_interrupted_keeps_what_it_copied_and_closes_cleanly(self):
        img = self.mkfs("f16i", ["-F", "16", "-s", "1"], 8192)
        src = self.path("src")
        write_tree(src, {"a.txt": b"first\n"})
        fifo = self.path("b.fifo")  # named as a source, a FIFO is read (in a tree, skipped)
        os.mkfifo(fifo)
        p = subprocess.Popen([TOOL, "put", img, src, fifo, "/"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=TOOL_ENV)
        for _ in range(3000):  # the FIFO opens for writing once put has it open
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:
                time.sleep(0.01)
        else:
            p.kill()
            self.fail("put never reached the FIFO")
        os.write(fd, b"partial")
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=60)
        os.close(fd)
        self.assertEqual(p.returncode, 130, text(err))
        self.assertIn("interrupted", text(err))
        fsck_clean(self, img)  # published and marked clean, nothing lost
        self.assertEqual(run("cat", img, "/src/a.txt").stdout, b"first\n")
        self.assertEqual(run("stat", img, "/b.fifo").returncode, 1)

    @need_dosfstools
    def test_put_refuses_to_overwrite_unless_forced(self):
        img = self.mkfs("f16", ["-F", "16", "-s", "1"], 8192)
        write_tree(self.path("a"), {"notes.txt": b"first\n"})
        write_tree(self.path("b"), {"notes.txt": b"second, longer\n"})
        self.ok("put", img, self.path("a", "notes.txt"), "/")
        r = run("put", img, self.path("b", "notes.txt"), "/NOTES.TXT")
        self.assertEqual(r.returncode, 1)
        self.assertIn("dorvex: /NOTES.TXT: File exists", text(r.stderr))
        self.assertEqual(run("cat", img, "/notes.txt").stdout, b"first\n")
        self.ok("put", "-f", img, self.path("b", "notes.txt"), "/notes.txt")
        self.assertEqual(run("cat", img, "/notes.txt").stdout, b"second, longer\n")
        fsck_clean(self, img)

    @need_dosfstools
    @need_mtools
    def test_mkdir_mv_rm_and_label(self):
        img = self.mkfs("f12", ["-F", "12"], 1440)
        write_tree(self.path("t"), {"x.txt": b"x\n", "sub/y.txt": b"y\n"})
        self.ok("mkdir", "-p", img, "/a/b/c", "/a/b")
        self.ok("mkdir", img, "/Second Dir")
        self.ok("put", img, self.path("t"), "/a")
        self.ok("mv", img, "/a/t/x.txt", "/Second Dir")
        self.ok("mv", img, "/a/t/sub", "/renamed sub")
        self.assertEqual(run("cat", img, "/Second Dir/x.txt").stdout, b"x\n")
        self.assertEqual(run("cat", img, "/renamed sub/y.txt").stdout, b"y\n")
        r = run("rm", img, "/a")
        self.assertEqual(r.returncode, 1)
        self.assertIn("directory not empty", text(r.stderr))
        self.ok("rm", "-r", img, "/a")
        self.ok("rm", img, "/Second Dir/x.txt", "/Second Dir")
        self.ok("label", img, "Photos 24")
        self.assertEqual(self.ok("label", img), "PHOTOS 24\n")
        fsck_clean(self, img)
        listing = subprocess.run([which("mdir"), "-i", img, "::"], stdout=subprocess.PIPE,
                                 env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1")).stdout
        self.assertIn(b"Volume in drive : is PHOTOS 24", listing)
        self.assertIn(b"renamed sub", listing)
        self.assertNotIn(b"Second", listing)
        self.ok("label", "--clear", img)
        self.assertEqual(self.ok("label", img), "\n")
        fsck_clean(self, img)

    @need_dosfstools
    def test_failures_are_reported_and_leave_the_image_clean(self):
        img = self.mkfs("f16", ["-F", "16", "-s", "1"], 8192)
        cases = [
            (["rm", img, "/missing"], "dorvex: /missing: No such file or directory"),
            (["mkdir", img, "/no/such/parent"], "dorvex: /no/such/parent: No such file or directory"),
            (["mv", img, "/missing", "/x"], "No such file or directory"),
            (["mkdir", img, "/a?b"], "dorvex: /a?b: name holds '?', which FAT names cannot hold"),
            (["mkdir", "-p", img, "/ok/end."], "cannot end in a dot or a space"),
            (["mv", img, "/ok", "/x|y"], "name holds '|', which FAT names cannot hold"),
            # Names Windows opens as devices: the library refuses them.
            (["mkdir", img, "/CON"], "dorvex: /CON: Invalid argument"),
            (["mv", img, "/ok", "/nul.txt"], "dorvex: /ok -> /nul.txt: Invalid argument"),
            (["label", img, "bad*label"], "at most 11 ASCII characters"),
            (["put", img, self.path("nothing here"), "/"], "No such file or directory"),
        ]
        for args, msg in cases:
            r = run(*args)
            self.assertEqual(r.returncode, 1, args)
            self.assertIn(msg, text(r.stderr), args)
        fsck_clean(self, img)
        write_tree(self.path("t"), {"x.txt": b"x\n"})
        os.chmod(img, 0o444)
        if os.access(img, os.W_OK):
            self.skipTest("running as root: a read-only image stays writable")
        r = run("put", img, self.path("t", "x.txt"), "/")
        self.assertEqual(r.returncode, 1)
        self.assertIn("Permission denied", text(r.stderr))

    @need_dosfstools
    @need_mtools
    def test_put_at_an_offset_and_a_full_volume(self):
        vol = self.mkfs("f12", ["-F", "12"], 1440)
        disk = self.path("disk.img")
        with open(disk, "wb") as f, open(vol, "rb") as v:
            f.write(bytes(2048 * 512) + v.read())
        write_tree(self.path("t"), {"small.txt": b"small\n", "zhuge.bin": os.urandom(2_000_000)})
        r = run("put", "--offset", "2048", disk, self.path("t"), "/")
        self.assertEqual(r.returncode, 1)
        self.assertIn("dorvex: /t/zhuge.bin: No space left on device", text(r.stderr))
        self.assertEqual(run("cat", "--offset", "2048", disk, "/t/small.txt").stdout, b"small\n")
        with open(disk, "rb") as d, open(vol, "wb") as v:
            d.seek(2048 * 512)
            v.write(d.read())
        fsck_clean(self, vol)

    @need_dosfstools
    def test_put_stops_at_the_first_failed_write_of_the_medium(self):
        # The image may not grow past 2 MiB (RLIMIT_FSIZE): writes beyond fail with EFBIG.
        img = self.mkfs("f16l", ["-F", "16", "-s", "1"], 8192)
        files = {"f%02d.bin" % i: os.urandom(200000) for i in range(40)}
        write_tree(self.path("src"), files)

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (2 << 20, 2 << 20))

        for opts in ([], ["--sync"]):
            r = subprocess.run([TOOL, "put", *opts, img, self.path("src"), "/"],
                               capture_output=True, env=TOOL_ENV, preexec_fn=limit)
            err = text(r.stderr).splitlines()
            self.assertEqual(r.returncode, 1, err)
            self.assertEqual(len(err), 2, err)  # the file at hand, then the image: not 30 more
            self.assertTrue(err[0].endswith(": File too large"), err)
            self.assertTrue(err[1].startswith("dorvex: %s: File too large" % img), err)
            # What the image shows is whole; fsck finds at most lost clusters and the dirty flag.
            for path, e in walk_json(ls_json(img)["entries"]).items():
                if path.startswith("/src/"):
                    self.assertEqual(run("cat", img, path).stdout, files[e["name"]], path)

    @need_dosfstools
    def test_the_fatput_example(self):
        if not EXAMPLES:
            self.skipTest("the examples are not built")
        img = self.mkfs("f12e", ["-F", "12"], 1440)
        write_tree(self.path("h"), {"one.txt": b"one\n", "Two long name.txt": b"two\n"})
        self.ok("mkdir", img, "/docs")
        r = subprocess.run([os.path.join(EXAMPLES, "fatput"), img, "/docs",
                            self.path("h", "one.txt"), self.path("h", "Two long name.txt"),
                            self.path("h", "missing")], capture_output=True, env=TOOL_ENV)
        self.assertEqual(r.returncode, 1)
        self.assertIn("missing: No such file or directory", text(r.stderr))
        fsck_clean(self, img)
        self.assertEqual(run("cat", img, "/docs/one.txt").stdout, b"one\n")
        self.assertEqual(run("cat", img, "/docs/Two long name.txt").stdout, b"two\n")

    @need_dosfstools
    def test_the_logger_example(self):
        if not EXAMPLES:
            self.skipTest("the examples are not built")
        img = self.mkfs("f16l", ["-F", "16", "-s", "1"], 8192)
        r = subprocess.run([os.path.join(EXAMPLES, "logger"), "10", "3000", img],
                           capture_output=True, env=TOOL_ENV)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertIn("3000 lines in 302 flushes", text(r.stdout))
        fsck_clean(self, img)
        # Four readings a minute from 22:00: two hours on the first day, the rest on the next.
        first = run("cat", img, "/LOG/2026-12-10.CSV").stdout.splitlines()
        second = run("cat", img, "/LOG/2026-12-11.CSV").stdout.splitlines()
        self.assertEqual((len(first), len(second)), (480, 2520))
        self.assertEqual(first[0].split(b",")[:2], [b"2026-12-10T22:00:00Z", b"0"])
        self.assertEqual(second[-1].split(b",")[:2], [b"2026-12-11T10:29:00Z", b"3"])

    @need_dosfstools
    def test_put_skips_what_fat_or_put_cannot_take(self):
        img = self.mkfs("f12s", ["-F", "12"], 1440)
        src = self.path("src")
        write_tree(src, {"ok.txt": b"ok\n", "x\\y": b"backslash\n", "a*b.txt": b"star\n",
                         "trail.": b"dot\n", "sub/in.txt": b"in\n"})
        os.mkfifo(os.path.join(src, "sub", "fifo"))
        os.symlink("..", os.path.join(src, "sub", "up"))
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(os.path.join(src, "sock"))
        self.ok("mkdir", "-p", img, "/src/x")
        self.ok("put", img, os.path.join(src, "ok.txt"), "/src/x/y")
        r = subprocess.run([TOOL, "put", "-f", img, src, "/"], capture_output=True, env=TOOL_ENV,
                           timeout=20)
        sock.close()
        self.assertEqual(r.returncode, 1)
        self.assertEqual(text(r.stderr), "".join("dorvex: warning: %s/%s, skipped\n" % (src, w) for w in (
            "a*b.txt: name holds '*', which FAT names cannot hold",
            "sock: a socket, not a regular file or directory",
            "sub/fifo: a FIFO, not a regular file or directory",
            "sub/up: symbolic link, not followed",
            "trail.: a FAT name cannot end in a dot or a space",
            "x\\\\y: name holds '\\', which FAT names cannot hold")))
        self.assertEqual(sorted(walk_json(ls_json(img)["entries"])),
                         ["/src", "/src/ok.txt", "/src/sub", "/src/sub/in.txt", "/src/x",
                          "/src/x/y"])
        self.assertEqual(run("cat", img, "/src/x/y").stdout, b"ok\n")  # not replaced by x\y
        fsck_clean(self, img)
        # Named by the user: the name FAT cannot hold is skipped, the DEST it cannot hold named.
        r = run("put", img, os.path.join(src, "x\\y"), "/")
        self.assertEqual((r.returncode, text(r.stderr)),
                         (1, "dorvex: warning: %s/x\\\\y: name holds '\\', which FAT names "
                             "cannot hold, skipped\n" % src))
        for dest, msg in (("/q*q", "name holds '*', which FAT names cannot hold"),
                          ("/q.", "a FAT name cannot end in a dot or a space"),
                          ("/q\x01", "name holds a control character (\\x01), which FAT names "
                                     "cannot hold")):
            r = run("put", img, os.path.join(src, "ok.txt"), dest)
            self.assertEqual((r.returncode, text(r.stderr)),
                             (1, "dorvex: %s: %s\n" % (dest.replace("\x01", "\\x01"), msg)))

    @need_dosfstools
    def test_put_to_a_full_volume_stops_with_one_message(self):
        files = {"f%02d.bin" % i: os.urandom(100_000) for i in range(30)}
        files["sub/last.txt"] = b"last\n"
        write_tree(self.path("src"), files)
        for opts in ([], ["--sync"]):
            img = self.mkfs("full%d" % len(opts), ["-F", "12"], 1440)
            r = run("put", *opts, img, self.path("src"), "/")
            err = text(r.stderr).splitlines()
            self.assertEqual((r.returncode, len(err)), (1, 1), err)
            copied = {p[5:] for p, e in walk_json(ls_json(img)["entries"]).items()
                      if p.startswith("/src/") and e["type"] == "file"}
            left = sorted(set(files) - copied)
            mib = sum(len(files[n]) for n in left) / 1048576
            self.assertEqual(err[0], "dorvex: /src/%s: No space left on device: %d files (%.1f "
                                     "MiB) not copied, from this one on" % (left[0], len(left), mib))
            fsck_clean(self, img)
            for name in copied:
                self.assertEqual(run("cat", img, "/src/" + name).stdout, files[name], name)


    @need_dosfstools
    def test_put_skips_symbolic_links_or_follows_them_cutting_loops(self):
        src = self.path("src")
        write_tree(src, {"top.txt": b"top\n", "sub/a.txt": b"a\n"})
        os.symlink("..", os.path.join(src, "sub", "loop"))
        os.symlink("../top.txt", os.path.join(src, "sub", "top link"))
        for opts, warned, files in (
                ([], ["sub/loop: symbolic link, not followed",
                      "sub/top link: symbolic link, not followed"], ["/src/sub/a.txt", "/src/top.txt"]),
                (["--follow-symlinks"], ["sub/loop: loops back to " + src],
                 ["/src/sub/a.txt", "/src/sub/top link", "/src/top.txt"])):
            img = self.mkfs("l%d" % len(opts), ["-F", "12"], 1440)
            r = subprocess.run([TOOL, "put", *opts, img, src, "/"], capture_output=True,
                               env=TOOL_ENV, timeout=20)
            self.assertEqual((r.returncode, text(r.stderr)), (0, "".join(
                "dorvex: warning: %s/%s, skipped\n" % (src, w) for w in warned)))
            self.assertEqual(sorted(p for p, e in walk_json(ls_json(img)["entries"]).items()
                                    if e["type"] == "file"), files)
            fsck_clean(self, img)


    @need_dosfstools
    def test_an_image_inside_the_source_is_not_copied_into_itself(self):
        src = self.path("src")
        write_tree(src, {"a.txt": b"a\n"})
        img = self.mkfs("in", ["-F", "12"], 1440)
        os.rename(img, os.path.join(src, "in.img"))
        img = os.path.join(src, "in.img")
        for top, args in ((src + "/.", ["put", img, src + "/.", "/"]),
                          (src, ["mkimage", "--force", src, img])):
            r = run(*args)
            self.assertEqual((r.returncode, text(r.stderr)), (0, "dorvex: warning: %s/in.img: the "
                             "output image itself, skipped\n" % top), args)
            self.assertEqual(sorted(walk_json(ls_json(img)["entries"])), ["/a.txt"], args)
            fsck_clean(self, img)


    @need_dosfstools
    def test_put_and_mkimage_copy_a_tree_300_levels_deep(self):
        # The walk keeps only the deepest directories open (100 descriptors are plenty): on the
        # way up the others open again through a child's "..", here before each level's file
        # ("d" sorts before "f.txt"); above a followed link, whose ".." is elsewhere, down by
        # names instead.
        def few_descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (100, 100))

        src = self.path("src")
        p = src
        for k in range(300):
            write_tree(p, {"f.txt": b"%d\n" % k})
            p = os.path.join(p, "d")
        via = self.path("via")
        write_tree(via, {"sub/z.txt": b"z\n"})
        os.symlink(src, os.path.join(via, "sub", "link"))
        for name, args, top in (("put", ["put", "--follow-symlinks", None, src, via, "/"], None),
                                ("mkimage", ["mkimage", src, None], src)):
            with self.subTest(name):
                img = self.path(name + ".img")
                if name == "put":
                    img = self.mkfs(name, ["-F", "16", "-s", "1"], 4096)
                r = subprocess.run([TOOL, *[img if a is None else a for a in args]],
                                   capture_output=True, env=TOOL_ENV, timeout=60,
                                   preexec_fn=few_descriptors)
                self.assertEqual((r.returncode, text(r.stderr)), (0, ""))
                fsck_clean(self, img)
                out = self.path("out-" + name)
                self.ok("get", img, "/", out)
                if top:
                    diff_r(self, top, out)
                else:
                    diff_r(self, src, os.path.join(out, "src"))
                    diff_r(self, via, os.path.join(out, "via"))


    @need_dosfstools
    def test_put_copies_a_tree_whose_host_paths_pass_path_max(self):
        # 20 names of 250 bytes: past PATH_MAX (4096) from the 17th level on, where a walk by
        # host paths failed with "File name too long". Made by descriptors for the same reason.
        src = self.path("long")
        os.makedirs(src)
        fd, rel, want = os.open(src, os.O_RDONLY), "/long", {}
        try:
            for k in range(20):
                name = "%02d" % k + "x" * 248
                os.mkdir(name, dir_fd=fd)
                sub = os.open(name, os.O_RDONLY, dir_fd=fd)
                os.close(fd)
                fd, rel = sub, rel + "/" + name
                with open(os.open("f.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
                    f.write(b"%d\n" % k)
                want[rel + "/f.txt"] = b"%d\n" % k
        finally:
            os.close(fd)
        img = self.mkfs("long", ["-F", "16", "-s", "1"], 4096)
        r = run("put", img, src, "/")
        self.assertEqual((r.returncode, text(r.stderr)), (0, ""))
        self.assertEqual(sorted(p for p, e in walk_json(ls_json(img)["entries"]).items()
                                if e["type"] == "file"), sorted(want))
        deepest = max(want, key=len)
        self.assertEqual(run("cat", img, deepest).stdout, want[deepest])
        fsck_clean(self, img)

class Mkfs(Base):
    """dorvex mkfs: new images, existing ones kept unless forced, partitions, floppies."""

    def setUp(self):
        super().setUp()
        need_tools(self, "fsck.fat", "mkfs.fat", "mcopy", "mdir", "minfo")

    def mtools(self, tool, *args):
        return subprocess.run([which(tool), *args], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, env=MTOOLS_ENV, timeout=120)

    def test_new_image_with_size_label_and_files_put_in(self):
        img = self.path("new.img")
        r = run("mkfs", "--size", "64M", "--label", "photos", img)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertEqual(text(r.stdout),
                         "%s: FAT16, 64.0 MiB, 32695 clusters of 2.0 KiB, label PHOTOS\n" % img)
        self.assertEqual(os.path.getsize(img), 64 << 20)
        self.assertLess(os.stat(img).st_blocks * 512, 1 << 20)  # sparse
        fsck_clean(self, img)
        self.assertIn("Volume in drive : is PHOTOS", text(self.mtools("mdir", "-i", img).stdout))
        # The same layout as mkfs.fat's; the serial differs from one run to the next.
        ref = self.path("ref.img")
        subprocess.run([which("mkfs.fat"), "-C", ref, str(64 << 10)], check=True,
                       stdout=subprocess.DEVNULL)
        ours, theirs = open(img, "rb").read(512), open(ref, "rb").read(512)
        self.assertEqual(ours[11:36], theirs[11:36])
        write_tree(self.path("src"), {"a.txt": b"alpha\n", "d/b.txt": b"beta\n"})
        self.assertEqual(run("put", img, self.path("src"), "/").returncode, 0)
        fsck_clean(self, img)
        self.assertEqual(run("cat", img, "/src/d/b.txt").stdout, b"beta\n")
        self.assertEqual(run("mkfs", "--size", "64M", img).returncode, 1)  # holds files now
        # FAT32 from 512 MiB; a larger --size grows a regular file.
        r = run("mkfs", "-f", "--size", "600M", img)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertTrue(text(r.stdout).startswith("%s: FAT32, 600.0 MiB" % img), text(r.stdout))
        self.assertEqual(os.path.getsize(img), 600 << 20)
        fsck_clean(self, img)
        self.assertEqual(self.mtools("minfo", "-i", img).returncode, 0)

    def test_an_image_with_files_is_refused_until_forced(self):
        img = self.path("full.img")
        subprocess.run([which("mkfs.fat"), "-C", img, "8192"], check=True,
                       stdout=subprocess.DEVNULL)
        for i in range(3):
            with open(self.path("f%d" % i), "wb") as f:
                f.write(b"x" * 100)
            self.assertEqual(self.mtools("mcopy", "-i", img, self.path("f%d" % i),
                                         "::/").returncode, 0)
        before = open(img, "rb").read()
        r = run("mkfs", img)
        self.assertEqual((r.returncode, text(r.stderr)),
                         (1, "dorvex: %s: holds a FAT12 volume with 3 entries in its root; "
                             "--force formats it anyway\n" % img))
        self.assertEqual(open(img, "rb").read(), before)
        # Another file system is refused too; so is a partition table without -p.
        other = self.path("ntfs.img")
        with open(other, "wb") as f:
            f.truncate(40 << 20)  # FAT32 needs 65,525 clusters
            f.write(b"\xebR\x90NTFS    " + bytes(499) + b"\x55\xaa")
        r = run("mkfs", other)
        self.assertEqual(r.returncode, 1)
        self.assertIn("another kind (NTFS); --force", text(r.stderr))
        with open(other, "r+b") as f:  # a FAT boot sector with no sectors per cluster
            boot = open(img, "rb").read(512)
            f.write(boot[:13] + b"\0" + boot[14:])
        r = run("mkfs", other)
        self.assertEqual(r.returncode, 1)
        self.assertIn("holds a damaged FAT volume (Bad PBR content", text(r.stderr))
        r = run("mkfs", "--force", img)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertIn("No files", text(self.mtools("mdir", "-i", img).stdout))
        fsck_clean(self, img)

    def test_partition_two_leaves_partition_one_intact(self):
        disk = self.path("disk.img")
        with open(disk, "wb") as f:
            f.truncate((2048 + 40960 + 65536) * 512)
            mbr = bytearray(512)
            mbr[446:462] = mbr_entry(0x0C, 2048, 40960)
            mbr[462:478] = mbr_entry(0x0E, 2048 + 40960, 65536)
            mbr[510:512] = b"\x55\xaa"
            f.write(mbr)
        r = run("mkfs", "-p", "1", "--label", "ONE", disk)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        write_tree(self.path("src"), {"keep.txt": b"kept\n"})
        self.assertEqual(run("put", "-p", "1", disk, self.path("src/keep.txt"), "/").returncode, 0)
        part1 = open(disk, "rb").read()[:(2048 + 40960) * 512]
        r = run("mkfs", disk)  # the whole disk: the table is in the way
        self.assertEqual(r.returncode, 1)
        self.assertIn("holds an MBR partition table with 2 partitions (-p N formats one of "
                      "them); --force", text(r.stderr))
        r = run("mkfs", "-p", "2", "--label", "two", disk)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertEqual(open(disk, "rb").read()[:(2048 + 40960) * 512], part1)
        self.assertEqual(run("cat", "-p", "1", disk, "/keep.txt").stdout, b"kept\n")
        info = info_json(disk, "-p", "2")
        self.assertEqual(info["volume"]["label"], "TWO")
        boot = open(disk, "rb").read()[(2048 + 40960) * 512:][:512]
        self.assertEqual(struct.unpack_from("<I", boot, 28)[0], 2048 + 40960)  # hidden sectors
        r = run("mkfs", "-p", "2", "--size", "64M", disk)
        self.assertEqual(r.returncode, 1)
        self.assertIn("--size 64M is larger than the partition (32.0 MiB)", text(r.stderr))

    def test_floppy_and_options(self):
        img = self.path("floppy.img")
        r = run("mkfs", "--fat", "12", "--size", "1440K", img)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertEqual(text(r.stdout),
                         "%s: FAT12, 1.4 MiB, 2847 clusters of 512 B, no label\n" % img)
        out = text(self.mtools("mdir", "-i", img, "::/").stdout)
        self.assertIn("No files", out)
        self.assertIn("1 457 664 bytes free", out)
        self.assertEqual(open(img, "rb").read(512)[21], 0xF0)  # the 1.44 MB media byte
        fsck_clean(self, img)
        # Sector and cluster size, SD-card alignment; a larger image is formatted up to SIZE.
        big = self.path("big.img")
        with open(big, "wb") as f:
            f.truncate(1 << 30)
        r = run("mkfs", "--sector-size", "4096", "--align", "4M", "--size", "768M", big)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        boot = open(big, "rb").read(512)
        ss, spc, res, nfats = struct.unpack_from("<HBHB", boot, 11)
        fat = struct.unpack_from("<I", boot, 36)[0]
        self.assertEqual((ss, spc), (4096, 1))
        self.assertEqual((res + nfats * fat) * ss % (4 << 20), 0)
        self.assertEqual(os.path.getsize(big), 1 << 30)
        self.assertEqual(self.mtools("minfo", "-i", big).returncode, 0)
        r = run("mkfs", "-f", "--cluster-size", "16K", "--fat", "16", big)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.assertIn("FAT16, 1.0 GiB, 65517 clusters of 16.0 KiB", text(r.stdout))
        fsck_clean(self, big)
        for args, msg in ((["--fat", "12"], "no FAT12 volume of 1.0 GiB with these options"),
                          (["--label", "A*B"], "bad label 'A*B'"),
                          (["--cluster-size", "3K"], "bad --cluster-size '3K'"),
                          (["--sector-size", "3000"], "bad --sector-size '3000'")):
            r = run("mkfs", "-f", *args, big)
            self.assertEqual(r.returncode, 2 if "bad --" in msg else 1, args)
            self.assertIn(msg, text(r.stderr), args)
        r = run("mkfs", self.path("missing.img"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("no such file (--size SIZE creates", text(r.stderr))
        self.assertFalse(os.path.exists(self.path("missing.img")))
        r = run("mkfs", "--fat", "32", "--size", "1M", self.path("tiny.img"))
        self.assertEqual(r.returncode, 1)
        self.assertFalse(os.path.exists(self.path("tiny.img")))  # not left behind


# ---- Extents: stat --clusters, cat through them ------------------------------------------

class Extents(Base):
    def fragmented(self, fat="12", spc="1", kib=1440):
        """A mkfs.fat image whose FRAG.BIN mcopy wrote into the holes mdel left between
        one-cluster files; (image, its bytes)."""
        need_tools(self, "mkfs.fat", "mcopy", "mdel")
        img = self.path("frag%s.img" % fat)
        subprocess.run([which("mkfs.fat"), "-F", fat, "-s", spc, "-C", img, str(kib)], check=True,
                       stdout=subprocess.DEVNULL)
        cb = int(spc) * 512
        fills = {"FILL%02d.BIN" % i: os.urandom(cb) for i in range(10)}
        write_tree(self.path("fill"), fills)
        frag = os.urandom(6 * cb - 100)
        write_tree(self.path("frag"), {"FRAG.BIN": frag})
        env = dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1")
        mt = lambda *a: subprocess.run([which(a[0]), "-i", img, *a[1:]], check=True, env=env)
        mt("mcopy", *sorted(self.path("fill", n) for n in fills), "::/")
        mt("mdel", *("::/FILL%02d.BIN" % i for i in range(0, 10, 2)))
        mt("mcopy", self.path("frag", "FRAG.BIN"), "::/")
        return img, frag

    def test_stat_clusters_lists_the_runs_that_hold_the_file(self):
        img, frag = self.fragmented()
        r = run("stat", "--clusters", "--json", img, "/frag.bin")
        self.assertEqual((r.returncode, text(r.stderr)), (0, ""))
        runs = json.loads(r.stdout)["extents"]
        self.assertGreater(len(runs), 2)
        data, offset = b"", 0
        with open(img, "rb") as f:
            for x in runs:
                self.assertEqual(x["offset"], offset)
                self.assertEqual((x["recovered"], x["damaged"]), (False, False))
                f.seek(x["sector"] * 512)
                data += f.read(x["bytes"])
                offset += x["bytes"]
        self.assertEqual(data, frag)
        # cat sends those runs from the image: into a file (sendfile) and a pipe alike.
        self.assertEqual(run("cat", img, "/frag.bin").stdout, frag)
        self.assertEqual(run("get", img, "/frag.bin", self.path("out")).returncode, 0)
        self.assertEqual(open(self.path("out"), "rb").read(), frag)
        # The text form: the usual fields, then a header and one row per run.
        out = text(run("stat", "--clusters", img, "/frag.bin").stdout).splitlines()
        at = out.index("Extents:     %d runs" % len(runs))
        self.assertEqual(out[at + 1].split(),
                         ["offset", "sector", "sectors", "cluster", "clusters", "bytes"])
        self.assertEqual([list(map(int, l.split())) for l in out[at + 2:]],
                         [[x[k] for k in ("offset", "sector", "sectors", "cluster", "clusters",
                                          "bytes")] for x in runs])
        # The FAT12 root is a region of no clusters.
        root = json.loads(run("stat", "--clusters", "--json", img, "/").stdout)["extents"]
        self.assertEqual([(x["clusters"], x["bytes"]) for x in root], [(0, 224 * 32)])
        # The Sleuth Kit lists the same sectors (those that hold the file's bytes).
        if not need_tools(self, "istat", "ifind", skip=False):
            return
        inode = subprocess.run([which("ifind"), "-n", "/frag.bin", img], check=True,
                               stdout=subprocess.PIPE).stdout.split()[0]
        listing = text(subprocess.run([which("istat"), img, inode], check=True,
                                      stdout=subprocess.PIPE).stdout)
        theirs = [int(w) for w in listing.split("Sectors:")[1].split() if w != "0"]
        ours = [x["sector"] + k for x in runs for k in range((x["bytes"] + 511) // 512)]
        self.assertEqual(ours, theirs)

    def test_deleted_files_show_the_runs_recovery_reads(self):
        img, frag = self.fragmented()
        env = dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1")
        subprocess.run([which("mdel"), "-i", img, "::/FRAG.BIN"], check=True, env=env)
        self.assertEqual(run("stat", "--clusters", img, "/frag.bin").returncode, 1)
        r = run("stat", "--clusters", "--deleted", "--json", img, "/_RAG.BIN")
        self.assertEqual((r.returncode, text(r.stderr)), (0, ""))
        runs = json.loads(r.stdout)["extents"]
        # Its first cluster is free again; the rest passes over the live FILL files.
        self.assertEqual([x["recovered"] for x in runs], [True] * len(runs))
        self.assertEqual([x["damaged"] for x in runs], [False] + [True] * (len(runs) - 1))
        self.assertEqual(sum(x["bytes"] for x in runs), len(frag))
        r = run("cat", "--deleted", img, "/_RAG.BIN")
        with open(img, "rb") as f:
            want = b""
            for x in runs:
                f.seek(x["sector"] * 512)
                want += f.read(x["bytes"])
        self.assertEqual(r.stdout, want)

    def test_a_broken_chain_is_an_error_after_the_runs_before_it(self):
        src = self.path("src")
        write_tree(src, {"BIG.BIN": os.urandom(20 * 512)})
        img = mkimage(src, self.path("b.img"), "--fat", "16", "--cluster-size", "512")
        st = json.loads(run("stat", "--json", img, "/BIG.BIN").stdout)
        v = info_json(img)["volume"]
        first = st["cluster"]
        with open(img, "r+b") as f:  # the fourth cluster leads back to the second
            f.seek(v["reserved_sectors"] * 512 + 2 * (first + 3))
            f.write(struct.pack("<H", first + 1))
        r = run("stat", "--clusters", img, "/BIG.BIN")
        self.assertEqual((r.returncode, text(r.stderr)),
                         (1, "dorvex: /BIG.BIN: extents: Chain is broken in FAT table\n"))
        self.assertIn("Extents:     ", text(r.stdout))
        r = run("stat", "--clusters", "--json", img, "/BIG.BIN")
        doc = json.loads(r.stdout)
        self.assertEqual(doc["extents_error"], "Chain is broken in FAT table")
        # Never more than cat reads before the same error.
        cat = run("cat", img, "/BIG.BIN")
        self.assertEqual(cat.returncode, 1)
        self.assertEqual(sum(x["bytes"] for x in doc["extents"]), len(cat.stdout))

    def test_sorted_walks_read_records_again_after_each_subdirectory(self):
        # Deep levels drop their records while a child is walked and read them again, a
        # batch at a time; a directory of many subdirectories does so after each one.
        files = {}
        deep = "top"
        for level in range(12):
            for k in (3, 1, 2):  # after the subdirectory in name order
                files["%s/x%d-%d.txt" % (deep, level, k)] = b"x"
            if level == 10:
                for i in range(300):
                    files["%s/D%03d/in.txt" % (deep, (i * 37) % 300)] = b"y"
            deep += "/Sub %02d" % level
        write_tree(self.path("src"), files)
        img = mkimage(self.path("src"), self.path("w.img"))
        dirs = {os.path.dirname(p) for p in files}
        for p in list(dirs):
            while p:
                dirs.add(p)
                p = os.path.dirname(p)

        def walk(d):
            kids = sorted((n for n in dirs | set(files) if os.path.dirname(n) == d),
                          key=lambda n: os.path.basename(n).upper())
            out = ["/" + k + ("/" if k in dirs else "") for k in kids]
            for k in kids:
                if k in dirs:
                    out += walk(k)
            return out
        self.assertEqual(self.lines("ls", "-R", "--paths", img), walk(""))

    def lines(self, *args):
        r = run(*args)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        return [l for l in text(r.stdout).split("\n") if l]


# ---- exFAT -------------------------------------------------------------------------------

EXFAT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "exfat")
EXFAT_IMAGES = ["camera", "fragmented", "deleted", "bigdir", "times", "vdl"]


def sha256_file(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


def exfat_fixture(name, suffix):
    return open(os.path.join(EXFAT_DIR, name + suffix), encoding="utf-8")


class Exfat(Base):
    """The reading commands on the exFAT fixture images (mkfs.exfat and exfat-fuse, read back
    by The Sleuth Kit), and the writing ones refusing them."""

    def image(self, name, patch=None):
        at = self.path(name + ".img")
        with lzma.open(os.path.join(EXFAT_DIR, name + ".img.xz")) as f:
            raw = bytearray(f.read())
        if patch:
            patch(raw)
        open(at, "wb").write(raw)
        return at

    def test_info_matches_fsstat(self):
        for name in EXFAT_IMAGES:
            fs = {}
            for line in exfat_fixture(name, ".fsstat.txt"):
                key, _, value = line.strip().lstrip("* ").partition(": ")
                fs.setdefault(key, value)
            v = info_json(self.image(name))["volume"]
            x = v["exfat"]
            heap, spc = int(fs["Cluster Heap"].split()[0]), v["sectors_per_cluster"]
            fat = [int(n) for n in fs["FAT 1"].split(" - ")]
            self.assertEqual(
                (v["file_system"], v["volume_id"], v["label"], v["fats"], v["bytes_per_sector"],
                 v["bytes_per_cluster"], v["fat_start"], v["fat_sectors"],
                 x["cluster_heap_start"], v["root_cluster"], v["clusters"], x["revision"]),
                ("exFAT", fs["Volume Serial Number"].upper(),
                 fs["Volume Label (from root directory)"], int(fs["Number of FATs"]),
                 int(fs["Sector Size"]), int(fs["Cluster Size"]), fat[0], fat[1] - fat[0] + 1,
                 heap, (int(fs["Root Directory"].split()[0]) - heap) // spc + 2,
                 int(fs["Cluster Range"].split(" - ")[1]) - 1, "1.00"), name)
            self.assertEqual(x["percent_in_use_counted"],
                             (v["clusters"] - v["free_clusters"]) * 100 // v["clusters"], name)
            live = json.load(exfat_fixture(name, ".manifest.json"))["entries"]
            self.assertEqual((v["files"], v["directories"]),
                             (sum(e["type"] == "file" for e in live),
                              sum(e["type"] == "dir" for e in live)), name)
        out = text(run("info", self.image("camera")).stdout)
        self.assertIn("  File system:         exFAT, revision 1.00\n  Label:               "
                      "EOS_DIGITAL\n  Serial number:       FF99-FBEC\n", out)
        self.assertRegex(out, r"  Up-case table:       cluster 3, 5836 bytes, checksum "
                         r"0xE619D30D\n(.*\n)*  In use:              23% as stored, 22% counted")

    def test_info_state(self):
        # VolumeFlags (offset 106, outside the boot checksum): VolumeDirty and MediaFailure.
        # A changed boot-code byte as well fails the main region's checksum: the backup
        # region (flags as mkfs.exfat wrote them) serves.
        def flags(raw):
            raw[106] = 0x06

        def damaged(raw):
            raw[106], raw[200] = 0x06, raw[200] ^ 0xFF
        for patch, state, want in (
                (flags, "dirty (not closed cleanly: fsck.exfat closes it); media failure "
                 "recorded", (True, True, False)),
                (damaged, "clean; main boot region damaged, read from the backup boot region",
                 (False, False, True))):
            img = self.image("camera", patch)
            self.assertIn("  State:               %s\n" % state, text(run("info", img).stdout))
            v = info_json(img)["volume"]
            self.assertEqual((v["dirty"], v["exfat"]["media_failure"],
                              v["exfat"]["backup_boot_region"]), want)

    def test_get_is_byte_identical_with_mtimes(self):
        for name in EXFAT_IMAGES:
            out = self.path(name)
            r = run("get", self.image(name), "/", out)
            self.assertEqual(r.returncode, 0, (name, text(r.stderr)))
            for e in json.load(exfat_fixture(name, ".manifest.json"))["entries"]:
                host, base = os.path.split(out + e["path"])
                if len(base.encode()) > 255:  # too long for the host: saved shortened
                    base = next(n for n in os.listdir(host) if n.startswith(base[:20]))
                host = os.path.join(host, base)
                if e["type"] == "dir":
                    self.assertTrue(os.path.isdir(host), host)
                    continue
                # Times with a UTC offset are exact, whatever TZ says. The driver stored
                # 1980-01-01 00:00 UTC written in New York as that wall clock at -05:00
                # (05:00 UTC), yet reads it back as 00:00 UTC.
                late = 5 * 3600 if e["path"] == "/newyork_epoch_1980.txt" else 0
                self.assertEqual((sha256_file(host), os.stat(host).st_mtime),
                                 (e["sha256"], e["mtime"] + late), host)

    def test_deleted_entries_listed_and_recovered(self):
        img = self.image("deleted")
        fls = sorted("/" + line.split("\t")[1].strip()
                     for line in exfat_fixture("deleted", ".fls-deleted.txt"))
        listed = walk_json(ls_json(img, "/", "-a")["entries"])
        self.assertEqual(sorted(p for p, e in listed.items() if e["deleted"]), fls)
        r = run("get", "--deleted", img, "/", self.path("rec"))
        self.assertEqual(r.returncode, 0, text(r.stderr))
        for e in json.load(exfat_fixture("deleted", ".manifest.json"))["deleted"]:
            if e["type"] == "file":
                self.assertEqual(sha256_file(self.path("rec") + e["path"]), e["sha256"])

    def test_listing_stat_and_json(self):
        img = self.image("times")
        # ls -l: the time in the host's zone (UTC with --utc), '-' for the 8.3 name.
        self.assertEqual(text(run("ls", "-l", img, "/tokyo_summer.txt").stdout),
                         "----a-        100 %s  -             tokyo_summer.txt\n"
                         % wall(1688212800))
        self.assertIn(" 2023-07-01T12:00:00Z  - ",
                      text(run("--utc", "ls", "-l", img, "/tokyo_summer.txt").stdout))
        # stat: as recorded, with the offset; no short name.
        out = text(run("stat", img, "/tokyo_summer.txt").stdout)
        self.assertIn("Allocation:  contiguous (no FAT chain)\nCreated:     2026-12-10T07:53:"
                      "44+09:00\nModified:    2023-07-01T21:00:00+09:00\nAccessed:    "
                      "2023-07-01T21:00:00+09:00\n", out)
        self.assertNotIn("Short name", out)
        self.assertIn("Modified:    2023-07-01T07:00:00-05:00\n",
                      text(run("stat", img, "/newyork_summer.txt").stdout))
        j = json.loads(run("stat", "--json", img, "/odd_second.txt").stdout)
        self.assertEqual((j["short_name"], j["size"], j["modified"]),
                         (None, 100, "2001-02-03T04:05:07+00:00"))
        self.assertEqual(text(run("label", self.image("camera")).stdout), "EOS_DIGITAL\n")
        frag = self.image("fragmented")
        for path, runs in (("/contig_a.bin", 1), ("/inter_1.bin", 4)):
            j = json.loads(run("stat", "--clusters", "--json", frag, path).stdout)
            self.assertEqual(len(j["extents"]), runs, path)

    def test_valid_data_length_reads_zeros(self):
        # exfat-fuse never leaves valid length below length: patch truncated_up.bin's
        # stream entry to 1000 (and the set's checksum). get and cat must read zeros past
        # it, not the clusters' bytes.
        def patch(raw):
            at = 2048 * 512 + 2 * 32768  # the root, cluster 4 (vdl.raw.txt)
            while not (raw[at] == 0x85 and "truncated".encode("utf-16-le") in raw[at:at + 96]):
                at += 32
            struct.pack_into("<Q", raw, at + 40, 1000)
            total = 0
            for i, b in enumerate(raw[at:at + 32 * (raw[at + 1] + 1)]):
                total = ((total << 15 | total >> 1) + b) & 0xFFFF if i not in (2, 3) else total
            struct.pack_into("<H", raw, at + 2, total)
        img = self.image("vdl", patch)
        data = run("cat", img, "/truncated_up.bin").stdout
        self.assertEqual((len(data), data[1000:]), (200000, bytes(199000)))
        self.assertNotEqual(data[:1000], bytes(1000))
        run("get", img, "/truncated_up.bin", self.path("t.bin"))
        self.assertEqual(open(self.path("t.bin"), "rb").read(), data)
        self.assertEqual(json.loads(run("stat", "--json", img, "/truncated_up.bin").stdout)
                         ["valid_size"], 1000)

    def test_writing_commands_refuse(self):
        img = self.image("camera")
        before = sha256_file(img)
        for args in (["put", img, __file__, "/"], ["mkdir", img, "/NEW"],
                     ["rm", img, "/MISC/AUTPRINT.MRK"], ["mv", img, "/MISC", "/MISC2"],
                     ["label", img, "NEW"], ["label", "--clear", img]):
            r = run(*args)
            self.assertEqual((r.returncode, text(r.stderr)), (1, "dorvex: %s: exFAT volumes are "
                             "read-only: writing them is not supported yet\n" % img), args)
        self.assertEqual(sha256_file(img), before)

    def test_partitions(self):
        vol = open(self.image("camera"), "rb").read()
        nsec, start = len(vol) // 512, 2048
        mbr_disk, gpt_disk = self.path("mbr.img"), self.path("gpt.img")
        with open(mbr_disk, "wb") as f:
            f.write(bytes(446) + mbr_entry(0x07, start, nsec) + bytes(48) + b"\x55\xaa")
            f.seek(start * 512)
            f.write(vol)
        write_gpt(gpt_disk, start + nsec + 34, vol, start,
                  [(BASIC_DATA, start, start + nsec - 1, "")])
        whole = text(run("ls", "-R", self.image("camera")).stdout)
        for disk in (mbr_disk, gpt_disk):
            parts = info_json(disk)["partitions"]
            self.assertEqual([(p["file_system"], p["fat"]) for p in parts], [("exFAT", 64)])
            for extra in ([], ["-p", "1"]):
                r = run("ls", "-R", *extra, disk)
                self.assertEqual((r.returncode, text(r.stdout)), (0, whole), (disk, extra))
        self.assertRegex(text(run("info", mbr_disk).stdout), r"0x07 NTFS/exFAT .* exFAT\n")

# ---- check ------------------------------------------------------------------------

def fat32_layout(d):
    """Byte offsets of the first FAT, the second and cluster 2 of a FAT32 volume at 0."""
    bps, spc = struct.unpack_from("<H", d, 11)[0], d[13]
    reserved, fats = struct.unpack_from("<H", d, 14)[0], d[16]
    fat_bytes = struct.unpack_from("<I", d, 36)[0] * bps
    fat = reserved * bps
    return fat, fat + fat_bytes, fat + fats * fat_bytes, spc * bps


def set_fat32(d, layout, cluster, value):
    for base in layout[:2]:
        struct.pack_into("<I", d, base + 4 * cluster, value)


def root_entry(d, layout, i):
    return layout[2] + 32 * i


def lost(d, lay):
    set_fat32(d, lay, 100, 0x0FFFFFFF)


def cut_move(d, lay, new_at=3):
    # F1.BIN (root entry 0) leaving, F1NEW.BIN arriving in free entry 3: one chain.
    old, new = root_entry(d, lay, 0), root_entry(d, lay, new_at)
    d[new:new + 32] = d[old:old + 32]
    d[new:new + 11] = b"F1NEW   BIN"
    d[old + 12], d[new + 12] = 0x04, 0x40


def orphan_lfn(d, lay):
    d[root_entry(d, lay, 1) + 13] ^= 0xFF  # the long name's checksum no longer fits


def cut_append(d, lay):
    struct.pack_into("<I", d, root_entry(d, lay, 2) + 28, 100)  # 2 clusters for 100 bytes


def boot_backup(d, lay):
    d[6 * 512 + 71] ^= 0x20  # a label letter of the backup's


def exfat_sets(d):
    """The fixture's geometry, and the offset of each File set of the root's first cluster
    by name, plus the allocation bitmap's offset under 0x81."""
    bps = 1 << d[108]
    lay = dict(bps=bps, cb=bps << d[109], fat=struct.unpack_from("<I", d, 80)[0] * bps,
               heap=struct.unpack_from("<I", d, 88)[0] * bps)
    cluster = lambda c: lay["heap"] + (c - 2) * lay["cb"]
    sets, at = {}, cluster(struct.unpack_from("<I", d, 96)[0])
    for e in range(at, at + lay["cb"], 32):
        if d[e] == 0:
            break
        if d[e] == 0x85:
            n = d[e + 35]
            sets[bytes(d[e + 66:e + 66 + 2 * min(n, 15)]).decode("utf-16-le")] = e
        elif d[e] == 0x81:
            sets[0x81] = cluster(struct.unpack_from("<I", d, e + 20)[0])
    return lay, sets


def exfat_reseal(d, e):
    """Sets the SetChecksum of the set at e to what its entries sum to."""
    s = 0
    for i in range(32 * (d[e + 1] + 1)):
        if i not in (2, 3):
            s = (((s >> 1) | (s << 15)) + d[e + i]) & 0xFFFF
    struct.pack_into("<H", d, e + 2, s)


def exfat_bit(d, sets, cluster, on):
    at, m = sets[0x81] + (cluster - 2) // 8, 1 << (cluster - 2) % 8
    d[at] = d[at] | m if on else d[at] & ~m


def ex_bitmap_cleared(d):
    lay, sets = exfat_sets(d)
    exfat_bit(d, sets, struct.unpack_from("<I", d, sets["contig_a.bin"] + 52)[0], False)


def ex_lost(d):
    lay, sets = exfat_sets(d)
    exfat_bit(d, sets, struct.unpack_from("<I", d, 92)[0] + 1, True)


def ex_set_checksum(d):
    d[exfat_sets(d)[1]["contig_b.bin"] + 2] ^= 0x5A


def ex_loop(d):
    lay, sets = exfat_sets(d)
    first = struct.unpack_from("<I", d, sets["inter_3.bin"] + 52)[0]
    second = struct.unpack_from("<I", d, lay["fat"] + 4 * first)[0]
    struct.pack_into("<I", d, lay["fat"] + 4 * second, first)  # back to its first cluster


def ex_boot_checksum(d):
    d[11 * (1 << d[108]) + 5] ^= 1


def ex_valid_past(d):
    e = exfat_sets(d)[1]["contig_a.bin"]
    d[e + 42] = 0xFF
    exfat_reseal(d, e)


class Check(Base):
    """dorvex check: findings on images from mkfs.fat + mcopy, patched as a cut write leaves
    them, side by side with fsck.fat -n; --repair and --dry-run; partition options."""

    # name, patch, the kind dorvex reports, what fsck.fat -n says
    DAMAGES = [
        ("lost", lost, "lost", "unused cluster"),
        ("cut move", cut_move, "move-pair", "share clusters"),
        ("orphaned long name", orphan_lfn, "orphan-lfn", "Wrong checksum for long file name"),
        ("cut append", cut_append, "chain-long", "File size is 100 bytes, cluster chain"),
        ("boot backup", boot_backup, "boot-backup", "differences between boot sector and its"),
    ]

    def setUp(self):
        super().setUp()
        need_tools(self, "mkfs.fat", "fsck.fat", "mcopy")
        self.seed = self.path("seed.img")
        subprocess.run([which("mkfs.fat"), "-C", "-F", "32", "-s", "1", self.seed, "40000"],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        for name, size in (("F1.BIN", 5000), ("Long name.txt", 700)):
            host = self.path("f")
            with open(host, "wb") as f:
                f.write(os.urandom(size))
            subprocess.run([which("mcopy"), "-i", self.seed, host, "::" + name], check=True,
                           env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1"), timeout=120)

    def damaged(self, *patches, prefix=b""):
        d = bytearray(open(self.seed, "rb").read())
        lay = fat32_layout(d)
        for p in patches:
            p(d, lay)
        img = self.path("damaged.img")
        with open(img, "wb") as f:
            f.write(prefix + d)
        return img

    def fsck_says(self, img):
        r = subprocess.run([which("fsck.fat"), "-n", img], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=120)
        return text(r.stdout)

    # exFAT: the fixture "fragmented" patched; what fsck.exfat -n says (None: it finds the
    # volume clean, not judging that). tests/check has the whole table.
    EXFAT_DAMAGES = [
        ("bitmap bit cleared", ex_bitmap_cleared, "bitmap-free", "is marked as free"),
        ("lost bitmap bit", ex_lost, "lost", None),
        ("set checksum", ex_set_checksum, "set-checksum", "checksum of a file is wrong"),
        ("chain loop", ex_loop, "loop", "already allocated"),
        ("boot checksum", ex_boot_checksum, "boot-region", "boot region is corrupted"),
        ("valid data length", ex_valid_past, "valid-past-size", "greater than size"),
    ]

    def exfat_image(self, name, patch=None):
        with lzma.open(os.path.join(EXFAT_DIR, name + ".img.xz")) as f:
            raw = bytearray(f.read())
        if patch:
            patch(raw)
        at = self.path(name + ".img")
        open(at, "wb").write(raw)
        return at

    def fsck_exfat(self, img):
        r = subprocess.run([which("fsck.exfat"), "-n", img], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=120)
        return r.returncode, text(r.stdout)

    def test_exfat_damages_found_as_fsck_exfat_finds_them(self):
        need_tools(self, "fsck.exfat")
        for name, patch, kind, fsck in [("sound", None, None, None)] + self.EXFAT_DAMAGES:
            with self.subTest(name):
                img = self.exfat_image("fragmented", patch)
                rc, says = self.fsck_exfat(img)
                self.assertEqual(rc == 0, fsck is None, says)
                if fsck:
                    self.assertIn(fsck, says)
                r = run("check", img)
                if kind is None:
                    self.assertEqual((r.returncode, text(r.stdout)), (0, img + ": sound\n"))
                    continue
                self.assertEqual(r.returncode, 1, text(r.stderr))
                last = text(r.stdout).splitlines()[-1]
                self.assertTrue(last.startswith(img + ": "), last)
                self.assertIn(kind, last)
                j = json.loads(run("check", "--json", img).stdout)
                self.assertFalse(j["sound"])
                self.assertIn(kind, [f["kind"] for f in j["findings"]])

    def test_exfat_sound_to_both_and_never_repaired(self):
        imgs = [self.exfat_image(n) for n in ("camera", "bigdir")]
        if need_tools(self, "mkfs.exfat", skip=False):
            fresh = self.path("fresh.img")
            with open(fresh, "wb") as f:
                f.truncate(32 * MIB)
            subprocess.run([which("mkfs.exfat"), fresh], check=True, stdout=subprocess.DEVNULL,
                           timeout=120)
            imgs.append(fresh)
        for img in imgs:
            if need_tools(self, "fsck.exfat", skip=False):
                self.assertEqual(self.fsck_exfat(img)[0], 0, img)
            r = run("check", "--json", img)
            self.assertEqual((r.returncode, json.loads(r.stdout)["findings"]), (0, []), img)
        damaged = self.exfat_image("fragmented", ex_lost)
        before = open(damaged, "rb").read()
        for extra in ([], ["--dry-run"], ["--free-lost"]):
            r = run("check", "--repair", *extra, damaged)
            self.assertEqual((r.returncode, text(r.stdout), text(r.stderr)),
                             (1, "", "dorvex: %s: exFAT volumes are checked, not repaired\n"
                              % damaged), extra)
        self.assertEqual(open(damaged, "rb").read(), before)

    def test_each_damage_found_as_fsck_finds_it(self):
        r = run("check", self.seed)
        self.assertEqual((r.returncode, text(r.stdout)), (0, self.seed + ": sound\n"))
        for name, patch, kind, fsck in self.DAMAGES:
            with self.subTest(name):
                img = self.damaged(patch)
                self.assertIn(fsck, self.fsck_says(img))
                r = run("check", img)
                self.assertEqual(r.returncode, 1, text(r.stderr))
                last = text(r.stdout).splitlines()[-1]
                self.assertTrue(last.startswith(img + ": "), last)
                self.assertIn(kind, last)
                j = json.loads(run("check", "--json", img).stdout)
                self.assertFalse(j["sound"])
                self.assertIn(kind, [f["kind"] for f in j["findings"]])
                self.assertNotIn("cross-link", [f["kind"] for f in j["findings"]])

    def test_repair_dry_run_writes_nothing_then_repair_mends(self):
        img = self.damaged(lost, cut_move, orphan_lfn, cut_append, boot_backup)
        before = open(img, "rb").read()
        r = run("check", "--repair", "--dry-run", "--free-lost", img)
        out = text(r.stdout)
        self.assertEqual(r.returncode, 0, out + text(r.stderr))
        # The cluster past the cut append's size counts as lost too.
        for said in ("would free 2 lost clusters", "would end 1 file at its size",
                     "would finish 1 cut move", "would delete 1 orphaned long-name entry",
                     "would copy the root's label", "would be sound after repair"):
            self.assertIn(said, out)
        self.assertEqual(open(img, "rb").read(), before)
        j = json.loads(run("check", "--repair", "--dry-run", "--json", img).stdout)
        self.assertEqual((j["repair"]["dry_run"], j["repair"]["moves_finished"]), (True, 1))
        r = run("check", "--repair", img)
        self.assertEqual(r.returncode, 0, text(r.stdout) + text(r.stderr))
        self.assertIn("repair: finish 1 cut move", text(r.stdout))
        self.assertTrue(text(r.stdout).endswith("sound after repair\n"))
        fsck_clean(self, img)
        self.assertEqual(run("check", img).returncode, 0)

    def test_damage_stops_the_freeing_and_findings_remain(self):
        def dir_out_of_range(d, lay):
            e = root_entry(d, lay, 0)  # F1.BIN becomes a directory past the data area
            d[e + 11] = 0x10
            struct.pack_into("<H", d, e + 20, 0x0FFF)
        img = self.damaged(lost, dir_out_of_range)
        r = run("check", "--repair", "--free-lost", "--json", img)
        self.assertEqual(r.returncode, 1)
        j = json.loads(r.stdout)
        self.assertTrue(j["repair"]["damaged"])
        self.assertEqual(j["repair"]["lost_clusters"], 0)
        self.assertEqual([c["kind"] for c in j["repair"]["changes"]][:1], ["dir-left"])
        self.assertEqual({"bad-link", "lost"} - {f["kind"] for f in j["findings"]}, set())

    # The repair corpus: a seed with F1.BIN (5000 bytes), "Long name.txt" (700), DIR and
    # DIR/F2.BIN (1500), damaged as crashes and bad writers leave volumes. Each row: name,
    # patch(d, lay, first clusters), what fsck.fat -n says, the kind check reports (None: it
    # has no word for it), the sizes files have after repair (or their names, when repair
    # settles a name), and the bytes FOUND.000 holds (file name, host file, offset into it).
    REPAIRS = [
        ("fat copies", lambda d, lay, f: struct.pack_into("<I", d, lay[0] + 4 * 100, 0x0FFFFFFF),
         "FATs differ", "fat-differs", {}, [("FSCK0000.REC", None, 0)]),
        # The first copy leaves the data area inside F1.BIN: the second is kept, F1.BIN whole
        # (fsck.fat keeps the first and cuts F1.BIN to 1536 bytes).
        ("bad first copy",
         lambda d, lay, f: struct.pack_into("<I", d, lay[0] + 4 * (f["F1"] + 2), 0x0FFFFFF0),
         "FATs differ", "fat-differs", {}, []),
        ("lost chain", lambda d, lay, f: (set_fat32(d, lay, 200, 201),
                                          set_fat32(d, lay, 201, 0x0FFFFFFF)),
         "Reclaimed 2 unused clusters", "lost", {}, [("FSCK0000.REC", None, 0)]),
        ("chain short", lambda d, lay, f: struct.pack_into("<I", d, root_entry(d, lay, 2) + 28,
                                                           5000),
         "cluster chain length is 1024 bytes", "chain-short", {"Long name.txt": 1024}, []),
        ("chain long", lambda d, lay, f: struct.pack_into("<I", d, root_entry(d, lay, 2) + 28,
                                                          100),
         "File size is 100 bytes", "chain-long", {"Long name.txt": 100}, []),
        # F1.BIN (1000 bytes) runs past its size into Long name.txt's chain: it ends at its
        # size, Long name.txt keeps its own chain (no copy), F1.BIN's old clusters are lost.
        ("chain long into another", lambda d, lay, f: (
            struct.pack_into("<I", d, root_entry(d, lay, 0) + 28, 1000),
            set_fat32(d, lay, f["F1"] + 1, f["LN"])),
         "File size is 1000 bytes, cluster chain length is > 1024", "chain-long",
         {"F1.BIN": 1000}, [("FSCK0000.REC", "F1.BIN", 1024)]),
        # Long name.txt (2000 bytes) runs into F1.BIN's last three clusters: it gets copies
        # of the two its size covers (fsck.fat cuts it to 1024 bytes).
        ("cross-link", lambda d, lay, f: (
            struct.pack_into("<I", d, root_entry(d, lay, 2) + 28, 2000),
            set_fat32(d, lay, f["LN"] + 1, f["F1"] + 7)),
         "share clusters", "cross-link", {"Long name.txt": 2000}, []),
        ("loop", lambda d, lay, f: set_fat32(d, lay, f["F1"] + 2, f["F1"] + 1),
         "Circular cluster chain", "loop", {"F1.BIN": 1536},
         [("FSCK0000.REC", "F1.BIN", 1536)]),
        ("bad link", lambda d, lay, f: set_fat32(d, lay, f["F1"] + 4, 0x0FFFFFF0),
         "out of range", "bad-link", {"F1.BIN": 2560}, [("FSCK0000.REC", "F1.BIN", 2560)]),
        ("dirty", lambda d, lay, f: set_fat32(
            d, lay, 1, struct.unpack_from("<I", d, lay[0] + 4)[0] & ~0x08000000),
         "Dirty bit is set", "dirty", {}, []),
        ("fsinfo", lambda d, lay, f: struct.pack_into("<I", d, 512 + 488, 1234),
         "Free cluster summary wrong", "fsinfo-free", {}, []),
        ("directory size", lambda d, lay, f: struct.pack_into("<I", d, root_entry(d, lay, 3) + 28,
                                                              512),
         "Directory has non-zero size", "dir-size", {}, []),
        ("dot", lambda d, lay, f: struct.pack_into("<H", d, lay[2] + (f["DIR"] - 2) * lay[3] + 26,
                                                   20),
         "Invalid '.' entry", "bad-dot", {}, []),
        ("dotdot", lambda d, lay, f: struct.pack_into(
            "<H", d, lay[2] + (f["DIR"] - 2) * lay[3] + 58, 20),
         "Invalid '..' entry", "bad-dotdot", {}, []),
        ("orphaned long name", lambda d, lay, f: orphan_lfn(d, lay),
         "Wrong checksum for long file name", "orphan-lfn", {"Long name.txt": "LONGNA~1.TXT"},
         []),
        ("cut move", lambda d, lay, f: cut_move(d, lay, new_at=4), "share clusters", "move-pair",
         {"F1.BIN": "F1NEW.BIN"}, []),
    ]

    def repair_seed(self):
        seed = self.path("repair-seed.img")
        subprocess.run([which("mkfs.fat"), "-C", "-F", "32", "-s", "1", seed, "40000"],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        env = dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1")
        host = {}
        for name, size in (("F1.BIN", 5000), ("Long name.txt", 700), ("DIR/F2.BIN", 1500)):
            host[name] = self.path(name.replace("/", "_"))
            with open(host[name], "wb") as f:
                f.write(os.urandom(size))
        for name in ("F1.BIN", "Long name.txt", "DIR", "DIR/F2.BIN"):
            tool = ["mmd", "-i", seed] if name == "DIR" else ["mcopy", "-i", seed, host[name]]
            subprocess.run([which(tool[0])] + tool[1:] + ["::" + name], check=True, env=env,
                           timeout=120)
        return seed, {k: open(v, "rb").read() for k, v in host.items()}

    def mread(self, img, name):
        out = self.path("read.bin")
        r = subprocess.run([which("mcopy"), "-n", "-i", img, "::" + name, out],
                           env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1"), timeout=120,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, name)
        return open(out, "rb").read()

    def test_repair_corpus_leaves_fsck_clean_and_every_byte(self):
        need_tools(self, "mmd")
        seed, host = self.repair_seed()
        base = bytearray(open(seed, "rb").read())
        lay = fat32_layout(base)
        first = lambda i: (struct.unpack_from("<H", base, root_entry(base, lay, i) + 20)[0] << 16
                           | struct.unpack_from("<H", base, root_entry(base, lay, i) + 26)[0])
        firsts = {"F1": first(0), "LN": first(2), "DIR": first(3)}
        r = run("check", "--repair", seed)  # a sound volume is left byte for byte
        self.assertEqual((r.returncode, open(seed, "rb").read()), (0, bytes(base)))
        for name, patch, fsck, kind, sizes, found in self.REPAIRS:
            with self.subTest(name):
                d = bytearray(base)
                patch(d, lay, firsts)
                # Lost clusters hold bytes of their own, to find in FOUND.000.
                for c in (100, 200, 201):
                    d[lay[2] + (c - 2) * lay[3]:lay[2] + (c - 1) * lay[3]] = bytes([c]) * lay[3]
                img = self.path("repair.img")
                with open(img, "wb") as f:
                    f.write(d)
                self.assertIn(fsck, self.fsck_says(img))
                j = json.loads(run("check", "--json", img).stdout)
                if kind:
                    self.assertIn(kind, [x["kind"] for x in j["findings"]])
                r = run("check", "--repair", "--dry-run", img)
                self.assertEqual(r.returncode, 0, text(r.stdout) + text(r.stderr))
                self.assertTrue(text(r.stdout).endswith("would be sound after repair\n"))
                self.assertEqual(open(img, "rb").read(), bytes(d))
                r = run("check", "--repair", "--json", img)
                self.assertEqual(r.returncode, 0, text(r.stdout) + text(r.stderr))
                self.assertTrue(json.loads(r.stdout)["sound"])
                copied = [c for c in json.loads(r.stdout)["repair"]["changes"]
                          if c["kind"] == "cross-copied"]
                self.assertEqual(len(copied), name == "cross-link")
                fsck_clean(self, img)
                for path, data in host.items():
                    size = sizes.get(path, len(data))
                    got = self.mread(img, size if isinstance(size, str) else path)
                    self.assertEqual(len(got), len(data) if isinstance(size, str) else size, path)
                    n = min(len(got), len(data))
                    self.assertEqual(got[:n], data[:n], path)
                if name == "cross-link":  # the copy holds what F1.BIN's clusters held
                    self.assertEqual(self.mread(img, "Long name.txt")[1024:2000],
                                     host["F1.BIN"][3584:4560])
                for rec, src, at in found:
                    got = self.mread(img, "FOUND.000/" + rec)
                    want = host[src][at:] if src else bytes([100 if "lost" not in name else 200]) * 512
                    self.assertEqual(got[:len(want)], want)

    def test_largest_file_stays_whole(self):
        # A 4 GiB - 1 byte file on a sparse FAT32 image: 131072 clusters of 32 KiB, 4 GiB of
        # chain. fsck.fat counts the chain's bytes in 32 bits, finds 0 and -a truncates the
        # file to 0 bytes, freeing its chain; check and repair keep it whole.
        img = self.path("big.img")
        subprocess.run([which("mkfs.fat"), "-C", "-F", "32", "-s", "64", img, "4300000"],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        with open(img, "r+b") as f:
            lay = fat32_layout(f.read(512))
            n = (0xFFFFFFFF + lay[3] - 1) // lay[3]
            chain = b"".join(struct.pack("<I", c + 1) for c in range(3, n + 2)) + \
                struct.pack("<I", 0x0FFFFFFF)
            for base in lay[:2]:
                f.seek(base + 12)
                f.write(chain)
                f.seek(base + 4 * 134000)  # and a lost cluster, for the repair to mend
                f.write(struct.pack("<I", 0x0FFFFFFF))
            f.seek(lay[2])
            f.write(b"BIG     BIN\x20" + bytes(14) + struct.pack("<HI", 3, 0xFFFFFFFF))
            f.seek(lay[2] + lay[3])
            f.write(b"first")
            f.seek(lay[2] + lay[3] + 0xFFFFFFFF - 4)
            f.write(b"last.")
        self.assertIn("File size is 4294967295 bytes, cluster chain length is 0 bytes",
                      self.fsck_says(img))
        self.assertEqual(sorted(x["kind"] for x in json.loads(run("check", "--json", img).stdout)
                                ["findings"]), ["fsinfo-free", "lost"])
        r = run("check", "--repair", img)
        self.assertEqual(r.returncode, 0, text(r.stdout) + text(r.stderr))
        self.assertIn("FSCK0000.REC", text(r.stdout))
        with open(img, "rb") as f:
            f.seek(lay[2] + 28)
            self.assertEqual(struct.unpack("<I", f.read(4))[0], 0xFFFFFFFF)
            for base in lay[:2]:
                f.seek(base + 12)
                self.assertEqual(f.read(len(chain)), chain)
            f.seek(lay[2] + lay[3])
            self.assertEqual(f.read(5), b"first")
            f.seek(lay[2] + lay[3] + 0xFFFFFFFF - 4)
            self.assertEqual(f.read(5), b"last.")
        self.assertIn("4294967295", text(run("ls", "-l", img, "/").stdout))

    def test_lost_chains_past_fsck9999_go_on_in_found_001(self):
        img = self.path("many.img")
        subprocess.run([which("mkfs.fat"), "-C", "-F", "16", "-s", "1", img, "8192"],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        d = bytearray(open(img, "rb").read())
        reserved, fat_bytes = struct.unpack_from("<H", d, 14)[0] * 512, \
            struct.unpack_from("<H", d, 22)[0] * 512
        for base in (reserved, reserved + fat_bytes):
            for c in range(100, 100 + 10002):  # 10002 lost clusters, each a chain
                struct.pack_into("<H", d, base + 2 * c, 0xFFFF)
        open(img, "wb").write(d)
        r = run("check", "--repair", img)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        lines = text(r.stdout).splitlines()
        self.assertIn("cluster 10099 (1 cluster) as /FOUND.000/FSCK9999.REC", lines[-4])
        self.assertIn("cluster 10101 (1 cluster) as /FOUND.001/FSCK0001.REC", lines[-2])
        fsck_clean(self, img)

    def test_volume_behind_an_offset(self):
        img = self.damaged(cut_move, prefix=bytes(2048 * 512))
        r = run("check", "--offset", "2048", img)
        self.assertEqual(r.returncode, 1)
        self.assertIn("/F1NEW.BIN: second name of a cut move", text(r.stdout))
        r = run("check", "--repair", "--offset", "2048", img)
        self.assertEqual(r.returncode, 0, text(r.stdout) + text(r.stderr))
        self.assertEqual(run("check", "--offset", "2048", img).returncode, 0)


# ---- mount (FUSE) ----------------------------------------------------------------

class Orphans(Base):
    """Deleted folders whose first cluster was taken again: get --deleted brings back their
    files from /$Orphans at least as TSK's tsk_recover -e does from $OrphanFiles, and owner
    names what TSK's ifind -d + ffind name."""

    def build(self, name, fat, sectors, folder, count, sizes, names):
        """mkfs.fat, `count` files of random bytes in `folder` (mcopy), then mdeltree and a
        new file that takes the folder's entry and first cluster. Returns (image, sources)."""
        need_tools(self, "mkfs.fat", "mcopy", "mmd", "mdeltree", "tsk_recover", "fls")
        img = self.path(name + ".img")
        subprocess.run([which("mkfs.fat"), "-C", "-F", str(fat), "-s", "1", img, str(sectors)],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        env = dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1")
        rnd = random.Random(name)
        src = self.path(name + "-src")
        os.makedirs(src)
        sources = {}
        for i in range(count):
            data = rnd.randbytes(rnd.randint(*sizes))
            host = os.path.join(src, names % i)
            with open(host, "wb") as f:
                f.write(data)
            sources[names % i] = data
        parts = folder.strip("/").split("/")
        for k in range(len(parts)):
            subprocess.run([which("mmd"), "-i", img, "::/" + "/".join(parts[:k + 1])],
                           check=True, env=env, timeout=120)
        subprocess.run([which("mcopy"), "-i", img] + [os.path.join(src, n) for n in sorted(sources)]
                       + ["::" + folder + "/"], check=True, env=env, timeout=120)
        with open(self.path("keep.bin"), "wb") as f:
            f.write(b"kept")
        subprocess.run([which("mcopy"), "-i", img, self.path("keep.bin"), "::/keep.bin"],
                       check=True, env=env, timeout=120)
        subprocess.run([which("mdeltree"), "-i", img, "::" + folder], check=True, env=env,
                       timeout=120)
        parent = "/".join(parts[:-1])
        subprocess.run([which("mcopy"), "-i", img, self.path("keep.bin"),
                        "::/" + (parent + "/" if parent else "") + "NEW.BIN"],
                       check=True, env=env, timeout=120)
        return img, sources

    def recovered(self, root, sources):
        """{source name: recovered path} of files under `root` byte-identical to a source."""
        by_bytes = {data: n for n, data in sources.items()}
        found = {}
        for dirpath, _, files in os.walk(root):
            for f in files:
                p = os.path.join(dirpath, f)
                with open(p, "rb") as fh:
                    n = by_bytes.get(fh.read())
                if n is not None:
                    found.setdefault(n, p)
        return found

    def compare_with_tsk(self, img, sources):
        ours_dir, tsk_dir = self.path("ours"), self.path("tsk")
        r = run("get", "--deleted", "-q", img, "/", ours_dir)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        subprocess.run([which("tsk_recover"), "-e", img, tsk_dir], check=True,
                       stdout=subprocess.DEVNULL, timeout=120)
        ours, tsk = self.recovered(ours_dir, sources), self.recovered(tsk_dir, sources)
        self.assertGreater(len(tsk), len(sources) // 2)
        self.assertGreaterEqual(len(ours), len(tsk))
        self.assertLessEqual(set(tsk), set(ours))
        self.assertTrue(all("/$Orphans/" in p for p in ours.values()))
        # The orphan listing names what fls names under $OrphanFiles (8.3 names).
        fls = subprocess.run([which("fls"), "-r", "-d", img], stdout=subprocess.PIPE,
                             check=True, timeout=120)
        theirs = {line.split("\t")[1].split("/", 1)[1] for line in text(fls.stdout).splitlines()
                  if "\t$OrphanFiles/" in line}
        j = json.loads(run("ls", "-a", "--json", img, "/$Orphans").stdout)
        self.assertEqual({e["short_name"] for e in j["entries"]}, theirs)
        return ours, tsk

    def test_floppy_folder_of_long_names(self):
        img, sources = self.build("floppy", 12, 1440, "/FOLDER", 40, (100, 3000),
                                  "photo file number %03d long name.dat")
        ours, tsk = self.compare_with_tsk(img, sources)
        self.assertGreaterEqual(len(ours), 36)
        # Long names survive where their whole run does.
        self.assertTrue(any(os.path.basename(p) == n for n, p in ours.items()))

    def test_camera_folder(self):
        img, sources = self.build("camera", 32, 40000, "/DCIM/100CANON", 400, (1000, 4000),
                                  "IMG_%04d.JPG")
        ours, tsk = self.compare_with_tsk(img, sources)
        self.assertEqual(len(ours), 400)

    def test_owner_as_ifind_says(self):
        need_tools(self, "ifind", "ffind")
        img, sources = self.build("owned", 12, 1440, "/FOLDER", 40, (100, 3000),
                                  "photo file number %03d long name.dat")
        env = dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1")
        subprocess.run([which("mmd"), "-i", img, "::/LIVE"], check=True, env=env, timeout=120)
        with open(self.path("gone.bin"), "wb") as f:
            f.write(os.urandom(3000))
        subprocess.run([which("mcopy"), "-i", img, self.path("gone.bin"), "::/LIVE/gone file.bin"],
                       check=True, env=env, timeout=120)
        subprocess.run([which("mdel"), "-i", img, "::/LIVE/gone file.bin"], check=True, env=env,
                       timeout=120)
        info = json.loads(run("info", "--json", img).stdout)
        vol = info.get("volume", info)
        first_data = vol["data_start"]

        def cluster_of(path, deleted=False):
            j = json.loads(run("stat", "--json", *(["-a"] if deleted else []), img, path).stdout)
            return j["cluster"]

        def tsk_owner(cluster):
            r = subprocess.run([which("ifind"), "-d", str(first_data + cluster - 2), img],
                               stdout=subprocess.PIPE, timeout=120)
            inode = text(r.stdout).strip()
            if not inode.isdigit():
                return None
            r = subprocess.run([which("ffind"), img, inode], stdout=subprocess.PIPE, timeout=120)
            return text(r.stdout).strip().lstrip("* ")

        cases = [("/keep.bin", False), ("/LIVE", False), ("/LIVE/gone file.bin", True)]
        for path, deleted in cases:
            with self.subTest(path):
                c = cluster_of(path, deleted)
                r = run("owner", *(["-a"] if deleted else []), img, str(c))
                self.assertEqual(r.returncode, 0, text(r.stderr))
                self.assertEqual(text(r.stdout).split("  [")[0].strip(), path)
                self.assertEqual(tsk_owner(c), path)
                if deleted:
                    self.assertEqual(run("owner", img, str(c)).returncode, 1)
        # An orphaned file: TSK under $OrphanFiles, we under /$Orphans.
        j = json.loads(run("ls", "-a", "--json", img, "/$Orphans").stdout)
        e = j["entries"][-1]
        r = run("owner", "-a", "--json", img, str(e["cluster"]))
        owners = json.loads(r.stdout)["owners"]
        self.assertEqual([o["deleted"] for o in owners], [True])
        self.assertTrue(owners[0]["path"].startswith("/$Orphans/"))
        self.assertIn("$OrphanFiles/" + e["short_name"], tsk_owner(e["cluster"]))
        # The last cluster is free: nobody holds it, for TSK neither.
        last = vol["clusters"] + 1
        r = run("owner", "-a", img, str(last))
        self.assertEqual((r.returncode, text(r.stdout)), (1, "free\n"))
        self.assertIsNone(tsk_owner(last))
        self.assertEqual(run("owner", img, "1").returncode, 2)

    # fatcat as a second oracle (run, never read). Where it says less than we do:
    # - `fatcat -o` looks only at chains still marked used in the FAT that no entry reaches: a
    #   deleted folder's clusters are free, so every folder the tests above bring back from
    #   /$Orphans is invisible to it ("There is no orphaned chains").
    # - An orphaned directory is named by its first cluster, and every lost cluster after it is
    #   lumped into its range ("Directory clusters 3 to 46"); /$Orphans lists its entries.
    # - `fatcat -k` finds only an entry whose first cluster is the one asked: a cluster further
    #   down a chain, or one of an orphan whose folder's first cluster was taken again, has "No
    #   entry found"; `owner` names the file whose chain (or recovered run) holds it.
    # - A deleted 8.3 name loses its first character ("/DCIM/00CANON"); ours shows "_".
    # Where it says more: a deleted folder whose clusters are still marked used (a lost folder)
    # is named by `fatcat -k` through its deleted entry; `owner` names /$Orphans first, then
    # the deleted entry too, which lists the folder along its chain.

    def fatcat(self, img, *args):
        r = subprocess.run([which("fatcat"), img, *args], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=120)
        return text(r.stdout)

    def fatcat_orphans(self, img):
        """What fatcat -o lists: {directory cluster: {(8.3 name, first cluster)}}."""
        out, at = {}, None
        for line in self.fatcat(img, "-o").splitlines():
            m = re.match(r"In directory with cluster (\d+):", line)
            if m:
                at = out.setdefault(int(m.group(1)), set())
                continue
            m = re.match(r"[fd] \S+ \S+\s+(.*?)\s+c=(\d+)", line)
            if m and at is not None:
                name = m.group(1)
                short = re.search(r"\(([^()]*)\)$", name)
                at.add(((short.group(1) if short else name).rstrip("/"), int(m.group(2))))
        return out

    def fatcat_owner(self, img, cluster):
        """The path fatcat -k names for `cluster`, or None."""
        m = re.search(r"^Found (.*) in directory ", self.fatcat(img, "-k", str(cluster)), re.M)
        return m.group(1) if m else None

    def test_lost_folder_as_fatcat_finds_it(self):
        """A folder whose entry was deleted while its clusters stayed marked used (a cut
        remove, a careless tool): fatcat -o finds the directory and its entries, and
        /$Orphans lists the same 8.3 names at the same first clusters."""
        need_tools(self, "mkfs.fat", "mcopy", "mmd", "fatcat")
        env = dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1")
        rnd = random.Random("lost")
        src = self.path("lost-src")
        os.makedirs(src)
        sources = {}
        for i in range(12):
            sources["photo %03d with a long name.jpg" % i] = rnd.randbytes(rnd.randint(100, 3000))
            with open(os.path.join(src, "photo %03d with a long name.jpg" % i), "wb") as f:
                f.write(sources["photo %03d with a long name.jpg" % i])
        with open(self.path("gone.bin"), "wb") as f:
            f.write(rnd.randbytes(1500))
        for fat, sectors in ((16, 8192), (32, 40000)):
            with self.subTest(fat=fat):
                img = self.path("lost%d.img" % fat)
                subprocess.run([which("mkfs.fat"), "-C", "-F", str(fat), "-s", "1", img,
                                str(sectors)], check=True, stdout=subprocess.DEVNULL, timeout=120)
                for d in ("::/DCIM", "::/DCIM/100CANON"):
                    subprocess.run([which("mmd"), "-i", img, d], check=True, env=env, timeout=120)
                subprocess.run([which("mcopy"), "-i", img] + sorted(
                    os.path.join(src, n) for n in os.listdir(src)) + ["::/DCIM/100CANON/"],
                               check=True, env=env, timeout=120)
                # A file deleted in its own right, in the free clusters after the folder's.
                for tool, args in (("mcopy", [self.path("gone.bin"), "::/gone.bin"]),
                                   ("mdel", ["::/gone.bin"])):
                    subprocess.run([which(tool), "-i", img] + args, check=True, env=env,
                                   timeout=120)
                stat = lambda p: json.loads(run("stat", "--json", img, p).stdout)["cluster"]
                parent, folder = stat("/DCIM"), stat("/DCIM/100CANON")
                start = info_json(img).get("volume", {}).get("data_start")
                d = bytearray(open(img, "rb").read())
                at = (start + parent - 2) * 512
                i = d.index(b"100CANON   ", at, at + 512)
                d[i] = 0xE5  # deleted, its chains left standing
                open(img, "wb").write(d)

                theirs = self.fatcat_orphans(img)
                self.assertEqual(list(theirs), [folder])
                j = json.loads(run("ls", "-a", "--json", img, "/$Orphans").stdout)
                ours = {(e["short_name"], e["cluster"]) for e in j["entries"]}
                self.assertEqual(len(ours), 12)
                self.assertEqual(ours, theirs[folder])
                r = run("owner", "-a", img, str(folder))
                self.assertEqual(text(r.stdout).split("  [")[0], "/$Orphans")
                self.assertEqual(self.fatcat_owner(img, folder), "/DCIM/00CANON")

                # Its files are read through the chains that still stand, its long names go on
                # across the folder's clusters, and its deleted entry lists it along its chain.
                for d in ("/$Orphans", "/DCIM/_00CANON"):
                    with self.subTest(d, what="names"):
                        j = json.loads(run("ls", "-a", "--json", img, d).stdout)
                        self.assertEqual(sorted(e["name"] for e in j["entries"]
                                                if e["name"] not in (".", "..")), sorted(sources))
                    with self.subTest(d, what="cat"):
                        # By size (all differ): found whichever name the entry shows.
                        listed = {e["size"]: e["name"] for e in j["entries"]}
                        self.assertEqual(len({len(b) for b in sources.values()}), len(sources))
                        for name, data in sources.items():
                            self.assertIn(len(data), listed, name)
                            r = run("cat", "-a", img, d + "/" + listed[len(data)])
                            self.assertEqual(r.returncode, 0, text(r.stderr))
                            self.assertTrue(r.stdout == data, "%s/%s differs" % (d, name))
                # Free clusters belong to the file deleted there, not to the lost folder's files.
                with self.subTest(what="owner"):
                    gone = json.loads(run("ls", "-a", "--json", img, "/").stdout)["entries"]
                    gone = [e for e in gone if e["size"] == 1500]
                    self.assertEqual(len(gone), 1)
                    for c in (gone[0]["cluster"], gone[0]["cluster"] + 2):
                        r = run("owner", "-a", img, str(c))
                        self.assertEqual([l.split("  [")[0] for l in text(r.stdout).splitlines()],
                                         ["/" + gone[0]["name"]], c)

    def test_deleted_folders_and_owner_as_fatcat_says(self):
        need_tools(self, "fatcat")
        img, sources = self.build("fatcat", 32, 40000, "/DCIM/100CANON", 60, (1000, 4000),
                                  "IMG_%04d.JPG")
        # The folder's clusters are free: fatcat -o sees no orphan, we bring every file back.
        self.assertEqual(self.fatcat_orphans(img), {})
        self.assertIn("There is no orphaned chains", self.fatcat(img, "-o"))
        j = json.loads(run("ls", "-a", "--json", img, "/$Orphans").stdout)
        self.assertEqual(len(j["entries"]), 60)
        env = dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1")
        subprocess.run([which("mmd"), "-i", img, "::/LIVE"], check=True, env=env, timeout=120)
        with open(self.path("gone.bin"), "wb") as f:
            f.write(os.urandom(3000))
        subprocess.run([which("mcopy"), "-i", img, self.path("gone.bin"), "::/LIVE/gone file.bin"],
                       check=True, env=env, timeout=120)
        subprocess.run([which("mdel"), "-i", img, "::/LIVE/gone file.bin"], check=True, env=env,
                       timeout=120)

        def cluster_of(path, deleted=False):
            j = json.loads(run("stat", "--json", *(["-a"] if deleted else []), img, path).stdout)
            return j["cluster"]

        def ours(cluster, deleted):
            r = run("owner", *(["-a"] if deleted else []), img, str(cluster))
            self.assertEqual(r.returncode, 0, text(r.stderr))
            return [l.split("  [")[0] for l in text(r.stdout).splitlines()]

        for path, deleted in (("/keep.bin", False), ("/DCIM", False), ("/LIVE", False),
                              ("/LIVE/gone file.bin", True)):
            with self.subTest(path):
                c = cluster_of(path, deleted)
                self.assertEqual(ours(c, deleted), [path])
                self.assertEqual(self.fatcat_owner(img, c).lower(), path.lower())
        # Past a chain's first cluster, and an orphan whose folder's first cluster was taken
        # again: fatcat finds no entry.
        with self.subTest("second cluster"):
            c = cluster_of("/LIVE/gone file.bin", True) + 1
            self.assertEqual(ours(c, True), ["/LIVE/gone file.bin"])
            self.assertIsNone(self.fatcat_owner(img, c))
        with self.subTest("orphan"):
            e = j["entries"][0]
            self.assertEqual(ours(e["cluster"], True), ["/$Orphans/" + e["name"]])
            self.assertIsNone(self.fatcat_owner(img, e["cluster"]))


NO_FUSE = ("dorvex: mount: this dorvex was built without FUSE (libfuse 3): mounting is not "
           "available\n")


class Mount(Base):
    """The volume mounted read-only through FUSE: every program sees the tree `get`
    extracts, with its times, and statfs the volume's clusters."""

    def setUp(self):
        super().setUp()
        if not os.path.exists("/dev/fuse"):
            if IN_CI:
                self.fail("no /dev/fuse (CI=true: FUSE must work there)")
            self.skipTest("needs /dev/fuse")
        need_tools(self, "fusermount3")
        r = run("mount", "x", "y")
        if "without FUSE" in text(r.stderr):
            self.assertEqual((r.returncode, text(r.stderr)), (1, NO_FUSE))
            # a 32-bit build on a 64-bit host has no libfuse3 to link (tools/portability.sh)
            if IN_CI and not os.environ.get("DORVEX_TEST_FUSE_OPTIONAL"):
                self.fail("dorvex built without libfuse3 (CI=true: tools/deps.sh installs it)")
            self.skipTest("dorvex built without libfuse3")

    def tearDown(self):
        # Whatever a failed test left mounted below its folder goes before the folder does.
        with open("/proc/mounts") as f:
            points = [l.split()[1] for l in f if l.split()[1].startswith(self.tmp + "/")]
        for at in reversed(points):
            subprocess.run(["fusermount3", "-u", "-z", at], stderr=subprocess.DEVNULL)
        super().tearDown()

    def mounted(self, img):
        at = self.path("mnt")
        os.makedirs(at, exist_ok=True)
        r = run("mount", img, at)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.addCleanup(lambda: run("umount", at))
        return at

    def exfat_image(self):
        at = self.path("camera.img")
        with lzma.open(os.path.join(EXFAT_DIR, "camera.img.xz")) as f:
            open(at, "wb").write(f.read())
        return at

    def test_tree_matches_get(self):
        for make in (self.exfat_image, self.sample_image):
            img = make()
            at = self.mounted(img)
            got = self.path("got")
            r = run("get", "-q", img, "/", got)
            self.assertEqual(r.returncode, 0, text(r.stderr))
            d = subprocess.run(["diff", "-r", at, got], stdout=subprocess.PIPE)
            self.assertEqual((d.returncode, text(d.stdout)), (0, ""), img)
            walked = 0
            for root, dirs, files in os.walk(got):
                for name in files:
                    rel = os.path.relpath(os.path.join(root, name), got)
                    a, b = os.stat(os.path.join(at, rel)), os.stat(os.path.join(got, rel))
                    self.assertEqual((a.st_mtime_ns, a.st_size, a.st_mode & 0o222),
                                     (b.st_mtime_ns, b.st_size, 0), rel)
                    walked += 1
            self.assertGreater(walked, 3, img)
            v, fs = info_json(img)["volume"], os.statvfs(at)
            self.assertEqual((fs.f_frsize, fs.f_blocks, fs.f_bfree),
                             (v["bytes_per_cluster"], v["clusters"], v["free_clusters"]), img)
            self.assertEqual(run("umount", at).returncode, 0)
            shutil.rmtree(got)

    def test_read_only(self):
        at = self.mounted(self.sample_image())
        some = os.path.join(at, sorted(f for f in os.listdir(at)
                                       if os.path.isfile(os.path.join(at, f)))[0])
        for act in (lambda: open(some, "r+b"), lambda: open(os.path.join(at, "new"), "wb"),
                    lambda: os.mkdir(os.path.join(at, "d")), lambda: os.unlink(some)):
            with self.assertRaises(OSError) as e:
                act()
            self.assertEqual(e.exception.errno, errno.EROFS)
        with self.assertRaises(FileNotFoundError):
            os.stat(os.path.join(at, "no such file"))
        # exFAT is read-only in the library: -o rw says so before mounting.
        r = run("mount", "-o", "rw", self.exfat_image(), self.path("mnt"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("exFAT volumes are read-only", text(r.stderr))

    # Run in the mounted volume and in a host directory: the results must match. Appends
    # between other files' writes fragment grow.bin (one-sector clusters), so reading it
    # back takes several runs of the image.
    WORKLOAD = r"""set -e
cp -r "$SRC" tree
for i in 1 2 3 4 5 6; do
    head -c 1300 "$SRC/big.bin" >> grow.bin
    printf 'entry %s\n' $i >> tree/log.txt
    head -c $((i * 700)) "$SRC/big.bin" > tree/part$i.bin
done
dd if="$SRC/big.bin" of=tree/big.bin bs=1000 skip=7 seek=3 count=2 conv=notrunc status=none
truncate -s 1000 tree/sub/deep/small.txt
truncate -s 20000 tree/part2.bin
mv tree/sub/deep tree/moved
mv tree/part1.bin tree/part3.bin
mv grow.bin tree/moved/Grow.bin
mkdir tree/empty tree/gone
cp tree/part4.bin tree/gone/
rm -r tree/gone tree/sub
rmdir tree/empty
rm tree/part5.bin
chmod a-w tree/part6.bin
touch -d 2021-03-04T05:06:08 tree/part6.bin
"""

    @need_dosfstools
    @need_mtools
    def test_read_write_workload(self):
        src = self.path("src")
        os.makedirs(os.path.join(src, "sub", "deep"))
        rnd = random.Random(7)
        open(os.path.join(src, "big.bin"), "wb").write(rnd.randbytes(40000))
        open(os.path.join(src, "sub", "deep", "small.txt"), "w").write("small\n" * 400)
        img = self.path("rw.img")
        with open(img, "wb") as f:
            f.truncate(40 << 20)  # FAT32 needs 65,525 clusters
        subprocess.run([which("mkfs.fat"), "-F", "32", "-s", "1", img], check=True,
                       stdout=subprocess.DEVNULL)
        host = self.path("host")
        os.makedirs(host)
        at = self.path("mnt")
        os.makedirs(at)
        self.assertEqual(run("mount", "-o", "rw", img, at).returncode, 0)
        self.addCleanup(lambda: run("umount", at))
        for where in (host, at):
            r = subprocess.run(["bash", "-c", self.WORKLOAD], cwd=where,
                               env=dict(os.environ, SRC=src), stderr=subprocess.PIPE)
            self.assertEqual(r.returncode, 0, (where, text(r.stderr)))
        st = os.stat(os.path.join(at, "tree", "part6.bin"))
        self.assertEqual((st.st_mode & 0o222, st.st_mtime), (0, os.stat(
            os.path.join(host, "tree", "part6.bin")).st_mtime))
        self.assertEqual(run("umount", at).returncode, 0)
        fsck_clean(self, img)
        got, copied = self.path("got"), self.path("copied")
        self.assertEqual(run("get", "-q", img, "/", got).returncode, 0)
        os.makedirs(copied)
        subprocess.run([which("mcopy"), "-s", "-n", "-i", img, "::/tree", copied], check=True,
                       env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1"))
        again = self.mounted(img)  # read back through the mount: runs handed to the kernel
        for tree in (got, copied, again):
            d = subprocess.run(["diff", "-r", host, tree], stdout=subprocess.PIPE)
            self.assertEqual((d.returncode, text(d.stdout)), (0, ""), tree)

    def fat_image(self, name, kib, files, fat=None):
        """An image made by mkfs.fat holding `files` ({name: bytes}) copied in by mcopy."""
        img = self.path(name)
        subprocess.run([which("mkfs.fat"), "-C", "-s", "1", img, str(kib)] +
                       (["-F", str(fat)] if fat else []), check=True, stdout=subprocess.DEVNULL)
        for n, data in files.items():
            host = self.path("f")
            open(host, "wb").write(data)
            subprocess.run([which("mcopy"), "-i", img, host, "::" + n], check=True,
                           env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1"))
        return img

    def test_large_directory_read_in_batches(self):
        # Far more entries than one reply holds: read out by offset from one listing,
        # then written to (-o rw) and read out again.
        src = self.path("src")
        os.makedirs(os.path.join(src, "D"))
        for i in range(1500):
            open(os.path.join(src, "D", "photo_%04d.jpg" % i), "w").write("x" * (i % 7))
        img = self.path("many.img")
        self.assertEqual(run("mkimage", "-q", src, img).returncode, 0)
        at = self.path("mnt")
        os.makedirs(at)
        for opts in ("ro", "rw"):
            self.assertEqual(run("mount", "-o", opts, img, at).returncode, 0)
            names = sorted(os.listdir(os.path.join(at, "D")))
            self.assertEqual(names, sorted(os.listdir(os.path.join(src, "D"))), opts)
            for n in names[::97]:
                self.assertEqual(os.stat(os.path.join(at, "D", n)).st_size, int(n[6:10]) % 7)
            if opts == "rw":
                fd = os.open(os.path.join(at, "D"), os.O_RDONLY)
                self.assertEqual(len(os.listdir(fd)), 1500)
                for i in range(20):  # the listing kept up to date in place
                    open(os.path.join(at, "D", "new_%d.txt" % i), "w").write("n" * i)
                os.lseek(fd, 0, os.SEEK_SET)  # rewinddir sees what was made since
                self.assertEqual(len(os.listdir(fd)), 1520)
                os.close(fd)
                os.unlink(os.path.join(at, "D", "photo_0003.jpg"))
                self.assertEqual(len(os.listdir(os.path.join(at, "D"))), 1519)
                self.assertEqual(os.stat(os.path.join(at, "D", "new_7.txt")).st_size, 7)
                with self.assertRaises(FileNotFoundError):
                    os.stat(os.path.join(at, "D", "photo_0003.jpg"))
            self.assertEqual(run("umount", at).returncode, 0)

    @need_dosfstools
    @need_mtools
    def test_deleted_entries_read_as_get_recovers_them(self):
        photo = random.Random(3).randbytes(30000)
        img = self.fat_image("del.img", 4096, {"photo.jpg": photo, "keep.txt": b"kept\n"})
        need_tools(self, "mdel")
        subprocess.run([which("mdel"), "-i", img, "::/photo.jpg"], check=True,
                       env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1"))
        r = run("mount", "-o", "rw", "--deleted", img, self.path("mnt"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("--deleted mounts read-only", text(r.stderr))
        at = self.path("mnt")
        os.makedirs(at)
        self.assertEqual(run("mount", "--deleted", img, at).returncode, 0)
        self.addCleanup(lambda: run("umount", at))
        got = self.path("got")
        self.assertEqual(run("get", "-q", "--deleted", img, "/", got).returncode, 0)
        self.assertEqual(sorted(os.listdir(at)), sorted(os.listdir(got)))
        self.assertEqual(sorted(os.listdir(at)), ["_hoto.jpg", "keep.txt"])
        self.assertEqual(open(os.path.join(at, "_hoto.jpg"), "rb").read(), photo)
        for act in (lambda: open(os.path.join(at, "_hoto.jpg"), "r+b"),
                    lambda: os.unlink(os.path.join(at, "_hoto.jpg"))):
            with self.assertRaises(OSError) as e:
                act()
            self.assertEqual(e.exception.errno, errno.EROFS)

    @need_dosfstools
    @need_mtools
    def test_image_locked_against_a_second_writable_mount(self):
        img = self.fat_image("lock.img", 2048, {"a.txt": b"a\n"})
        first, second = self.path("m1"), self.path("m2")
        os.makedirs(first)
        os.makedirs(second)
        for opts, other, said in (("ro", "ro", None), ("ro", "rw", "another mount"),
                                  ("rw", "ro", "a -o rw mount"), ("rw", "rw", "another mount")):
            with self.subTest(first=opts, second=other):
                self.assertEqual(run("mount", "-o", opts, img, first).returncode, 0)
                r = run("mount", "-o", other, img, second)
                if not said:
                    run("umount", second)
                # the writing commands refuse an image a mount serves, of either kind
                src = self.path("put.txt")
                open(src, "wb").write(b"p\n")
                for args in (["put", img, src, "/"], ["mkdir", img, "/d"],
                             ["check", "--repair", img], ["mkfs", "--force", img]):
                    w = run(*args)
                    self.assertEqual((w.returncode, text(w.stderr)),
                                     (1, "dorvex: %s: in use by a mount (unmount it first)\n"
                                      % img), args)
                self.assertEqual(run("umount", first).returncode, 0)
                self.assertEqual(r.returncode, 1 if said else 0, text(r.stderr))
                if said:
                    self.assertIn("lock.img: in use by %s (unmount it first)" % said,
                                  text(r.stderr))

    @need_dosfstools
    @need_mtools
    def test_damaged_volume_asked_for_rw_mounts_read_only(self):
        img = self.fat_image("loop.img", 40000, {"F1.BIN": bytes(5000)}, fat=32)
        d = bytearray(open(img, "rb").read())
        set_fat32(d, fat32_layout(d), 5, 4)  # F1.BIN's chain comes back
        open(img, "wb").write(d)
        at = self.path("mnt")
        os.makedirs(at)
        r = run("mount", "-o", "rw", img, at)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        self.addCleanup(lambda: run("umount", at))
        self.assertIn("/F1.BIN: cluster chain loops): mounted read-only", text(r.stderr))
        with self.assertRaises(OSError) as e:
            open(os.path.join(at, "new"), "wb")
        self.assertEqual(e.exception.errno, errno.EROFS)
        self.assertEqual(bytes(d), open(img, "rb").read())

    @need_dosfstools
    @need_mtools
    def test_errors_come_back_as_errno(self):
        img = self.fat_image("tiny.img", 1024, {})
        at = self.path("mnt")
        os.makedirs(at)
        self.assertEqual(run("mount", "-o", "rw", img, at).returncode, 0)
        self.addCleanup(lambda: run("umount", at))
        p = lambda *n: os.path.join(at, *n)
        os.mkdir(p("d"))
        open(p("d", "f"), "w").write("x")
        free = os.statvfs(at).f_bfree
        with open(p("one"), "wb") as f:
            f.write(bytes(100000))
            f.flush()  # df counts what is written, also before the file is closed
            self.assertEqual(os.statvfs(at).f_bfree, free - 196)  # 512-byte clusters

        def fill():
            with open(p("big"), "wb") as f:
                for _ in range(300):
                    f.write(bytes(4096))
        for act, code in ((lambda: os.rmdir(p("d")), errno.ENOTEMPTY),
                          (lambda: os.rmdir(p("d", "f")), errno.ENOTDIR),
                          (lambda: os.unlink(p("d")), errno.EISDIR),
                          (lambda: open(p("x" * 256), "w"), errno.ENAMETOOLONG),
                          (lambda: open(p("\u00e9" * 200), "w"), errno.ENAMETOOLONG),
                          (lambda: open(p("a*b"), "w"), errno.EINVAL),
                          (lambda: os.mkdir(p("end.")), errno.EINVAL),
                          (lambda: os.rename(p("one"), p("d", "f|")), errno.EINVAL),
                          (fill, errno.ENOSPC)):
            with self.assertRaises(OSError) as e:
                act()
            self.assertEqual(e.exception.errno, code)
        # -o rw checks permissions itself: the read-only attribute denies writing (but
        # to root, as everywhere), no file executes, directories take new names.
        os.chmod(p("d", "f"), 0o444)
        root = os.getuid() == 0
        self.assertEqual([os.access(p("d", "f"), os.W_OK), os.access(p("d", "f"), os.X_OK),
                          os.access(p("d"), os.W_OK | os.X_OK)], [root, False, True])
        for act in (lambda: open(p("d", "f"), "ab").write(b"y"),
                    lambda: os.truncate(p("d", "f"), 1)):
            if root:
                act()
            else:
                with self.assertRaises(PermissionError):
                    act()
        os.unlink(p("one"))
        self.assertEqual(os.statvfs(at).f_bfree, free)
        self.assertEqual(run("umount", at).returncode, 0)
        fsck_clean(self, img)


class Forensics(Base):
    """ls --bodyfile line for line beside The Sleuth Kit's fls -m; get --hash sha256
    manifests checked by sha256sum -c and hashlib."""

    def mtools(self, tool, img, *args):
        subprocess.run([which(tool), "-i", img, *args], check=True, stdout=subprocess.DEVNULL,
                       env=dict(MTOOLS_ENV, MTOOLS_SKIP_CHECK="1"), timeout=120)

    def card(self, fat, kib):
        """An image as a camera and a PC leave it: long and 8.3 names, a label, read-only and
        hidden files, a deleted file and a deleted directory."""
        img = self.path("fat%d.img" % fat)
        subprocess.run([which("mkfs.fat"), "-C", "-F", str(fat), "-n", "CARD", img, str(kib)],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        host = self.path("data")
        with open(host, "wb") as f:
            f.write(os.urandom(3000))
        self.mtools("mmd", img, "::/DCIM", "::/DCIM/100CANON", "::/Old photos")
        for name in ("::/DCIM/100CANON/IMG_0001.JPG", "::/DCIM/100CANON/Holiday at sea.jpg",
                     "::/readme.txt", "::/RO.TXT", "::/HID.TXT", "::/gone.txt",
                     "::/Deleted long name.bin", "::/Old photos/in.jpg"):
            self.mtools("mcopy", img, host, name)
        self.mtools("mattrib", img, "+r", "::/RO.TXT")
        self.mtools("mattrib", img, "+h", "::/HID.TXT")
        self.mtools("mdel", img, "::/gone.txt", "::/Deleted long name.bin")
        self.mtools("mdeltree", img, "::/Old photos")
        # After the root's last entry: slots fls passes over (wiped to 0xE5 and zeros, a
        # forbidden character), an 8.3 name with a byte above 0x7E, creation times 100 and
        # 150 hundredths of a second past their even second.
        d = bytearray(open(img, "rb").read())
        bps, spc, reserved, nfats = struct.unpack_from("<HBHB", d, 11)
        fat_size = struct.unpack_from("<H", d, 22)[0] or struct.unpack_from("<I", d, 36)[0]
        root = (reserved + nfats * fat_size) * bps  # FAT32: cluster 2, the root's first
        slots = [d[root + 32 * i:root + 32 * i + 32] for i in range(bps // 32)]
        live = next(e for e in slots if e[:11] == b"README  TXT")
        end = next(i for i, e in enumerate(slots) if e[0] == 0)
        self.assertLessEqual(end + 4, len(slots))
        for i, e in enumerate([b"\xe5" + bytes(31), b"ABC\x80EFG TXT" + live[11:13] + b"d" + live[14:],
                               b"ABC*EFG TXT" + live[11:],
                               b"\xe5BCDEFG TXT" + live[11:13] + b"\x96" + live[14:]]):
            d[root + 32 * (end + i):root + 32 * (end + i + 1)] = e
        open(img, "wb").write(d)
        return img

    def fls(self, img, *extra, zone=ZONE):
        r = subprocess.run([which("fls"), "-r", "-m", "/", *extra, img], stdout=subprocess.PIPE,
                           env=dict(TOOL_ENV, TZ=zone), timeout=120, check=True)
        return text(r.stdout)

    def test_bodyfile_is_what_fls_writes(self):
        need_tools(self, "mkfs.fat", "mcopy", "fls", "mactime")
        for fat, kib in ((12, 1440), (16, 16384), (32, 40000)):
            img = self.card(fat, kib)
            with self.subTest(fat=fat):
                r = run("ls", "-aR", "--bodyfile", img)
                self.assertEqual(r.returncode, 0, text(r.stderr))
                got = text(r.stdout)
                self.assertEqual(got, self.fls(img))
                self.assertIn(" (deleted)|", got)
                self.assertIn("/Old photos/_n.jpg (deleted)|", got)
                self.assertIn("0|/abc^efg.txt|", got)  # README.TXT's lower-case flags
                self.assertNotIn("ABC*EFG", got)
                # Without -a what fls calls allocated; --utc as fls reads times in UTC.
                r = run("ls", "-R", "--bodyfile", img)
                self.assertEqual(text(r.stdout), self.fls(img, "-u"))
                r = run("--utc", "ls", "-aR", "--bodyfile", img)
                self.assertEqual(text(r.stdout), self.fls(img, zone="UTC"))
                # A directory below the root: its part of the tree, nothing after it.
                r = run("ls", "-R", "--bodyfile", img, "/DCIM")
                self.assertEqual(text(r.stdout).splitlines(),
                                 [ln for ln in self.fls(img, "-u").splitlines()
                                  if ln.startswith("0|/DCIM/")])
        body = self.path("body.txt")
        with open(body, "w") as f:
            f.write(text(run("ls", "-aR", "--bodyfile", img).stdout))
        r = subprocess.run([which("mactime"), "-b", body, "-d"], stdout=subprocess.PIPE,
                           env=TOOL_ENV, timeout=120)
        self.assertEqual(r.returncode, 0)
        self.assertIn("/DCIM/100CANON/Holiday at sea.jpg", text(r.stdout))

    def test_bodyfile_refuses_files_and_exfat(self):
        img = self.sample_image()
        r = run("ls", "--bodyfile", img, "/README.txt")
        self.assertEqual(r.returncode, 1)
        self.assertIn("Not a directory", text(r.stderr))
        exfat = self.path("camera.img")
        with lzma.open(os.path.join(EXFAT_DIR, "camera.img.xz")) as f:
            open(exfat, "wb").write(f.read())
        r = run("ls", "-R", "--bodyfile", exfat)
        self.assertEqual((r.returncode, r.stdout), (1, b""))
        self.assertIn("FAT12/16/32 volumes only", text(r.stderr))

    # (content, SHA-256): FIPS 180 examples, and lengths about the padding's edges.
    VECTORS = [
        (b"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
        (b"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
        (b"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"),
        (b"a" * 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"),
    ] + [(bytes(range(n % 256)) * (n // 256 + 1), None) for n in (55, 56, 63, 64, 65, 119, 4097)]

    def test_get_hash_manifest(self):
        need_tools(self, "mkfs.fat", "mcopy")
        img = self.path("h.img")
        subprocess.run([which("mkfs.fat"), "-C", "-F", "16", img, "16384"], check=True,
                       stdout=subprocess.DEVNULL, timeout=120)
        self.mtools("mmd", img, "::/sub")
        want = {}
        for i, (data, digest) in enumerate(self.VECTORS):
            host = self.path("v%d" % i)
            with open(host, "wb") as f:
                f.write(data)
            self.assertEqual(hashlib.sha256(data).hexdigest(), digest or
                             hashlib.sha256(data).hexdigest())
            name = "sub/f%d.bin" % i if i % 2 else "f%d.bin" % i
            self.mtools("mcopy", img, host, "::/" + name)
            want[name] = hashlib.sha256(data).hexdigest()
        # A deleted file whose name a live one has: written (and listed) as a substitute.
        self.mtools("mcopy", img, self.path("v2"), "::/Report.txt")
        self.mtools("mcopy", img, self.path("v1"), "::/Reporx.txt")
        self.mtools("mdel", img, "::/Reporx.txt")
        # Its long-name entry: units 1-5 at offset 1, unit 6 at offset 14.
        raw = bytearray(open(img, "rb").read())
        at = [m.start() for m in re.finditer(re.escape("Repor".encode("utf-16-le")), raw)
              if raw[m.start() + 13] == ord("x")]
        self.assertEqual(len(at), 1)
        raw[at[0] + 13] = ord("t")
        open(img, "wb").write(raw)
        want["Report.txt"] = hashlib.sha256(self.VECTORS[2][0]).hexdigest()
        want["Report~1.txt"] = hashlib.sha256(self.VECTORS[1][0]).hexdigest()
        dest = self.path("out")
        r = run("get", "-a", "--hash", "sha256", img, "/", dest)
        self.assertEqual(r.returncode, 0, text(r.stderr))
        lines = text(r.stdout).splitlines()
        got = {ln[66:]: ln[:64] for ln in lines}
        self.maxDiff = None
        self.assertEqual(got, want)
        for name, digest in want.items():
            with open(os.path.join(dest, name), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest, name)
        # --manifest FILE, for sha256sum -c in DEST; stdout stays empty.
        manifest = self.path("m.sha256")
        r = run("get", "-f", "--hash", "sha256", "--manifest", manifest, img, "/sub", dest + "/")
        self.assertEqual((r.returncode, r.stdout), (0, b""), text(r.stderr))
        with open(manifest) as f:
            self.assertEqual(sorted(f.read().splitlines()),
                             sorted("%s  sub/%s" % (want[n], n[4:]) for n in want
                                    if n.startswith("sub/")))
        if need_tools(self, "sha256sum", skip=False):
            c = subprocess.run([which("sha256sum"), "-c", manifest], cwd=dest,
                               stdout=subprocess.PIPE, timeout=120)
            self.assertEqual(c.returncode, 0, text(c.stdout))
        # An image cut inside the 1,000,000-byte file: what cannot be read whole is not listed.
        cut = self.path("cut.img")
        with open(img, "rb") as f, open(cut, "wb") as g:
            g.write(f.read(600 * 1024))
        r = run("get", "--hash", "sha256", cut, "/", self.path("cut"))
        self.assertEqual(r.returncode, 1)
        got = {ln[66:]: ln[:64] for ln in text(r.stdout).splitlines()}
        self.assertNotIn("sub/f3.bin", got)
        self.assertTrue(got)
        for name, digest in got.items():
            self.assertEqual(digest, want[name], name)
        r = run("get", "--hash", "md5", img, "/", dest)
        self.assertEqual(r.returncode, 2)
        r = run("get", "--manifest", manifest, img, "/", dest)
        self.assertEqual(r.returncode, 2)


def main():
    global TOOL, SOURCE, EXAMPLES
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--examples")
    ap.add_argument("groups", nargs="*")
    a = ap.parse_args()
    TOOL = os.path.abspath(a.tool)
    SOURCE = os.path.abspath(a.source)
    EXAMPLES = a.examples and os.path.abspath(a.examples)
    loader = unittest.TestLoader()
    names = a.groups or [c.__name__ for c in Base.__subclasses__()]
    # GROUP or GROUP.test_name
    suite = unittest.TestSuite(loader.loadTestsFromName(n, sys.modules[__name__]) for n in names)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.testsRun and len(result.skipped) == result.testsRun:
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())
