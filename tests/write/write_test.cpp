// The write path against the independent tools: after every kind of change on FAT12, FAT16
// and FAT32 images from mkfs.fat, fsck.fat -n finds nothing and mcopy reads back exactly
// what was written; and a power loss at every write of representative operations leaves a
// volume where every earlier file is intact and fsck.fat finds only what a crash may leave.
// Skips when dosfstools or mtools are missing.
#include "write/write_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include <unistd.h>
#include <functional>
#include <set>
#include <string>
#include <tuple>

using namespace dvtest;

namespace {

const FatKind kKinds[] = {
    {"fat12", "-F 12", 1440},
    {"fat16", "-F 16 -s 1", 8192},
    {"fat32", "-F 32 -s 1", 34816},
    {"fat16_4k", "-F 16 -S 4096 -s 1", 32768},
    {"fat16_2k_clusters", "-F 16 -s 4", 16384}, // a file's partial cluster spans sectors
    {"fat12_grouped", "-F 12", 1440, true},
    {"fat32_grouped", "-F 32 -s 1", 34816, true},
    {"fat32_small", "-F 32 -s 1", 34816, false, small_config()},
    {"fat12_small_grouped", "-F 12", 1440, true, small_config()},
    {"fat16_4k_small", "-F 16 -S 4096 -s 1", 32768, false, small_config()},
    {"fat16_tight_grouped", "-F 16 -s 1", 8192, true, tight_config()},
    {"fat12_32k_small", "-F 12 -s 64", 34816, false, small_config()},
    {"fat12_32k_tight_grouped", "-F 12 -s 64", 34816, true, tight_config()},
};

class Write : public ::testing::TestWithParam<FatKind> {
  protected:
    void SetUp() override {
        DV_NEED_TOOLS("mkfs.fat", "fsck.fat", "mcopy");
        dir = scratch_dir("dorvex-write");
        img = std::make_unique<WImage>(tools, GetParam(), dir);
        ASSERT_FALSE(img->cur.empty());
    }
    // Closes the volume, checks it with fsck.fat and mcopy, and opens it again.
    void check(writefat_volume *&w, const char *step) {
        ASSERT_EQ(writefat_close(w), 0) << step;
        std::string report;
        EXPECT_TRUE(img->fsck(&report, false)) << step << "\n" << report;
        EXPECT_EQ(mtools_tree(*img, dir), want) << step;
        w = img->open();
        ASSERT_NE(w, nullptr) << step;
        EXPECT_EQ(reader_tree(w), want) << step;
        EXPECT_EQ(img->unaligned, 0) << step;
    }
    WriteTools tools;
    std::string dir;
    std::unique_ptr<WImage> img;
    std::map<std::string, std::string> want;
};

// The tests that apply to some kinds only, each suite instantiated with just those (below).
class WriteUngrouped : public Write {}; // the test chooses the grouping itself
class WriteSmall : public Write {};     // the small volumes cover it
class WriteFixedRoot : public Write {}; // FAT12/16: the root is a fixed region
class WriteFat32 : public Write {};     // FAT32: the root lies in clusters
class WriteTight : public Write {};     // a write state of a few KiB

bool is_fat32(const FatKind &k) {
    return std::string(k.mkfs_args).find("-F 32") != std::string::npos;
}

TEST_P(Write, EveryKindOfChangeStaysCleanAndReadsBack) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr) << img->err;
    const bool small = GetParam().kib < 2000;
    const std::string big = pattern(small ? 300000 : 1500000, 1);
    struct Put {
        const char *path;
        std::string data;
    } puts[] = {
        {"README.TXT", "upper 8.3\n"},
        {"readme2.txt", "lower 8.3\n"},
        {"Mixed.Txt", "mixed case\n"},
        {"A long file name.text", "long 1\n"},
        {"A long file name.texts", "long 2\n"},
        {"Ünïcödé ñame.txt", "unicode\n"},
        {".hidden rc", "dot first\n"},
        {"big.bin", big},
        {"empty.dat", ""},
        {"Docs/Deep Dir/leaf.bin", pattern(5000, 2)},
    };
    for (const char *d : {"Docs", "UPPER", "lower", "Docs/Deep Dir"}) {
        ASSERT_EQ(writefat_mkdir(w, d, 1700000000), 0) << d;
        want[std::string(d) + "/"] = "";
    }
    for (const auto &p : puts) {
        ASSERT_EQ(put(w, p.path, p.data), 0) << p.path;
        want[p.path] = digest(p.data);
    }
    check(w, "put and mkdir");

    EXPECT_EQ(put(w, "README.TXT", "again"), EEXIST);
    EXPECT_EQ(put(w, "readme.txt", "other case"), EEXIST);
    EXPECT_EQ(put(w, "ALONGF~1.TEX", "an alias"), EEXIST);
    EXPECT_EQ(put(w, "Docs", "a directory"), EISDIR);
    EXPECT_EQ(writefat_mkdir(w, "docs", 0), EEXIST);
    EXPECT_EQ(put(w, "nowhere/x", "x"), ENOENT);
    EXPECT_EQ(put(w, "README.TXT/x", "x"), ENOTDIR);
    EXPECT_EQ(put(w, "bad:name", "x"), EINVAL);
    EXPECT_EQ(put(w, "trailing.", "x"), EINVAL);
    ASSERT_EQ(put(w, "README.TXT", "replaced\n", WRITEFAT_REPLACE), 0);
    want["README.TXT"] = digest("replaced\n");
    ASSERT_EQ(put(w, "big.bin", "small now", WRITEFAT_REPLACE), 0);
    want["big.bin"] = digest("small now");
    check(w, "replace");

    ASSERT_EQ(writefat_rename(w, "Mixed.Txt", "Docs/Moved Mixed.txt"), 0);
    want["Docs/Moved Mixed.txt"] = want["Mixed.Txt"];
    want.erase("Mixed.Txt");
    ASSERT_EQ(writefat_rename(w, "lower", "Docs/Deep Dir/lower"), 0);
    want.erase("lower/");
    want["Docs/Deep Dir/lower/"] = "";
    ASSERT_EQ(writefat_rename(w, "UPPER", "Upper Renamed"), 0);
    want.erase("UPPER/");
    want["Upper Renamed/"] = "";
    ASSERT_EQ(writefat_rename(w, "readme2.txt", "README2.TXT"), 0); // case only
    want["README2.TXT"] = want["readme2.txt"];
    want.erase("readme2.txt");
    EXPECT_EQ(writefat_rename(w, "Docs", "Docs/Deep Dir/inside"), EINVAL);
    EXPECT_EQ(writefat_rename(w, "empty.dat", "README.TXT"), EEXIST);
    check(w, "rename and move");

    EXPECT_EQ(writefat_remove(w, "Docs"), ENOTEMPTY);
    EXPECT_EQ(writefat_remove(w, "no such"), ENOENT);
    EXPECT_EQ(writefat_remove(w, "/"), EINVAL);
    ASSERT_EQ(writefat_remove(w, "A long file name.text"), 0);
    want.erase("A long file name.text");
    ASSERT_EQ(writefat_remove(w, "Upper Renamed"), 0);
    want.erase("Upper Renamed/");
    ASSERT_EQ(remove_tree(w, "Docs"), 0);
    for (auto it = want.begin(); it != want.end();)
        it = it->first.rfind("Docs/", 0) == 0 ? want.erase(it) : std::next(it);
    check(w, "remove");

    ASSERT_EQ(writefat_setattr(w, "empty.dat", DV_ATTR_HIDDEN | DV_ATTR_ARCHIVE), 0);
    ASSERT_EQ(writefat_settimes(w, "README.TXT", DV_TIME_NONE, 1600000000, DV_TIME_NONE), 0);
    ASSERT_EQ(writefat_setlabel(w, "My Disk"), 0);
    EXPECT_EQ(writefat_setlabel(w, "bad*label"), EINVAL);
    check(w, "attributes, times, label");
    dv_entry st;
    ASSERT_EQ(readfat_stat(writefat_reader(w), "empty.dat", &st), 0);
    EXPECT_EQ(st.attr, unsigned{DV_ATTR_HIDDEN | DV_ATTR_ARCHIVE});
    ASSERT_EQ(readfat_stat(writefat_reader(w), "README.TXT", &st), 0);
    EXPECT_EQ(st.mtime64, 1600000000);
    EXPECT_EQ(writefat_close(w), 0);
    if (!tools.mdir.empty()) {
        run_logged("MTOOLS_SKIP_CHECK=1 " + shell_quote(tools.mdir) + " -i " +
                       shell_quote(img->path) + " :: >" + shell_quote(dir + "/mdir.txt"),
                   dir + "/mdir.log");
        const auto listing = read_whole(dir + "/mdir.txt");
        EXPECT_NE(std::string(listing.begin(), listing.end()).find("is MY DISK"),
                  std::string::npos);
    }
    w = img->open();
    ASSERT_NE(w, nullptr);

    // Fill the volume: the put that finds no room leaves nothing visible. (The small
    // volumes suffice: filling the large ones only costs time.)
    if (GetParam().kib > 10000) {
        EXPECT_EQ(writefat_close(w), 0);
        return;
    }
    int rc = 0;
    for (int i = 0; rc == 0 && i < 200; ++i) {
        const std::string name = "fill" + std::to_string(i) + ".bin";
        rc = put(w, name.c_str(), pattern(small ? 200000 : 8000000, unsigned(i)));
        if (rc == 0) want[name] = digest(pattern(small ? 200000 : 8000000, unsigned(i)));
    }
    EXPECT_EQ(rc, ENOSPC);
    check(w, "volume full");
    ASSERT_EQ(writefat_remove(w, "fill0.bin"), 0);
    want.erase("fill0.bin");
    ASSERT_EQ(put(w, "after.txt", "room again"), 0);
    want["after.txt"] = digest("room again");
    check(w, "room again");
    EXPECT_EQ(writefat_close(w), 0);
}

