// The write path against the independent tools: after every kind of change on FAT12, FAT16
// and FAT32 images from mkfs.fat, fsck.fat -n finds nothing and mcopy reads back exactly
// what was written; and a power loss at every write of representative operations leaves a
// volume where every earlier file is intact and fsck.fat finds only what a crash may leave.
// Skips when dosfstools or mtools are missing.
#include "write/write_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <unistd.h>
#include <functional>
#include <set>

using namespace dvtest;

namespace {

const FatKind kKinds[] = {
    {"fat12", "-F 12", 1440},
    {"fat16", "-F 16 -s 1", 8192},
    {"fat32", "-F 32 -s 1", 34816},
    {"fat16_4k", "-F 16 -S 4096 -s 1", 32768},
    {"fat12_grouped", "-F 12", 1440, true},
    {"fat32_grouped", "-F 32 -s 1", 34816, true},
};

class Write : public ::testing::TestWithParam<FatKind> {
  protected:
    void SetUp() override {
        if (!tools.ok()) GTEST_SKIP() << "dosfstools or mtools missing";
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
    }
    WriteTools tools;
    std::string dir;
    std::unique_ptr<WImage> img;
    std::map<std::string, std::string> want;
};

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

// The same 60 small files, published one by one and then in a group: the group needs far
// fewer writes (data gathered, FAT and directory sectors written once) and reads back alike.
TEST_P(Write, GroupsSpareWritesAndReadBackAlike) {
    if (GetParam().grouped) GTEST_SKIP() << "it chooses the grouping itself";
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
    EXPECT_LT(writes[1] * 3, writes[0]) << writes[1] << " grouped, " << writes[0] << " plain";
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
TEST_P(Write, LargeDirectoryKeepsNamesUnique) {
    if (GetParam().kib > 10000) GTEST_SKIP() << "the small volumes cover it";
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
TEST_P(Write, FullFixedRootRefusesWithEnospc) {
    if (std::string(GetParam().label).rfind("fat32", 0) == 0) GTEST_SKIP() << "FAT12/16 only";
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
TEST_P(Write, FreeCountKeepsToTheDeclaredSize) {
    if (std::string(GetParam().label) != "fat32") GTEST_SKIP() << "FAT32 only";
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

INSTANTIATE_TEST_SUITE_P(Kinds, Write, ::testing::ValuesIn(kKinds),
                         [](const auto &info) { return std::string(info.param.label); });

} // namespace