TEST_P(Write, NamesGetTheEntriesWindowsGivesThem) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    for (const char *n : {"UPPER.TXT", "lower.txt", "lbase.TXT", "UEXT.txt", "Mixed.txt",
                          "LONGNA~1.TXT", "Long name.txt", "Long name2.txt"})
        ASSERT_EQ(put(w, n, n), 0) << n;
    EXPECT_EQ(put(w, "longna~1.txt", "x"), EEXIST);
    // Past 4 GiB - 1 bytes: refused before a byte is read or written.
    int err = 0;
    writefat_file *f = writefat_create(w, "huge.bin", 0, &err);
    ASSERT_NE(f, nullptr);
    const char byte = 0;
    ASSERT_EQ(writefat_write(w, f, &byte, 1, &err), 0);
    EXPECT_EQ(writefat_write(w, f, &byte, UINT32_MAX, &err), -1);
    EXPECT_EQ(err, EFBIG);
    EXPECT_EQ(writefat_create(w, "other.bin", 0, &err), nullptr);
    EXPECT_EQ(err, EBUSY);
    writefat_abort(w, f);
    ASSERT_EQ(writefat_sync(w), 0); // the read side sees a group's names once synced
    readfat_dir *d = readfat_opendir(writefat_reader(w), "", &err);
    ASSERT_NE(d, nullptr);
    std::map<std::string, std::pair<std::string, unsigned>> got; // name -> alias, lcase
    while (const dv_entry *e = readfat_readdir(writefat_reader(w), d, &err)) {
        char name[800];
        dv_name_to_utf8(&e->name, name, sizeof name);
        got[name] = {std::string(e->shortname, 11), e->lcase};
    }
    readfat_closedir(writefat_reader(w), d);
    using P = std::pair<std::string, unsigned>;
    EXPECT_EQ(got["UPPER.TXT"], P("UPPER   TXT", 0u));
    EXPECT_EQ(got["lower.txt"], P("LOWER   TXT", 0x18u));
    EXPECT_EQ(got["lbase.TXT"], P("LBASE   TXT", 0x08u));
    EXPECT_EQ(got["UEXT.txt"], P("UEXT    TXT", 0x10u));
    EXPECT_EQ(got["Mixed.txt"], P("MIXED   TXT", 0u));
    EXPECT_EQ(got["Long name.txt"], P("LONGNA~2TXT", 0u)); // ~1 is taken by the 8.3 name
    EXPECT_EQ(got["Long name2.txt"], P("LONGNA~3TXT", 0u));
    EXPECT_EQ(writefat_close(w), 0);
}

// Names Windows opens as devices are refused wherever a name is made; names that only
// resemble them are files.
TEST_P(WriteSmall, DeviceNamesAreRefusedWhereverANameIsMade) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(put(w, "src.txt", "s"), 0);
    for (const char *n : {"CON", "prn", "Aux", "NUL.TXT", "con.log", "nul.tar.gz", "CON .TXT",
                          "COM1", "com9.txt", "LPT1", "lpt9.DAT", "COM\xC2\xB9", "lpt\xC2\xB3.x"}) {
        EXPECT_EQ(put(w, n, "x"), EINVAL) << n;
        EXPECT_EQ(writefat_mkdir(w, n, 0), EINVAL) << n;
        EXPECT_EQ(writefat_rename(w, "src.txt", n), EINVAL) << n;
    }
    want = {{"src.txt", digest("s")}};
    for (const char *n : {"CONSOLE", "COM0", "LPT0", "COM10", "CON-1.TXT", "xnul", "AUXX.C", "NUL_",
                          "COM", "con1"}) {
        ASSERT_EQ(put(w, n, n), 0) << n;
        want[n] = digest(n);
    }
    check(w, "device names");
    EXPECT_EQ(writefat_close(w), 0);
}

// The write volume's read side finds each name by every case of it, whatever flags the
// caller mounts with, and lists it as it was written.
TEST_P(WriteSmall, ReadSideFindsNamesAsTheWriterMatchesThem) {
    const char *names[] = {"lower.txt", "README.txt", "Mixed Case.txt"};
    for (uint32_t flags : {uint32_t{DV_FLAG_SLASH | DV_CHARSET_ASCII}, readfat_optimal_flags()}) {
        img->restore();
        writefat_volume *w = img->open(-1, flags);
        ASSERT_NE(w, nullptr);
        for (const char *n : names) ASSERT_EQ(put(w, (std::string("/") + n).c_str(), n), 0) << n;
        ASSERT_EQ(writefat_sync(w), 0);
        readfat_volume *rv = writefat_reader(w);
        for (const char *n : names) {
            std::string lower = n, upper = n;
            for (char &c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            for (char &c : upper)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            for (const std::string &p : {std::string(n), lower, upper}) {
                dv_entry e;
                ASSERT_EQ(readfat_stat(rv, ("/" + p).c_str(), &e), 0) << p << " flags " << flags;
                char shown[800];
                dv_name_to_utf8(&e.name, shown, sizeof shown);
                EXPECT_STREQ(shown, n) << p;
                int err = 0;
                readfat_file *f = readfat_open(rv, ("/" + p).c_str(), &err);
                ASSERT_NE(f, nullptr) << p << " flags " << flags;
                EXPECT_EQ(readfat_size(rv, f), std::strlen(n));
                readfat_close(rv, f);
            }
        }
        EXPECT_EQ(writefat_close(w), 0);
    }
}

// The same 60 small files, published one by one and then in a group: the group needs far
// fewer writes (data gathered, FAT and directory sectors written once) and reads back alike.
// A group without buffers writes through: the same files, no savings.
TEST_P(WriteUngrouped, GroupsSpareWritesAndReadBackAlike) {
    EXPECT_EQ(writefat_group(nullptr, 1), EINVAL);
    EXPECT_EQ(writefat_sync(nullptr), EINVAL);
    long writes[2] = {};
    for (int grouped = 0; grouped < 2; ++grouped) {
        img->grouped = grouped != 0;
        writefat_volume *w = img->open();
        ASSERT_NE(w, nullptr);
        const std::string d = grouped ? "grouped" : "plain";
        ASSERT_EQ(writefat_mkdir(w, d.c_str(), 1700000000), 0);
        want[d + "/"] = "";
        for (int i = 0; i < 60; ++i) {
            const std::string path = d + "/a file named " + std::to_string(i) + ".bin";
            const std::string data = pattern(size_t(i) * 150 + 1, unsigned(i));
            ASSERT_EQ(put(w, path.c_str(), data), 0) << path;
            want[path] = digest(data);
        }
        ASSERT_EQ(writefat_sync(w), 0);
        writes[grouped] = img->writes;
        check(w, d.c_str());
        EXPECT_EQ(writefat_close(w), 0);
    }
    if (!img->config || img->config->group_sectors != 0) {
        EXPECT_LT(writes[1] * 3, writes[0]) << writes[1] << " grouped, " << writes[0] << " plain";
    }
}

// Random writes at random places, truncations both ways, flushes and reopenings of one
// file, against a string: what the reader sees after each finish, and fsck.fat at the end.
TEST_P(Write, FilesChangedInPlaceMatchAModel) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(writefat_mkdir(w, "d", 1), 0);
    ASSERT_EQ(put(w, "d/neighbour.bin", pattern(7000, 4)), 0);
    std::string model;
    uint32_t seed = 12345;
    auto next = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    int err = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const uint32_t flags = round == 0 ? WRITEFAT_CREATE : round == 5 ? WRITEFAT_TRUNCATE : 0;
        writefat_file *f = writefat_open_file(w, "d/data file.bin", flags, &err);
        ASSERT_NE(f, nullptr) << err;
        if (flags & WRITEFAT_TRUNCATE) model.clear();
        EXPECT_EQ(writefat_filesize(w, f), model.size());
        for (int op = 0; op < 8; ++op) {
            switch (next(5)) {
            case 0: // write somewhere, perhaps past the end
            case 1: {
                const size_t at = next(static_cast<uint32_t>(model.size()) + 3000);
                const std::string data = pattern(1 + next(op % 2 ? 6000 : 700), seed);
                ASSERT_EQ(writefat_seek(w, f, at), 0);
                ASSERT_EQ(writefat_write(w, f, data.data(), data.size(), &err), 0) << err;
                if (model.size() < at) model.resize(at, '\0');
                if (model.size() < at + data.size()) model.resize(at + data.size(), '\0');
                model.replace(at, data.size(), data);
                EXPECT_EQ(writefat_tell(w, f), at + data.size());
                break;
            }
            case 2: { // shorter or longer
                const size_t size = next(static_cast<uint32_t>(model.size()) * 2 + 100);
                ASSERT_EQ(writefat_truncate(w, f, size), 0);
                model.resize(size, '\0');
                break;
            }
            case 3:
                ASSERT_EQ(writefat_preallocate(w, f, model.size() + next(9000)), 0);
                break;
            default:
                ASSERT_EQ(writefat_flush(w, f, 1700000000), 0);
            }
            EXPECT_EQ(writefat_filesize(w, f), model.size());
        }
        ASSERT_EQ(writefat_finish(w, f, 1700000000 + round), 0);
        ASSERT_EQ(writefat_sync(w), 0);
        auto tree = reader_tree(w);
        EXPECT_EQ(tree["d/data file.bin"], digest(model));
        EXPECT_EQ(tree["d/neighbour.bin"], digest(pattern(7000, 4)));
    }
    want = reader_tree(w);
    check(w, "after the rounds");
    writefat_close(w);
}

// What a handle of a changed-in-place file refuses, and what its abort keeps.
TEST_P(Write, OpenFileRulesAndAbort) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(writefat_mkdir(w, "d", 1), 0);
    ASSERT_EQ(put(w, "d/log.txt", "first\n"), 0);
    int err = 0;
    EXPECT_EQ(writefat_open_file(w, "d/missing.txt", 0, &err), nullptr);
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(writefat_open_file(w, "d", 0, &err), nullptr);
    EXPECT_EQ(err, EISDIR);
    EXPECT_EQ(writefat_open_file(w, "d/log.txt", 0x100, &err), nullptr);
    EXPECT_EQ(err, EINVAL);
    writefat_file *f = writefat_open_file(w, "d/log.txt", WRITEFAT_APPEND, &err);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(writefat_create(w, "d/other.txt", 0, &err), nullptr);
    EXPECT_EQ(err, EBUSY);
    EXPECT_EQ(writefat_remove(w, "d/log.txt"), EBUSY);
    EXPECT_EQ(writefat_rename(w, "d/log.txt", "d/moved.txt"), EBUSY);
    EXPECT_EQ(writefat_remove_tree(w, "d", nullptr, nullptr), EBUSY);
    EXPECT_EQ(writefat_seek(w, f, 0x100000000ull), EINVAL);
    EXPECT_EQ(writefat_truncate(w, f, 0x100000000ull), EFBIG);
    // Appends ignore the position; a flush keeps them, an abort drops what came after it.
    ASSERT_EQ(writefat_seek(w, f, 0), 0);
    ASSERT_EQ(writefat_write(w, f, "second\n", 7, &err), 0);
    ASSERT_EQ(writefat_flush(w, f, 1700000000), 0);
    const std::string big = pattern(50000, 8);
    ASSERT_EQ(writefat_write(w, f, big.data(), big.size(), &err), 0);
    writefat_abort(w, f);
    EXPECT_EQ(reader_tree(w)["d/log.txt"], digest("first\nsecond\n"));
    // A preallocated run makes the file one extent, whatever is allocated meanwhile.
    f = writefat_open_file(w, "d/pre.bin", WRITEFAT_CREATE, &err);
    ASSERT_NE(f, nullptr);
    const uint32_t cb = writefat_reader(w)->cluster_bytes;
    ASSERT_EQ(writefat_preallocate(w, f, cb * 6), 0);
    const std::string run = pattern(size_t{cb} * 6, 3);
    ASSERT_EQ(writefat_write(w, f, run.data(), cb, &err), 0);
    ASSERT_EQ(writefat_flush(w, f, DV_TIME_NONE), 0);
    ASSERT_EQ(writefat_mkdir(w, "d/made meanwhile", 1), 0);
    ASSERT_EQ(writefat_write(w, f, run.data() + cb, size_t{cb} * 5, &err), 0);
    ASSERT_EQ(writefat_finish(w, f, DV_TIME_NONE), 0);
    dv_entry e;
    ASSERT_EQ(readfat_stat(writefat_reader(w), "/d/pre.bin", &e), 0);
    uint32_t runs = 0;
    EXPECT_EQ(readfat_extents(writefat_reader(w), &e, nullptr, 0, &runs, &err), 0);
    EXPECT_EQ(runs, 1u);
    // In the root too (FAT12/16's fixed region), across a flush and a reopening.
    for (const char *piece : {"one\n", "two\n"}) {
        f = writefat_open_file(w, "/root.log", WRITEFAT_CREATE | WRITEFAT_APPEND, &err);
        ASSERT_NE(f, nullptr) << err;
        ASSERT_EQ(writefat_write(w, f, piece, 4, &err), 0);
        ASSERT_EQ(writefat_flush(w, f, 1700000000), 0);
        ASSERT_EQ(writefat_write(w, f, piece, 4, &err), 0);
        ASSERT_EQ(writefat_finish(w, f, DV_TIME_NONE), 0);
    }
    EXPECT_EQ(reader_tree(w)["root.log"], digest("one\none\ntwo\ntwo\n"));
    EXPECT_EQ(writefat_preallocate(w, nullptr, 1), EINVAL);
    want = reader_tree(w);
    check(w, "after the handles");
    writefat_close(w);
}

TEST_P(Write, ReadOnlyMediumAndFailedAllocationsChangeNothing) {
    img->fail_code = EROFS;
    writefat_volume *w = img->open(0);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(writefat_mkdir(w, "dir", 0), EROFS);
    EXPECT_EQ(put(w, "file.txt", "x"), EROFS);
    EXPECT_EQ(writefat_setlabel(w, "X"), EROFS); // the first failure sticks
    EXPECT_EQ(writefat_close(w), EROFS);
    EXPECT_TRUE(img->touched.empty());
    // Every allocation of the open failing in turn: null with ENOMEM, nothing kept.
    for (uint64_t n = 1;; ++n) {
        img->alloc.reset_counts();
        img->alloc.fail_at(n);
        w = img->open();
        img->alloc.fail_at(0);
        if (w) {
            EXPECT_EQ(writefat_close(w), 0);
            break;
        }
        EXPECT_EQ(img->err, ENOMEM) << n;
        EXPECT_EQ(img->alloc.live_blocks(), 0u) << n;
    }
}

// A directory past the size from which new names go through an index instead of a scan:
// clashes, aliases and tails must come out as a scan gives them, and changes that the index
// does not follow (a removal, a rename, a new cluster) must not leave it stale.
TEST_P(WriteSmall, LargeDirectoryKeepsNamesUnique) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(writefat_mkdir(w, "big", 0), 0);
    want["big/"] = "";
    for (int i = 0; i < 700; ++i) { // grows several times while indexed
        const std::string name = "big/Long file name " + std::to_string(i) + ".txt";
        ASSERT_EQ(put(w, name.c_str(), std::to_string(i)), 0) << name;
        want[name] = digest(std::to_string(i));
        if (i == 10) { // scanned, not indexed yet: names that differ in case only clash
            ASSERT_EQ(put(w, "big/\xC3\x84rger mit Namen.txt", "a"), 0);
            want["big/\xC3\x84rger mit Namen.txt"] = digest("a");
            EXPECT_EQ(put(w, "big/\xC3\xA4RGER MIT NAMEN.TXT", "x"), EEXIST);
            EXPECT_EQ(put(w, "big/long file NAME 3.TXT", "x"), EEXIST);
        }
        if (i == 420) { // the index is in use by now
            EXPECT_EQ(put(w, "big/LONG FILE NAME 7.TXT", "x"), EEXIST);
            EXPECT_EQ(put(w, "big/LONGFI~9.TXT", "x"), EEXIST);
            EXPECT_EQ(writefat_remove(w, "big/Long file name 3.txt"), 0);
            want.erase("big/Long file name 3.txt");
            ASSERT_EQ(put(w, "big/short.txt", "s"), 0);
            want["big/short.txt"] = digest("s");
            ASSERT_EQ(writefat_rename(w, "big/Long file name 5.txt", "big/renamed.txt"), 0);
            want["big/renamed.txt"] = want["big/Long file name 5.txt"];
            want.erase("big/Long file name 5.txt");
            EXPECT_EQ(put(w, "big/Renamed.TXT", "x"), EEXIST);
        }
    }
    check(w, "large directory");
    std::set<std::string> aliases;
    int err = 0;
    readfat_dir *d = readfat_opendir(writefat_reader(w), "big", &err);
    ASSERT_NE(d, nullptr);
    while (const dv_entry *e = readfat_readdir(writefat_reader(w), d, &err)) {
        if (e->deleted || static_cast<uint8_t>(e->shortname[0]) == 0xE5) continue;
        EXPECT_TRUE(aliases.insert(std::string(e->shortname, 11)).second) << e->shortname;
    }
    readfat_closedir(writefat_reader(w), d);
    EXPECT_EQ(writefat_close(w), 0);
}

// The fixed root of FAT12/16 holds what the boot sector says and cannot grow.
TEST_P(WriteFixedRoot, FullFixedRootRefusesWithEnospc) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    const uint32_t room = writefat_reader(w)->root_entries;
    int rc = 0;
    uint32_t made = 0;
    for (; rc == 0 && made <= room; ++made) {
        const std::string name = "F" + std::to_string(made) + ".TXT";
        rc = put(w, name.c_str(), "");
        if (rc == 0) want[name] = digest("");
    }
    EXPECT_EQ(rc, ENOSPC);
    EXPECT_EQ(made - 1, room); // every entry used, none past it
    EXPECT_EQ(writefat_mkdir(w, "one more", 0), ENOSPC);
    check(w, "full root");
    EXPECT_EQ(writefat_close(w), 0);
}

// A FAT32 volume declaring fewer sectors than its image holds: the clusters past its end
// are no one's, and the free count written at close must not count them.
TEST_P(WriteFat32, FreeCountKeepsToTheDeclaredSize) {
    uint8_t *boot = img->cur.data();
    uint32_t total = 0;
    std::memcpy(&total, boot + DV_BPB_TOTAL_SECTORS32, 4); // little-endian hosts only
    total -= 3;
    std::memcpy(boot + DV_BPB_TOTAL_SECTORS32, &total, 4);
    std::memcpy(boot + 6 * 512 + DV_BPB_TOTAL_SECTORS32, &total, 4); // and its backup
    ASSERT_EQ(pwrite(img->fd, boot, 7 * 512, 0), 7 * 512);
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(writefat_mkdir(w, "dir", 0), 0);
    ASSERT_EQ(writefat_close(w), 0);
    std::string report;
    EXPECT_TRUE(img->fsck(&report, false)) << report;
}

// ---- Removing trees ---------------------------------------------------------------------

// What writefat_remove_tree told its callback: the path of each entry (kept by depth), in
// order, with its code.
struct Heard {
    std::vector<std::string> names; // by depth
    std::vector<std::pair<std::string, int>> paths;
    static void fn(void *data, const dv_entry *e, uint32_t depth, int code) {
        auto *h = static_cast<Heard *>(data);
        char name[800];
        dv_name_to_utf8(&e->name, name, sizeof name);
        EXPECT_LE(depth, h->names.size()); // a directory's own entry comes before its contents
        h->names.resize(depth);
        h->names.push_back(name);
        std::string path;
        for (const auto &n : h->names) path += (path.empty() ? "" : "/") + n;
        h->paths.emplace_back(path, code);
    }
};

// Overwrites bytes of the image while no volume is open (the file and `cur` alike).
void patch(WImage &img, size_t at, const void *bytes, size_t n) {
    std::memcpy(img.cur.data() + at, bytes, n);
    for (uint64_t s = at / 512; s <= (at + n - 1) / 512; ++s) {
        img.touched.insert(s);
        ASSERT_EQ(pwrite(img.fd, img.cur.data() + s * 512, 512, off_t(s * 512)), 512);
    }
}

// Points the short entry at byte `at` of the image at `cluster` (both halves of the field).
void set_first_cluster(WImage &img, size_t at, uint32_t cluster) {
    const uint8_t lo[2] = {uint8_t(cluster), uint8_t(cluster >> 8)};
    const uint8_t hi[2] = {uint8_t(cluster >> 16), uint8_t(cluster >> 24)};
    patch(img, at + 26, lo, 2);
    patch(img, at + 20, hi, 2);
}

// The offset of the only 32-byte entry of the image that holds `bytes` at `skip`.
size_t find_entry(const WImage &img, const std::string &bytes, size_t skip = 0) {
    size_t found = 0;
    int count = 0;
    for (size_t at = 0; at + 32 <= img.cur.size(); at += 32)
        if (std::memcmp(img.cur.data() + at + skip, bytes.data(), bytes.size()) == 0) {
            found = at;
            ++count;
        }
    EXPECT_EQ(count, 1) << bytes;
    return found;
}

TEST_P(Write, RemoveTreeTakesEverythingBelowDepthFirst) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    for (const char *d : {"keep", "target", "target/sub", "target/sub/deeper"})
        ASSERT_EQ(writefat_mkdir(w, d, 1700000000), 0);
    std::set<std::pair<std::string, int>> expect = {
        {"target", 0}, {"target/sub", 0}, {"target/sub/deeper", 0}};
    for (const char *f : {"target/A long file name.txt", "target/sub/qXz slash.txt",
                          "target/sub/qYz backslash.txt", "target/sub/deeper/leaf.bin"}) {
        ASSERT_EQ(put(w, f, pattern(3000, 9)), 0);
        expect.insert({f, 0});
    }
    for (int i = 0; i < 40; ++i) { // the directory spans clusters
        const std::string f = "target/sub/file number " + std::to_string(i) + ".txt";
        ASSERT_EQ(put(w, f.c_str(), "x"), 0);
        expect.insert({f, 0});
    }
    ASSERT_EQ(put(w, "keep/kept.txt", "kept"), 0);
    ASSERT_EQ(put(w, "victim.txt", "victim"), 0);
    want = {{"keep/", ""}, {"keep/kept.txt", digest("kept")}, {"victim.txt", digest("victim")}};
    dv_entry sub;
    ASSERT_EQ(writefat_sync(w), 0);
    ASSERT_EQ(readfat_stat(writefat_reader(w), "target/sub", &sub), 0);
    const readfat_volume rv = *writefat_reader(w);
    ASSERT_EQ(writefat_close(w), 0);
    // Names FAT cannot hold, as another system's bug may leave them: '/' and '\' in a long name.
    patch(*img, find_entry(*img, std::string("q\0X\0z", 5), 1) + 3, "/", 1);
    patch(*img, find_entry(*img, std::string("q\0Y\0z", 5), 1) + 3, "\\", 1);
    for (const char *from : {"target/sub/qXz slash.txt", "target/sub/qYz backslash.txt"}) {
        std::string to = from;
        to[12] = to[12] == 'X' ? '/' : '\\';
        expect.erase({from, 0});
        expect.insert({to, 0});
    }
    w = img->open();
    ASSERT_NE(w, nullptr);
    int err = 0; // a file being written into the tree cannot be published afterwards
    writefat_file *f = writefat_create(w, "target/sub/deeper/new.bin", 0, &err);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(writefat_write(w, f, pattern(3000, 1).data(), 3000, &err), 0);
    Heard heard;
    ASSERT_EQ(writefat_remove_tree(w, "target", Heard::fn, &heard), 0);
    EXPECT_EQ(writefat_finish(w, f, 0), ENOENT);
    using Paths = std::set<std::pair<std::string, int>>;
    EXPECT_EQ(Paths(heard.paths.begin(), heard.paths.end()), expect);
    EXPECT_EQ(heard.paths.size(), expect.size());
    check(w, "remove tree");
    // Its entries are marked deleted for recovery tools; "." and ".." stay, as mdeltree
    // leaves them.
    const uint8_t *c =
        img->cur.data() + (rv.data_start + (sub.cluster - 2) * rv.sectors_per_cluster) * 512;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(c), 11), ".          ");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(c) + 32, 11), "..         ");
    for (uint32_t i = 2; i < rv.dir_entries_per_cluster && c[i * 32] != 0; ++i)
        EXPECT_EQ(c[i * 32], 0xE5) << i;
    EXPECT_EQ(writefat_remove_tree(w, "/", nullptr, nullptr), EINVAL);
    EXPECT_EQ(writefat_remove_tree(w, "target", nullptr, nullptr), ENOENT);
    ASSERT_EQ(writefat_remove_tree(w, "victim.txt", nullptr, nullptr), 0); // a file
    want.erase("victim.txt");
    check(w, "remove a file");
    EXPECT_EQ(writefat_close(w), 0);
}

// "." and ".." go by the path's text, and the directories a path went through are looked up
// again after anything was removed or moved, on blocks the allocator gives unaligned.
TEST_P(Write, DotsAndDirectoriesOnTheWay) {
    img->misalign = 48;
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(writefat_mkdir(w, "Docs", 0), 0);
    ASSERT_EQ(writefat_mkdir(w, "/./Docs/../Docs/Sub", 0), 0);
    const std::string data = pattern(70000, 4); // whole clusters from an unaligned buffer
    for (const char *f : {"Docs/Sub/../Sub/./a.bin", "/../top.bin", "Docs/Sub/b.bin"})
        ASSERT_EQ(put(w, f, data.substr(1)), 0) << f;
    for (const char *bad : {"Docs/..", "Docs/Sub/.", "..", "Docs/./"})
        EXPECT_EQ(writefat_remove(w, bad), EINVAL) << bad;
    EXPECT_EQ(writefat_mkdir(w, "Docs/Sub/..", 0), EINVAL);
    EXPECT_EQ(writefat_rename(w, "top.bin", "Docs/.."), EINVAL);
    // A moved directory is not found where it was, a new one there is.
    ASSERT_EQ(writefat_rename(w, "Docs/Sub", "Moved"), 0);
    EXPECT_EQ(put(w, "Docs/Sub/c.bin", "c"), ENOENT);
    ASSERT_EQ(writefat_mkdir(w, "Docs/Sub", 0), 0);
    ASSERT_EQ(put(w, "Docs/Sub/c.bin", "c"), 0);
    ASSERT_EQ(put(w, "Moved/d.bin", "d"), 0);
    // A removed one neither.
    ASSERT_EQ(remove_tree(w, "Docs/Sub"), 0);
    EXPECT_EQ(put(w, "Docs/Sub/e.bin", "e"), ENOENT);
    ASSERT_EQ(writefat_mkdir(w, "Docs/Sub", 0), 0);
    ASSERT_EQ(writefat_remove(w, "Docs/Sub"), 0);
    EXPECT_EQ(put(w, "Docs/Sub/e.bin", "e"), ENOENT);
    want = {{"Docs/", ""},
            {"Moved/", ""},
            {"Moved/a.bin", digest(data.substr(1))},
            {"Moved/b.bin", digest(data.substr(1))},
            {"Moved/d.bin", digest("d")},
            {"top.bin", digest(data.substr(1))}};
    check(w, "dots and moves");
    EXPECT_EQ(writefat_close(w), 0);
}

// Filling a deep tree, a directory and a file at each level, reads each directory a bounded
// number of times, not once for every path that goes through it (with a path cache; without
// one every path is walked from the root, and only the results are checked).
TEST_P(Write, DeepTreeReadsStayLinear) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    const int levels = 300;
    std::string path;
    img->reads = 0;
    const uint64_t allocs = img->alloc.allocs();
    for (int k = 0; k < levels; ++k) {
        path += k ? "/Level" : "Level";
        ASSERT_EQ(writefat_mkdir(w, path.c_str(), 0), 0) << k;
        ASSERT_EQ(put(w, (path + "/file.txt").c_str(), "f"), 0) << k;
    }
    // Back up, as a copy sets each directory's times once its contents are in, and aside.
    for (size_t at = path.size(); at != std::string::npos; at = path.rfind('/', at - 1)) {
        const std::string dir = path.substr(0, at);
        ASSERT_EQ(writefat_settimes(w, dir.c_str(), DV_TIME_NONE, 1700000000, DV_TIME_NONE), 0);
        if ((at + 1) % 60 == 0) {
            ASSERT_EQ(put(w, (dir + "/aside.txt").c_str(), "a"), 0) << dir;
        }
        if (at < 6) break;
    }
    if (!img->config || img->config->path_levels != 0) {
        EXPECT_LT(img->reads, 10 * levels);
    }
    EXPECT_LT(img->alloc.allocs() - allocs, uint64_t{levels});
    ASSERT_EQ(writefat_sync(w), 0);
    dv_entry e;
    EXPECT_EQ(readfat_stat(writefat_reader(w), (path.substr(0, 600) + "aside.txt").c_str(), &e), 0);
    EXPECT_EQ(e.mtime64, 1700000000);
    // Paths that share the text of the last one but differ past it, or in case before it,
    // resolve as whole paths do; a removal forgets what the text led to.
    std::string upper = path;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string up = path.substr(0, path.size() - 6);
    ASSERT_EQ(put(w, (path + "/Next/in.txt").c_str(), "x"), ENOENT);
    ASSERT_EQ(writefat_mkdir(w, (path + "/Next").c_str(), 0), 0);
    const std::pair<std::string, std::string> cases[] = {
        {path + "/Next/in.txt", path + "/Next/in.txt"},
        {path + "/Next/../dots.txt", path + "/dots.txt"},
        {path + "/Next/./gone/../dot.txt", path + "/Next/dot.txt"},
        {path + "/Next/../../up.txt", up + "/up.txt"},
        {upper + "/NEXT/upper.txt", path + "/Next/upper.txt"},
        {path + "/NEXT/mixed.txt", path + "/Next/mixed.txt"},
    };
    for (const auto &[where, lands] : cases) {
        const std::string tail = where.substr(up.size());
        ASSERT_EQ(put(w, where.c_str(), where), 0) << tail;
        ASSERT_EQ(writefat_sync(w), 0);
        dv_entry e;
        EXPECT_EQ(readfat_stat(writefat_reader(w), lands.c_str(), &e), 0) << tail;
    }
    EXPECT_EQ(writefat_mkdir(w, (path + "/Next/..").c_str(), 0), EINVAL);
    ASSERT_EQ(put(w, (path + "/Next/in2.txt").c_str(), "x"), 0);
    ASSERT_EQ(remove_tree(w, path + "/Next"), 0);
    EXPECT_EQ(put(w, (path + "/Next/in3.txt").c_str(), "x"), ENOENT);
    ASSERT_EQ(put(w, (path + "/Next").c_str(), "now a file"), 0);
    EXPECT_EQ(put(w, (path + "/Next/in3.txt").c_str(), "x"), ENOTDIR);
    ASSERT_EQ(remove_tree(w, "Level"), 0);
    EXPECT_EQ(writefat_close(w), 0);
}

// /target/sub/evil pointing at the root, an ancestor, a directory outside, a cluster whose
// "." names another one, a free cluster, past the data area: evil's entry goes, what it
// points at stays, and nothing outside the target changes.
TEST_P(Write, RemoveTreeFollowsNoDamagedDirectoryEntry) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    for (const char *d : {"keep", "target", "target/sub", "target/sub/evil"})
        ASSERT_EQ(writefat_mkdir(w, d, 1700000000), 0);
    ASSERT_EQ(put(w, "target/sub/file.txt", "in the tree"), 0);
    ASSERT_EQ(put(w, "keep/kept.txt", pattern(5000, 3)), 0);
    ASSERT_EQ(put(w, "victim.txt", "victim"), 0);
    ASSERT_EQ(writefat_sync(w), 0);
    readfat_volume *rv = writefat_reader(w);
    dv_entry target, sub, keep;
    ASSERT_EQ(readfat_stat(rv, "target", &target), 0);
    ASSERT_EQ(readfat_stat(rv, "target/sub", &sub), 0);
    ASSERT_EQ(readfat_stat(rv, "keep", &keep), 0);
    // A file holding what a directory's first entries look like, "." naming another cluster.
    std::string fake(64, '\0');
    fake.replace(0, 12, ".          \x10");
    fake[26] = 0x77;
    fake.replace(32, 12, "..         \x10");
    fake[58] = char(target.cluster), fake[59] = char(target.cluster >> 8);
    ASSERT_EQ(put(w, "keep/fake.bin", fake), 0);
    ASSERT_EQ(writefat_sync(w), 0);
    dv_entry fake_e;
    ASSERT_EQ(readfat_stat(rv, "keep/fake.bin", &fake_e), 0);
    want = reader_tree(w);
    for (auto it = want.begin(); it != want.end();)
        it = it->first.rfind("target/", 0) == 0 ? want.erase(it) : std::next(it);
    const bool fat32 = rv->fat_type == 32;
    const std::pair<const char *, uint32_t> cases[] = {
        {"root", 0},
        {"root by its cluster", fat32 ? rv->root_cluster : 0},
        {"the target", target.cluster},
        {"its own directory", sub.cluster},
        {"a directory outside", keep.cluster},
        {"a file whose '.' names another cluster", fake_e.cluster},
        {"a free cluster", rv->cluster_count / 2},
        {"past the data area", rv->cluster_count + 2},
    };
    ASSERT_EQ(writefat_close(w), 0);
    img->commit();
    const size_t evil = find_entry(*img, "EVIL       \x10");
    for (const auto &[what, cluster] : cases) {
        SCOPED_TRACE(what);
        set_first_cluster(*img, evil, cluster);
        w = img->open();
        ASSERT_NE(w, nullptr);
        Heard heard;
        ASSERT_EQ(writefat_remove_tree(w, "target", Heard::fn, &heard), 0);
        std::vector<std::pair<std::string, int>> loops;
        for (const auto &p : heard.paths)
            if (p.second != 0) loops.push_back(p);
        using Loops = std::vector<std::pair<std::string, int>>;
        EXPECT_EQ(loops, Loops(1, {"target/sub/evil", ELOOP}));
        EXPECT_EQ(reader_tree(w), want);
        ASSERT_EQ(writefat_close(w), 0);
        std::string report;
        EXPECT_TRUE(img->fsck(&report, true)) << report; // evil's own cluster: lost
        img->restore();
    }
}

// A damaged file entry naming the root's first cluster: removing it leaves the root whole.
TEST_P(WriteFat32, RemovingAFileThatNamesTheRootKeepsTheRoot) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(writefat_reader(w)->fat_type, 32u);
    ASSERT_EQ(put(w, "EVIL.TXT", "evil"), 0);
    ASSERT_EQ(put(w, "kept.txt", pattern(3000, 4)), 0);
    const uint32_t root = writefat_reader(w)->root_cluster;
    ASSERT_EQ(writefat_close(w), 0);
    img->commit();
    const size_t evil = find_entry(*img, "EVIL    TXT");
    set_first_cluster(*img, evil, root);
    w = img->open();
    ASSERT_NE(w, nullptr);
    auto want = reader_tree(w);
    want.erase("EVIL.TXT");
    ASSERT_EQ(writefat_remove(w, "EVIL.TXT"), 0);
    EXPECT_EQ(reader_tree(w), want);
    ASSERT_EQ(writefat_close(w), 0);
    std::string report;
    EXPECT_TRUE(img->fsck(&report, true)) << report; // the root's cluster still in use
}

// The stack growing past what it takes at first, each allocation failing in turn: ENOMEM,
// nothing kept, and the tree whole or gone with everything else intact.
TEST_P(Write, RemoveTreeOutOfMemoryLeavesASoundVolume) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(put(w, "kept.txt", "kept"), 0);
    std::string path = "deep";
    ASSERT_EQ(writefat_mkdir(w, path.c_str(), 0), 0);
    for (int level = 0; level < 40; ++level, path += "/d") {
        ASSERT_EQ(writefat_mkdir(w, (path + "/d").c_str(), 0), 0);
        ASSERT_EQ(put(w, (path + "/a long file name.txt").c_str(), path), 0);
    }
    using Tree = std::map<std::string, std::string>;
    const Tree before = reader_tree(w);
    ASSERT_EQ(writefat_close(w), 0);
    img->commit();
    for (uint64_t n = 1;; ++n) {
        w = img->open();
        ASSERT_NE(w, nullptr);
        const size_t live = img->alloc.live_blocks();
        img->alloc.reset_counts();
        img->alloc.fail_at(n);
        const int rc = remove_tree(w, "deep");
        img->alloc.fail_at(0);
        EXPECT_EQ(img->alloc.live_blocks(), live) << n;
        const auto after = reader_tree(w);
        ASSERT_EQ(writefat_close(w), 0);
        if (rc == 0) {
            EXPECT_GT(n, 5u); // the stack grew
            break;
        }
        EXPECT_EQ(rc, ENOMEM) << n;
        std::string report;
        EXPECT_TRUE(img->fsck(&report, true)) << n << "\n" << report;
        const bool gone = after.find("deep/") == after.end();
        const Tree only_kept = {{"kept.txt", digest("kept")}};
        EXPECT_EQ(after, gone ? only_kept : before) << n;
        img->restore();
    }
}

// Writes `data` in one call: whole clusters go straight from it, no partial one is kept.
int put_whole(writefat_volume *w, const char *path, const std::string &data) {
    int err = 0;
    writefat_file *f = writefat_create(w, path, 0, &err);
    if (!f) return err;
    if (writefat_write(w, f, data.data(), data.size(), &err) != 0) {
        writefat_abort(w, f);
        return err;
    }
    return writefat_finish(w, f, 1700000000);
}

// In a few KiB: a tree with files of whole clusters, renames and removals, and more names
// of one stem than the tail table tracks (each further window costs a scan, never a name).
TEST_P(WriteTight, TreeAndTailsPastTheTrackedWindowReadBack) {
    writefat_config cfg = *GetParam().config;
    cfg.alias_tails = 64;
    img->config = &cfg;
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr) << img->err;
    const uint32_t cb = writefat_reader(w)->cluster_bytes;
    std::string path;
    for (int k = 0; k < 12; ++k) {
        path += k ? "/Level " + std::to_string(k) : "Level 0";
        ASSERT_EQ(writefat_mkdir(w, path.c_str(), 0), 0) << k;
        want[path + "/"] = "";
        const std::string data = pattern(size_t{cb} * (k % 3 + 1), unsigned(k));
        ASSERT_EQ(put_whole(w, (path + "/data.bin").c_str(), data), 0) << k;
        want[path + "/data.bin"] = digest(data);
    }
    ASSERT_EQ(writefat_mkdir(w, "tails", 0), 0);
    want["tails/"] = "";
    for (int i = 0; i < 150; ++i) {
        const std::string name = "tails/Same stem " + std::to_string(i) + ".txt";
        ASSERT_EQ(put_whole(w, name.c_str(), ""), 0) << name;
        want[name] = digest("");
    }
    EXPECT_EQ(put_whole(w, "tails/SAME STEM 99.TXT", ""), EEXIST);
    ASSERT_EQ(writefat_rename(w, "Level 0/Level 1/data.bin", "tails/moved.bin"), 0);
    want["tails/moved.bin"] = want["Level 0/Level 1/data.bin"];
    want.erase("Level 0/Level 1/data.bin");
    ASSERT_EQ(remove_tree(w, "Level 0/Level 1/Level 2/Level 3"), 0);
    for (auto it = want.begin(); it != want.end();)
        it = it->first.rfind("Level 0/Level 1/Level 2/Level 3", 0) == 0 ? want.erase(it) : ++it;
    check(w, "tight tree");
    std::set<std::string> aliases;
    int err = 0;
    readfat_dir *d = readfat_opendir(writefat_reader(w), "tails", &err);
    ASSERT_NE(d, nullptr);
    while (const dv_entry *e = readfat_readdir(writefat_reader(w), d, &err)) {
        if (static_cast<uint8_t>(e->shortname[0]) == 0xE5 || e->shortname[0] == '.') continue;
        EXPECT_TRUE(aliases.insert(std::string(e->shortname, 11)).second) << e->shortname;
    }
    readfat_closedir(writefat_reader(w), d);
    EXPECT_EQ(aliases.size(), 151u);
    EXPECT_EQ(aliases.count("SAMES~99TXT"), 1u); // from the second window of tails
    EXPECT_EQ(writefat_close(w), 0);
}

uint32_t mem_flags() {
    return (readfat_optimal_flags() & ~DV_CHARSET_MASK) | DV_CHARSET_UTF8 | DV_FLAG_NTCASE;
}

// A volume in memory, formatted by the library (no tools needed).
struct MemDev {
    // `size` bytes formatted as `o` asks.
    explicit MemDev(size_t size, const writefat_format_options &o = {}) : bytes(size, 0) {
        EXPECT_EQ(writefat_format(0, size / 512, this, write, &o), 0);
    }
    std::vector<uint8_t> bytes;
    static int32_t write(void *self, const void *buf, uint64_t sector, uint32_t count) {
        auto *d = static_cast<MemDev *>(self);
        if ((sector + count) * 512 > d->bytes.size()) return -EIO;
        std::memcpy(d->bytes.data() + sector * 512, buf, size_t{count} * 512);
        return static_cast<int32_t>(count);
    }
    static int32_t read(void *self, void *buf, uint64_t sector, uint32_t count) {
        auto *d = static_cast<MemDev *>(self);
        if ((sector + count) * 512 > d->bytes.size()) return -EIO;
        std::memcpy(buf, d->bytes.data() + sector * 512, size_t{count} * 512);
        return static_cast<int32_t>(count);
    }
};

// What writefat_open3 takes is what writefat_config_bytes says plus the reader's arena and
// the codec context, for each preset and geometry; the small preset stays within 8 KiB and
// one sector on 512-byte sectors, whatever the cluster size.
TEST(WriteMemory, OpenTakesWhatConfigBytesSays) {
    struct Geometry {
        uint32_t sector, cluster;
    };
    const Geometry geometries[] = {{512, 512}, {512, 32768}, {4096, 4096}, {4096, 32768}};
    const uint32_t flags = DV_FLAG_LENIENT | DV_FLAG_NTCASE | DV_FLAG_UTF16 | DV_CHARSET_UTF8;
    for (const Geometry &g : geometries) {
        writefat_format_options o{};
        o.sector_size = g.sector;
        o.cluster_size = g.cluster;
        MemDev dev(size_t{g.cluster} * 400, o);
        const uint64_t end = dev.bytes.size() / 512;
        TrackingAlloc reader_mem, ctx_mem;
        int err = 0;
        readfat_volume *rv =
            readfat_new2(0, end, 512, &dev, MemDev::read, flags, 1, 1, &err, &reader_mem,
                         TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        ASSERT_NE(rv, nullptr) << err;
        dv_ctx *ctx =
            dv_newctx2(flags, &err, &ctx_mem, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        ASSERT_NE(ctx, nullptr);
        const size_t others = reader_mem.live_bytes() + ctx_mem.live_bytes();
        dv_deletectx(ctx);
        readfat_delete(rv);
        for (uint32_t preset : {WRITEFAT_CONFIG_FAST, WRITEFAT_CONFIG_SMALL}) {
            const std::string where = std::to_string(g.sector) + "/" + std::to_string(g.cluster) +
                                      (preset ? " small" : " fast");
            writefat_config c;
            ASSERT_EQ(writefat_config_init(&c, preset), 0);
            const size_t state = writefat_config_bytes(&c, g.sector, g.cluster);
            ASSERT_NE(state, 0u) << where;
            TrackingAlloc mem;
            writefat_volume *w =
                writefat_open3(0, end, 512, &dev, MemDev::read, MemDev::write, flags, 1, 1, &c,
                               &err, &mem, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
            ASSERT_NE(w, nullptr) << where << " " << err;
            EXPECT_EQ(mem.live_bytes(), state + others) << where;
            if (preset == WRITEFAT_CONFIG_SMALL && g.sector == 512) {
                EXPECT_LE(state, 8192u + g.sector) << where;
            }
            EXPECT_EQ(writefat_close(w), 0);
        }
    }
}

// The image's layout, through a read-only mount.
readfat_volinfo layout(WImage &img) {
    int err = 0;
    readfat_volinfo info{};
    readfat_volume *vol = readfat_new(0, img.cur.size() / 512, 512, &img, WImage::read_sectors,
                                      readfat_optimal_flags(), 4, 4, &err);
    EXPECT_NE(vol, nullptr) << err;
    if (vol) readfat_info(vol, &info);
    readfat_delete(vol);
    return info;
}

// Sets FAT entry `c` to `v` in every FAT copy (or in the first `copies`).
void set_fat(WImage &img, const readfat_volinfo &l, uint32_t c, uint32_t v, uint32_t copies = 8) {
    for (uint32_t k = 0; k < l.fat_count && k < copies; ++k) {
        const size_t fat =
            (size_t{l.first_fat_sector} + size_t{k} * l.fat_sectors) * l.bytes_per_sector;
        if (l.fat_type == 12) {
            const size_t at = fat + c + c / 2;
            uint8_t b[2] = {img.cur[at], img.cur[at + 1]};
            const uint16_t old = uint16_t(b[0] | b[1] << 8);
            const uint16_t n =
                c & 1 ? uint16_t((old & 0x000F) | v << 4) : uint16_t((old & 0xF000) | (v & 0x0FFF));
            b[0] = uint8_t(n), b[1] = uint8_t(n >> 8);
            patch(img, at, b, 2);
        } else {
            const size_t width = l.fat_type / 8;
            const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
            patch(img, fat + c * width, b, width);
        }
    }
}

// FAT entry `c` of the first copy, and `v` put into every copy in memory only (the caller
// writes the FAT out).
uint32_t fat_of(const WImage &img, const readfat_volinfo &l, uint32_t c) {
    const size_t fat = size_t{l.first_fat_sector} * l.bytes_per_sector;
    const uint8_t *p = img.cur.data() + fat + (l.fat_type == 12 ? c + c / 2 : c * l.fat_type / 8);
    const uint32_t v = uint32_t(p[0] | p[1] << 8);
    if (l.fat_type == 12) return c & 1 ? v >> 4 : v & 0xFFF;
    return l.fat_type == 16 ? v : (v | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24) & 0x0FFFFFFF;
}
void fat_put(WImage &img, const readfat_volinfo &l, uint32_t c, uint32_t v) {
    for (uint32_t k = 0; k < l.fat_count; ++k) {
        const size_t fat =
            (size_t{l.first_fat_sector} + size_t{k} * l.fat_sectors) * l.bytes_per_sector;
        uint8_t *p = img.cur.data() + fat + (l.fat_type == 12 ? c + c / 2 : c * l.fat_type / 8);
        if (l.fat_type == 12) {
            const uint16_t old = uint16_t(p[0] | p[1] << 8);
            const uint16_t n =
                c & 1 ? uint16_t((old & 0x000F) | v << 4) : uint16_t((old & 0xF000) | (v & 0x0FFF));
            p[0] = uint8_t(n), p[1] = uint8_t(n >> 8);
        } else {
            for (uint32_t i = 0; i < l.fat_type / 8; ++i) p[i] = uint8_t(v >> 8 * i);
        }
    }
}

// Configs the write path cannot run with are refused before anything is taken.
TEST(WriteMemory, BadConfigsRefusedWithNothingTaken) {
    MemDev dev(1u << 20);
    writefat_config good;
    ASSERT_EQ(writefat_config_init(&good, WRITEFAT_CONFIG_SMALL), 0);
    struct Bad {
        const char *name;
        void (*spoil)(writefat_config &);
    };
    const Bad bads[] = {
        {"no FAT sector", [](writefat_config &c) { c.fat_cache_sectors = 0; }},
        {"index not a power of two", [](writefat_config &c) { c.index_slots = 5000; }},
        {"index below 4096", [](writefat_config &c) { c.index_slots = 2048; }},
        {"63 tails", [](writefat_config &c) { c.alias_tails = 63; }},
        {"unknown file buffer", [](writefat_config &c) { c.file_buffer = 2; }},
        {"reserved set", [](writefat_config &c) { c.reserved[5] = 1; }},
    };
    for (const Bad &b : bads) {
        writefat_config c = good;
        b.spoil(c);
        EXPECT_EQ(writefat_config_bytes(&c, 512, 512), 0u) << b.name;
        TrackingAlloc mem;
        int err = 0;
        EXPECT_EQ(writefat_open3(0, dev.bytes.size() / 512, 512, &dev, MemDev::read, MemDev::write,
                                 mem_flags(), 1, 1, &c, &err, &mem, TrackingAlloc::alloc_cb,
                                 TrackingAlloc::free_cb),
                  nullptr)
            << b.name;
        EXPECT_EQ(err, EINVAL) << b.name;
        EXPECT_EQ(mem.allocs(), 0u) << b.name;
    }
    EXPECT_EQ(writefat_config_init(nullptr, WRITEFAT_CONFIG_FAST), EINVAL);
    EXPECT_EQ(writefat_config_init(&good, 2), EINVAL);
    EXPECT_EQ(writefat_config_bytes(nullptr, 512, 512), 0u);
    EXPECT_EQ(writefat_config_bytes(&good, 512, 256), 0u);
}

// An index too small for a directory's names is given up, not trusted: every name past
// what it holds still clashes.
TEST(WriteMemory, IndexTooSmallForTheDirectoryIsNotTrusted) {
    MemDev dev(8u << 20);
    writefat_config c;
    ASSERT_EQ(writefat_config_init(&c, WRITEFAT_CONFIG_FAST), 0);
    c.index_slots = 4096; // 2,048 hashes: two per name, fewer than 1,200 names need
    int err = 0;
    writefat_volume *w =
        writefat_open3(0, dev.bytes.size() / 512, 512, &dev, MemDev::read, MemDev::write,
                       mem_flags(), 1, 1, &c, &err, nullptr, nullptr, nullptr);
    ASSERT_EQ(w, nullptr);
    EXPECT_EQ(err, EINVAL); // allocator callbacks are required
    TrackingAlloc mem;
    w = writefat_open3(0, dev.bytes.size() / 512, 512, &dev, MemDev::read, MemDev::write,
                       mem_flags(), 1, 1, &c, &err, &mem, TrackingAlloc::alloc_cb,
                       TrackingAlloc::free_cb);
    ASSERT_NE(w, nullptr) << err;
    ASSERT_EQ(writefat_mkdir(w, "big", 0), 0);
    const auto name = [](int i) { return "big/Some long name " + std::to_string(i) + ".txt"; };
    for (int i = 0; i < 1200; ++i) ASSERT_EQ(put_whole(w, name(i).c_str(), ""), 0) << i;
    for (int i = 1100; i < 1200; i += 7) EXPECT_EQ(put_whole(w, name(i).c_str(), ""), EEXIST) << i;
    EXPECT_EQ(writefat_close(w), 0);
}

// A file whose chain is damaged is not opened for writing: writing into it could reach
// clusters that are someone else's.
TEST_P(Write, OpenFileRefusesADamagedChain) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    const uint32_t cb = writefat_reader(w)->cluster_bytes;
    ASSERT_EQ(put(w, "three.bin", pattern(size_t{cb} * 3, 5)), 0);
    ASSERT_EQ(writefat_sync(w), 0); // the read side sees a group's changes once synced
    dv_entry e;
    ASSERT_EQ(readfat_stat(writefat_reader(w), "three.bin", &e), 0);
    ASSERT_EQ(writefat_close(w), 0);
    img->commit();
    const readfat_volinfo l = layout(*img);
    const uint32_t c = l.fat_type == 32 ? e.cluster : e.cluster & 0xFFFFu;
    const uint32_t end = l.fat_type == 12 ? 0xFFF : l.fat_type == 16 ? 0xFFFF : 0x0FFFFFFF;
    const std::pair<const char *, std::function<void()>> cases[] = {
        {"a free cluster inside", [&] { set_fat(*img, l, c + 1, 0); }},
        {"a loop", [&] { set_fat(*img, l, c + 1, c); }},
        {"shorter than the size", [&] { set_fat(*img, l, c + 1, end); }},
        {"past the data area", [&] { set_fat(*img, l, c, l.cluster_count + 5); }},
    };
    for (const auto &[what, damage] : cases) {
        SCOPED_TRACE(what);
        damage();
        w = img->open();
        ASSERT_NE(w, nullptr);
        int err = 0;
        EXPECT_EQ(writefat_open_file(w, "three.bin", WRITEFAT_APPEND, &err), nullptr);
        EXPECT_EQ(err, EIO);
        writefat_close(w);
        img->restore();
    }
}

// writefat_reclaim on chains nothing names (made by patching the FAT of a sound volume): freed
// when the tree is sound, nothing freed when the walk meets damage; a file's chain that runs
// past its size (a cut append) is ended there. Several windows of
// clusters on FAT32 (a lost chain in the last); at open only when the dirty flag is set, which
// FAT12 lacks.
TEST_P(Write, ReclaimFreesLostChainsOnlyWhenTheTreeIsSound) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(writefat_mkdir(w, "dir", 1700000000), 0);
    ASSERT_EQ(put(w, "dir/a file.bin", pattern(9000, 1)), 0);
    ASSERT_EQ(put(w, "b.txt", "b"), 0);
    want = reader_tree(w);
    ASSERT_EQ(writefat_close(w), 0);
    img->commit();
    const readfat_volinfo l = layout(*img);
    const uint32_t last = l.cluster_count + 1, eoc = l.fat_type == 12 ? 0xFFF : 0xFFFF;
    const uint32_t end = l.fat_type == 32 ? 0x0FFFFFFF : eoc;
    // The walk's window: the config's bitmap (FAST: 8 MiB, the whole volume; 0: 4 KiB).
    const uint64_t bitmap = !img->config                      ? 8u << 20
                            : img->config->reclaim_bytes != 0 ? img->config->reclaim_bytes
                                                              : 4096u;
    const uint32_t windows = static_cast<uint32_t>((l.cluster_count - 1) / (bitmap * 8) + 1);
    const size_t dir_entry = find_entry(*img, "DIR        \x10");
    const size_t b_entry = find_entry(*img, "B       TXT");
    dv_entry a{}, d{}, b{};
    {
        w = img->open();
        ASSERT_EQ(readfat_stat(writefat_reader(w), "dir/a file.bin", &a), 0);
        ASSERT_EQ(readfat_stat(writefat_reader(w), "dir", &d), 0);
        ASSERT_EQ(readfat_stat(writefat_reader(w), "b.txt", &b), 0);
        writefat_close(w);
        img->restore();
    }
    struct Case {
        const char *what;
        std::function<void()> damage; // null: none
        bool dirty;                   // the clean bit cleared: reclaimed at open (FAT16/32)
        bool damaged = true;          // what `damage` does stops the freeing
        uint32_t trimmed = 0;         // clusters past a file's size (one chain) ended there
    };
    const Case cases[] = {
        {"sound", nullptr, false, false},
        {"sound, dirty", nullptr, true, false},
        {"directory past the data area", [&] { set_first_cluster(*img, dir_entry, last + 5); },
         false},
        {"cross-linked file", [&] { set_first_cluster(*img, b_entry, a.cluster); }, false},
        {"directory chain that loops", [&] { set_fat(*img, l, d.cluster, d.cluster); }, false},
        {"file chain past its size",
         [&] {
             set_fat(*img, l, b.cluster, last - 7);
             set_fat(*img, l, last - 7, last - 6);
             set_fat(*img, l, last - 6, end);
         },
         false, false, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // Two lost chains, one of two clusters and one of one, at the volume's end.
        set_fat(*img, l, last - 4, last - 3);
        set_fat(*img, l, last - 3, end);
        set_fat(*img, l, last - 1, end);
        if (c.damage) c.damage();
        const bool damaged = c.damage && c.damaged;
        if (c.dirty) {
            const size_t bit =
                l.first_fat_sector * size_t{l.bytes_per_sector} + (l.fat_type == 32 ? 7 : 3);
            const uint8_t v = uint8_t(img->cur[bit] & (l.fat_type == 32 ? ~0x08 : ~0x80));
            if (l.fat_type != 12) patch(*img, bit, &v, 1);
        }
        w = img->open();
        ASSERT_NE(w, nullptr);
        writefat_reclaim_report rep{};
        const bool at_open = c.dirty && l.fat_type != 12;
        EXPECT_EQ(writefat_reclaimed(w, &rep), at_open ? 1 : 0);
        if (!at_open) {
            EXPECT_EQ(writefat_reclaim(w, &rep), 0);
        }
        EXPECT_EQ(rep.damaged, damaged ? 1u : 0u);
        EXPECT_EQ(rep.lost_clusters, damaged ? 0u : 3u + c.trimmed);
        EXPECT_EQ(rep.lost_chains, damaged ? 0u : 2u + (c.trimmed != 0));
        EXPECT_EQ(rep.files_trimmed, c.trimmed != 0 ? 1u : 0u);
        EXPECT_EQ(rep.passes, damaged ? 1u : 2 * windows - 1);
        if (!damaged) {
            EXPECT_EQ(reader_tree(w), want);
        }
        ASSERT_EQ(writefat_close(w), 0);
        std::string report;
        if (!damaged) {
            EXPECT_TRUE(img->fsck(&report, c.dirty)) << report;
        } else {
            EXPECT_FALSE(img->fsck(&report, true, false, false)) << "lost clusters kept";
        }
        img->restore();
    }
}

// writefat_repair on the damage reclaim stops at, and on what it leaves alone: every chain
// mended to what fsck.fat calls clean with the files' bytes kept, the lost chains saved in
// FOUND.001 (FOUND.000 is taken), the dirty flag cleared; a directory past the data area is
// left, and then the flag stays.
TEST_P(Write, RepairMendsWhatReclaimStopsAt) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(writefat_mkdir(w, "dir", 1700000000), 0);
    ASSERT_EQ(writefat_mkdir(w, "FOUND.000", 1700000000), 0);
    const std::string a_data = pattern(9000, 1);
    ASSERT_EQ(put(w, "dir/a file.bin", a_data), 0);
    ASSERT_EQ(put(w, "b.txt", "b"), 0);
    want = reader_tree(w);
    ASSERT_EQ(writefat_close(w), 0);
    img->commit();
    const readfat_volinfo l = layout(*img);
    const uint32_t last = l.cluster_count + 1, cb = l.cluster_bytes;
    const uint32_t end = l.fat_type == 32 ? 0x0FFFFFFF : l.fat_type == 16 ? 0xFFFF : 0xFFF;
    const size_t dir_entry = find_entry(*img, "DIR        \x10");
    const size_t b_entry = find_entry(*img, "B       TXT");
    dv_entry a{}, d{};
    w = img->open();
    ASSERT_EQ(readfat_stat(writefat_reader(w), "dir/a file.bin", &a), 0);
    ASSERT_EQ(readfat_stat(writefat_reader(w), "dir", &d), 0);
    writefat_close(w);
    img->restore();
    const size_t a_entry = find_entry(*img, std::string(reinterpret_cast<char *>(a.shortname), 11));
    const uint32_t a2 = a.cluster + 1; // its chain is contiguous
    struct Case {
        const char *what;
        std::function<void()> damage;
        std::vector<uint32_t> kinds;                // the records, lost chains and FSInfo aside
        std::map<std::string, std::string> changed; // files whose bytes change
        unsigned flags = 0;
    };
    // Every free cluster marked bad: no room for anything.
    const auto fill = [&] {
        for (uint32_t c = 2; c <= last; ++c)
            if (fat_of(*img, l, c) == 0) fat_put(*img, l, c, end - 8);
        const size_t from = size_t{l.first_fat_sector} * l.bytes_per_sector;
        const size_t bytes = size_t{l.fat_count} * l.fat_sectors * l.bytes_per_sector;
        patch(*img, from, img->cur.data() + from, bytes);
    };
    const uint8_t big[4] = {0x40, 0x9C, 0, 0}; // 40000 bytes
    // Opened as it is: the repair, not reclaim at open, mends it.
    writefat_config as_is;
    if (img->config)
        as_is = *img->config;
    else
        writefat_config_init(&as_is, WRITEFAT_CONFIG_FAST);
    as_is.options &= ~WRITEFAT_OPT_RECLAIM;
    img->config = &as_is;
    const Case cases[] = {
        {"sound", nullptr, {}, {}},
        {"cross-linked file",
         [&] { set_first_cluster(*img, b_entry, a.cluster); },
         {WRITEFAT_REPAIR_CROSS_COPIED},
         {{"b.txt", digest(a_data.substr(0, 1))}}},
        {"directory chain that loops",
         [&] { set_fat(*img, l, d.cluster, d.cluster); },
         {WRITEFAT_REPAIR_CHAIN_ENDED},
         {}},
        {"chain past the data area in the first FAT only",
         [&] { set_fat(*img, l, a2, last + 5, 1); },
         {WRITEFAT_REPAIR_FAT_SYNCED},
         {}},
        {"size past the chain",
         [&] { patch(*img, a_entry + 28, big, 4); },
         {WRITEFAT_REPAIR_SIZE_CUT},
         {{"dir/a file.bin",
           digest(a_data + std::string((9000 + cb - 1) / cb * cb - 9000, '\0'))}}},
        {"cross-linked file, no room for a copy",
         [&] {
             set_first_cluster(*img, b_entry, a.cluster);
             fill();
         },
         {WRITEFAT_REPAIR_CROSS_LEFT},
         {},
         WRITEFAT_REPAIR_FREE_LOST},
        {"directory past the data area",
         [&] { set_first_cluster(*img, dir_entry, last + 5); },
         {WRITEFAT_REPAIR_DIR_LEFT},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // Two lost chains, one of two clusters and one of one, at the volume's end.
        set_fat(*img, l, last - 4, last - 3);
        set_fat(*img, l, last - 3, end);
        set_fat(*img, l, last - 1, end);
        if (c.damage) c.damage();
        for (uint32_t k = 0; k < l.fat_count && l.fat_type != 12; ++k) {
            // Dirty in every copy: the repair clears it.
            const size_t bit =
                (l.first_fat_sector + size_t{k} * l.fat_sectors) * size_t{l.bytes_per_sector} +
                (l.fat_type == 32 ? 7 : 3);
            const uint8_t v = uint8_t(img->cur[bit] & (l.fat_type == 32 ? ~0x08 : ~0x80));
            patch(*img, bit, &v, 1);
        }
        w = img->open(-1);
        ASSERT_NE(w, nullptr);
        // The records, each with its path.
        std::vector<std::pair<writefat_repair_record, std::u16string>> got;
        writefat_reclaim_report rep{};
        ASSERT_EQ(writefat_repair(
                      w, c.flags, 1700000000,
                      [](void *data, const writefat_repair_record *r) {
                          static_cast<decltype(got) *>(data)->push_back(
                              {*r, std::u16string(reinterpret_cast<const char16_t *>(r->path),
                                                  r->path_len)});
                          return 0;
                      },
                      &got, &rep),
                  0);
        const bool left = !c.kinds.empty() && (c.kinds[0] == WRITEFAT_REPAIR_DIR_LEFT ||
                                               c.kinds[0] == WRITEFAT_REPAIR_CROSS_LEFT);
        std::vector<uint32_t> kinds;
        uint32_t saved = 0;
        for (const auto &[r, path] : got) {
            if (r.kind == WRITEFAT_REPAIR_LOST_SAVED) {
                ++saved;
                EXPECT_EQ(path.substr(0, 11), u"/FOUND.001/");
            } else if (r.kind != WRITEFAT_REPAIR_FSINFO && r.kind != WRITEFAT_REPAIR_CLEAN) {
                kinds.push_back(r.kind);
            }
        }
        EXPECT_EQ(kinds, c.kinds);
        // The two lost chains, and the cross-linked file's own cluster (now reached by none).
        EXPECT_GE(saved, c.flags & WRITEFAT_REPAIR_FREE_LOST ? 0u : 2u);
        EXPECT_EQ(got.empty() ? 0u : got.back().first.kind == WRITEFAT_REPAIR_CLEAN,
                  !left && l.fat_type != 12);
        EXPECT_EQ(rep.damaged, left ? 1u : 0u);
        if (!left) {
            std::map<std::string, std::string> tree = reader_tree(w), expect = want;
            for (auto it = tree.begin(); it != tree.end();)
                it = it->first.rfind("FOUND.001", 0) == 0 ? tree.erase(it) : std::next(it);
            for (const auto &[path, dig] : c.changed) expect[path] = dig;
            EXPECT_EQ(tree, expect);
        }
        ASSERT_EQ(writefat_close(w), 0);
        std::string report;
        EXPECT_EQ(img->fsck(&report, false, false, false), !left) << report;
        img->restore();
    }
}

// A FAT sector the first copy cannot read (with other bytes) is taken from the second, and
// written back over it.
TEST_P(Write, RepairTakesAFatSectorFromTheCopyThatReads) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(put(w, "b.txt", "b"), 0);
    want = reader_tree(w);
    ASSERT_EQ(writefat_close(w), 0);
    const readfat_volinfo l = layout(*img);
    const uint32_t last = l.cluster_count + 1;
    const uint32_t end = l.fat_type == 32 ? 0x0FFFFFFF : l.fat_type == 16 ? 0xFFFF : 0xFFF;
    set_fat(*img, l, last - 1, end); // a lost cluster, to find in FOUND.000
    const uint64_t unit = l.bytes_per_sector / 512;
    const uint64_t index = (l.fat_type == 12 ? (last - 1) * 3 / 2 : (last - 1) * l.fat_type / 8) /
                           l.bytes_per_sector; // the FAT sector holding it
    const size_t at = (l.first_fat_sector + index) * l.bytes_per_sector;
    std::vector<uint8_t> garbage(l.bytes_per_sector, 0x5A);
    patch(*img, at, garbage.data(), garbage.size()); // the first copy's
    // Unreadable once open (open counts the free clusters: it reads every FAT sector).
    w = img->open();
    ASSERT_NE(w, nullptr);
    for (uint64_t k = 0; k < unit; ++k) img->unreadable.insert(at / 512 + k);
    std::vector<writefat_repair_record> got;
    ASSERT_EQ(writefat_repair(
                  w, 0, 1700000000,
                  [](void *data, const writefat_repair_record *r) {
                      static_cast<std::vector<writefat_repair_record> *>(data)->push_back(*r);
                      return 0;
                  },
                  &got, nullptr),
              0);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].kind, WRITEFAT_REPAIR_FAT_SYNCED);
    EXPECT_EQ(std::make_tuple(got[0].copy, got[0].sector, got[0].count),
              std::make_tuple(1u, uint64_t{index}, uint64_t{1}));
    EXPECT_EQ(got[1].kind, WRITEFAT_REPAIR_LOST_SAVED);
    EXPECT_EQ(got[1].cluster, last - 1);
    EXPECT_TRUE(img->unreadable.empty());
    ASSERT_EQ(writefat_close(w), 0);
    std::string report;
    EXPECT_TRUE(img->fsck(&report, false, false, false)) << report;
}

// Out of memory at any allocation, writefat_repair returns ENOMEM with every block back; what
// it had mended stays, and the next repair mends the rest. A callback's nonzero result stops
// it and is returned.
TEST_P(Write, RepairWithoutMemoryLeavesWhatTheNextRepairMends) {
    writefat_volume *w = img->open();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(writefat_mkdir(w, "dir", 1700000000), 0);
    ASSERT_EQ(put(w, "dir/a.bin", pattern(5000, 1)), 0);
    ASSERT_EQ(put(w, "b.txt", "b"), 0);
    want = reader_tree(w);
    ASSERT_EQ(writefat_close(w), 0);
    const readfat_volinfo l = layout(*img);
    const uint32_t last = l.cluster_count + 1;
    const uint32_t end = l.fat_type == 32 ? 0x0FFFFFFF : l.fat_type == 16 ? 0xFFFF : 0xFFF;
    dv_entry a{};
    w = img->open();
    ASSERT_EQ(readfat_stat(writefat_reader(w), "dir/a.bin", &a), 0);
    ASSERT_EQ(writefat_close(w), 0);
    set_first_cluster(*img, find_entry(*img, "B       TXT"), a.cluster);
    set_fat(*img, l, last - 1, end);
    w = img->open();
    ASSERT_NE(w, nullptr);
    int calls = 0;
    EXPECT_EQ(writefat_repair(
                  w, 0, 1700000000,
                  [](void *data, const writefat_repair_record *) {
                      return ++*static_cast<int *>(data) == 1 ? 7 : 0;
                  },
                  &calls, nullptr),
              7);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(writefat_close(w), 0);
    int rc = ENOMEM;
    for (uint64_t n = 1; n < 200 && rc != 0; ++n) {
        w = img->open();
        ASSERT_NE(w, nullptr);
        const size_t live = img->alloc.live_blocks();
        img->alloc.reset_counts();
        img->alloc.fail_at(n);
        rc = writefat_repair(w, 0, 1700000000, nullptr, nullptr, nullptr);
        img->alloc.fail_at(0);
        EXPECT_TRUE(rc == 0 || rc == ENOMEM) << n << " " << rc;
        EXPECT_EQ(img->alloc.live_blocks(), live) << n;
        ASSERT_EQ(writefat_close(w), 0);
    }
    EXPECT_EQ(rc, 0);
    std::string report;
    EXPECT_TRUE(img->fsck(&report, false, false, false)) << report;
    w = img->open();
    std::map<std::string, std::string> tree = reader_tree(w);
    ASSERT_EQ(writefat_close(w), 0);
    for (auto it = tree.begin(); it != tree.end();)
        it = it->first.rfind("FOUND.000", 0) == 0 ? tree.erase(it) : std::next(it);
    want["b.txt"] = digest(pattern(5000, 1).substr(0, 1)); // its own copy of a.bin's first cluster
    EXPECT_EQ(tree, want);
}

std::string kind_name(const testing::TestParamInfo<FatKind> &info) {
    return info.param.label;
}

std::vector<FatKind> kinds_where(bool (*keep)(const FatKind &)) {
    std::vector<FatKind> out;
    for (const FatKind &k : kKinds)
        if (keep(k)) out.push_back(k);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, Write, ::testing::ValuesIn(kKinds), kind_name);
INSTANTIATE_TEST_SUITE_P(
    Kinds, WriteUngrouped,
    ::testing::ValuesIn(kinds_where([](const FatKind &k) { return !k.grouped; })), kind_name);
INSTANTIATE_TEST_SUITE_P(Kinds, WriteSmall, ::testing::ValuesIn(kinds_where([](const FatKind &k) {
                             return k.kib <= 10000;
                         })),
                         kind_name);
INSTANTIATE_TEST_SUITE_P(
    Kinds, WriteFixedRoot,
    ::testing::ValuesIn(kinds_where([](const FatKind &k) { return !is_fat32(k); })), kind_name);
INSTANTIATE_TEST_SUITE_P(Kinds, WriteFat32, ::testing::ValuesIn(kinds_where(is_fat32)), kind_name);
INSTANTIATE_TEST_SUITE_P(Kinds, WriteTight, ::testing::ValuesIn(kinds_where([](const FatKind &k) {
                             return k.config != nullptr;
                         })),
                         kind_name);

} // namespace
